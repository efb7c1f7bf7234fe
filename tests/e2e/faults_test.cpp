// A session whose host misbehaves: the channel closed and reopened under the
// applications, datagrams lost, sends refused, reads answered "empty". The
// plug-ins must not crash or hang, and no application may ever receive a
// message that is not exactly one that was sent.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

std::string Payload(uint32_t seed, size_t size) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Pairs two applications on `name`, asking again while requests are lost.
int64_t PairDespiteFaults(RawApp& serverApp, RawApp& clientApp, const std::string& name) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    serverApp.Write(ConnectRequest(name));
    clientApp.Write(ConnectRequest(name));
    const int64_t id = clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, 3000);
    if (id >= 0) return id;
  }
  return -2;
}

// Pairs two applications on the first channel of the session, ID 0, the
// server end's asking first.
void PairOnTheFirstChannel(RawApp& serverApp, RawApp& clientApp, const std::string& name) {
  ASSERT_TRUE(serverApp.Write(ConnectRequest(name)));
  ASSERT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_PENDING_PEER, name, kWaitMs), 0);
  ASSERT_TRUE(clientApp.Write(ConnectRequest(name)));
  ASSERT_EQ(clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), 0);
  ASSERT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), 0);
}

TEST(FaultsTest, TrafficResumesAfterTheHostClosesAndReopensTheChannel) {
  SessionHarness session;
  HostLaunch server;
  server.extraArgs = {"--close-after", "4000", "--reopen-after", "1000"};
  ASSERT_TRUE(session.Start(server));
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  ASSERT_NO_FATAL_FAILURE(PairOnTheFirstChannel(serverApp, clientApp, "e2e.reopen"));

  // Both ends see the channel closed (events 2 and 3) and opened again with
  // a new connect event.
  ASSERT_TRUE(session.WaitForLog(true, "channel open", 2));
  ASSERT_TRUE(session.WaitForLog(false, "channel open", 2));
  EXPECT_EQ(session.CountLog(false, "the other end closes the channel"), 1);
  EXPECT_NE(session.Log(true).find("CLOSE_PENDING"), std::string::npos);

  // Each application is told that the far side went, keeps its channel and
  // meets the other again on the same ID; data then flows again both ways.
  for (RawApp* app : {&serverApp, &clientApp}) {
    ASSERT_EQ(app->AwaitNotice(KVX::CONNECTION_LOST, "e2e.reopen", kWaitMs), 0);
    ASSERT_EQ(app->AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.reopen", kWaitMs), 0);
  }
  const std::string toClient = TransferRequest(0, Payload(1, 50000), true);
  const std::string toServer = TransferRequest(0, Payload(2, 7000), false);
  ASSERT_TRUE(serverApp.Write(toClient));
  ASSERT_TRUE(clientApp.Write(toServer));
  std::string got;
  ASSERT_TRUE(clientApp.Next(&got, kWaitMs));
  EXPECT_TRUE(got == toClient);
  ASSERT_TRUE(serverApp.Next(&got, kWaitMs));
  EXPECT_TRUE(got == toServer);
  EXPECT_TRUE(session.StopCleanly());
}

// What applications write while the channel is closed (as before it first
// opens) waits at their end: two that ask for one name then meet once it opens
// again, and what one wrote on its channel and its leaving arrive in order.
TEST(FaultsTest, WhatApplicationsWriteWhileTheChannelIsClosedGoesInOrderWhenItOpens) {
  SessionHarness session;
  HostLaunch server;
  server.extraArgs = {"--close-after", "3000", "--reopen-after", "3000"};
  ASSERT_TRUE(session.Start(server));
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  ASSERT_NO_FATAL_FAILURE(PairOnTheFirstChannel(serverApp, clientApp, "e2e.before"));

  ASSERT_TRUE(session.WaitForLog(true, "PCOIP_VCHAN_EVENT_CLOSED"));
  ASSERT_TRUE(session.WaitForLog(false, "PCOIP_VCHAN_EVENT_CLOSED"));
  const std::string held = TransferRequest(0, "written while closed", false);
  ASSERT_TRUE(serverApp.Write(held));
  ASSERT_TRUE(serverApp.Write(DisconnectRequest(0)));
  RawApp serverNewcomer(SessionHarness::ServerPipe());
  RawApp clientNewcomer(SessionHarness::ClientPipe());
  ASSERT_TRUE(serverNewcomer.Write(ConnectRequest("e2e.closed")));
  ASSERT_TRUE(clientNewcomer.Write(ConnectRequest("e2e.closed")));

  // Both were told at the closing that the far side went; the client end
  // gave its ID back, and asks for the channel again once the channel opens.
  // The held data arrives only if the two ends agreed on the ID again before
  // it crossed; if it does, it is whole and before the server application's
  // leaving.
  EXPECT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_LOST, "e2e.before", kWaitMs), 0);
  EXPECT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_LOST, "e2e.before", kWaitMs), 0)
      << "the leaving is confirmed";
  std::string got, name;
  int64_t id = -1;
  KVX::ResultCode status = KVX::RESULT_SUCCESS;
  EXPECT_TRUE(clientApp.Next(&got, kWaitMs) && ParseNotice(got, &name, &id, &status) &&
              status == KVX::CONNECTION_LOST && id == 0);
  while (clientApp.Next(&got, kWaitMs)) {
    if (!ParseNotice(got, &name, &id, &status)) {
      EXPECT_TRUE(got == held);
      continue;
    }
    if (status == KVX::CONNECTION_PENDING_PEER) break;
  }
  EXPECT_EQ(status, KVX::CONNECTION_PENDING_PEER) << "the server application's leaving";
  const int64_t closed = serverNewcomer.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.closed", kWaitMs);
  EXPECT_GE(closed, 1);
  EXPECT_EQ(clientNewcomer.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.closed", kWaitMs), closed);
  EXPECT_EQ(session.CountLog(true, "channel open"), 2);
  EXPECT_TRUE(session.StopCleanly());
}

