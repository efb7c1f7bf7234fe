// What the bridge does with each message from the peer: answers to send,
// bytes to write to the local holder, table changes, launches.
#include "tests/bridge/BridgeFixture.h"

namespace kvxtest {
namespace {

class ChannelBridgePeerSideTest : public BridgeFixture {
 protected:
  // A message arriving from the peer.
  void FromPeer(const std::string& bytes) { bridge->QueuePcoipMessage(bytes); }

  void SetUpEnd(bool isServerEnd) {
    Start(isServerEnd);
    holder = &Connect(&holderPipe);
    other = &Connect(&otherPipe);
  }

  // The next message on the client's pipe, or "" when none came in time.
  std::string Next(PipeClient& client) {
    std::string message;
    EXPECT_TRUE(client.Read(&message));
    return message;
  }

  // Proves that the holder got nothing more from the peer side: data for a
  // channel it holds must be the next thing it reads.
  void ExpectPeerWroteNothingMore() {
    auto table = Table();
    table.push_back({"marker", 999, holderPipe});
    ChannelBridgeTestAccess::SetChannels(*bridge, table);
    const std::string marker = TransferData(999, "marker");
    FromPeer(marker);
    EXPECT_EQ(Next(*holder), marker);
    table.pop_back();
    ChannelBridgeTestAccess::SetChannels(*bridge, table);
  }

  int holderPipe = -1;
  int otherPipe = -1;
  PipeClient* holder = nullptr;
  PipeClient* other = nullptr;
};

TEST_F(ChannelBridgePeerSideTest, DataReachesTheHolderWholeAndNobodyElse) {
  SetUpEnd(true);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"A", 3, holderPipe}, {"B", 4, -1}});

  const std::string data = TransferData(3, std::string("\0payload\xFF", 9));
  FromPeer(data);
  EXPECT_EQ(Next(*holder), data);

  // An ID not in the table, an entry without a local client, and -1.
  FromPeer(TransferData(8, "nobody"));
  FromPeer(TransferData(4, "no client"));
  FromPeer(TransferData(-1, "no id"));
  EXPECT_TRUE(debug.WaitFor("ERROR: Invalid pipe ID.", 3));
  ExpectPeerWroteNothingMore();
  EXPECT_EQ(SentToPeer().Count(), 0u);
}

TEST_F(ChannelBridgePeerSideTest, ServerEndAnswersConnectRequestsAndHandsOutIds) {
  SetUpEnd(true);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"A", 0, holderPipe}});
  ChannelBridgeTestAccess::SetNextChannelId(*bridge, 1);

  // A name held here: connected, told to both sides.
  FromPeer(ConnectRequest("A"));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[0]), (NoticeFields{"A", 0, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(Next(*holder), SentToPeer().All()[0]);

  // A new name: an ID now, pending, nothing written here.
  FromPeer(ConnectRequest("B"));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[1]), (NoticeFields{"B", 1, KVX::CONNECTION_PENDING_PEER}));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 0, holderPipe}, {"B", 1, -1}}));

  // Asked again: connected with the same ID, though no local client holds it.
  FromPeer(ConnectRequest("B"));
  ASSERT_TRUE(SentToPeer().WaitForCount(3));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[2]), (NoticeFields{"B", 1, KVX::CONNECTION_CONNECTED}));
  EXPECT_TRUE(debug.WaitFor("ERROR: Invalid pipe ID."));
  EXPECT_EQ(Table().size(), 2u);
  ExpectPeerWroteNothingMore();
}

