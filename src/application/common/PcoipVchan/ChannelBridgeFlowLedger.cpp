#include "src/application/common/PcoipVchan/ChannelBridgeFlowLedger.h"

#include <algorithm>

namespace flow {

void SendLedger::StartEpoch(uint32_t epoch) {
  epoch_ = epoch;
  windows_.clear();
  blocked_.clear();
  blockedBefore_.clear();
}

namespace {

// The window of a channel, made when first needed. At kMaxTrackedChannels the
// windows `idle` says nothing is lost by forgetting go first.
template <typename Window, typename Idle>
Window& FindOrTrack(std::unordered_map<int64_t, Window>& windows, int64_t channelId, Idle idle) {
  auto found = windows.find(channelId);
  if (found != windows.end()) return found->second;
  if (windows.size() >= kMaxTrackedChannels) {
    for (auto it = windows.begin(); it != windows.end();) {
      it = idle(it->second) ? windows.erase(it) : std::next(it);
    }
  }
  return windows[channelId];
}

}  // namespace

SendWindow& SendLedger::WindowOf(int64_t channelId) {
  // Idle: not waiting, and with at least the credit a new window starts with.
  const auto idle = [](const SendWindow& window) {
    return !window.Blocked() && window.Limit() - window.Sent() >= kInitialWindowBytes;
  };
  // Counting for a peer that never grants (it has not offered), or every
  // channel under way: start afresh rather than grow.
  if (windows_.size() >= kMaxTrackedChannels && windows_.count(channelId) == 0 &&
      std::none_of(windows_.begin(), windows_.end(),
                   [&idle](const auto& entry) { return idle(entry.second); })) {
    windows_.clear();
  }
  return FindOrTrack(windows_, channelId, idle);
}

void SendLedger::BeginPass() {
  blockedBefore_.swap(blocked_);
  blocked_.clear();
}

void SendLedger::EndPass() {
  // A channel that waited in the last pass and was not found waiting in this
  // one (its lane moved on, or emptied) waits no more.
  for (int64_t channelId : blockedBefore_) {
    if (std::find(blocked_.begin(), blocked_.end(), channelId) != blocked_.end()) continue;
    auto found = windows_.find(channelId);
    if (found != windows_.end()) found->second.OnUnblocked();
  }
  blockedBefore_.clear();
}

bool SendLedger::MayCarry(int64_t channelId, int64_t bytes, uint64_t nowMs) {
  SendWindow& window = WindowOf(channelId);
  if (window.MayCarry(bytes)) {
    window.OnUnblocked();
    return true;
  }
  window.OnBlocked(nowMs, bytes);
  if (std::find(blocked_.begin(), blocked_.end(), channelId) == blocked_.end()) {
    blocked_.push_back(channelId);
  }
  return false;
}

void SendLedger::OnSent(int64_t channelId, int64_t bytes) { WindowOf(channelId).OnSent(bytes); }

void SendLedger::OnGrant(const CreditRecord& grant) {
  if (grant.epoch != epoch_) return;  // about counts from before a fresh start
  WindowOf(grant.channelId).OnGrant(grant.total, grant.window);
}

void SendLedger::AppendDueAsks(uint64_t nowMs, std::string* payload) {
  for (int64_t channelId : blocked_) {
    auto found = windows_.find(channelId);
    if (found == windows_.end() || !found->second.ShouldAsk(nowMs)) continue;
    found->second.OnAsked(nowMs);
    AppendRecord(CreditRecord{RecordKind::kAsk, epoch_, channelId, found->second.Sent(), 0},
                 payload);
  }
}

uint64_t SendLedger::MsUntilNextAsk(uint64_t nowMs) const {
  uint64_t soonest = ~uint64_t{0};
  for (int64_t channelId : blocked_) {
    auto found = windows_.find(channelId);
    if (found == windows_.end() || !found->second.Blocked()) continue;
    const uint64_t due = found->second.AskDueMs();
    soonest = std::min(soonest, due > nowMs ? due - nowMs : 0);
  }
  return soonest;
}

void ReceiveLedger::StartEpoch(uint32_t epoch) {
  platform::MutexLock lock(mutex_);
  epoch_ = epoch;
  windows_.clear();
}

ReceiveWindow& ReceiveLedger::WindowOf(int64_t channelId) {
  return FindOrTrack(windows_, channelId,
                     [](const ReceiveWindow& window) { return window.Held() == 0; });
}

uint32_t ReceiveLedger::OnArrived(int64_t channelId, int64_t bytes) {
  platform::MutexLock lock(mutex_);
  WindowOf(channelId).OnArrived(bytes);
  return epoch_;
}

bool ReceiveLedger::QueueGrantIfDue(int64_t channelId, ReceiveWindow& window) {
  if (!window.GrantDue()) return false;
  const int64_t total = window.TakeGrant();
  AppendRecord(CreditRecord{RecordKind::kGrant, epoch_, channelId, total,
                            static_cast<uint32_t>(window.Window())},
               &grants_);
  return true;
}

bool ReceiveLedger::OnConsumed(int64_t channelId, int64_t bytes, uint32_t epoch) {
  platform::MutexLock lock(mutex_);
  if (epoch != epoch_) return false;  // counted before the sender started afresh
  ReceiveWindow& window = WindowOf(channelId);
  window.OnConsumed(bytes);
  return QueueGrantIfDue(channelId, window);
}

bool ReceiveLedger::OnAsk(const CreditRecord& ask) {
  platform::MutexLock lock(mutex_);
  if (ask.epoch != epoch_) {
    // The sender's fresh start never arrived (its datagram was lost): it
    // starts here, late, and the ask sets this channel's count right.
    epoch_ = ask.epoch;
    windows_.clear();
  }
  ReceiveWindow& window = WindowOf(ask.channelId);
  window.OnSenderTotal(ask.total);
  return QueueGrantIfDue(ask.channelId, window);
}

void ReceiveLedger::TakeGrants(std::string* payload) {
  platform::MutexLock lock(mutex_);
  payload->append(grants_);
  grants_.clear();
}

int64_t ReceiveLedger::Held(int64_t channelId) {
  platform::MutexLock lock(mutex_);
  auto found = windows_.find(channelId);
  return found == windows_.end() ? 0 : found->second.Held();
}

}  // namespace flow
