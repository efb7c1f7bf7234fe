// Private to the POSIX stand-in for message-mode named pipes with overlapped
// I/O: the records behind a pipe handle and what the pipe_*.cpp files that
// serve it share.
//
// Wire format (a public interface: any program can be a client with a plain
// Unix socket): "\\.\pipe\NAME" is one listening Unix-domain stream socket at
// DIR/NAME, mode 0600, DIR being a private folder of the user (see
// pipe_location.h). Each message, both ways, is a 4-byte little-endian length
// and that many bytes; nothing else is sent. Both ends look at the other's
// user (SO_PEERCRED) before a byte passes.
//
// Locks, in the order they are taken: a PipeName's mutex, an Instance's mutex,
// then the events' own locks (SetEventObject / ResetEventObject / attaching a
// source). Writes take the Instance's writeMutex first and hold no other lock
// while they block. A waiter pins and unpins under the Instance's mutex alone,
// and holds no pin while it takes a PipeName's mutex. What each mutex guards
// is marked on the fields, and checked by clang's thread-safety analysis.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "platform/named_pipe.h"
#include "platform/posix/completion_source.h"
#include "platform/posix/pipe_location.h"
#include "platform/thread_annotations.h"

namespace platform {
namespace pipe_detail {

constexpr uint32_t kServerMagic = 0x4B565053u;  // "KVPS"
constexpr uint32_t kClientMagic = 0x4B565043u;  // "KVPC"
constexpr size_t kHeaderBytes = 4;

// PipeOverlapped::internal, written and read only under the Instance's mutex.
constexpr size_t kOvState = 0;
constexpr size_t kOvError = 1;
constexpr size_t kOvBytes = 2;
constexpr uint64_t kOvIdle = 0;
constexpr uint64_t kOvPending = 1;
constexpr uint64_t kOvDone = 2;

using Clock = std::chrono::steady_clock;

inline bool Fail(uint32_t code) {
  SetLastErrorCode(code);
  return false;
}

inline PipeHandle FailHandle(uint32_t code) {
  SetLastErrorCode(code);
  return InvalidPipeHandle();
}

inline uint32_t DecodeLength(const char* in) {
  const auto* b = reinterpret_cast<const unsigned char*>(in);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

class Instance;

struct HandleHeader {
  uint32_t magic = 0;
};

// One pipe name served by this process: its listening socket, its instance
// count and its queue of listening instances.
class PipeName {
 public:
  PipeName(std::string path, int listenFd, dev_t fileDevice, ino_t fileInode)
      : path(std::move(path)), fileDevice(fileDevice), fileInode(fileInode), listenFd(listenFd) {}

  // Accepts a client waiting in the backlog; -1 when none.
  int AcceptWaiting() REQUIRES(mutex);
  // Hands the clients waiting in the backlog to the listeners, first in line
  // first.
  void ServeListeners() EXCLUDES(mutex);
  // The listening socket for one of the name's instances, which may read it
  // without the lock: it changes only when the last instance goes.
  int ListenFdOfInstance() const KVX_NO_THREAD_SAFETY_ANALYSIS { return listenFd; }

  const std::string path;
  uint32_t maxInstances = 1;      // fixed by the first instance
  uint32_t instances = 0;         // guarded by NamesMutex()
  // The socket file we made, to remove only ours.
  const dev_t fileDevice;
  const ino_t fileInode;

  Mutex mutex;
  int listenFd GUARDED_BY(mutex);
  std::deque<Instance*> listeners GUARDED_BY(mutex);
};

enum class PipeState { Idle, Listening, Connected, Disconnected, Closed };
enum class PendingOp { None, Connect, Read };

// One server instance: the object behind a server PipeHandle.
class Instance : public HandleHeader, public event_detail::CompletionSource {
 public:
  Instance(std::shared_ptr<PipeName> name, size_t bufferBytes)
      : name(std::move(name)), buffer(bufferBytes) {}

  bool Pin(EventHandle event, int* fd, short* events) override EXCLUDES(mutex);
  void Unpin() override EXCLUDES(mutex);
  void Progress() override EXCLUDES(mutex);
  // Pin for the pending operation, whichever its event.
  bool PinLocked(int* fd, short* events) REQUIRES(mutex);

  const std::shared_ptr<PipeName> name;
  // Keeps the instance alive from CreateNamedPipeInstance to ClosePipe; a
  // waiter that still holds it as a source keeps it a little longer. Set once
  // made, taken under `mutex`.
  std::shared_ptr<Instance> self;

  Mutex writeMutex ACQUIRED_BEFORE(mutex);  // one message at a time on the wire
  Mutex mutex;
  ConditionVariable changed;  // an operation completed, or a writer or pin left
  PipeState state GUARDED_BY(mutex) = PipeState::Idle;
  int fd GUARDED_BY(mutex) = -1;
  int pins GUARDED_BY(mutex) = 0;  // waiters in poll() on `fd` or the name's listening socket
  bool peerClosed GUARDED_BY(mutex) = false;

  // Bytes read from the socket and not yet delivered.
  std::vector<char> buffer GUARDED_BY(mutex);
  size_t head GUARDED_BY(mutex) = 0;
  size_t tail GUARDED_BY(mutex) = 0;
  // Where the stream stands: inside a message with `messageLeft` bytes to go.
  bool inMessage GUARDED_BY(mutex) = false;
  uint64_t messageLeft GUARDED_BY(mutex) = 0;

  // The one operation in flight, if any.
  PendingOp op GUARDED_BY(mutex) = PendingOp::None;
  PipeOverlapped* overlapped GUARDED_BY(mutex) = nullptr;
  // The current read (immediate or pending).
  char* readBuffer GUARDED_BY(mutex) = nullptr;
  uint32_t readSize GUARDED_BY(mutex) = 0;
  uint32_t readFilled GUARDED_BY(mutex) = 0;
  bool pieceKnown GUARDED_BY(mutex) = false;
  uint32_t pieceSize GUARDED_BY(mutex) = 0;

  int writers GUARDED_BY(mutex) = 0;  // writes using `fd` without the mutex held
  // A write ran out of time part way through a message: any later byte on
  // this connection would be read as the rest of that message, so nothing
  // more is written to it. Cleared with the client.
  bool writeBroken GUARDED_BY(mutex) = false;
};

// The functions more than one file calls, grouped by the file that defines
// them; what each does is said there.

// ---- instance records and names (pipe_names.cpp) ----

Instance* ToInstance(PipeHandle pipe);
uint32_t NotConnectedError(const Instance& in) REQUIRES(in.mutex);
void ReleaseName(const std::shared_ptr<PipeName>& name);

// ---- connect and accept (pipe_connect.cpp) ----

bool PeerUser(int fd, ucred* peer);
void ResetStream(Instance& in) REQUIRES(in.mutex);
void RemoveListener(PipeName& name, Instance* in) REQUIRES(name.mutex);

// ---- reads (pipe_read.cpp) ----

bool ProgressRead(Instance& in, uint32_t* error, uint32_t* bytes) REQUIRES(in.mutex);

// ---- writes (pipe_write.cpp) ----

void RaiseSendBuffer(int fd);
int SendMessage(int fd, const void* data, uint32_t size);

// ---- completions (pipe_completion.cpp) ----

void Finish(Instance& in, PipeOverlapped* ov, uint32_t error, uint32_t bytes, bool signal)
    REQUIRES(in.mutex);
void StartPending(Instance& in, PendingOp op, PipeOverlapped* ov) REQUIRES(in.mutex);
void CompletePending(Instance& in, uint32_t error, uint32_t bytes) REQUIRES(in.mutex);

// ---- client side (pipe_client.cpp) ----

struct Client;
Client* ToClient(PipeHandle pipe);

}  // namespace pipe_detail
}  // namespace platform
