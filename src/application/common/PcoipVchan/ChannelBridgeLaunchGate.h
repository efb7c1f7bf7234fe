// How many applications the far end may have this end launch: a few at once
// and a bounded rate, so that a flood of launch requests can neither fill the
// machine with processes nor keep the host busy opening links.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

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
  Verdict TryStart(Clock::time_point now);
  // May be called on any thread (the shell's reaper).
  void Finished();
  // When the next launch comes back to a spent burst.
  Clock::time_point NextRefill();

 private:
  std::mutex lock;
  int32_t running = 0;
  int32_t tokens = kBurst;
  bool refillStarted = false;
  Clock::time_point lastRefill;
};
