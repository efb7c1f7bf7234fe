// Events and waits on POSIX. Each event keeps its signalled state under its
// own mutex. A waiter registers a private record on every event it waits for;
// setting an event notifies the registered waiters, which then check the
// events again in index order, so a wait on several events reports the lowest
// index that is set and clears an auto-reset event only when that event ends
// the wait.
//
// A waiter sleeps on a condition variable, unless one of its events has a
// completion source (completion_source.h): then it sleeps in poll() on the
// sources' descriptors and on a wake descriptor (an eventfd) that setting an
// event writes, and drives the pending operation itself when its descriptor
// is ready. That keeps a pipe read that has to wait down to one wake-up: the
// thread waiting for the read is the one that completes it.
//
// Lock order: the owner of a completion source's own lock, then the event
// mutex, then the waiter mutex. A waiter never holds its own mutex while it
// takes an event's, and holds no lock of this file while it calls a source.
#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/last_error.h"
#include "platform/mutex.h"
#include "platform/posix/completion_source.h"
#include "platform/thread_annotations.h"

namespace platform {
namespace {

using event_detail::CompletionSource;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kEventMagic = 0x4B564576u;  // "KVEv"
constexpr uint32_t kMaxWaitObjects = 64;        // MAXIMUM_WAIT_OBJECTS
constexpr int kFallbackLookMs = 10;

struct Waiter {
  Mutex mutex;
  ConditionVariable cv;
  bool notified GUARDED_BY(mutex) = false;
  // Set, under the mutex, once the waiter sleeps in poll(); then the cv is
  // unused. The waiting thread, which alone sets it, reads it without.
  int wakeFd = -1;
  bool wakeWritten GUARDED_BY(mutex) = false;  // wakeFd has a count to clear
};

struct Event {
  Event(bool manualReset, bool signalled) : manualReset(manualReset), signalled(signalled) {}

  uint32_t magic = kEventMagic;
  const bool manualReset;
  Mutex mutex;
  bool signalled GUARDED_BY(mutex);
  std::vector<Waiter*> waiters GUARDED_BY(mutex);
  std::shared_ptr<CompletionSource> source GUARDED_BY(mutex);
};

// The completion sources of the events one wait is on, with the index of
// their event, and whether poll() found their descriptor ready.
struct Sources {
  struct Entry {
    uint32_t index = 0;
    std::shared_ptr<CompletionSource> source;
    bool ready = false;
  };
  Entry entries[kMaxWaitObjects];
  uint32_t count = 0;

