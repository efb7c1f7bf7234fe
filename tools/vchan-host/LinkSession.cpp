#include "tools/vchan-host/LinkSession.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include <random>

#include "tools/vchan-host/HostLog.h"
#include "tools/vchan-host/LinkFrames.h"

namespace vchan_host {
namespace {

constexpr uint32_t kReceiveSliceMs = 200;
constexpr int64_t kPingIntervalMs = 500;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint64_t MakeNonce() {
  std::random_device random;
  uint64_t nonce = (static_cast<uint64_t>(random()) << 32) ^ random();
  nonce ^= static_cast<uint64_t>(NowMs()) ^ (static_cast<uint64_t>(getpid()) << 16);
  return nonce != 0 ? nonce : 1;
}

}  // namespace

LinkSession::LinkSession(const HostOptions& options, HostLink& link)
    : options_(options), link_(link), nonce_(MakeNonce()) {
  if (!options.shape.Active()) return;
  emulator_ = std::make_unique<LinkEmulator>(options.shape, [this](const std::string& frame) {
    // Not for a peer that has gone, nor for the next one.
    if (!up_.load() || peerGone_.load()) return HostLink::SendResult::kPeerAbsent;
    const HostLink::SendResult result = link_.Send(frame.data(), frame.size(), true);
    if (result == HostLink::SendResult::kPeerAbsent && up_.load()) {
      MarkGone("the other end's socket is gone");
    }
    return result;
  });
}

LinkSession::~LinkSession() {
  BeginStop();
  Join();
}

void LinkSession::Start(HostChannel* channel) {
  channel_ = channel;
  lastHeardMs_.store(NowMs());
  reader_ = std::thread([this] { ReadLoop(); });
}

std::string LinkSession::GoneReason() const {
  std::lock_guard<std::mutex> lock(reasonLock_);
  return goneReason_;
}

void LinkSession::MarkGone(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(reasonLock_);
    if (!goneReason_.empty()) return;
    goneReason_ = reason;
  }
  peerGone_.store(true);
}

HostLink::SendResult LinkSession::SendQuick(const std::string& frame) {
  return link_.Send(frame.data(), frame.size(), false);
}

bool LinkSession::SendWaiting(const std::string& frame) {
  return SendWithin(frame, PCOIP_VCHAN_SEND_WAIT_FOREVER) == HostChannel::FrameSendResult::kSent;
}

