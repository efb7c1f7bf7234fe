// Printing for the kvx tool: human-readable text by default, one JSON object
// per line with --json.
#pragma once

#include <string>

#include "extension/sdk/Error.h"
#include "tools/kvx/Options.h"

namespace kvx {

// A JSON string literal for text such as names: valid UTF-8 stays as it is,
// other bytes are written as \u00XX (read as Latin-1). Not lossless; data goes
// through JsonBytesField.
std::string JsonString(const std::string& bytes);

// `"key":"text"` when the bytes are valid UTF-8, else `"key_base64":"..."`
// (standard base64 with padding), so that every byte string survives the
// round trip through JSON and a reader can tell the two forms apart.
std::string JsonBytesField(const std::string& key, const std::string& bytes);

bool IsValidUtf8(const std::string& bytes);
std::string Base64(const std::string& bytes);

// The bytes as readable text: printable ASCII as it is, everything else as
// C-style escapes (\n, \t, \xNN).
std::string Printable(const std::string& bytes);

// Reports a failure on standard error: "kvx: <message>", or with --json an
// {"error": ..., "message": ...} object, so that standard output carries only
// results and data. Returns the exit code for the error.
int ReportError(const Options& options, const Orvane::Extension::SDK::Error& error);

// With --json, the errors below are JSON objects too. Set by main as soon as
// it has seen the command line, so that even a usage error is one.
void SetJsonErrors(bool json);

// A usage error: message and a hint on standard error, or with --json
// {"error":"usage","message":...}; returns kExitUsage.
int ReportUsage(const std::string& message);

// Reading the input or writing the output failed: "io-error"; returns kExitIo.
int ReportIoError(const std::string& message);

// Ctrl-C cut something short: "interrupted"; returns kExitInterrupted.
int ReportInterrupted(const std::string& message);

// Any other failure of the tool itself: "failed"; returns kExitFailed.
int ReportFailure(const std::string& message);

// Writes one line to standard output and flushes it, so that a reader at the
// other end of a pipe sees each event as it happens.
void PrintLine(const std::string& line);

// A progress line on standard error: redrawn in place on a terminal, a line
// of its own elsewhere, and with --json an object {"progress":TEXT} on a line
// of its own, so that everything a --json run prints is JSON. Nothing when
// quiet. EndProgress clears the line a terminal redraws.
void PrintProgress(const Options& options, const std::string& line);
void EndProgress(const Options& options);

// A line that says what the command is doing (waiting for a peer, say), on
// standard error: "kvx: TEXT", or with --json {"progress":TEXT}. Nothing
// when quiet.
void PrintStatus(const Options& options, const std::string& line);

}  // namespace kvx
