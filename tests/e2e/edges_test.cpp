// The rendezvous at its edges, seen by applications on the real pipes of a
// two-end session: a client that leaves with requests still queued, requests
// that cross, a comeback after a departure, a channel taken over, and a host
// whose reads and counts fail. The races are run many times over.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

// Sanitized builds run several times slower; fewer rounds still catch a
// race that strikes in most of them.
#ifdef KVX_E2E_SANITIZED
constexpr int kScale = 3;
#else
constexpr int kScale = 1;
#endif
constexpr int kCrossingRounds = 150 / kScale;  // 50 under sanitizers
constexpr int kRounds = 12 / kScale;

// What an application has heard of one channel, up to a given message.
struct Heard {
  KVX::ResultCode status = KVX::RESULT_SUCCESS;
  int64_t id = -2;
  bool arrived = false;
};

// Reads until `expected` arrives, keeping the last notice for `name` seen on
// the way; `heard` holds what the application had been told before.
Heard ReadUntil(RawApp& app, const std::string& expected, const std::string& name,
                Heard heard = Heard()) {
  std::string message, noticeName;
  int64_t id = 0;
  KVX::ResultCode status;
  heard.arrived = false;
  while (!heard.arrived && app.Next(&message, kWaitMs)) {
    if (ParseNotice(message, &noticeName, &id, &status)) {
      if (noticeName == name) heard.status = status, heard.id = id;
    } else {
      heard.arrived = message == expected;
    }
  }
  return heard;
}

Heard Connected(int64_t id) {
  Heard heard;
  heard.status = KVX::CONNECTION_CONNECTED;
  heard.id = id;
  return heard;
}

// The first notice for `name`, whatever its status.
Heard FirstNotice(RawApp& app, const std::string& name) {
  Heard heard;
  std::string message, noticeName;
  KVX::ResultCode status;
  int64_t id = 0;
  while (app.Next(&message, kWaitMs)) {
    if (ParseNotice(message, &noticeName, &id, &status) && noticeName == name) {
      heard.status = status, heard.id = id, heard.arrived = true;
      break;
    }
  }
  return heard;
}

TEST(EdgesTest, NothingMeantForADepartedClientReachesTheNextClientOfItsPipe) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  // Five of the server end's six instances stay busy, so every leaver and
  // its successor share the sixth.
  std::vector<std::unique_ptr<RawApp>> busy;
  for (int i = 0; i < 5; ++i) {
    busy.push_back(std::make_unique<RawApp>(SessionHarness::ServerPipe()));
    ASSERT_TRUE(busy.back()->Write(PropertyRequest("KVXCoreType")));
    std::string answer;
    ASSERT_TRUE(busy.back()->Next(&answer, kWaitMs));
  }
  RawApp farApp(SessionHarness::ClientPipe());

  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "e2e.gone." + std::to_string(round);
    const std::string sync = "e2e.sync." + std::to_string(round);
    {
      // Queues work (data on a channel of its own), asks for a channel and
      // leaves at once.
      RawApp leaver(SessionHarness::ServerPipe());
      ASSERT_TRUE(leaver.Connected());
      const std::string fill = "e2e.fill." + std::to_string(round);
      ASSERT_TRUE(leaver.Write(ConnectRequest(fill)));
      const int64_t fillId = leaver.AwaitNotice(KVX::CONNECTION_PENDING_PEER, fill, kWaitMs);
      ASSERT_GE(fillId, 0);
      const std::string filler = TransferRequest(fillId, std::string(4096, 'f'), false);
      for (int i = 0; i < 30; ++i) leaver.Write(filler);
      leaver.Write(ConnectRequest(name));
      leaver.Close();
    }
    RawApp successor(SessionHarness::ServerPipe());
    ASSERT_TRUE(successor.Connected());
    ASSERT_TRUE(busy[0]->Write(ConnectRequest(sync)));
    ASSERT_GE(busy[0]->AwaitNotice(KVX::CONNECTION_PENDING_PEER, sync, kWaitMs), 0);

    // The far application asks for the name and sends on whatever ID it hears.
    ASSERT_TRUE(farApp.Write(ConnectRequest(name)));
    const Heard heard = FirstNotice(farApp, name);
    ASSERT_TRUE(heard.arrived);
    if (heard.id >= 0) {
      ASSERT_TRUE(farApp.Write(TransferRequest(heard.id, "for " + name, false)));
    }
    // Once this far request has been handled at the server end, so has the data.
    ASSERT_TRUE(farApp.Write(ConnectRequest(sync)));
    ASSERT_GE(busy[0]->AwaitNotice(KVX::CONNECTION_CONNECTED, sync, kWaitMs), 0);

    // The successor asked for nothing: the first thing it reads is the
    // answer to its own question.
    ASSERT_TRUE(successor.Write(PropertyRequest("KVXCoreType")));
    std::string first, value;
    ASSERT_TRUE(successor.Next(&first, kWaitMs));
    ASSERT_TRUE(ParsePropertyAnswer(first, &value)) << "round " << round
        << ": the next client of the pipe read a message meant for the one that left";
  }
  EXPECT_TRUE(session.StopCleanly());
}

