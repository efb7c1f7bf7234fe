// The POSIX stand-in for message-mode named pipes with overlapped I/O.
//
// Wire format (a public interface: any program can be a client with a plain
// Unix socket): "\\.\pipe\NAME" is one listening Unix-domain stream socket at
// DIR/NAME, mode 0600, DIR being a private folder of the user (see
// pipe_location.h). Each message, both ways, is a 4-byte little-endian length
// and that many bytes; nothing else is sent. Both ends look at the other's
// user (SO_PEERCRED) before a byte passes.
//
// Server side. The instances of one name share its listening socket (a
// PipeName). Each instance serves at most one accepted client at a time. An
// instance listens by ConnectNamedPipeInstance: a client already waiting in the
// socket's queue is accepted at once (the call reports kErrorPipeConnected, as
// Win32 does for a client that came first); otherwise the instance joins the
// name's queue of listeners and the call reports kErrorIoPending. Clients that
// arrive while no instance listens wait in the socket's backlog. Whoever finds
// the listening socket readable while some instance listens accepts, and hands
// each accepted client to the first listener in line, completing that
// instance's connect and no other.
//
// Reads complete at once when a whole piece (a message, or as much of one as
// fits the caller's buffer) is buffered or readable without blocking: the
// event is set and ReadPipe returns true (or false with kErrorMoreData).
// Immediate failures (not connected, client gone) return an error and neither
// set the event nor touch the overlapped record, as on Win32.
//
// No thread of ours completes what must wait. A pending connect or read
// attaches the instance to its event as a completion source
// (completion_source.h): the thread that waits for the event polls the
// instance's socket (the listening one for a connect) and, when it is ready,
// takes the operation forward itself and sets the event. GetPipeOverlappedResult
// and PipePartialMessageBytes take it forward too, for callers that do not
// wait on the event. A waiter pins the descriptor it polls; whoever closes a
// descriptor first completes the pending operation (which wakes the waiters)
// and then waits for the pins to go, as it waits for the writers.
//
// Locks, in the order they are taken: a PipeName's mutex, an Instance's mutex,
// then the events' own locks (SetEventObject / ResetEventObject / attaching a
// source). Writes take the Instance's writeMutex first and hold no other lock
// while they block. A waiter pins and unpins under the Instance's mutex alone,
// and holds no pin while it takes a PipeName's mutex.
#include "platform/named_pipe.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/debug_output.h"
#include "platform/posix/completion_source.h"
#include "platform/posix/pipe_location.h"

namespace platform {
namespace {

using event_detail::CompletionSource;
using pipe_detail::DescribeUser;
using pipe_detail::PipeLocation;
using pipe_detail::Reason;
using pipe_detail::SetPipeFailureDetail;

constexpr uint32_t kServerMagic = 0x4B565053u;  // "KVPS"
constexpr uint32_t kClientMagic = 0x4B565043u;  // "KVPC"
constexpr uint32_t kUnlimitedInstances = 255;    // PIPE_UNLIMITED_INSTANCES
constexpr uint32_t kDefaultClientWaitMs = 5000;  // NMPWAIT_USE_DEFAULT_WAIT
constexpr int kSendBufferBytes = 64 << 20;       // the pipe's 64 MiB quota
constexpr size_t kServerReadBuffer = 256 * 1024;
constexpr size_t kClientReadBuffer = 64 * 1024;
constexpr uint32_t kDirectReadThreshold = 64 * 1024;  // larger pieces skip the buffer
constexpr size_t kHeaderBytes = 4;
// How long GetPipeOverlappedResult(wait) polls the socket before it looks
// again: another thread may complete the operation without writing to it.
constexpr int kResultPollMs = 20;

// PipeOverlapped::internal, written and read only under the Instance's mutex.
constexpr size_t kOvState = 0;
constexpr size_t kOvError = 1;
constexpr size_t kOvBytes = 2;
constexpr uint64_t kOvIdle = 0;
constexpr uint64_t kOvPending = 1;
constexpr uint64_t kOvDone = 2;

bool Fail(uint32_t code) {
  SetLastErrorCode(code);
  return false;
}

PipeHandle FailHandle(uint32_t code) {
  SetLastErrorCode(code);
  return InvalidPipeHandle();
}

// ---- names, addresses, sockets ----

// The user of the process at the other end of a connected socket; false when
// the system cannot say.
bool PeerUser(int fd, ucred* peer) {
  socklen_t size = sizeof *peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &size) == 0 && size == sizeof *peer;
}

std::string FileOwner(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? DescribeUser(st.st_uid) : std::string("owner unknown");
}

// Lets a writer put a whole ordinary message in flight while the reader is
// slow. Raising past the system maximum needs privilege; without it the
// largest allowed value is taken quietly.
void RaiseSendBuffer(int fd) {
  int size = kSendBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
}

void EncodeLength(uint32_t length, unsigned char out[kHeaderBytes]) {
  out[0] = static_cast<unsigned char>(length);
  out[1] = static_cast<unsigned char>(length >> 8);
  out[2] = static_cast<unsigned char>(length >> 16);
  out[3] = static_cast<unsigned char>(length >> 24);
}

uint32_t DecodeLength(const char* in) {
  const auto* b = reinterpret_cast<const unsigned char*>(in);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

using Clock = std::chrono::steady_clock;

// Sends one framed message, all of it. Works on blocking and non-blocking
// descriptors (the latter wait for room with poll). Never raises SIGPIPE.
// With a `deadline` (non-blocking descriptors only) the wait for room ends
// there with ETIMEDOUT. Returns 0 or the errno that ended it; *sentOut (when
// given) tells how many bytes, header included, went out.
int SendMessage(int fd, const void* data, uint32_t size, const Clock::time_point* deadline = nullptr,
                size_t* sentOut = nullptr) {
  unsigned char header[kHeaderBytes];
  EncodeLength(size, header);
  iovec parts[2] = {{header, kHeaderBytes}, {const_cast<void*>(data), size}};
  const size_t total = kHeaderBytes + static_cast<size_t>(size);
  size_t ignored = 0;
  size_t& sent = sentOut != nullptr ? *sentOut : ignored;
  sent = 0;
  while (sent < total) {
    iovec iov[2];
    int count = 0;
    size_t skip = sent;
    for (const iovec& part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      iov[count].iov_base = static_cast<char*>(part.iov_base) + skip;
      iov[count].iov_len = part.iov_len - skip;
      skip = 0;
      ++count;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    int waitMs = -1;
    if (deadline != nullptr) {
      const auto now = Clock::now();
      if (now >= *deadline) return ETIMEDOUT;
      // Rounded up: a wait that ended just short of the deadline would only
      // come back for more polls of 0 ms.
      waitMs = static_cast<int>(std::min<int64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now + std::chrono::microseconds(999))
              .count(),
          INT32_MAX));
    }
    pollfd p{fd, POLLOUT, 0};
    const int ready = poll(&p, 1, waitMs);
    if (ready < 0 && errno != EINTR) return errno;
    if (ready <= 0) continue;  // interrupted, or the time is up: looked at above
    if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0) return EPIPE;
  }
  return 0;
}

