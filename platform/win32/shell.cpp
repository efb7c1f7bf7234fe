#include "platform/shell.h"

#include <utility>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "platform/win32/win32_api.h"
// After <windows.h>, which it needs.
#include <shellapi.h>

namespace platform {

namespace {

// Never freed, like the debug sink: a launch may happen while the library
// is being unloaded.
struct HookSlot {
  Mutex lock;
  ShellOpenHook hook GUARDED_BY(lock);
};

HookSlot& Slot() {
  static HookSlot* slot = new HookSlot;
  return *slot;
}

}  // namespace

intptr_t ShellOpen(const std::string& link, ShellOpenFinished finished) {
  ShellOpenHook hook;
  {
    HookSlot& slot = Slot();
    MutexLock guard(slot.lock);
    hook = slot.hook;
  }
  intptr_t result = 0;
  if (hook) {
    result = hook(link);
  } else {
    // ShellExecuteA hands the link over and returns; no process of ours is
    // left to wait for, so nothing here needs a thread or a reaper.
    result = reinterpret_cast<intptr_t>(
        ShellExecuteA(nullptr, "open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  }
  if (finished) finished();
  return result;
}

void SetShellOpenHook(ShellOpenHook hook) {
  HookSlot& slot = Slot();
  MutexLock guard(slot.lock);
  slot.hook = std::move(hook);
}

}  // namespace platform
