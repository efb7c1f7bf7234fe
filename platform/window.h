// Window queries: GetWindowRect and GetParent.
#pragma once

#include <cstdint>

namespace platform {

using WindowHandle = uint64_t;

struct WindowRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

// False, with the rectangle set to zeros, when the window is unknown.
bool GetWindowRectangle(WindowHandle window, WindowRect* rect);

// The parent window, or 0 when there is none or the window is unknown.
WindowHandle GetParentWindow(WindowHandle window);

// The POSIX stand-in answers from a small in-process registry that tests and
// the host simulator fill. On Win32 the real window manager answers and these
// do nothing (Register returns false).
bool RegisterWindow(WindowHandle window, const WindowRect& rect, WindowHandle parent);
void UnregisterWindow(WindowHandle window);
void ClearWindows();

}  // namespace platform
