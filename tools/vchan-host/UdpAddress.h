// Resolves HOST:PORT to an IPv4 address for the UDP and TCP links (both builds).
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#endif

#include <cstdint>
#include <string>

namespace vchan_host {

// HOST is a dotted address or a name; false with a reason when it does not resolve.
bool ResolveUdpAddress(const std::string& host, uint16_t port, sockaddr_in* address,
                       std::string* error);

#if defined(_WIN32)
// Starts Winsock once for the process; false with a reason when it cannot.
bool StartWinsock(std::string* error);
#endif

}  // namespace vchan_host
