// Window queries on POSIX: an in-process registry of windows (handle,
// rectangle, parent) filled by tests and the host simulator.
#include "platform/window.h"

#include "platform/posix/shared_store.h"

#include <unordered_map>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace platform {
namespace window_stand_in {

struct Record {
  WindowRect rect;
  WindowHandle parent = 0;
};

struct Store {
  Mutex mutex;
  std::unordered_map<WindowHandle, Record> windows GUARDED_BY(mutex);
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

}  // namespace

bool GetWindowRectangle(WindowHandle window, WindowRect* rect) {
  window_stand_in::Store& store = Store();
  MutexLock lock(store.mutex);
  auto it = store.windows.find(window);
  if (it == store.windows.end()) {
    if (rect != nullptr) *rect = WindowRect{};
    return false;
  }
  if (rect == nullptr) return false;
  *rect = it->second.rect;
  return true;
}

WindowHandle GetParentWindow(WindowHandle window) {
  window_stand_in::Store& store = Store();
  MutexLock lock(store.mutex);
  auto it = store.windows.find(window);
  return it == store.windows.end() ? 0 : it->second.parent;
}

bool RegisterWindow(WindowHandle window, const WindowRect& rect, WindowHandle parent) {
  if (window == 0) return false;
  window_stand_in::Store& store = Store();
  MutexLock lock(store.mutex);
  store.windows[window] = Record{rect, parent};
  return true;
}

void UnregisterWindow(WindowHandle window) {
  window_stand_in::Store& store = Store();
  MutexLock lock(store.mutex);
  store.windows.erase(window);
}

void ClearWindows() {
  window_stand_in::Store& store = Store();
  MutexLock lock(store.mutex);
  store.windows.clear();
}

}  // namespace platform