TEST_F(ChannelBridgePeerSideTest, ClientEndAnswersWithoutChangingItsTable) {
  SetUpEnd(false);
  const std::vector<ChannelEntry> table{{"waiting", -1, holderPipe}, {"known", 7, holderPipe}};
  ChannelBridgeTestAccess::SetChannels(*bridge, table);

  FromPeer(ConnectRequest("unknown"));
  FromPeer(ConnectRequest("waiting"));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[0]), (NoticeFields{"unknown", -1, KVX::CONNECTION_PENDING_PEER}));
  // Held here without an ID yet (both ends asked at once): it asks again,
  // which the server answers with the ID.
  EXPECT_EQ(SentToPeer().All()[1], ConnectRequest("waiting"));

  FromPeer(ConnectRequest("known"));
  ASSERT_TRUE(SentToPeer().WaitForCount(3));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[2]), (NoticeFields{"known", 7, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(Next(*holder), SentToPeer().All()[2]);
  EXPECT_EQ(Table(), table);
  ExpectPeerWroteNothingMore();
}

TEST_F(ChannelBridgePeerSideTest, ClientEndLaunchesOnlyWhenAskedAndReportsFailures) {
  SetUpEnd(false);
  {
    ShellCapture shell(33);
    FromPeer(ConnectRequestWithLaunch("A", KVX::LAUNCH_APP, "C:\\Apps\\viewer.exe --flag"));
    FromPeer(ConnectRequestWithLaunch("B", KVX::NO_LAUNCH_APP, "not me"));
    FromPeer(ConnectRequest("C"));
    FromPeer(ConnectRequestWithLaunch("D", KVX::LAUNCH_APP, ""));
    ASSERT_TRUE(SentToPeer().WaitForCount(4));
    ExpectPeerWroteNothingMore();
    ASSERT_TRUE(shell.WaitForLaunches(2));
    EXPECT_EQ(shell.Links(), (std::vector<std::string>{"C:\\Apps\\viewer.exe --flag", ""}));
    // The notices leave through the pipe worker, so a launch no longer waits
    // for its notice to be sent; they still go in the order asked, ahead of
    // anything the launched application writes to this end later.
    std::vector<std::string> answered;
    for (const std::string& bytes : SentToPeer().All()) answered.push_back(ReadNotice(bytes).name);
    EXPECT_EQ(answered, (std::vector<std::string>{"A", "B", "C", "D"}));
    EXPECT_EQ(debug.CountOf("ERROR: Unexpected execution result."), 0u);
  }
  {
    ShellCapture shell(2);
    FromPeer(ConnectRequestWithLaunch("E", KVX::LAUNCH_APP, "missing.exe"));
    EXPECT_TRUE(debug.WaitFor("ERROR: Unexpected execution result."));
    EXPECT_EQ(shell.Links(), std::vector<std::string>{"missing.exe"});
  }
  EXPECT_TRUE(Table().empty());
}

TEST_F(ChannelBridgePeerSideTest, ServerEndNeverLaunches) {
  SetUpEnd(true);
  ShellCapture shell(33);
  FromPeer(ConnectRequestWithLaunch("A", KVX::LAUNCH_APP, "app.exe"));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  ExpectPeerWroteNothingMore();
  EXPECT_TRUE(shell.Links().empty());
}

TEST_F(ChannelBridgePeerSideTest, APeerDisconnectLeavesTheChannelWaitingHere) {
  SetUpEnd(true);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"pending", -1, otherPipe}, {"A", 4, holderPipe}});

  FromPeer(DisconnectRequest(4));
  EXPECT_EQ(ReadNotice(Next(*holder)), (NoticeFields{"A", 4, KVX::CONNECTION_PENDING_PEER}));
  // An unknown ID never reaches the channel that has no ID yet; only the
  // one that names no channel at all is an error.
  FromPeer(DisconnectRequest(9));
  FromPeer(DisconnectRequest(-1));
  EXPECT_TRUE(debug.WaitFor("ERROR: Invalid pipe ID.", 1));
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"pending", -1, otherPipe}, {"A", 4, holderPipe}}));
  ExpectPeerWroteNothingMore();
  ExpectNothingMoreFor(*other);
  EXPECT_EQ(SentToPeer().Count(), 0u);
}

// Both applications leaving is the ordinary end of a transfer: the peer's
// leave meets a channel whose holder here left first, or one only the peer
// made here. Neither is an error, and nobody is written to.
TEST_F(ChannelBridgePeerSideTest, ThePeerLeavingAfterTheHolderHereIsNoError) {
  SetUpEnd(false);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"A", 4, holderPipe}, {"B", 5, -1}, {"C", 6, holderPipe}});
  ASSERT_TRUE(holder->Write(DisconnectRequest(4)));
  EXPECT_EQ(ReadNotice(Next(*holder)), (NoticeFields{"A", 4, KVX::CONNECTION_LOST}));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));

  FromPeer(DisconnectRequest(4));
  FromPeer(DisconnectRequest(5));
  // Handled in order: the data behind them is the next thing the holder reads.
  const std::string after = TransferData(6, "after");
  FromPeer(after);
  EXPECT_EQ(Next(*holder), after);
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"C", 6, holderPipe}}));
  EXPECT_EQ(debug.CountOf("ERROR: Invalid pipe ID."), 0u);
  EXPECT_EQ(SentToPeer().Count(), 1u);
}

