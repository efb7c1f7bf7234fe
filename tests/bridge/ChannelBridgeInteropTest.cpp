// One end of this build against a peer of an earlier build, whose answers the
// test plays by hand: the earlier server end answers every connect request
// with CONNECTED and its ID; the earlier client end answers a forwarded
// request with the ID it still holds, and adopts whatever ID a CONNECTED
// names; both take a CONNECTION_LOST by its ID alone.
#include "tests/bridge/BridgeFixture.h"

namespace kvxtest {
namespace {

class ChannelBridgeInteropTest : public BridgeFixture {
 protected:
  void FromPeer(const std::string& bytes) { bridge->QueuePcoipMessage(bytes); }
  std::string Next(PipeClient& client) {
    std::string message;
    EXPECT_TRUE(client.Read(&message));
    return message;
  }
};

TEST_F(ChannelBridgeInteropTest, ClientEndMeetsAnEarlierServerEndOnCrossingRequests) {
  Start(false);
  int pipeId = -1;
  PipeClient& app = Connect(&pipeId);
  ASSERT_TRUE(app.Write(ConnectRequest("A")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));

  // The server's application asked at the same moment: its request finds A
  // here without an ID, and this end asks again instead of saying "pending".
  FromPeer(ConnectRequest("A"));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  EXPECT_EQ(SentToPeer().All()[1], ConnectRequest("A"));

  // The earlier server answers both requests as it always did.
  FromPeer(Notice("A", 4, KVX::CONNECTION_CONNECTED));
  FromPeer(Notice("A", 4, KVX::CONNECTION_CONNECTED));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"A", 4, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"A", 4, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 4, pipeId}}));
  FromPeer(TransferData(4, "from the server"));
  EXPECT_EQ(Next(app), TransferData(4, "from the server"));
  EXPECT_EQ(SentToPeer().Count(), 2u) << "nothing more goes back: no loop";
}

TEST_F(ChannelBridgeInteropTest, ClientEndLearnsNothingFromAnAnswerWithoutAnId) {
  Start(false);
  int pipeId = -1;
  PipeClient& app = Connect(&pipeId);
  ASSERT_TRUE(app.Write(ConnectRequest("A")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  // A far end answering without an ID neither takes the channel's ID away
  // nor reaches the application; the answer with the ID does.
  FromPeer(Notice("A", -1, KVX::CONNECTION_PENDING_PEER));
  FromPeer(Notice("A", 4, KVX::CONNECTION_CONNECTED));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"A", 4, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 4, pipeId}}));
}

TEST_F(ChannelBridgeInteropTest, ServerEndTakesTheIdAnEarlierClientEndHoldsUnlessItCannot) {
  Start(true);
  int pipeId = -1;
  PipeClient& app = Connect(&pipeId);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"other", 3, -1}});
  ChannelBridgeTestAccess::SetNextChannelId(*bridge, 5);
  ASSERT_TRUE(app.Write(ConnectRequest("A")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));

  // The client end's application has held A as 2 since the one here left:
  // this end takes 2, so the holder there keeps its ID and nothing more goes back.
  FromPeer(Notice("A", 2, KVX::CONNECTION_CONNECTED));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"A", 2, KVX::CONNECTION_CONNECTED}));
  FromPeer(TransferData(2, "from the client"));
  EXPECT_EQ(Next(app), TransferData(2, "from the client"));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"other", 3, -1}, {"A", 2, pipeId}}));

  // Its ID for B is another channel's here (this end started afresh): this
  // end keeps 6 and says so; the earlier client end adopts it.
  ASSERT_TRUE(app.Write(ConnectRequest("B")));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  FromPeer(Notice("B", 3, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(SentToPeer().WaitForCount(3));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[2]), (NoticeFields{"B", 6, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"B", 6, KVX::CONNECTION_CONNECTED}));

  // Crossing requests for C: this end has answered with its ID 7 before the
  // stale 1 arrives, so it keeps 7 and says so again. One ID per name.
  ASSERT_TRUE(app.Write(ConnectRequest("C")));
  ASSERT_TRUE(SentToPeer().WaitForCount(4));
  FromPeer(ConnectRequest("C"));
  ASSERT_TRUE(SentToPeer().WaitForCount(5));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[4]), (NoticeFields{"C", 7, KVX::CONNECTION_CONNECTED}));
  FromPeer(Notice("C", 1, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(SentToPeer().WaitForCount(6));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[5]), (NoticeFields{"C", 7, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"C", 7, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"C", 7, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{
                         {"other", 3, -1}, {"A", 2, pipeId}, {"B", 6, pipeId}, {"C", 7, pipeId}}));
}

TEST_F(ChannelBridgeInteropTest, ARefusalReachesAnEarlierEndAsSomethingItCannotMisplace) {
  // An earlier client end would hand a LOST with the ID -1 to the first of
  // its channels still waiting for an ID, whoever holds it; any other status
  // it passes on unchanged, under the requested name. An earlier server end
  // drops it. So the refusal names the channel and is not a LOST.
  Start(true);
  std::vector<ChannelEntry> full;
  for (size_t i = 0; i < ChannelTable::kMaxEntries; ++i) {
    full.push_back({"peer " + std::to_string(i), static_cast<int64_t>(i), -1});
  }
  ChannelBridgeTestAccess::SetChannels(*bridge, full);
  FromPeer(ConnectRequest("new"));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[0]), (NoticeFields{"new", -1, KVX::GENERIC_ERROR}));
}

}  // namespace
}  // namespace kvxtest
