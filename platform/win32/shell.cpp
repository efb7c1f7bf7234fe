#include "platform/shell.h"

#include <mutex>

#include "platform/win32/win32_api.h"
// After <windows.h>, which it needs.
#include <shellapi.h>

namespace platform {

namespace {

// Never freed, like the debug sink: a launch may happen while the library
// is being unloaded.
struct HookSlot {
  std::mutex lock;
  ShellOpenHook hook;
};

HookSlot& Slot() {
  static HookSlot* slot = new HookSlot;
  return *slot;
}

}  // namespace

intptr_t ShellOpen(const std::string& link, ShellOpenFinished finished) {
  ShellOpenHook hook;
  {
    std::lock_guard<std::mutex> guard(Slot().lock);
    hook = Slot().hook;
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
  std::lock_guard<std::mutex> guard(Slot().lock);
  Slot().hook = std::move(hook);
}

}  // namespace platform
