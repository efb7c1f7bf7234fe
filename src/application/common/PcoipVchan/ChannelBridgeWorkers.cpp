// The two workers: the pipe worker, which takes the pipe queue's lanes in
// turn and sends to the peer, and the PCoIP worker, which handles what the
// peer sent. Each takes its items in a short hold of its queue's lock and
// handles them with no lock held.
#include <algorithm>
#include <atomic>
#include <deque>
#include <string>
#include <utility>

#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"
#include "src/application/common/PcoipVchan/ChannelBridgePipeTurn.h"

namespace {

// The bridge whose PCoIP worker runs on this thread, if any. Set by the
// worker itself, so that no other thread reads the worker's thread object
// while teardown joins it.
thread_local const ChannelBridge* pcoipWorkerOf = nullptr;

// The PCoIP worker gives room back to the receive thread in steps of this
// much handled: not per item (one lock hold each), nor per batch (a batch of
// many items would hold the receive thread back until its very end).
constexpr size_t kPcoipGiveBackBytes = ChannelBridge::kPcoipQueueBoundBytes / 8;

}  // namespace

bool ChannelBridge::OnPcoipWorker() const { return pcoipWorkerOf == this; }

// Waits for the queue's event, then drains the queue; and so on until the
// last pass. The event is auto-reset, so everything queued before a wake-up
// is handled after it. Until the bridge has started, items stay queued:
// nothing that arrives early is lost. Whether this pass is the last is read
// before the drain, so the last pass, woken by the teardown, still handles
// every item queued before the teardown began, even when the worker had not
// yet reached its first wait.
template <typename Drain, typename SleepMs>
void ChannelBridge::RunWorker(platform::EventHandle event, WorkerFlag lastPassFlag,
                              const char* waitFailed, Drain drain, SleepMs sleepMs) {
  for (;;) {
    const uint32_t woken = platform::WaitForEvent(event, sleepMs());
    if (woken != platform::kWaitObject0 && woken != platform::kWaitTimeout) {
      Diagnose(waitFailed);
    }
    // The routines are ready before the teardown can begin, so a last pass
    // that finds them not ready never will.
    const uint32_t flags = workerFlags.load();
    if ((flags & kRoutinesReady) != 0) drain();
    if ((flags & lastPassFlag) != 0) return;
  }
}

// ---- The pipe worker ----
//
// It serves the pipes' lanes in turn, kPipeTurnBytes per turn (deficit round
// robin by bytes), so an application that floods delays another's message by
// at most one turn of each busy pipe, never by its whole backlog; within a
// lane the items keep their order, so an application's messages are handled
// as it wrote them and its departure after them.
//
// What the PCoIP worker has for the peer keeps the order the protocol needs.
// An answer is sent before the items of the turn it is taken with, so it
// reaches the peer before any data an application writes once the notice
// that goes with it has been delivered. And it is sent only once every item
// queued before it that may change the table has been handled (see
// AnswerOrder), so that its re-check (PeerBoundAsOfNow) sees what the peer
// will have heard by then; while it waits for such an item, only items
// queued before it are handled, so no later data overtakes it either.
// Without answers waiting, the turns go on freely.
//
// While the channel to the peer is not open (before it first opens, and
// while the host has it closed), the worker takes nothing: what the
// applications write waits in their lanes, in order, each lane bounded by its
// share (a full one holds its application's reading back), and what the PCoIP
// worker has for the peer waits with it. Sent now, it would be lost, and an
// application that asked for a channel then would wait for ever. Once the
// channel opens (PeerLinkOpened) everything goes as if it had just been
// written. Only the teardown's last pass takes what waits regardless.
//
// While flow control is in use, a lane whose first message is data beyond
// its channel's credit takes no turn and holds no answer back (see
// LookAtCredit); the worker then sleeps at most until the next ask for
// credit is due.

void ChannelBridge::PipeQueueWorker() {
  PipeTurn turn;
  RunWorker(
      pipeQueueEvent, kPipeWorkerLastPass, ChannelBridgeText::kPipeQueueWaitFailed,
      [this, &turn] {
        while (TakeTurn(&turn)) {
          RunTurn(&turn);
          FinishTurn(&turn);
        }
      },
      [&turn] { return turn.sleepMs; });
}

