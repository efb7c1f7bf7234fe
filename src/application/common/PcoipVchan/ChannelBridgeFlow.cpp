// Flow control across the link, as the bridge keeps it: what the plug-in reports
// of the peer's offers and credit, the pipe worker's look at credit before it
// sends a data message, and credit back to the peer as data is taken.
//
// Who does what, so that no new wait can close a circle (see the threads in
// ChannelBridge.h): the receive thread only records the peer's
// grants and asks; the PCoIP worker and the pipe servers' writers only count
// what arrived and what was taken. None of them sends: what is due for the
// link is flagged, and the pipe worker, the one thread that waits on the
// link anyway, sends it on its next pass, between two messages.
#include <chrono>
#include <utility>
#include <vector>

#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeMessageKind.h"

using Orvane::Extension::Windows::OutboundNote;

void ChannelBridge::ClassifyForCredit(PipeItem* item) {
  MessageKind kind;
  // The look the receiving end takes too (HandlePcoipMessage), so both count
  // the same messages.
  if (!item->departure && ReadMessageKind(item->bytes, &kind) &&
      kind.requestBody == KVX::Request::kTransferData) {
    item->isData = true;
    item->dataChannel = kind.channelId;
  }
}

void ChannelBridge::SetLinkControlRoutines(LinkControlRoutines routines) {
  platform::MutexLock guard(lifecycleLock);
  if (lifecycle != Lifecycle::kStarted) linkControl = routines;
}

void ChannelBridge::OnLinkOpened() {
  flowAgreed.store(false);
  OnLinkControlDue();
}

void ChannelBridge::OnLinkClosed() {
  flowAgreed.store(false);
  WakePipeWorker();
}

void ChannelBridge::OnPeerFlowMarker(uint32_t epoch) {
  // The data the peer sends from here on is counted afresh, from this very
  // place in its stream of datagrams.
  receiveLedger.StartEpoch(epoch);
  flowAgreed.store(true);
  OnLinkControlDue();
}

void ChannelBridge::OnPeerFlowRecords(const uint8_t* payload, size_t size) {
  if (!flowAgreed.load()) return;
  bool due = false;
  for (const flow::CreditRecord& record : flow::ReadRecords(payload, size)) {
    if (record.kind == flow::RecordKind::kGrant) {
      platform::MutexLock lock(grantInboxLock);
      grantInbox.push_back(record);
      due = true;
    } else if (receiveLedger.OnAsk(record)) {
      due = true;
    }
  }
  if (due) OnLinkControlDue();
}

void ChannelBridge::OnLinkControlDue() {
  // Set before the look at the worker's sleep, which the worker takes under
  // the same lock after its own look at this flag: one of the two sees the
  // other, so the wake-up is never lost.
  linkControlDue.store(true);
  WakePipeWorker();
}

void ChannelBridge::OnCreditConsumed(const OutboundNote& note) {
  if (note.bytes == 0) return;
  if (receiveLedger.OnConsumed(note.key, note.bytes, note.generation)) OnLinkControlDue();
}

uint32_t ChannelBridge::SendLinkControl(uint64_t nowMs) {
  const bool due = linkControlDue.exchange(false);
  if (due && linkControl.sendDueMarker != nullptr) {
    const uint32_t epoch = linkControl.sendDueMarker();
    if (epoch != 0) sendLedger.StartEpoch(epoch);
  }
  // Reports on what arrived go on every pass: they fall due with time too.
  const uint32_t reportInMs =
      linkControl.sendDueReports != nullptr ? linkControl.sendDueReports() : platform::kInfinite;
  if (!flowAgreed.load() || linkControl.sendRecords == nullptr) return reportInMs;
  std::string payload;
  if (due) {
    std::vector<flow::CreditRecord> grants;
    {
      platform::MutexLock lock(grantInboxLock);
      grants.swap(grantInbox);
    }
    for (const flow::CreditRecord& grant : grants) sendLedger.OnGrant(grant);
    receiveLedger.TakeGrants(&payload);
  }
  sendLedger.AppendDueAsks(nowMs, &payload);
  if (!payload.empty()) linkControl.sendRecords(payload);
  return reportInMs;
}

uint64_t ChannelBridge::SteadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool ChannelBridge::CreditAllows(const PipeItem& item, Take take, uint64_t nowMs) {
  if (!item.isData || !sendLedger.Started()) return true;
  const int64_t bytes = static_cast<int64_t>(item.bytes.size());
  // Counted from this end's offer on, so that both ends count the same data
  // once the peer's offer arrives; held back only once it has.
  if (flowAgreed.load() && !sendLedger.MayCarry(item.dataChannel, bytes, nowMs)) return false;
  if (take == Take::kTake) sendLedger.OnSent(item.dataChannel, bytes);
  return true;
}

void ChannelBridge::CreditNotUsed(const PipeItem& item) {
  if (!item.isData || !sendLedger.Started()) return;
  sendLedger.OnSent(item.dataChannel, -static_cast<int64_t>(item.bytes.size()));
}
