// The queues' producer side: what the pipe readers, the receive thread and
// the PCoIP worker queue for the workers (ChannelBridgeWorkers.cpp), and how
// they wake them. Producers only append and signal. Both queues are bounded
// by bytes: a full queue (for the pipe queue, a full lane of one pipe) holds
// its producers back (see ChannelBridgeQueue.h), never the items they have
// already taken in. Which thread waits for what, and why no cycle of waits
// can close: ChannelBridge.h.
#include <utility>

#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

namespace {
AnswerOrder::TableEffect TableEffectOf(const PipeItem& item) {
  using Effect = AnswerOrder::TableEffect;
  if (item.departure) return Effect::kDeparture;
  return item.changesTable ? Effect::kMayChange : Effect::kNone;
}
}  // namespace

size_t ChannelBridge::LaneIndexOf(int32_t pipeId) {
  return pipeId >= 0 && pipeId < kPipeServerCount ? static_cast<size_t>(pipeId) : 0;
}

size_t ChannelBridge::PipeQueueBytes() const {
  size_t bytes = peerBoundQueue.Bytes();
  for (const auto& lane : pipeLanes) bytes += lane->Bytes();
  return bytes;
}

void ChannelBridge::ClearPipeQueue() {
  peerBoundQueue.clear();
  peerBoundWaiting.clear();
  answerOrder.Clear();
  for (auto& lane : pipeLanes) lane->clear();
}

void ChannelBridge::OnPipeClientLeaving(int32_t pipeId) {
  platform::CriticalSectionLock guard(pipeQueueLock);
  answerOrder.ReserveDeparture(LaneIndexOf(pipeId));
}

void ChannelBridge::QueuePipeMessage(PipeItem item) {
  item.changesTable =
      item.departure || (RequestBodiesOnWire(item.bytes) & (kWireConnect | kWireDisconnect)) != 0;
  QueueClassifiedPipeMessage(std::move(item));
}

void ChannelBridge::QueueClassifiedPipeMessage(PipeItem item, Wake wake) {
  bool setEvent = false;
  {
    platform::CriticalSectionLock guard(pipeQueueLock);
    const size_t lane = LaneIndexOf(item.pipeId);
    item.stamp = answerOrder.StampLaneItem(lane, TableEffectOf(item));
    pipeLanes[lane]->push_back(std::move(item));
    setEvent = wake == Wake::kNow && pipeWorkerAsleep;
    if (setEvent) pipeWorkerAsleep = false;
  }
  if (setEvent) platform::SetEventObject(pipeQueueEvent);
}

void ChannelBridge::WakePipeWorker() {
  {
    platform::CriticalSectionLock guard(pipeQueueLock);
    if (!pipeWorkerAsleep) return;
    pipeWorkerAsleep = false;
  }
  platform::SetEventObject(pipeQueueEvent);
}

void ChannelBridge::QueuePcoipMessage(std::string bytes) {
  {
    platform::CriticalSectionLock guard(pcoipQueueLock);
    pcoipQueue.push_back(std::move(bytes));
  }
  platform::SetEventObject(pcoipQueueEvent);
}

bool ChannelBridge::WaitForPcoipQueueRoom(uint32_t timeoutMs) {
  if (pcoipQueue.HasRoom()) return true;
  return platform::WaitForEvent(pcoipQueue.RoomEvent(), timeoutMs) == platform::kWaitObject0;
}

void ChannelBridge::PeerRoute::operator()(const std::string& bytes) const {
  if (bridge.OnPcoipWorker()) {
    // The PCoIP worker must not wait on the channel (see the threads in
    // ChannelBridge.h): the pipe worker sends these bytes, in turn with the rest.
    bridge.QueueForPeer(bytes);
    return;
  }
  SendNow(bytes);
}

void ChannelBridge::QueueForPeer(const std::string& bytes) {
  // Whether the answer is about a channel in the table: those are bounded by
  // the table, the rest by kPeerBoundBacklogBytes (see there).
  bool aboutHeldChannel = false;
  KVX::Message message;
  if (ParseUnit(bytes, &message)) {
    const std::string& name =
        message.content_case() == KVX::Message::kResponse
            ? message.response().channel_connection_response().channel_name()
            : message.request().connect_channel_request().channel_name();
    platform::CriticalSectionLock guard(channelLock);
    aboutHeldChannel = FindByName(name) != nullptr;
  }
  PipeItem item{kPeerBoundItem, bytes};
  item.backlogCharge = aboutHeldChannel ? 0 : QueuedBytesOf(bytes);
  bool full = false;
  {
    platform::CriticalSectionLock guard(pipeQueueLock);
    if (peerBoundWaiting.count(bytes) != 0) {
      return;  // the same answer still waits: one is enough
    }
    full = peerBoundBacklog.load() + item.backlogCharge > kPeerBoundBacklogBytes;
    if (!full) {
      peerBoundBacklog.fetch_add(item.backlogCharge);
      peerBoundWaiting.insert(bytes);
      item.stamp = answerOrder.StampAnswer();
      peerBoundQueue.push_back(std::move(item));
    }
  }
  if (full) {
    Diagnose(ChannelBridgeText::kPeerBacklogFull);
    return;
  }
  platform::SetEventObject(pipeQueueEvent);
}