// ---- server side ----

class Instance;

struct HandleHeader {
  uint32_t magic = 0;
};

// One pipe name served by this process: its listening socket, its instance
// count and its queue of listening instances.
class PipeName {
 public:
  // Accepts a client waiting in the backlog; -1 when none. Under `mutex`.
  int AcceptWaiting();
  // Hands the clients waiting in the backlog to the listeners, first in line
  // first. Takes `mutex`.
  void ServeListeners();

  std::string path;
  uint32_t maxInstances = 1;      // fixed by the first instance
  uint32_t instances = 0;         // guarded by NamesMutex()

  std::mutex mutex;
  int listenFd = -1;              // guarded by mutex, as are the rest
  dev_t fileDevice = 0;           // the socket file we made, to remove only ours
  ino_t fileInode = 0;
  std::deque<Instance*> listeners;
};

std::mutex& NamesMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::unordered_map<std::string, std::shared_ptr<PipeName>>& Names() {
  static auto* names = new std::unordered_map<std::string, std::shared_ptr<PipeName>>();
  return *names;
}

enum class PipeState { Idle, Listening, Connected, Disconnected, Closed };
enum class PendingOp { None, Connect, Read };

// One server instance: the object behind a server PipeHandle.
class Instance : public HandleHeader, public CompletionSource {
 public:
  bool Pin(EventHandle event, int* fd, short* events) override;
  void Unpin() override;
  void Progress() override;
  // Pin for the pending operation, whichever its event. Under `mutex`.
  bool PinLocked(int* fd, short* events);

  std::shared_ptr<PipeName> name;
  // Keeps the instance alive from CreateNamedPipeInstance to ClosePipe; a
  // waiter that still holds it as a source keeps it a little longer.
  std::shared_ptr<Instance> self;

  std::mutex mutex;
  std::condition_variable changed;  // an operation completed, or a writer or pin left
  PipeState state = PipeState::Idle;
  int fd = -1;
  int pins = 0;  // waiters in poll() on `fd` or the name's listening socket
  bool peerClosed = false;

  // Bytes read from the socket and not yet delivered.
  std::vector<char> buffer;
  size_t head = 0;
  size_t tail = 0;
  // Where the stream stands: inside a message with `messageLeft` bytes to go.
  bool inMessage = false;
  uint64_t messageLeft = 0;

  // The one operation in flight, if any.
  PendingOp op = PendingOp::None;
  PipeOverlapped* overlapped = nullptr;
  // The current read (immediate or pending).
  char* readBuffer = nullptr;
  uint32_t readSize = 0;
  uint32_t readFilled = 0;
  bool pieceKnown = false;
  uint32_t pieceSize = 0;

