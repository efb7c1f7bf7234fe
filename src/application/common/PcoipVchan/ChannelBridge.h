// The router between the local extension applications (six pipe servers on one
// pipe name) and the peer plug-in at the other end of the session. Producers
// only queue bytes; two worker threads do all decoding, table work, sending to
// the peer and writing to pipes, one item at a time per queue.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "diagnostics/RepeatLimiter.h"
#include "platform/critical_section.h"
#include "platform/debug_output.h"
#include "platform/event.h"
#include "src/application/common/PcoipVchan/ChannelBridgeChannelTable.h"
#include "src/application/common/PcoipVchan/ChannelBridgeHandovers.h"
#include "src/application/common/PcoipVchan/ChannelBridgeLaunchGate.h"
#include "src/application/common/PcoipVchan/ChannelBridgeLaunchQueue.h"
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
  // queued after it must say (see PipeQueueWorker).
  bool changesTable = false;
  // Its place in the order of everything queued on the pipe queue.
  uint64_t stamp = 0;
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
  // The pipe queue is one lane per pipe, each with an equal part of the
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
                      PeerLinkOpenFunction peerLinkOpen = nullptr);
  // The channel to the peer has opened: what waited for it goes now.
  static void PeerLinkOpened();

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
  // The receive thread's look before it reads the next datagram: true at once
  // while the PCoIP queue has room, else after waiting up to `timeoutMs` for
  // it (false when there is still none).
  bool WaitForPcoipQueueRoom(uint32_t timeoutMs);
  // Hands the bytes to the pipe server's outbound queue, for its writer to
  // write only while `client` is still the one connected to it; "Invalid pipe
  // ID." when there is no such pipe or that client has gone. On the PCoIP
  // worker it first waits while that queue is full (the receive path holds
  // back for a slow application only once its own queue is full); the pipe worker
  // never waits (see ChannelBridgeQueues.cpp).
  void WriteToPipe(int32_t pipeId, uint64_t client, std::string bytes);
  // On the PCoIP worker, once it has handled what it took from its queue:
  // writes what WriteToPipe left queued for it, pipe by pipe.
  void WriteQueuedPipeMessages();

  // Pipe side: run on the pipe worker (OnPipeDisconnected on the reader thread
  // of the pipe whose client left; it only queues the departure).
  void HandlePipeMessage(const PipeItem& item);
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
  void DeliverToChannelOwner(int64_t channelId, std::string bytes);
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

  void PipeQueueWorker();
  void PcoipQueueWorker();
  // True on this bridge's PCoIP worker thread.
  bool OnPcoipWorker() const;
  // Drain both queues, end the workers, delete the servers. Idempotent.
  void Shutdown();
  // Ends the servers of an earlier, failed start so that a new start begins
  // with an empty list and every position matches its pipe ID again.
  void DiscardPipeServers();
  // Launches within the gate's bounds, queued while over them; requests
  // beyond the queue are dropped.
  void LaunchApplication(const std::string& appLink);
  // Opens a link the gate has let through (the PCoIP worker or the queue's thread).
  void OpenLink(const std::string& appLink);

  // Table lookups; the caller holds channelLock. Null when nothing matches.
  ChannelEntry* FindByName(const std::string& channelName);
  ChannelEntry* FindById(int64_t channelId);
  // Table changes; the caller holds channelLock. A new entry at the server end
  // takes the next channel ID.
  // Whether the new entry's ID has been told already (see ChannelEntry::idTold).
  enum class IdTold { kNo, kYes };
  ChannelTable::AddResult AddEntry(const std::string& channelName, int32_t pipeId,
                                   uint64_t client, IdTold idTold = IdTold::kNo);
  // Whether the server end may take the peer's ID for this entry: an ID the
  // peer could have had from a server end, and no other channel's here.
  bool AdoptablePeerId(int64_t peerId, const ChannelEntry* entry);
  // The peer's CONNECTION_LOST, and its refusal of a connect request.
  void OnPeerReportsLoss(const KVX::ChannelConnectionResponse& response);
  void OnPeerRefusal(const std::string& channelName);
  void RemoveEntry(const ChannelEntry* entry);
  // Writes the diagnostic for a channel the table refused (no lock held).
  void ReportRefusedChannel(ChannelTable::AddResult refusal);
  // Writes one of the bridge's diagnostics to the debugger output, unless the
  // same one has been written too often lately (then it is counted, and
  // summarised later).
  void Diagnose(const char* text);
  // Empties both queues and the table (after a failed start or at teardown).
  void ForgetQueuedWorkAndChannels();

  int32_t pipeCount = 0;
  bool started = false;
  int64_t nextChannelId = 0;
  bool isServer = false;
  std::thread pipeWorker;
  std::thread pcoipWorker;
  platform::CriticalSection pipeQueueLock;
  platform::CriticalSection pcoipQueueLock;
  platform::CriticalSection channelLock;
  // Guards the list of pipe servers (not the writes: each server writes on
  // its own thread).
  platform::CriticalSection pipeListLock;
  platform::EventHandle pipeQueueEvent = nullptr;
  platform::EventHandle pcoipQueueEvent = nullptr;
  std::atomic<bool> workersRunning{false};
  // The PCoIP worker stops first at teardown, so that what its last pass
  // queues for the peer is still sent by the pipe worker's last pass.
  std::atomic<bool> pcoipWorkerRunning{false};
  // The pipe queue: a lane per pipe (an item of an unknown pipe ID goes to
  // lane 0), and what the PCoIP worker has for the peer, which the pipe
  // worker sends before the items it takes with it (see PipeQueueWorker).
  // All under pipeQueueLock.
  using PipeLane = ChannelBridgeQueue<PipeItem>;
  std::array<std::unique_ptr<PipeLane>, kPipeServerCount> pipeLanes;
  // The stamps of each lane's items that change the table and are not
  // handled yet, oldest first; and the stamp the next item gets.
  std::array<std::deque<uint64_t>, kPipeServerCount> tableItemStamps;
  uint64_t nextStamp = 0;
  // For a pipe whose client is known to have left while its last messages
  // are still being read: the stamp its departure has been given already
  // (and which those messages share), so that answers queued from now on
  // wait for the departure. 0: none.
  std::array<uint64_t, kPipeServerCount> leavingStamp{};
  // The pipe server found its client gone while holding reading back.
  void OnPipeClientLeaving(int32_t pipeId);
  ChannelBridgeQueue<PipeItem> peerBoundQueue{~size_t{0}};
  static size_t LaneIndexOf(int32_t pipeId);
  PipeLane& LaneOf(int32_t pipeId) { return *pipeLanes[LaneIndexOf(pipeId)]; }
  // Queues an item whose changesTable is set already.
  void QueueClassifiedPipeMessage(PipeItem item, Wake wake = Wake::kNow);
  // The pipe worker found nothing to take and waits for pipeQueueEvent (or
  // has not begun): only then does queueing an item need to set the event,
  // which costs the queueing thread a system call and the worker a wake-up.
  // Under pipeQueueLock.
  bool pipeWorkerAsleep = true;
  // Bytes held by the whole pipe queue; the caller holds pipeQueueLock.
  size_t PipeQueueBytes() const;
  void ClearPipeQueue();
  ChannelBridgeQueue<std::string> pcoipQueue{kPcoipQueueBoundBytes};
  // The pipes the PCoIP worker queued messages for and has not yet written
  // (the PCoIP worker's alone).
  std::array<bool, kPipeServerCount> pipesToWrite{};
  ChannelTable channels;
  // Takeovers whose previous holder may still have data queued (the pipe
  // worker's alone).
  ChannelHandovers handovers;
  std::vector<std::unique_ptr<Orvane::Extension::Windows::NamedPipeServer>> pipeServers;
  PeerRoute sendToPeer{*this};
  // Bytes (as charged by the queue) of the peer-bound items on the pipe queue
  // that count against kPeerBoundBacklogBytes.
  std::atomic<size_t> peerBoundBacklog{0};
  // The peer-bound items waiting on the pipe queue, so that a repeated
  // request does not pile up answers. Under pipeQueueLock.
  std::unordered_set<std::string> peerBoundWaiting;
  // Queues an answer for the peer on the PCoIP worker (see PeerRoute).
  void QueueForPeer(const std::string& bytes);
  PropertyProviderFunction propertyProvider = nullptr;
  PeerLinkOpenFunction peerLinkOpen = nullptr;
  bool PeerLinkOpen() const { return peerLinkOpen == nullptr || peerLinkOpen(); }
  std::shared_ptr<LaunchGate> launchGate = std::make_shared<LaunchGate>();
  std::unique_ptr<LaunchQueue> launchQueue = std::make_unique<LaunchQueue>(
      launchGate, [this](const std::string& link) { OpenLink(link); });
  // Summaries due with no later line go out from the limiter's own thread.
  diagnostics::RepeatLimiter diagnosticLimiter{[](const diagnostics::RepeatLimiter::Summary& summary) {
    platform::OutputDebugText(summary.text.c_str());
  }};

  // Set once InitializeWith has stored the routines: until then the workers
  // hold their items, so nothing that arrives early is lost and no null
  // routine is called.
  std::atomic<bool> routinesReady{false};
  // False when an event or a worker thread could not be had at construction;
  // InitializeWith then fails instead of running a half-built bridge.
  bool constructedWhole = false;
  // Serialises InitializeWith and Shutdown against each other.
  std::mutex lifecycleLock;
  bool shutDown = false;
};
