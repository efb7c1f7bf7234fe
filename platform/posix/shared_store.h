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

}  // namespace posix_detail
}  // namespace platform