  std::mutex writeMutex;  // one message at a time on the wire
  int writers = 0;        // writes using `fd` without the mutex held
  // A write ran out of time part way through a message: any later byte on
  // this connection would be read as the rest of that message, so nothing
  // more is written to it. Cleared with the client.
  bool writeBroken = false;
};

Instance* ToInstance(PipeHandle pipe) {
  if (pipe == nullptr || pipe == InvalidPipeHandle()) return nullptr;
  auto* header = static_cast<HandleHeader*>(pipe);
  if (header->magic != kServerMagic) return nullptr;
  return static_cast<Instance*>(header);
}

// Records an outcome in the overlapped record; `signal` sets its event.
// Under the Instance's mutex.
void Finish(Instance& in, PipeOverlapped* ov, uint32_t error, uint32_t bytes, bool signal) {
  ov->internal[kOvState] = kOvDone;
  ov->internal[kOvError] = error;
  ov->internal[kOvBytes] = bytes;
  if (signal && ov->event != nullptr) SetEventObject(ov->event);
  in.changed.notify_all();
}

// Why reads and writes cannot use the instance now; 0 when a client is
// connected. Under the Instance's mutex.
uint32_t NotConnectedError(const Instance& in) {
  switch (in.state) {
    case PipeState::Closed:
      return kErrorInvalidHandle;
    case PipeState::Idle:
    case PipeState::Listening:
      return kErrorPipeListening;
    case PipeState::Disconnected:
      return kErrorPipeNotConnected;
    case PipeState::Connected:
      break;
  }
  return kErrorSuccess;
}

void StartPending(Instance& in, PendingOp op, PipeOverlapped* ov) {
  ov->internal[kOvState] = kOvPending;
  ov->internal[kOvError] = kErrorIoPending;
  ov->internal[kOvBytes] = 0;
  if (ov->event != nullptr) ResetEventObject(ov->event);
  in.op = op;
  in.overlapped = ov;
  if (ov->event != nullptr) event_detail::AttachCompletionSource(ov->event, in.self);
}

void CompletePending(Instance& in, uint32_t error, uint32_t bytes) {
  PipeOverlapped* ov = in.overlapped;
  in.op = PendingOp::None;
  in.overlapped = nullptr;
  in.readBuffer = nullptr;
  if (ov == nullptr) return;
  if (ov->event != nullptr) event_detail::DetachCompletionSource(ov->event, &in);
  Finish(in, ov, error, bytes, true);
}

void ResetStream(Instance& in) {
  in.peerClosed = false;
  in.writeBroken = false;
  in.head = in.tail = 0;
  in.inMessage = false;
  in.messageLeft = 0;
  in.pieceKnown = false;
}

void AttachClient(Instance& in, int fd) {
  RaiseSendBuffer(fd);
  in.fd = fd;
  ResetStream(in);
  in.state = PipeState::Connected;
}

// Waits until no waiter polls a descriptor of the instance. The caller has
// ended the pending operation (which woke them) and holds `lock`.
void WaitForPins(Instance& in, std::unique_lock<std::mutex>& lock) {
  in.changed.wait(lock, [&] { return in.pins == 0; });
}

// Drops the client's socket. The caller has already moved the instance out of
// the Connected state and ended its pending operation, so no new write or pin
// starts; writes and polls under way are woken by the shutdown and waited for
// before the descriptor is closed.
void DropClient(Instance& in, std::unique_lock<std::mutex>& lock) {
  if (in.fd < 0) return;
  shutdown(in.fd, SHUT_RDWR);
  in.changed.wait(lock, [&] { return in.writers == 0 && in.pins == 0; });
  close(in.fd);
  in.fd = -1;
  ResetStream(in);
}

