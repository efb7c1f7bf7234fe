// The datagram link in the Windows build: UDP through Winsock (the Windows
// build has no Unix link; TcpLink is its reliable one). Each end runs in a
// Wine prefix (or on a machine) of its own, because both ends serve the same
// pipe name and one pipe namespace can hold only one of them.
#include "tools/vchan-host/DatagramLink.h"
#include "tools/vchan-host/UdpAddress.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace vchan_host {
namespace {

SOCKET AsSocket(intptr_t socket) { return static_cast<SOCKET>(socket); }

}  // namespace

std::unique_ptr<DatagramLink> DatagramLink::Open(const HostOptions& options, std::string* error) {
  if (!options.udp) {
    *error = "the Windows build has no --link DIR: give --tcp PORT, --peer HOST:PORT or --udp PORT --peer HOST:PORT";
    return nullptr;
  }
  if (!StartWinsock(error)) return nullptr;
  std::unique_ptr<DatagramLink> link(new DatagramLink());
  link->udp_ = true;
  sockaddr_in own{}, peer{};
  if (!ResolveUdpAddress("0.0.0.0", options.localPort, &own, error) ||
      !ResolveUdpAddress(options.peerHost, options.peerPort, &peer, error)) {
    return nullptr;
  }
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    *error = "socket failed, error " + std::to_string(WSAGetLastError());
    return nullptr;
  }
  link->socket_ = static_cast<intptr_t>(s);
  if (bind(s, reinterpret_cast<sockaddr*>(&own), sizeof(own)) != 0) {
    *error = "cannot bind UDP port " + std::to_string(options.localPort) + ", error " +
             std::to_string(WSAGetLastError());
    return nullptr;
  }
  // A large receive buffer is all UDP has against bursts.
  int size = 8 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof(size));
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof(size));
  link->peerAddress_.assign(reinterpret_cast<const char*>(&peer), sizeof(peer));
  return link;
}

DatagramLink::~DatagramLink() {
  Stop();
  if (socket_ != -1) closesocket(AsSocket(socket_));
}

void DatagramLink::Stop() { stopped_.store(true); }

DatagramLink::SendResult DatagramLink::Send(const void* head, size_t headSize, const void* body,
                                            size_t bodySize, bool wait) {
  const auto* peer = reinterpret_cast<const sockaddr*>(peerAddress_.data());
  WSABUF pieces[2] = {{static_cast<ULONG>(headSize), static_cast<CHAR*>(const_cast<void*>(head))},
                      {static_cast<ULONG>(bodySize), static_cast<CHAR*>(const_cast<void*>(body))}};
  const size_t size = headSize + bodySize;
  for (;;) {
    if (stopped_.load()) return SendResult::kStopped;
    DWORD sent = 0;
    if (WSASendTo(AsSocket(socket_), pieces, bodySize > 0 ? 2 : 1, &sent, 0, peer,
                  static_cast<int>(peerAddress_.size()), nullptr, nullptr) == 0) {
      // A datagram goes whole or not at all.
      return sent == size ? SendResult::kSent : SendResult::kFailed;
    }
    switch (WSAGetLastError()) {
      case WSAEWOULDBLOCK:
      case WSAENOBUFS:
        // UDP sends do not wait for the peer; a full local buffer is brief.
        if (!wait) return SendResult::kBusy;
        Sleep(1);
        continue;
      case WSAECONNRESET:
      case WSAECONNREFUSED:
        return SendResult::kPeerAbsent;
      default:
        return SendResult::kFailed;
    }
  }
}

DatagramLink::ReceiveResult DatagramLink::ReceiveInto(std::string* datagram, size_t* length,
                                                      uint32_t timeoutMs) {
  const SOCKET s = AsSocket(socket_);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
  int ready = select(0, &readable, nullptr, nullptr, &timeout);
  if (ready == 0) return ReceiveResult::kTimeout;
  if (ready < 0) return ReceiveResult::kFailed;
  const size_t room = datagram->size();
  WSABUF pieces[2] = {{static_cast<ULONG>(room), &(*datagram)[0]},
                      {static_cast<ULONG>(SpillSize()), SpillBuffer()}};
  DWORD got = 0;
  DWORD flags = 0;
  if (WSARecv(s, pieces, 2, &got, &flags, nullptr, nullptr) != 0) {
    // Windows reports an earlier send's unreachable port on the next receive;
    // that is not a datagram, and the peer may simply not be up yet.
    const int code = WSAGetLastError();
    if (code == WSAECONNRESET || code == WSAEWOULDBLOCK || code == WSAEINTR) {
      return ReceiveResult::kTimeout;
    }
    return ReceiveResult::kFailed;
  }
  KeepSpill(datagram, room, got);
  *length = got;
  return ReceiveResult::kReceived;
}

}  // namespace vchan_host
