// The wire between the two ends of a simulated session: whole datagrams, in
// order. By default a pair of Unix datagram sockets in one folder, where a
// send blocks while the other end's queue is full, so nothing is lost; with
// --udp a pair of UDP ports, so the ends can sit in different network
// namespaces or, in the Windows build (UDP only), in different Wine prefixes
// (UDP gives no back-pressure: a receiver that falls behind loses datagrams).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/vchan-host/HostOptions.h"

namespace vchan_host {

class DatagramLink {
 public:
  enum class SendResult { kSent, kBusy, kPeerAbsent, kStopped, kFailed };
  enum class ReceiveResult { kReceived, kTimeout, kFailed };

  // Binds this end's address. The peer need not be up yet.
  static std::unique_ptr<DatagramLink> Open(const HostOptions& options, std::string* error);
  ~DatagramLink();
  DatagramLink(const DatagramLink&) = delete;
  DatagramLink& operator=(const DatagramLink&) = delete;

  // Sends one datagram. `wait`: block while the peer's queue is full (until
  // Stop); otherwise a full queue gives kBusy. kPeerAbsent when no one is
  // bound at the peer's address (not yet there, or gone).
  SendResult Send(const void* data, size_t size, bool wait) {
    return Send(data, size, nullptr, 0, wait);
  }
  // The same for a datagram given in two pieces, which the system gathers, so
  // that a header need not be copied in front of its body.
  SendResult Send(const void* head, size_t headSize, const void* body, size_t bodySize, bool wait);

  // Waits up to `timeoutMs` for one datagram and receives it into the bytes
  // `datagram` already holds: its size is the room offered and it is not
  // shrunk, so a string reused for datagrams of about one size costs neither
  // an allocation nor zeroing, and the datagram is not copied again. A longer
  // datagram makes the string grow to hold it. `length` gets its length.
  ReceiveResult ReceiveInto(std::string* datagram, size_t* length, uint32_t timeoutMs);
  // The same, with the string cut to the datagram.
  ReceiveResult Receive(std::string* datagram, uint32_t timeoutMs) {
    size_t length = 0;
    const ReceiveResult result = ReceiveInto(datagram, &length, timeoutMs);
    if (result == ReceiveResult::kReceived) datagram->resize(length);
    return result;
  }

  // Blocked and later sends return kStopped; this end's socket file goes, so
  // the peer's next send finds nobody. The socket itself stays open (and is
  // closed with the object) for threads that may still be in a call.
  void Stop();

  // Whether kPeerAbsent is reported at all (Unix sockets: yes; UDP: only when
  // the loopback reports an unreachable port, which is not guaranteed).
  bool DetectsAbsentPeer() const { return !udp_; }

  // The largest datagram the link carries.
  static constexpr size_t kMaxDatagram = 65000;

 private:
  DatagramLink() = default;

  // Receives go into the caller's string first and into this thread's spill
  // buffer for what does not fit; the spill is then appended to the string.
  static char* SpillBuffer() {
    static thread_local std::vector<char> spill(kMaxDatagram + 1);
    return spill.data();
  }
  static size_t SpillSize() { return kMaxDatagram + 1; }
  static void KeepSpill(std::string* datagram, size_t room, size_t got) {
    if (got > room) datagram->append(SpillBuffer(), got - room);
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
