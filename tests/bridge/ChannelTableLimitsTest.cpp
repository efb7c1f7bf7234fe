// The channel table stays bounded and in step with the peer: its indexes
// follow every change, its limits refuse with a lost notice, entries that only
// the peer made leave with the peer's channel, and IDs go past 32 bits.
#include "tests/bridge/BridgeFixture.h"

namespace kvxtest {
namespace {

TEST(ChannelTableTest, IndexesFollowEveryChangeAndLimitsHold) {
  ChannelTable table;
  ASSERT_EQ(table.Add({"A", 1, 0}), ChannelTable::AddResult::kAdded);
  ASSERT_EQ(table.Add({"B", 2, 1}), ChannelTable::AddResult::kAdded);
  ASSERT_EQ(table.Add({"C", -1, 0}), ChannelTable::AddResult::kAdded);
  EXPECT_EQ(table.FindById(-1), nullptr);
  // Two entries with one ID: the first in table order answers, then the next.
  table.SetId(table.FindByName("C"), 2);
  EXPECT_EQ(table.FindById(2)->channelName, "B");
  table.Remove(table.FindByName("B"));
  EXPECT_EQ(table.FindByName("B"), nullptr);
  EXPECT_EQ(table.FindById(2)->channelName, "C");
  table.SetId(table.FindByName("C"), 3);
  EXPECT_EQ(table.FindById(2), nullptr);

  EXPECT_EQ(table.Add({std::string(ChannelTable::kMaxNameLength + 1, 'x'), 9, 0}),
            ChannelTable::AddResult::kNameTooLong);
  for (size_t i = table.Size(); i < ChannelTable::kMaxEntries; ++i) {
    ASSERT_EQ(table.Add({"n" + std::to_string(i), static_cast<int64_t>(i) + 10, 5}),
              ChannelTable::AddResult::kAdded);
  }
  EXPECT_EQ(table.Add({"one too many", 1, 0}), ChannelTable::AddResult::kFull);
  EXPECT_EQ(table.FindById(ChannelTable::kMaxEntries + 9)->channelName,
            "n" + std::to_string(ChannelTable::kMaxEntries - 1));

  const std::vector<ChannelEntry> left = table.RemoveEntriesOfPipe(0);
  EXPECT_EQ(left, (std::vector<ChannelEntry>{{"A", 1, 0}, {"C", 3, 0}}));
  EXPECT_EQ(table.FindById(3), nullptr);
  EXPECT_EQ(table.Size(), ChannelTable::kMaxEntries - 2);
}

class ChannelTableLimitsTest : public BridgeFixture {
 protected:
  void FromPeer(const std::string& bytes) { bridge->QueuePcoipMessage(bytes); }
  NoticeFields LastToPeer(size_t count) {
    EXPECT_TRUE(SentToPeer().WaitForCount(count));
    const auto all = SentToPeer().All();
    return all.empty() ? NoticeFields{} : ReadNotice(all.back());
  }
  std::string Next(PipeClient& client) {
    std::string message;
    EXPECT_TRUE(client.Read(&message));
    return message;
  }
  // Sends a property request and returns the first answer: everything the
  // bridge wrote to the pipe before it has been read by then.
  void Sync(PipeClient& client) {
    ASSERT_TRUE(client.Write(PropertyRequest("KVXCoreType")));
    std::string answer;
    ASSERT_TRUE(client.Read(&answer));
  }
};

TEST_F(ChannelTableLimitsTest, ServerEndRemovesPeerOnlyEntriesRefusesBeyondLimitsAndCountsPast32Bits) {
  Start(true);
  int pipe = -1;
  PipeClient& app = Connect(&pipe);
  const int64_t big = int64_t{1} << 33;
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"held", 0, pipe}});
  ChannelBridgeTestAccess::SetNextChannelId(*bridge, big);

  // Made by the peer, held by nobody here: gone on the peer's disconnect or lost notice.
  FromPeer(ConnectRequest("X"));
  EXPECT_EQ(LastToPeer(1), (NoticeFields{"X", big, KVX::CONNECTION_PENDING_PEER}));
  FromPeer(ConnectRequest("Y"));
  EXPECT_EQ(LastToPeer(2), (NoticeFields{"Y", big + 1, KVX::CONNECTION_PENDING_PEER}));
  FromPeer(ConnectRequest("Z"));
  EXPECT_EQ(LastToPeer(3), (NoticeFields{"Z", big + 2, KVX::CONNECTION_PENDING_PEER}));
  FromPeer(DisconnectRequest(big));
  FromPeer(Notice("Y", big + 1, KVX::CONNECTION_LOST));
  // Its asker left before the ID reached it: the loss names the channel only.
  FromPeer(Notice("Z", -1, KVX::CONNECTION_LOST));
  // A channel an application holds stays.
  FromPeer(DisconnectRequest(0));
  FromPeer(Notice("held", 0, KVX::CONNECTION_LOST));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"held", 0, KVX::CONNECTION_PENDING_PEER}));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"held", 0, KVX::CONNECTION_LOST}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"held", 0, pipe}}));

  // Names longer than the bound, from the peer and from the pipe.
  const std::string longName(ChannelTable::kMaxNameLength + 1, 'n');
  FromPeer(ConnectRequest(longName));
  EXPECT_EQ(LastToPeer(4), (NoticeFields{longName, -1, KVX::INVALID_ARGUMENT}));
  ASSERT_TRUE(app.Write(ConnectRequest(longName)));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{longName, -1, KVX::CONNECTION_LOST}));
  EXPECT_EQ(debug.CountOf("ERROR: Channel name too long; connect request refused."), 2u);

  // A full table: new names are refused, known ones still answered.
  std::vector<ChannelEntry> full{{"held", 0, pipe}};
  for (size_t i = 1; i < ChannelTable::kMaxEntries; ++i) {
    full.push_back({"peer " + std::to_string(i), static_cast<int64_t>(i), -1});
  }
  ChannelBridgeTestAccess::SetChannels(*bridge, full);
  FromPeer(ConnectRequest("new"));
  EXPECT_EQ(LastToPeer(5), (NoticeFields{"new", -1, KVX::GENERIC_ERROR}));
  ASSERT_TRUE(app.Write(ConnectRequest("mine")));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"mine", -1, KVX::CONNECTION_LOST}));
  EXPECT_EQ(debug.CountOf("ERROR: Channel table full; connect request refused."), 2u);
  FromPeer(ConnectRequest("peer 7"));
  EXPECT_EQ(LastToPeer(6), (NoticeFields{"peer 7", 7, KVX::CONNECTION_CONNECTED}));
  Sync(app);
  // Refused requests from the pipe never reached the peer.
  EXPECT_EQ(SentToPeer().Count(), 6u);
  EXPECT_EQ(Table().size(), ChannelTable::kMaxEntries);
}

TEST_F(ChannelTableLimitsTest, ClientEndDropsAChannelTheFarEndRefused) {
  Start(false);
  int pipe = -1;
  PipeClient& app = Connect(&pipe);
  ASSERT_TRUE(app.Write(ConnectRequest("wanted")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  FromPeer(Notice("wanted", -1, KVX::CONNECTION_LOST));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"wanted", -1, KVX::CONNECTION_LOST}));
  EXPECT_TRUE(Table().empty());
  // The far end's refusal as it is sent now: the holder hears the same.
  ASSERT_TRUE(app.Write(ConnectRequest("again")));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  FromPeer(Notice("again", -1, KVX::GENERIC_ERROR));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"again", -1, KVX::CONNECTION_LOST}));
  EXPECT_TRUE(Table().empty());
}

}  // namespace
}  // namespace kvxtest
