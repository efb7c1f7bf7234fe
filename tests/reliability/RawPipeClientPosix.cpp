#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/reliability/RawPipeClient.h"

namespace kvxtest {

RawPipeClient::RawPipeClient(const std::string& pipeDir) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = pipeDir + "/KVX_Bridge_Test";
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    handle_ = fd;
  } else if (fd >= 0) {
    close(fd);
  }
}

bool RawPipeClient::WriteRaw(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RawPipeClient::Header(uint32_t length) {
  std::string header(4, '\0');
  for (int i = 0; i < 4; ++i) header[static_cast<size_t>(i)] = static_cast<char>(length >> (8 * i));
  return header;
}

bool RawPipeClient::WriteMessage(const std::string& bytes) {
  return WriteRaw(Header(static_cast<uint32_t>(bytes.size())) + bytes);
}

void RawPipeClient::Close() {
  if (handle_ != kNone) close(static_cast<int>(handle_));
  handle_ = kNone;
}

}  // namespace kvxtest
