// What the far end can make this end do in bulk is bounded: launches (a few
// running at once, a bounded rate, a bounded queue of those waiting) and
// diagnostic lines.
#include "src/application/common/PcoipVchan/ChannelBridgeLaunchGate.h"
#include "src/application/common/PcoipVchan/ChannelBridgeLaunchQueue.h"
#include "tests/bridge/BridgeFixture.h"

namespace kvxtest {
namespace {

TEST(LaunchGateTest, BoundsRunningLaunchesAndTheirRate) {
  LaunchGate gate;
  const LaunchGate::Clock::time_point start{};
  for (int i = 0; i < LaunchGate::kMaxRunning; ++i) {
    EXPECT_EQ(gate.TryStart(start), LaunchGate::Verdict::kAllowed);
  }
  EXPECT_EQ(gate.TryStart(start + LaunchGate::kRefillInterval), LaunchGate::Verdict::kTooManyRunning);
  for (int i = 0; i < LaunchGate::kMaxRunning; ++i) gate.Finished();
  gate.Finished();  // one too many is harmless

  // The burst is spent; one interval gives back exactly one launch, and a
  // refused request takes none.
  const auto later = start + LaunchGate::kRefillInterval;
  EXPECT_EQ(gate.TryStart(later), LaunchGate::Verdict::kAllowed);
  EXPECT_EQ(gate.TryStart(later), LaunchGate::Verdict::kTooFrequent);
  EXPECT_EQ(gate.TryStart(later + LaunchGate::kRefillInterval), LaunchGate::Verdict::kAllowed);
  gate.Finished();
  gate.Finished();
  // A long quiet spell refills the burst, no more.
  const auto quiet = later + 100 * LaunchGate::kRefillInterval;
  for (int i = 0; i < LaunchGate::kBurst; ++i) {
    EXPECT_EQ(gate.TryStart(quiet), LaunchGate::Verdict::kAllowed);
    gate.Finished();
  }
  EXPECT_EQ(gate.TryStart(quiet), LaunchGate::Verdict::kTooFrequent);
}

class ChannelBridgeFloodTest : public BridgeFixture {};

TEST_F(ChannelBridgeFloodTest, LaunchesOverTheRateWaitTheirTurnAndOnlyThoseBeyondTheQueueAreDropped) {
  Start(false);
  ShellCapture shell(42);
  const size_t kRequests = LaunchGate::kBurst + LaunchQueue::kMaxWaiting + 2;
  for (size_t i = 0; i < kRequests; ++i) {
    bridge->QueuePcoipMessage(ConnectRequestWithLaunch("A" + std::to_string(i), KVX::LAUNCH_APP,
                                                       "app" + std::to_string(i)));
  }
  // Every request is still answered; a burst is launched at once, the next
  // ones wait, and only those beyond the queue are dropped.
  ASSERT_TRUE(SentToPeer().WaitForCount(kRequests));
  const std::string droppedText = "ERROR: Launch dropped; too many launches waiting.";
  ASSERT_TRUE(debug.WaitFor(droppedText, 2));
  ASSERT_TRUE(shell.WaitForLaunches(LaunchGate::kBurst));
  // One interval later the oldest waiting launch has run, in its turn.
  ASSERT_TRUE(shell.WaitForLaunches(LaunchGate::kBurst + 1));
  const std::vector<std::string> links = shell.Links();
  for (size_t i = 0; i < links.size(); ++i) EXPECT_EQ(links[i], "app" + std::to_string(i));
  EXPECT_EQ(debug.CountOf(droppedText), 2u);
}

TEST_F(ChannelBridgeFloodTest, AFloodOfBadInputWritesALimitedNumberOfLines) {
  Start(true);
  const uint32_t limit = diagnostics::RepeatLimiter::kLinesPerWindow;
  for (uint32_t i = 0; i < 3 * limit; ++i) bridge->QueuePcoipMessage("\xff\xff not a message");
  // A last, different diagnostic proves that the flood has been handled.
  bridge->QueuePcoipMessage(PropertyRequest("asked of the wrong end"));
  ASSERT_TRUE(debug.WaitFor("WARNING: Unexpected request case."));
  EXPECT_EQ(debug.CountOf("ERROR: PCoiP parse error."), limit);
}

}  // namespace
}  // namespace kvxtest
