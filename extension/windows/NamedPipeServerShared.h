// Private to the pipe server's source files: the diagnostics they print and
// the write time-out they share.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace Orvane {
namespace Extension {
namespace Windows {
namespace pipe_server_detail {

// Whether a diagnostic ends its line.
enum class LineEnd : uint8_t { kNewLine, kNone };
// Prints a diagnostic through the repeat limiter, as one piece.
void Print(const std::string& text, LineEnd end);
// The text followed by the decimal code.
std::string WithCode(const char* text, uint32_t code);
// The time a write may wait for the client to read, for every server.
std::atomic<uint32_t>& WriteTimeoutMs();

}  // namespace pipe_server_detail
}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
