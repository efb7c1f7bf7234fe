// Writes: framed messages on a socket, each whole, as many in one system call
// as are at hand, with or without a time limit, or only as far as they go
// without waiting.
#include "platform/posix/pipe_instance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace platform {
namespace pipe_detail {
namespace {

// The kernel doubles what a socket asks for (the other half pays for its own
// bookkeeping of the bytes), so asking for half the pipe's 64 MiB quota makes
// the bytes a socket may hold in flight the quota, not twice it.
constexpr int kSendBufferBytes = (64 << 20) / 2;

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

// Sends framed messages in order, each whole, gathering as many as fit in one
// system call. `firstSent` bytes of the first frame went out in an earlier
// call. Works on blocking and non-blocking descriptors (the latter wait for
// room with poll, or, with `wait` false, stop with EAGAIN). Never raises
// SIGPIPE. With a `deadline` (non-blocking descriptors only) each message must
// go out within `timeout` of the end of the one before it (of the call, for
// the first), as if each were written alone: the wait for room ends with
// ETIMEDOUT. Returns 0 or the errno that ended it; *done tells how many
// messages went out whole and *partSent how many bytes of the next one.
int SendMessages(int fd, const PipeMessageView* messages, size_t count, size_t firstSent, bool wait,
                 const Clock::duration* timeout, size_t* done, size_t* partSent) {
  // A gathered call carries at most this many messages (two pieces each).
  constexpr size_t kMessagesPerCall = 256;
  unsigned char headers[kMessagesPerCall][kHeaderBytes];
  iovec iov[2 * kMessagesPerCall];
  *done = 0;
  size_t sent = firstSent;  // of message *done, header included
  Clock::time_point deadline = timeout != nullptr ? Clock::now() + *timeout : Clock::time_point();
  while (*done < count) {
    // The pieces from where the wire stands, through as many messages as fit.
    int pieces = 0;
    size_t skip = sent;
    for (size_t m = *done; m < count && m - *done < kMessagesPerCall; ++m) {
      unsigned char* header = headers[m - *done];
      EncodeLength(messages[m].size, header);
      const iovec parts[2] = {{header, kHeaderBytes},
                              {const_cast<void*>(messages[m].data), messages[m].size}};
      for (const iovec& part : parts) {
        if (skip >= part.iov_len) {
          skip -= part.iov_len;
          continue;
        }
        iov[pieces].iov_base = static_cast<char*>(part.iov_base) + skip;
        iov[pieces].iov_len = part.iov_len - skip;
        skip = 0;
        ++pieces;
      }
    }
    ssize_t n = 0;
    if (pieces > 0) {
      msghdr msg{};
      msg.msg_iov = iov;
      msg.msg_iovlen = static_cast<size_t>(pieces);
      n = sendmsg(fd, &msg, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    }
    if (n >= 0) {
      // Walk the messages the bytes completed; each completed one starts the
      // next one's time.
      size_t advanced = static_cast<size_t>(n);
      bool completedOne = false;
      for (;;) {
        const size_t frame = kHeaderBytes + static_cast<size_t>(messages[*done].size);
        if (sent + advanced < frame) {
          sent += advanced;
          break;
        }
        advanced -= frame - sent;
        sent = 0;
        ++*done;
        completedOne = true;
        if (*done == count) break;
      }
      if (completedOne && timeout != nullptr) deadline = Clock::now() + *timeout;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *partSent = sent;
      return errno;
    }
    *partSent = sent;
    if (!wait) return EAGAIN;
    int waitMs = -1;
    if (timeout != nullptr) {
      const auto now = Clock::now();
      if (now >= deadline) return ETIMEDOUT;
      // Rounded up: a wait that ended just short of the deadline would only
      // come back for more polls of 0 ms.
      waitMs = static_cast<int>(std::min<int64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now + std::chrono::microseconds(999))
              .count(),
          INT32_MAX));
    }
    pollfd p{fd, POLLOUT, 0};
    const int ready = poll(&p, 1, waitMs);
    if (ready < 0 && errno != EINTR) return errno;
    if (ready <= 0) continue;  // interrupted, or the time is up: looked at above
    if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0) return EPIPE;
  }
  *partSent = 0;
  return 0;
}

