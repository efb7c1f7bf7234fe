// Private to the POSIX platform layer: state that every module of a process
// must see alike, as it would be on the real system (the window manager, the
// debugger channel, the console).
//
// The plug-in is a library with its own copy of this layer, loaded with its
// symbols kept to itself. A program that hands such state to a plug-in it
// loads (the host simulator) exports a function `kvx_platform_<what>_store`
// returning its own store, and the plug-in's copy finds the program's store
// through it; any other process keeps a private one.
#pragma once

#include <dlfcn.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>

namespace platform {
namespace posix_detail {

// The program's store when it exports one, else `own()`. Looked up once per
// module by the caller (a function-local static).
template <typename Store>
Store* FindSharedStore(const char* exportedName, Store* (*own)()) {
  using StoreFunction = Store* (*)();
  auto shared = reinterpret_cast<StoreFunction>(dlsym(RTLD_DEFAULT, exportedName));
  return shared != nullptr ? shared() : own();
}

// A process-wide text sink (the debugger channel, the console). The sink runs
// under a lock, recursive so that a sink may itself write: entries never
// overlap, and once a sink has been replaced it is no longer running.
struct SinkStore {
  std::recursive_mutex mutex;
  std::function<void(const std::string&)> sink;
};

// Hands `text` to the sink, or to `fallback` when none is set, under the lock.
template <typename Fallback>
void WriteThroughSink(SinkStore& store, const std::string& text, Fallback fallback) {
  std::lock_guard<std::recursive_mutex> lock(store.mutex);
  if (store.sink) {
    store.sink(text);
  } else {
    fallback(text);
  }
}

inline void ReplaceSink(SinkStore& store, std::function<void(const std::string&)> sink) {
  std::function<void(const std::string&)> old;
  {
    std::lock_guard<std::recursive_mutex> lock(store.mutex);
    old = std::move(store.sink);
    store.sink = std::move(sink);
  }
  // `old` is destroyed here, outside the lock.
}

}  // namespace posix_detail
}  // namespace platform
