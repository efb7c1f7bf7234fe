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
  for (auto& stamps : tableItemStamps) stamps.clear();
  leavingStamp.fill(0);
  for (auto& lane : pipeLanes) lane->clear();
}

void ChannelBridge::OnPipeClientLeaving(int32_t pipeId) {
  platform::CriticalSectionLock guard(pipeQueueLock);
  const size_t lane = LaneIndexOf(pipeId);
  if (leavingStamp[lane] != 0) return;
  leavingStamp[lane] = ++nextStamp;  // never 0
  ++nextStamp;
  tableItemStamps[lane].push_back(leavingStamp[lane]);
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
    uint64_t& leaving = leavingStamp[lane];
    if (leaving == 0) {
      item.stamp = nextStamp++;
      if (item.changesTable) tableItemStamps[lane].push_back(item.stamp);
    } else {
      // The departed client's last items, and its departure, which holds the
      // place reserved for it.
      item.stamp = leaving;
      if (item.changesTable && !item.departure) tableItemStamps[lane].push_back(item.stamp);
      if (item.departure) leaving = 0;
    }
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

namespace {
// The bridge whose PCoIP worker runs on this thread, if any. Set by the
// worker itself, so that no other thread reads the worker's thread object
// while teardown joins it.
thread_local const ChannelBridge* pcoipWorkerOf = nullptr;
}  // namespace

bool ChannelBridge::OnPcoipWorker() const { return pcoipWorkerOf == this; }

void ChannelBridge::PeerRoute::operator()(const std::string& bytes) const {
  if (pcoipWorkerOf == &bridge) {
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
      item.stamp = nextStamp++;
      peerBoundQueue.push_back(std::move(item));
    }
  }
  if (full) {
    Diagnose(ChannelBridgeText::kPeerBacklogFull);
    return;
  }
  platform::SetEventObject(pipeQueueEvent);
}

namespace {

// A worker gives room back to its producers at least this many times per
// bound's worth of handled items.
constexpr size_t kGiveBackStepsPerBound = 8;

// One worker's loop: wait for the queue's event, then take everything queued
// in one hold of the lock and handle it in queue order with no lock held while
// `handle` runs; repeat until the queue is found empty. The event is
// auto-reset, so everything queued before a wake-up is handled after it.
// The room of handled items is given back in steps of a fraction of the bound
// rather than per item (one lock hold each) or per batch (a batch of many
// items would hold the producers back until its very end). Until the bridge
// has started (`ready`), items stay queued: nothing that arrives early is
// lost. `running` is read before the drain, so the last pass, woken by the
// teardown, still handles every item queued before the teardown began, even
// when the worker had not yet reached its first wait.
// `batchDone` runs after each batch, once its items are all handled.
template <typename Item, typename Handler, typename Report, typename BatchDone>
void RunQueueWorker(const std::atomic<bool>& running, const std::atomic<bool>& ready,
                    platform::EventHandle event, platform::CriticalSection& lock,
                    ChannelBridgeQueue<Item>& queue, size_t giveBackStep, Report reportWaitFailed,
                    Handler handle, BatchDone batchDone) {
  std::deque<Item> batch;
  for (;;) {
    if (platform::WaitForEvent(event, platform::kInfinite) != platform::kWaitObject0) {
      reportWaitFailed();
    }
    const bool lastPass = !running.load();
    if (ready.load()) {
      for (;;) {
        {
          platform::CriticalSectionLock guard(lock);
          if (queue.empty()) {
            break;
          }
          queue.TakeAll(&batch);
        }
        size_t handled = 0;
        while (!batch.empty()) {
          handled += QueuedBytesOf(batch.front());
          handle(batch.front());
          batch.pop_front();
          if (handled >= giveBackStep || batch.empty()) {
            platform::CriticalSectionLock guard(lock);
            queue.GiveBack(handled);
            handled = 0;
          }
        }
        batchDone();
      }
    }
    if (lastPass) {
      return;
    }
  }
}

}  // namespace

