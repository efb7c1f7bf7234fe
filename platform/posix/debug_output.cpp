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
#include <mutex>

#include "platform/posix/shared_store.h"

namespace platform {
namespace debug_stand_in {

struct Store {
  std::recursive_mutex mutex;
  DebugSink sink;
};

}  // namespace debug_stand_in
}  // namespace platform

extern "C" __attribute__((visibility("default"))) platform::debug_stand_in::Store* kvx_platform_debug_store() {
  // Never destroyed: entries are written during unload too.
  static auto* store = new platform::debug_stand_in::Store();
  return store;
}

namespace platform {
namespace {

debug_stand_in::Store& Shared() {
  static debug_stand_in::Store* store =
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
  debug_stand_in::Store& store = Shared();
  std::lock_guard<std::recursive_mutex> lock(store.mutex);
  if (store.sink) {
    store.sink(entry);
  } else {
    WriteToStderr(entry);
  }
}

void SetDebugSink(DebugSink sink) {
  DebugSink old;
  {
    debug_stand_in::Store& store = Shared();
    std::lock_guard<std::recursive_mutex> lock(store.mutex);
    old = std::move(store.sink);
    store.sink = std::move(sink);
  }
  // `old` is destroyed here, outside the lock.
}

}  // namespace platform
