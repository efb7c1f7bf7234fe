// The two ways applications meet across a real session, the launch at the
// client end, properties, and what each side hears when the other leaves.
#include <gtest/gtest.h>

#include "extension/sdk/KvxSdk.h"
#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

using namespace Orvane::Extension::SDK;

SessionOptions At(const std::string& pipe) {
  SessionOptions options;
  options.pipeName = pipe;
  options.connectTimeoutMs = kWaitMs;
  return options;
}

TEST(RendezvousTest, ServerEndFirstLaunchesTheLinkAtTheClientEndAndBothConnect) {
  SessionHarness session;
  HostLaunch client;
  client.recordLaunches = true;
  ASSERT_TRUE(session.Start(HostLaunch(), client));

  RawApp serverApp(SessionHarness::ServerPipe());
  ASSERT_TRUE(serverApp.Connected());
  const std::string link = "kvx-app://viewer?doc=a b&x=1";
  ASSERT_TRUE(serverApp.Write(ConnectRequest("e2e.launch", link)));
  // The client end finds nobody yet: the server application waits, holding ID 0.
  EXPECT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.launch", kWaitMs), 0);

  // The client end opened the link once, as one argument, untouched.
  const auto deadline = std::chrono::steady_clock::now() + kLongWait;
  while (session.Launches().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(session.Launches(), link + "\n");

  // The "launched" application arrives and asks for the same channel.
  RawApp clientApp(SessionHarness::ClientPipe());
  ASSERT_TRUE(clientApp.Write(ConnectRequest("e2e.launch")));
  EXPECT_EQ(clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.launch", kWaitMs), 0);
  EXPECT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.launch", kWaitMs), 0);

  // A connect request without launch options launches nothing more.
  RawApp other(SessionHarness::ServerPipe());
  ASSERT_TRUE(other.Write(ConnectRequest("e2e.nolaunch")));
  EXPECT_EQ(other.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.nolaunch", kWaitMs), 1);
  EXPECT_EQ(session.Launches(), link + "\n");
  EXPECT_TRUE(session.StopCleanly());
}

TEST(RendezvousTest, ClientEndFirstLearnsItsIdFromTheServerEndThenBothConnect) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  auto clientSession = Session::Open(At(SessionHarness::ClientPipe()));
  ASSERT_TRUE(clientSession.Ok()) << clientSession.GetError().Message();
  auto clientChannel = (*clientSession)->OpenChannel("e2e.clientfirst");
  ASSERT_TRUE(clientChannel.Ok());
  ASSERT_FALSE(clientChannel->WaitForState(ChannelState::PendingPeer, kWaitMs));
  EXPECT_EQ(clientChannel->Id(), 0);

  auto serverSession = Session::Open(At(SessionHarness::ServerPipe()));
  ASSERT_TRUE(serverSession.Ok()) << serverSession.GetError().Message();
  auto serverChannel = (*serverSession)->OpenChannel("e2e.clientfirst");
  ASSERT_TRUE(serverChannel.Ok());
  ASSERT_FALSE(serverChannel->WaitConnected(kWaitMs));
  ASSERT_FALSE(clientChannel->WaitConnected(kWaitMs));
  EXPECT_EQ(serverChannel->Id(), 0);

  ASSERT_FALSE(serverChannel->Send("to the client"));
  auto atClient = clientChannel->Receive(kWaitMs);
  ASSERT_TRUE(atClient.Ok()) << atClient.GetError().Message();
  EXPECT_EQ(atClient->data, "to the client");
  ASSERT_FALSE(clientChannel->Send("to the server", 42));
  auto atServer = serverChannel->Receive(kWaitMs);
  ASSERT_TRUE(atServer.Ok()) << atServer.GetError().Message();
  EXPECT_EQ(atServer->data, "to the server");
  EXPECT_EQ(atServer->appValue, 42);
}

TEST(RendezvousTest, EachEndAnswersItsOwnProperties) {
  SessionHarness session;
  HostLaunch server, client;
  server.extraArgs = {"--window", "0x5001", "--window", "0x5002"};
  // One window alone is reported by its parent, which the plug-in learns from
  // the window manager of the host's process.
  client.extraArgs = {"--window", "300@77"};
  ASSERT_TRUE(session.Start(server, client));

  auto atServer = Session::Open(At(SessionHarness::ServerPipe()));
  auto atClient = Session::Open(At(SessionHarness::ClientPipe()));
  ASSERT_TRUE(atServer.Ok() && atClient.Ok());
  auto serverType = (*atServer)->GetProperty("KVXCoreType", kWaitMs);
  auto clientType = (*atClient)->GetProperty("KVXCoreType", kWaitMs);
  auto serverWindows = (*atServer)->GetProperty("Hwnds", kWaitMs);
  auto clientWindows = (*atClient)->GetProperty("Hwnds", kWaitMs);
  auto unknown = (*atServer)->GetProperty("NoSuchProperty", kWaitMs);
  ASSERT_TRUE(serverType.Ok() && clientType.Ok() && serverWindows.Ok() && clientWindows.Ok() &&
              unknown.Ok());
  EXPECT_EQ(*serverType, "Server");
  EXPECT_EQ(*clientType, "Client");
  EXPECT_EQ(*serverWindows, "[20481,20482]");
  EXPECT_EQ(*clientWindows, "[77]");
  EXPECT_EQ(*unknown, "");
}

TEST(RendezvousTest, TheFarEndHearsOfADisconnectAndOfAnApplicationThatIsGone) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  ASSERT_TRUE(serverApp.Write(ConnectRequest("e2e.leave")));
  ASSERT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.leave", kWaitMs), 0);
  ASSERT_TRUE(clientApp.Write(ConnectRequest("e2e.leave")));
  ASSERT_EQ(clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.leave", kWaitMs), 0);
  ASSERT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.leave", kWaitMs), 0);

  // The client application leaves the channel: it is told the channel is
  // lost; the server application that its channel waits for a peer again.
  ASSERT_TRUE(clientApp.Write(DisconnectRequest(0)));
  EXPECT_EQ(clientApp.AwaitNotice(KVX::CONNECTION_LOST, "e2e.leave", kWaitMs), 0);
  EXPECT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.leave", kWaitMs), 0);

  // It comes back, then its process goes away without a word.
  ASSERT_TRUE(clientApp.Write(ConnectRequest("e2e.leave")));
  EXPECT_EQ(clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.leave", kWaitMs), 0);
  EXPECT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.leave", kWaitMs), 0);
  clientApp.Close();
  // The server application is told which of its channels was lost.
  EXPECT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_LOST, "e2e.leave", kWaitMs), 0);
  EXPECT_TRUE(session.StopCleanly());
}

TEST(RendezvousTest, SixApplicationsAtOneEndAndASeventhServedWhenOneLeaves) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  std::vector<std::unique_ptr<RawApp>> servers, clients;
  for (int i = 0; i < 6; ++i) {
    const std::string name = "e2e.six." + std::to_string(i);
    servers.push_back(std::make_unique<RawApp>(SessionHarness::ServerPipe()));
    clients.push_back(std::make_unique<RawApp>(SessionHarness::ClientPipe()));
    ASSERT_TRUE(servers[i]->Write(ConnectRequest(name)));
    ASSERT_EQ(servers[i]->AwaitNotice(KVX::CONNECTION_PENDING_PEER, name, kWaitMs), i);
    ASSERT_TRUE(clients[i]->Write(ConnectRequest(name)));
    ASSERT_EQ(clients[i]->AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), i);
    ASSERT_EQ(servers[i]->AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), i);
  }
  // All six pairs carry their own data at once.
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(servers[i]->Write(TransferRequest(i, "s" + std::to_string(i), false)));
    ASSERT_TRUE(clients[i]->Write(TransferRequest(i, "c" + std::to_string(i), false)));
  }
  for (int i = 0; i < 6; ++i) {
    std::string got;
    ASSERT_TRUE(clients[i]->Next(&got, kWaitMs));
    EXPECT_EQ(got, TransferRequest(i, "s" + std::to_string(i), false));
    ASSERT_TRUE(servers[i]->Next(&got, kWaitMs));
    EXPECT_EQ(got, TransferRequest(i, "c" + std::to_string(i), false));
  }

  // A seventh application at the server end waits unserved...
  RawApp seventh(SessionHarness::ServerPipe());
  ASSERT_TRUE(seventh.Write(PropertyRequest("KVXCoreType")));
  std::string answer;
  EXPECT_FALSE(seventh.Next(&answer, 1500));
  // ...until one of the six leaves; its peer hears the loss.
  servers[2]->Close();
  EXPECT_EQ(clients[2]->AwaitNotice(KVX::CONNECTION_LOST, "e2e.six.2", kWaitMs), 2);
  ASSERT_TRUE(seventh.Next(&answer, kWaitMs));
  std::string value;
  ASSERT_TRUE(ParsePropertyAnswer(answer, &value));
  EXPECT_EQ(value, "Server");
  EXPECT_TRUE(session.StopCleanly());
}

}  // namespace
}  // namespace e2e
