#include "platform/window.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

// The registry is the POSIX stand-in for a window manager; on Windows real
// windows answer (tests/windows).
#ifndef _WIN32
TEST(Window, RegistryAnswersQueries) {
  ClearWindows();
  WindowRect rect{10, 20, 110, 220};
  EXPECT_TRUE(RegisterWindow(0x1234, rect, 0x99));
  WindowRect out;
  EXPECT_TRUE(GetWindowRectangle(0x1234, &out));
  EXPECT_EQ(out.left, 10);
  EXPECT_EQ(out.top, 20);
  EXPECT_EQ(out.right, 110);
  EXPECT_EQ(out.bottom, 220);
  EXPECT_EQ(GetParentWindow(0x1234), 0x99u);
  ClearWindows();
}
#endif

TEST(Window, UnknownHandleReadsAsFailure) {
  ClearWindows();
  WindowRect out{1, 2, 3, 4};
  EXPECT_FALSE(GetWindowRectangle(0x777, &out));
  EXPECT_EQ(out.left, 0);
  EXPECT_EQ(out.top, 0);
  EXPECT_EQ(out.right, 0);
  EXPECT_EQ(out.bottom, 0);
  EXPECT_EQ(GetParentWindow(0x777), 0u);
}

#ifndef _WIN32
TEST(Window, UnregisterAndReplace) {
  ClearWindows();
  RegisterWindow(5, WindowRect{0, 0, 1, 1}, 0);
  RegisterWindow(5, WindowRect{0, 0, 2, 2}, 6);
  WindowRect out;
  EXPECT_TRUE(GetWindowRectangle(5, &out));
  EXPECT_EQ(out.right, 2);
  EXPECT_EQ(GetParentWindow(5), 6u);
  UnregisterWindow(5);
  EXPECT_FALSE(GetWindowRectangle(5, &out));
  EXPECT_EQ(GetParentWindow(5), 0u);
}
#endif

}  // namespace
}  // namespace platform
