// The process's standard output, for the diagnostics that belong there (the
// pipe server's). One call writes its text as one piece, so lines printed by
// several threads never interleave.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Writes `text`, and a line break after it when `endLine` is true.
void WriteStandardOutput(const std::string& text, bool endLine);

// Replaces where the text goes, process-wide; the sink gets each piece as
// written, line break included. An empty sink restores standard output. On
// POSIX a plug-in's pieces reach the sink of the program that loaded it, so
// the host simulator can label them; on Win32 each module has its own.
using OutputSink = std::function<void(const std::string& text)>;
void SetStandardOutputSink(OutputSink sink);

}  // namespace platform
