#include "tools/vchan-host/DatagramLink.h"
#include "tools/vchan-host/UdpAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vchan_host {
namespace {

// How often a blocked send looks at the stop flag.
constexpr int kSendSliceMs = 200;

bool UnixAddress(const std::string& path, sockaddr_un* address, std::string* error) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) {
    *error = "socket path too long: " + path;
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}


void SetTimeout(int socket, int option, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  setsockopt(socket, SOL_SOCKET, option, &tv, sizeof(tv));
}

}  // namespace

std::unique_ptr<DatagramLink> DatagramLink::Open(const HostOptions& options, std::string* error) {
  std::unique_ptr<DatagramLink> link(new DatagramLink());
  link->udp_ = options.udp;
  if (options.udp) {
    sockaddr_in own{}, peer{};
    if (!ResolveUdpAddress("0.0.0.0", options.localPort, &own, error) ||
        !ResolveUdpAddress(options.peerHost, options.peerPort, &peer, error)) {
      return nullptr;
    }
    link->socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (link->socket_ < 0 || bind(static_cast<int>(link->socket_), reinterpret_cast<sockaddr*>(&own), sizeof(own)) != 0) {
      *error = "cannot bind UDP port " + std::to_string(options.localPort) + ": " + std::strerror(errno);
      return nullptr;
    }
    // A large receive buffer is all UDP has against bursts.
    int size = 8 << 20;
    setsockopt(link->socket_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(link->socket_, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    link->peerAddress_.assign(reinterpret_cast<const char*>(&peer), sizeof(peer));
  } else {
    const bool server = options.end == End::kServer;
    const std::string own = options.linkDir + (server ? "/server.sock" : "/client.sock");
    const std::string peer = options.linkDir + (server ? "/client.sock" : "/server.sock");
    sockaddr_un ownAddress{}, peerAddress{};
    if (!UnixAddress(own, &ownAddress, error) || !UnixAddress(peer, &peerAddress, error)) {
      return nullptr;
    }
    link->socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (link->socket_ < 0) {
      *error = std::string("socket: ") + std::strerror(errno);
      return nullptr;
    }
    // A file left by an end that died is ours to replace; the folder is this
    // session's own.
    unlink(own.c_str());
    if (bind(link->socket_, reinterpret_cast<sockaddr*>(&ownAddress), sizeof(ownAddress)) != 0) {
      *error = "cannot bind " + own + ": " + std::strerror(errno);
      return nullptr;
    }
    link->ownPath_ = own;
    link->peerAddress_.assign(reinterpret_cast<const char*>(&peerAddress), sizeof(peerAddress));
    int connected = -1;
    link->ConnectAfresh(&connected);  // the peer need not be there yet
  }
  SetTimeout(link->socket_, SO_SNDTIMEO, kSendSliceMs);
  return link;
}

DatagramLink::~DatagramLink() {
  Stop();
  if (sendSocket_.load() >= 0) close(sendSocket_.load());
  for (const int replaced : replacedSendSockets_) close(replaced);
  if (socket_ >= 0) close(socket_);
}

void DatagramLink::Stop() {
  if (stopped_.exchange(true)) return;
  if (ownPath_.empty()) return;
  unlink(ownPath_.c_str());
  // A peer connected to this socket would still reach it without the file;
  // refused reads make its sends fail as if nobody were there.
  shutdown(static_cast<int>(socket_), SHUT_RD);
}

bool DatagramLink::ConnectAfresh(int* connected) {
  const int fresh = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fresh < 0) return false;
  SetTimeout(fresh, SO_SNDTIMEO, kSendSliceMs);
  if (connect(fresh, reinterpret_cast<const sockaddr*>(peerAddress_.data()),
              static_cast<socklen_t>(peerAddress_.size())) != 0) {
    close(fresh);
    return false;
  }
  const int replaced = sendSocket_.exchange(fresh);
  if (replaced >= 0) {
    std::lock_guard<std::mutex> lock(replacedLock_);
    replacedSendSockets_.push_back(replaced);
  }
  *connected = fresh;
  return true;
}

DatagramLink::SendResult DatagramLink::Send(const void* head, size_t headSize, const void* body,
                                            size_t bodySize, bool wait) {
  iovec pieces[2] = {{const_cast<void*>(head), headSize}, {const_cast<void*>(body), bodySize}};
  msghdr message{};
  if (udp_) {
    message.msg_name = const_cast<char*>(peerAddress_.data());
    message.msg_namelen = static_cast<socklen_t>(peerAddress_.size());
  }
  message.msg_iov = pieces;
  message.msg_iovlen = bodySize > 0 ? 2 : 1;
  int s = udp_ ? static_cast<int>(socket_) : sendSocket_.load();
  const size_t size = headSize + bodySize;
  bool lookedUp = false;
  for (;;) {
    if (stopped_.load()) return SendResult::kStopped;
    if (s < 0) {
      // The peer was not there at any earlier look.
      if (lookedUp || !ConnectAfresh(&s)) return SendResult::kPeerAbsent;
      lookedUp = true;
    }
    ssize_t sent = sendmsg(s, &message, (wait ? 0 : MSG_DONTWAIT) | MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(size)) return SendResult::kSent;
    if (sent >= 0) return SendResult::kFailed;  // a datagram goes whole or not at all
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
#if EAGAIN != EWOULDBLOCK
      case EWOULDBLOCK:
#endif
      case ENOBUFS:
        // The peer's queue is full. A waiting send tries again (the socket's
        // send time-out keeps each try short so Stop is seen).
        if (!wait) return SendResult::kBusy;
        if (errno == ENOBUFS) usleep(1000);
        continue;
      case ECONNREFUSED:
      case ENOENT:
      case ENOTCONN:
      case EPIPE:
        // Not connected yet, or the socket it was connected to is gone: look
        // the path up again, once per send, as a send by path would. (The
        // kernel disconnects from a socket that has gone.)
        if (!udp_ && !lookedUp) {
          lookedUp = true;
          if (ConnectAfresh(&s)) continue;
        }
        return SendResult::kPeerAbsent;
      default:
        return SendResult::kFailed;
    }
  }
}