bool ChannelBridge::TakeTurn(PipeTurn* turn) {
  turn->nowMs = SteadyMs();
  turn->sleepMs = platform::kInfinite;
  // Offers, grants, asks and reports go out between two messages.
  const uint32_t reportInMs = SendLinkControl(turn->nowMs);
  turn->pacing = linkControl.pacing != nullptr ? linkControl.pacing() : LinkPacing{};
  turn->quantum = turn->pacing.turnBytes != 0 ? turn->pacing.turnBytes : kPipeTurnBytes;
  const bool lastPass = (workerFlags.load() & kPipeWorkerLastPass) != 0;
  platform::CriticalSectionLock guard(pipeQueueLock);
  // Asleep as for an empty queue: PeerLinkOpened, or the next item, wakes
  // the worker to look again.
  const bool closingToHandle = linkClosingsHandled.load() != linkClosingsQueued.load();
  if ((!PeerLinkOpen() || closingToHandle) && !lastPass) {
    pipeWorkerAsleep = true;
    return false;
  }
  pipeWorkerAsleep = false;
  LookAtCredit(turn);
  TakeAnswersThatMayGo(turn);
  // With the link's share in flight, the lanes wait where they are (answers,
  // which are few and small, still go); the teardown's last pass sends all.
  const bool roomOnTheLink = turn->pacing.room != 0 || lastPass;
  if (roomOnTheLink) PickLane(turn);
  if (!turn->answers.empty() || turn->lane != PipeTurn::kNoLane || linkControlDue.load()) {
    return true;
  }
  // Whatever is queued from now on finds the worker asleep and sets the
  // event; what was queued before was looked at just now. While a lane waits
  // for credit, the worker wakes in time to ask for it again; while a report
  // waits, in time to send it; while the link is full, a report that brings
  // room wakes it (OnLinkControlDue), or it looks again after waitMs.
  pipeWorkerAsleep = true;
  const uint64_t untilAsk = sendLedger.MsUntilNextAsk(turn->nowMs);
  if (untilAsk != ~uint64_t{0}) {
    turn->sleepMs = static_cast<uint32_t>(std::min<uint64_t>(untilAsk + 1, flow::kAskAgainMs));
  }
  turn->sleepMs = std::min(turn->sleepMs, reportInMs);
  if (!roomOnTheLink) turn->sleepMs = std::min(turn->sleepMs, std::max<uint32_t>(turn->pacing.waitMs, 1));
  return false;
}

void ChannelBridge::LookAtCredit(PipeTurn* turn) {
  sendLedger.BeginPass();
  for (size_t lane = 0; lane < kPipeServerCount; ++lane) {
    PipeLane& queue = *pipeLanes[lane];
    // A lane whose message goes in pieces holds no answer back either: what
    // waits behind the message may wait long.
    turn->laneWaits[lane] = turn->pieces[lane].active ||
                            (!queue.empty() && !CreditAllows(queue.front(), Take::kLook, turn->nowMs));
  }
  sendLedger.EndPass();
}

void ChannelBridge::TakeAnswersThatMayGo(PipeTurn* turn) {
  const uint64_t oldestTableChange = answerOrder.OldestUnhandledTableChange(turn->laneWaits);
  turn->answersCharge =
      peerBoundQueue.TakeWithin(&turn->answers, ~size_t{0}, [oldestTableChange](const PipeItem& answer) {
        return answer.stamp < oldestTableChange;
      });
  for (const PipeItem& answer : turn->answers) peerBoundWaiting.erase(answer.bytes);
}

// Here the pipe worker decides which lane's items may go: the first lane,
// from the one after the last turn, whose oldest item was queued before any
// answer still waiting takes its turn, as far as its deficit reaches.
void ChannelBridge::PickLane(PipeTurn* turn) {
  const uint64_t waitingAnswer =
      peerBoundQueue.empty() ? AnswerOrder::kNone : peerBoundQueue.front().stamp;
  const auto queuedBefore = [waitingAnswer](const PipeItem& item) {
    return item.stamp < waitingAnswer;
  };
  for (size_t looked = 0; looked < kPipeServerCount; ++looked) {
    const size_t lane = (turn->nextLane + looked) % kPipeServerCount;
    PipeLane& queue = *pipeLanes[lane];
    if (turn->pieces[lane].active) {  // its turn is the next piece
      turn->deficit[lane] += turn->quantum;
      turn->lane = lane;
      turn->pieceTurn = true;
      turn->nextLane = lane + 1;
      return;
    }
    if (queue.empty()) {
      turn->deficit[lane] = 0;  // an idle lane saves up no turns
      continue;
    }
    if (turn->laneWaits[lane]) continue;          // waits for credit
    if (!queuedBefore(queue.front())) continue;  // behind a waiting answer
    turn->deficit[lane] += turn->quantum;
    if (MayGoInPieces(*turn, queue.front()) &&
        CreditAllows(queue.front(), Take::kTake, turn->nowMs)) {
      BeginPieces(turn, lane);
      return;
    }
    // Each data message taken is counted against its channel's credit; one
    // that does not fit ends the turn and heads the lane.
    turn->itemsCharge = queue.TakeWithin(
        &turn->items, turn->deficit[lane], [this, turn, &queuedBefore](const PipeItem& item) {
          return queuedBefore(item) && CreditAllows(item, Take::kTake, turn->nowMs);
        });
    turn->deficit[lane] -= turn->itemsCharge;
    turn->lane = lane;
    turn->nextLane = lane + 1;
    return;
  }
}

