// The debugger output channel (OutputDebugStringA on Win32). One call is one
// entry holding exactly the given text.
#pragma once

#include <functional>
#include <string>

namespace platform {

void OutputDebugText(const char* text);

// Replaces where entries go, process-wide; an empty sink restores the default
// (Win32: the debugger channel; POSIX: the text and a newline on stderr).
// Tests install a sink to read the entries.
using DebugSink = std::function<void(const std::string& text)>;
void SetDebugSink(DebugSink sink);

}  // namespace platform
