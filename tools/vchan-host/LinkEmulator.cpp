#include "tools/vchan-host/LinkEmulator.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vchan_host {
namespace {

// Strings of delivered frames kept for the next ones: a burst's worth.
constexpr size_t kMaxSpare = 256;

}  // namespace

size_t LinkEmulator::QueueBound(const LinkShape& shape) {
  if (shape.rateMbit <= 0) return kUnlimitedRateBound;
  const double bytesPerSecond = shape.rateMbit * 1e6 / 8;
  const double roundTripSeconds = (2 * shape.delayMs + shape.jitterMs) / 1000;
  return std::max(kMinQueueBytes, static_cast<size_t>(2 * bytesPerSecond * roundTripSeconds));
}

LinkEmulator::LinkEmulator(const LinkShape& shape, Deliver deliver)
    : shape_(shape), bound_(QueueBound(shape)), deliver_(std::move(deliver)),
      random_(std::random_device()()) {
  thread_ = std::thread([this] { Run(); });
}

LinkEmulator::~LinkEmulator() {
  Stop();
  Join();
}

void LinkEmulator::Join() {
  if (thread_.joinable()) thread_.join();
}

void LinkEmulator::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  DropHeldLocked();
  work_.notify_all();
}

void LinkEmulator::Discard() {
  std::lock_guard<std::mutex> lock(mutex_);
  DropHeldLocked();
}

void LinkEmulator::DropHeldLocked() {
  queue_.clear();
  flight_.clear();
  queuedBytes_ = flightBytes_ = 0;
  // The wire is idle from now on; the next frame is not scheduled behind
  // those dropped.
  wireFreeAt_ = lastDueAt_ = Clock::time_point{};
  ++drops_;
  roomFreed_.notify_all();
}

size_t LinkEmulator::PeakQueuedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peakQueued_;
}

LinkEmulator::Clock::duration LinkEmulator::WireTime(size_t bytes) const {
  if (shape_.rateMbit <= 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(bytes) * 8 / (shape_.rateMbit * 1e6)));
}

LinkEmulator::Clock::duration LinkEmulator::DrawDelay() {
  double ms = shape_.delayMs;
  if (shape_.jitterMs > 0) ms += std::uniform_real_distribution<double>(0, shape_.jitterMs)(random_);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

LinkEmulator::Result LinkEmulator::Send(const void* head, size_t headSize, const void* body,
                                        size_t bodySize, uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t drops = drops_;
  auto room = [&] {
    const size_t held = HeldLocked();
    return stopping_ || drops_ != drops || held == 0 || held + bodySize <= bound_;
  };
  if (!room()) {
    ++waiters_;
    if (timeoutMs == UINT32_MAX) {
      roomFreed_.wait(lock, room);
    } else {
      roomFreed_.wait_until(lock, deadline, room);
    }
    --waiters_;
    if (!room()) return Result::kTimedOut;
  }
  // A frame that waited behind those dropped was meant for the same far end.
  if (stopping_ || drops_ != drops) return Result::kStopped;
  Frame frame;
  if (!spare_.empty()) {
    frame.bytes.swap(spare_.back());
    spare_.pop_back();
  }
  frame.bytes.assign(static_cast<const char*>(head), headSize);
  frame.bytes.append(static_cast<const char*>(body), bodySize);
  frame.wireBytes = bodySize;
  frame.at = Clock::now();
  const bool wasEmpty = queue_.empty();
  queue_.push_back(std::move(frame));
  queuedBytes_ += bodySize;
  peakQueued_ = std::max(peakQueued_, queuedBytes_);
  // Otherwise the link's thread wakes for the frame ahead of this one anyway.
  if (wasEmpty) work_.notify_one();
  return Result::kSent;
}

size_t LinkEmulator::HeldLocked() const {
  // With no rate, nothing waits for the wire: what is under way is bounded.
  return queuedBytes_ + (shape_.rateMbit <= 0 ? flightBytes_ : 0);
}

void LinkEmulator::NotifyRoomLocked() {
  // A waiting sender is woken once a quarter of the bound is free, not for
  // each frame that leaves: it then brings several frames in a row, and the
  // queue never runs dry meanwhile.
  if (waiters_ > 0 && HeldLocked() <= bound_ - bound_ / 4) roomFreed_.notify_all();
}

void LinkEmulator::HandOverDue(std::unique_lock<std::mutex>& lock) {
  while (!stopping_ && !flight_.empty() && flight_.front().at <= Clock::now()) {
    Frame frame = std::move(flight_.front());
    flight_.pop_front();
    lock.unlock();
    // The real link may make us wait: the far end is behind.
    const HostLink::SendResult result = deliver_(frame.bytes);
    lock.lock();
    flightBytes_ -= std::min(flightBytes_, frame.wireBytes);
    if (spare_.size() < kMaxSpare) spare_.push_back(std::move(frame.bytes));
    NotifyRoomLocked();
    if (result == HostLink::SendResult::kStopped) {
      stopping_ = true;
    }
    if (result != HostLink::SendResult::kSent) {
      // The far end is gone (or the link stopped): what it would have
      // received goes nowhere. A far end that comes back gets what is sent
      // from then on.
      DropHeldLocked();
    }
  }
}

void LinkEmulator::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    Clock::time_point wake = Clock::time_point::max();
    // Onto the wire: a frame is sent once the wire is free and it has been
    // queued, and leaves the queue when its last bit is out.
    while (!queue_.empty()) {
      Frame& frame = queue_.front();
      const Clock::time_point sentAt = std::max(wireFreeAt_, frame.at) + WireTime(frame.wireBytes);
      if (sentAt > now) {
        wake = sentAt;
        break;
      }
      wireFreeAt_ = sentAt;
      lastDueAt_ = std::max(lastDueAt_, sentAt + DrawDelay());
      frame.at = lastDueAt_;
      queuedBytes_ -= frame.wireBytes;
      flightBytes_ += frame.wireBytes;
      flight_.push_back(std::move(frame));
      queue_.pop_front();
      NotifyRoomLocked();
    }
    if (!flight_.empty() && flight_.front().at <= now) {
      HandOverDue(lock);
      continue;
    }
    if (!flight_.empty()) wake = std::min(wake, flight_.front().at);
    if (wake == Clock::time_point::max()) {
      work_.wait(lock);
    } else {
      work_.wait_until(lock, wake);
    }
  }
}

}  // namespace vchan_host
