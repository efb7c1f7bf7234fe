// One end of this build against a peer of an earlier build, whose answers the
// test plays by hand: the earlier server end answers every connect request
// with CONNECTED and its ID; the earlier client end answers a forwarded
// request with the ID it still holds, and adopts whatever ID a CONNECTED
// names.
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

TEST_F(ChannelBridgeInteropTest, ServerEndKeepsItsIdAgainstAnEarlierClientEndHoldingAStaleOne) {
  Start(true);
  int pipeId = -1;
  PipeClient& app = Connect(&pipeId);
  ChannelBridgeTestAccess::SetNextChannelId(*bridge, 5);
  ASSERT_TRUE(app.Write(ConnectRequest("A")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  ASSERT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 5, pipeId}}));

  // The client end still holds ID 2 from the application that left here.
  FromPeer(Notice("A", 2, KVX::CONNECTION_CONNECTED));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[1]), (NoticeFields{"A", 5, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"A", 5, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 5, pipeId}}));

  // It adopts 5 from that notice; its application's request and data follow.
  FromPeer(ConnectRequest("A"));
  ASSERT_TRUE(SentToPeer().WaitForCount(3));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[2]), (NoticeFields{"A", 5, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(ReadNotice(Next(app)), (NoticeFields{"A", 5, KVX::CONNECTION_CONNECTED}));
  FromPeer(TransferData(5, "from the client"));
  EXPECT_EQ(Next(app), TransferData(5, "from the client"));
  EXPECT_EQ(SentToPeer().Count(), 3u);
}

}  // namespace
}  // namespace kvxtest
