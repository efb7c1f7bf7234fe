// A slower, distant link in front of the real one, for what this end sends:
// a bounded queue in front of a wire of the given rate (each frame takes its
// size over the rate), then the one-way delay plus up to the jitter, frames
// kept in order, then the real link. Like a real bottleneck, the queue holds
// about twice the link's bandwidth-delay product; while it is full a send
// waits, and so the plug-in's send waits as on a real session. Nothing is
// dropped here.
//
// One thread runs the link: it moves frames from the queue onto the wire
// when their turn comes and hands them to the real link when their delay is
// over. Times are kept on an exact schedule, so a thread that wakes late
// hands several frames on at once but the rate stays what was asked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/vchan-host/HostLink.h"
#include "tools/vchan-host/HostOptions.h"

namespace vchan_host {

class LinkEmulator {
 public:
  // Hands one frame to the real link, waiting as long as it pushes back.
  using Deliver = std::function<HostLink::SendResult(const std::string& frame)>;
  enum class Result { kSent, kTimedOut, kStopped };

  LinkEmulator(const LinkShape& shape, Deliver deliver);
  ~LinkEmulator();
  LinkEmulator(const LinkEmulator&) = delete;
  LinkEmulator& operator=(const LinkEmulator&) = delete;

  // Puts one frame (a type byte `head` and its body) on the link, waiting at
  // most `timeoutMs` (UINT32_MAX: as long as it takes) while the queue is
  // full. The frame's size on the wire is its body's. kStopped once stopped,
  // or when what the link held was dropped while this send waited.
  Result Send(const void* head, size_t headSize, const void* body, size_t bodySize,
              uint32_t timeoutMs);

  // The far end has gone: frames still queued or on their way are dropped,
  // as the real link does by itself when it cannot hand one over; waiting
  // sends end. The link carries on for the next far end.
  void Discard();
  // Frames still queued or on their way are dropped; waiting sends end.
  void Stop();
  // After Stop, waits for the link's thread, which may be in a hand-over to
  // the real link until that link is stopped too.
  void Join();

  // The queue's bound in bytes: twice the rate times the round trip (two
  // delays plus the jitter), at least kMinQueueBytes; with no rate given,
  // the bytes under way are bounded by kUnlimitedRateBound instead.
  static size_t QueueBound(const LinkShape& shape);
  size_t PeakQueuedBytes() const;

  static constexpr size_t kMinQueueBytes = 16 * 1024;
  static constexpr size_t kUnlimitedRateBound = 16u << 20;

 private:
  using Clock = std::chrono::steady_clock;
  struct Frame {
    std::string bytes;
    size_t wireBytes = 0;
    Clock::time_point at;  // queued at; then: due at the far end
  };
  void Run();
  Clock::duration WireTime(size_t bytes) const;
  Clock::duration DrawDelay();
  void HandOverDue(std::unique_lock<std::mutex>& lock);
  size_t HeldLocked() const;
  void NotifyRoomLocked();
  void DropHeldLocked();

  const LinkShape shape_;
  const size_t bound_;
  Deliver deliver_;

  mutable std::mutex mutex_;
  std::condition_variable roomFreed_;
  std::condition_variable work_;
  std::deque<Frame> queue_;   // waiting for the wire
  std::deque<Frame> flight_;  // on the wire or on their way, due in order
  size_t queuedBytes_ = 0, flightBytes_ = 0, peakQueued_ = 0;
  int waiters_ = 0;
  uint64_t drops_ = 0;  // times DropHeldLocked ran; a waiting send compares
  Clock::time_point wireFreeAt_{};  // when the wire has sent all it was given
  Clock::time_point lastDueAt_{};   // no frame is due before the one ahead of it
  std::vector<std::string> spare_;  // strings of delivered frames, for reuse
  bool stopping_ = false;
  std::mt19937 random_;
  std::thread thread_;
};

}  // namespace vchan_host