// Reads what the socket has into the buffer without blocking: bytes read,
// 0 at end of stream (or a failed socket), -1 when nothing is there yet.
ssize_t FillBuffer(Instance& in) {
  if (in.head == in.tail) {
    in.head = in.tail = 0;
  } else if (in.buffer.size() - in.tail < kDirectReadThreshold && in.head > 0) {
    std::memmove(in.buffer.data(), in.buffer.data() + in.head, in.tail - in.head);
    in.tail -= in.head;
    in.head = 0;
  }
  for (;;) {
    const ssize_t n = recv(in.fd, in.buffer.data() + in.tail, in.buffer.size() - in.tail, MSG_DONTWAIT);
    if (n > 0) {
      in.tail += static_cast<size_t>(n);
      return n;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
    in.peerClosed = true;
    return 0;
  }
}

// Takes the current read as far as the bytes at hand allow. True when it is
// complete, with its outcome in *error (0, kErrorMoreData or kErrorBrokenPipe)
// and *bytes; false when it must wait for the socket. Under the mutex, state
// Connected.
bool ProgressRead(Instance& in, uint32_t* error, uint32_t* bytes) {
  for (;;) {
    const size_t available = in.tail - in.head;
    if (!in.inMessage) {
      if (available >= kHeaderBytes) {
        in.messageLeft = DecodeLength(in.buffer.data() + in.head);
        in.head += kHeaderBytes;
        in.inMessage = true;
        continue;
      }
    } else {
      if (!in.pieceKnown) {
        in.pieceSize = static_cast<uint32_t>(std::min<uint64_t>(in.readSize, in.messageLeft));
        in.readFilled = 0;
        in.pieceKnown = true;
      }
      uint32_t need = in.pieceSize - in.readFilled;
      if (need > 0 && available > 0) {
        const uint32_t take = static_cast<uint32_t>(std::min<size_t>(available, need));
        std::memcpy(in.readBuffer + in.readFilled, in.buffer.data() + in.head, take);
        in.head += take;
        in.readFilled += take;
        need -= take;
      }
      if (need == 0) {
        in.messageLeft -= in.pieceSize;
        *bytes = in.pieceSize;
        in.pieceKnown = false;
        if (in.messageLeft == 0) {
          in.inMessage = false;
          *error = kErrorSuccess;
        } else {
          *error = kErrorMoreData;
        }
        return true;
      }
      // The buffer is empty here. A large remainder goes straight to the caller.
      if (need >= kDirectReadThreshold && !in.peerClosed) {
        const ssize_t n = recv(in.fd, in.readBuffer + in.readFilled, need, MSG_DONTWAIT);
        if (n > 0) {
          in.readFilled += static_cast<uint32_t>(n);
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        in.peerClosed = true;
      }
    }
    if (in.peerClosed) {
      // The client has gone and no whole piece is left: the rest is lost.
      in.head = in.tail = 0;
      in.inMessage = false;
      in.pieceKnown = false;
      *error = kErrorBrokenPipe;
      *bytes = 0;
      return true;
    }
    if (FillBuffer(in) < 0) return false;
  }
}

bool Instance::PinLocked(int* fdOut, short* events) {
  if (op == PendingOp::Read && state == PipeState::Connected && fd >= 0) {
    *fdOut = fd;
    *events = POLLIN | POLLRDHUP;
  } else if (op == PendingOp::Connect && state == PipeState::Listening && name->listenFd >= 0) {
    // The listening socket lives while this instance does.
    *fdOut = name->listenFd;
    *events = POLLIN;
  } else {
    return false;
  }
  ++pins;
  return true;
}

bool Instance::Pin(EventHandle event, int* fdOut, short* events) {
  std::lock_guard<std::mutex> lock(mutex);
  if (overlapped == nullptr || overlapped->event != event) return false;
  return PinLocked(fdOut, events);
}

void Instance::Unpin() {
  std::lock_guard<std::mutex> lock(mutex);
  if (--pins == 0) changed.notify_all();
}

void Instance::Progress() {
  std::unique_lock<std::mutex> lock(mutex);
  if (op == PendingOp::Read) {
    if (state != PipeState::Connected) return;
    uint32_t error = 0;
    uint32_t bytes = 0;
    if (ProgressRead(*this, &error, &bytes)) CompletePending(*this, error, bytes);
    return;
  }
  if (op != PendingOp::Connect) return;
  // The name's lock comes first: let go of ours. Any listener of the name
  // may be the one that gets the client.
  const std::shared_ptr<PipeName> pipeName = name;
  lock.unlock();
  pipeName->ServeListeners();
}

int PipeName::AcceptWaiting() {
  if (listenFd < 0) return -1;
  for (;;) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return -1;
    }
    // The folder keeps other users out; this holds even if it was opened up
    // after we checked it. A client of another user never reaches the owner.
    ucred peer{};
    const bool known = PeerUser(fd, &peer);
    if (!known || !pipe_detail::TrustedPeer(peer.uid)) {
      const std::string who = known ? "process " + std::to_string(peer.pid) + " of " + DescribeUser(peer.uid)
                                    : std::string("a process of unknown user");
      close(fd);
      OutputDebugText(("Pipe client refused: " + who + " connected to " + path + ", which serves only " +
                       DescribeUser(geteuid()))
                          .c_str());
      continue;
    }
    return fd;
  }
}

void PipeName::ServeListeners() {
  std::lock_guard<std::mutex> lock(mutex);
  while (!listeners.empty()) {
    const int fd = AcceptWaiting();
    if (fd < 0) break;
    Instance* in = listeners.front();
    listeners.pop_front();
    std::lock_guard<std::mutex> instanceLock(in->mutex);
    AttachClient(*in, fd);
    CompletePending(*in, kErrorSuccess, 0);
  }
}

void RemoveListener(PipeName& name, Instance* in) {
  auto it = std::find(name.listeners.begin(), name.listeners.end(), in);
  if (it != name.listeners.end()) name.listeners.erase(it);
}

bool IsLiveSocket(const sockaddr_un& address, socklen_t length) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;  // cannot tell: leave it alone
  const int rc = connect(probe, reinterpret_cast<const sockaddr*>(&address), length);
  const int error = errno;
  close(probe);
  return rc == 0 || (error != ECONNREFUSED && error != ENOENT);
}