// Over an emulated link (delay, jitter, a rate), which the faults strike on top of.
TEST(FaultsTest, UnderInjectedFaultsEveryMessageThatArrivesIsOneThatWasSent) {
  SessionHarness session;
  HostLaunch server, client;
  server.extraArgs = {"--drop-every", "13", "--fail-send-every", "17", "--empty-read-every", "5",
                      "--close-after", "3000", "--reopen-after", "300", "--close-count", "0"};
  client.extraArgs = {"--drop-every", "11", "--fail-send-every", "19", "--empty-read-every", "7"};
  for (HostLaunch* end : {&server, &client}) {
    end->extraArgs.insert(end->extraArgs.end(), {"--link-delay", "3", "--link-jitter", "4", "--link-rate", "200"});
  }
  ASSERT_TRUE(session.Start(server, client));
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = PairDespiteFaults(serverApp, clientApp, "e2e.faults");
  ASSERT_GE(id, 0);

  // Messages of one to a few dozen datagrams, each different, both ways.
  std::set<std::string> sentByServer, sentByClient;
  for (uint32_t i = 0; i < 120; ++i) {
    const size_t size = 1 + (i * 7919u) % 60000;
    std::string fromServer = TransferRequest(id, Payload(2 * i, size), i % 3 == 0);
    std::string fromClient = TransferRequest(id, Payload(2 * i + 1, size), i % 3 == 1);
    serverApp.Write(fromServer);
    clientApp.Write(fromClient);
    sentByServer.insert(std::move(fromServer));
    sentByClient.insert(std::move(fromClient));
  }
  // Take what arrives until no data has come for a while. The channel keeps
  // closing and opening, and each time the applications are told so: those
  // notices do not count.
  auto drain = [](RawApp& app, const std::set<std::string>& sentByPeer, int* matched) {
    using Clock = std::chrono::steady_clock;
    std::string got, name;
    int64_t noticeId = 0;
    KVX::ResultCode status;
    auto quietUntil = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(quietUntil - Clock::now());
      if (left.count() <= 0 || !app.Next(&got, static_cast<uint32_t>(left.count()))) break;
      if (ParseNotice(got, &name, &noticeId, &status)) continue;
      quietUntil = Clock::now() + std::chrono::seconds(5);
      if (sentByPeer.count(got) == 1) {
        ++*matched;
      } else {
        ADD_FAILURE() << got.size() << " bytes arrived that the other application never sent";
      }
    }
  };
  int atClient = 0, atServer = 0;
  drain(clientApp, sentByServer, &atClient);
  drain(serverApp, sentByClient, &atServer);
  // Faults cost messages, but not all of them.
  EXPECT_GT(atClient, 0);
  EXPECT_GT(atServer, 0);
  EXPECT_GT(session.CountLog(true, "fault injection: closing"), 0);
  EXPECT_EQ(session.CountLog(false, "emulated link: 3 ms one way plus up to 4 ms, 200 Mbit/s"), 1);

  // Both plug-ins still answer, and both hosts end cleanly.
  RawApp probe(SessionHarness::ClientPipe());
  ASSERT_TRUE(probe.Write(PropertyRequest("KVXCoreType")));
  std::string answer, value;
  ASSERT_TRUE(probe.Next(&answer, kWaitMs));
  ASSERT_TRUE(ParsePropertyAnswer(answer, &value));
  EXPECT_EQ(value, "Client");
  EXPECT_TRUE(session.StopCleanly());
}

}  // namespace
}  // namespace e2e
