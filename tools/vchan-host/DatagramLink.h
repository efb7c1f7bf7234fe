// The datagram kinds of link: a pair of Unix datagram sockets in one folder
// (POSIX), where a send blocks while the other end's queue is full, so
// nothing is lost; or a pair of UDP ports (both builds), which gives no
// back-pressure: a receiver that falls behind loses datagrams.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/vchan-host/HostLink.h"
#include "tools/vchan-host/HostOptions.h"

namespace vchan_host {

class DatagramLink : public HostLink {
 public:
  // Binds this end's address. The peer need not be up yet.
  static std::unique_ptr<DatagramLink> Open(const HostOptions& options, std::string* error);
  ~DatagramLink() override;
  DatagramLink(const DatagramLink&) = delete;
  DatagramLink& operator=(const DatagramLink&) = delete;

  using HostLink::Send;
  SendResult Send(const void* head, size_t headSize, const void* body, size_t bodySize,
                  bool wait) override;
  // Datagrams are received straight into the string, not copied again.
  ReceiveResult ReceiveInto(std::string* datagram, size_t* length, uint32_t timeoutMs) override;
#ifndef _WIN32
  // What has queued up comes in one recvmmsg.
  ReceiveResult ReceiveSome(std::string* datagrams, size_t* lengths, size_t count,
                            uint32_t timeoutMs, size_t* received) override;
#endif

  // This end's socket file goes (Unix link); the socket itself stays open
  // (and is closed with the object) for threads that may still be in a call.
  void Stop() override;

  // Unix sockets: yes; UDP: only when the loopback reports an unreachable
  // port, which is not guaranteed.
  bool DetectsAbsentPeer() const override { return !udp_; }

 private:
  DatagramLink() = default;

  // Receives go into the caller's string first and into this thread's spill
  // buffer for what does not fit; the spill is then appended to the string.
  static char* SpillBuffer(size_t index = 0) {
    static thread_local std::vector<std::vector<char>> spills;
    if (spills.size() <= index) spills.resize(index + 1);
    if (spills[index].empty()) spills[index].resize(kMaxDatagram + 1);
    return spills[index].data();
  }
  static size_t SpillSize() { return kMaxDatagram + 1; }
  static void KeepSpill(std::string* datagram, size_t room, size_t got, size_t index = 0) {
    if (got > room) datagram->append(SpillBuffer(index), got - room);
  }

  // A file descriptor, or a Winsock SOCKET in the Windows build.
  intptr_t socket_ = -1;
  // Unix link: the sends go through a socket of their own, connected to the
  // peer's path, so the path is looked up once rather than per datagram
  // (`socket_` stays unconnected: a restarted peer must reach it). -1 until
  // the peer is first found. A socket is never connected while another thread
  // may send on it: each look-up connects a fresh one and then publishes it;
  // the sockets it replaces may still be in a send, so they are closed with
  // the link (one per time the peer came back).
  bool ConnectAfresh(int* connected);
  std::atomic<int> sendSocket_{-1};
  std::mutex replacedLock_;
  std::vector<int> replacedSendSockets_;
  bool udp_ = false;
  std::string ownPath_;
  // sockaddr storage for the peer, kept opaque here.
  std::string peerAddress_;
  std::atomic<bool> stopped_{false};
};

}  // namespace vchan_host