// Makes the listening socket of a new name. Replaces a stale socket file left
// by a process that has died; never a live server's, nor a file that is not a
// socket.
std::shared_ptr<PipeName> OpenListener(const PipeLocation& where, uint32_t* error) {
  const std::string& path = where.path;
  const sockaddr_un& address = where.address;
  const socklen_t length = where.length;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = kErrorNotEnoughMemory;
      return nullptr;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      struct stat st{};
      // Owner-only before anyone can connect: nothing listens yet.
      if (chmod(path.c_str(), 0600) != 0 || stat(path.c_str(), &st) != 0 || listen(fd, SOMAXCONN) != 0) {
        SetPipeFailureDetail("cannot prepare the socket: " + Reason(errno));
        close(fd);
        unlink(path.c_str());
        *error = kErrorAccessDenied;
        return nullptr;
      }
      auto name = std::make_shared<PipeName>();
      name->path = path;
      name->listenFd = fd;
      name->fileDevice = st.st_dev;
      name->fileInode = st.st_ino;
      return name;
    }
    const int bindError = errno;
    close(fd);
    if (bindError == EADDRINUSE) {
      struct stat st{};
      if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) continue;  // gone meanwhile: try again
        SetPipeFailureDetail("cannot look at what is in the way: " + Reason(errno));
        *error = kErrorAccessDenied;
        return nullptr;
      }
      if (!S_ISSOCK(st.st_mode)) {
        SetPipeFailureDetail("a file that is not a socket is in the way (owner " + DescribeUser(st.st_uid) + ")");
        *error = kErrorAccessDenied;
        return nullptr;
      }
      if (IsLiveSocket(address, length)) {
        // Another process serves this name; its instances are not ours to add to.
        SetPipeFailureDetail("another process already serves it (socket of " + DescribeUser(st.st_uid) + ")");
        *error = kErrorPipeBusy;
        return nullptr;
      }
      // A socket left by a process that has ended. One we cannot remove is
      // someone else's, and no retry will change that.
      if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        SetPipeFailureDetail("a dead socket of " + DescribeUser(st.st_uid) +
                             " is in the way and cannot be removed: " + Reason(errno));
        *error = kErrorAccessDenied;
        return nullptr;
      }
      continue;
    }
    SetPipeFailureDetail("cannot create the socket: " + Reason(bindError));
    *error = (bindError == ENOENT || bindError == ENOTDIR) ? kErrorFileNotFound
             : (bindError == EACCES || bindError == EPERM || bindError == EROFS) ? kErrorAccessDenied
                                                                               : kErrorInvalidParameter;
    return nullptr;
  }
  SetPipeFailureDetail("sockets keep appearing in the way");
  *error = kErrorPipeBusy;
  return nullptr;
}

// One instance of `name` is gone; the last one takes the socket with it.
void ReleaseName(const std::shared_ptr<PipeName>& name) {
  std::lock_guard<std::mutex> namesLock(NamesMutex());
  if (--name->instances > 0) return;
  auto it = Names().find(name->path);
  if (it != Names().end() && it->second == name) Names().erase(it);
  std::lock_guard<std::mutex> lock(name->mutex);
  if (name->listenFd >= 0) {
    close(name->listenFd);
    name->listenFd = -1;
    struct stat st{};
    if (stat(name->path.c_str(), &st) == 0 && st.st_dev == name->fileDevice && st.st_ino == name->fileInode) {
      unlink(name->path.c_str());
    }
  }
}

// ---- client side ----

struct Client : HandleHeader {
  int fd = -1;
  std::atomic<bool> shutDown{false};
  std::mutex readMutex;
  std::vector<char> buffer;
  size_t head = 0;
  size_t tail = 0;
  std::mutex writeMutex;
};

Client* ToClient(PipeHandle pipe) {
  if (pipe == nullptr || pipe == InvalidPipeHandle()) return nullptr;
  auto* header = static_cast<HandleHeader*>(pipe);
  if (header->magic != kClientMagic) return nullptr;
  return static_cast<Client*>(header);
}

// Fills `size` bytes at `out` from the client's stream, blocking. False at the
// end of the stream or on a failure.
bool ReadExact(Client& c, char* out, size_t size) {
  while (size > 0) {
    const size_t available = c.tail - c.head;
    if (available > 0) {
      const size_t take = std::min(available, size);
      std::memcpy(out, c.buffer.data() + c.head, take);
      c.head += take;
      out += take;
      size -= take;
      continue;
    }
    c.head = c.tail = 0;
    char* target = size >= c.buffer.size() ? out : c.buffer.data();
    const size_t want = size >= c.buffer.size() ? size : c.buffer.size();
    const ssize_t n = recv(c.fd, target, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (target == out) {
      out += n;
      size -= static_cast<size_t>(n);
    } else {
      c.tail = static_cast<size_t>(n);
    }
  }
  return true;
}

}  // namespace

// ---- server side ----

