// Flow control across the link through a real session: with an end that
// does not offer it everything goes as before, and under injected losses no
// window shuts for good.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

// Bulk larger than any window, one message larger still, both ways at once.
void ExpectBulkByteForByteBothWays(RawApp& serverApp, RawApp& clientApp, int64_t id) {
  std::vector<std::string> messages;
  for (uint32_t i = 0; i < 48; ++i) messages.push_back(TransferRequest(id, RandomBytes(65536, i), false));
  messages.push_back(TransferRequest(id, RandomBytes(5 << 20, 99), true));
  messages.push_back(TransferRequest(id, "last", false));
  std::thread fromClient([&] {
    for (const std::string& message : messages) clientApp.Write(message);
  });
  for (const std::string& message : messages) ASSERT_TRUE(serverApp.Write(message));
  fromClient.join();
  for (RawApp* receiver : {&clientApp, &serverApp}) {
    for (size_t i = 0; i < messages.size(); ++i) {
      std::string got;
      ASSERT_TRUE(receiver->Next(&got, kWaitMs)) << "message " << i;
      ASSERT_TRUE(got == messages[i]) << "message " << i << ": " << got.size() << " bytes";
    }
  }
}

// A session in which one end loads `olderPlugin` (logging its statistics
// lines) and the other this build: two applications meet on `name` and bulk
// goes byte for byte both ways.
void ExpectBulkWithAnOlderEnd(SessionHarness& session, const std::string& olderPlugin,
                              bool olderIsServer, const std::string& name) {
  HostLaunch current, older;
  older.plugin = olderPlugin;
  older.extraArgs = {"--log-level", "2"};
  ASSERT_TRUE(olderIsServer ? session.Start(older, current) : session.Start(current, older));
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, clientApp, name, kWaitMs);
  ASSERT_EQ(id, 0);
  ExpectBulkByteForByteBothWays(serverApp, clientApp, id);
}

TEST(FlowTest, WithAnEndThatDoesNotOfferEverythingGoesAsBeforeEitherWayRound) {
  for (bool serverOffers : {false, true}) {
    SCOPED_TRACE(serverOffers ? "the client end does not offer" : "the server end does not offer");
    SessionHarness session;
    const bool silentIsServer = !serverOffers;
    ASSERT_NO_FATAL_FAILURE(
        ExpectBulkWithAnOlderEnd(session, PluginWithoutFlowOffer(), silentIsServer, "e2e.mixed"));

    // The end that offers says once that the peer did not; the other read
    // the offer as an empty message, once, and neither uses credit.
    EXPECT_EQ(session.CountLog(!silentIsServer, "the peer has not offered flow control"), 1);
    EXPECT_EQ(session.CountLog(!silentIsServer, "the peer offers"), 0);
    EXPECT_EQ(session.CountLog(silentIsServer, "to receive 0 bytes"), 1);
    EXPECT_EQ(session.CountLog(silentIsServer, "flow_control"), 0);
    EXPECT_TRUE(session.StopCleanly());
  }
}

// An older build of ours has flow control but neither pacing nor pieces: it
// reads the offer of them as an empty message, once per opening; nothing is
// paced, large messages stay whole, and credit is used as before.
TEST(FlowTest, WithAnEndThatHasFlowControlButNoPacingEverythingGoesAsBefore) {
  for (bool serverPaces : {false, true}) {
    SCOPED_TRACE(serverPaces ? "the client end does not pace" : "the server end does not pace");
    SessionHarness session;
    const bool olderIsServer = !serverPaces;
    ASSERT_NO_FATAL_FAILURE(
        ExpectBulkWithAnOlderEnd(session, PluginWithoutPacingOffer(), olderIsServer, "e2e.older"));

    for (bool server : {true, false}) {
      EXPECT_EQ(session.CountLog(server, "the peer offers flow control"), 1);
      EXPECT_EQ(session.CountLog(server, "feedback and interleaving"), 0);
    }
    EXPECT_EQ(session.CountLog(olderIsServer, "to receive 0 bytes"), 1);
    // The 5 MiB message arrived whole, in its own datagrams.
    EXPECT_EQ(session.CountLog(olderIsServer, "to receive 5242"), 1);
    EXPECT_TRUE(session.StopCleanly());
  }
}

