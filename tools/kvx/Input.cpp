#include "tools/kvx/Input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <utility>
#include <sys/stat.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kvx {

void UseBinaryStandardStreams() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

FileSource::FileSource(std::string path, size_t messageSize)
    : path_(std::move(path)), shown_(path_ == "-" ? "standard input" : path_), messageSize_(messageSize) {}

FileSource::~FileSource() {
  if (file_ != nullptr && file_ != stdin) std::fclose(file_);
}

bool FileSource::Open(std::string* error) {
  if (path_ == "-") {
    UseBinaryStandardStreams();
    file_ = stdin;
  } else {
    file_ = std::fopen(path_.c_str(), "rb");
  }
  if (file_ == nullptr) {
    *error = "cannot open " + shown_ + ": " + std::strerror(errno);
    return false;
  }
  // A folder opens on some systems and fails only at the first read; that
  // would come after the wait for a peer.
  struct stat info {};
  if (fstat(fileno(file_), &info) == 0 && S_ISDIR(info.st_mode)) {
    *error = "cannot read " + shown_ + ": " + std::strerror(EISDIR);
    return false;
  }
  return true;
}

InputSource::Read FileSource::Next(std::string* piece, std::string* error) {
  piece->clear();
  char buffer[65536];
  while (piece->size() < messageSize_) {
    const size_t want = std::min(sizeof buffer, messageSize_ - piece->size());
    errno = 0;
    const size_t n = std::fread(buffer, 1, want, file_);
    piece->append(buffer, n);
    if (n == want) continue;
    if (std::ferror(file_)) {
      *error = "cannot read " + shown_ + ": " + std::strerror(errno != 0 ? errno : EIO);
      return Read::Failed;
    }
    break;  // the end of input
  }
  // An empty file is still one (empty) message.
  const bool first = first_;
  first_ = false;
  return piece->empty() && !first ? Read::End : Read::Piece;
}

long ReadAvailableInput(char* buffer, size_t size) {
  // The unbuffered read returns as soon as a pipe or terminal has bytes,
  // where fread would wait to fill the whole buffer.
#ifdef _WIN32
  const unsigned chunk = size > 0x7FFFFFFF ? 0x7FFFFFFFu : static_cast<unsigned>(size);
  return _read(0, buffer, chunk);
#else
  for (;;) {
    const ssize_t n = ::read(0, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
#endif
}

}  // namespace kvx
