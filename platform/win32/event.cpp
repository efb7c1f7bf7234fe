#include "platform/event.h"

#include "platform/win32/win32_api.h"

namespace platform {

EventHandle CreateEventObject(bool manualReset, bool initiallySet) {
  return CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
}

bool SetEventObject(EventHandle event) { return SetEvent(event) != FALSE; }

bool ResetEventObject(EventHandle event) { return ResetEvent(event) != FALSE; }

bool CloseEventObject(EventHandle event) { return event != nullptr && CloseHandle(event) != FALSE; }

uint32_t WaitForEvent(EventHandle event, uint32_t timeoutMs) {
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kWaitFailed;
  }
  return WaitForSingleObject(event, timeoutMs);
}

uint32_t WaitForAnyEvent(const EventHandle* events, uint32_t count, uint32_t timeoutMs) {
  if (events == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kWaitFailed;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (events[i] == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return kWaitFailed;
    }
  }
  return WaitForMultipleObjects(count, events, FALSE, timeoutMs);
}

}  // namespace platform
