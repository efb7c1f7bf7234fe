// The wire of the POSIX named pipe stand-in, for the benchmarks that stand in
// for the product on the same transports: a Unix stream socket carrying each
// message as a 4-byte little-endian length and the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvxbench {

bool ReadAll(int fd, void* data, size_t size);
bool WriteAll(int fd, const void* data, size_t size);

// One length-prefixed message, header and bytes in one call as the stand-in
// writes them.
bool WriteMessage(int fd, const char* data, uint32_t size);

// Gives the socket the send buffer the stand-in asks for at both ends (its
// 64 MiB quota, or the largest the system allows), so a writer runs as far
// ahead of its reader as it does through the product.
void WidenSendBuffer(int fd);

// Reads messages out of large reads, as the stand-in's reader does, so a
// message costs less than a system call.
class BufferedReader {
 public:
  explicit BufferedReader(int socket) : fd_(socket), data_(1 << 20) {}
  // Points *message at the next message's bytes, valid until the next call.
  // False at the end of the stream or on an error.
  bool Next(const char** message, uint32_t* size);

 private:
  bool Fill(size_t need);

  int fd_;
  std::vector<char> data_;
  size_t begin_ = 0, end_ = 0;
};

}  // namespace kvxbench