HostChannel::FrameSendResult LinkSession::SendPieces(const void* head, size_t headSize,
                                                     const void* body, size_t bodySize,
                                                     uint32_t timeoutMs) {
  using Result = HostChannel::FrameSendResult;
  if (emulator_) {
    if (peerGone_.load()) return Result::kLinkDown;
    switch (emulator_->Send(head, headSize, body, bodySize, timeoutMs)) {
      case LinkEmulator::Result::kSent: return Result::kSent;
      case LinkEmulator::Result::kTimedOut: return Result::kTimedOut;
      case LinkEmulator::Result::kStopped: return Result::kLinkDown;
    }
  }
  const bool forever = timeoutMs == PCOIP_VCHAN_SEND_WAIT_FOREVER;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (peerGone_.load()) return Result::kLinkDown;
    switch (link_.Send(head, headSize, body, bodySize, forever)) {
      case HostLink::SendResult::kSent:
        return Result::kSent;
      case HostLink::SendResult::kBusy:
        break;
      case HostLink::SendResult::kPeerAbsent:
        if (up_.load()) MarkGone("the other end's socket is gone");
        return Result::kLinkDown;
      default:
        return Result::kLinkDown;
    }
    // The peer's queue is full: look again shortly, until the time is up.
    if (std::chrono::steady_clock::now() >= deadline) return Result::kTimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void LinkSession::BecomeUp() {
  if (up_.exchange(true)) return;
  HostLog(1, "the other end is here");
  channel_->OfferChannel();
}

void LinkSession::Tick() {
  if (stopping_.load() || peerGone_.load()) return;
  const int64_t now = NowMs();
  if (!up_.load()) {
    // Greet until the peer answers; it may not be there yet.
    SendQuick(MakeFrameOf(FrameType::kHello, nonce_));
    return;
  }
  if (now - lastPingMs_ >= kPingIntervalMs) {
    lastPingMs_ = now;
    if (SendQuick(MakeFrame(FrameType::kPing)) == HostLink::SendResult::kPeerAbsent) {
      MarkGone("the other end's socket is gone");
      return;
    }
  }
  // UDP cannot tell that nobody listens any more, nor TCP that a machine
  // vanished; long silence must do. A reader held up by a full queue hears
  // nothing, which proves nothing.
  if (!link_.DetectsAbsentPeer() && !readerBlocked_.load() &&
      now - lastHeardMs_.load() > static_cast<int64_t>(options_.peerTimeoutMs)) {
    MarkGone("nothing heard from the other end for " + std::to_string(options_.peerTimeoutMs) +
             " ms");
  }
}

void LinkSession::ReadLoop() {
  // The frames being received. A data frame's string goes into the channel's
  // queue as it is, and the channel hands back the string of one the plug-in
  // has read: no datagram is copied between the socket and the plug-in's read.
  // Frames that have queued up come in together, in one system call where
  // the link can.
  constexpr size_t kFramesPerReceive = 16;
  std::string frames[kFramesPerReceive];
  size_t lengths[kFramesPerReceive] = {};
  while (!stopping_.load()) {
    if (forgetting_.load()) ForgetPeer();
    size_t received = 0;
    HostLink::ReceiveResult result =
        link_.ReceiveSome(frames, lengths, kFramesPerReceive, kReceiveSliceMs, &received);
    if (result == HostLink::ReceiveResult::kTimeout) continue;
    if (result == HostLink::ReceiveResult::kFailed) {
      if (stopping_.load()) return;
      MarkGone("the link failed");
      if (options_.endWithPeer) return;
      // Until the main loop has closed the channel and asked for the peer to
      // be forgotten, the link has nothing more to give.
      std::this_thread::sleep_for(std::chrono::milliseconds(kReceiveSliceMs / 4));
      continue;
    }
    lastHeardMs_.store(NowMs());
    for (size_t i = 0; i < received && !stopping_.load(); ++i) {
      if (lengths[i] > 0) HandleFrame(&frames[i], lengths[i]);
    }
  }
}

void LinkSession::HandleFrame(std::string* frame, size_t length) {
  if (static_cast<FrameType>((*frame)[0]) != FrameType::kData) {
    HandleControlFrame(frame->substr(0, length));
    return;
  }
  if (!up_.load()) return;
  readerBlocked_.store(true);
  channel_->OnDataFrame(frame, length);
  readerBlocked_.store(false);
}

void LinkSession::HandleControlFrame(const std::string& frame) {
  switch (static_cast<FrameType>(frame[0])) {
    case FrameType::kHello:
    case FrameType::kHelloAck: {
      uint64_t peerNonce = 0;
      if (!FrameValue(frame, &peerNonce)) return;
      if (peerNonce_ == 0) peerNonce_ = peerNonce;
      if (peerNonce != peerNonce_) {
        // Another run of the other end: the one we had is gone.
        MarkGone("the other end was restarted");
        return;
      }
      if (static_cast<FrameType>(frame[0]) == FrameType::kHello) {
        SendQuick(MakeFrameOf(FrameType::kHelloAck, nonce_));
      }
      BecomeUp();
      return;
    }
    case FrameType::kData:  // HandleFrame's
      return;
    case FrameType::kOpened: {
      uint32_t packetSize = 0;
      if (FrameValue(frame, &packetSize)) channel_->OnPeerOpened(packetSize);
      return;
    }
    case FrameType::kClose:
      HostLog(1, "the other end closes the channel");
      channel_->Close();
      return;
    case FrameType::kReopen:
      HostLog(1, "the other end offers the channel again");
      channel_->OfferChannel();
      return;
    case FrameType::kPing:
      return;
    case FrameType::kBye:
      MarkGone("the other end left");
      return;
  }
}

void LinkSession::AwaitNewPeer() {
  if (!peerGone_.load() || forgetting_.load()) return;
  HostLog(1, "the other end is gone (" + GoneReason() +
                 "): closing the channel and waiting for the other end to come back");
  // A real host's plug-in sees its channel close when the session drops.
  channel_->Close();
  // Datagrams of the closed channel are not for the next peer.
  if (emulator_) emulator_->Discard();
  forgetting_.store(true);
}

void LinkSession::ForgetPeer() {
  link_.ForgetPeer();
  peerNonce_ = 0;
  up_.store(false);
  lastHeardMs_.store(NowMs());
  {
    std::lock_guard<std::mutex> lock(reasonLock_);
    goneReason_.clear();
  }
  // The main loop greets again from here on.
  peerGone_.store(false);
  forgetting_.store(false);
}

void LinkSession::CloseBoth() {
  HostLog(1, "fault injection: closing the channel at both ends");
  // The peer's close follows ours; datagrams it sent meanwhile arrive at a
  // closed channel here and are lost, as they would be on a real session.
  channel_->Close();
  SendWaiting(MakeFrame(FrameType::kClose));
}

void LinkSession::ReopenBoth() {
  // Without a peer there is nothing to reopen; it is offered when one comes.
  if (!up_.load() || peerGone_.load()) return;
  HostLog(1, "fault injection: offering the channel again at both ends");
  SendWaiting(MakeFrame(FrameType::kReopen));
  channel_->OfferChannel();
}

void LinkSession::BeginStop() {
  if (stopping_.exchange(true)) return;
  // What the emulated link still holds is lost, as on a session that ends.
  if (emulator_) emulator_->Stop();
  if (up_.load() && !peerGone_.load()) SendQuick(MakeFrame(FrameType::kBye));
  link_.Stop();
}

void LinkSession::Join() {
  if (reader_.joinable()) reader_.join();
  if (emulator_) emulator_->Join();
}

}  // namespace vchan_host
