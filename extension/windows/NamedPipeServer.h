// One instance of a message-mode named pipe, served with overlapped I/O by a
// reader thread of its own. Each message a client writes reaches the receive
// callback whole; when the client leaves, the disconnect callback runs and the
// instance listens again, so successive clients are served without a restart.
// Several servers on one pipe path (all constructed with the same instance
// count) serve several clients at once.
//
// Threads
//
//   reader thread  (ReadLoop) Connects each client, reads its messages and
//                  hands them on; runs the receive, caught-up, leaving and
//                  disconnect callbacks; disconnects a client that stalls
//                  half-way through a message. Waits on the pipe (ioEvent)
//                  and the exit event; while reading is held back, on the
//                  read gates (the owner's, and the outbound queue's room);
//                  when a client leaves, for sendLock, which a write to a
//                  client that has gone gives back at once.
//   writer thread  (WriteLoop) Writes what waits in the outbound queue, in
//                  order, each write within the write time-out; runs the
//                  write-timed-out callback. Waits for a queued message and
//                  the wire, then on its client.
//   the owner's    QueueToClient and WriteQueuedNow: wait at most for room
//   threads        in the outbound queue (WhenFull::kWait), never for the
//                  wire or the client. Send and SendToClient: wait for the
//                  wire, then on the client up to the write time-out. Start
//                  and Stop: wait for the writer and, at a restart, the
//                  reader to end.
//
// Locks, outermost first; one is never waited for while a later one is held:
//
//   the wire (outbound)  ->  sendLock  ->  ioLock
//
// The wire is the outbound queue's: whoever writes to the pipe holds it.
// sendLock is held through a write, which may wait on the client; ioLock
// only around calls that do not wait, so that a slow write never stalls
// reading. The outbound queue's own lock is innermost and private to it.
// Callbacks run under none of these, but for the write-timed-out callback,
// which holds the wire: it must not write to this server.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/RepeatLimiter.h"
#include "extension/sdk/ITransport.h"
#include "extension/windows/OutboundQueue.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/named_pipe.h"
#include "platform/thread_annotations.h"

namespace Orvane {
namespace Extension {
namespace Windows {

class NamedPipeServer : public SDK::ITransport {
 public:
  using WhenFull = OutboundQueue::WhenFull;
  using WriteBy = OutboundQueue::WriteBy;

  // Size of one read. A longer message arrives in pieces of this size, which
  // the server joins before handing the message on.
  static constexpr uint32_t kReadBufferSize = 0x40000;
  // The pipe's quota in each direction, and the longest message a client may
  // write; a longer one is refused and its client disconnected.
  static constexpr uint32_t kPipeQuota = 0x4000000;
  static constexpr uint32_t kDefaultTimeoutMs = 5000;
  // How long one Send may wait for its client to make room. A client that
  // reads at all drains even a whole quota in far less; one that has not taken
  // anything for this long has stopped reading, and waiting on it longer would
  // hold up every other application whose writes queue behind this one. The
  // write then fails and that client is disconnected.
  static constexpr uint32_t kWriteTimeoutMs = 10000;

  // How long a client may leave a message half written (its length header or
  // its body partly sent) without sending another byte. A client that has
  // stalled there holds its instance and its partial message for nothing; it
  // is disconnected like one that left, so its channels take the usual
  // departure path. A client idle between messages is never disconnected.
  // The stall is looked for every quarter of this time while a read waits,
  // so it is noticed between 1 and 1.5 times this long after the last byte.
  static constexpr uint32_t kStalledMessageTimeoutMs = 30000;

  // Shortens (or restores) the write time-out of every server in the process,
  // so that tests of a client that never reads need not wait kWriteTimeoutMs.
  // The product never calls it.
  static void SetWriteTimeoutMs(uint32_t timeoutMs);
  // The same for kStalledMessageTimeoutMs.
  static void SetStalledMessageTimeoutMs(uint32_t timeoutMs);

  // Messages handed to QueueToClient wait for the server's writer thread in
  // its outbound queue, at most this many bytes (each message counts its
  // bytes and OutboundQueue::kItemOverheadBytes more; one more whole message
  // may come while there is room). While the queue is full the server reads
  // no new message from its client either, so a client that stops reading
  // holds back itself alone. The pipe's own buffer (the quota) holds far more
  // already; the queue only lets its owner hand messages over without
  // waiting on the write.
  static constexpr size_t kOutboundQueueBytes = size_t{8} << 20;
  // How often a server whose reading is held back looks whether its client
  // has left.
  static constexpr uint32_t kHeldLookMs = 10;

