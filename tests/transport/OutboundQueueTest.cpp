// The outbound queue's wire: one holder at a time, each run for one client,
// a message left part-way finished by the writer before any Send, room given
// back as messages are taken off, and a stop that ends every wait.
#include "extension/windows/OutboundQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using Orvane::Extension::Windows::OutboundQueue;
using Pushed = OutboundQueue::Pushed;
using WhenFull = OutboundQueue::WhenFull;
using WriteBy = OutboundQueue::WriteBy;

Pushed Push(OutboundQueue& queue, uint64_t client, std::string message,
            WhenFull whenFull = WhenFull::kPass, WriteBy writeBy = WriteBy::kCaller) {
  return queue.Push(client, &message, whenFull, writeBy);
}

std::string Text(const platform::PipeMessageView& view) {
  return std::string(static_cast<const char*>(view.data), view.size);
}

bool Set(platform::EventHandle event) { return platform::WaitForEvent(event, 0) == platform::kWaitObject0; }

TEST(OutboundQueueTest, TheWireIsTakenAndGivenBackInTurnAndRoomComesBackWithIt) {
  // Room left after two messages of two bytes (each counts 64 bytes more),
  // none after three.
  OutboundQueue queue(2 * (2 + OutboundQueue::kItemOverheadBytes) + 1);
  OutboundQueue::Run run;
  EXPECT_FALSE(queue.TryAcquire(&run)) << "nothing waits";

  EXPECT_EQ(Push(queue, 1, "a1"), Pushed::kQueued);
  EXPECT_EQ(Push(queue, 1, "a2"), Pushed::kQueued);
  EXPECT_TRUE(queue.HasRoom());
  EXPECT_EQ(Push(queue, 2, "b1"), Pushed::kQueued) << "a full queue lets what passes pass";
  EXPECT_FALSE(queue.HasRoom());
  EXPECT_FALSE(Set(queue.RoomEvent()));
  EXPECT_EQ(Push(queue, 2, "b2", WhenFull::kWait), Pushed::kFull);

  // A run holds the first client's messages alone, and the wire is held.
  ASSERT_TRUE(queue.TryAcquire(&run));
  EXPECT_EQ(run.client, 1u);
  ASSERT_EQ(run.views.size(), 2u);
  EXPECT_EQ(Text(run.views[0]) + Text(run.views[1]), "a1a2");
  OutboundQueue::Run other;
  EXPECT_FALSE(queue.TryAcquire(&other)) << "one holder at a time";

  // A Send waits for the wire, and then for the message left part-way.
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    queue.Acquire();
    sent = true;
    queue.Release(0, platform::PipeWriteProgress{});
  });
  platform::PipeWriteProgress partWay;
  partWay.sent = 1;
  queue.Release(1, partWay);  // "a1" written, one byte of "a2"
  EXPECT_TRUE(queue.HasRoom()) << "room comes back with what was taken off";
  EXPECT_TRUE(Set(queue.RoomEvent()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(sent.load()) << "a Send must not write into the middle of a message";

  // The writer goes on where the wire stopped; then the Send comes in.
  ASSERT_TRUE(queue.AcquireWhenQueued(&run));
  EXPECT_EQ(run.client, 1u);
  ASSERT_EQ(run.views.size(), 1u);
  EXPECT_EQ(Text(run.views[0]), "a2");
  EXPECT_EQ(run.progress.sent, 1u);
  queue.Release(1, platform::PipeWriteProgress{});
  sender.join();
  EXPECT_TRUE(sent.load());

  // The caller writes its own once a run's worth waits.
  EXPECT_EQ(Push(queue, 2, std::string(OutboundQueue::kGatherBytes, 'x')), Pushed::kWriteNow);

  // A run takes no more than a run's worth; then the writer sleeps until the
  // queue stops, and it refuses messages until it reopens.
  ASSERT_TRUE(queue.AcquireWhenQueued(&run));
  ASSERT_EQ(run.views.size(), 1u);
  EXPECT_EQ(Text(run.views[0]), "b1");
  queue.Release(1, platform::PipeWriteProgress{});
  ASSERT_TRUE(queue.AcquireWhenQueued(&run));
  EXPECT_EQ(run.views[0].size, OutboundQueue::kGatherBytes);
  queue.Release(1, platform::PipeWriteProgress{});
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    queue.Stop();
  });
  EXPECT_FALSE(queue.AcquireWhenQueued(&run));
  stopper.join();
  EXPECT_EQ(Push(queue, 2, "late"), Pushed::kStopped);
  queue.DropAll();
  EXPECT_TRUE(queue.HasRoom());
  EXPECT_FALSE(queue.TryAcquire(&run));
  queue.Reopen();
  EXPECT_EQ(Push(queue, 3, "again", WhenFull::kWait), Pushed::kQueued);
}

}  // namespace
