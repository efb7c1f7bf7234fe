// Native threads on POSIX: a joinable pthread plus a "done" flag that a wait
// with a time-out can watch. The thread is joined once it is known to have
// ended (by a wait or by the close), and detached when the handle is closed
// while it still runs.
#include "platform/thread.h"

#include <pthread.h>

#include <chrono>
#include <memory>

#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace platform {
namespace {

struct ThreadState {
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  Mutex mutex;
  ConditionVariable cv;
  bool done GUARDED_BY(mutex) = false;
};

struct Thread {
  pthread_t id{};
  std::shared_ptr<ThreadState> state;
  bool joined = false;
};

void* ThreadMain(void* raw) {
  // The thread owns one reference to its state for its whole run.
  std::unique_ptr<std::shared_ptr<ThreadState>> holder(static_cast<std::shared_ptr<ThreadState>*>(raw));
  std::shared_ptr<ThreadState> state = *holder;
  holder.reset();
  state->routine(state->argument);
  {
    MutexLock lock(state->mutex);
    state->done = true;
  }
  state->cv.NotifyAll();
  return nullptr;
}

}  // namespace

ThreadHandle CreateThreadObject(ThreadRoutine routine, void* argument) {
  if (routine == nullptr) {
    SetLastErrorCode(kErrorInvalidParameter);
    return nullptr;
  }
  auto thread = std::make_unique<Thread>();
  thread->state = std::make_shared<ThreadState>();
  thread->state->routine = routine;
  thread->state->argument = argument;
  auto* holder = new std::shared_ptr<ThreadState>(thread->state);
  if (pthread_create(&thread->id, nullptr, ThreadMain, holder) != 0) {
    delete holder;
    SetLastErrorCode(kErrorNotEnoughMemory);
    return nullptr;
  }
  return thread.release();
}

uint32_t WaitForThread(ThreadHandle handle, uint32_t timeoutMs) {
  auto* thread = static_cast<Thread*>(handle);
  if (thread == nullptr) {
    SetLastErrorCode(kErrorInvalidHandle);
    return kWaitFailed;
  }
  if (pthread_equal(thread->id, pthread_self()) && !thread->joined) {
    // A thread waiting for itself would wait forever; Win32 times out, so do
    // the same (or fail at once for an infinite wait).
    if (timeoutMs == kInfinite) {
      SetLastErrorCode(kErrorInvalidParameter);
      return kWaitFailed;
    }
  }
  ThreadState& state = *thread->state;
  {
    MutexLock lock(state.mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!state.done) {
      if (timeoutMs == kInfinite) {
        state.cv.Wait(lock);
      } else if (!state.cv.WaitUntil(lock, deadline) && !state.done) {
        return kWaitTimeout;
      }
    }
  }
  if (!thread->joined) {
    pthread_join(thread->id, nullptr);  // the routine has returned: this is quick
    thread->joined = true;
  }
  return kWaitObject0;
}

bool CloseThreadObject(ThreadHandle handle) {
  auto* thread = static_cast<Thread*>(handle);
  if (thread == nullptr) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  if (!thread->joined) {
    bool done;
    {
      ThreadState& state = *thread->state;
      MutexLock lock(state.mutex);
      done = state.done;
    }
    if (done && !pthread_equal(thread->id, pthread_self())) {
      pthread_join(thread->id, nullptr);
    } else {
      pthread_detach(thread->id);
    }
  }
  delete thread;
  return true;
}

bool IsCurrentThread(ThreadHandle handle) {
  auto* thread = static_cast<Thread*>(handle);
  return thread != nullptr && !thread->joined && pthread_equal(thread->id, pthread_self());
}

}  // namespace platform
