// The bridge's credit for every channel, both ways, built on the windows of
// ChannelBridgeFlowWindow.h. Used only while both ends have offered flow
// control on the current opening of the link (see PcoipVchanFlowLink.h).
//
// Epochs: each end starts counting its sending afresh whenever it sends an
// offer or an answer, which carries a new epoch number; the far end starts
// its receiving count afresh when that datagram arrives, in the same place
// in the stream of datagrams. Grants and asks carry the data sender's epoch,
// so a grant from before a fresh start is not taken for one after it. An end
// that missed the fresh start (the datagram was lost) learns it from the
// sender's next ask.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "src/application/common/PcoipVchan/ChannelBridgeFlowRecords.h"
#include "src/application/common/PcoipVchan/ChannelBridgeFlowWindow.h"

namespace flow {

// More channel IDs than this tracked at one end in one epoch: the entries
// with nothing under way are forgotten. Twice the channel table's bound, so
// only data sent to IDs no table holds ever makes it happen; a forgotten
// entry at the sending end may then be granted more than a window once.
constexpr size_t kMaxTrackedChannels = 8192;

// The sending end: the pipe worker's alone, so it needs no lock.
class SendLedger {
 public:
  // Our offer or answer went out with this epoch: every count starts afresh.
  void StartEpoch(uint32_t epoch);
  bool Started() const { return epoch_ != 0; }
  uint32_t Epoch() const { return epoch_; }

  // The pipe worker's look at the data message at the head of every lane,
  // once per pass (between BeginPass and EndPass), and its taking of data. A
  // channel not found waiting again in a pass stops waiting.
  void BeginPass();
  void EndPass();
  bool MayCarry(int64_t channelId, int64_t bytes, uint64_t nowMs);
  void OnSent(int64_t channelId, int64_t bytes);
  void OnGrant(const CreditRecord& grant);
  // Appends an ask for every channel that has waited kAskAgainMs.
  void AppendDueAsks(uint64_t nowMs, std::string* payload);
  // Milliseconds until the next ask is due; ~0 when nothing waits.
  uint64_t MsUntilNextAsk(uint64_t nowMs) const;

 private:
  SendWindow& WindowOf(int64_t channelId);

  uint32_t epoch_ = 0;
  std::unordered_map<int64_t, SendWindow> windows_;
  std::vector<int64_t> blocked_;
  std::vector<int64_t> blockedBefore_;
};

// The receiving end: events from the PCoIP worker (data arrived, dropped),
// from the pipe servers' writers and the PCoIP worker (data taken), and from
// the receive thread (the sender's fresh start, its asks). Grants due are
// collected for the pipe worker, the one thread that may wait on the link.
// Thread-safe; its lock is innermost: nothing else is taken under it.
class ReceiveLedger {
 public:
  void StartEpoch(uint32_t epoch) EXCLUDES(mutex_);
  // Counts a data message that arrived; returns the epoch to tag it with,
  // for OnConsumed.
  uint32_t OnArrived(int64_t channelId, int64_t bytes) EXCLUDES(mutex_);
  // Data of `epoch` taken by its application or dropped. True when a grant
  // is now due (the caller wakes the pipe worker).
  bool OnConsumed(int64_t channelId, int64_t bytes, uint32_t epoch) EXCLUDES(mutex_);
  // The sender asks: it has waited on its window. True as OnConsumed.
  bool OnAsk(const CreditRecord& ask) EXCLUDES(mutex_);
  // Moves the grants due into `payload`.
  void TakeGrants(std::string* payload) EXCLUDES(mutex_);
  // Bytes held here for a channel (for tests and figures).
  int64_t Held(int64_t channelId) EXCLUDES(mutex_);

 private:
  ReceiveWindow& WindowOf(int64_t channelId) REQUIRES(mutex_);
  bool QueueGrantIfDue(int64_t channelId, ReceiveWindow& window)
      REQUIRES(mutex_);

  platform::Mutex mutex_;
  uint32_t epoch_ GUARDED_BY(mutex_) = 0;
  std::unordered_map<int64_t, ReceiveWindow> windows_ GUARDED_BY(mutex_);
  std::string grants_ GUARDED_BY(mutex_);
};

}  // namespace flow
