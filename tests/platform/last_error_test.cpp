#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform {
namespace {

TEST(LastError, IsPerThread) {
  SetLastErrorCode(kErrorPipeBusy);
  uint32_t seenByOther = 1;
  std::thread other([&] {
    seenByOther = GetLastErrorCode();
    SetLastErrorCode(kErrorBrokenPipe);
  });
  other.join();
  EXPECT_EQ(seenByOther, kErrorSuccess);
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeBusy);
}

TEST(LastError, CodesAreWin32Values) {
  EXPECT_EQ(kErrorBrokenPipe, 109u);
  EXPECT_EQ(kErrorPipeBusy, 231u);
  EXPECT_EQ(kErrorMoreData, 234u);
  EXPECT_EQ(kErrorPipeConnected, 535u);
  EXPECT_EQ(kErrorIoPending, 997u);
}

}  // namespace
}  // namespace platform
