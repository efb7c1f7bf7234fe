// The millisecond tick counter on POSIX: the monotonic clock in milliseconds,
// truncated to 32 bits so that it wraps like GetTickCount.
#include "platform/tick.h"

#include <time.h>

namespace platform {

uint32_t GetTickCount32() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

}  // namespace platform
