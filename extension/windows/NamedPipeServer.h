// One instance of a message-mode named pipe, served with overlapped I/O by a
// reader thread of its own. Each message a client writes reaches the receive
// callback whole; when the client leaves, the disconnect callback runs and the
// instance listens again, so successive clients are served without a restart.
// Several servers on one pipe path (all constructed with the same instance
// count) serve several clients at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "extension/diagnostics/RepeatLimiter.h"
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

  // Shortens (or restores) the write time-out of every server in the process,
  // so that tests of a client that never reads need not wait kWriteTimeoutMs.
  // The product never calls it.
  static void SetWriteTimeoutMs(uint32_t timeoutMs);

  NamedPipeServer(std::string pipeName, int32_t maxInstances);
  ~NamedPipeServer() override;
  NamedPipeServer(const NamedPipeServer&) = delete;
  NamedPipeServer& operator=(const NamedPipeServer&) = delete;

  SDK::TransportStatus Start() override;
  void Stop() override;
  SDK::TransportStatus Send(std::string message) override;
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

  std::function<void(std::string)> receiveCallback;
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
  // whether the client it wrote to is still the one connected. Under ioLock.
  uint64_t clientGeneration = 0;
  // Send has disconnected the current client (it stopped reading); the reader
  // thread, which sees the client gone, then only listens again. Under ioLock.
  bool disconnectedBySend = false;
  // The pieces of a message longer than one read, gathered until its end.
  std::string pendingMessage;
  // The instance's record carries a connect still waiting for its client, so
  // the next completion on ioEvent is that connect's, not a read's. Set by
  // Start before the reader thread begins; the reader thread's alone after.
  bool connectPending = false;
};

// Console lines that repeat beyond the limit are held back and summarised; one
// limiter for every server (tests reset it between cases).
diagnostics::RepeatLimiter& ConsoleLimiter();

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
