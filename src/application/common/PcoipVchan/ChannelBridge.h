// The router between the local extension applications (six pipe servers on one
// pipe name) and the peer plug-in at the other end of the session. Producers
// only queue bytes; the two workers do all decoding, table work, sending to
// the peer and writing to pipes, one item at a time per queue.
//
// Threads. The bridge works with these, and each waits only as said here:
//   * Six pipe readers, one per pipe server (the server's own threads). Each
//     reads its application's messages and queues them on its pipe's lane of
//     the pipe queue (OnPipeMessage), answers a property request itself when
//     nothing of its application is queued ahead of it, and queues its
//     client's departure. Waits for its client's bytes, for room in its lane
//     (the pipe worker makes it) and for room in its server's outbound queue
//     (its writer makes it); what it answers itself goes to that outbound
//     queue without waiting.
//   * Six pipe writers, one per pipe server (the server's own threads). Each
//     writes what waits in its server's outbound queue to its application.
//     Waits for the application to read, at most the write time-out; then
//     that client is let go, and writes to a client that has gone fail at
//     once. Waits on nothing of the bridge.
//   * The receive thread (the plug-in's). Reads the channel's datagrams and
//     queues each whole message on the PCoIP queue (QueuePcoipMessage).
//     Waits for room on that queue: for the PCoIP worker.
//   * The pipe worker (PipeQueueWorker). Takes the lanes in turn, keeps the
//     table in step with each message and sends it on to the peer; sends what
//     the PCoIP worker queued for the peer. Waits on the channel, that is for
//     the peer's receive thread, and takes nothing while the channel is not
//     open. What it writes to pipes (answers, notices) never waits for room.
//   * The PCoIP worker (PcoipQueueWorker). Handles the peer's messages, keeps
//     the table in step and writes to the applications' outbound queues.
//     Waits only for room in the outbound queue of the application a message
//     is for, that is for one writer. Never waits on the channel: what it has
//     for the peer goes on the pipe queue for the pipe worker (PeerRoute),
//     always accepted (or, beyond kPeerBoundBacklogBytes, dropped with a
//     diagnostic).
//   * The host's channel callback (any host thread). Queues the channel's
//     closing and opening in the PCoIP queue's order (OnChannelClosed,
//     OnChannelOpened), so that the PCoIP worker handles each behind what
//     had crossed before it. Waits on nothing but pcoipQueueLock.
//   * The launch queue's thread (LaunchQueue). Opens the links the launch
//     gate held back. Waits for the gate and for the opener to start; on
//     nothing of the bridge's queues.
//   * The repeat limiter's timer thread. Writes the summaries of diagnostics
//     held back. Waits for time alone.
// The host's threads come in through the entry points: they start the bridge
// and tear it down (InitializeWith, Shutdown), which joins the workers.
//
// Flow control across the link (ChannelBridgeFlow.cpp), once both ends have
// offered it, brings one more wait, which holds no thread: a data message
// whose channel has no credit left stays at the head of its lane while the
// pipe worker serves the other lanes (and answers for the peer pass it). Its
// lane fills and that application's reader holds back, as for any full lane.
// The credit comes from the peer's pipe worker (which waits only on the
// channel) once the peer's writer has put the data into its application's
// pipe or dropped it (a writer is free within the write time-out, and what
// it drops is credited too); a grant or data lost on the way is made good
// when the waiting sender asks again, which it does every second it waits.
// The link's own datagrams (offers, grants, asks) are sent by the pipe
// worker alone: the threads that must not wait on the channel (the receive
// thread, the PCoIP worker, the pipe servers' writers and readers) only flag
// them and wake it. And with credit in use the receive path no longer waits
// for a slow application: no channel brings more than its window, which the
// application's outbound queue holds (the wait for room stays, as the bound,
// for an application whose busy channels together were granted more, and
// with a peer that does not offer).
//
// Pacing between two of our ends (ChannelBridgeLinkPacing.h) brings a wait
// of the same kind: while the link's share is in flight the pipe worker takes
// no lane's turn and sleeps, holding nothing, until a report from the peer
// brings room (the receive thread flags it and wakes the worker) or the
// feedback time-out lifts the limit. Reports are sent by each end's pipe
// worker at the start of every pass, before it looks at the limit, so two
// ends that both wait for room still report to each other.
//
// Why no cycle of waits can close, with both ends flooding each other and
// applications that read slowly, never, or on the same thread as they write:
// every chain of waits ends at a writer, possibly after crossing to the peer
// through the channel (pipe worker -> peer's receive thread -> peer's PCoIP
// worker -> one of the peer's writers, or a lane waiting for credit -> the
// peer's writer -> the peer's pipe worker -> the channel), and every writer
// is free within the write time-out. A cycle could only close through an application: one that
// writes and reads on one thread and does not read while its write waits, at
// one end or at both. Its write waits for its reader, which waits for its
// writer (or for the pipe worker and the channel), which waits for it; its
// writer gives up within the time-out and lets it go, which breaks the cycle.
// It stalls itself, and the others only as any slow reader does once its
// outbound queue is full: the receive path then waits for it.
//
// Locks. Each field below is grouped under the lock that guards it, and the
// compiler checks them (clang's -Wthread-safety). lifecycleLock comes first:
// InitializeWith and Shutdown take the others under it. The other four
// (pipeQueueLock, pcoipQueueLock, channelLock, pipeListLock) are held only
// for short steps, never two at once, and never while the bridge calls out
// (into a pipe server, the send routine, the limiter or the launch queue);
// the pipe servers call the bridge with none of their own locks held.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "diagnostics/RepeatLimiter.h"
#include "extension/windows/OutboundNote.h"
#include "platform/critical_section.h"
#include "platform/debug_output.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "src/application/common/PcoipVchan/ChannelBridgeAnswerOrder.h"
#include "src/application/common/PcoipVchan/ChannelBridgeChannelTable.h"
#include "src/application/common/PcoipVchan/ChannelBridgeFlowLedger.h"
#include "src/application/common/PcoipVchan/ChannelBridgeHandovers.h"
#include "src/application/common/PcoipVchan/ChannelBridgeLaunchGate.h"
#include "src/application/common/PcoipVchan/ChannelBridgeLaunchQueue.h"
#include "src/application/common/PcoipVchan/ChannelBridgeLinkPacing.h"
#include "src/application/common/PcoipVchan/ChannelBridgeQueue.h"

