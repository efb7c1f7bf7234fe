#include <windows.h>

#include "tests/bridge/BridgeFixture.h"
#include "tests/reliability/RawPipeClient.h"

namespace kvxtest {

RawPipeClient::RawPipeClient(const std::string&) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    HANDLE pipe = CreateFileA(kBridgePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
      handle_ = reinterpret_cast<intptr_t>(pipe);
      return;
    }
    // Every instance busy: wait for one to listen again.
    if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(kBridgePipe, 200)) Sleep(20);
  }
}

bool RawPipeClient::WriteMessage(const std::string& bytes) {
  DWORD written = 0;
  return WriteFile(reinterpret_cast<HANDLE>(handle_), bytes.data(), static_cast<DWORD>(bytes.size()),
                   &written, nullptr) &&
         written == bytes.size();
}

void RawPipeClient::Close() {
  if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

}  // namespace kvxtest