  // Holds reading back while `roomEvent` (a manual-reset event, or null for
  // never) is not signalled: the server then starts reading no new message,
  // so its client's writes wait in the pipe, until the event is set again. A
  // message already begun is read to its end. Set before Start.
  void SetReadGate(platform::EventHandle roomEvent);

  NamedPipeServer(std::string pipeName, int32_t maxInstances);
  ~NamedPipeServer() override;
  NamedPipeServer(const NamedPipeServer&) = delete;
  NamedPipeServer& operator=(const NamedPipeServer&) = delete;

  SDK::TransportStatus Start() override;
  void Stop() override;
  SDK::TransportStatus Send(std::string message) override;
  // Names the client connected now by the count of clients let go before it.
  // Read from the receive or disconnect callback it names the client whose
  // message or departure is being reported.
  uint64_t CurrentClient() EXCLUDES(ioLock);
  // Send, but only while `client` (a CurrentClient value) is still the one
  // connected: what was meant for a client that has gone is dropped, never
  // written to the next client of this instance. The bytes are written from
  // the caller's buffer (a message from the peer, as it was reassembled),
  // never copied first.
  SDK::TransportStatus SendToClient(uint64_t client, const std::string& message);
  // Hands a message for `client` to the outbound queue, whose messages the
  // writer thread writes in order, each within the write time-out, so that a
  // client that reads slowly or not at all holds up no other pipe.
  // WhenFull::kWait first waits while the queue is full: until the writer has
  // made room (a client that stopped reading is let go within the write
  // time-out, and its queue emptied) or the server stops. WhenFull::kPass
  // passes a full queue (answers the server's owner writes on behalf of the
  // client's own requests). False when `client` is no longer the one
  // connected or the server is not running: nothing was queued.
  // With WriteBy::kCaller the caller writes the message itself, with the
  // others it queued this way, by calling WriteQueuedNow once it has no more
  // at hand (or here, once a gathered write's worth waits): as far as the
  // client has room they go out on the caller's thread in one write, without
  // waking the writer, and only what would have to wait is left to the
  // writer. One thread alone, the owner's, queues with WriteBy::kCaller.
  bool QueueToClient(uint64_t client, std::string message, WhenFull whenFull,
                     WriteBy writeBy = WriteBy::kWriterThread);
  // Writes what waits in the outbound queue, as far as it goes without
  // waiting, and hands the rest to the writer thread. Never waits for the
  // client.
  void WriteQueuedNow();
  // Whether the outbound queue has room, so that a QueueToClient with
  // WhenFull::kWait would not wait now.
  bool OutboundHasRoom() const { return outbound.HasRoom(); }
  // Called on the writer thread when a queued write ran out of time: the
  // message was lost and the client disconnected.
  void SetWriteTimedOutCallback(std::function<void()> callback);
  // Called on the reader thread when the server, holding reading back, finds
  // that its client has left: its last messages are read past the gates
  // now, and the disconnect callback follows them.
  void SetLeavingCallback(std::function<void()> callback);
  // Called on the reader thread once it has handed on, through the receive
  // callback, every message its client had written so far and its next read
  // has to wait; while the client writes faster than it is read, after every
  // kMessagesPerCatchUp messages as well. Never when nothing was handed on
  // since the last call. An owner that queues messages for a worker thread
  // wakes the worker here, once per batch instead of once per message.
  void SetCaughtUpCallback(std::function<void()> callback);
  static constexpr uint32_t kMessagesPerCatchUp = 32;
  void SetReceiveCallback(std::function<void(std::string)> callback) override;
  void SetDisconnectCallback(std::function<void()> callback) override;

 private:
  // One pipe instance: the overlapped record shared by the connect and every
  // read, the handle, and the read buffer. The record serves one operation at
  // a time: a read starts only once the connect before it has completed.
  struct PipeInstance {
    platform::PipeOverlapped overlapped;
    platform::PipeHandle pipe = nullptr;
    std::vector<char> buffer;
  };

