// Two bridges joined back to back, as the two ends of one session: what one
// sends to its peer is queued on the other. Applications on real pipes at both
// ends meet on a channel name in either order, exchange data, and part.
#include <atomic>
#include <mutex>

#include "tests/bridge/BridgeTestSupport.h"

#include <gtest/gtest.h>

#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

namespace kvxtest {
namespace {

const char kServerPipe[] = "\\\\.\\pipe\\KVX_Server_End";
const char kClientPipe[] = "\\\\.\\pipe\\KVX_Client_End";

// Whether the client end's channel to the server end is open; while it is
// not, the client end's pipe worker takes nothing.
std::atomic<bool> clientLinkOpen{true};
bool ClientLinkOpen() { return clientLinkOpen.load(); }

class ChannelBridgeRendezvousTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PeerLink::Join(server.get(), client.get());
    clientLinkOpen = true;
    ASSERT_TRUE(server->InitializeWith(true, kServerPipe, &PeerLink::ServerSendsToPeer, &TestProperties));
    ASSERT_TRUE(client->InitializeWith(false, kClientPipe, &PeerLink::ClientSendsToPeer, &TestProperties,
                                       &ClientLinkOpen));
  }

  void TearDown() override {
    serverApp.reset();
    clientApp.reset();
    PeerLink::DetachBoth();
    client.reset();
    server.reset();
  }

  static NoticeFields NextNotice(PipeClient& app) {
    std::string bytes;
    EXPECT_TRUE(app.Read(&bytes));
    return ReadNotice(bytes);
  }
  // The next message that is not a connection notice.
  static std::string NextData(PipeClient& app) {
    std::string bytes;
    while (app.Read(&bytes) && ReadNotice(bytes).status != -1) {
    }
    return bytes;
  }

  // Data written by either application reaches the other byte for byte.
  void ExpectDataCrossesBothWays(int64_t channelId) {
    const std::string toClient = TransferData(channelId, std::string("\0server\xFF", 8));
    ASSERT_TRUE(serverApp->Write(toClient));
    std::string received;
    ASSERT_TRUE(clientApp->Read(&received));
    EXPECT_EQ(received, toClient);

    const std::string toServer = TransferData(channelId, std::string(100000, '\x7F'));
    ASSERT_TRUE(clientApp->Write(toServer));
    ASSERT_TRUE(serverApp->Read(&received));
    EXPECT_EQ(received, toServer);
  }

  ScopedPipeDir pipeDir;
  CoutCapture console;
  DebugCapture debug;
  ChannelBridgeTestAccess::Owned server = ChannelBridgeTestAccess::Create();
  ChannelBridgeTestAccess::Owned client = ChannelBridgeTestAccess::Create();
  std::unique_ptr<PipeClient> serverApp;
  std::unique_ptr<PipeClient> clientApp;
};

TEST_F(ChannelBridgeRendezvousTest, ApplicationAtTheServerEndFirst) {
  ShellCapture shell(42);
  serverApp = std::make_unique<PipeClient>(kServerPipe);
  ASSERT_TRUE(serverApp->Write(ConnectRequestWithLaunch("A", KVX::LAUNCH_APP, "viewer.exe")));

  // The client end has no A yet: it launches the link and says "pending"; the
  // server end tells its application the ID it handed out.
  EXPECT_EQ(NextNotice(*serverApp), (NoticeFields{"A", 0, KVX::CONNECTION_PENDING_PEER}));
  ASSERT_TRUE(shell.WaitForLaunches(1));
  EXPECT_EQ(shell.Links(), std::vector<std::string>{"viewer.exe"});

  // The launched application asks for A at the client end.
  clientApp = std::make_unique<PipeClient>(kClientPipe);
  ASSERT_TRUE(clientApp->Write(ConnectRequest("A")));
  EXPECT_EQ(NextNotice(*serverApp), (NoticeFields{"A", 0, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"A", 0, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(ChannelBridgeTestAccess::Channels(*client)[0].channelId, 0);

  ExpectDataCrossesBothWays(0);

  // The client application closes the channel: it is told "lost" by its own
  // end, its partner that the channel waits for a peer again.
  ASSERT_TRUE(clientApp->Write(DisconnectRequest(0)));
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"A", 0, KVX::CONNECTION_LOST}));
  EXPECT_EQ(NextNotice(*serverApp), (NoticeFields{"A", 0, KVX::CONNECTION_PENDING_PEER}));
  EXPECT_TRUE(ChannelBridgeTestAccess::Channels(*client).empty());
  EXPECT_EQ(ChannelBridgeTestAccess::Channels(*server).size(), 1u);
  EXPECT_TRUE(debug.Texts().empty());
}

