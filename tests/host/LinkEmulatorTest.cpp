// The emulated link: a frame is never handed on sooner than its delay, the
// rate holds (loosely: the exact figures belong to the benchmark), order is
// kept under jitter, and a full queue makes the sender wait until a stop.
// A far end that goes loses what was under way to it; the next one gets what
// is sent after.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/vchan-host/LinkEmulator.h"

namespace vchan_host {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kForever = UINT32_MAX;

struct Arrival {
  uint32_t sequence;
  Clock::time_point at;
};

TEST(LinkEmulatorTest, FramesArriveNoSoonerThanTheirDelayAtAboutTheRateInOrder) {
  std::mutex mutex;
  std::vector<Arrival> arrivals;
  LinkShape shape;
  shape.delayMs = 30;
  shape.jitterMs = 10;
  shape.rateMbit = 8;  // 1 MB/s
  LinkEmulator link(shape, [&](const std::string& frame) {
    uint32_t sequence = 0;
    std::memcpy(&sequence, frame.data() + 1, sizeof(sequence));
    std::lock_guard<std::mutex> lock(mutex);
    arrivals.push_back({sequence, Clock::now()});
    return HostLink::SendResult::kSent;
  });

  // One small frame alone: its delay at least.
  const char type = 3;
  std::string body(3000, 'b');
  const Clock::time_point start = Clock::now();
  uint32_t sequence = 0;
  std::memcpy(&body[0], &sequence, sizeof(sequence));
  ASSERT_EQ(link.Send(&type, 1, body.data(), 4, kForever), LinkEmulator::Result::kSent);
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!arrivals.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(arrivals.size(), 1u);
    EXPECT_GE(arrivals[0].at - start, std::chrono::milliseconds(30));
  }

  // 300 KB as fast as the queue takes them: 0.3 s at the rate, plus the
  // delay; never sooner, and not three times as slow.
  const Clock::time_point bulkStart = Clock::now();
  constexpr uint32_t kFrames = 100;
  for (sequence = 1; sequence <= kFrames; ++sequence) {
    std::memcpy(&body[0], &sequence, sizeof(sequence));
    ASSERT_EQ(link.Send(&type, 1, body.data(), body.size(), kForever), LinkEmulator::Result::kSent);
  }
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (arrivals.size() == kFrames + 1) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(arrivals.size(), kFrames + 1);
  const auto took = arrivals.back().at - bulkStart;
  EXPECT_GE(took, std::chrono::milliseconds(300 + 30));
  EXPECT_LT(took, std::chrono::milliseconds(3 * (300 + 40)));
  for (uint32_t i = 0; i < arrivals.size(); ++i) EXPECT_EQ(arrivals[i].sequence, i);
}

TEST(LinkEmulatorTest, AFullQueueMakesTheSenderWaitAsLongAsAllowedAndAStopReleasesIt) {
  // The far end takes nothing until released: once the first frame is held
  // there, the queue fills up.
  std::atomic<bool> entered{false}, release{false};
  LinkShape shape;
  shape.delayMs = 10;
  shape.rateMbit = 100;  // a bound of 2 x 250 KB
  LinkEmulator link(shape, [&](const std::string&) {
    entered = true;
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return HostLink::SendResult::kStopped;
  });
  const char type = 3;
  const std::string body(3000, 'q');
  ASSERT_EQ(link.Send(&type, 1, body.data(), body.size(), 0), LinkEmulator::Result::kSent);
  while (!entered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 0; i < 100000 && link.Send(&type, 1, body.data(), body.size(), 0) == LinkEmulator::Result::kSent;) ++i;
  EXPECT_LE(link.PeakQueuedBytes(), LinkEmulator::QueueBound(shape));
  EXPECT_GE(link.PeakQueuedBytes(), LinkEmulator::QueueBound(shape) - body.size());

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(link.Send(&type, 1, body.data(), body.size(), 200), LinkEmulator::Result::kTimedOut);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));

  std::atomic<int> waited{-1};
  std::thread sender([&] {
    waited = static_cast<int>(link.Send(&type, 1, body.data(), body.size(), kForever));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(waited.load(), -1);
  link.Stop();
  release = true;
  sender.join();
  EXPECT_EQ(waited.load(), static_cast<int>(LinkEmulator::Result::kStopped));
}

TEST(LinkEmulatorTest, AFarEndThatGoesLosesWhatWasUnderWayAndTheNextGetsWhatFollows) {
  // The far end holds the first frame until released, so that the queue
  // fills behind it; then it turns out to be gone.
  std::mutex mutex;
  std::vector<std::string> delivered;
  std::atomic<bool> entered{false}, release{false}, farEndThere{false};
  std::atomic<int> refused{0};
  LinkShape shape;
  shape.delayMs = 5;
  shape.rateMbit = 100;
  LinkEmulator link(shape, [&](const std::string& frame) {
    entered = true;
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!farEndThere.load()) {
      ++refused;
      return HostLink::SendResult::kPeerAbsent;
    }
    std::lock_guard<std::mutex> lock(mutex);
    delivered.push_back(frame.substr(1, 8));
    return HostLink::SendResult::kSent;
  });
  const char type = 3;
  const std::string body(3000, 'b');
  ASSERT_EQ(link.Send(&type, 1, body.data(), body.size(), 0), LinkEmulator::Result::kSent);
  while (!entered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (link.Send(&type, 1, body.data(), body.size(), 0) == LinkEmulator::Result::kSent) {}
  // A sender waiting for room when the link drops what it held was sending
  // to that far end too.
  std::atomic<int> waited{-1};
  std::thread sender([&] {
    waited = static_cast<int>(link.Send(&type, 1, body.data(), body.size(), kForever));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(waited.load(), -1);
  link.Discard();
  sender.join();
  EXPECT_EQ(waited.load(), static_cast<int>(LinkEmulator::Result::kStopped));
  release = true;  // the frame in hand finds nobody
  while (refused.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  // The next far end gets what is sent from now on, and nothing from before.
  farEndThere = true;
  const std::string after = "after";
  ASSERT_EQ(link.Send(&type, 1, after.data(), after.size(), kForever), LinkEmulator::Result::kSent);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!delivered.empty() || Clock::now() > deadline) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(delivered, std::vector<std::string>{after});
}

}  // namespace
}  // namespace vchan_host
