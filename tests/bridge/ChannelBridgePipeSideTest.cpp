// What the bridge does with messages from local applications and with an
// application's pipe connection closing.
#include <thread>

#include "tests/bridge/BridgeFixture.h"

namespace kvxtest {
namespace {

using ChannelBridgePipeSideTest = BridgeFixture;

TEST_F(ChannelBridgePipeSideTest, ServerEndHandsOutIdsAndMovesAChannelToTheLastAsker) {
  Start(true);
  int first = -1;
  int second = -1;
  PipeClient& a = Connect(&first);
  PipeClient& b = Connect(&second);

  const std::string connectA = ConnectRequest("A");
  ASSERT_TRUE(a.Write(connectA));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 0, first}}));
  ASSERT_TRUE(b.Write(ConnectRequest("B")));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 0, first}, {"B", 1, second}}));

  // Asking again for A from the other pipe moves it there; no new ID.
  ASSERT_TRUE(b.Write(connectA));
  ASSERT_TRUE(SentToPeer().WaitForCount(3));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 0, second}, {"B", 1, second}}));
  EXPECT_EQ(SentToPeer().All(), (std::vector<std::string>{connectA, ConnectRequest("B"), connectA}));

  // The previous holder is told it lost A; the answers to the requests come
  // from the far end, never from this one.
  std::string lost;
  ASSERT_TRUE(a.Read(&lost));
  EXPECT_EQ(ReadNotice(lost), (NoticeFields{"A", 0, KVX::CONNECTION_LOST}));
  ExpectNothingMoreFor(a);
  ExpectNothingMoreFor(b);
}

TEST_F(ChannelBridgePipeSideTest, ClientEndRegistersWithoutAnId) {
  Start(false);
  int pipeId = -1;
  PipeClient& client = Connect(&pipeId);
  ASSERT_TRUE(client.Write(ConnectRequest("A")));
  ASSERT_TRUE(client.Write(ConnectRequest("")));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", -1, pipeId}, {"", -1, pipeId}}));
  ExpectNothingMoreFor(client);
}

TEST_F(ChannelBridgePipeSideTest, DisconnectRequestsAnswerTheRequesterAndGoOn) {
  Start(true);
  int holderPipe = -1;
  int otherPipe = -1;
  PipeClient& holder = Connect(&holderPipe);
  PipeClient& other = Connect(&otherPipe);
  ASSERT_TRUE(holder.Write(ConnectRequest("A")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));

  // Only the holder closes a channel: another application is answered as for
  // an unknown ID, and neither the channel nor the peer hears of it.
  ASSERT_TRUE(other.Write(DisconnectRequest(0)));
  std::string answer;
  ASSERT_TRUE(other.Read(&answer));
  EXPECT_EQ(ReadNotice(answer), (NoticeFields{"", -1, KVX::CONNECTION_LOST}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 0, holderPipe}}));

  // Unknown IDs, -1 included, find nothing, and still go on.
  ASSERT_TRUE(other.Write(DisconnectRequest(7)));
  ASSERT_TRUE(other.Read(&answer));
  EXPECT_EQ(ReadNotice(answer), (NoticeFields{"", -1, KVX::CONNECTION_LOST}));

  ASSERT_TRUE(holder.Write(DisconnectRequest(0)));
  ASSERT_TRUE(holder.Read(&answer));
  EXPECT_EQ(ReadNotice(answer), (NoticeFields{"A", 0, KVX::CONNECTION_LOST}));
  EXPECT_TRUE(Table().empty());
  ASSERT_TRUE(SentToPeer().WaitForCount(3));
  EXPECT_EQ(SentToPeer().All(),
            (std::vector<std::string>{ConnectRequest("A"), DisconnectRequest(7), DisconnectRequest(0)}));
  ExpectNothingMoreFor(other);
}