namespace Orvane {
namespace Extension {
namespace Windows {
class NamedPipeServer;
}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane

namespace KVX {
class ConnectChannelRequest;
class ChannelConnectionResponse;
}  // namespace KVX

// One message read from a local pipe, tagged with the pipe it came from and
// the client of that pipe that wrote it (the pipe server's CurrentClient). A
// departure item carries no bytes: it says that this client has gone, and
// takes its place behind the messages the client wrote before it left.
struct PipeItem {
  int32_t pipeId = -1;
  std::string bytes;
  uint64_t client = 0;
  bool departure = false;
  // For bytes the PCoIP worker queued for the peer: what they count against
  // kPeerBoundBacklogBytes until they are sent.
  size_t backlogCharge = 0;
  // A departure, or a message that may be a connect or disconnect request:
  // handling it may change the table, and so what an answer for the peer
  // queued after it must say (see AnswerOrder).
  bool changesTable = false;
  // Its place in the order of everything queued on the pipe queue.
  uint64_t stamp = 0;
  // A data message (transfer_data on a look at its wire format, as the peer
  // will read it), and its channel: it goes only within the channel's credit
  // while flow control is in use (see PickLane).
  bool isData = false;
  int64_t dataChannel = 0;
};

inline size_t QueuedBytesOf(const PipeItem& item) { return QueuedBytesOf(item.bytes); }

class ChannelBridge {
 public:
  using SendToPeerFunction = void (*)(const std::string&);
  using PropertyProviderFunction = std::string (*)(const std::string&);
  // Whether the channel to the peer is open now (see PipeQueueWorker).
  using PeerLinkOpenFunction = bool (*)();

  // Everything the bridge sends to the peer goes through here. On the PCoIP
  // worker a send must never wait on the channel (see PeerRoute::operator()),
  // so there the bytes are queued for the pipe worker to send instead.
  class PeerRoute {
   public:
    explicit PeerRoute(ChannelBridge& owner) : bridge(owner) {}
    PeerRoute& operator=(SendToPeerFunction function) {
      send = function;
      return *this;
    }
    bool operator==(std::nullptr_t) const { return send == nullptr; }
    bool operator!=(std::nullptr_t) const { return send != nullptr; }
    void operator()(const std::string& bytes) const;
    // Sends now, waiting as long as the channel makes it wait.
    void SendNow(const std::string& bytes) const { send(bytes); }

   private:
    ChannelBridge& bridge;
    SendToPeerFunction send = nullptr;
  };

