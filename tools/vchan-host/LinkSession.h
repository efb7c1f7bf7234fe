// One end's side of the session: finds the other end over the link, passes
// its datagrams to the channel and keeps the channel's state in step with it,
// and notices when the other end leaves. Unless told to end with it, this end
// then stays, as a real host does across a session reconnect: the channel
// closes under the plug-in, and the next other end to greet on the same link
// is met as the first one was. With an emulated link (see
// LinkEmulator) the data and channel frames this end sends pass through it;
// greetings, pings and the goodbye go straight, as they only tell whether
// the other end is there.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/vchan-host/HostLink.h"
#include "tools/vchan-host/HostChannel.h"
#include "tools/vchan-host/HostOptions.h"
#include "tools/vchan-host/LinkEmulator.h"
#include "tools/vchan-host/LinkFrames.h"

namespace vchan_host {

class LinkSession {
 public:
  LinkSession(const HostOptions& options, HostLink& link);
  ~LinkSession();
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

  // Starts reading the link. `channel` receives the peer's datagrams and
  // channel frames from then on.
  void Start(HostChannel* channel);

  // Called about every 100 ms by the main loop: greets the peer until it
  // answers, then checks that it is still there.
  void Tick();

  // Frames from this end to the peer. SendWaiting waits while the peer's
  // queue is full; false once the peer is gone or the session stopped.
  bool SendWaiting(const std::string& frame);
  // The same, giving up after `timeoutMs` (PCOIP_VCHAN_SEND_WAIT_FOREVER:
  // never) while the peer's queue stays full; a frame that timed out was not
  // sent.
  HostChannel::FrameSendResult SendWithin(const std::string& frame, uint32_t timeoutMs) {
    return SendPieces(frame.data(), frame.size(), nullptr, 0, timeoutMs);
  }
  // The same for a frame of `type` with `body`, sent without copying the body.
  HostChannel::FrameSendResult SendWithin(FrameType type, const void* body, size_t size,
                                          uint32_t timeoutMs) {
    const auto head = static_cast<uint8_t>(type);
    return SendPieces(&head, 1, body, size, timeoutMs);
  }

  bool IsUp() const { return up_.load(); }
  // The emulated link's queue at its fullest so far, in bytes (0 without one).
  size_t PeakEmulatedQueueBytes() const { return emulator_ ? emulator_->PeakQueuedBytes() : 0; }
  // Set once the peer has left (or was never reachable after being up),
  // until AwaitNewPeer has forgotten it.
  bool PeerGone() const { return peerGone_.load(); }
  std::string GoneReason() const;

  // Called by the main loop once the peer has gone, when this end stays:
  // closes the channel (events 2 and 3), drops what the emulated link held
  // for the peer, and has the reader forget the peer, after which this end
  // greets again and the next peer is met as the first one was. Calls while
  // that is under way do nothing.
  void AwaitNewPeer();

  // Closes the channel at both ends; ReopenBoth offers it again at both.
  void CloseBoth();
  void ReopenBoth();

  // Tells the peer we leave and releases blocked sends; Join then waits for
  // the reader (after the channel's Shutdown has released it) and the
  // emulated link's thread.
  void BeginStop();
  void Join();

 private:
  HostChannel::FrameSendResult SendPieces(const void* head, size_t headSize, const void* body,
                                          size_t bodySize, uint32_t timeoutMs);
  void ReadLoop();
  // What AwaitNewPeer's reader does.
  void ForgetPeer();
  void HandleFrame(std::string* frame, size_t length);
  void HandleControlFrame(const std::string& frame);
  void MarkGone(const std::string& reason);
  HostLink::SendResult SendQuick(const std::string& frame);
  void BecomeUp();

  const HostOptions& options_;
  HostLink& link_;
  std::unique_ptr<LinkEmulator> emulator_;  // with an emulated link only
  HostChannel* channel_ = nullptr;
  const uint64_t nonce_;
  uint64_t peerNonce_ = 0;  // reader thread only

  std::atomic<bool> up_{false};
  std::atomic<bool> peerGone_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> readerBlocked_{false};
  // AwaitNewPeer has closed the channel; the reader is to forget the peer.
  std::atomic<bool> forgetting_{false};
  std::atomic<int64_t> lastHeardMs_{0};
  int64_t lastPingMs_ = 0;  // main loop only
  mutable std::mutex reasonLock_;
  std::string goneReason_;
  std::thread reader_;
};

}  // namespace vchan_host