TEST(EdgesTest, CrossingConnectRequestsEndConnectedOnOneId) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  for (int round = 0; round < kCrossingRounds; ++round) {
    const std::string name = "e2e.cross." + std::to_string(round);
    ASSERT_TRUE(serverApp.Write(ConnectRequest(name)));
    ASSERT_TRUE(clientApp.Write(ConnectRequest(name)));
    const int64_t id = serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs);
    ASSERT_GE(id, 0) << "round " << round;
    ASSERT_EQ(clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), id);

    // Data each way; whatever either side was told before it must end CONNECTED.
    const std::string toClient = TransferRequest(id, "s" + name, false);
    const std::string toServer = TransferRequest(id, "c" + name, false);
    ASSERT_TRUE(serverApp.Write(toClient));
    ASSERT_TRUE(clientApp.Write(toServer));
    const Heard atServer = ReadUntil(serverApp, toServer, name, Connected(id));
    const Heard atClient = ReadUntil(clientApp, toClient, name, Connected(id));
    ASSERT_TRUE(atServer.arrived && atClient.arrived) << "round " << round;
    EXPECT_EQ(atServer.status, KVX::CONNECTION_CONNECTED) << "round " << round;
    EXPECT_EQ(atClient.status, KVX::CONNECTION_CONNECTED) << "round " << round;
    EXPECT_EQ(atServer.id, id);
    EXPECT_EQ(atClient.id, id);
  }
  EXPECT_TRUE(session.StopCleanly());
}

TEST(EdgesTest, AfterAComebackBothEndsAgreeOnTheServersId) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  const std::string name = "e2e.comeback";
  RawApp clientApp(SessionHarness::ClientPipe());
  auto serverApp = std::make_unique<RawApp>(SessionHarness::ServerPipe());
  ASSERT_TRUE(serverApp->Write(ConnectRequest(name)));
  ASSERT_TRUE(clientApp.Write(ConnectRequest(name)));
  ASSERT_GE(clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), 0);

  for (int round = 0; round < kRounds; ++round) {
    // The server application leaves; a new one and the client application
    // ask again at the same moment, the client end still holding the old ID.
    serverApp.reset();
    ASSERT_GE(clientApp.AwaitNotice(KVX::CONNECTION_LOST, name, kWaitMs), 0);
    serverApp = std::make_unique<RawApp>(SessionHarness::ServerPipe());
    ASSERT_TRUE(serverApp->Write(ConnectRequest(name)));
    ASSERT_TRUE(clientApp.Write(ConnectRequest(name)));
    const int64_t id = serverApp->AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs);
    ASSERT_GE(id, 0);

    // The server application's data tells the client the ID it must use.
    const std::string toClient = TransferRequest(id, "round " + std::to_string(round), false);
    ASSERT_TRUE(serverApp->Write(toClient));
    const Heard atClient = ReadUntil(clientApp, toClient, name);
    ASSERT_TRUE(atClient.arrived) << "round " << round;
    EXPECT_EQ(atClient.status, KVX::CONNECTION_CONNECTED);
    ASSERT_EQ(atClient.id, id) << "round " << round << ": the ends hold different IDs";
    const std::string toServer = TransferRequest(id, "back " + std::to_string(round), false);
    ASSERT_TRUE(clientApp.Write(toServer));
    const Heard atServer = ReadUntil(*serverApp, toServer, name, Connected(id));
    ASSERT_TRUE(atServer.arrived) << "round " << round;
    EXPECT_EQ(atServer.status, KVX::CONNECTION_CONNECTED);
    EXPECT_EQ(atServer.id, id);
  }
  EXPECT_TRUE(session.StopCleanly());
}