  static constexpr int32_t kPipeServerCount = 6;
  // While a queue holds this many bytes or more its producers take in no
  // more: the pipe servers start reading no new message (applications' writes
  // then wait in their pipes) and the receive thread reads no datagram (the
  // host's channel then holds the peer back). Any message still fits: a
  // producer that finds room may bring one more whole message of up to the
  // pipe quota (64 MiB), so the pipe queue never holds more than the bound
  // plus one message per pipe server, the PCoIP queue never more than the
  // bound plus one message.
  static constexpr size_t kPipeQueueBoundBytes = size_t{64} << 20;
  // The pipe queue is one lane per pipe, each with an equal slice of the
  // bound and its own read gate, so that an application that floods is held
  // back alone; the pipe worker serves the lanes in turn, this many bytes
  // per turn (deficit round robin: a longer message waits until its lane
  // has saved up turns enough), each lane in its own order.
  static constexpr size_t kPipeLaneBoundBytes = kPipeQueueBoundBytes / kPipeServerCount;
  static constexpr size_t kPipeTurnBytes = size_t{256} << 10;
  static constexpr size_t kPcoipQueueBoundBytes = size_t{64} << 20;
  // What the PCoIP worker hands the pipe worker for the peer (answers to the
  // peer's requests) may hold at most this many bytes while it waits to be
  // sent. Those items always pass the full pipe queue, so without a bound a
  // peer that keeps sending requests but never reads its channel would grow
  // this end through the answers it provokes. A peer that reads on drains
  // them long before this; beyond it an answer is dropped with a diagnostic.
  // Only answers about names the table does not hold count: those about its
  // channels are bounded by the table itself (an answer the same as one that
  // still waits is not queued again), so a storm of requests for new names
  // never drops the answer an application's channel is waiting for.
  static constexpr size_t kPeerBoundBacklogBytes = size_t{16} << 20;
  // The pipe ID of an item on the pipe queue that is no application's
  // message but bytes for the peer, queued there by the PCoIP worker.
  static constexpr int32_t kPeerBoundItem = -2;
  // The server end takes the peer's ID for a name only up to this, so that
  // the IDs it hands out after it can never run past the largest int64.
  static constexpr int64_t kLargestAdoptedId = int64_t{1} << 53;

  // The process-wide bridge, created on first use (thread-safe) and torn down
  // when the library is unloaded.
  static ChannelBridge& Instance();
  // Tears the process-wide bridge down now (drains both queues, ends the
  // workers, deletes the pipe servers), if it was ever created. Safe to call
  // more than once; a later unload then has nothing left to do.
  static void ShutdownInstance();
  // The process is ending and every other thread has been ended wherever it
  // was, perhaps holding a lock the teardown would wait for: the bridge is
  // then left as it is, for the system to reclaim.
  static void AbandonAtProcessEnd();

  // Starts the bridge at one end with the plug-in's own send and property
  // routines. Defined by the plug-in module, which owns those routines.
  bool Initialize(bool isServer, std::string pipeName);
  // All of the start-up: stores the routines, creates and starts the six pipe
  // servers. False when the name is empty, the bridge has already started, its
  // threads or events could not be had, or a server failed to start. Without
  // a `peerLinkOpen` routine the channel counts as open all the time.
  bool InitializeWith(bool isServer, std::string pipeName, SendToPeerFunction sendToPeer,
                      PropertyProviderFunction propertyProvider,
                      PeerLinkOpenFunction peerLinkOpen = nullptr) EXCLUDES(lifecycleLock);
  // The channel to the peer has opened: what waited for it goes now, once
  // the bridge has handled its last closing.
  static void PeerLinkOpened();
  // The host has closed the channel to the peer (see OnChannelClosed).
  static void PeerLinkClosed();

  void QueuePipeMessage(PipeItem item);
  // When queueing an item wakes a sleeping pipe worker: at once, or only
  // once the pipe's reader has handed on what its client had written
  // (WakePipeWorker), so that a batch costs one wake-up, not one per message.
  enum class Wake { kNow, kWhenReaderCaughtUp };
  // A message a pipe server read (on its reader thread): queued on the pipe's
  // lane, or, for a property request with nothing of its application ahead
  // of it, answered at once.
  void OnPipeMessage(PipeItem item, Wake wake = Wake::kNow);
  // Wakes the pipe worker if it sleeps; a worker at work takes what was
  // queued before it sleeps again.
  void WakePipeWorker();
  void QueuePcoipMessage(std::string bytes);

