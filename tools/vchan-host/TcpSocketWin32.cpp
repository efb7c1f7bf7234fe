#include <winsock2.h>
#include <ws2tcpip.h>

#include "tools/vchan-host/TcpSocket.h"
#include "tools/vchan-host/UdpAddress.h"

namespace vchan_host {
namespace tcp {
namespace {

SOCKET AsSocket(Socket socket) { return static_cast<SOCKET>(socket); }

// Non-blocking, and each frame leaves at once rather than waiting to be
// merged with the next.
void Prepare(SOCKET s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
}

bool Retry(int code) { return code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAEINPROGRESS; }

}  // namespace

Socket Listen(uint16_t port, std::string* error) {
  if (!StartWinsock(error)) return kNoSocket;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    *error = "socket failed, error " + std::to_string(WSAGetLastError());
    return kNoSocket;
  }
  sockaddr_in own{};
  own.sin_family = AF_INET;
  own.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&own), sizeof(own)) != 0 || listen(s, 4) != 0) {
    *error = "cannot listen on TCP port " + std::to_string(port) + ", error " +
             std::to_string(WSAGetLastError());
    closesocket(s);
    return kNoSocket;
  }
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  return static_cast<Socket>(s);
}

Socket Accept(Socket listener) {
  const SOCKET s = accept(AsSocket(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kNoSocket;
  Prepare(s);
  return static_cast<Socket>(s);
}

Socket Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string* error) {
  if (!StartWinsock(error)) return kNoSocket;
  sockaddr_in peer{};
  if (!ResolveUdpAddress(host, port, &peer, error)) return kNoSocket;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    *error = "socket failed, error " + std::to_string(WSAGetLastError());
    return kNoSocket;
  }
  Prepare(s);
  int code = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) != 0) {
    code = WSAGetLastError();
    if (Retry(code)) {
      // Connected once writable; a refusal shows in the exception set.
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
      const int ready = select(0, nullptr, &writable, &failed, &timeout);
      code = (ready == 1 && FD_ISSET(s, &writable)) ? 0 : (ready == 0 ? WSAETIMEDOUT : WSAECONNREFUSED);
    }
  }
  if (code != 0) {
    *error = host + ":" + std::to_string(port) + ": error " + std::to_string(code);
    closesocket(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

int Wait(Socket socket, bool forWrite, uint32_t timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(AsSocket(socket), &set);
  timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
  const int ready = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &timeout);
  return ready < 0 ? -1 : ready;
}

long SendSome(Socket socket, const Piece* pieces, int count) {
  WSABUF buffers[4];
  DWORD used = 0;
  for (int i = 0; i < count && used < 4; ++i) {
    if (pieces[i].size == 0) continue;
    buffers[used++] = WSABUF{static_cast<ULONG>(pieces[i].size),
                             static_cast<CHAR*>(const_cast<void*>(pieces[i].data))};
  }
  DWORD sent = 0;
  if (WSASend(AsSocket(socket), buffers, used, &sent, 0, nullptr, nullptr) == 0) {
    return static_cast<long>(sent);
  }
  return Retry(WSAGetLastError()) ? kAgain : kBroken;
}

long ReceiveSome(Socket socket, void* buffer, size_t size) {
  const int got = recv(AsSocket(socket), static_cast<char*>(buffer), static_cast<int>(size), 0);
  if (got >= 0) return got;
  return Retry(WSAGetLastError()) ? kAgain : kBroken;
}

void Shutdown(Socket socket) { shutdown(AsSocket(socket), SD_BOTH); }

void Close(Socket socket) { closesocket(AsSocket(socket)); }

}  // namespace tcp
}  // namespace vchan_host