TEST_F(ChannelBridgeRendezvousTest, ApplicationAtTheClientEndFirst) {
  clientApp = std::make_unique<PipeClient>(kClientPipe);
  ASSERT_TRUE(clientApp->Write(ConnectRequest("A")));
  // The server end hands out the ID at once; the client end learns it.
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"A", 0, KVX::CONNECTION_PENDING_PEER}));

  serverApp = std::make_unique<PipeClient>(kServerPipe);
  ASSERT_TRUE(serverApp->Write(ConnectRequest("A")));
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"A", 0, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(NextNotice(*serverApp), (NoticeFields{"A", 0, KVX::CONNECTION_CONNECTED}));

  ExpectDataCrossesBothWays(0);

  // The server application goes away: its end drops the channel and the
  // client application learns which channel it lost.
  serverApp->Close();
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"A", 0, KVX::CONNECTION_LOST}));
  EXPECT_TRUE(ChannelBridgeTestAccess::Channels(*server).empty());
  EXPECT_EQ(ChannelBridgeTestAccess::Channels(*client).size(), 1u);
  EXPECT_TRUE(debug.Texts().empty());
}

TEST_F(ChannelBridgeRendezvousTest, TwoChannelsOfOneApplicationStayApart) {
  clientApp = std::make_unique<PipeClient>(kClientPipe);
  serverApp = std::make_unique<PipeClient>(kServerPipe);
  ASSERT_TRUE(clientApp->Write(ConnectRequest("first")));
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"first", 0, KVX::CONNECTION_PENDING_PEER}));
  ASSERT_TRUE(clientApp->Write(ConnectRequest("second")));
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"second", 1, KVX::CONNECTION_PENDING_PEER}));
  ASSERT_TRUE(serverApp->Write(ConnectRequest("second")));
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"second", 1, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(NextNotice(*serverApp), (NoticeFields{"second", 1, KVX::CONNECTION_CONNECTED}));

  ExpectDataCrossesBothWays(1);
  // Data for the channel nobody at the server end holds goes nowhere.
  ASSERT_TRUE(clientApp->Write(TransferData(0, "unheard")));
  EXPECT_TRUE(debug.WaitFor("ERROR: Invalid pipe ID."));
}

// Six applications at each end, each asking for one name more than its quota:
// every one of them gets its whole quota, the client end's too, whose names
// all take entries of the server end's share for the peer; only the one
// request beyond each quota is refused, by the requester's own end.
TEST_F(ChannelBridgeRendezvousTest, SixApplicationsAtEachEndGetTheirWholeQuota) {
  const size_t quota = ChannelTable::kMaxEntriesPerApplication;
  std::vector<std::unique_ptr<PipeClient>> apps;
  for (const bool atServer : {false, true}) {
    for (int i = 0; i < ChannelBridge::kPipeServerCount; ++i) {
      apps.push_back(std::make_unique<PipeClient>(atServer ? kServerPipe : kClientPipe));
      PipeClient& app = *apps.back();
      const std::string prefix = (atServer ? "s" : "c") + std::to_string(i) + ".";
      for (size_t n = 0; n <= quota; ++n) ASSERT_TRUE(app.Write(ConnectRequest(prefix + std::to_string(n))));
      size_t granted = 0;
      size_t refused = 0;
      for (size_t n = 0; n <= quota; ++n) {
        const NoticeFields notice = NextNotice(app);
        granted += notice.status == KVX::CONNECTION_PENDING_PEER && notice.channelId >= 0 ? 1 : 0;
        refused += notice.status == KVX::CONNECTION_LOST && notice.channelId == -1 ? 1 : 0;
      }
      EXPECT_EQ(granted, quota) << prefix;
      EXPECT_EQ(refused, 1u) << prefix;
    }
  }
  const size_t six = ChannelBridge::kPipeServerCount;
  EXPECT_EQ(ChannelBridgeTestAccess::Channels(*client).size(), six * quota);
  EXPECT_EQ(ChannelBridgeTestAccess::Channels(*server).size(), 2 * six * quota);
  EXPECT_LT(ChannelBridgeTestAccess::Channels(*server).size(), ChannelTable::kMaxEntries);
  EXPECT_EQ(debug.CountOf("ERROR: Channel table full; connect request refused."), 2 * six);
}

