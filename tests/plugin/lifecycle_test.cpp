// Opening the channel from the connect callback, the channel events, and
// exit's teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <string>

#include "tests/plugin/PluginFixture.h"

namespace {

TEST_F(PluginTest, ClientOpensWithFixedConfigurationAndPacketSize) {
  host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_SESSION, 1);
  auto lines = LinesContaining("open_channel_client() called with");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "open_channel_client() called with cfg:0xa and capability:0xbb8");
  EXPECT_EQ(lines[0].level, 2);
  ASSERT_EQ(host().Opens().size(), 1u);
  const OpenCall open = host().Opens()[0];
  EXPECT_EQ(open.name, "quor_tera_dgram_vchan");
  EXPECT_EQ(open.flags, 0u);
  EXPECT_EQ(open.cfg, 0xAu);
  EXPECT_EQ(open.maxPacketSize, 3000u);
  EXPECT_EQ(g_plugin_context.link.max_payload_size, 2984u);
  EXPECT_EQ(g_plugin_context.link.handle, TestHost::kHandle);
  auto ok = LinesContaining("open_channel_client: pcoip_vchan_open() succeeded!");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0].level, 2);

  host().Reset();
  host().SetResults(0, 0, -33);
  host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_SESSION, 1);
  auto failed = LinesContaining("open_channel_client: pcoip_vchan_open() failed!");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].code, -33);
  EXPECT_EQ(host().Opens().size(), 1u) << "no retry";
}

TEST_F(PluginTest, ConnectEventsThatDoNotConcernTheClient) {
  host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_SESSION, 2);
  host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_CHANNEL, 1);
  EXPECT_TRUE(host().Opens().empty());
  host().FireConnect(2, 1);
  auto lines = LinesContaining("connect_callback: Unknown event: 0x2");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].code, -500);
  EXPECT_TRUE(host().Opens().empty());
}

TEST_F(ServerPluginTest, ServerOpensWithTheHostPacketSize) {
  host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_SESSION, 1);  // the client's event
  EXPECT_TRUE(host().Opens().empty());

  host().SetStateQuery(0, 4000);
  host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_CHANNEL, 0);
  ASSERT_EQ(host().Opens().size(), 1u);
  EXPECT_EQ(host().Opens()[0].maxPacketSize, 4000u);
  EXPECT_EQ(g_plugin_context.link.max_payload_size, 3984u);
  EXPECT_TRUE(host().HasLog(
      "open_channel_server() handle: 0 using cfg:0xa; max pkt size:4000, max_payload_size:3984)"));
  auto ok = LinesContaining("open_channel_server: pcoip_vchan_open() succeeded.");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0].level, 1);

  // A later open whose state query fails goes ahead with the size it has.
  host().Reset();
  host().SetStateQuery(-21, 0);
  host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_CHANNEL, 0);
  auto query = LinesContaining("open_channel_server(): Error in call to pcoip_vchan_get_state_by_name!");
  ASSERT_EQ(query.size(), 1u);
  EXPECT_EQ(query[0].level, 2);
  EXPECT_EQ(query[0].code, -21);
  ASSERT_EQ(host().Opens().size(), 1u);
  EXPECT_EQ(host().Opens()[0].maxPacketSize, 4000u);
  auto params = LinesContaining("open_channel_server() handle: 77 using");
  ASSERT_EQ(params.size(), 1u);
  EXPECT_EQ(params[0].code, -21);
}

TEST_F(PluginTest, ChannelEventsAreLoggedByName) {
  OpenChannel();
  host().Reset();
  host().SetMaxDatagramSize(-3, 4321);
  host().FireChannel(PCOIP_VCHAN_EVENT_OPEN_SUCCESS);
  auto size = LinesContaining("chan_callback: Max vchan datagram size = 4321 .");
  ASSERT_EQ(size.size(), 1u);
  EXPECT_EQ(size[0].level, 2);
  EXPECT_EQ(size[0].code, -3);
  EXPECT_EQ(size[0].tag, "quor_tera_dgram_vchan");

  host().FireChannel(PCOIP_VCHAN_EVENT_OPEN_REJECTED);
  EXPECT_TRUE(host().HasLog("chan_callback: [PCOIP_VCHAN_EVENT_OPEN_REJECTED] peer rejected open request!"));

  const struct {
    uint32_t event;
    const char* text;
  } ignored[] = {
      {2, "chan_callback: [PCOIP_VCHAN_EVENT_CLOSE_PENDING] -- ignoring event: 0x2."},
      {3, "chan_callback: [PCOIP_VCHAN_EVENT_CLOSED] -- ignoring event: 0x3."},
      {5, "chan_callback: [PCOIP_VCHAN_EVENT_ERR_DETECTED] -- ignoring event: 0x5."},
      {6, "chan_callback: [PCOIP_VCHAN_EVENT_DGRAM_LOST_CLOSE] -- ignoring event: 0x6."},
      {7, "chan_callback: [PCOIP_VCHAN_EVENT_DGRAM_LOST_OVFLW] -- ignoring event: 0x7."},
      {8, "chan_callback: [PCOIP_VCHAN_EVENT_RX_DATA_LOST] -- ignoring event: 0x8."},
      {9, "chan_callback: [unknown] -- ignoring event: 0x9."},
      {10, "chan_callback: [unknown] -- ignoring event: 0xA."},
  };
  for (const auto& row : ignored) {
    host().FireChannel(row.event);
    auto lines = LinesContaining(row.text);
    ASSERT_EQ(lines.size(), 1u) << row.text;
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[0].code, -500);
  }
  // None of them changes the channel: a send still goes out on it.
  SendOverPcoip("still open");
  EXPECT_EQ(host().SentDatagrams().size(), 1u);
  EXPECT_EQ(g_plugin_context.link.max_dgram_size, 4321u);
}

