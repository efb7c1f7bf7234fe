#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/tick.h"

namespace platform {
namespace {

using std::chrono::milliseconds;

struct EventDeleter {
  void operator()(void* e) const { CloseEventObject(e); }
};
using EventPtr = std::unique_ptr<void, EventDeleter>;
EventPtr MakeEvent(bool manual, bool set) { return EventPtr(CreateEventObject(manual, set)); }

TEST(Event, ManualResetStaysSetUntilReset) {
  EventPtr e = MakeEvent(true, false);
  ASSERT_NE(e.get(), nullptr);
  EXPECT_EQ(WaitForEvent(e.get(), 0), kWaitTimeout);
  EXPECT_TRUE(SetEventObject(e.get()));
  EXPECT_EQ(WaitForEvent(e.get(), 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(e.get(), kInfinite), kWaitObject0);
  EXPECT_TRUE(ResetEventObject(e.get()));
  EXPECT_EQ(WaitForEvent(e.get(), 0), kWaitTimeout);
}

TEST(Event, AutoResetClearsOnWait) {
  EventPtr e = MakeEvent(false, true);
  EXPECT_EQ(WaitForEvent(e.get(), 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(e.get(), 0), kWaitTimeout);
  SetEventObject(e.get());
  SetEventObject(e.get());  // setting twice is still one signal
  EXPECT_EQ(WaitForEvent(e.get(), 10), kWaitObject0);
  EXPECT_EQ(WaitForEvent(e.get(), 0), kWaitTimeout);
}

TEST(Event, BoundedWaitTimesOut) {
  EventPtr e = MakeEvent(false, false);
  const uint32_t start = GetTickCount32();
  EXPECT_EQ(WaitForEvent(e.get(), 50), kWaitTimeout);
  const uint32_t elapsed = GetTickCount32() - start;
  EXPECT_GE(elapsed, 45u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(Event, WaitWakesWhenSetFromAnotherThread) {
  EventPtr e = MakeEvent(false, false);
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    SetEventObject(e.get());
  });
  EXPECT_EQ(WaitForEvent(e.get(), kInfinite), kWaitObject0);
  setter.join();
}

TEST(Event, NullHandleFails) {
  EXPECT_EQ(WaitForEvent(nullptr, 0), kWaitFailed);
  EXPECT_EQ(GetLastErrorCode(), kErrorInvalidHandle);
  EventPtr e = MakeEvent(true, true);
  EventHandle handles[2] = {e.get(), nullptr};
  EXPECT_EQ(WaitForAnyEvent(handles, 2, 0), kWaitFailed);
  EXPECT_FALSE(SetEventObject(nullptr));
  EXPECT_FALSE(ResetEventObject(nullptr));
  EXPECT_FALSE(CloseEventObject(nullptr));
}

TEST(Event, WaitAnyOnTwoReportsWhichOne) {
  EventPtr io = MakeEvent(true, false);
  EventPtr exit = MakeEvent(true, false);
  EventHandle handles[2] = {io.get(), exit.get()};
  EXPECT_EQ(WaitForAnyEvent(handles, 2, 0), kWaitTimeout);
  EXPECT_EQ(WaitForAnyEvent(handles, 2, 20), kWaitTimeout);
  SetEventObject(exit.get());
  EXPECT_EQ(WaitForAnyEvent(handles, 2, kInfinite), kWaitObject0 + 1);
  SetEventObject(io.get());
  // Both set: the lowest index wins.
  EXPECT_EQ(WaitForAnyEvent(handles, 2, kInfinite), kWaitObject0);
}

TEST(Event, WaitAnyClearsOnlyTheAutoResetEventThatEndsIt) {
  EventPtr a = MakeEvent(false, true);
  EventPtr b = MakeEvent(false, true);
  EventHandle handles[2] = {a.get(), b.get()};
  EXPECT_EQ(WaitForAnyEvent(handles, 2, 0), kWaitObject0);
  // b was not consumed.
  EXPECT_EQ(WaitForAnyEvent(handles, 2, 0), kWaitObject0 + 1);
  EXPECT_EQ(WaitForAnyEvent(handles, 2, 0), kWaitTimeout);
}

TEST(Event, WaitAnyWakesForTheSecondEventFromAnotherThread) {
  EventPtr io = MakeEvent(true, false);
  EventPtr exit = MakeEvent(true, false);
  EventHandle handles[2] = {io.get(), exit.get()};
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    SetEventObject(exit.get());
  });
  EXPECT_EQ(WaitForAnyEvent(handles, 2, 5000), kWaitObject0 + 1);
  setter.join();
}

TEST(Event, WaitAnyBoundedTimeOut) {
  EventPtr a = MakeEvent(false, false);
  EventPtr b = MakeEvent(true, false);
  EventHandle handles[2] = {a.get(), b.get()};
  const uint32_t start = GetTickCount32();
  EXPECT_EQ(WaitForAnyEvent(handles, 2, 40), kWaitTimeout);
  EXPECT_GE(GetTickCount32() - start, 35u);
}

TEST(Event, WaitAnyRejectsBadCounts) {
  EventPtr a = MakeEvent(false, false);
  EventHandle handles[65] = {};
  for (auto& h : handles) h = a.get();
  EXPECT_EQ(WaitForAnyEvent(handles, 0, 0), kWaitFailed);
  EXPECT_EQ(WaitForAnyEvent(handles, 65, 0), kWaitFailed);
  EXPECT_EQ(WaitForAnyEvent(handles, 64, 0), kWaitTimeout);
}

// Waits up to five seconds for `count` to reach `value`.
bool Reaches(const std::atomic<int>& count, int value) {
  for (int i = 0; i < 5000 && count.load() < value; ++i) std::this_thread::sleep_for(milliseconds(1));
  return count.load() >= value;
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  EventPtr e = MakeEvent(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForEvent(e.get(), 20000) == kWaitObject0) released++;
    });
  }
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(released.load(), 0);
  SetEventObject(e.get());
  EXPECT_TRUE(Reaches(released, 1));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(released.load(), 1) << "one set released more than one waiter";
  SetEventObject(e.get());
  EXPECT_TRUE(Reaches(released, 2));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(released.load(), 2);
  SetEventObject(e.get());
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(WaitForEvent(e.get(), 0), kWaitTimeout);
}

TEST(Event, ManualResetReleasesAllWaiters) {
  EventPtr e = MakeEvent(true, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (WaitForEvent(e.get(), 5000) == kWaitObject0) released++;
    });
  }
  std::this_thread::sleep_for(milliseconds(30));
  SetEventObject(e.get());
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
}

TEST(Event, SignalsAreNotLostUnderContention) {
  // A producer sets an auto-reset event for every item; a consumer waiting
  // on [items, stop] must see every item counted.
  EventPtr items = MakeEvent(false, false);
  EventPtr stop = MakeEvent(true, false);
  std::atomic<int> produced{0};
  std::atomic<int> consumed{0};
  std::thread consumer([&] {
    EventHandle handles[2] = {items.get(), stop.get()};
    for (;;) {
      uint32_t r = WaitForAnyEvent(handles, 2, kInfinite);
      if (r == kWaitObject0) {
        consumed.store(produced.load());
      } else {
        break;
      }
    }
  });
  for (int i = 0; i < 20000; ++i) {
    produced++;
    SetEventObject(items.get());
  }
  // Wait until the consumer has caught up, then stop it.
  for (int i = 0; i < 5000 && consumed.load() != produced.load(); ++i) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_EQ(consumed.load(), produced.load());
  SetEventObject(stop.get());
  consumer.join();
}

}  // namespace
}  // namespace platform
