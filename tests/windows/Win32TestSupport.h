// Helpers for the Win32 tests: pipe names of their own and a client opened
// with the raw calls, to see exactly what the server side does.
#pragma once

#include <cstdint>
#include <string>

#include "platform/named_pipe.h"

namespace kvx_win32_test {

constexpr uint32_t kReadBuffer = 262144;
constexpr uint32_t kQuota = 0x4000000;
constexpr uint32_t kDefaultTimeoutMs = 5000;

// Pipe names are global to the machine (the Wine prefix), and test programs
// run side by side: every name carries the process ID and a counter.
std::string UniquePipeName();

// A server instance as the product's pipe server creates it: duplex,
// overlapped, message mode, with a manual-reset event in its record.
struct ServerPipe {
  explicit ServerPipe(const std::string& name, uint32_t maxInstances = 6);
  ~ServerPipe();
  ServerPipe(const ServerPipe&) = delete;
  ServerPipe& operator=(const ServerPipe&) = delete;

  bool valid() const { return pipe != platform::InvalidPipeHandle(); }
  // Waits for the record's event (the operation's completion).
  bool WaitDone(uint32_t timeoutMs = 5000);

  platform::PipeHandle pipe;
  platform::PipeOverlapped overlapped;
  uint32_t createError = 0;
};

// Raw client handle (CreateFileA, message read mode, no overlapped I/O).
void* OpenRawClient(const std::string& name);
bool RawWrite(void* client, const std::string& data);
void CloseRaw(void* client);

}  // namespace kvx_win32_test
