#include "tools/vchan-host/UdpAddress.h"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace vchan_host {

#if defined(_WIN32)
bool StartWinsock(std::string* error) {
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) *error = "WSAStartup failed, error " + std::to_string(started);
  return started == 0;
}
#endif

bool ResolveUdpAddress(const std::string& host, uint16_t port, sockaddr_in* address,
                       std::string* error) {
  std::memset(address, 0, sizeof(*address));
  address->sin_family = AF_INET;
  address->sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address->sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    *error = "cannot resolve " + host;
    return false;
  }
  address->sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace vchan_host
