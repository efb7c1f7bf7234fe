#include "src/application/common/PcoipVchan/ChannelBridgeLaunchGate.h"

#include <algorithm>

LaunchGate::Verdict LaunchGate::TryStart(Clock::time_point now) {
  platform::MutexLock guard(lock);
  if (!refillStarted) {
    refillStarted = true;
    lastRefill = now;
  }
  // Whole intervals since the last refill each give one launch back.
  const auto intervals = (now - lastRefill) / kRefillInterval;
  if (intervals > 0) {
    tokens = static_cast<int32_t>(std::min<int64_t>(kBurst, tokens + intervals));
    lastRefill += intervals * kRefillInterval;
  }
  if (running >= kMaxRunning) return Verdict::kTooManyRunning;
  if (tokens == 0) return Verdict::kTooFrequent;
  --tokens;
  ++running;
  return Verdict::kAllowed;
}

void LaunchGate::Finished() {
  platform::MutexLock guard(lock);
  if (running > 0) --running;
}

LaunchGate::Clock::time_point LaunchGate::NextRefill() {
  platform::MutexLock guard(lock);
  return lastRefill + kRefillInterval;
}
