// Debug output on POSIX: a process-wide sink. The default writes the text and
// a newline to standard error in one write, so entries from several threads do
// not mix. The sink runs under a lock (recursive, so a sink may itself write
// debug output): entries never overlap, and once SetDebugSink returns the old
// sink is no longer running. Like the debugger channel it stands in for, it is
// one per process: a plug-in's entries reach the sink of the program that
// loaded it (see shared_store.h).
#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/posix/shared_store.h"

extern "C" __attribute__((visibility("default"))) platform::posix_detail::SinkStore* kvx_platform_debug_store() {
  // Never destroyed: entries are written during unload too.
  static auto* store = new platform::posix_detail::SinkStore();
  return store;
}

namespace platform {
namespace {

posix_detail::SinkStore& Shared() {
  static posix_detail::SinkStore* store =
      posix_detail::FindSharedStore("kvx_platform_debug_store", &kvx_platform_debug_store);
  return *store;
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
  posix_detail::WriteThroughSink(Shared(), entry, WriteToStderr);
}

void SetDebugSink(DebugSink sink) { posix_detail::ReplaceSink(Shared(), std::move(sink)); }

}  // namespace platform
