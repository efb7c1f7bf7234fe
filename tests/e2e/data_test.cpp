// Application data across a real session, byte for byte, both ways, from an
// empty payload to the largest message the pipe carries, with fields the
// schema does not know.
#include <gtest/gtest.h>

#include <random>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

// Connects a server application and a client application on `name`.
int64_t Pair(RawApp& serverApp, RawApp& clientApp, const std::string& name) {
  if (!serverApp.Write(ConnectRequest(name))) return -2;
  const int64_t id = serverApp.AwaitNotice(KVX::CONNECTION_PENDING_PEER, name, kWaitMs);
  if (!clientApp.Write(ConnectRequest(name))) return -2;
  if (clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs) != id) return -2;
  if (serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs) != id) return -2;
  return id;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// The largest pipe message the plug-in takes whole.
constexpr size_t kLargestPipeMessage = 262144;

TEST(DataTest, MessagesOfEverySizeArriveByteForByteBothWays) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, clientApp, "e2e.data");
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
  HostSpec server;
  server.extraArgs = {"--packet-size", "5016"};
  ASSERT_TRUE(session.Start(server));
  EXPECT_NE(session.Log(true).find("max datagram 5016 bytes"), std::string::npos);
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, clientApp, "e2e.bigpackets");
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

// A pipe message above what the pipe takes whole reaches the plug-in in
// pieces; whatever happens to it, the far application must not receive bytes
// that no application sent, and the channel must go on working.
TEST(DataTest, AMessageTooLargeForThePipeNeverReachesTheFarEndAsOtherBytes) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  RawApp clientApp(SessionHarness::ClientPipe());
  const int64_t id = Pair(serverApp, clientApp, "e2e.huge");
  ASSERT_EQ(id, 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const size_t hugeSize = 4u << 20;  // the sanitizers make 16 MiB needlessly slow
#else
  const size_t hugeSize = 16u << 20;
#endif
  const std::string huge = TransferRequest(id, RandomBytes(hugeSize, 3), false);
  const std::string after = TransferRequest(id, "after the huge one", false);
  ASSERT_TRUE(clientApp.Write(huge));
  // The client may be dropped by its end for the oversized message; a new
  // application then takes over the channel.
  RawApp* sender = &clientApp;
  std::unique_ptr<RawApp> replacement;
  if (!clientApp.Write(after)) {
    replacement = std::make_unique<RawApp>(SessionHarness::ClientPipe());
    ASSERT_TRUE(replacement->Write(ConnectRequest("e2e.huge")));
    ASSERT_EQ(replacement->AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.huge", kWaitMs), id);
    ASSERT_TRUE(replacement->Write(after));
    sender = replacement.get();
  }
  (void)sender;
  std::string got;
  bool sawAfter = false;
  while (!sawAfter && serverApp.Next(&got, kWaitMs)) {
    std::string name;
    int64_t noticeId = 0;
    KVX::ResultCode status;
    if (ParseNotice(got, &name, &noticeId, &status)) continue;
    sawAfter = got == after;
    EXPECT_TRUE(got == huge || got == after)
        << "the server application received " << got.size() << " bytes that nobody sent";
  }
  EXPECT_TRUE(sawAfter);
}

}  // namespace
}  // namespace e2e
