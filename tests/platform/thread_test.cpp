#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/event.h"

namespace platform {
namespace {

struct Shared {
  EventHandle go = nullptr;
  std::atomic<int> ran{0};
  ThreadHandle self = nullptr;
  std::atomic<bool> sawSelf{false};
};

uint32_t Routine(void* arg) {
  auto* shared = static_cast<Shared*>(arg);
  WaitForEvent(shared->go, kInfinite);
  shared->ran++;
  return 7;
}

TEST(Thread, RunsAndCanBeWaitedFor) {
  Shared shared;
  shared.go = CreateEventObject(true, false);
  ThreadHandle t = CreateThreadObject(Routine, &shared);
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(IsCurrentThread(t));
  EXPECT_EQ(WaitForThread(t, 30), kWaitTimeout);
  SetEventObject(shared.go);
  EXPECT_EQ(WaitForThread(t, kInfinite), kWaitObject0);
  EXPECT_EQ(shared.ran.load(), 1);
  EXPECT_EQ(WaitForThread(t, 0), kWaitObject0);  // still reads as ended
  EXPECT_TRUE(CloseThreadObject(t));
  CloseEventObject(shared.go);
}

uint32_t SelfCheck(void* arg) {
  auto* shared = static_cast<Shared*>(arg);
  WaitForEvent(shared->go, kInfinite);
  shared->sawSelf = IsCurrentThread(shared->self);
  return 0;
}

TEST(Thread, KnowsItsOwnHandle) {
  Shared shared;
  shared.go = CreateEventObject(true, false);
  shared.self = CreateThreadObject(SelfCheck, &shared);
  ASSERT_NE(shared.self, nullptr);
  SetEventObject(shared.go);
  EXPECT_EQ(WaitForThread(shared.self, kInfinite), kWaitObject0);
  EXPECT_TRUE(shared.sawSelf.load());
  CloseThreadObject(shared.self);
  CloseEventObject(shared.go);
}

TEST(Thread, ClosingARunningThreadLetsItFinish) {
  static Shared shared;  // outlives the detached thread
  const int before = shared.ran.load();
  shared.go = CreateEventObject(true, false);
  ThreadHandle t = CreateThreadObject(Routine, &shared);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(CloseThreadObject(t));
  SetEventObject(shared.go);
  for (int i = 0; i < 5000 && shared.ran.load() == before; ++i) {
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
  }
  EXPECT_EQ(shared.ran.load(), before + 1);
  if (shared.ran.load() == before + 1) CloseEventObject(shared.go);  // its wait is over
}

TEST(Thread, NullArguments) {
  EXPECT_EQ(CreateThreadObject(nullptr, nullptr), nullptr);
  EXPECT_EQ(WaitForThread(nullptr, 0), kWaitFailed);
  EXPECT_FALSE(CloseThreadObject(nullptr));
  EXPECT_FALSE(IsCurrentThread(nullptr));
}

}  // namespace
}  // namespace platform
