#include "platform/tick.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace platform {
namespace {

TEST(Tick, CountsMilliseconds) {
  const uint32_t start = GetTickCount32();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const uint32_t elapsed = GetTickCount32() - start;
  EXPECT_GE(elapsed, 49u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(Tick, DifferencesSurviveTheWrap) {
  // 32-bit unsigned differences stay right across 2^32.
  const uint32_t before = 0xFFFFFFF0u;
  const uint32_t after = 0x00000010u;
  EXPECT_EQ(static_cast<uint32_t>(after - before), 0x20u);
}

}  // namespace
}  // namespace platform
