// One instance of a message-mode named pipe, served with overlapped I/O by a
// reader thread of its own. Each message a client writes reaches the receive
// callback whole; when the client leaves, the disconnect callback runs and the
// instance listens again, so successive clients are served without a restart.
// Several servers on one pipe path (all constructed with the same instance
// count) serve several clients at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/RepeatLimiter.h"
#include "extension/sdk/ITransport.h"
#include "platform/event.h"
#include "platform/named_pipe.h"

namespace Orvane {
namespace Extension {
namespace Windows {

class NamedPipeServer : public SDK::ITransport {
 public:
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

  // Messages handed to QueueToClient wait for the server's writer thread in a
  // share of their own, at most this many bytes (each message counts its
  // bytes and 64 more; one more whole message may come while there is room).
  // While the share is full the server reads no new message from its client
  // either, so a client that stops reading holds back itself alone. The
  // pipe's own buffer (the quota) holds far more already; the share only
  // lets its owner hand messages over without waiting on the write.
  static constexpr size_t kOutboundShareBytes = size_t{8} << 20;
  static constexpr size_t kOutboundItemOverheadBytes = 64;
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
  uint64_t CurrentClient();
  // Send, but only while `client` (a CurrentClient value) is still the one
  // connected: what was meant for a client that has gone is dropped, never
  // written to the next client of this instance. The bytes are written from
  // the caller's buffer (a message from the peer, as it was reassembled),
  // never copied first.
  SDK::TransportStatus SendToClient(uint64_t client, const std::string& message);
  // Hands a message for `client` to the server's writer thread, which writes
  // the messages of its share in order, each within the write time-out, so
  // that a client that reads slowly or not at all holds up no other pipe.
  // With `waitForRoom`, first waits while the share is full: until the writer
  // has made room (a client that stopped reading is let go within the write
  // time-out, and its share emptied) or the server stops. Without it the
  // message passes a full share (answers the server's owner writes on behalf
  // of the client's own requests). False when `client` is no longer the one
  // connected or the server is not running: nothing was queued.
  // With `writeHere` the caller writes the message itself, with the others it
  // queued this way, by calling WriteQueuedNow once it has no more at hand
  // (or here, once a gathered write's worth waits): as far as the client has
  // room they go out on the caller's thread in one write, without waking the
  // writer, and only what would have to wait is left to the writer.
  bool QueueToClient(uint64_t client, std::string message, bool waitForRoom,
                     bool writeHere = false);
  // Writes what waits in the share, as far as it goes without waiting, and
  // hands the rest to the writer thread. Never waits for the client.
  void WriteQueuedNow();
  // Whether the share has room, so that a QueueToClient that waits for room
  // would not wait now.
  bool OutboundHasRoom() const { return outboundHasRoom.load(); }
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

  void ReadLoop();
  void OnIoCompleted();
  // Starts the next read. True when it is under way or done (its completion
  // signals ioEvent); false when the client has gone or cannot be read.
  bool IssueRead();
  // Starts reading the next message, or, while the read gate is closed, holds
  // back (`readingHeld`) until it opens. False as IssueRead.
  bool StartNextMessage();
  // Waits until the read gate opens (true) or the server stops (false), then
  // starts the held-back read.
  bool ResumeReading();
  // Called when a wait for a read ran out of time: disconnects a client that
  // has sent no byte of its half-written message for the stall time-out.
  void CheckForStalledClient();
  // A read completed: whatever the client is doing, it is not stalled.
  void NoteReadProgress();
  // The wait for the pending read: finite while a client is connected, so
  // that a stalled client is noticed.
  uint32_t ReadWaitMs() const;
  // Drops the departed client and listens again; stops the server when the
  // instance cannot listen again. `clientWasThere` false: only the listening
  // was lost (a cancelled connect), so nobody is disconnected or reported.
  void OnClientGone(bool clientWasThere = true);
  // Closes the pipe handle (if still open) so that neither Send nor the reader
  // thread can touch it any more.
  void ClosePipeHandle();
  // After a write to the client of `generation` ran out of time: disconnects
  // that client, unless the reader thread has already let it go. Under
  // sendLock.
  void DropClientThatStoppedReading(uint64_t generation, uint32_t timeoutMs);
  // The write behind Send and SendToClient, in turn with the share's writes;
  // `onlyTo` null writes to whoever is connected.
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
  // `progress` on; with `wait` false only as far as it goes without waiting.
  // The caller holds the wire.
  WriteOutcome WriteRun(const platform::PipeMessageView* views, size_t count,
                        const uint64_t* onlyTo, bool wait, platform::PipeWriteProgress* progress);
  // Under outboundLock: views of the share's first messages for one client,
  // up to kGatherBytes (at least one); returns that client.
  uint64_t TakeRun(std::vector<platform::PipeMessageView>* views);
  // Gives the wire back, taking the first `handled` messages off the share
  // (written, or dropped with their client) and keeping how far the wire got
  // into the next one.
  void ReleaseWire(size_t handled, platform::PipeWriteProgress progress);
  // The writer thread: writes what QueueToClient queued, in order.
  void WriteLoop();
  // Starts the writer thread with an empty share; ends it, dropping what it
  // had not written (under no other lock of the server).
  void StartWriter();
  void StopWriter();
  // Under outboundLock: the share's room changed; wakes those waiting for it.
  void UpdateOutboundRoom();