// Only a channel's holder sends data on it. An application that never asked
// for the channel writes into the void, at either end, and so does one whose
// channel another has taken over, from the takeover on. What the previous
// holder wrote before it still arrives, though the newcomer's request is
// handled first, and so does what a holder writes just before it leaves.
TEST_F(ChannelBridgeRendezvousTest, DataGoesOnlyFromTheChannelsHolder) {
  serverApp = std::make_unique<PipeClient>(kServerPipe);
  clientApp = std::make_unique<PipeClient>(kClientPipe);
  ASSERT_TRUE(serverApp->Write(ConnectRequest("A")));
  EXPECT_EQ(NextNotice(*serverApp), (NoticeFields{"A", 0, KVX::CONNECTION_PENDING_PEER}));
  ASSERT_TRUE(clientApp->Write(ConnectRequest("A")));
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"A", 0, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(NextNotice(*serverApp), (NoticeFields{"A", 0, KVX::CONNECTION_CONNECTED}));

  PipeClient serverIntruder(kServerPipe);
  PipeClient clientIntruder(kClientPipe);
  ASSERT_TRUE(serverIntruder.Write(TransferData(0, "not theirs")));
  ASSERT_TRUE(clientIntruder.Write(TransferData(0, "not theirs")));
  ASSERT_TRUE(debug.WaitFor(ChannelBridgeText::kDataFromNonHolder, 2));
  ExpectDataCrossesBothWays(0);

  // The holder's data waits at the client end (its channel to the server end
  // is closed) when a newcomer takes the channel over; then the holder writes
  // once more.
  clientLinkOpen = false;
  std::vector<std::string> beforeTakeover;
  size_t queued = 0;
  for (unsigned i = 0; i < 3; ++i) {
    beforeTakeover.push_back(TransferData(0, PatternBytes(200000, i)));
    queued += QueuedBytesOf(beforeTakeover.back());
    ASSERT_TRUE(clientApp->Write(beforeTakeover.back()));
  }
  const auto queuedAtClient = [this] { return ChannelBridgeTestAccess::PipeQueueBytes(*client); };
  ASSERT_TRUE(WaitUntil([&] { return queuedAtClient() >= queued; }));
  PipeClient newcomer(kClientPipe);
  ASSERT_TRUE(newcomer.Write(ConnectRequest("A")));
  queued += QueuedBytesOf(ConnectRequest("A"));
  ASSERT_TRUE(WaitUntil([&] { return queuedAtClient() >= queued; }));
  ASSERT_TRUE(clientApp->Write(TransferData(0, "after the takeover")));
  queued += QueuedBytesOf(TransferData(0, "after the takeover"));
  ASSERT_TRUE(WaitUntil([&] { return queuedAtClient() >= queued; }));
  clientLinkOpen = true;
  client->WakePipeWorker();

  for (const std::string& data : beforeTakeover) EXPECT_TRUE(NextData(*serverApp) == data);
  EXPECT_EQ(NextNotice(*clientApp), (NoticeFields{"A", 0, KVX::CONNECTION_LOST}));
  EXPECT_EQ(NextNotice(newcomer), (NoticeFields{"A", 0, KVX::CONNECTION_CONNECTED}));
  ASSERT_TRUE(debug.WaitFor(ChannelBridgeText::kDataFromNonHolder, 3));

  const std::string lastWords = TransferData(0, "last words");
  ASSERT_TRUE(newcomer.Write(lastWords));
  newcomer.Close();
  EXPECT_EQ(NextData(*serverApp), lastWords);
  EXPECT_EQ(debug.CountOf(ChannelBridgeText::kDataFromNonHolder), 3u);
}

}  // namespace
}  // namespace kvxtest
