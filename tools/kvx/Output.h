// Printing for the kvx tool: human-readable text by default, one JSON object
// per line with --json.
#pragma once

#include <string>

#include "extension/sdk/Error.h"
#include "tools/kvx/Options.h"

namespace kvx {

// A JSON string literal for any bytes: valid UTF-8 stays as it is, other
// bytes are written as \u00XX (read as Latin-1).
std::string JsonString(const std::string& bytes);

// The bytes as readable text: printable ASCII as it is, everything else as
// C-style escapes (\n, \t, \xNN).
std::string Printable(const std::string& bytes);

// Reports a failure: "kvx: <message>" on standard error, or with --json an
// {"error": ..., "message": ...} object on standard output. Returns the exit
// code for the error.
int ReportError(const Options& options, const Orvane::Extension::SDK::Error& error);

// A usage error: message and a hint on standard error; returns kExitUsage.
int ReportUsage(const std::string& message);

// Writes one line to standard output and flushes it, so that a reader at the
// other end of a pipe sees each event as it happens.
void PrintLine(const std::string& line);

// A progress line on standard error, redrawn in place; nothing when quiet.
void PrintProgress(const Options& options, const std::string& line);
void EndProgress(const Options& options);

}  // namespace kvx