PipeHandle CreateNamedPipeInstance(const std::string& name, uint32_t /*openMode*/, uint32_t /*pipeMode*/,
                                   uint32_t maxInstances, uint32_t /*outBufferSize*/,
                                   uint32_t /*inBufferSize*/, uint32_t /*defaultTimeoutMs*/) {
  if (maxInstances == 0 || maxInstances > kUnlimitedInstances) {
    pipe_detail::ClearPipeFailureDetail();
    return FailHandle(kErrorInvalidParameter);
  }
  PipeLocation where;
  uint32_t locateError = 0;
  if (!pipe_detail::LocatePipe(name, true, &where, &locateError)) return FailHandle(locateError);
  const std::string& path = where.path;
  event_detail::AddWakeUser();

  std::shared_ptr<PipeName> pipeName;
  {
    std::lock_guard<std::mutex> namesLock(NamesMutex());
    auto it = Names().find(path);
    if (it != Names().end()) {
      pipeName = it->second;
      if (pipeName->maxInstances != kUnlimitedInstances && pipeName->instances >= pipeName->maxInstances) {
        event_detail::RemoveWakeUser();
        return FailHandle(kErrorPipeBusy);
      }
    } else {
      uint32_t error = 0;
      pipeName = OpenListener(where, &error);
      if (!pipeName) {
        event_detail::RemoveWakeUser();
        return FailHandle(error);
      }
      pipeName->maxInstances = maxInstances;
      Names().emplace(path, pipeName);
    }
    ++pipeName->instances;
  }

  auto instance = std::make_shared<Instance>();
  instance->magic = kServerMagic;
  instance->name = std::move(pipeName);
  instance->buffer.resize(kServerReadBuffer);
  instance->self = instance;
  SetLastErrorCode(kErrorSuccess);
  return static_cast<HandleHeader*>(instance.get());
}

bool ConnectNamedPipeInstance(PipeHandle pipe, PipeOverlapped* overlapped) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  if (overlapped == nullptr) return Fail(kErrorInvalidParameter);
  PipeName& name = *in->name;
  std::lock_guard<std::mutex> nameLock(name.mutex);
  std::lock_guard<std::mutex> lock(in->mutex);
  switch (in->state) {
    case PipeState::Closed:
      return Fail(kErrorInvalidHandle);
    case PipeState::Listening:
      return Fail(kErrorPipeListening);
    case PipeState::Connected:
      // A client that has gone must be disconnected before the next one.
      return Fail(in->peerClosed ? kErrorNoData : kErrorPipeConnected);
    case PipeState::Idle:
    case PipeState::Disconnected:
      break;
  }
  const int fd = name.AcceptWaiting();
  if (fd >= 0) {
    // A client was already waiting: connected now, and no completion follows.
    AttachClient(*in, fd);
    if (overlapped->event != nullptr) ResetEventObject(overlapped->event);
    Finish(*in, overlapped, kErrorSuccess, 0, false);
    return Fail(kErrorPipeConnected);
  }
  in->state = PipeState::Listening;
  StartPending(*in, PendingOp::Connect, overlapped);
  name.listeners.push_back(in);
  return Fail(kErrorIoPending);
}

bool DisconnectNamedPipeInstance(PipeHandle pipe) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  PipeName& name = *in->name;
  std::lock_guard<std::mutex> nameLock(name.mutex);
  std::unique_lock<std::mutex> lock(in->mutex);
  switch (in->state) {
    case PipeState::Closed:
      return Fail(kErrorInvalidHandle);
    case PipeState::Idle:
    case PipeState::Disconnected:
      return Fail(kErrorPipeNotConnected);
    case PipeState::Listening:
      RemoveListener(name, in);
      in->state = PipeState::Disconnected;
      CompletePending(*in, kErrorPipeNotConnected, 0);
      return true;
    case PipeState::Connected:
      in->state = PipeState::Disconnected;
      if (in->op != PendingOp::None) CompletePending(*in, kErrorPipeNotConnected, 0);
      DropClient(*in, lock);
      return true;
  }
  return true;
}

bool ReadPipe(PipeHandle pipe, void* buffer, uint32_t size, PipeOverlapped* overlapped) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  if (overlapped == nullptr || (buffer == nullptr && size > 0)) return Fail(kErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(in->mutex);
  if (const uint32_t error = NotConnectedError(*in)) return Fail(error);
  if (in->op != PendingOp::None) return Fail(kErrorInvalidParameter);  // one read at a time
  in->readBuffer = static_cast<char*>(buffer);
  in->readSize = size;
  in->readFilled = 0;
  in->pieceKnown = false;
  uint32_t error = 0;
  uint32_t bytes = 0;
  if (ProgressRead(*in, &error, &bytes)) {
    in->readBuffer = nullptr;
    if (error == kErrorBrokenPipe) return Fail(error);  // fails at once: no completion
    Finish(*in, overlapped, error, bytes, true);
    if (error == kErrorSuccess) {
      SetLastErrorCode(kErrorSuccess);
      return true;
    }
    return Fail(error);
  }
  StartPending(*in, PendingOp::Read, overlapped);
  return Fail(kErrorIoPending);
}