TEST(EdgesTest, AChannelTakenOverTellsItsPreviousHolder) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp holder(SessionHarness::ServerPipe());
  RawApp farApp(SessionHarness::ClientPipe());
  ASSERT_TRUE(holder.Write(ConnectRequest("e2e.taken")));
  ASSERT_TRUE(farApp.Write(ConnectRequest("e2e.taken")));
  const int64_t id = holder.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.taken", kWaitMs);
  ASSERT_GE(id, 0);

  RawApp newcomer(SessionHarness::ServerPipe());
  ASSERT_TRUE(newcomer.Write(ConnectRequest("e2e.taken")));
  EXPECT_EQ(holder.AwaitNotice(KVX::CONNECTION_LOST, "e2e.taken", kWaitMs), id);
  EXPECT_EQ(newcomer.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.taken", kWaitMs), id);
  // The far application's data now goes to the newcomer.
  const std::string data = TransferRequest(id, "to the newcomer", false);
  ASSERT_TRUE(farApp.Write(data));
  EXPECT_TRUE(ReadUntil(newcomer, data, "e2e.taken", Connected(id)).arrived);
  EXPECT_TRUE(session.StopCleanly());
}

// Writes a fresh message to `app` every few milliseconds until stopped.
class Sender {
 public:
  Sender(RawApp& app, int64_t id) : thread_([this, &app, id] {
      for (int i = 0; !stop_.load(); ++i) {
        app.Write(TransferRequest(id, "tick " + std::to_string(i), false));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }) {}
  ~Sender() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

int64_t PairUntilConnected(RawApp& serverApp, RawApp& clientApp, const std::string& name) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    serverApp.Write(ConnectRequest(name));
    clientApp.Write(ConnectRequest(name));
    const int64_t id = serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, 3000);
    if (id >= 0) return id;
  }
  return -2;
}

TEST(EdgesTest, ReceivingGoesOnAfterFailedCountsAndReads) {
  {
    // Every third count query fails, under steady traffic.
    SessionHarness session;
    HostLaunch server;
    server.extraArgs = {"--fail-count-every", "3"};
    ASSERT_TRUE(session.Start(server));
    RawApp serverApp(SessionHarness::ServerPipe());
    RawApp clientApp(SessionHarness::ClientPipe());
    const int64_t id = PairUntilConnected(serverApp, clientApp, "e2e.count");
    ASSERT_GE(id, 0);
    Sender sender(clientApp, id);
    ASSERT_TRUE(session.WaitForLog(true, "Error in pcoip_vchan_get_num_rx_dgrams call"));
    // Data goes on arriving long after the first failed count.
    const int failedBefore = session.CountLog(true, "fault injection: count failed");
    std::string message;
    int ticks = 0;
    while (ticks < 50 && serverApp.Next(&message, kWaitMs)) {
      ticks += message.find("tick") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(ticks, 50) << "the server end stopped receiving after a failed count";
    EXPECT_GT(session.CountLog(true, "fault injection: count failed"), failedBefore);
  }
  {
    // Every fifth read fails and loses its datagram; the rest of a burst
    // arrives without waiting for more traffic.
    SessionHarness session;
    HostLaunch client;
    client.extraArgs = {"--fail-read-every", "5"};
    ASSERT_TRUE(session.Start(HostLaunch(), client));
    RawApp serverApp(SessionHarness::ServerPipe());
    RawApp clientApp(SessionHarness::ClientPipe());
    const int64_t id = PairUntilConnected(serverApp, clientApp, "e2e.read");
    ASSERT_GE(id, 0);
    std::string message;
    while (clientApp.Next(&message, 1000)) {
    }
    const int failedBefore = session.CountLog(false, "fault injection: read failed");
    std::set<std::string> sent;
    for (int i = 0; i < 40; ++i) {
      sent.insert(TransferRequest(id, "burst " + std::to_string(i), false));
      ASSERT_TRUE(serverApp.Write(TransferRequest(id, "burst " + std::to_string(i), false)));
    }
    int received = 0;
    while (clientApp.Next(&message, 5000)) received += static_cast<int>(sent.count(message));
    const int failed = session.CountLog(false, "fault injection: read failed") - failedBefore;
    EXPECT_GT(failed, 0);
    EXPECT_EQ(received, 40 - failed) << "datagrams behind a failed read were held back";
    EXPECT_TRUE(session.StopCleanly());
  }
}

TEST(EdgesTest, HostsEndCleanlyWhileDatagramsArrive) {
  // Ready events keep coming while the plug-in exits; none may reach a
  // freed event (a sanitized build ends the host with an error if one does).
  for (int round = 0; round < kRounds / 3; ++round) {
    SessionHarness session;
    ASSERT_TRUE(session.Start());
    RawApp serverApp(SessionHarness::ServerPipe());
    RawApp clientApp(SessionHarness::ClientPipe());
    const int64_t id = PairUntilConnected(serverApp, clientApp, "e2e.exit");
    ASSERT_GE(id, 0);
    Sender toServer(clientApp, id);
    Sender toClient(serverApp, id);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(session.StopCleanly()) << "round " << round;
  }
}

}  // namespace
}  // namespace e2e
