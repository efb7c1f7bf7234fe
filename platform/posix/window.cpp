// Window queries on POSIX: an in-process registry of windows (handle,
// rectangle, parent) filled by tests and the host simulator.
#include "platform/window.h"

#include "platform/posix/shared_store.h"

#include <mutex>
#include <unordered_map>

namespace platform {
namespace window_stand_in {

struct Record {
  WindowRect rect;
  WindowHandle parent = 0;
};

struct Store {
  std::mutex mutex;
  std::unordered_map<WindowHandle, Record> windows;
};

}  // namespace window_stand_in
}  // namespace platform

// The registry stands in for the desktop's window manager, which every module
// of a process sees alike (see shared_store.h).
extern "C" __attribute__((visibility("default"))) platform::window_stand_in::Store*
kvx_platform_window_store() {
  static platform::window_stand_in::Store store;
  return &store;
}

namespace platform {
namespace {

using window_stand_in::Record;

window_stand_in::Store& Store() {
  static window_stand_in::Store* store =
      posix_detail::FindSharedStore("kvx_platform_window_store", &kvx_platform_window_store);
  return *store;
}

std::mutex& RegistryMutex() { return Store().mutex; }

std::unordered_map<WindowHandle, Record>& Registry() { return Store().windows; }

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
  Registry()[window] = Record{rect, parent};
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
