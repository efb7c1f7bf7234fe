#include "tools/vchan-host/TcpLink.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace vchan_host {
namespace {

// How long a blocked send waits between looks at the stop flag.
constexpr uint32_t kSendSliceMs = 200;
// Received bytes are taken in pieces of up to this size, many frames at once.
constexpr size_t kBufferSize = 256 * 1024;
constexpr size_t kLengthSize = 4;

void PutLength(uint32_t length, unsigned char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(length >> (8 * i));
}

uint32_t GetLength(const char* in) {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return length;
}

}  // namespace

std::unique_ptr<TcpLink> TcpLink::Open(const HostOptions& options, std::string* error) {
  std::unique_ptr<TcpLink> link(new TcpLink());
  link->buffer_.resize(kBufferSize);
  if (options.peerPort != 0) {
    link->peerHost_ = options.peerHost;
    link->peerPort_ = options.peerPort;
    return link;
  }
  link->listener_ = tcp::Listen(options.localPort, error);
  if (link->listener_ == tcp::kNoSocket) return nullptr;
  return link;
}

TcpLink::~TcpLink() {
  Stop();
  if (stream_.load() != tcp::kNoSocket) tcp::Close(stream_.load());
  if (listener_ != tcp::kNoSocket) tcp::Close(listener_);
}

void TcpLink::Stop() {
  if (stopped_.exchange(true)) return;
  // The peer reads the end of the stream; blocked calls see the flag within
  // a slice.
  const tcp::Socket stream = stream_.load();
  if (stream != tcp::kNoSocket) tcp::Shutdown(stream);
}

void TcpLink::ForgetPeer() {
  // A sender held up on the old connection, whose peer may never read again,
  // fails at once and lets go of the send lock that Forget takes.
  const tcp::Socket stream = stream_.load();
  if (stream != tcp::kNoSocket) tcp::Shutdown(stream);
  Forget();
  heardAnything_ = false;
}

bool TcpLink::Connect(uint32_t timeoutMs) {
  tcp::Socket made = tcp::kNoSocket;
  if (listener_ != tcp::kNoSocket) {
    if (tcp::Wait(listener_, false, timeoutMs) == 1) made = tcp::Accept(listener_);
  } else {
    const auto start = std::chrono::steady_clock::now();
    made = tcp::Connect(peerHost_, peerPort_, timeoutMs, &lastConnectError_);
    if (made == tcp::kNoSocket) {
      // Refused at once while the other end is not up: wait out the slice
      // rather than trying again at full speed.
      std::this_thread::sleep_until(start + std::chrono::milliseconds(timeoutMs));
    }
  }
  if (made == tcp::kNoSocket) return false;
  std::lock_guard<std::mutex> lock(sendLock_);
  stream_.store(made);
  if (stopped_.load()) tcp::Shutdown(made);
  return true;
}

void TcpLink::Forget() {
  std::lock_guard<std::mutex> lock(sendLock_);
  tcp::Close(stream_.exchange(tcp::kNoSocket));
  begin_ = end_ = 0;
}

HostLink::SendResult TcpLink::Send(const void* head, size_t headSize, const void* body,
                                   size_t bodySize, bool wait) {
  const size_t size = headSize + bodySize;
  if (size > kMaxDatagram + 1) return SendResult::kFailed;
  std::unique_lock<std::mutex> lock(sendLock_, std::defer_lock);
  if (wait) {
    lock.lock();
  } else if (!lock.try_lock()) {
    return SendResult::kBusy;  // another frame is on its way, held up
  }
  if (stopped_.load()) return SendResult::kStopped;
  const tcp::Socket s = stream_.load();
  if (s == tcp::kNoSocket) return SendResult::kPeerAbsent;
  // A frame that may not wait starts only when the stream takes bytes; once
  // begun it is finished, or the stream would be out of step.
  if (!wait && tcp::Wait(s, true, 0) != 1) return SendResult::kBusy;
  unsigned char length[kLengthSize];
  PutLength(static_cast<uint32_t>(size), length);
  tcp::Piece pieces[3] = {{length, kLengthSize}, {head, headSize}, {body, bodySize}};
  int first = 0;
  while (first < 3) {
    const long sent = tcp::SendSome(s, pieces + first, 3 - first);
    if (sent == tcp::kBroken) return stopped_.load() ? SendResult::kStopped : SendResult::kPeerAbsent;
    if (sent == tcp::kAgain) {
      if (stopped_.load()) return SendResult::kStopped;
      tcp::Wait(s, true, kSendSliceMs);
      continue;
    }
    for (size_t left = static_cast<size_t>(sent); left > 0;) {
      const size_t taken = left < pieces[first].size ? left : pieces[first].size;
      pieces[first].data = static_cast<const char*>(pieces[first].data) + taken;
      pieces[first].size -= taken;
      left -= taken;
      if (pieces[first].size == 0) ++first;
    }
    while (first < 3 && pieces[first].size == 0) ++first;
  }
  return SendResult::kSent;
}

HostLink::ReceiveResult TcpLink::ReceiveInto(std::string* frame, size_t* length,
                                             uint32_t timeoutMs) {
  if (stopped_.load()) return ReceiveResult::kFailed;
  tcp::Socket s = stream_.load();
  if (s == tcp::kNoSocket) {
    if (!Connect(timeoutMs)) return ReceiveResult::kTimeout;
    s = stream_.load();
  }
  for (;;) {
    const size_t held = end_ - begin_;
    if (held >= kLengthSize) {
      const size_t size = GetLength(&buffer_[begin_]);
      // Not a frame of ours: the stream is not what it should be.
      if (size == 0 || size > kMaxDatagram + 1) return ReceiveResult::kFailed;
      if (held >= kLengthSize + size) {
        if (frame->size() < size) frame->resize(size);
        std::memcpy(&(*frame)[0], &buffer_[begin_ + kLengthSize], size);
        *length = size;
        begin_ += kLengthSize + size;
        heardAnything_ = true;
        return ReceiveResult::kReceived;
      }
    }
    // Room for at least a whole frame behind what is held.
    if (begin_ > 0 && buffer_.size() - begin_ < kLengthSize + kMaxDatagram + 1) {
      std::memmove(&buffer_[0], &buffer_[begin_], held);
      begin_ = 0;
      end_ = held;
    }
    const long got = tcp::ReceiveSome(s, &buffer_[end_], buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<size_t>(got);
      continue;
    }
    if (got == tcp::kAgain) {
      const int ready = tcp::Wait(s, false, timeoutMs);
      if (ready == 0) return ReceiveResult::kTimeout;
      if (ready > 0) continue;
    }
    // The stream ended. One that never carried a frame was not our peer's.
    if (!heardAnything_ && listener_ != tcp::kNoSocket && !stopped_.load()) {
      Forget();
      return ReceiveResult::kTimeout;
    }
    return ReceiveResult::kFailed;
  }
}

}  // namespace vchan_host