TEST(FlowTest, BothEndsOfferAndUnderInjectedLossesNoWindowShutsForGood) {
  SessionHarness session;
  HostLaunch server, client;
  // Every 151st datagram lost at each end, credit datagrams among them, once
  // the channel is set up; each loss of data leaves the sender's count ahead
  // of the receiver's until the sender asks again.
  server.extraArgs = {"--drop-every", "151"};
  client.extraArgs = {"--drop-every", "151"};
  ASSERT_TRUE(session.Start(server, client));
  ASSERT_TRUE(session.WaitForLog(true, "the peer offers flow control"));
  ASSERT_TRUE(session.WaitForLog(false, "the peer offers flow control"));
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  int64_t id = -2;
  for (int attempt = 0; attempt < 5 && id < 0; ++attempt) {
    id = Pair(serverApp, clientApp, "e2e.loss." + std::to_string(attempt), kWaitMs);
  }
  ASSERT_GE(id, 0);

  // Eight windows' worth in 64 KiB messages, each naming its place: losses
  // alone would shut a window that never learnt of them after a few dozen.
  constexpr uint32_t kMessages = 256;
  std::thread sender([&] {
    for (uint32_t i = 0; i < kMessages; ++i) {
      clientApp.Write(TransferRequest(id, std::to_string(i) + ":" + std::string(65000, 'z'), false));
    }
  });
  uint32_t arrived = 0, highest = 0;
  std::string got;
  while (highest + 1 < kMessages && serverApp.Next(&got, 20000)) {
    const size_t colon = got.find(':');
    const size_t digits = got.find_first_of("0123456789");
    if (colon == std::string::npos || digits == std::string::npos || digits > colon) continue;
    const uint32_t index = static_cast<uint32_t>(std::stoul(got.substr(digits, colon - digits)));
    EXPECT_TRUE(arrived == 0 || index > highest) << "message " << index << " after " << highest;
    highest = index;
    ++arrived;
  }
  sender.join();
  EXPECT_GE(highest + 4, kMessages) << "the transfer stopped after message " << highest;
  EXPECT_GT(arrived, kMessages / 2);
  EXPECT_GT(session.CountLog(false, "fault injection") + session.CountLog(true, "fault injection"), 0);
  EXPECT_TRUE(session.StopCleanly());
}

// The client end goes and comes back while the server end stays: the staying
// end opens its channel afresh, both offer again, and credit starts over.
TEST(FlowTest, AFarEndThatComesBackIsOfferedAgainAndBulkStillFlowsBothWays) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  auto clientApp = std::make_unique<RawApp>(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, *clientApp, "e2e.back", kWaitMs);
  ASSERT_GE(id, 0);
  ExpectBulkByteForByteBothWays(serverApp, *clientApp, id);
  EXPECT_EQ(session.CountLog(true, "the peer offers flow control"), 1);

  clientApp.reset();
  session.EndHost(false);
  ASSERT_TRUE(session.StartAgain());
  ASSERT_TRUE(session.WaitForLog(true, "the peer offers flow control", 2));
  clientApp = std::make_unique<RawApp>(SessionHarness::ClientPipe());
  ASSERT_TRUE(clientApp->Write(ConnectRequest("e2e.back")));
  ASSERT_EQ(clientApp->AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.back", kWaitMs), id);
  ASSERT_EQ(serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.back", kWaitMs), id);
  ExpectBulkByteForByteBothWays(serverApp, *clientApp, id);
  EXPECT_TRUE(session.StopCleanly());
}

}  // namespace
}  // namespace e2e
