// Window queries on POSIX: an in-process registry of windows (handle,
// rectangle, parent) filled by tests and the host simulator.
#include "platform/window.h"

#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

struct WindowRecord {
  WindowRect rect;
  WindowHandle parent = 0;
};

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::unordered_map<WindowHandle, WindowRecord>& Registry() {
  static std::unordered_map<WindowHandle, WindowRecord> registry;
  return registry;
}

}  // namespace

bool GetWindowRectangle(WindowHandle window, WindowRect* rect) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto it = Registry().find(window);
  if (it == Registry().end()) {
    if (rect != nullptr) *rect = WindowRect{};
    return false;
  }
  if (rect == nullptr) return false;
  *rect = it->second.rect;
  return true;
}

WindowHandle GetParentWindow(WindowHandle window) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto it = Registry().find(window);
  return it == Registry().end() ? 0 : it->second.parent;
}

bool RegisterWindow(WindowHandle window, const WindowRect& rect, WindowHandle parent) {
  if (window == 0) return false;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Registry()[window] = WindowRecord{rect, parent};
  return true;
}

void UnregisterWindow(WindowHandle window) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Registry().erase(window);
}

void ClearWindows() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Registry().clear();
}

}  // namespace platform