void ChannelBridge::RunTurn(PipeTurn* turn) {
  for (const PipeItem& answer : turn->answers) {
    sendToPeer.SendNow(PeerBoundAsOfNow(answer.bytes));
    peerBoundBacklog.fetch_sub(answer.backlogCharge);
  }
  turn->answers.clear();
  if (turn->pieceTurn) SendPiece(turn);
  for (const PipeItem& item : turn->items) {
    HandlePipeMessage(item);
    if (item.changesTable) ++turn->tableChangesHandled;
  }
  turn->itemsHandled = turn->items.size();
  turn->items.clear();
}

void ChannelBridge::FinishTurn(PipeTurn* turn) {
  platform::CriticalSectionLock guard(pipeQueueLock);
  if (turn->answersCharge != 0) peerBoundQueue.GiveBack(turn->answersCharge);
  if (turn->lane != PipeTurn::kNoLane) {
    pipeLanes[turn->lane]->GiveBack(turn->itemsCharge);
    answerOrder.TableChangesHandled(turn->lane, turn->tableChangesHandled);
    ForgetClientItems(turn->lane, turn->itemsHandled);
  }
  if (turn->pieceTurn) FinishPiece(turn);
  turn->answersCharge = 0;
  turn->lane = PipeTurn::kNoLane;
  turn->itemsCharge = 0;
  turn->tableChangesHandled = 0;
  turn->itemsHandled = 0;
}

// ---- The PCoIP worker ----
//
// It takes everything queued in one hold of the lock and handles it in queue
// order; once a batch is handled, what it queued for the applications goes
// out, pipe by pipe.

void ChannelBridge::PcoipQueueWorker() {
  pcoipWorkerOf = this;
  std::deque<std::string> batch;
  std::deque<QueuedLinkEvent> events;
  uint64_t firstPosition = 0;
  RunWorker(
      pcoipQueueEvent, kPcoipWorkerLastPass, ChannelBridgeText::kPcoipQueueWaitFailed,
      [this, &batch, &events, &firstPosition] {
        while (TakePcoipBatch(&batch, &events, &firstPosition)) {
          HandlePcoipBatch(&batch, &events, firstPosition);
          WriteQueuedPipeMessages();
        }
      },
      [] { return platform::kInfinite; });
}

bool ChannelBridge::TakePcoipBatch(std::deque<std::string>* batch,
                                   std::deque<QueuedLinkEvent>* events, uint64_t* firstPosition) {
  platform::CriticalSectionLock guard(pcoipQueueLock);
  if (pcoipQueue.empty() && linkEvents.empty()) return false;
  *firstPosition = pcoipItemsTaken;
  pcoipItemsTaken += pcoipQueue.size();
  pcoipQueue.TakeAll(batch);
  // Every event queued so far stands at or before the end of this batch.
  events->swap(linkEvents);
  return true;
}

void ChannelBridge::HandlePcoipBatch(std::deque<std::string>* batch,
                                     std::deque<QueuedLinkEvent>* events, uint64_t firstPosition) {
  size_t handled = 0;
  uint64_t position = firstPosition;
  while (!batch->empty()) {
    HandleLinkEventsBefore(events, position++);
    handled += QueuedBytesOf(batch->front());
    HandlePcoipMessage(std::move(batch->front()));
    batch->pop_front();
    if (handled >= kPcoipGiveBackBytes || batch->empty()) {
      platform::CriticalSectionLock guard(pcoipQueueLock);
      pcoipQueue.GiveBack(handled);
      handled = 0;
    }
  }
  HandleLinkEventsBefore(events, ~uint64_t{0});
}
