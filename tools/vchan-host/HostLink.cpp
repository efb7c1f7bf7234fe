#include "tools/vchan-host/HostLink.h"

#include "tools/vchan-host/DatagramLink.h"
#include "tools/vchan-host/TcpLink.h"

namespace vchan_host {

std::unique_ptr<HostLink> HostLink::Open(const HostOptions& options, std::string* error) {
  if (options.tcp) return TcpLink::Open(options, error);
  return DatagramLink::Open(options, error);
}

}  // namespace vchan_host
