#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/vchan-host/TcpSocket.h"
#include "tools/vchan-host/UdpAddress.h"

namespace vchan_host {
namespace tcp {
namespace {

// Non-blocking, and each frame leaves at once rather than waiting to be
// merged with the next.
void Prepare(int s) {
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

}  // namespace

Socket Listen(uint16_t port, std::string* error) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return kNoSocket;
  }
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in own{};
  own.sin_family = AF_INET;
  own.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&own), sizeof(own)) != 0 || listen(s, 4) != 0) {
    *error = "cannot listen on TCP port " + std::to_string(port) + ": " + std::strerror(errno);
    close(s);
    return kNoSocket;
  }
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  return s;
}

Socket Accept(Socket listener) {
  const int s = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (s < 0) return kNoSocket;
  Prepare(s);
  return s;
}

Socket Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string* error) {
  sockaddr_in peer{};
  if (!ResolveUdpAddress(host, port, &peer, error)) return kNoSocket;
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return kNoSocket;
  }
  Prepare(s);
  int result = connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof(peer));
  if (result != 0 && errno == EINPROGRESS && Wait(s, true, timeoutMs) == 1) {
    socklen_t size = sizeof(result);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &result, &size) != 0) result = errno;
    errno = result;
  }
  if (result != 0) {
    *error = host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    close(s);
    return kNoSocket;
  }
  return s;
}

int Wait(Socket socket, bool forWrite, uint32_t timeoutMs) {
  pollfd fd{static_cast<int>(socket), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  const int ready = poll(&fd, 1, static_cast<int>(timeoutMs));
  if (ready < 0) return errno == EINTR ? 0 : -1;
  return ready;
}

long SendSome(Socket socket, const Piece* pieces, int count) {
  iovec vectors[4];
  int used = 0;
  for (int i = 0; i < count && used < 4; ++i) {
    if (pieces[i].size == 0) continue;
    vectors[used++] = iovec{const_cast<void*>(pieces[i].data), pieces[i].size};
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = static_cast<size_t>(used);
  const ssize_t sent = sendmsg(static_cast<int>(socket), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent >= 0) return static_cast<long>(sent);
  return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kAgain : kBroken;
}

long ReceiveSome(Socket socket, void* buffer, size_t size) {
  const ssize_t got = recv(static_cast<int>(socket), buffer, size, MSG_DONTWAIT);
  if (got >= 0) return static_cast<long>(got);
  return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kAgain : kBroken;
}

void Shutdown(Socket socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }

void Close(Socket socket) { close(static_cast<int>(socket)); }

}  // namespace tcp
}  // namespace vchan_host
