#include "src/application/common/PcoipVchan/PcoipVchanModule.h"

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

#include "diagnostics/RepeatLimiter.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"

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

// The library is pinned once started, so the only detach after a start comes
// at process end, after the system has ended every other thread wherever it
// was (one may have been dropping a departed pipe client, holding the locks
// the bridge's teardown takes). The runtime destroys the bridge after this
// returns; it must not wait for those threads or their locks then.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    ChannelBridge::AbandonAtProcessEnd();
    diagnostics::RepeatLimiter::AbandonAtProcessEnd();
  }
  return TRUE;
}

#else

void KeepPluginLoadedUntilProcessExit() {}

#endif
