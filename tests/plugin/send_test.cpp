// Cutting messages into datagrams at both ends, and the sends that must not
// happen.
#include <gtest/gtest.h>

#include <string>

#include "tests/plugin/PluginFixture.h"

namespace {

std::string Pattern(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return out;
}

struct Expected {
  uint32_t payload;
  bool last;
};

void ExpectFragments(const std::string& message, const std::vector<Expected>& expected) {
  std::vector<std::string> sent = TestHost::Get().SentDatagrams();
  ASSERT_EQ(sent.size(), expected.size());
  std::string joined;
  for (size_t i = 0; i < sent.size(); ++i) {
    DatagramHeader header = HeaderOf(sent[i]);
    EXPECT_EQ(header.marker, 1u);
    EXPECT_EQ(header.sequence, i);
    EXPECT_EQ(header.payloadLength, expected[i].payload);
    EXPECT_EQ(header.lastFragment, expected[i].last ? 1u : 0u);
    EXPECT_EQ(sent[i].size(), 16u + expected[i].payload) << "datagram " << i;
    joined += sent[i].substr(16);
  }
  EXPECT_EQ(joined, message);
}

TEST_F(PluginTest, ClientCutsMessagesAt2984PayloadBytes) {
  OpenChannel();
  ASSERT_EQ(g_plugin_context.link.max_payload_size, 2984u);

  std::string exact = Pattern(2984);
  SendOverPcoip(exact);
  ExpectFragments(exact, {{2984, true}});

  host().Reset();
  std::string oneMore = Pattern(2985);
  SendOverPcoip(oneMore);
  ExpectFragments(oneMore, {{2984, false}, {1, true}});

  host().Reset();
  std::string tenThousand = Pattern(10000);
  SendOverPcoip(tenThousand);
  ExpectFragments(tenThousand, {{2984, false}, {2984, false}, {2984, false}, {1048, true}});

  host().Reset();
  SendOverPcoip(std::string());
  EXPECT_TRUE(host().SentDatagrams().empty());
}

TEST_F(PluginTest, SendBeforeTheChannelOpensIsDroppedWithALine) {
  SendOverPcoip("hello");
  EXPECT_TRUE(host().SentDatagrams().empty());
  auto lines = LinesContaining("SendOverPcoip: channel not open, message of 5 bytes dropped!");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].code, -500);
}

TEST_F(PluginTest, FailedSendGivesUpOnTheRestOfTheMessage) {
  OpenChannel();
  host().SetSendFailureAt(1, -42);
  SendOverPcoip(Pattern(10000));
  EXPECT_EQ(host().SentDatagrams().size(), 1u);
  auto lines = LinesContaining("SendOverPcoip: pcoip_vchan_send_dgram() failed!");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].code, -42);
  EXPECT_EQ(lines[0].tag, "quor_tera_dgram_vchan");
}

TEST_F(PluginTest, SendAfterExitIsRefused) {
  OpenChannel();
  exit_sample_vchan(&g_plugin_context);
  SendOverPcoip("late");
  EXPECT_TRUE(host().SentDatagrams().empty());
  EXPECT_TRUE(host().HasLog("SendOverPcoip: plug-in not initialised, message of 4 bytes not sent!"));
  // The fixture's own exit runs on an exited plug-in; that must be harmless.
}

TEST_F(ServerPluginTest, ServerUsesTheHostPacketSizeClampedToTheBuffer) {
  host().SetStateQuery(0, 1200);
  OpenChannel();
  SendOverPcoip(Pattern(2500));
  ExpectFragments(Pattern(2500), {{1184, false}, {1184, false}, {132, true}});

  // A packet size above what the buffers hold is cut to them.
  host().Reset();
  host().SetStateQuery(0, 9000);
  OpenChannel();
  ASSERT_EQ(host().Opens().size(), 1u);
  EXPECT_EQ(host().Opens()[0].maxPacketSize, 5016u);
  EXPECT_TRUE(host().HasLog("max pkt size:5016, max_payload_size:5000)"));
  SendOverPcoip(Pattern(5001));
  ExpectFragments(Pattern(5001), {{5000, false}, {1, true}});
}

TEST_F(ServerPluginTest, PacketSizeWithoutRoomForPayloadRefusesTheOpen) {
  host().SetStateQuery(0, 16);
  OpenChannel();
  EXPECT_TRUE(host().Opens().empty());
  auto lines = LinesContaining("open refused");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].code, -500);
  SendOverPcoip("x");
  EXPECT_TRUE(host().SentDatagrams().empty());
}

}  // namespace
