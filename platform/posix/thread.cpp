// Native threads on POSIX: a joinable pthread plus a "done" flag that a wait
// with a time-out can watch. The thread is joined once it is known to have
// ended (by a wait or by the close), and detached when the handle is closed
// while it still runs.
#include "platform/thread.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/event.h"
#include "platform/last_error.h"

namespace platform {
namespace {

struct ThreadState {
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
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
    std::lock_guard<std::mutex> lock(state->mutex);
    state->done = true;
  }
  state->cv.notify_all();
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
    std::unique_lock<std::mutex> lock(state.mutex);
    if (timeoutMs == kInfinite) {
      state.cv.wait(lock, [&] { return state.done; });
    } else if (!state.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return state.done; })) {
      return kWaitTimeout;
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
      std::lock_guard<std::mutex> lock(thread->state->mutex);
      done = thread->state->done;
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