  // Flow control across the link. The plug-in offers it once per opening
  // of the link and tells the bridge what the peer offered; the bridge keeps
  // the credit (ChannelBridgeFlowLedger.h) and the pipe worker, the one
  // thread that may wait on the link, sends every datagram of it.
  struct LinkControlRoutines {
    // Sends this end's offer or answer if one is due (under the transmit
    // lock, between two messages); returns its epoch, or 0 when none went.
    uint32_t (*sendDueMarker)() = nullptr;
    // Sends credit records to the peer, as flow-control datagrams.
    void (*sendRecords)(const std::string& payload) = nullptr;
    // Between two of our ends that agreed on feedback and interleaving (see
    // ChannelBridgeLinkPacing.h): sends the offer and a report if due, and
    // says in how many ms one falls due (platform::kInfinite: none waits);
    // tells the pipe worker how much it may hand the host now; sends the
    // next piece of a large message (the bytes sent, 0 when it must be given up).
    uint32_t (*sendDueReports)() = nullptr;
    LinkPacing (*pacing)() = nullptr;
    size_t (*sendPiece)(const std::string& message, PieceSend* piece, size_t budget) = nullptr;
  };
  // Before InitializeWith (ignored once started: the pipe worker reads them
  // without a lock). Without them the bridge never uses credit.
  void SetLinkControlRoutines(LinkControlRoutines routines) EXCLUDES(lifecycleLock);
  // The link opened afresh (a host thread): no credit is used until the peer
  // offers on this opening; this end's offer is due.
  void OnLinkOpened();
  // The link closed (a host thread): no credit is used until it opens again
  // and the peer offers; what waited for credit goes on as without it.
  void OnLinkClosed();
  // The peer's offer or answer arrived, with the epoch of its sending (the
  // receive thread): from now on credit is used both ways.
  void OnPeerFlowMarker(uint32_t epoch);
  // A flow-control payload from the peer (the receive thread).
  void OnPeerFlowRecords(const uint8_t* payload, size_t size) EXCLUDES(grantInboxLock);
  // Something for the link is due (an offer, an answer, grants): the pipe
  // worker sends it on its next pass.
  void OnLinkControlDue();
  bool FlowControlInUse() const { return flowAgreed.load(); }
  // The receive thread's look before it reads the next datagram: true at once
  // while the PCoIP queue has room, else after waiting up to `timeoutMs` for
  // it (false when there is still none). Takes no lock: the queue's room flag
  // and event are made to be read without it (see
  // ChannelBridgeQueue.h), which the analysis cannot tell from the rest.
  bool WaitForPcoipQueueRoom(uint32_t timeoutMs) KVX_NO_THREAD_SAFETY_ANALYSIS;
  // Hands the bytes to the pipe server's outbound queue, for its writer to
  // write only while `client` is still the one connected to it; "Invalid pipe
  // ID." when there is no such pipe or that client has gone. On the PCoIP
  // worker it first waits while that queue is full (the receive path holds
  // back for a slow application only once its own queue is full); the pipe
  // worker never waits (see ChannelBridgeTable.cpp).
  // `credit` (of a data message the peer counted) is given back to the peer
  // once the message has left the outbound queue, or at once when dropped.
  void WriteToPipe(int32_t pipeId, uint64_t client, std::string bytes,
                   Orvane::Extension::Windows::OutboundNote credit = {});
  // On the PCoIP worker, once it has handled what it took from its queue:
  // writes what WriteToPipe left queued for it, pipe by pipe.
  void WriteQueuedPipeMessages();

  // The host's channel events, from any host thread: the channel to the peer
  // closed, or opened. Only queued here; the PCoIP worker handles them in
  // order with what came from the peer (ChannelBridgeLinkEvents.cpp), and
  // the pipe worker takes nothing while a closing waits to be handled.
  void OnChannelClosed();
  void OnChannelOpened();

  // Pipe side: run on the pipe worker (OnPipeDisconnected on the reader thread
  // of the pipe whose client left; it only queues the departure).
  void HandlePipeMessage(const PipeItem& item);
  // Whether a data message may go to the peer: its writer held the channel
  // (else it is dropped with a diagnostic and its credit given back).
  bool DataMayGo(const PipeItem& item);
  // False when the table refused the channel; the application has been told.
  // `stamp` is the request's place in the pipe queue's order.
  bool RegisterChannel(const std::string& channelName, int32_t pipeId, uint64_t client,
                       uint64_t stamp);
  // Whether the item's writer held the channel when it wrote the item: only
  // the holder's data goes to the peer.
  bool WrittenByHolder(int64_t channelId, const PipeItem& item);
  // False when the channel is another application's: it is left untouched
  // and the request goes no further.
  bool CloseChannel(int64_t channelId, int32_t pipeId, uint64_t client);
  void AnswerPropertyRequest(const std::string& propertyName, int32_t pipeId, uint64_t client);
  void OnPipeDisconnected(int32_t pipeId, uint64_t client);
  void HandleDeparture(int32_t pipeId);