  // What the reader thread is doing with the instance's record.
  enum class ReaderState : uint8_t {
    // A connect waits for the next client: the next completion on ioEvent is
    // the connect's, not a read's.
    kListening,
    // A client is there and no read is under way: the next one is to start
    // (after a connect, or once reading is no longer held back).
    kConnected,
    // A read into the instance's buffer is under way.
    kReading,
    // A read of the rest of a long message, straight into pendingMessage.
    kReadingInPlace,
    // No read under way: a closed read gate holds reading back.
    kHeld,
  };
  // How a write treats a client that has no room for it.
  enum class WriteMode : uint8_t {
    kBlocking,     // waits, up to the write time-out
    kNonBlocking,  // writes only as far as it goes without waiting
  };

  // A new instance of the pipe, with its record and read buffer; null (and
  // the reason printed) when the pipe cannot be created.
  std::unique_ptr<PipeInstance> CreateInstance();

  // ---- reader thread ----
  void ReadLoop();
  void OnIoCompleted();
  // Collects the completion of the record's operation. False when there is
  // none yet (a stale signal), or the pipe has been closed.
  bool TakeCompletion(bool* completed, uint32_t* count, uint32_t* error) EXCLUDES(ioLock);
  // The completion of a connect (state kListening).
  void OnConnectCompleted(bool completed, uint32_t error);
  // Starts the next read. True when it is under way or done (its completion
  // signals ioEvent); false when the client has gone or cannot be read.
  bool IssueRead() EXCLUDES(ioLock);
  // Starts reading the next message, or, while the read gate is closed, holds
  // back (kHeld) until it opens. False as IssueRead.
  bool StartNextMessage();
  // Waits until the read gate opens (true) or the server stops (false), then
  // starts the held-back read.
  bool ResumeReading() EXCLUDES(ioLock);
  // Called when a wait for a read ran out of time: disconnects a client that
  // has sent no byte of its half-written message for the stall time-out.
  void CheckForStalledClient() EXCLUDES(ioLock);
  // A read completed: whatever the client is doing, it is not stalled.
  void NoteReadProgress();
  // The wait for the pending read: finite while a client is connected, so
  // that a stalled client is noticed.
  uint32_t ReadWaitMs() const;
  // A piece read into the instance's buffer, with more of the message to
  // follow: keeps it and, for the first piece, makes room for the rest when
  // the pipe tells how much is left. False when the message exceeds the quota.
  bool KeepPiece(const char* data, uint32_t count) EXCLUDES(ioLock);
  // A read ended with more of its message to come: keeps the piece (`data`
  // null: read in place) and reads on, or refuses a message over the quota.
  void OnPieceRead(const char* data, uint32_t count);
  // Hands on the message whose last piece `data` (null: read in place) holds.
  void HandOn(const char* data, uint32_t count);
  // Drops the departed client and listens again; stops the server when the
  // instance cannot listen again. `clientWasThere` false: only the listening
  // was lost (a cancelled connect), so nobody is disconnected or reported.
  void OnClientGone(bool clientWasThere = true);
  // Lets the client go (unless the server has done so already) and listens
  // again; *error is kErrorIoPending while a connect waits, kErrorPipeConnected
  // when a client was there at once, or what failed. False when the pipe has
  // been closed.
  bool ListenAgain(bool clientWasThere, uint32_t* error) EXCLUDES(sendLock, ioLock);
  // Runs the caught-up callback if anything was handed on since its last run.
  void NoteCaughtUp();

  // ---- write side ----
  // The write behind Send and SendToClient, in turn with the outbound
  // queue's writes; `onlyTo` null writes to whoever is connected.
  SDK::TransportStatus Write(const std::string& message, const uint64_t* onlyTo);
  // What one write of a run of messages came to: how many went out whole,
  // whether the rest waits for room (a write that was not to wait), and
  // whether it ran out of time (the client was disconnected for it).
  struct WriteOutcome {
    size_t written = 0;
    bool pending = false;
    bool timedOut = false;
  };
  // Writes a run of messages for `onlyTo` (null: whoever is connected), from
  // `progress` on. The caller holds the wire.
  WriteOutcome WriteRun(const platform::PipeMessageView* views, size_t count,
                        const uint64_t* onlyTo, WriteMode mode,
                        platform::PipeWriteProgress* progress) REQUIRES(outbound)
      EXCLUDES(sendLock, ioLock);
  WriteOutcome WriteRunUnderSendLock(const platform::PipeMessageView* views, size_t count,
                                     const uint64_t* onlyTo, WriteMode mode,
                                     platform::PipeWriteProgress* progress)
      REQUIRES(outbound, sendLock) EXCLUDES(ioLock);
  // After a write to the client of `generation` ran out of time: disconnects
  // that client, unless the reader thread has already let it go.
  void DropClientThatStoppedReading(uint64_t generation, uint32_t timeoutMs) REQUIRES(sendLock)
      EXCLUDES(ioLock);
  // The writer thread: writes what QueueToClient queued, in order.
  void WriteLoop();
  // Starts the writer thread with an empty outbound queue; ends it, dropping
  // what it had not written (under no lock of the server).
  void StartWriter();
  void StopWriter();

