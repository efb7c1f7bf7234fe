#include "bench/common/StreamWire.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

namespace kvxbench {

bool ReadAll(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteMessage(int fd, const char* data, uint32_t size) {
  unsigned char header[4] = {static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
                             static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
  iovec parts[2] = {{header, 4}, {const_cast<char*>(data), size}};
  size_t left = 4 + static_cast<size_t>(size);
  int index = 0;
  while (left > 0) {
    ssize_t n = writev(fd, parts + index, 2 - index);
    if (n <= 0) return false;
    left -= static_cast<size_t>(n);
    size_t done = static_cast<size_t>(n);
    while (index < 2 && done >= parts[index].iov_len) done -= parts[index++].iov_len;
    if (index < 2) {
      parts[index].iov_base = static_cast<char*>(parts[index].iov_base) + done;
      parts[index].iov_len -= done;
    }
  }
  return true;
}

void WidenSendBuffer(int fd) {
  int size = 64 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
}

bool BufferedReader::Fill(size_t need) {
  if (end_ - begin_ >= need) return true;
  if (begin_ > 0) {
    std::memmove(data_.data(), data_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (data_.size() < need) data_.resize(need);
  while (end_ < need) {
    ssize_t n = read(fd_, data_.data() + end_, data_.size() - end_);
    if (n <= 0) return false;
    end_ += static_cast<size_t>(n);
  }
  return true;
}

bool BufferedReader::Next(const char** message, uint32_t* size) {
  if (!Fill(4)) return false;
  const auto* h = reinterpret_cast<const unsigned char*>(data_.data() + begin_);
  *size = h[0] | (h[1] << 8) | (h[2] << 16) | (static_cast<uint32_t>(h[3]) << 24);
  if (!Fill(4 + static_cast<size_t>(*size))) return false;
  *message = data_.data() + begin_ + 4;
  begin_ += 4 + static_cast<size_t>(*size);
  return true;
}

}  // namespace kvxbench
