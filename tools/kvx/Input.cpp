#include "tools/kvx/Input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
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

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error) {
  const bool standardInput = path == "-";
  const std::string shown = standardInput ? "standard input" : path;
  std::FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open " + shown + ": " + std::strerror(errno);
    return false;
  }
  if (standardInput) UseBinaryStandardStreams();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(standardInput ? nullptr : file, std::fclose);
  data->clear();
  char buffer[65536];
  for (;;) {
    errno = 0;
    const size_t n = std::fread(buffer, 1, sizeof buffer, file);
    data->append(buffer, n);
    if (n == sizeof buffer) continue;
    if (std::ferror(file)) {
      // A folder opens on some systems and fails only here (EISDIR).
      *error = "cannot read " + shown + ": " + std::strerror(errno != 0 ? errno : EIO);
      return false;
    }
    return true;
  }
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