  void Clear() {
    for (uint32_t i = 0; i < count; ++i) entries[i].source.reset();
    count = 0;
  }
};

Event* ToEvent(EventHandle handle) {
  auto* event = static_cast<Event*>(handle);
  if (event == nullptr || event->magic != kEventMagic) return nullptr;
  return event;
}

void NotifyWaiters(Event* event) REQUIRES(event->mutex) {
  for (Waiter* waiter : event->waiters) {
    MutexLock waiterLock(waiter->mutex);
    waiter->notified = true;
    if (waiter->wakeFd >= 0) {
      waiter->wakeWritten = true;
      const uint64_t one = 1;
      while (write(waiter->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
      }
    } else {
      waiter->cv.NotifyOne();
    }
  }
}

// Takes the event's signal if it is set: true when it was (an auto-reset event
// is cleared). Otherwise, when `waiter` is given, registers it, and notes the
// event's completion source in `sources` (when given). Caller does not hold
// the event's mutex.
bool TakeOrRegister(Event* event, Waiter* waiter, uint32_t index = 0, Sources* sources = nullptr) {
  MutexLock lock(event->mutex);
  if (event->signalled) {
    if (!event->manualReset) event->signalled = false;
    return true;
  }
  if (waiter != nullptr) event->waiters.push_back(waiter);
  if (sources != nullptr && event->source) {
    Sources::Entry& entry = sources->entries[sources->count++];
    entry.index = index;
    entry.source = event->source;
    entry.ready = false;
  }
  return false;
}

void Unregister(Event* event, Waiter* waiter) {
  MutexLock lock(event->mutex);
  auto it = std::find(event->waiters.begin(), event->waiters.end(), waiter);
  if (it != event->waiters.end()) event->waiters.erase(it);
}

std::shared_ptr<CompletionSource> SourceOf(Event* event) {
  MutexLock lock(event->mutex);
  return event->source;
}

// Wake descriptors: taken for one wait, given back after it. Kept for reuse
// only while the process has users of sources, so that it holds none at rest.
struct WakePool {
  Mutex mutex;
  int users GUARDED_BY(mutex) = 0;
  std::vector<int> idle GUARDED_BY(mutex);
};

WakePool& Pool() {
  static auto* pool = new WakePool();  // never destroyed: used until exit
  return *pool;
}

int TakeWakeFd() {
  {
    WakePool& pool = Pool();
    MutexLock lock(pool.mutex);
    if (!pool.idle.empty()) {
      const int fd = pool.idle.back();
      pool.idle.pop_back();
      return fd;
    }
  }
  return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

// Clears what setting an event wrote to the waiter's wake descriptor, so
// that its next poll() sleeps. Only once the waiter is registered nowhere:
// nothing writes to it any more.
void ClearWake(Waiter& waiter) {
  {
    MutexLock lock(waiter.mutex);
    if (!waiter.wakeWritten) return;
    waiter.wakeWritten = false;
  }
  uint64_t value = 0;
  while (read(waiter.wakeFd, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

// Once the waiter is registered nowhere and its wake descriptor is clear.
void ReturnWakeFd(int fd) {
  {
    WakePool& pool = Pool();
    MutexLock lock(pool.mutex);
    if (pool.users > 0) {
      pool.idle.push_back(fd);
      return;
    }
  }
  close(fd);
}

// Sleeps on the waiter's condition variable until it is notified (true) or
// `until` (null: never) has passed.
bool SleepUntilNotified(Waiter& waiter, const Clock::time_point* until) {
  MutexLock lock(waiter.mutex);
  while (!waiter.notified) {
    if (until == nullptr) {
      waiter.cv.Wait(lock);
    } else if (!waiter.cv.WaitUntil(lock, *until)) {
      return waiter.notified;
    }
  }
  return true;
}

int MillisecondsUntil(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return 0;
  // Rounded up, so that a wait does not end just short of its time.
  return static_cast<int>(std::min<int64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now + std::chrono::microseconds(999))
          .count(),
      INT32_MAX));
}

// Sleeps in poll() on the sources' descriptors and the waiter's wake
// descriptor, and marks the sources whose descriptor is ready. False when the
// time ran out with nothing ready.
bool PollSources(EventHandle const* handles, Sources& sources, int wakeFd, uint32_t timeoutMs,
                 Clock::time_point deadline) {
  pollfd fds[kMaxWaitObjects + 1];
  Sources::Entry* pinned[kMaxWaitObjects];
  size_t count = 0;
  for (uint32_t i = 0; i < sources.count; ++i) {
    Sources::Entry& entry = sources.entries[i];
    int fd = -1;
    short events = 0;
    if (!entry.source->Pin(handles[entry.index], &fd, &events)) continue;
    fds[count] = pollfd{fd, events, 0};
    pinned[count++] = &entry;
  }
  fds[count] = pollfd{wakeFd, POLLIN, 0};
  const int ready = poll(fds, count + 1, timeoutMs == kInfinite ? -1 : MillisecondsUntil(deadline));
  for (size_t i = 0; i < count; ++i) {
    pinned[i]->ready = ready > 0 && fds[i].revents != 0;
    pinned[i]->source->Unpin();
  }
  return ready != 0;
}

}  // namespace

namespace event_detail {

void AttachCompletionSource(EventHandle handle, std::shared_ptr<CompletionSource> source) {
  Event* event = ToEvent(handle);
  if (event == nullptr) return;
  MutexLock lock(event->mutex);
  event->source = std::move(source);
  // Waiters already asleep on a condition variable look again and watch it.
  NotifyWaiters(event);
}

void DetachCompletionSource(EventHandle handle, const CompletionSource* source) {
  Event* event = ToEvent(handle);
  if (event == nullptr) return;
  std::shared_ptr<CompletionSource> dropped;  // released outside the lock
  MutexLock lock(event->mutex);
  if (event->source.get() == source) dropped = std::move(event->source);
}

void AddWakeUser() {
  WakePool& pool = Pool();
  MutexLock lock(pool.mutex);
  ++pool.users;
}

void RemoveWakeUser() {
  std::vector<int> idle;
  {
    WakePool& pool = Pool();
    MutexLock lock(pool.mutex);
    if (pool.users == 0 || --pool.users > 0) return;
    idle.swap(pool.idle);
  }
  for (const int fd : idle) close(fd);
}

}  // namespace event_detail

EventHandle CreateEventObject(bool manualReset, bool initiallySet) {
  auto* event = new (std::nothrow) Event(manualReset, initiallySet);
  if (event == nullptr) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return nullptr;
  }
  return event;
}

bool SetEventObject(EventHandle handle) {
  Event* event = ToEvent(handle);
  if (event == nullptr) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  MutexLock lock(event->mutex);
  event->signalled = true;
  NotifyWaiters(event);
  return true;
}

bool ResetEventObject(EventHandle handle) {
  Event* event = ToEvent(handle);
  if (event == nullptr) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  MutexLock lock(event->mutex);
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
  const auto takeAny = [&]() -> uint32_t {
    for (uint32_t i = 0; i < count; ++i) {
      if (TakeOrRegister(events[i], nullptr)) return kWaitObject0 + i;
    }
    return kWaitTimeout;
  };

  // A poll: no registration needed. Operations whose descriptor is ready are
  // taken forward first, as the system would have done by itself.
  if (timeoutMs == 0) {
    const uint32_t result = takeAny();
    if (result != kWaitTimeout) return result;
    bool progressed = false;
    for (uint32_t i = 0; i < count; ++i) {
      if (auto source = SourceOf(events[i])) {
        source->Progress();
        progressed = true;
      }
    }
    return progressed ? takeAny() : kWaitTimeout;
  }

  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Waiter waiter;
  Sources sources;
  uint32_t result = kWaitTimeout;
  for (;;) {
    {
      MutexLock lock(waiter.mutex);
      waiter.notified = false;
    }
    sources.Clear();
    bool taken = false;
    for (uint32_t i = 0; i < count && !taken; ++i) {
      if (TakeOrRegister(events[i], &waiter, i, &sources)) {
        for (uint32_t j = 0; j < i; ++j) Unregister(events[j], &waiter);
        result = kWaitObject0 + i;
        taken = true;
      }
    }
    if (taken) break;
    bool woken = false;
    if (sources.count > 0 && waiter.wakeFd < 0) {
      // From here on this wait sleeps in poll(). A set that came in while it
      // still slept on the condition variable is not lost: it left `notified`.
      const int fd = TakeWakeFd();
      if (fd >= 0) {
        MutexLock lock(waiter.mutex);
        waiter.wakeFd = fd;
        woken = waiter.notified;
      }
    }
    if (woken) {
      // Look again at once.
    } else if (waiter.wakeFd >= 0) {
      woken = PollSources(handles, sources, waiter.wakeFd, timeoutMs, deadline);
    } else if (sources.count > 0) {
      // No wake descriptor to be had (out of descriptors): look at the
      // sources now and then instead of never.
      const auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(kFallbackLookMs));
      woken = SleepUntilNotified(waiter, &until) || until < deadline;
      for (uint32_t i = 0; i < sources.count; ++i) sources.entries[i].ready = true;
    } else {
      woken = SleepUntilNotified(waiter, timeoutMs == kInfinite ? nullptr : &deadline);
    }
    for (uint32_t i = 0; i < count; ++i) Unregister(events[i], &waiter);
    if (waiter.wakeFd >= 0) ClearWake(waiter);
    // Progress comes once the waiter is registered nowhere, so that the
    // operation it completes does not write to its own wake descriptor; the
    // next round sees the event set. It also needs the pins gone: it may take
    // locks under which a source's owner waits for them.
    for (uint32_t i = 0; i < sources.count; ++i) {
      if (sources.entries[i].ready) sources.entries[i].source->Progress();
    }
    if (!woken && (timeoutMs != kInfinite && Clock::now() >= deadline)) {
      // Time is up: one last look, then report the time-out.
      result = takeAny();
      break;
    }
  }
  if (waiter.wakeFd >= 0) {
    ClearWake(waiter);
    ReturnWakeFd(waiter.wakeFd);
  }
  return result;
}

}  // namespace platform
