// Credit for one channel in one direction across the link, as two small
// classes without threads or locks: the bridge feeds them events and asks
// them questions. The sending end keeps a SendWindow per channel ID, the
// receiving end a ReceiveWindow; the receiving end grants, the sending end
// never sends beyond what was granted, so a slow application at the far end
// holds back its own channel and no other.
//
// Every offset is a total of data bytes on the channel since the two ends
// last started counting afresh (the epoch, see ChannelBridgeFlowLedger.h), so
// a grant repeated, overtaken or arriving late changes nothing:
//
//   sending end:   0 ............ sent ................... limit
//                  |<-- sent ---->|<----- may send ------->|
//                                  limit: the highest grant heard
//
//   receiving end: 0 ...... consumed ......... arrived ........ granted
//                  |<-taken->|<-- held here -->|<- may come ->|
//                             granted = consumed + window, when last told
//
// The receiving end holds at most a window's worth per channel: everything
// the sender may send beyond what the application has taken. It grants again
// once a quarter of a window has been taken, so a sender that keeps the
// window full is never idle for want of credit while a grant is on its way. A window that its sender uses in full
// while the application keeps up grows (see TakeGrant).
#pragma once

#include <algorithm>
#include <cstdint>

namespace flow {

// Each channel starts with this much credit in each direction, before any
// grant. At least the bandwidth-delay product of the links the product
// meets, queues included (a 50 Mbit/s link 40 ms away, with 80 ms of queue
// each way, needs about 1.2 MB), and a quarter of an application's outbound
// queue, so that a few busy channels of one application fit in it.
constexpr int64_t kInitialWindowBytes = int64_t{2} << 20;
// A window grows to at most this: half an application's outbound queue, so
// that one channel never fills it alone.
constexpr int64_t kLargestWindowBytes = int64_t{4} << 20;
// How far short of the whole window a message larger than the window may
// find its credit and still go.
constexpr int64_t kWholeWindowSlackBytes = int64_t{64} << 10;
// A sender that has waited this long on a window asks again: the grant may
// have been lost, or data counted against the window may have been.
constexpr uint64_t kAskAgainMs = 1000;

class SendWindow {
 public:
  // Whether a message of `bytes` may go now: it fits the credit, or it is
  // larger than the window and the whole window is open (so messages up to
  // the pipe's quota still pass). "Whole" allows for a few small messages
  // not credited back yet (kWholeWindowSlackBytes), so that a large message
  // after them need not wait for a grant.
  bool MayCarry(int64_t bytes) const {
    const int64_t available = limit_ - sent_;
    return bytes <= available ||
           (bytes > window_ && available + kWholeWindowSlackBytes >= window_);
  }
  void OnSent(int64_t bytes) { sent_ += bytes; }
  // A grant: the receiver allows `limit` bytes in total, and keeps `window`
  // beyond what it has taken. A lower limit than one heard before is stale.
  void OnGrant(int64_t limit, int64_t window) {
    if (window > 0) window_ = window;
    if (limit > limit_) limit_ = limit;
  }

  // Waiting: `nowMs` is when the sender found a message of `bytes` that
  // does not fit. One larger than the window waits for the whole window,
  // which the receiver grants only when asked (it grants in steps of a
  // quarter of a window), so for it the sender asks at once.
  void OnBlocked(uint64_t nowMs, int64_t bytes) {
    if (!blocked_) blockedSinceMs_ = bytes > window_ ? nowMs - kAskAgainMs : nowMs;
    blocked_ = true;
  }
  void OnUnblocked() { blocked_ = false; }
  bool Blocked() const { return blocked_; }
  // True once it has waited kAskAgainMs since it began to wait or last asked.
  bool ShouldAsk(uint64_t nowMs) const { return blocked_ && nowMs - blockedSinceMs_ >= kAskAgainMs; }
  void OnAsked(uint64_t nowMs) { blockedSinceMs_ = nowMs; }
  // When ShouldAsk will be true (meaningful while blocked).
  uint64_t AskDueMs() const { return blockedSinceMs_ + kAskAgainMs; }

  int64_t Sent() const { return sent_; }
  int64_t Limit() const { return limit_; }

 private:
  int64_t sent_ = 0;
  int64_t limit_ = kInitialWindowBytes;
  int64_t window_ = kInitialWindowBytes;
  bool blocked_ = false;
  uint64_t blockedSinceMs_ = 0;
};

class ReceiveWindow {
 public:
  // A data message of the channel reached this end.
  void OnArrived(int64_t bytes) { arrived_ += bytes; }
  // The application took it (it went into the pipe), or it was dropped.
  void OnConsumed(int64_t bytes) { consumed_ += bytes; }
  // The sender, waiting on its window, says it has sent `sentTotal` in all.
  // Every byte it sent came before its question on the link: what never
  // arrived was lost and is taken as consumed; what this end counted beyond
  // it (counted before the sender started afresh) is counted again as it
  // drains. A grant is due in any case, as the sender is waiting.
  void OnSenderTotal(int64_t sentTotal) {
    consumed_ += sentTotal - arrived_;
    arrived_ = sentTotal;
    askedForGrant_ = true;
    senderWaiting_ = true;
  }
  // Whether to tell the sender: a quarter of a window or more has been
  // taken since the last grant, or the sender asked, or a sender that asked
  // (and may wait for the whole window) finds everything taken now.
  bool GrantDue() const {
    return askedForGrant_ || (senderWaiting_ && Held() <= 0 && consumed_ + window_ > granted_) ||
           consumed_ + window_ - granted_ >= window_ / 4;
  }
  // The grant to send now; it is taken as told. When the sender had used
  // nearly all of the last grant and the application has taken everything,
  // credit, not the reader, held the channel back: the window doubles, up
  // to kLargestWindowBytes (a slow reader, which leaves data held, never
  // makes it grow).
  int64_t TakeGrant() {
    if (arrived_ + window_ / 2 > granted_ && Held() <= 0 && window_ < kLargestWindowBytes) {
      window_ = std::min(window_ * 2, kLargestWindowBytes);
    }
    granted_ = consumed_ + window_;
    askedForGrant_ = false;
    if (Held() <= 0) senderWaiting_ = false;
    return granted_;
  }
  int64_t Window() const { return window_; }
  // Bytes that arrived and have not been taken yet.
  int64_t Held() const { return arrived_ - consumed_; }

 private:
  int64_t arrived_ = 0;
  int64_t consumed_ = 0;
  int64_t granted_ = kInitialWindowBytes;
  int64_t window_ = kInitialWindowBytes;
  bool askedForGrant_ = false;
  bool senderWaiting_ = false;
};

}  // namespace flow
