// A plain (non-recursive) mutex and its condition variable, as std::mutex and
// std::condition_variable, but visible to clang's thread-safety analysis:
// libstdc++'s own types carry no annotations, so fields guarded by them
// cannot be checked.
//
// Conditions are waited for in a loop at the call site
// (`while (!ready) changed.Wait(lock);`) rather than with a predicate lambda:
// the analysis checks a lambda's body apart from its caller and would not
// know that the lock is held there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds this mutex where it cannot see
  // so itself (a callback run under the lock by its owner).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class ConditionVariable;
  std::mutex mutex_;
};

// Holds a Mutex for one scope; Unlock and Lock let a scope step out of it for
// a while.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  friend class ConditionVariable;
  Mutex& mutex_;
  bool held_ = true;
};

class ConditionVariable {
 public:
  // Each waits with the lock held, releases it while asleep and holds it
  // again on return. Wake-ups may be spurious: wait in a loop.
  void Wait(MutexLock& lock) {
    std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
    changed_.wait(native);
    native.release();
  }
  // False when the time ran out.
  template <typename Rep, typename Period>
  bool WaitFor(MutexLock& lock, std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
    const bool woken = changed_.wait_for(native, timeout) == std::cv_status::no_timeout;
    native.release();
    return woken;
  }
  template <typename Clock, typename Duration>
  bool WaitUntil(MutexLock& lock, std::chrono::time_point<Clock, Duration> deadline) {
    std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
    const bool woken = changed_.wait_until(native, deadline) == std::cv_status::no_timeout;
    native.release();
    return woken;
  }
  void NotifyOne() { changed_.notify_one(); }
  void NotifyAll() { changed_.notify_all(); }

 private:
  std::condition_variable changed_;
};

}  // namespace platform