TEST_F(ChannelBridgePipeSideTest, DisconnectForMinusOneLeavesAPendingChannelAlone) {
  Start(false);
  int waitingPipe = -1;
  int otherPipe = -1;
  PipeClient& waiting = Connect(&waitingPipe);
  PipeClient& other = Connect(&otherPipe);
  ASSERT_TRUE(waiting.Write(ConnectRequest("pending")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));

  ASSERT_TRUE(other.Write(DisconnectRequest(-1)));
  std::string answer;
  ASSERT_TRUE(other.Read(&answer));
  EXPECT_EQ(ReadNotice(answer), (NoticeFields{"", -1, KVX::CONNECTION_LOST}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"pending", -1, waitingPipe}}));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  EXPECT_EQ(SentToPeer().All()[1], DisconnectRequest(-1));
}

TEST_F(ChannelBridgePipeSideTest, PropertiesAreAnsweredOnTheSamePipeAndNeverSentOn) {
  Start(true);
  int pipeId = -1;
  PipeClient& client = Connect(&pipeId);

  for (const std::string name : {"KVXCoreType", "Hwnds", "NoSuchProperty"}) {
    ASSERT_TRUE(client.Write(PropertyRequest(name)));
    std::string answer;
    ASSERT_TRUE(client.Read(&answer));
    KVX::Message message;
    ASSERT_TRUE(message.ParseFromString(answer));
    ASSERT_TRUE(message.response().has_get_property_response());
    EXPECT_EQ(message.response().id(), 0u);
    EXPECT_EQ(message.response().get_property_response().property_name(), name);
    EXPECT_EQ(message.response().get_property_response().property_value(), TestProperties(name));
  }
  // Nothing crossed: the next forwarded message is the first one sent.
  Hold(3, pipeId);
  const std::string data = TransferData(3, "after");
  ASSERT_TRUE(client.Write(data));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  EXPECT_EQ(SentToPeer().All(), std::vector<std::string>{data});
}

TEST_F(ChannelBridgePipeSideTest, EverythingElseGoesToThePeerExactlyAsWritten) {
  Start(true);
  int pipeId = -1;
  PipeClient& client = Connect(&pipeId);

  const std::string unparsable("\xFF\xFF\xFF\x00garbage", 11);
  const std::string response = Notice("app wrote this", 12, KVX::GENERIC_ERROR);
  Hold(42, pipeId);
  const std::string transfer = TransferData(42, std::string("\0\x01\xFE", 3));  // unknown field too
  const std::string empty = KVX::Message().SerializeAsString() + std::string("\x08\x01", 2);
  for (const std::string& bytes : {unparsable, response, transfer, empty}) {
    ASSERT_TRUE(client.Write(bytes));
  }
  ASSERT_TRUE(SentToPeer().WaitForCount(4));
  EXPECT_EQ(SentToPeer().All(), (std::vector<std::string>{unparsable, response, transfer, empty}));
  EXPECT_EQ(debug.CountOf("ERROR: PCoiP parse error."), 1u);
  EXPECT_EQ(Table().size(), 1u);
  ExpectNothingMoreFor(client);
}

TEST_F(ChannelBridgePipeSideTest, AClientLeavingWithTwoChannelsTellsThePeerAboutBoth) {
  Start(true);
  int leavingPipe = -1;
  int stayingPipe = -1;
  Connect(&leavingPipe);
  PipeClient& staying = Connect(&stayingPipe);
  ChannelBridgeTestAccess::SetChannels(
      *bridge, {{"A", 5, leavingPipe}, {"C", 2, stayingPipe}, {"B", 6, leavingPipe}});

  clients.front()->Close();
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  EXPECT_EQ(SentToPeer().All(),
            (std::vector<std::string>{Notice("A", 5, KVX::CONNECTION_LOST),
                                      Notice("B", 6, KVX::CONNECTION_LOST)}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"C", 2, stayingPipe}}));

  // A client that holds nothing leaves quietly.
  int idlePipe = -1;
  Connect(&idlePipe);
  clients.back()->Close();
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(SentToPeer().All().empty());
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"C", 2, stayingPipe}}));
  ExpectNothingMoreFor(staying);
}

}  // namespace
}  // namespace kvxtest