DatagramLink::ReceiveResult DatagramLink::ReceiveInto(std::string* datagram, size_t* length,
                                                      uint32_t timeoutMs) {
  const size_t room = datagram->size();
  iovec pieces[2] = {{&(*datagram)[0], room}, {SpillBuffer(), SpillSize()}};
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = 2;
  // While datagrams stream in, one is usually waiting already: try first and
  // wait only when there is none, which saves a poll per datagram.
  ssize_t got = recvmsg(socket_, &message, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    pollfd fd{static_cast<int>(socket_), POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(timeoutMs));
    if (ready == 0 || (ready < 0 && errno == EINTR)) return ReceiveResult::kTimeout;
    if (ready < 0) return ReceiveResult::kFailed;
    got = recvmsg(socket_, &message, MSG_DONTWAIT);
  }
  if (got < 0) {
    // UDP reports an earlier send's unreachable port here; not a datagram.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) {
      return ReceiveResult::kTimeout;
    }
    return ReceiveResult::kFailed;
  }
  KeepSpill(datagram, room, static_cast<size_t>(got));
  *length = static_cast<size_t>(got);
  return ReceiveResult::kReceived;
}

DatagramLink::ReceiveResult DatagramLink::ReceiveSome(std::string* datagrams, size_t* lengths,
                                                      size_t count, uint32_t timeoutMs,
                                                      size_t* received) {
  *received = 0;
  // As many as a burst of the peer's usually brings; one call takes them all.
  constexpr size_t kBatch = 16;
  count = std::min(count, kBatch);
  if (count == 0) return ReceiveResult::kTimeout;
  mmsghdr messages[kBatch] = {};
  iovec pieces[kBatch][2];
  size_t rooms[kBatch];
  for (size_t i = 0; i < count; ++i) {
    rooms[i] = datagrams[i].size();
    pieces[i][0] = {&datagrams[i][0], rooms[i]};
    pieces[i][1] = {SpillBuffer(i), SpillSize()};
    messages[i].msg_hdr.msg_iov = pieces[i];
    messages[i].msg_hdr.msg_iovlen = 2;
  }
  const unsigned int wanted = static_cast<unsigned int>(count);
  // As ReceiveInto: try first, and wait only when nothing is there.
  int got = recvmmsg(static_cast<int>(socket_), messages, wanted, MSG_DONTWAIT, nullptr);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    pollfd fd{static_cast<int>(socket_), POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(timeoutMs));
    if (ready == 0 || (ready < 0 && errno == EINTR)) return ReceiveResult::kTimeout;
    if (ready < 0) return ReceiveResult::kFailed;
    got = recvmmsg(static_cast<int>(socket_), messages, wanted, MSG_DONTWAIT, nullptr);
  }
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) {
      return ReceiveResult::kTimeout;
    }
    return ReceiveResult::kFailed;
  }
  for (int i = 0; i < got; ++i) {
    const size_t length = messages[i].msg_len;
    KeepSpill(&datagrams[i], rooms[i], length, static_cast<size_t>(i));
    lengths[i] = length;
  }
  *received = static_cast<size_t>(got);
  return got > 0 ? ReceiveResult::kReceived : ReceiveResult::kTimeout;
}

}  // namespace vchan_host
