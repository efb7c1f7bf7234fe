// Debug output on POSIX: a process-wide sink. The default writes the text and
// a newline to standard error in one write, so entries from several threads do
// not mix. The sink runs under a lock (recursive, so a sink may itself write
// debug output): entries never overlap, and once SetDebugSink returns the old
// sink is no longer running.
#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace platform {
namespace {

std::recursive_mutex& SinkMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}

void WriteToStderr(const std::string& text) {
  std::string line = text;
  line.push_back('\n');
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void OutputDebugText(const char* text) {
  const std::string entry = text != nullptr ? std::string(text) : std::string();
  std::lock_guard<std::recursive_mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(entry);
  } else {
    WriteToStderr(entry);
  }
}

void SetDebugSink(DebugSink sink) {
  DebugSink old;
  {
    std::lock_guard<std::recursive_mutex> lock(SinkMutex());
    old = std::move(Sink());
    Sink() = std::move(sink);
  }
  // `old` is destroyed here, outside the lock.
}

}  // namespace platform