bool GetPipeOverlappedResult(PipeHandle pipe, PipeOverlapped* overlapped, uint32_t* transferred, bool wait) {
  if (transferred != nullptr) *transferred = 0;
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  if (overlapped == nullptr) return Fail(kErrorInvalidParameter);
  // Whatever the socket already holds counts, whether or not anyone waits on
  // the event.
  in->Progress();
  std::unique_lock<std::mutex> lock(in->mutex);
  if (overlapped->internal[kOvState] == kOvPending && !wait) return Fail(kErrorIoIncomplete);
  // A close on another thread ends the wait; the instance must outlive it.
  const std::shared_ptr<Instance> keep = in->self;
  while (overlapped->internal[kOvState] == kOvPending) {
    int fd = -1;
    short events = 0;
    const bool pinned = in->PinLocked(&fd, &events);
    lock.unlock();
    if (pinned) {
      pollfd p{fd, events, 0};
      poll(&p, 1, kResultPollMs);
      in->Unpin();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    in->Progress();
    lock.lock();
  }
  if (overlapped->internal[kOvState] == kOvIdle) {
    SetLastErrorCode(kErrorSuccess);
    return true;
  }
  const auto error = static_cast<uint32_t>(overlapped->internal[kOvError]);
  if (transferred != nullptr) *transferred = static_cast<uint32_t>(overlapped->internal[kOvBytes]);
  if (error != kErrorSuccess) return Fail(error);
  SetLastErrorCode(kErrorSuccess);
  return true;
}

bool WritePipe(PipeHandle pipe, const void* data, uint32_t size, uint32_t* written) {
  return WritePipe(pipe, data, size, written, kInfinite);
}

bool WritePipe(PipeHandle pipe, const void* data, uint32_t size, uint32_t* written, uint32_t timeoutMs) {
  if (written != nullptr) *written = 0;
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  if (data == nullptr && size > 0) return Fail(kErrorInvalidParameter);
  // The time counts from the call, so that a wait behind another write on
  // this instance uses up part of it: what matters to the caller is how long
  // it is held.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::lock_guard<std::mutex> writeLock(in->writeMutex);
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(in->mutex);
    if (const uint32_t error = NotConnectedError(*in)) return Fail(error);
    if (in->writeBroken) return Fail(kErrorNoData);
    fd = in->fd;
    ++in->writers;
  }
  // The descriptor is non-blocking, so the wait for room is a poll that ends
  // at the deadline by itself; a disconnect meanwhile wakes it with a hang-up.
  size_t sent = 0;
  const int error = SendMessage(fd, data, size, timeoutMs == kInfinite ? nullptr : &deadline, &sent);
  {
    std::lock_guard<std::mutex> lock(in->mutex);
    // Still this client's connection: DropClient waits for the writers to leave
    // before it lets the descriptor go.
    if (error == ETIMEDOUT && sent > 0) in->writeBroken = true;
    if (--in->writers == 0) in->changed.notify_all();
  }
  if (error == ETIMEDOUT) return Fail(kErrorSemTimeout);
  if (error != 0) return Fail(kErrorNoData);  // the client has gone or is being dropped
  if (written != nullptr) *written = size;
  SetLastErrorCode(kErrorSuccess);
  return true;
}

uint64_t PipePartialMessageBytes(PipeHandle pipe) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return 0;
  in->Progress();  // what has arrived is progress, even if no one waited for it
  std::lock_guard<std::mutex> lock(in->mutex);
  if (in->state != PipeState::Connected) return 0;
  // Bytes buffered but not delivered are a message's beginning: a whole one
  // would already have completed the read that waits.
  uint64_t held = in->tail - in->head;
  if (in->inMessage) held += kHeaderBytes;
  if (in->op == PendingOp::Read) held += in->readFilled;
  return held;
}

uint64_t PipeMessageBytesLeft(PipeHandle pipe) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return 0;
  std::lock_guard<std::mutex> lock(in->mutex);
  if (in->state != PipeState::Connected || !in->inMessage || in->op == PendingOp::Read) return 0;
  return in->messageLeft;
}

bool ClosePipe(PipeHandle pipe) {
  if (ToClient(pipe) != nullptr) {
    ClosePipeClient(pipe);
    return true;
  }
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  std::shared_ptr<PipeName> name = in->name;
  std::shared_ptr<Instance> released;  // `in` may be freed once this goes
  {
    std::lock_guard<std::mutex> nameLock(name->mutex);
    std::unique_lock<std::mutex> lock(in->mutex);
    if (in->state == PipeState::Listening) RemoveListener(*name, in);
    in->state = PipeState::Closed;
    in->magic = 0;
    // A pending connect or read ends now, and its event is set before we
    // return; after that nothing here touches the event or the record again.
    // Setting the event also wakes the waiters that poll for it.
    if (in->op != PendingOp::None) CompletePending(*in, kErrorOperationAborted, 0);
    DropClient(*in, lock);
    // A waiter may still poll the listening socket, which goes with the
    // name's last instance.
    WaitForPins(*in, lock);
    released = std::move(in->self);
  }
  ReleaseName(name);
  event_detail::RemoveWakeUser();
  return true;
}