TEST_F(ChannelBridgePeerSideTest, ALostChannelIsNamedToItsHolder) {
  SetUpEnd(false);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"first", 3, holderPipe}, {"A", 4, holderPipe}});

  FromPeer(Notice("whatever the peer says", 4, KVX::CONNECTION_LOST));
  EXPECT_EQ(ReadNotice(Next(*holder)), (NoticeFields{"A", 4, KVX::CONNECTION_LOST}));
  FromPeer(Notice("", 12, KVX::CONNECTION_LOST));
  EXPECT_TRUE(debug.WaitFor("ERROR: Invalid pipe ID."));
  ExpectPeerWroteNothingMore();
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"first", 3, holderPipe}, {"A", 4, holderPipe}}));
}

TEST_F(ChannelBridgePeerSideTest, ClientEndLearnsIdsFromEveryAnswerButLost) {
  SetUpEnd(false);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"A", -1, holderPipe}, {"B", 1, holderPipe}});

  const std::string pending = Notice("A", 7, KVX::CONNECTION_PENDING_PEER);
  FromPeer(pending);
  EXPECT_EQ(Next(*holder), pending);
  const std::string generic = Notice("B", 8, KVX::GENERIC_ERROR);
  FromPeer(generic);
  EXPECT_EQ(Next(*holder), generic);
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 7, holderPipe}, {"B", 8, holderPipe}}));
}

TEST_F(ChannelBridgePeerSideTest, ServerEndFillsInItsIdAndDropsOtherAnswers) {
  SetUpEnd(true);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"A", 5, holderPipe}, {"B", 2, holderPipe}});

  // The client end does not know the ID yet; the holder here gets it, with
  // whatever else the peer put into the answer (here an unknown field).
  auto wrap = [](const std::string& name, int64_t id) {
    KVX::ChannelConnectionResponse notice;
    notice.set_channel_name(name);
    notice.set_channel_id(id);
    notice.set_status(KVX::CONNECTION_PENDING_PEER);
    const std::string inner = notice.SerializeAsString() + std::string("\x98\x06\x01", 3);
    const std::string response = "\x5A" + std::string(1, static_cast<char>(inner.size())) + inner;
    return "\xF2\x01" + std::string(1, static_cast<char>(response.size())) + response;
  };
  FromPeer(wrap("A", -1));
  EXPECT_EQ(Next(*holder), wrap("A", 5));

  FromPeer(Notice("B", 9, KVX::RESULT_SUCCESS));
  FromPeer(Notice("B", 9, KVX::GENERIC_ERROR));
  const std::string connected = Notice("B", 2, KVX::CONNECTION_CONNECTED);
  FromPeer(connected);
  EXPECT_EQ(Next(*holder), connected);
  EXPECT_EQ(Table(), (std::vector<ChannelEntry>{{"A", 5, holderPipe}, {"B", 2, holderPipe}}));
  EXPECT_TRUE(debug.Texts().empty());
}

TEST_F(ChannelBridgePeerSideTest, MessagesThePeerShouldNotSendAreDropped) {
  SetUpEnd(true);
  FromPeer(PropertyRequest("KVXCoreType"));
  KVX::Message answer;
  answer.mutable_response()->mutable_get_property_response()->set_property_name("x");
  FromPeer(answer.SerializeAsString());
  KVX::Message emptyRequest;
  emptyRequest.mutable_request();
  FromPeer(emptyRequest.SerializeAsString());
  FromPeer("");
  FromPeer(std::string("\x00garbage", 8));  // a tag of 0: nothing understood
  ASSERT_TRUE(debug.WaitFor("ERROR: PCoiP parse error."));
  ExpectPeerWroteNothingMore();
  EXPECT_EQ(debug.Texts(),
            (std::vector<std::string>{"WARNING: Unexpected request case.",
                                      "WARNING: Unexpected response case.",
                                      "WARNING: Unexpected request case.",
                                      "ERROR: PCoiP parse error."}));
  EXPECT_EQ(SentToPeer().Count(), 0u);
}

}  // namespace
}  // namespace kvxtest
