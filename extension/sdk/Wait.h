// Bounded waits on a condition variable, with kWaitForever for no bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "extension/sdk/Error.h"

namespace Orvane {
namespace Extension {
namespace SDK {

class Deadline {
 public:
  explicit Deadline(uint32_t timeoutMs)
      : forever_(timeoutMs == kWaitForever),
        at_(std::chrono::steady_clock::now() + std::chrono::milliseconds(forever_ ? 0 : timeoutMs)) {}

  // Waits until `ready` holds or the deadline passes; returns `ready()`.
  template <typename Predicate>
  bool Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Predicate ready) const {
    if (forever_) {
      cv.wait(lock, ready);
      return true;
    }
    return cv.wait_until(lock, at_, ready);
  }

 private:
  bool forever_;
  std::chrono::steady_clock::time_point at_;
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