  std::function<void(std::string)> receiveCallback;
  std::function<void()> caughtUpCallback;
  // Messages handed on since the caught-up callback last ran, and whether
  // the read under way completed at once (so the next wait will not sleep).
  // The reader thread's alone.
  uint32_t handedOnSinceCatchUp = 0;
  bool readDoneAtOnce = false;
  // Runs the caught-up callback if anything was handed on since its last run.
  void NoteCaughtUp();
  std::function<void()> disconnectCallback;
  std::thread readerThread;
  std::string pipeName;
  std::unique_ptr<PipeInstance> instance;
  std::vector<platform::EventHandle> waitHandles;
  std::atomic<uint8_t> running{0};
  int32_t maxInstances;

  // The handle I/O may use, or InvalidPipeHandle() once closed. Changing it
  // takes both locks; reading it takes either. Send holds sendLock for its
  // whole write (blocking, up to the write time-out), the reader thread
  // holds ioLock only for its non-blocking calls, so a slow write never
  // stalls reading.
  platform::PipeHandle openPipe = platform::InvalidPipeHandle();
  std::mutex sendLock;
  std::mutex ioLock;
  // Counts the clients the reader thread has let go, so that Send can tell
  // whether the client it wrote to is still the one connected. Changed under
  // both locks, so that no write checked against it straddles a change.
  uint64_t clientGeneration = 0;
  // Send has disconnected the current client (it stopped reading), or the
  // stall check has (it stopped writing half-way through a message); the
  // reader thread, which sees the client gone, then only listens again.
  // Under ioLock.
  bool disconnectedBySend = false;
  // The pieces of a message longer than one read, gathered until its end.
  // Once the system has told how long the message is, the string holds room
  // for all of it and the rest is read straight into it (readIntoPending),
  // in steps of kDirectReadStep, so it is handed on without another copy;
  // `pendingFilled` counts the bytes of it read so far.
  std::string pendingMessage;
  size_t pendingFilled = 0;
  bool readIntoPending = false;
  static constexpr uint32_t kDirectReadStep = 4 * kReadBufferSize;
  // A piece read into the instance's buffer, with more of the message to
  // follow: keeps it and, for the first piece, makes room for the rest when
  // the pipe tells how much is left. False when the message exceeds the quota.
  bool KeepPiece(const char* data, uint32_t count);
  // The instance's record carries a connect still waiting for its client, so
  // the next completion on ioEvent is that connect's, not a read's. Set by
  // Start before the reader thread begins; the reader thread's alone after.
  bool connectPending = false;

  // The outbound share: messages for the writer thread, their bytes (queued
  // and in the writer's hands) against kOutboundShareBytes, and a
  // manual-reset event that is set while it has room (the reader thread's
  // second gate). All under outboundLock.
  struct OutboundItem {
    uint64_t client = 0;
    std::string bytes;
  };
  std::thread writerThread;
  std::mutex outboundLock;
  std::condition_variable outboundQueued;
  std::condition_variable outboundRoom;
  std::deque<OutboundItem> outbound;
  size_t outboundBytes = 0;
  bool writerStopping = false;
  // Whoever writes to the pipe holds the wire: the writer thread, the owner
  // in WriteQueuedNow, or Send; nobody else writes meanwhile, and only the
  // holder takes messages off the share. How far the wire got into the
  // share's first message, when a write that was not to wait stopped inside
  // it: the writer finishes it before anything else goes out.
  bool wireHeld = false;
  std::condition_variable wireFree;
  platform::PipeWriteProgress frontProgress;
  // Bytes queued for the owner's own write since it last wrote.
  size_t heldForOwner = 0;
  // outboundBytes < kOutboundShareBytes, readable without the lock.
  std::atomic<bool> outboundHasRoom{true};
  // A gathered write takes at most this many bytes (or one longer message),
  // so that room comes back to the share as the messages go.
  static constexpr size_t kGatherBytes = size_t{256} << 10;
  platform::EventHandle outboundRoomEvent = nullptr;
  std::function<void()> writeTimedOutCallback;
  std::function<void()> leavingCallback;

  // Reading held back by a closed read gate; the reader thread's alone.
  platform::EventHandle readGate = nullptr;
  bool readingHeld = false;
  // The client left while reading was held back: its last messages (no more
  // than its pipe holds) are read past the gates, so that its departure is
  // reported soon and after them. Until the client-gone step.
  bool readPastGates = false;
  // What the client had of its message in hand at the last look, and since
  // when it has not changed. The reader thread's alone.
  uint64_t stallMark = 0;
  uint64_t stallSinceMs = 0;
};

// Console lines that repeat beyond the limit are held back and summarised; one
// limiter for every server (tests reset it between cases).
diagnostics::RepeatLimiter& ConsoleLimiter();

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
