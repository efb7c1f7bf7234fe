// Server reads: the framed stream of a client taken apart into messages, and
// messages into pieces of the caller's size.
//
// Reads complete at once when a whole piece (a message, or as much of one as
// fits the caller's buffer) is buffered or readable without blocking: the
// event is set and ReadPipe returns true (or false with kErrorMoreData).
// Immediate failures (not connected, client gone) return an error and neither
// set the event nor touch the overlapped record, as on Win32.
#include "platform/posix/pipe_instance.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace pipe_detail {
namespace {

constexpr uint32_t kDirectReadThreshold = 64 * 1024;  // larger pieces skip the buffer

// Reads what the socket has into the buffer without blocking: bytes read,
// 0 at end of stream (or a failed socket), -1 when nothing is there yet.
ssize_t FillBuffer(Instance& in) REQUIRES(in.mutex) {
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

}  // namespace

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

}  // namespace pipe_detail

using namespace pipe_detail;

bool ReadPipe(PipeHandle pipe, void* buffer, uint32_t size, PipeOverlapped* overlapped) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  if (overlapped == nullptr || (buffer == nullptr && size > 0)) return Fail(kErrorInvalidParameter);
  MutexLock lock(in->mutex);
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

uint64_t PipePartialMessageBytes(PipeHandle pipe) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return 0;
  in->Progress();  // what has arrived is progress, even if no one waited for it
  MutexLock lock(in->mutex);
  if (in->state != PipeState::Connected) return 0;
  // Bytes buffered but not delivered are a message's beginning: a whole one
  // would already have completed the read that waits.
  uint64_t held = in->tail - in->head;
  if (in->inMessage) held += kHeaderBytes;
  if (in->op == PendingOp::Read) held += in->readFilled;
  return held;
}

bool PipeClientHasLeft(PipeHandle pipe) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return false;
  MutexLock lock(in->mutex);
  if (in->state != PipeState::Connected || in->fd < 0) return false;
  pollfd look{in->fd, POLLRDHUP, 0};
  return poll(&look, 1, 0) == 1 && (look.revents & (POLLRDHUP | POLLHUP)) != 0;
}

uint64_t PipeMessageBytesLeft(PipeHandle pipe) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return 0;
  MutexLock lock(in->mutex);
  if (in->state != PipeState::Connected || !in->inMessage || in->op == PendingOp::Read) return 0;
  return in->messageLeft;
}

}  // namespace platform