  // Peer side: run on the PCoIP worker.
  // Takes the bytes by value, so that the worker moves a message to its
  // application's outbound queue without copying it.
  void HandlePcoipMessage(std::string bytes);
  void OnPeerConnectRequest(const KVX::ConnectChannelRequest& request);
  void OnPeerDisconnectRequest(int64_t channelId);
  void OnPeerConnectionResponse(const KVX::ChannelConnectionResponse& response,
                                const std::string& bytes);
  // Whether the peer counted a data message against the channel's credit
  // (it did for every one a look at its wire format reads as data).
  enum class Counted { kNo, kYes };
  void DeliverToChannelOwner(int64_t channelId, std::string bytes, Counted counted = Counted::kNo);
  // Writes to the application holding the channel of this name, if the
  // channel has this ID here; otherwise reports an invalid pipe ID.
  void DeliverToHolder(const std::string& channelName, int64_t channelId,
                       const std::string& bytes);
  // What this end answers the peer's connect request for the name, as the
  // table stands now (at the server end a new name gets its ID here).
  // `refused` says whether the answer is a refusal, `tellHolder` whether the
  // local holder is to read it too (a CONNECTED), once it has gone to the peer.
  std::string AnswerPeerConnectRequest(const std::string& channelName, bool* refused,
                                       bool* tellHolder);
  static int64_t ConnectedIdOf(const std::string& notice);
  // What the PCoIP worker queued for the peer, as it must go now that its
  // turn has come on the pipe worker: an answer that what happened meanwhile
  // has made untrue is answered again. Call it just before the bytes are sent.
  std::string PeerBoundAsOfNow(const std::string& bytes);

  ChannelBridge(const ChannelBridge&) = delete;
  ChannelBridge& operator=(const ChannelBridge&) = delete;

 private:
  // Tests build bridges of their own (two back to back for a whole session)
  // through this class; the product only ever reaches Instance().
  friend class ChannelBridgeTestAccess;

  ChannelBridge();
  ~ChannelBridge();

  // ---- Its life (ChannelBridge.cpp) ----

  enum class Lifecycle {
    // An event or a worker thread could not be had at construction:
    // InitializeWith fails instead of running a half-built bridge.
    kHalfBuilt,
    // Built and not started; after a failed start, ready to try again.
    kIdle,
    kStarted,
    kShutDown,
  };
  // What the workers read without a lock: one word of flags, which only
  // ever gain bits.
  enum WorkerFlag : uint32_t {
    // InitializeWith has stored the routines: until then the workers hold
    // their items, so nothing that arrives early is lost and no null routine
    // is called.
    kRoutinesReady = 1u << 0,
    // The worker's next pass is its last. The PCoIP worker stops first at
    // teardown, so that what its last pass queues for the peer is still sent
    // by the pipe worker's last pass.
    kPcoipWorkerLastPass = 1u << 1,
    kPipeWorkerLastPass = 1u << 2,
  };
  // Drain both queues, end the workers, delete the servers. Idempotent.
  void Shutdown() EXCLUDES(lifecycleLock);
  // Creates the server of one pipe, adds it to the list and starts it.
  bool StartPipeServer(int32_t pipeId, const std::string& pipeName) REQUIRES(lifecycleLock);
  // Ends the servers of an earlier, failed start so that a new start begins
  // with an empty list and every position matches its pipe ID again.
  // Deleting a running server reports its client's departure, which takes
  // pipeQueueLock.
  void DiscardPipeServers() EXCLUDES(pipeListLock, pipeQueueLock);
  // Empties both queues and the table (after a failed start or at teardown).
  void ForgetQueuedWorkAndChannels();

  // ---- The workers (ChannelBridgeWorkers.cpp) ----

