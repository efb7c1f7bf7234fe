// The init and exit entry points as the host calls them, with the bridge
// started on a pipe of this test's own.
#include <gtest/gtest.h>

#include <string>

#include "tests/plugin/PipeDirectory.h"
#include "tests/plugin/PluginFixture.h"

namespace {

std::vector<LogLine> LinesContaining(const std::string& needle) {
  std::vector<LogLine> out;
  for (const LogLine& line : TestHost::Get().Logs()) {
    if (line.text.find(needle) != std::string::npos) out.push_back(line);
  }
  return out;
}

TEST(PluginEntryPoints, OneEndPerProcessAndASecondInitFailsOnThePipe) {
  TestHost& host = TestHost::Get();
  host.Reset();
  pcoip_vchan_intf table = host.Table();
  void* const untouched = reinterpret_cast<void*>(0x1234);
  void* context = untouched;

  // A failed channel set-up ends the init before the bridge is touched.
  host.SetResults(-13, 0, 0);
  EXPECT_EQ(pcoip_vchan_plugin_client_init(&table, nullptr, &context), 0);
  EXPECT_EQ(context, untouched);
  auto failed = LinesContaining(
      "pcoip_vchan_plugin_client_init: Failed to initialize client end of the sample vchan plugin!");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].code, -13);
  EXPECT_EQ(failed[0].tag, "");

  host.Reset();
  ASSERT_EQ(pcoip_vchan_plugin_server_init(&table, nullptr, &context), 1);
  EXPECT_EQ(context, static_cast<void*>(&g_plugin_context));
  EXPECT_EQ(GetPropertyValue("KVXCoreType"), "Server");

  // Null arguments are refused whatever the state, through the host's log now.
  void* slot = untouched;
  EXPECT_EQ(pcoip_vchan_plugin_server_init(nullptr, nullptr, &slot), 0);
  EXPECT_EQ(pcoip_vchan_plugin_client_init(&table, nullptr, nullptr), 0);
  EXPECT_EQ(slot, untouched);
  auto nullArgs = LinesContaining("Failed due to null arg");
  ASSERT_EQ(nullArgs.size(), 2u);
  EXPECT_EQ(nullArgs[0].text,
            "pcoip_vchan_plugin_server_init: Failed due to null arg - vchan_intf is NULL, context is not NULL!\n");
  EXPECT_EQ(nullArgs[1].text,
            "pcoip_vchan_plugin_client_init: Failed due to null arg - vchan_intf is not NULL, context is NULL!\n");
  EXPECT_EQ(nullArgs[0].level, 0);

  // A second init while the channel runs: the pipe line, and the channel goes on.
  host.SetStateQuery(0, 3000);
  host.FireConnect(PCOIP_VCHAN_CONNECT_EVENT_CHANNEL, 0);
  host.FireChannel(PCOIP_VCHAN_EVENT_OPEN_SUCCESS);
  slot = untouched;
  EXPECT_EQ(pcoip_vchan_plugin_server_init(&table, nullptr, &slot), 0);
  EXPECT_EQ(slot, untouched);
  auto pipe = LinesContaining(
      "pcoip_vchan_plugin_server_init: Failed to initialize pipe on the server end of the vchan plugin!");
  ASSERT_EQ(pipe.size(), 1u);
  EXPECT_EQ(pipe[0].level, 1);
  EXPECT_EQ(pipe[0].code, 0);
  host.QueueRead({MakeDatagram(0, "12345", true), 0});
  host.FireChannel(PCOIP_VCHAN_EVENT_RECV_RDY);
  EXPECT_TRUE(host.WaitForLog("to receive 5 bytes in 1 packets"));
  SendOverPcoip("out");
  EXPECT_EQ(host.SentDatagrams().size(), 1u);

  // After exit a second init, even of the other end, still fails on the pipe.
  EXPECT_EQ(pcoip_vchan_plugin_server_exit(context), 1);
  EXPECT_FALSE(host.HasLog("exit_sample_vchan"));
  host.Reset();
  EXPECT_EQ(pcoip_vchan_plugin_client_init(&table, nullptr, &slot), 0);
  EXPECT_EQ(slot, untouched);
  EXPECT_EQ(LinesContaining("pcoip_vchan_plugin_client_init: Failed to initialize pipe on the client end of the vchan plugin!")
                .size(),
            1u);
  // The failed init undid its own set-up, cleanly: its registration is gone
  // and its receive thread stopped, so nothing of it lingers for a later init.
  EXPECT_FALSE(host.HasLog("exit_sample_vchan")) << "what the failed init set up is ended cleanly";
  EXPECT_EQ(host.Unregistrations(), std::vector<uint32_t>{TestHost::kRegistration});
  EXPECT_EQ(g_plugin_context.link.rx_thread, nullptr);
  EXPECT_EQ(g_plugin_context.link.rx_event, nullptr);
}

}  // namespace
