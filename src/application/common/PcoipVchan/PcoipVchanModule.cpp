#include "src/application/common/PcoipVchan/PcoipVchanModule.h"

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

namespace {
std::atomic<bool> pinned{false};
}  // namespace

void KeepPluginLoadedUntilProcessExit() {
  if (pinned.exchange(true)) return;
  // Pins the module that holds this function: the executable's own when the
  // code is linked into a program (the tests), which changes nothing there.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&KeepPluginLoadedUntilProcessExit), &self);
}

#else

void KeepPluginLoadedUntilProcessExit() {}

#endif
