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

intptr_t ShellOpen(const std::string& link) {
  ShellOpenHook hook;
  {
    std::lock_guard<std::mutex> guard(Slot().lock);
    hook = Slot().hook;
  }
  if (hook) return hook(link);
  HINSTANCE result = ShellExecuteA(nullptr, "open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<intptr_t>(result);
}

void SetShellOpenHook(ShellOpenHook hook) {
  std::lock_guard<std::mutex> guard(Slot().lock);
  Slot().hook = std::move(hook);
}

}  // namespace platform
