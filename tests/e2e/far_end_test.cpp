// One end of a real session goes and comes back while the other stays, as
// when a host restarts across a session reconnect: the end that stays closes
// its plug-in's channel and opens it again for the new far end, and the
// applications there keep their pipe and their channels and meet the far
// applications again.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

struct Ends {
  bool stayingServer;
  bool overTcp;  // and through an emulated link; otherwise the link folder
};

class FarEndTest : public ::testing::TestWithParam<Ends> {};

// Both applications hold `name` on `id`; what each writes reaches the other.
void ExpectDataBothWays(RawApp& here, RawApp& there, int64_t id, const std::string& what) {
  const std::string out = TransferRequest(id, "out: " + what, false);
  const std::string in = TransferRequest(id, "in: " + what, true);
  ASSERT_TRUE(here.Write(out));
  ASSERT_TRUE(there.Write(in));
  std::string got;
  ASSERT_TRUE(there.Next(&got, kWaitMs));
  EXPECT_EQ(got, out) << what;
  ASSERT_TRUE(here.Next(&got, kWaitMs));
  EXPECT_EQ(got, in) << what;
}

// Reads until a CONNECTED notice for `name` with `id`; false when another
// status for it, or nothing, comes first. A holder at a client end whose
// server end started afresh and gave the old ID to another name reads
// CONNECTED with the old ID first, then with the server's new one.
bool AwaitConnected(RawApp& app, const std::string& name, int64_t id) {
  std::string message, noticeName;
  int64_t noticeId = -1;
  KVX::ResultCode status;
  while (app.Next(&message, kWaitMs)) {
    if (!ParseNotice(message, &noticeName, &noticeId, &status) || noticeName != name) continue;
    if (status != KVX::CONNECTION_CONNECTED) return false;
    if (noticeId == id) return true;
  }
  return false;
}

TEST_P(FarEndTest, ApplicationsThatStayMeetTheFarApplicationsAgain) {
  const bool stayingServer = GetParam().stayingServer;
  SessionHarness session;
  HostLaunch launch;
  if (GetParam().overTcp) {
    session.LinkOverTcp();
    launch.extraArgs = {"--link-delay", "3", "--link-rate", "200"};
  }
  ASSERT_TRUE(session.Start(launch, launch));
  const std::string stayingPipe = stayingServer ? SessionHarness::ServerPipe() : SessionHarness::ClientPipe();
  const std::string farPipe = stayingServer ? SessionHarness::ClientPipe() : SessionHarness::ServerPipe();

  // Before: one channel connected, one still waiting for the far side.
  RawApp staying(stayingPipe);
  auto far = std::make_unique<RawApp>(farPipe);
  ASSERT_TRUE(staying.Write(ConnectRequest("e2e.kept")));
  ASSERT_GE(staying.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.kept", kWaitMs), 0);
  ASSERT_TRUE(far->Write(ConnectRequest("e2e.kept")));
  const int64_t kept = far->AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.kept", kWaitMs);
  ASSERT_EQ(staying.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.kept", kWaitMs), kept);
  ASSERT_TRUE(staying.Write(ConnectRequest("e2e.waiting")));
  ASSERT_GE(staying.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.waiting", kWaitMs), 0);
  ExpectDataBothWays(staying, *far, kept, "before");

  // The far end's host goes, its application with it, while a long message
  // crosses each way: what is left of them must not mix with what follows.
  const std::string bulk = TransferRequest(kept, std::string(16 << 20, 'x'), false);
  ASSERT_TRUE(staying.Write(bulk));
  ASSERT_TRUE(far->Write(bulk));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  session.EndHost(!stayingServer);
  far.reset();
  ASSERT_TRUE(session.WaitForLog(stayingServer, "channel closing: events 2 and 3"));
  EXPECT_TRUE(session.Running(stayingServer));
  EXPECT_NE(session.Log(stayingServer).find("PCOIP_VCHAN_EVENT_CLOSED"), std::string::npos);
  // The application that stays keeps its pipe, and is told nothing of a
  // closed channel: before the answer to its question it reads at most the
  // far application's long message, whole.
  ASSERT_TRUE(staying.Write(PropertyRequest("KVXCoreType")));
  std::string answer, value;
  ASSERT_TRUE(staying.Next(&answer, kWaitMs));
  if (answer == bulk) {
    ASSERT_TRUE(staying.Next(&answer, kWaitMs));
  }
  ASSERT_TRUE(ParsePropertyAnswer(answer, &value)) << "something else came first";
  EXPECT_EQ(value, stayingServer ? "Server" : "Client");

  // The far end comes back with an empty table; its applications ask again,
  // a new name first, so that a server end that started afresh hands out its
  // IDs in another order than before.
  ASSERT_TRUE(session.StartAgain());
  RawApp back(farPipe);
  ASSERT_TRUE(back.Write(ConnectRequest("e2e.newcomer")));
  ASSERT_GE(back.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.newcomer", kWaitMs), 0);
  ASSERT_TRUE(back.Write(ConnectRequest("e2e.kept")));
  const int64_t keptAgain = back.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.kept", kWaitMs);
  ASSERT_GE(keptAgain, 0);
  ASSERT_TRUE(AwaitConnected(staying, "e2e.kept", keptAgain));
  // A server end that stayed keeps its IDs.
  if (stayingServer) {
    EXPECT_EQ(keptAgain, kept);
  }
  ExpectDataBothWays(staying, back, keptAgain, "kept, after");

  ASSERT_TRUE(back.Write(ConnectRequest("e2e.waiting")));
  const int64_t waiting = back.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.waiting", kWaitMs);
  ASSERT_GE(waiting, 0);
  EXPECT_NE(waiting, keptAgain);
  ASSERT_TRUE(AwaitConnected(staying, "e2e.waiting", waiting));
  ExpectDataBothWays(staying, back, waiting, "waiting, after");

  // A newcomer at the end that stayed meets the far newcomer.
  RawApp newcomer(stayingPipe);
  ASSERT_TRUE(newcomer.Write(ConnectRequest("e2e.newcomer")));
  const int64_t fresh = newcomer.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.newcomer", kWaitMs);
  ASSERT_GE(fresh, 0);
  EXPECT_EQ(back.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.newcomer", kWaitMs), fresh);
  ExpectDataBothWays(newcomer, back, fresh, "newcomer");
  ExpectDataBothWays(staying, back, keptAgain, "kept, last");
  EXPECT_TRUE(session.StopCleanly());
}

INSTANTIATE_TEST_SUITE_P(Ends, FarEndTest,
                         ::testing::Values(Ends{true, false}, Ends{false, true}),
                         [](const ::testing::TestParamInfo<Ends>& info) {
                           return std::string(info.param.stayingServer ? "ServerStays" : "ClientStays") +
                                  (info.param.overTcp ? "OverAnEmulatedTcpLink" : "OverTheLinkFolder");
                         });

}  // namespace
}  // namespace e2e
