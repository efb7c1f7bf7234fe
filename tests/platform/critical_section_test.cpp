#include "platform/critical_section.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(CriticalSection, RecursiveEnterOnOneThread) {
  CriticalSection cs;
  EXPECT_FALSE(cs.IsInitialized());
  cs.Initialize();
  EXPECT_TRUE(cs.IsInitialized());
  cs.Enter();
  cs.Enter();
  cs.Leave();
  cs.Leave();
  cs.Delete();
  EXPECT_FALSE(cs.IsInitialized());
}

TEST(CriticalSection, UninitialisedEnterAndLeaveDoNothing) {
  CriticalSection cs;
  cs.Enter();
  cs.Leave();
  { CriticalSectionLock lock(cs); }
  EXPECT_FALSE(cs.IsInitialized());
}

TEST(CriticalSection, InitialiseAndDeleteManyTimes) {
  CriticalSection cs;
  for (int i = 0; i < 100; ++i) {
    cs.Initialize();
    cs.Initialize();  // re-initialising deletes the old section first
    { CriticalSectionLock lock(cs); }
    if (i % 2 == 0) cs.Delete();
  }
}

TEST(CriticalSection, ExcludesOtherThreads) {
  CriticalSection cs;
  cs.Initialize();
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CriticalSectionLock outer(cs);
        CriticalSectionLock inner(cs);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

}  // namespace
}  // namespace platform
