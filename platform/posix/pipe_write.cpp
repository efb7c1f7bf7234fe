// Writes: one framed message at a time on a socket, whole, with or without
// a time limit.
#include "platform/posix/pipe_instance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace platform {
namespace pipe_detail {
namespace {

constexpr int kSendBufferBytes = 64 << 20;       // the pipe's 64 MiB quota

void EncodeLength(uint32_t length, unsigned char out[kHeaderBytes]) {
  out[0] = static_cast<unsigned char>(length);
  out[1] = static_cast<unsigned char>(length >> 8);
  out[2] = static_cast<unsigned char>(length >> 16);
  out[3] = static_cast<unsigned char>(length >> 24);
}

}  // namespace

// Lets a writer put a whole ordinary message in flight while the reader is
// slow. Raising past the system maximum needs privilege; without it the
// largest allowed value is taken quietly.
void RaiseSendBuffer(int fd) {
  int size = kSendBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
}

// Sends one framed message, all of it. Works on blocking and non-blocking
// descriptors (the latter wait for room with poll). Never raises SIGPIPE.
// With a `deadline` (non-blocking descriptors only) the wait for room ends
// there with ETIMEDOUT. Returns 0 or the errno that ended it; *sentOut (when
// given) tells how many bytes, header included, went out.
int SendMessage(int fd, const void* data, uint32_t size, const Clock::time_point* deadline, size_t* sentOut) {
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

}  // namespace pipe_detail

using namespace pipe_detail;

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

}  // namespace platform