// The pipe worker serves the pipes' lanes in turn, kPipeTurnBytes per turn
// (deficit round robin by bytes), so an application that floods delays
// another's message by at most one turn of each busy pipe, never by its whole
// backlog; within a lane the items keep their order, so an application's
// messages are handled as it wrote them and its departure after them.
//
// What the PCoIP worker has for the peer keeps the order the protocol needs.
// An answer is sent before the items of the turn it is taken with, so it
// reaches the peer before any data an application writes once the notice
// that goes with it has been delivered. And it is sent only once every item
// queued before it that may change the table (a departure, a connect or
// disconnect request) has been handled, so that its re-check
// (PeerBoundAsOfNow) sees what the peer will have heard by then; while it
// waits for such an item, only items queued before it are handled, so no
// later data overtakes it either. Without answers waiting, the turns go on
// freely.
//
// While the channel to the peer is not open (before it first opens, and
// while the host has it closed), the worker takes nothing: what the
// applications write waits in their lanes, in order, each lane bounded by its
// share (a full one holds its application's reading back), and what the PCoIP
// worker has for the peer waits with it. Sent now, it would be lost, and an
// application that asked for a channel then would wait for ever. Once the
// channel opens (PeerLinkOpened) everything goes as if it had just been
// written. Only the teardown's last pass handles what waits regardless.
void ChannelBridge::PipeQueueWorker() {
  std::deque<PipeItem> forPeer;
  std::deque<PipeItem> turnItems;
  std::array<size_t, kPipeServerCount> deficit{};
  size_t nextTurn = 0;
  for (;;) {
    if (platform::WaitForEvent(pipeQueueEvent, platform::kInfinite) != platform::kWaitObject0) {
      Diagnose(ChannelBridgeText::kPipeQueueWaitFailed);
    }
    // Read before the drain, as in RunQueueWorker.
    const bool lastPass = !workersRunning.load();
    while (routinesReady.load()) {
      size_t forPeerCharge = 0;
      size_t turnCharge = 0;
      size_t turnPipe = 0;
      PipeLane* turn = nullptr;
      {
        platform::CriticalSectionLock guard(pipeQueueLock);
        // Asleep as for an empty queue: PeerLinkOpened, or the next item,
        // wakes the worker to look again.
        if (!lastPass && !PeerLinkOpen()) {
          pipeWorkerAsleep = true;
          break;
        }
        pipeWorkerAsleep = false;
        uint64_t oldestTableItem = ~uint64_t{0};
        for (const auto& stamps : tableItemStamps) {
          if (!stamps.empty()) oldestTableItem = std::min(oldestTableItem, stamps.front());
        }
        // Counted until sent, as the turn's items are until handled.
        forPeerCharge = peerBoundQueue.TakeWithin(
            &forPeer, ~size_t{0},
            [oldestTableItem](const PipeItem& item) { return item.stamp < oldestTableItem; });
        for (const PipeItem& item : forPeer) peerBoundWaiting.erase(item.bytes);
        const uint64_t waitingAnswer =
            peerBoundQueue.empty() ? ~uint64_t{0} : peerBoundQueue.front().stamp;
        const auto queuedBefore = [waitingAnswer](const PipeItem& item) {
          return item.stamp < waitingAnswer;
        };
        for (size_t looked = 0; looked < pipeLanes.size() && turn == nullptr; ++looked) {
          const size_t pipe = (nextTurn + looked) % pipeLanes.size();
          PipeLane& lane = *pipeLanes[pipe];
          if (lane.empty()) {
            deficit[pipe] = 0;  // an idle pipe saves up no turns
            continue;
          }
          if (!queuedBefore(lane.front())) continue;  // behind a waiting answer
          turn = &lane;
          turnPipe = pipe;
          deficit[pipe] += kPipeTurnBytes;
          turnCharge = lane.TakeWithin(&turnItems, deficit[pipe], queuedBefore);
          deficit[pipe] -= turnCharge;
          nextTurn = pipe + 1;
        }
        if (forPeer.empty() && turn == nullptr) {
          // Whatever is queued from now on finds the worker asleep and sets
          // the event; what was queued before was looked at just now.
          pipeWorkerAsleep = true;
          break;
        }
      }
      for (const PipeItem& item : forPeer) {
        sendToPeer.SendNow(PeerBoundAsOfNow(item.bytes));
        peerBoundBacklog.fetch_sub(item.backlogCharge);
      }
      forPeer.clear();
      size_t tableItemsHandled = 0;
      for (const PipeItem& item : turnItems) {
        HandlePipeMessage(item);
        tableItemsHandled += item.changesTable ? 1 : 0;
      }
      turnItems.clear();
      platform::CriticalSectionLock guard(pipeQueueLock);
      if (forPeerCharge != 0) peerBoundQueue.GiveBack(forPeerCharge);
      if (turn == nullptr) continue;
      turn->GiveBack(turnCharge);
      std::deque<uint64_t>& stamps = tableItemStamps[turnPipe];
      for (; tableItemsHandled > 0 && !stamps.empty(); --tableItemsHandled) stamps.pop_front();
    }
    if (lastPass) {
      return;
    }
  }
}

void ChannelBridge::PcoipQueueWorker() {
  pcoipWorkerOf = this;
  RunQueueWorker(pcoipWorkerRunning, routinesReady, pcoipQueueEvent, pcoipQueueLock, pcoipQueue,
                 kPcoipQueueBoundBytes / kGiveBackStepsPerBound,
                 [this] { Diagnose(ChannelBridgeText::kPcoipQueueWaitFailed); },
                 [this](std::string& bytes) { HandlePcoipMessage(std::move(bytes)); },
                 [this] { WriteQueuedPipeMessages(); });
}
