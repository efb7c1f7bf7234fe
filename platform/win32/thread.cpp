#include "platform/thread.h"

#include <new>

#include "platform/event.h"
#include "platform/win32/win32_api.h"

namespace platform {

namespace {

// The routine's type is ours, not LPTHREAD_START_ROUTINE, so it reaches the
// new thread through a small record instead of a function pointer cast.
struct ThreadStart {
  ThreadRoutine routine;
  void* argument;
};

DWORD WINAPI ThreadTrampoline(LPVOID parameter) {
  ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  return start.routine(start.argument);
}

}  // namespace

ThreadHandle CreateThreadObject(ThreadRoutine routine, void* argument) {
  if (routine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* start = new (std::nothrow) ThreadStart{routine, argument};
  if (start == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
  if (thread == nullptr) {
    DWORD error = GetLastError();
    delete start;
    SetLastError(error);
  }
  return thread;
}

uint32_t WaitForThread(ThreadHandle thread, uint32_t timeoutMs) {
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kWaitFailed;
  }
  return WaitForSingleObject(thread, timeoutMs);
}

bool CloseThreadObject(ThreadHandle thread) { return thread != nullptr && CloseHandle(thread) != FALSE; }

bool IsCurrentThread(ThreadHandle thread) {
  return thread != nullptr && GetThreadId(thread) == GetCurrentThreadId();
}

}  // namespace platform
