#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
// Differences taken in 32-bit unsigned arithmetic stay right across the wrap.
uint32_t GetTickCount32();

}  // namespace platform
