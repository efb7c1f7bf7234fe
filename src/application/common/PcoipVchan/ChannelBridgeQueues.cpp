// The two queues and their workers. Producers only append and signal; each
// worker handles its queue's items with no queue lock held while a handler
// runs. Both queues are bounded by bytes: a full queue (for the pipe queue, a
// full lane of one pipe) holds its producers back (see ChannelBridgeQueue.h),
// never the items they have already taken in.
//
// Why no cycle of waits can close, with both ends flooding each other and
// applications that read slowly, never, or on the same thread as they write.
// The waits that last, thread by thread:
//   * a pipe server's writer waits for its application to read, at most the
//     write time-out; then that client is let go, and writes to a client that
//     has gone fail at once. It waits on nothing of the bridge.
//   * a pipe server's reader waits for its client's bytes, for room in its own
//     lane of the pipe queue (the pipe worker's) and for room in its own
//     outbound queue (its writer's). When it answers a property it writes to
//     its own outbound queue without waiting.
//   * the PCoIP worker waits only for room in the outbound queue of the
//     application a message is for, that is for one writer. It never waits on
//     the channel: what it has for the peer goes on the peer-bound queue,
//     always accepted (or, beyond its bound, dropped with a diagnostic).
//   * the receive thread waits for room on the PCoIP queue: for the PCoIP
//     worker.
//   * the pipe worker waits on the channel, that is for the peer's receive
//     thread. Its own writes to pipes (answers, notices) never wait for room.
// So every chain of waits ends at a writer, possibly after crossing to the
// peer through the channel (pipe worker -> peer's receive thread -> peer's
// PCoIP worker -> one of the peer's writers), and every writer is free within
// the write time-out. A cycle could only close through an application: one
// that writes and reads on one thread and does not read while its write
// waits, at one end or at both. Its write waits for its reader, which waits
// for its writer (or for the pipe worker and the channel), which waits for
// it; its writer gives up within the time-out and lets it go, which breaks
// the cycle. It stalls itself, and the others only as any slow reader does
// once its outbound queue is full: the receive path then waits for it.
#include <algorithm>
#include <atomic>
#include <deque>
#include <utility>

#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

namespace {
AnswerOrder::TableEffect TableEffectOf(const PipeItem& item) {
  if (item.departure) return AnswerOrder::TableEffect::kDeparture;
  return item.changesTable ? AnswerOrder::TableEffect::kMayChange : AnswerOrder::TableEffect::kNone;
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
    // The PCoIP worker must not wait on the channel (see the top of this
    // file): the pipe worker sends these bytes, in turn with the rest.
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
