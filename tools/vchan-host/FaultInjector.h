// Decides, call by call, where an injected fault strikes: every Nth received
// datagram lost, every Nth send refused, every Nth read answered "empty",
// every Nth read failed, every Nth count query failed.
// Counters are per kind and safe to use from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "tools/vchan-host/HostOptions.h"

namespace vchan_host {

class FaultInjector {
 public:
  explicit FaultInjector(const FaultOptions& options) : options_(options) {}

  bool DropThisDatagram() { return Strikes(options_.dropEvery, datagrams_, &dropped_); }
  bool FailThisSend() { return Strikes(options_.failSendEvery, sends_, &failedSends_); }
  bool EmptyThisRead() { return Strikes(options_.emptyReadEvery, reads_, &emptyReads_); }
  bool FailThisRead() { return Strikes(options_.failReadEvery, readsForFailure_, &failedReads_); }
  bool FailThisCount() { return Strikes(options_.failCountEvery, counts_, &failedCounts_); }

  uint64_t Dropped() const { return dropped_.load(); }
  uint64_t FailedSends() const { return failedSends_.load(); }
  uint64_t EmptyReads() const { return emptyReads_.load(); }
  uint64_t FailedReads() const { return failedReads_.load(); }
  uint64_t FailedCounts() const { return failedCounts_.load(); }
  const FaultOptions& Options() const { return options_; }

 private:
  static bool Strikes(uint32_t every, std::atomic<uint64_t>& calls, std::atomic<uint64_t>* hits) {
    if (every == 0) return false;
    if ((calls.fetch_add(1) + 1) % every != 0) return false;
    hits->fetch_add(1);
    return true;
  }

  const FaultOptions options_;
  std::atomic<uint64_t> datagrams_{0}, sends_{0}, reads_{0}, readsForFailure_{0}, counts_{0};
  std::atomic<uint64_t> dropped_{0}, failedSends_{0}, emptyReads_{0}, failedReads_{0},
      failedCounts_{0};
};

// When to close the channel and when to offer it again: closeAfterMs after
// each opening, reopenAfterMs after each close, closeCount times.
class CloseReopenSchedule {
 public:
  enum class Action { kNone, kClose, kReopen };
  explicit CloseReopenSchedule(const FaultOptions& options) : options_(options) {}

  Action Next(int64_t nowMs, bool channelUp) {
    if (options_.closeAfterMs == 0) return Action::kNone;
    switch (state_) {
      case State::kWaitUp:
        if (channelUp) {
          since_ = nowMs;
          state_ = State::kOpen;
        }
        return Action::kNone;
      case State::kOpen:
        if (nowMs - since_ < options_.closeAfterMs) return Action::kNone;
        since_ = nowMs;
        state_ = State::kClosed;
        return Action::kClose;
      case State::kClosed:
        if (nowMs - since_ < options_.reopenAfterMs) return Action::kNone;
        ++cycles_;
        state_ = (options_.closeCount == 0 || cycles_ < options_.closeCount) ? State::kWaitUp
                                                                             : State::kDone;
        return Action::kReopen;
      case State::kDone:
        return Action::kNone;
    }
    return Action::kNone;
  }

 private:
  enum class State { kWaitUp, kOpen, kClosed, kDone };
  const FaultOptions options_;
  State state_ = State::kWaitUp;
  int64_t since_ = 0;
  uint32_t cycles_ = 0;
};

}  // namespace vchan_host
