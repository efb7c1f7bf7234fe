#include "platform/window.h"

#include "platform/win32/win32_api.h"

namespace platform {

namespace {

HWND ToHwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(window)); }

}  // namespace

bool GetWindowRectangle(WindowHandle window, WindowRect* rect) {
  RECT r{};
  bool ok = window != 0 && GetWindowRect(ToHwnd(window), &r) != FALSE;
  if (!ok) r = RECT{};
  if (rect != nullptr) {
    rect->left = r.left;
    rect->top = r.top;
    rect->right = r.right;
    rect->bottom = r.bottom;
  }
  return ok;
}

WindowHandle GetParentWindow(WindowHandle window) {
  if (window == 0) return 0;
  return static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(GetParent(ToHwnd(window))));
}

// The real window manager knows the windows; there is nothing to register.
bool RegisterWindow(WindowHandle, const WindowRect&, WindowHandle) { return false; }
void UnregisterWindow(WindowHandle) {}
void ClearWindows() {}

}  // namespace platform
