// How many applications the far end may have this end launch: a few at once
// and a bounded rate, so that a flood of launch requests can neither fill the
// machine with processes nor keep the host busy opening links.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class LaunchGate {
 public:
  using Clock = std::chrono::steady_clock;

  // Launches whose opener has not finished yet.
  static constexpr int32_t kMaxRunning = 4;
  // Launches allowed in one burst; then one more per refill interval.
  static constexpr int32_t kBurst = 4;
  static constexpr Clock::duration kRefillInterval = std::chrono::seconds(2);

  enum class Verdict { kAllowed, kTooManyRunning, kTooFrequent };

  // An allowed launch counts as running until Finished is called for it.
  Verdict TryStart(Clock::time_point now) EXCLUDES(lock);
  // May be called on any thread (the shell's reaper).
  void Finished() EXCLUDES(lock);
  // When the next launch comes back to a spent burst.
  Clock::time_point NextRefill() EXCLUDES(lock);

 private:
  // Taken after the launch queue's lock, never before it.
  platform::Mutex lock;
  int32_t running GUARDED_BY(lock) = 0;
  int32_t tokens GUARDED_BY(lock) = kBurst;
  bool refillStarted GUARDED_BY(lock) = false;
  Clock::time_point lastRefill GUARDED_BY(lock);
};
