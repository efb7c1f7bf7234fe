#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace platform {
namespace {

TEST(LastError, IsPerThread) {
  // On Windows, starting and joining a thread may itself reset the caller's
  // code (the runtime's thread-local lookups do), so each thread sets and
  // reads its code only while the other is known to be running.
  std::atomic<bool> otherSet{false};
  std::atomic<bool> mainRead{false};
  uint32_t seenByOther = 1;
  std::thread other([&] {
    seenByOther = GetLastErrorCode();
    SetLastErrorCode(kErrorBrokenPipe);
    otherSet = true;
    while (!mainRead) {
    }
  });
  SetLastErrorCode(kErrorPipeBusy);
  while (!otherSet) {
  }
  const uint32_t seenByMain = GetLastErrorCode();
  mainRead = true;
  other.join();
  EXPECT_EQ(seenByOther, kErrorSuccess);
  EXPECT_EQ(seenByMain, kErrorPipeBusy);
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