  void PipeQueueWorker();
  void PcoipQueueWorker();
  // A worker's loop around `drain`, which empties its queue; between drains
  // it sleeps until its event, or at most `sleepMs()`.
  template <typename Drain, typename SleepMs>
  void RunWorker(platform::EventHandle event, WorkerFlag lastPassFlag, const char* waitFailed,
                 Drain drain, SleepMs sleepMs);
  // The pipe worker's steps: take the answers for the peer that may go and
  // pick a lane for a turn (false when there is neither), send and handle
  // what was taken, and give its room back.
  struct PipeTurn;
  bool TakeTurn(PipeTurn* turn) EXCLUDES(pipeQueueLock);
  // Which lanes' first message waits for its channel's credit.
  void LookAtCredit(PipeTurn* turn) REQUIRES(pipeQueueLock);
  void TakeAnswersThatMayGo(PipeTurn* turn) REQUIRES(pipeQueueLock);
  void PickLane(PipeTurn* turn) REQUIRES(pipeQueueLock);
  void RunTurn(PipeTurn* turn) EXCLUDES(pipeQueueLock);
  // A large data message going in pieces between two ends that agreed on
  // it (ChannelBridgePieces.cpp): whether the lane's head may begin so, the
  // beginning, and the piece of a turn.
  bool MayGoInPieces(const PipeTurn& turn, const PipeItem& item) const REQUIRES(pipeQueueLock);
  void BeginPieces(PipeTurn* turn, size_t lane) REQUIRES(pipeQueueLock);
  void SendPiece(PipeTurn* turn);
  void FinishPiece(PipeTurn* turn) REQUIRES(pipeQueueLock);
  void FinishTurn(PipeTurn* turn) EXCLUDES(pipeQueueLock);
  // The PCoIP worker's steps: take all that is queued (false when nothing
  // is), and handle it, giving its room back as it goes.
  // The channel's closing or opening, and how many items had been queued on
  // the PCoIP queue before it: it is handled right after them.
  enum class LinkEvent { kClosed, kOpened };
  struct QueuedLinkEvent {
    LinkEvent event;
    uint64_t position;
  };
  bool TakePcoipBatch(std::deque<std::string>* batch, std::deque<QueuedLinkEvent>* events,
                      uint64_t* firstPosition) EXCLUDES(pcoipQueueLock);
  void HandlePcoipBatch(std::deque<std::string>* batch, std::deque<QueuedLinkEvent>* events,
                        uint64_t firstPosition) EXCLUDES(pcoipQueueLock);
  // Handles the events due before the item at `position` (all with ~0).
  void HandleLinkEventsBefore(std::deque<QueuedLinkEvent>* events, uint64_t position);
  void QueueLinkEvent(LinkEvent event) EXCLUDES(pcoipQueueLock);
  // The PCoIP worker's steps for them (ChannelBridgeLinkEvents.cpp).
  void ForgetPeer() EXCLUDES(channelLock);
  void AskAgainForHeldChannels() EXCLUDES(channelLock);
  // True on this bridge's PCoIP worker thread.
  bool OnPcoipWorker() const;

  // ---- The pipe queue (ChannelBridgeQueues.cpp) ----

  // A lane per pipe (an item of an unknown pipe ID goes to lane 0).
  using PipeLane = ChannelBridgeQueue<PipeItem>;
  static size_t LaneIndexOf(int32_t pipeId);
  PipeLane& LaneOf(int32_t pipeId) REQUIRES(pipeQueueLock) {
    return *pipeLanes[LaneIndexOf(pipeId)];
  }
  // Set while the lane has room. Read without the lock: the event never
  // changes once built, which the analysis cannot tell.
  platform::EventHandle LaneRoomEvent(int32_t pipeId) const KVX_NO_THREAD_SAFETY_ANALYSIS {
    return pipeLanes[LaneIndexOf(pipeId)]->RoomEvent();
  }
  // Which clients' items each lane holds, oldest first, as runs of one
  // client's items: a property request is answered at once when none of its
  // own application's items wait, whatever an earlier client of the same
  // pipe left behind.
  struct ClientRun {
    uint64_t client = 0;
    size_t items = 0;
  };
  // The pipe worker handled the first `handled` items of a lane.
  void ForgetClientItems(size_t lane, size_t handled) REQUIRES(pipeQueueLock);
  // Whether any item of this client waits in its pipe's lane, or is in the
  // pipe worker's hands.
  bool ClientHasQueuedItems(int32_t pipeId, uint64_t client) const REQUIRES(pipeQueueLock);
  // Sets isData and dataChannel of a message about to be queued.
  static void ClassifyForCredit(PipeItem* item);
  // Queues an item whose changesTable is set already.
  void QueueClassifiedPipeMessage(PipeItem item, Wake wake = Wake::kNow) EXCLUDES(pipeQueueLock);
  // The pipe server found its client gone while holding reading back.
  void OnPipeClientLeaving(int32_t pipeId) EXCLUDES(pipeQueueLock);
  // Queues an answer for the peer on the PCoIP worker (see PeerRoute).
  void QueueForPeer(const std::string& bytes) EXCLUDES(pipeQueueLock, channelLock);
  // Bytes held by the whole pipe queue.
  size_t PipeQueueBytes() const REQUIRES(pipeQueueLock);
  void ClearPipeQueue() REQUIRES(pipeQueueLock);