TEST_F(PluginTest, ExitUnregistersStopsTheThreadAndClosesTheEvent) {
  OpenChannel();
  exit_sample_vchan(&g_plugin_context);
  EXPECT_EQ(host().Unregistrations(), std::vector<uint32_t>{TestHost::kRegistration});
  EXPECT_TRUE(host().HasLog("rx_thread_entry: stop requested, exiting thread!"));
  EXPECT_FALSE(host().HasLog("exit_sample_vchan"));
  EXPECT_EQ(g_plugin_context.link.rx_thread, nullptr);
  EXPECT_EQ(g_plugin_context.link.rx_event, nullptr);

  // Ready events after exit reach a closed event, and are reported.
  host().FireChannel(PCOIP_VCHAN_EVENT_RECV_RDY);
  EXPECT_TRUE(host().HasLog("chan_callback: [PCOIP_VCHAN_EVENT_RECV_RDY] failed to set the RX_RDY event!"));

  // A second exit has nothing left to end: every step fails, and says so.
  host().Reset();
  host().SetResults(0, -8, 0);
  exit_sample_vchan(&g_plugin_context);
  for (const char* text : {"exit_sample_vchan: pcoip_vchan_unregister_connect_cback() failed!",
                           "exit_sample_vchan: failed to terminate the Rx thread!",
                           "exit_sample_vchan, Failed to close the RX_RDY event!"}) {
    auto lines = LinesContaining(text);
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[0].code, -500);
  }
  EXPECT_EQ(pcoip_vchan_plugin_client_exit(&g_plugin_context), 1);
}

TEST_F(PluginTest, ReadyEventsRacingExitNeverSetAClosedEvent) {
  // A host thread keeps reporting ready while exit closes the event; with a
  // sanitizer, a set on the freed event is reported as a use after free.
  for (int round = 0; round < 30; ++round) {
    if (round > 0) {
      ASSERT_EQ(init_sample_vchan(End(), &table_), 0);
    }
    OpenChannel();
    std::atomic<bool> stop{false};
    std::thread host_thread([&] {
      while (!stop.load()) host().FireChannel(PCOIP_VCHAN_EVENT_RECV_RDY);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    exit_sample_vchan(&g_plugin_context);
    stop.store(true);
    host_thread.join();
    EXPECT_EQ(g_plugin_context.link.rx_event, nullptr);
  }
  // Exit leaves no event behind: the next ready report says so.
  host().Reset();
  PluginLogLimiter().Reset();
  host().FireChannel(PCOIP_VCHAN_EVENT_RECV_RDY);
  EXPECT_TRUE(host().HasLog("failed to set the RX_RDY event"));
  ASSERT_EQ(init_sample_vchan(End(), &table_), 0);
}

TEST_F(PluginTest, SecondInitLeavesALiveChannelAlone) {
  OpenChannel();
  pcoip_vchan_intf other = host().Table();
  EXPECT_EQ(init_sample_vchan(1, &other), 0);
  EXPECT_TRUE(host().HasLog("init_sample_vchan: already initialised, channel left as it is!"));
  EXPECT_EQ(g_plugin_context.link.is_server, 0);
  EXPECT_EQ(g_plugin_context.link.handle, TestHost::kHandle);
  Deliver({MakeDatagram(0, "still here", true)});
  EXPECT_EQ(WaitForPeerMessages(1), std::vector<std::string>{"still here"});
}

TEST_F(PluginTest, InitAfterAFailedRegistrationStartsClean) {
  exit_sample_vchan(&g_plugin_context);
  host().Reset();
  host().SetResults(-13, 0, 0);
  EXPECT_EQ(init_sample_vchan(0, &table_), -13);
  auto failed = LinesContaining("init_sample_vchan: pcoip_vchan_register_connect_cback() failed!");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].code, -13);
  ASSERT_TRUE(host().WaitForLog("Receive thread started"));

  // The thread of the failed init is ended before the next one starts.
  host().Reset();
  EXPECT_EQ(init_sample_vchan(0, &table_), 0);
  EXPECT_TRUE(host().WaitForLog("Receive thread started"));
  EXPECT_TRUE(host().HasLog("rx_thread_entry: stop requested, exiting thread!"));
  OpenChannel();
  Deliver({MakeDatagram(0, "one reader", true)});
  EXPECT_EQ(WaitForPeerMessages(1), std::vector<std::string>{"one reader"});
}

}  // namespace
