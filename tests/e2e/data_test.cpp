// Application data across a real session, byte for byte, both ways, from an
// empty payload to 16 MiB, with fields the schema does not know.
#include <gtest/gtest.h>

#include <random>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

// The pipe server's read buffer: larger messages arrive in pieces and are
// gathered before they are handed on.
constexpr size_t kLargestPipeMessage = 262144;

TEST(DataTest, MessagesOfEverySizeArriveByteForByteBothWays) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, clientApp, "e2e.data", kWaitMs);
  ASSERT_EQ(id, 0);

  // Around the datagram payload (2984) and its multiples, then large ones
  // up to the largest message the pipe carries.
  const size_t overhead = TransferRequest(id, std::string(kLargestPipeMessage, 'x'), true).size() -
                          kLargestPipeMessage;
  const std::vector<size_t> sizes = {0,     1,      2967,   2968,   2969,  5952, 10000,
                                     65536, 100000, 200001, kLargestPipeMessage - overhead};
  for (bool fromServer : {true, false}) {
    RawApp& sender = fromServer ? serverApp : clientApp;
    RawApp& receiver = fromServer ? clientApp : serverApp;
    std::vector<std::string> sent;
    for (size_t i = 0; i < sizes.size(); ++i) {
      sent.push_back(TransferRequest(id, RandomBytes(sizes[i], static_cast<uint32_t>(i)), i % 2 == 0));
      ASSERT_TRUE(sender.Write(sent.back()));
    }
    ASSERT_EQ(sent.back().size(), kLargestPipeMessage);
    for (size_t i = 0; i < sent.size(); ++i) {
      std::string got;
      ASSERT_TRUE(receiver.Next(&got, kWaitMs)) << "message " << i << " of " << sizes[i] << " bytes";
      EXPECT_TRUE(got == sent[i]) << "message " << i << ": " << got.size() << " bytes arrived, "
                                  << sent[i].size() << " sent";
    }
  }
  EXPECT_TRUE(session.StopCleanly());
}

TEST(DataTest, ALargerServerPacketSizeCarriesTheSameBytes) {
  SessionHarness session;
  HostLaunch server;
  server.extraArgs = {"--packet-size", "5016"};
  ASSERT_TRUE(session.Start(server));
  EXPECT_NE(session.Log(true).find("max datagram 5016 bytes"), std::string::npos);
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, clientApp, "e2e.bigpackets", kWaitMs);
  ASSERT_EQ(id, 0);
  const std::string toClient = TransferRequest(id, RandomBytes(150000, 7), true);
  const std::string toServer = TransferRequest(id, RandomBytes(150000, 8), false);
  ASSERT_TRUE(serverApp.Write(toClient));
  ASSERT_TRUE(clientApp.Write(toServer));
  std::string got;
  ASSERT_TRUE(clientApp.Next(&got, kWaitMs));
  EXPECT_TRUE(got == toClient);
  ASSERT_TRUE(serverApp.Next(&got, kWaitMs));
  EXPECT_TRUE(got == toServer);
}

// Messages longer than one pipe read (262,144 bytes) are gathered whole by the
// pipe server and cross as one run of datagrams: the far application reads
// exactly the message that was written, up to 16 MiB, both ways.
TEST(DataTest, LargeMessagesArriveWholeBothWays) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, clientApp, "e2e.huge", kWaitMs);
  ASSERT_EQ(id, 0);
  const std::vector<size_t> sizes = {kLargestPipeMessage + 1, (1u << 20) + 3, 16u << 20};
  for (bool fromServer : {false, true}) {
    RawApp& sender = fromServer ? serverApp : clientApp;
    RawApp& receiver = fromServer ? clientApp : serverApp;
    for (size_t i = 0; i < sizes.size(); ++i) {
      const std::string sent =
          TransferRequest(id, RandomBytes(sizes[i], static_cast<uint32_t>(100 + i)), fromServer);
      ASSERT_TRUE(sender.Write(sent));
      std::string got;
      ASSERT_TRUE(receiver.Next(&got, 4 * kWaitMs)) << sizes[i] << " bytes never arrived";
      EXPECT_TRUE(got == sent) << got.size() << " bytes arrived, " << sent.size() << " sent";
    }
  }
  EXPECT_TRUE(session.StopCleanly());
}

// Over TCP, as between two machines: the ends meet, the rendezvous runs, and
// the largest message the pipe takes (64 MiB less 64 KiB) crosses both ways.
TEST(DataTest, OverTcpTheRendezvousRunsAndTheLargestMessageCrossesBothWays) {
  SessionHarness session;
  session.LinkOverTcp();
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, clientApp, "e2e.tcp", kWaitMs);
  ASSERT_EQ(id, 0);
  const size_t largest = (64u << 20) - 65536;
  for (bool fromServer : {false, true}) {
    RawApp& sender = fromServer ? serverApp : clientApp;
    RawApp& receiver = fromServer ? clientApp : serverApp;
    const std::string sent = TransferRequest(id, RandomBytes(largest, fromServer ? 64 : 46), fromServer);
    ASSERT_TRUE(sender.Write(sent));
    std::string got;
    ASSERT_TRUE(receiver.Next(&got, 4 * kWaitMs)) << "the message never arrived";
    EXPECT_TRUE(got == sent) << got.size() << " bytes arrived, " << sent.size() << " sent";
  }
  EXPECT_TRUE(session.StopCleanly());
}

}  // namespace
}  // namespace e2e