  // ---- The table (ChannelBridgeTable.cpp) ----

  // Lookups. Null when nothing matches.
  ChannelEntry* FindByName(const std::string& channelName) REQUIRES(channelLock);
  ChannelEntry* FindById(int64_t channelId) REQUIRES(channelLock);
  // Whether the new entry's ID has been told already (see ChannelEntry::idTold).
  enum class IdTold { kNo, kYes };
  // A new entry at the server end takes the next channel ID.
  ChannelTable::AddResult AddEntry(const std::string& channelName, int32_t pipeId,
                                   uint64_t client, IdTold idTold = IdTold::kNo)
      REQUIRES(channelLock);
  void RemoveEntry(const ChannelEntry* entry) REQUIRES(channelLock);
  // Whether the server end may take the peer's ID for this entry: an ID the
  // peer could have had from a server end, and no other channel's here.
  bool AdoptablePeerId(int64_t peerId, const ChannelEntry* entry) REQUIRES(channelLock);
  // The peer's CONNECTION_LOST, and its refusal of a connect request.
  void OnPeerReportsLoss(const KVX::ChannelConnectionResponse& response);
  void OnPeerRefusal(const std::string& channelName);
  // The client end's "pending" at the server end: passed on to the holder
  // with the ID handed out here.
  void OnPeerPendingAtServerEnd(const KVX::ChannelConnectionResponse& response);
  // Takes the ID of the peer's CONNECTED for the entry of its name, or keeps
  // this end's own ID and returns it, for both ends to be told; -1 when the
  // peer's ID stands (or no entry has the name).
  int64_t AgreeOnPeerId(const KVX::ChannelConnectionResponse& response);
  // Writes the diagnostic for a channel the table refused.
  void ReportRefusedChannel(ChannelTable::AddResult refusal) EXCLUDES(channelLock);

  // ---- Flow control across the link (ChannelBridgeFlow.cpp) ----

  // The pipe worker, at the start of each turn: sends what is due for the
  // link and takes in the peer's grants. Returns in how many ms a report
  // for the peer falls due (platform::kInfinite: none waits).
  uint32_t SendLinkControl(uint64_t nowMs) EXCLUDES(grantInboxLock);
  // Whether the message at the head of a lane may go now (and, with `take`,
  // counts it against its channel). The pipe worker's alone.
  enum class Take { kLook, kTake };
  bool CreditAllows(const PipeItem& item, Take take, uint64_t nowMs);
  // A data message taken within its channel's credit that is not sent after
  // all (not its channel's holder's): the credit it took is given back.
  void CreditNotUsed(const PipeItem& item);
  // Data taken (written into its pipe, or dropped): credit back to the peer.
  void OnCreditConsumed(const Orvane::Extension::Windows::OutboundNote& note);
  static uint64_t SteadyMs();

  // ---- Launching and diagnostics ----

  // Launches within the gate's bounds, queued while over them; requests
  // beyond the queue are dropped.
  void LaunchApplication(const std::string& appLink);
  // Opens a link the gate has let through (the PCoIP worker or the queue's thread).
  void OpenLink(const std::string& appLink);
  // Writes one of the bridge's diagnostics to the debugger output, unless the
  // same one has been written too often lately (then it is counted, and
  // summarised later).
  void Diagnose(const char* text);

  // ---- State, grouped by the lock that guards it ----

  // Under lifecycleLock, which serialises InitializeWith and Shutdown.
  platform::Mutex lifecycleLock;
  Lifecycle lifecycle GUARDED_BY(lifecycleLock) = Lifecycle::kHalfBuilt;

  // Set up by InitializeWith before kRoutinesReady, never changed while the
  // workers run; read without a lock.
  bool isServer = false;
  LinkControlRoutines linkControl;
  PeerRoute sendToPeer{*this};
  PropertyProviderFunction propertyProvider = nullptr;
  PeerLinkOpenFunction peerLinkOpen = nullptr;
  bool PeerLinkOpen() const { return peerLinkOpen == nullptr || peerLinkOpen(); }

  // Made by the constructor, never changed after it; the threads are joined
  // by Shutdown.
  platform::EventHandle pipeQueueEvent = nullptr;
  platform::EventHandle pcoipQueueEvent = nullptr;
  std::thread pipeWorker;
  std::thread pcoipWorker;

