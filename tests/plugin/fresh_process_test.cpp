// What the plug-in does before any init has given it a host: run alone in a
// process of its own, so nothing has been initialised yet.
#include <gtest/gtest.h>

#include <string>

#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

namespace {

TEST(PluginBeforeInit, LinesGoToStandardOutputAndExitStillReturnsOne) {
  ASSERT_EQ(g_plugin_context.vchan_intf.log, nullptr) << "must run in a process of its own";

  testing::internal::CaptureStdout();
  plugin_log("some tag", 2, -500, "%s=%d", "value", 7);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "value=7");

  void* const untouched = reinterpret_cast<void*>(0x99);
  void* context = untouched;
  testing::internal::CaptureStdout();
  EXPECT_EQ(pcoip_vchan_plugin_server_init(nullptr, nullptr, &context), 0);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "pcoip_vchan_plugin_server_init: Failed due to null arg - vchan_intf is NULL, context is not NULL!\n");
  EXPECT_EQ(context, untouched);
  EXPECT_EQ(g_plugin_context.link.name[0], '\0') << "the context is left untouched";

  // Exit with nothing to end: every step fails, each says so, and exit still
  // returns 1.
  testing::internal::CaptureStdout();
  EXPECT_EQ(pcoip_vchan_plugin_server_exit(nullptr), 1);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Entering pcoip_vchan_plugin_server_exit (", 0), 0u) << out;
  EXPECT_NE(out.find("exit_sample_vchan: pcoip_vchan_unregister_connect_cback() failed!"), std::string::npos);
  EXPECT_NE(out.find("exit_sample_vchan: failed to terminate the Rx thread!"), std::string::npos);
  EXPECT_NE(out.find("exit_sample_vchan, Failed to close the RX_RDY event!"), std::string::npos);

  // Sends are refused; the properties and the permission entry still answer.
  testing::internal::CaptureStdout();
  SendOverPcoip("early");
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "SendOverPcoip: plug-in not initialised, message of 5 bytes not sent!");
  EXPECT_EQ(GetPropertyValue("KVXCoreType"), "Client");
  EXPECT_EQ(GetPropertyValue("Hwnds"), "");
  EXPECT_EQ(pcoip_vchan_plugin_request_application_permissions(), 1);
}

}  // namespace
