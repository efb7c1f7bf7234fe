// Events and waits on POSIX. Each event keeps its signalled state under its
// own mutex. A waiter registers a private record (mutex, condition variable,
// "notified" flag) on every event it waits for; setting an event notifies the
// registered waiters, which then check the events again in index order, so a
// wait on several events reports the lowest index that is set and clears an
// auto-reset event only when that event ends the wait.
//
// Lock order: event mutex, then waiter mutex. A waiter never holds its own
// mutex while it takes an event's.
#include "platform/event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/last_error.h"

namespace platform {
namespace {

constexpr uint32_t kEventMagic = 0x4B564576u;  // "KVEv"
constexpr uint32_t kMaxWaitObjects = 64;        // MAXIMUM_WAIT_OBJECTS

struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool notified = false;
};

struct Event {
  uint32_t magic = kEventMagic;
  bool manualReset = false;
  std::mutex mutex;
  bool signalled = false;
  std::vector<Waiter*> waiters;
};

Event* ToEvent(EventHandle handle) {
  auto* event = static_cast<Event*>(handle);
  if (event == nullptr || event->magic != kEventMagic) return nullptr;
  return event;
}

// Takes the event's signal if it is set: true when it was (an auto-reset event
// is cleared). Otherwise, when `waiter` is given, registers it. Caller does not
// hold the event's mutex.
bool TakeOrRegister(Event* event, Waiter* waiter) {
  std::lock_guard<std::mutex> lock(event->mutex);
  if (event->signalled) {
    if (!event->manualReset) event->signalled = false;
    return true;
  }
  if (waiter != nullptr) event->waiters.push_back(waiter);
  return false;
}

void Unregister(Event* event, Waiter* waiter) {
  std::lock_guard<std::mutex> lock(event->mutex);
  auto it = std::find(event->waiters.begin(), event->waiters.end(), waiter);
  if (it != event->waiters.end()) event->waiters.erase(it);
}

}  // namespace

EventHandle CreateEventObject(bool manualReset, bool initiallySet) {
  auto* event = new (std::nothrow) Event();
  if (event == nullptr) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return nullptr;
  }
  event->manualReset = manualReset;
  event->signalled = initiallySet;
  return event;
}

bool SetEventObject(EventHandle handle) {
  Event* event = ToEvent(handle);
  if (event == nullptr) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signalled = true;
  for (Waiter* waiter : event->waiters) {
    std::lock_guard<std::mutex> waiterLock(waiter->mutex);
    waiter->notified = true;
    waiter->cv.notify_one();
  }
  return true;
}

bool ResetEventObject(EventHandle handle) {
  Event* event = ToEvent(handle);
  if (event == nullptr) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signalled = false;
  return true;
}

bool CloseEventObject(EventHandle handle) {
  Event* event = ToEvent(handle);
  if (event == nullptr) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  event->magic = 0;
  delete event;
  return true;
}

uint32_t WaitForEvent(EventHandle event, uint32_t timeoutMs) {
  return WaitForAnyEvent(&event, 1, timeoutMs);
}

uint32_t WaitForAnyEvent(const EventHandle* handles, uint32_t count, uint32_t timeoutMs) {
  if (handles == nullptr || count == 0 || count > kMaxWaitObjects) {
    SetLastErrorCode(kErrorInvalidParameter);
    return kWaitFailed;
  }
  Event* events[kMaxWaitObjects];
  for (uint32_t i = 0; i < count; ++i) {
    events[i] = ToEvent(handles[i]);
    if (events[i] == nullptr) {
      SetLastErrorCode(kErrorInvalidHandle);
      return kWaitFailed;
    }
  }

  // A poll: no registration needed.
  if (timeoutMs == 0) {
    for (uint32_t i = 0; i < count; ++i) {
      if (TakeOrRegister(events[i], nullptr)) return kWaitObject0 + i;
    }
    return kWaitTimeout;
  }

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Waiter waiter;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(waiter.mutex);
      waiter.notified = false;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (TakeOrRegister(events[i], &waiter)) {
        for (uint32_t j = 0; j < i; ++j) Unregister(events[j], &waiter);
        return kWaitObject0 + i;
      }
    }
    bool notified;
    {
      std::unique_lock<std::mutex> lock(waiter.mutex);
      if (timeoutMs == kInfinite) {
        waiter.cv.wait(lock, [&] { return waiter.notified; });
        notified = true;
      } else {
        notified = waiter.cv.wait_until(lock, deadline, [&] { return waiter.notified; });
      }
    }
    for (uint32_t i = 0; i < count; ++i) Unregister(events[i], &waiter);
    if (!notified) {
      // Time is up: one last look, then report the time-out.
      for (uint32_t i = 0; i < count; ++i) {
        if (TakeOrRegister(events[i], nullptr)) return kWaitObject0 + i;
      }
      return kWaitTimeout;
    }
  }
}

}  // namespace platform
