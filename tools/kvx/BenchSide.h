// kvx bench's second pair: another application at each end, on the channel
// "<name>.side", whose 1 KiB round trips are timed while the first pair's
// throughput run keeps the link busy. They show how long a small message of
// one application waits behind another's bulk transfer, in the link's queue
// above all.
//
// Between the two ends the side channel speaks as the bench's own: a ping is
// data starting with 'P', answered with the same bytes and app value.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/kvx/Common.h"
#include "tools/kvx/Options.h"

namespace kvx {

// Round trips in microseconds, sorted once taken.
struct LatencyFigures {
  std::vector<double> micros;
  double Percentile(double p) const {
    if (micros.empty()) return 0;
    size_t index = static_cast<size_t>(p / 100.0 * static_cast<double>(micros.size() - 1) + 0.5);
    return micros[std::min(index, micros.size() - 1)];
  }
  double Mean() const {
    double sum = 0;
    for (double m : micros) sum += m;
    return micros.empty() ? 0 : sum / static_cast<double>(micros.size());
  }
};

std::string SideChannelName(const std::string& name);

constexpr size_t kSidePingBytes = 1024;

// At the serving end: answers pings on the side channel in a session of its
// own, on a thread of its own, until destroyed; then leaves the channel.
class SideServer {
 public:
  explicit SideServer(const Options& options) : options_(options) {}
  ~SideServer();
  SideServer(const SideServer&) = delete;
  SideServer& operator=(const SideServer&) = delete;

  Error Start(const std::string& name);

 private:
  void Run();

  const Options& options_;
  std::unique_ptr<Session> session_;
  Channel channel_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// At the measuring end: one 1 KiB ping at a time on the side channel, in a
// session of its own, on a thread of its own.
class SidePinger {
 public:
  explicit SidePinger(const Options& options) : options_(options) {}
  ~SidePinger();
  SidePinger(const SidePinger&) = delete;
  SidePinger& operator=(const SidePinger&) = delete;

  // Opens the session and the side channel and waits, within the time-out,
  // until the serving end holds it too.
  Error Open(const std::string& name);
  // Starts pinging after `delay`, which lets the bulk fill the way first.
  void Start(std::chrono::milliseconds delay);
  // Stops once the ping on its way has come back (its round trip was spent
  // beside the bulk too); the round trips, sorted, or why pinging failed.
  Error Stop(LatencyFigures* figures);

 private:
  void Run(std::chrono::milliseconds delay);
  // Waits for the answer to ping `index`, skipping anything else.
  Error AwaitAnswer(const std::string& ping, int64_t index);

  const Options& options_;
  std::unique_ptr<Session> session_;
  Channel channel_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  LatencyFigures figures_;
  Error error_;
  std::thread thread_;
};

}  // namespace kvx
