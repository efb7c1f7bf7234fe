// Window queries against real windows (the null display driver serves them
// with no screen) and opening programs through the shell.
#include <gtest/gtest.h>

#include "platform/shell.h"
#include "platform/win32/win32_api.h"
#include "platform/window.h"

namespace kvx_win32_test {
namespace {

using namespace platform;

WindowHandle AsHandle(HWND hwnd) { return static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(hwnd)); }

class RealWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KvxTestWindow";
    RegisterClassA(&wc);
    parent_ = CreateWindowExA(0, "KvxTestWindow", "parent", WS_OVERLAPPEDWINDOW, 10, 20, 300, 200, nullptr,
                              nullptr, wc.hInstance, nullptr);
    ASSERT_NE(parent_, nullptr) << GetLastError();
    child_ = CreateWindowExA(0, "KvxTestWindow", "child", WS_CHILD, 5, 6, 50, 40, parent_, nullptr, wc.hInstance,
                             nullptr);
    ASSERT_NE(child_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (parent_ != nullptr) DestroyWindow(parent_);
  }
  HWND parent_ = nullptr;
  HWND child_ = nullptr;
};

TEST_F(RealWindows, RectanglesAndParentsComeFromTheWindowManager) {
  WindowRect rect;
  ASSERT_TRUE(GetWindowRectangle(AsHandle(parent_), &rect));
  EXPECT_EQ(rect.left, 10);
  EXPECT_EQ(rect.top, 20);
  EXPECT_EQ(rect.right, 310);
  EXPECT_EQ(rect.bottom, 220);

  WindowRect inner;
  ASSERT_TRUE(GetWindowRectangle(AsHandle(child_), &inner));
  EXPECT_EQ(inner.right - inner.left, 50);
  EXPECT_EQ(inner.bottom - inner.top, 40);
  EXPECT_GE(inner.left, rect.left + 5) << "a child's rectangle is in screen coordinates";

  EXPECT_EQ(GetParentWindow(AsHandle(child_)), AsHandle(parent_));
  EXPECT_EQ(GetParentWindow(AsHandle(parent_)), 0u);
}

TEST_F(RealWindows, DestroyedAndUnknownWindowsReadAsFailure) {
  const WindowHandle gone = AsHandle(child_);
  DestroyWindow(child_);
  WindowRect rect{1, 2, 3, 4};
  EXPECT_FALSE(GetWindowRectangle(gone, &rect));
  EXPECT_EQ(rect.left, 0);
  EXPECT_EQ(rect.top, 0);
  EXPECT_EQ(rect.right, 0);
  EXPECT_EQ(rect.bottom, 0);
  EXPECT_EQ(GetParentWindow(gone), 0u);
  EXPECT_FALSE(GetWindowRectangle(0, &rect));
  EXPECT_EQ(GetParentWindow(0), 0u);
  EXPECT_FALSE(RegisterWindow(0x1234, WindowRect{0, 0, 1, 1}, 0)) << "the window manager owns the windows";
}

TEST(Win32Shell, OpenReportsAMissingFileAndStartsARealProgram) {
  SetShellOpenHook(nullptr);
  EXPECT_EQ(ShellOpen("C:\\no\\such\\folder\\program.exe"), 2);
  EXPECT_GT(ShellOpen("C:\\windows\\system32\\hostname.exe"), 32);
}

}  // namespace
}  // namespace kvx_win32_test