  // Read and written without a lock.
  std::atomic<uint32_t> workerFlags{0};
  // The peer offered flow control on the current opening of the link.
  std::atomic<bool> flowAgreed{false};
  // Set with anything for the link due; the pipe worker clears it and sends.
  std::atomic<bool> linkControlDue{false};
  // The channel's closings queued, and those the PCoIP worker has handled:
  // until it has, what applications wrote may hold IDs the peer that went
  // gave, and the pipe worker sends nothing.
  std::atomic<uint64_t> linkClosingsQueued{0};
  std::atomic<uint64_t> linkClosingsHandled{0};
  // Bytes (as charged by the queue) of the peer-bound items on the pipe queue
  // that count against kPeerBoundBacklogBytes.
  std::atomic<size_t> peerBoundBacklog{0};

  // Under pipeQueueLock: the pipe queue. Its lanes, and what the PCoIP worker
  // has for the peer, which the pipe worker sends before the items it takes
  // with it (see ChannelBridgeWorkers.cpp).
  platform::CriticalSection pipeQueueLock;
  std::array<std::unique_ptr<PipeLane>, kPipeServerCount> pipeLanes GUARDED_BY(pipeQueueLock);
  ChannelBridgeQueue<PipeItem> peerBoundQueue GUARDED_BY(pipeQueueLock){~size_t{0}};
  // The peer-bound items waiting on the pipe queue, so that a repeated
  // request does not pile up answers.
  std::unordered_set<std::string> peerBoundWaiting GUARDED_BY(pipeQueueLock);
  // The stamps of the pipe queue's items, and the rule that an answer for
  // the peer waits for the table changes queued before it.
  AnswerOrder answerOrder GUARDED_BY(pipeQueueLock){kPipeServerCount};
  std::array<std::deque<ClientRun>, kPipeServerCount> clientRuns GUARDED_BY(pipeQueueLock);
  // The pipe worker found nothing to take and waits for pipeQueueEvent (or
  // has not begun): only then does queueing an item need to set the event,
  // which costs the queueing thread a system call and the worker a wake-up.
  bool pipeWorkerAsleep GUARDED_BY(pipeQueueLock) = true;

  // Under pcoipQueueLock: the PCoIP queue.
  platform::CriticalSection pcoipQueueLock;
  ChannelBridgeQueue<std::string> pcoipQueue GUARDED_BY(pcoipQueueLock){kPcoipQueueBoundBytes};
  // The channel's closings and openings not yet taken by the PCoIP worker,
  // and how many items it has taken from pcoipQueue so far (their positions).
  std::deque<QueuedLinkEvent> linkEvents GUARDED_BY(pcoipQueueLock);
  uint64_t pcoipItemsTaken GUARDED_BY(pcoipQueueLock) = 0;

  // Under channelLock: the table.
  platform::CriticalSection channelLock;
  ChannelTable channels GUARDED_BY(channelLock);
  int64_t nextChannelId GUARDED_BY(channelLock) = 0;

  // Under pipeListLock: the list of pipe servers (not their writes: each
  // server writes on its own threads).
  platform::CriticalSection pipeListLock;
  std::vector<std::unique_ptr<Orvane::Extension::Windows::NamedPipeServer>> pipeServers
      GUARDED_BY(pipeListLock);

  // The PCoIP worker's alone: the pipes it queued messages for and has not
  // yet written.
  std::array<bool, kPipeServerCount> pipesToWrite{};
  // The PCoIP worker's alone: the channel has closed since it last opened, so
  // the next opening is to a peer that knows nothing of this end's channels.
  bool peerForgotten = false;
  // The pipe worker's alone: takeovers whose previous holder may still have
  // data queued.
  ChannelHandovers handovers;

  // The pipe worker's alone: the credit of what this end sends.
  flow::SendLedger sendLedger;
  // With its own lock, innermost: the credit of what this end receives.
  flow::ReceiveLedger receiveLedger;
  // Grants from the peer, from the receive thread to the pipe worker. An
  // innermost lock, held only to add or to take them all.
  platform::Mutex grantInboxLock;
  std::vector<flow::CreditRecord> grantInbox GUARDED_BY(grantInboxLock);

  // With locks of their own, taken with none of the bridge's held.
  std::shared_ptr<LaunchGate> launchGate = std::make_shared<LaunchGate>();
  std::unique_ptr<LaunchQueue> launchQueue = std::make_unique<LaunchQueue>(
      launchGate, [this](const std::string& link) { OpenLink(link); });
  // Summaries due with no later line go out from the limiter's own thread.
  diagnostics::RepeatLimiter diagnosticLimiter{[](const diagnostics::RepeatLimiter::Summary& summary) {
    platform::OutputDebugText(summary.text.c_str());
  }};
};
