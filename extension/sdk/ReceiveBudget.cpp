#include "extension/sdk/ReceiveBudget.h"

namespace Orvane {
namespace Extension {
namespace SDK {

void ReceiveBudget::Take(size_t cost) {
  std::lock_guard<std::mutex> lock(mutex_);
  unread_ += cost;
  if (unread_ > peak_) peak_ = unread_;
}

void ReceiveBudget::Give(size_t cost) {
  bool roomNow = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool wasFull = unread_ >= limit_;
    unread_ = cost > unread_ ? 0 : unread_ - cost;
    roomNow = wasFull && unread_ < limit_;
  }
  if (roomNow) room_.notify_all();
}

void ReceiveBudget::WaitForRoom() {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [&] { return cancelled_ || unread_ < limit_; });
}

bool ReceiveBudget::Full() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !cancelled_ && unread_ >= limit_;
}

void ReceiveBudget::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  room_.notify_all();
}

uint64_t ReceiveBudget::Unread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unread_;
}

uint64_t ReceiveBudget::Peak() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
