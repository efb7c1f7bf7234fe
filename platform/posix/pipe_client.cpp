// The client end: a blocking Unix socket that sends and receives whole
// framed messages.
#include "platform/posix/pipe_instance.h"

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
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace pipe_detail {

struct Client : HandleHeader {
  Client(int fd, size_t bufferBytes) : fd(fd), buffer(bufferBytes) {}

  const int fd;
  std::atomic<bool> shutDown{false};
  // A message's bytes go out, and come in, one thread at a time.
  Mutex writeMutex;
  Mutex readMutex;
  // What was received and not yet read.
  std::vector<char> buffer GUARDED_BY(readMutex);
  size_t head GUARDED_BY(readMutex) = 0;
  size_t tail GUARDED_BY(readMutex) = 0;
};

namespace {

constexpr uint32_t kDefaultClientWaitMs = 5000;  // NMPWAIT_USE_DEFAULT_WAIT
// Room for what a writer may put on the socket at once, so that many
// messages take one system call.
constexpr size_t kClientReadBuffer = 256 * 1024;
// What is left of a message from this size on is read straight into it:
// copying it out of the buffer would cost more than the system calls saved.
constexpr size_t kDirectReadBytes = 16 * 1024;

std::string FileOwner(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? DescribeUser(st.st_uid) : std::string("owner unknown");
}

// Fills `size` bytes at `out` from the client's stream, blocking. False at the
// end of the stream or on a failure.
bool ReadExact(Client& c, char* out, size_t size) REQUIRES(c.readMutex) {
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
    const bool direct = size >= kDirectReadBytes;
    char* target = direct ? out : c.buffer.data();
    const size_t want = direct ? size : c.buffer.size();
    const ssize_t n = recv(c.fd, target, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (direct) {
      out += n;
      size -= static_cast<size_t>(n);
    } else {
      c.tail = static_cast<size_t>(n);
    }
  }
  return true;
}

}  // namespace

Client* ToClient(PipeHandle pipe) {
  if (pipe == nullptr || pipe == InvalidPipeHandle()) return nullptr;
  auto* header = static_cast<HandleHeader*>(pipe);
  if (header->magic != kClientMagic) return nullptr;
  return static_cast<Client*>(header);
}

}  // namespace pipe_detail

using namespace pipe_detail;

PipeHandle OpenPipeClient(const std::string& name, uint32_t timeoutMs) {
  return OpenPipeClient(ChoosePipeClientPlace(name), timeoutMs);
}

PipeHandle OpenPipeClient(const PipeClientPlace& place, uint32_t timeoutMs) {
  PipeLocation where;
  where.folder = place.folder;
  where.origin = place.origin;
  uint32_t locateError = 0;
  if (!pipe_detail::LocatePipeInFolder(place.name, &where, &locateError)) return FailHandle(locateError);
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
  auto* client = new Client(fd, kClientReadBuffer);
  client->magic = kClientMagic;
  SetLastErrorCode(kErrorSuccess);
  return static_cast<HandleHeader*>(client);
}

bool WritePipeMessage(PipeHandle pipe, const void* data, size_t size) {
  return WritePipeMessage(pipe, data, size, nullptr, 0);
}

bool WritePipeMessage(PipeHandle pipe, const void* head, size_t headSize, const void* body, size_t bodySize) {
  Client* c = ToClient(pipe);
  if (c == nullptr) return Fail(kErrorInvalidHandle);
  const size_t size = headSize + bodySize;
  if (size < headSize || size > UINT32_MAX || (head == nullptr && headSize > 0) ||
      (body == nullptr && bodySize > 0)) {
    return Fail(kErrorInvalidParameter);
  }
  unsigned char header[kHeaderBytes];
  for (size_t i = 0; i < kHeaderBytes; ++i) header[i] = static_cast<unsigned char>(size >> (8 * i));
  // The frame's length, the head and the body in one system call: the
  // socket blocks until it has taken them all, unless interrupted.
  iovec parts[3] = {{header, kHeaderBytes}, {const_cast<void*>(head), headSize}, {const_cast<void*>(body), bodySize}};
  iovec* next = parts;
  size_t count = 3;
  MutexLock lock(c->writeMutex);
  while (count > 0) {
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = count;
    const ssize_t n = sendmsg(c->fd, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(kErrorNoData);
    size_t sent = static_cast<size_t>(n);
    while (count > 0 && sent >= next->iov_len) {
      sent -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
  SetLastErrorCode(kErrorSuccess);
  return true;
}

bool ReadPipeMessage(PipeHandle pipe, std::string* message) {
  Client* c = ToClient(pipe);
  if (c == nullptr) return Fail(kErrorInvalidHandle);
  if (message == nullptr) return Fail(kErrorInvalidParameter);
  MutexLock lock(c->readMutex);
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
  // What the buffer holds of the message is copied out as it is, without
  // first clearing room for it; the rest is read straight into place.
  const size_t held = std::min<size_t>(c->tail - c->head, length);
  message->assign(c->buffer.data() + c->head, held);
  c->head += held;
  if (held < length) {
    message->resize(length);
    if (!ReadExact(*c, &(*message)[held], length - held)) {
      message->clear();
      return Fail(kErrorBrokenPipe);
    }
  }
  SetLastErrorCode(kErrorSuccess);
  return true;
}

bool PipeClientHoldsMessage(PipeHandle pipe) {
  Client* c = ToClient(pipe);
  if (c == nullptr) return false;
  MutexLock lock(c->readMutex);
  const size_t held = c->tail - c->head;
  return held >= kHeaderBytes && held - kHeaderBytes >= DecodeLength(c->buffer.data() + c->head);
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
