#include "tests/windows/Win32TestSupport.h"

#include <atomic>

#include "platform/event.h"
#include "platform/win32/win32_api.h"

namespace kvx_win32_test {

std::string UniquePipeName() {
  static std::atomic<int> counter{0};
  return "\\\\.\\pipe\\kvx_win32_test_" + std::to_string(GetCurrentProcessId()) + "_" +
         std::to_string(counter++);
}

ServerPipe::ServerPipe(const std::string& name, uint32_t maxInstances) {
  overlapped.event = platform::CreateEventObject(true, false);
  pipe = platform::CreateNamedPipeInstance(name, platform::kPipeAccessDuplexOverlapped,
                                           platform::kPipeMessageModeWait, maxInstances, kQuota,
                                           kQuota, kDefaultTimeoutMs);
  createError = valid() ? 0 : platform::GetLastErrorCode();
}

ServerPipe::~ServerPipe() {
  if (valid()) platform::ClosePipe(pipe);
  platform::CloseEventObject(overlapped.event);
}

bool ServerPipe::WaitDone(uint32_t timeoutMs) {
  return platform::WaitForEvent(overlapped.event, timeoutMs) == platform::kWaitObject0;
}

void* OpenRawClient(const std::string& name) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
  return h;
}

bool RawWrite(void* client, const std::string& data) {
  DWORD written = 0;
  return WriteFile(client, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
         written == data.size();
}

void CloseRaw(void* client) {
  if (client != nullptr) CloseHandle(client);
}

}  // namespace kvx_win32_test
