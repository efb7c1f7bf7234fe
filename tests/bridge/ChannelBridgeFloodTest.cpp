// What the far end can make this end do in bulk is bounded: launches (a few
// running at once, a bounded rate) and diagnostic lines.
#include "src/application/common/PcoipVchan/ChannelBridgeLaunchGate.h"
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

TEST_F(ChannelBridgeFloodTest, AFloodOfLaunchRequestsLaunchesOnlyABurst) {
  Start(false);
  ShellCapture shell(42);
  constexpr size_t kRequests = 12;
  for (size_t i = 0; i < kRequests; ++i) {
    bridge->QueuePcoipMessage(
        ConnectRequestWithLaunch("A" + std::to_string(i), KVX::LAUNCH_APP, "app.exe"));
  }
  // Every request is still answered.
  ASSERT_TRUE(SentToPeer().WaitForCount(kRequests));
  const std::string droppedText = "ERROR: Launch dropped; launches too frequent.";
  // The last launches follow the last answers; wait until each request has
  // been launched or dropped.
  for (int i = 0; i < 500 && shell.Links().size() + debug.CountOf(droppedText) < kRequests; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const size_t dropped = debug.CountOf(droppedText);
  // A loaded machine may take an interval or two over the flood, no more.
  EXPECT_GE(shell.Links().size(), static_cast<size_t>(LaunchGate::kBurst));
  EXPECT_LE(shell.Links().size(), static_cast<size_t>(LaunchGate::kBurst) + 2);
  EXPECT_EQ(shell.Links().size() + dropped, kRequests);
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