int SendMessage(int fd, const void* data, uint32_t size) {
  const PipeMessageView message{data, size};
  size_t done = 0;
  size_t partSent = 0;
  return SendMessages(fd, &message, 1, 0, true, nullptr, &done, &partSent);
}

}  // namespace pipe_detail

using namespace pipe_detail;

bool WritePipe(PipeHandle pipe, const void* data, uint32_t size, uint32_t* written) {
  return WritePipe(pipe, data, size, written, kInfinite);
}

bool WritePipe(PipeHandle pipe, const void* data, uint32_t size, uint32_t* written, uint32_t timeoutMs) {
  if (written != nullptr) *written = 0;
  if (data == nullptr && size > 0) return Fail(kErrorInvalidParameter);
  const PipeMessageView message{data, size};
  size_t done = 0;
  PipeWriteProgress progress;
  if (!WritePipeMessages(pipe, &message, 1, timeoutMs, &done, &progress)) return false;
  if (written != nullptr) *written = size;
  return true;
}

namespace {

// Both gathered writes; `wait` false stops with kErrorIoPending where a
// write would wait for room.
bool WriteMessages(PipeHandle pipe, const PipeMessageView* messages, size_t count, bool wait,
                   uint32_t timeoutMs, size_t* written, PipeWriteProgress* progress) {
  *written = 0;
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  for (size_t m = 0; m < count; ++m) {
    if (messages[m].data == nullptr && messages[m].size > 0) return Fail(kErrorInvalidParameter);
  }
  // The time counts from the call, so that a wait behind another write on
  // this instance uses up part of it: what matters to the caller is how long
  // it is held.
  const Clock::time_point start = Clock::now();
  MutexLock writeLock(in->writeMutex);
  int fd = -1;
  {
    MutexLock lock(in->mutex);
    if (const uint32_t error = NotConnectedError(*in)) return Fail(error);
    if (in->writeBroken) return Fail(kErrorNoData);
    fd = in->fd;
    ++in->writers;
  }
  // The descriptor is non-blocking, so the wait for room is a poll that ends
  // at the deadline by itself; a disconnect meanwhile wakes it with a hang-up.
  const Clock::duration timeout =
      std::chrono::milliseconds(timeoutMs) - (Clock::now() - start);
  size_t partSent = 0;
  const int error = SendMessages(fd, messages, count, progress->sent, wait,
                                 wait && timeoutMs != kInfinite ? &timeout : nullptr, written,
                                 &partSent);
  {
    MutexLock lock(in->mutex);
    // Still this client's connection: DropClient waits for the writers to leave
    // before it lets the descriptor go.
    if (error == ETIMEDOUT && partSent > 0) in->writeBroken = true;
    if (--in->writers == 0) in->changed.NotifyAll();
  }
  progress->sent = error == EAGAIN ? partSent : 0;
  if (error == EAGAIN) return Fail(kErrorIoPending);
  if (error == ETIMEDOUT) return Fail(kErrorSemTimeout);
  if (error != 0) return Fail(kErrorNoData);  // the client has gone or is being dropped
  SetLastErrorCode(kErrorSuccess);
  return true;
}

}  // namespace

bool WritePipeMessages(PipeHandle pipe, const PipeMessageView* messages, size_t count,
                       uint32_t timeoutMs, size_t* written, PipeWriteProgress* progress) {
  return WriteMessages(pipe, messages, count, true, timeoutMs, written, progress);
}

bool TryWritePipeMessages(PipeHandle pipe, const PipeMessageView* messages, size_t count,
                          size_t* written, PipeWriteProgress* progress) {
  return WriteMessages(pipe, messages, count, false, kInfinite, written, progress);
}

}  // namespace platform