  // ---- the pipe handle ----
  // Closes the pipe handle (if still open) so that neither Send nor the reader
  // thread can touch it any more.
  void ClosePipeHandle() EXCLUDES(sendLock, ioLock);
  void SetOpenPipe(platform::PipeHandle pipe) REQUIRES(sendLock, ioLock) { openPipe = pipe; }
  // The handle for a write, under sendLock alone: it changes only under both
  // locks, which the analysis cannot be told of a field.
  platform::PipeHandle PipeForWrite() const REQUIRES(sendLock) KVX_NO_THREAD_SAFETY_ANALYSIS {
    return openPipe;
  }

  // Set before Start, read by the server's threads.
  std::string pipeName;
  int32_t maxInstances;
  std::function<void(std::string)> receiveCallback;
  std::function<void()> caughtUpCallback;
  std::function<void()> disconnectCallback;
  std::function<void()> leavingCallback;
  std::function<void()> writeTimedOutCallback;
  // The owner's read gate (SetReadGate), or null.
  platform::EventHandle readGate = nullptr;
  // ioEvent (the record's) and the exit event, for the reader's waits.
  std::vector<platform::EventHandle> waitHandles;
  std::atomic<uint8_t> running{0};
  std::thread readerThread;
  std::thread writerThread;

  platform::Mutex sendLock ACQUIRED_BEFORE(ioLock);
  platform::Mutex ioLock;
  // Under ioLock, and changed under sendLock as well, so that nothing here
  // changes under a write that holds sendLock alone:
  // The handle I/O may use, or InvalidPipeHandle() once closed.
  platform::PipeHandle openPipe GUARDED_BY(ioLock) = platform::InvalidPipeHandle();
  // Counts the clients the reader thread has let go, so that a write can
  // tell whether the client it writes to is still the one connected.
  uint64_t clientGeneration GUARDED_BY(ioLock) = 0;
  // Under ioLock alone: the server has disconnected the current client
  // itself, because a write to it ran out of time or it stalled half-way
  // through a message. The reader thread, which sees the client gone, then
  // only listens again. (The one thing of the reader's that other threads
  // change; the reader's own state is below.)
  bool disconnectedByServer GUARDED_BY(ioLock) = false;

  // The reader thread's alone (Start sets them before the thread begins).
  std::unique_ptr<PipeInstance> instance;
  ReaderState readerState = ReaderState::kConnected;
  // The pieces of a message longer than one read, gathered until its end.
  // Once the system has told how long the message is, the string holds room
  // for all of it and the rest is read straight into it (kReadingInPlace),
  // in steps of kDirectReadStep, so it is handed on without another copy;
  // `pendingFilled` counts the bytes of it read so far.
  std::string pendingMessage;
  size_t pendingFilled = 0;
  static constexpr uint32_t kDirectReadStep = 4 * kReadBufferSize;
  // Messages handed on since the caught-up callback last ran, and whether
  // the read under way completed at once (so the next wait will not sleep).
  uint32_t handedOnSinceCatchUp = 0;
  bool readDoneAtOnce = false;
  // The client left while reading was held back: its last messages (no more
  // than its pipe holds) are read past the gates, so that its departure is
  // reported soon and after them. Until the client-gone step.
  bool readPastGates = false;
  // What the client had of its message in hand at the last look, and since
  // when it has not changed.
  uint64_t stallMark = 0;
  uint64_t stallSinceMs = 0;

  // The messages for the writer thread, and the wire.
  OutboundQueue outbound{kOutboundQueueBytes};
};

// Console lines that repeat beyond the limit are held back and summarised; one
// limiter for every server (tests reset it between cases).
diagnostics::RepeatLimiter& ConsoleLimiter();

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
