// Over an emulated slow link (40 ms round trip, 50 Mbit/s) between two ends
// that pace: a second pair's small messages wait neither behind a bulk
// transfer in the link's queue nor behind one large message, the bulk keeps
// the link busy, and large messages still arrive whole and in order. The
// bounds are generous (a loaded machine, sanitizers); the figures themselves
// are the benchmark's (scripts/bench --link-only).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double kLinkBytesPerSecond = 50e6 / 8;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The server application echoes every data message of the ping pair.
class Echo {
 public:
  explicit Echo(RawApp& app) : app_(app), thread_([this] { Run(); }) {}
  ~Echo() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    std::string got;
    while (!stop_.load()) {
      if (app_.Next(&got, 200)) app_.Write(got);
    }
  }
  RawApp& app_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Round trips of 1 KiB until `running` is false; their times in ms, sorted.
std::vector<double> RoundTrips(RawApp& app, int64_t id, const std::atomic<bool>& running) {
  std::vector<double> times;
  std::string got;
  for (uint32_t i = 0; running.load(); ++i) {
    const std::string ping = TransferRequest(id, std::to_string(i) + std::string(1024, 'p'), false);
    const Clock::time_point start = Clock::now();
    if (!app.Write(ping) || !app.Next(&got, kWaitMs)) break;
    EXPECT_EQ(got, ping);
    times.push_back(MsSince(start));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::sort(times.begin(), times.end());
  return times;
}

// The bulk pair sends `count` messages of `size`, each its own bytes; the
// receiver checks every byte and the order. The bulk's rate in bytes per
// second.
double Bulk(RawApp& sender, RawApp& receiver, int64_t id, size_t size, int count,
            std::atomic<bool>* running) {
  std::atomic<int> sent{0};
  const Clock::time_point start = Clock::now();
  std::thread writer([&] {
    for (int i = 0; i < count; ++i) {
      if (!sender.Write(TransferRequest(id, RandomBytes(size, static_cast<uint32_t>(i)), false))) break;
      ++sent;
    }
    sent.store(-sent.load() - 1);  // done: the count, negated
  });
  int received = 0;
  std::string got;
  while (sent.load() >= 0 || received < -sent.load() - 1) {
    if (!receiver.Next(&got, kWaitMs)) break;
    EXPECT_TRUE(got == TransferRequest(id, RandomBytes(size, static_cast<uint32_t>(received)), false))
        << "message " << received << " of " << size << " bytes came changed or out of order";
    ++received;
  }
  const double elapsed = MsSince(start) / 1000;
  *running = false;
  writer.join();
  EXPECT_EQ(received, -sent.load() - 1);
  return static_cast<double>(received) * static_cast<double>(size) / elapsed;
}

TEST(PacingTest, OverASlowLinkASecondPairNeitherWaitsBehindBulkNorBehindALargeMessage) {
  SessionHarness session;
  HostLaunch wan;
  wan.extraArgs = {"--link-preset", "wan"};
  ASSERT_TRUE(session.Start(wan, wan));
  RawApp bulkServer(SessionHarness::ServerPipe()), bulkClient(SessionHarness::ClientPipe());
  RawApp pingServer(SessionHarness::ServerPipe()), pingClient(SessionHarness::ClientPipe());
  const int64_t bulkId = Pair(bulkServer, bulkClient, "e2e.pacing.bulk", kWaitMs);
  const int64_t pingId = Pair(pingServer, pingClient, "e2e.pacing.ping", kWaitMs);
  ASSERT_GE(bulkId, 0);
  ASSERT_GE(pingId, 0);
  ASSERT_TRUE(session.WaitForLog(true, "the peer offers feedback and interleaving"));
  ASSERT_TRUE(session.WaitForLog(false, "the peer offers feedback and interleaving"));
  Echo echo(pingServer);

  // 64 KiB messages: without pacing the link's own queue (80 ms) sits in
  // every round trip of the second pair.
  {
    std::atomic<bool> running{true};
    std::vector<double> times;
    std::thread pinger([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the bulk fills the way first
      times = RoundTrips(pingClient, pingId, running);
    });
    const double rate = Bulk(bulkClient, bulkServer, bulkId, 65536, 300, &running);
    pinger.join();
    std::printf("beside 64 KiB bulk: %zu round trips, p50 %.1f ms, max %.1f ms; bulk %.2f MB/s\n",
                times.size(), times.empty() ? 0 : times[times.size() / 2], times.empty() ? 0 : times.back(),
                rate / 1e6);
    ASSERT_GE(times.size(), 20u);
    EXPECT_LE(times[times.size() / 2], 100.0) << "the second pair waits in the link's queue";
    EXPECT_GE(rate, 0.6 * kLinkBytesPerSecond) << "the bulk no longer keeps the link busy";
  }
  // 4 MiB messages, each 670 ms on the link: sent whole, every round trip of
  // the second pair would wait for one.
  {
    std::atomic<bool> running{true};
    std::vector<double> times;
    std::thread pinger([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      times = RoundTrips(pingClient, pingId, running);
    });
    const Clock::time_point start = Clock::now();
    const double rate = Bulk(bulkClient, bulkServer, bulkId, 4 << 20, 5, &running);
    pinger.join();
    std::printf("beside 4 MiB messages: %zu round trips, p50 %.1f ms, max %.1f ms; bulk %.2f MB/s in %.1f s\n",
                times.size(), times.empty() ? 0 : times[times.size() / 2], times.empty() ? 0 : times.back(),
                rate / 1e6, MsSince(start) / 1000);
    ASSERT_GE(times.size(), 20u);
    EXPECT_LE(times.back(), 400.0) << "a large message holds the link whole";
  }
  EXPECT_EQ(session.CountLog(true, "ERROR"), 0);
  EXPECT_EQ(session.CountLog(false, "ERROR"), 0);
  EXPECT_TRUE(session.StopCleanly());
}

}  // namespace
}  // namespace e2e
