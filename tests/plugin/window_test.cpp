// Window handles from the host and the properties made of them.
#include <gtest/gtest.h>

#include <string>

#include "platform/window.h"
#include "tests/plugin/PluginFixture.h"

namespace {

class WindowHandlesTest : public PluginTest {
 protected:
  void TearDown() override {
    pcoip_vchan_plugin_receive_window_handles(0, nullptr);
    platform::ClearWindows();
    PluginTest::TearDown();
  }
};

// These two use the POSIX window registry to make windows; on Windows the
// window manager's own windows serve (tests/windows).
#ifndef _WIN32
TEST_F(WindowHandlesTest, ListIsReplacedWholeAndLogged) {
  ASSERT_TRUE(platform::RegisterWindow(100, {1, 2, 301, 402}, 0));
  ASSERT_TRUE(platform::RegisterWindow(200, {-5, -6, 7, 8}, 100));
  const uint64_t first[] = {100, 200, 300};
  EXPECT_EQ(pcoip_vchan_plugin_receive_window_handles(3, first), 1);
  EXPECT_EQ(GetPropertyValue("Hwnds"), "[100,200,300]");
  auto count = LinesContaining("########## pcoip_vchan_plugin_receive_window_handles Detected handles number 3");
  ASSERT_EQ(count.size(), 1u);
  EXPECT_EQ(count[0].level, 3);
  auto rects = LinesContaining("VCHAN: Detected window handle(");
  ASSERT_EQ(rects.size(), 3u);
  EXPECT_EQ(rects[0].text, "VCHAN: Detected window handle(100): Rect{1,2,301,402}");
  EXPECT_EQ(rects[1].text, "VCHAN: Detected window handle(200): Rect{-5,-6,7,8}");
  // A window whose rectangle cannot be read shows zeros.
  EXPECT_EQ(rects[2].text, "VCHAN: Detected window handle(300): Rect{0,0,0,0}");
  EXPECT_EQ(rects[0].tag, "pcoip_vchan_plugin_receive_window_handles");
  EXPECT_EQ(rects[0].level, 3);

  const uint64_t second[] = {18446744073709551615ull, 0, 0};
  EXPECT_EQ(pcoip_vchan_plugin_receive_window_handles(3, second), 1);
  EXPECT_EQ(GetPropertyValue("Hwnds"), "[18446744073709551615,0,0]") << "duplicates kept, nothing of the first list";
}
#endif

TEST_F(WindowHandlesTest, CountOfZeroOrLessEmptiesTheList) {
  const uint64_t handles[] = {100, 200};
  ASSERT_EQ(pcoip_vchan_plugin_receive_window_handles(2, handles), 1);
  for (int32_t count : {0, -1}) {
    host().Reset();
    EXPECT_EQ(pcoip_vchan_plugin_receive_window_handles(count, handles), 0);
    EXPECT_EQ(GetPropertyValue("Hwnds"), "");
    auto failed = LinesContaining("pcoip_vchan_plugin_receive_window_handles: Failed to detect number of window handles");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].level, 1);
    EXPECT_EQ(failed[0].code, -500);
  }
  EXPECT_TRUE(host().HasLog("Detected handles number -1"));
}

#ifndef _WIN32
TEST_F(WindowHandlesTest, OneHandleReportsItsParent) {
  ASSERT_TRUE(platform::RegisterWindow(100, {0, 0, 10, 10}, 42));
  ASSERT_TRUE(platform::RegisterWindow(101, {0, 0, 10, 10}, 0));
  const uint64_t child[] = {100};
  ASSERT_EQ(pcoip_vchan_plugin_receive_window_handles(1, child), 1);
  EXPECT_EQ(GetPropertyValue("Hwnds"), "[42]");
  const uint64_t topLevel[] = {101};
  ASSERT_EQ(pcoip_vchan_plugin_receive_window_handles(1, topLevel), 1);
  EXPECT_EQ(GetPropertyValue("Hwnds"), "[0]");
  // With several handles no parent is looked up.
  const uint64_t both[] = {100, 101};
  ASSERT_EQ(pcoip_vchan_plugin_receive_window_handles(2, both), 1);
  EXPECT_EQ(GetPropertyValue("Hwnds"), "[100,101]");
}
#endif

TEST_F(WindowHandlesTest, OnlyExactKeysHaveValues) {
  const uint64_t handles[] = {7, 8};
  ASSERT_EQ(pcoip_vchan_plugin_receive_window_handles(2, handles), 1);
  EXPECT_EQ(GetPropertyValue("KVXCoreType"), "Client");
  for (const char* key : {"kvxcoretype", "KVXCoreTyp", "KVXCoreTypes", "VXCoreType", "hwnds",
                          "Hwnd", "Hwndss", ""}) {
    EXPECT_EQ(GetPropertyValue(key), "") << key;
  }
  EXPECT_EQ(GetPropertyValue(std::string("Hwnds\0", 6)), "");
  EXPECT_EQ(pcoip_vchan_plugin_request_application_permissions(), 1);
}

TEST_F(ServerPluginTest, CoreTypeFollowsTheEnd) {
  EXPECT_EQ(GetPropertyValue("KVXCoreType"), "Server");
  EXPECT_EQ(GetPropertyValue("Hwnds"), "");
}

}  // namespace