// ---- client side ----

PipeHandle OpenPipeClient(const std::string& name, uint32_t timeoutMs) {
  PipeLocation where;
  uint32_t locateError = 0;
  if (!pipe_detail::LocatePipe(name, false, &where, &locateError)) return FailHandle(locateError);
  const sockaddr_un& address = where.address;
  const socklen_t length = where.length;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetPipeFailureDetail("cannot make a socket: " + Reason(errno));
    return FailHandle(kErrorNotEnoughMemory);
  }

  // A full backlog is the only "busy" a Unix socket shows; wait for room up
  // to the time-out. Otherwise the wait for a free instance happens in the
  // backlog, at the first read or write.
  const uint32_t waitMs = timeoutMs == 0 ? kDefaultClientWaitMs : timeoutMs;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  if (timeoutMs != kInfinite) {
    // A blocking connect to a full backlog waits at most this long.
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(waitMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((waitMs % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) break;
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN && (timeoutMs == kInfinite || std::chrono::steady_clock::now() < deadline)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    close(fd);
    if (error == ECONNREFUSED) {
      SetPipeFailureDetail(Reason(error) + ": the socket (of " + FileOwner(where.path) +
                           ") was left by a process that has ended");
    } else {
      SetPipeFailureDetail(Reason(error));
    }
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) return FailHandle(kErrorFileNotFound);
    if (error == EACCES || error == EPERM) return FailHandle(kErrorAccessDenied);
    if (error == EAGAIN) return FailHandle(kErrorSemTimeout);
    return FailHandle(kErrorPipeBusy);
  }
  // Nothing is sent to a server of another user: it could be anyone's
  // stand-in, waiting for what applications write to the plug-in.
  ucred server{};
  const bool known = PeerUser(fd, &server);
  if (!known || !pipe_detail::TrustedPeer(server.uid)) {
    close(fd);
    SetPipeFailureDetail(known ? "it is served by process " + std::to_string(server.pid) + " of " +
                                     DescribeUser(server.uid) + ", not by this user, " + DescribeUser(geteuid())
                               : "the system cannot say who serves it");
    return FailHandle(kErrorAccessDenied);
  }
  timeval noTimeout{};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &noTimeout, sizeof noTimeout);
  RaiseSendBuffer(fd);
  auto* client = new Client();
  client->magic = kClientMagic;
  client->fd = fd;
  client->buffer.resize(kClientReadBuffer);
  SetLastErrorCode(kErrorSuccess);
  return static_cast<HandleHeader*>(client);
}

bool WritePipeMessage(PipeHandle pipe, const void* data, size_t size) {
  Client* c = ToClient(pipe);
  if (c == nullptr) return Fail(kErrorInvalidHandle);
  if (size > UINT32_MAX || (data == nullptr && size > 0)) return Fail(kErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(c->writeMutex);
  if (SendMessage(c->fd, data, static_cast<uint32_t>(size)) != 0) return Fail(kErrorNoData);
  SetLastErrorCode(kErrorSuccess);
  return true;
}

bool ReadPipeMessage(PipeHandle pipe, std::string* message) {
  Client* c = ToClient(pipe);
  if (c == nullptr) return Fail(kErrorInvalidHandle);
  if (message == nullptr) return Fail(kErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(c->readMutex);
  message->clear();
  if (c->shutDown.load()) return Fail(kErrorBrokenPipe);
  char header[kHeaderBytes];
  if (!ReadExact(*c, header, kHeaderBytes)) return Fail(kErrorBrokenPipe);
  const uint32_t length = DecodeLength(header);
  if (length > kMaxClientMessageSize) {
    // No plug-in sends this much in one message; a server that claims to is
    // broken or hostile. The rest of the stream cannot be framed any more.
    c->shutDown.store(true);
    shutdown(c->fd, SHUT_RDWR);
    SetPipeFailureDetail("the server announced a message of " + std::to_string(length) +
                         " bytes, more than the limit of " + std::to_string(kMaxClientMessageSize));
    return Fail(kErrorInvalidData);
  }
  message->resize(length);
  if (!message->empty() && !ReadExact(*c, &(*message)[0], message->size())) {
    message->clear();
    return Fail(kErrorBrokenPipe);
  }
  SetLastErrorCode(kErrorSuccess);
  return true;
}

void ShutdownPipeClient(PipeHandle pipe) {
  Client* c = ToClient(pipe);
  if (c == nullptr) return;
  c->shutDown.store(true);
  shutdown(c->fd, SHUT_RDWR);
}

void ClosePipeClient(PipeHandle pipe) {
  Client* c = ToClient(pipe);
  if (c == nullptr) return;
  c->magic = 0;
  close(c->fd);
  delete c;
}

}  // namespace platform
