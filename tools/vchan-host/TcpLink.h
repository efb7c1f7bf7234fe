// The TCP link: one connection between the two ends, which one end waits for
// (--tcp PORT) and the other makes (--peer HOST:PORT), tried again until the
// listening end is there; when the other end has gone, the same for the next
// one (ForgetPeer). Each frame goes as a 4-byte little-endian length
// and its bytes. The kernel's flow control pushes back: a send waits while
// the peer has not taken what came before.
//
// Threads: one receiving thread (which also makes or takes the connection),
// any number of sending ones (a frame goes whole under the send lock).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "tools/vchan-host/HostLink.h"
#include "tools/vchan-host/TcpSocket.h"

namespace vchan_host {

class TcpLink : public HostLink {
 public:
  // Listens at once (so a port in use is reported now); connecting waits for
  // the first receive.
  static std::unique_ptr<TcpLink> Open(const HostOptions& options, std::string* error);
  ~TcpLink() override;
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  using HostLink::Send;
  SendResult Send(const void* head, size_t headSize, const void* body, size_t bodySize,
                  bool wait) override;
  ReceiveResult ReceiveInto(std::string* frame, size_t* length, uint32_t timeoutMs) override;
  void Stop() override;
  void ForgetPeer() override;
  // A closed connection is seen at once, but a machine that vanishes sends
  // nothing at all: long silence counts too.
  bool DetectsAbsentPeer() const override { return false; }

 private:
  TcpLink() = default;
  // Takes or makes the connection within about `timeoutMs`; false while none.
  bool Connect(uint32_t timeoutMs);
  // Drops a connection that ended before its first frame (someone else's),
  // so the listening end waits for the real peer again.
  void Forget();

  std::string peerHost_;
  uint16_t peerPort_ = 0;
  tcp::Socket listener_ = tcp::kNoSocket;
  std::atomic<tcp::Socket> stream_{tcp::kNoSocket};
  std::atomic<bool> stopped_{false};
  std::mutex sendLock_;
  std::string lastConnectError_;  // receiving thread only
  // Received bytes not yet handed out (receiving thread only).
  std::vector<char> buffer_;
  size_t begin_ = 0, end_ = 0;
  bool heardAnything_ = false;
};

}  // namespace vchan_host
