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

// Reads until a CONNECTED notice for `name` with `id`; false when a
// CONNECTION_LOST for it, or nothing, comes first. A holder at a client end
// reads PENDING_PEER first when it asked again for its channel before the far
// application did, and a CONNECTED with another ID only when two requests
// crossed.
bool AwaitConnected(RawApp& app, const std::string& name, int64_t id) {
  std::string message, noticeName;
  int64_t noticeId = -1;
  KVX::ResultCode status;
  while (app.Next(&message, kWaitMs)) {
    if (!ParseNotice(message, &noticeName, &noticeId, &status) || noticeName != name) continue;
    if (status == KVX::CONNECTION_LOST) return false;
    if (status == KVX::CONNECTION_CONNECTED && noticeId == id) return true;
  }
  return false;
}

// Nothing but what was asked for reached the application: a property request
// now is answered by the very next message it reads.
void ExpectNothingMoreFor(RawApp& app, const std::string& who) {
  ASSERT_TRUE(app.Write(PropertyRequest("KVXCoreType")));
  std::string next, value;
  ASSERT_TRUE(app.Next(&next, kWaitMs)) << who;
  EXPECT_TRUE(ParsePropertyAnswer(next, &value)) << who << " read something not meant for it";
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

  // Before: one channel connected, one still waiting for the far side, and
  // one that only the far side holds.
  RawApp staying(stayingPipe);
  auto far = std::make_unique<RawApp>(farPipe);
  ASSERT_TRUE(staying.Write(ConnectRequest("e2e.kept")));
  ASSERT_GE(staying.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.kept", kWaitMs), 0);
  ASSERT_TRUE(far->Write(ConnectRequest("e2e.kept")));
  const int64_t kept = far->AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.kept", kWaitMs);
  ASSERT_EQ(staying.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.kept", kWaitMs), kept);
  ASSERT_TRUE(staying.Write(ConnectRequest("e2e.waiting")));
  ASSERT_GE(staying.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.waiting", kWaitMs), 0);
  ASSERT_TRUE(far->Write(ConnectRequest("e2e.gone")));
  ASSERT_GE(far->AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.gone", kWaitMs), 0);
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
  // The plug-in logs the event on the host's thread once the host has said
  // so: wait for it rather than look at once.
  EXPECT_TRUE(session.WaitForLog(stayingServer, "PCOIP_VCHAN_EVENT_CLOSED"));
  // The application that stays keeps its pipe and its channels, and is told
  // that the far side went, as when a far application vanishes: after at
  // most the far application's long message, whole.
  std::string message, noticeName, value;
  int64_t noticeId = -1;
  KVX::ResultCode status;
  int lost = 0;
  while (lost < 2 && staying.Next(&message, kWaitMs)) {
    if (message == bulk) continue;
    ASSERT_TRUE(ParseNotice(message, &noticeName, &noticeId, &status)) << "not a notice";
    ASSERT_EQ(status, KVX::CONNECTION_LOST) << noticeName;
    if (noticeName == "e2e.kept") {
      EXPECT_EQ(noticeId, kept);
    }
    ++lost;
  }
  ASSERT_EQ(lost, 2) << "each channel held is told once";
  // The end itself still serves: asked by an application of its own (the
  // staying one's long message may still wait in its lane for the channel,
  // and a full lane holds that application's later requests unread).
  RawApp asker(stayingPipe);
  ASSERT_TRUE(asker.Write(PropertyRequest("KVXCoreType")));
  ASSERT_TRUE(asker.Next(&message, kWaitMs));
  ASSERT_TRUE(ParsePropertyAnswer(message, &value)) << "something else came";
  EXPECT_EQ(value, stayingServer ? "Server" : "Client");

  // The far end comes back with an empty table; a new name is asked for
  // first, so that a server end that started afresh hands out its first ID
  // to it, the ID the staying end's "e2e.kept" had.
  ASSERT_TRUE(session.StartAgain());
  RawApp farNewcomer(farPipe);
  ASSERT_TRUE(farNewcomer.Write(ConnectRequest("e2e.newcomer")));
  ASSERT_GE(farNewcomer.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.newcomer", kWaitMs), 0);
  // A newcomer at the end that stayed meets it, and only it: each end has one
  // channel of each ID.
  RawApp newcomer(stayingPipe);
  ASSERT_TRUE(newcomer.Write(ConnectRequest("e2e.newcomer")));
  const int64_t fresh = newcomer.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.newcomer", kWaitMs);
  ASSERT_GE(fresh, 0);
  EXPECT_EQ(farNewcomer.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.newcomer", kWaitMs), fresh);
  ExpectDataBothWays(newcomer, farNewcomer, fresh, "newcomer");

  // A far application asking for a name only the gone one held waits for a
  // partner like any other.
  RawApp back(farPipe);
  ASSERT_TRUE(back.Write(ConnectRequest("e2e.gone")));
  const int64_t gone = back.AwaitNotice(KVX::CONNECTION_PENDING_PEER, "e2e.gone", kWaitMs);
  ASSERT_GE(gone, 0) << "told CONNECTED for a name nobody holds here";

  // The channels held at the end that stayed meet the far applications again.
  ASSERT_TRUE(back.Write(ConnectRequest("e2e.kept")));
  const int64_t keptAgain = back.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.kept", kWaitMs);
  ASSERT_GE(keptAgain, 0);
  ASSERT_TRUE(AwaitConnected(staying, "e2e.kept", keptAgain));
  // A server end that stayed keeps its IDs.
  if (stayingServer) {
    EXPECT_EQ(keptAgain, kept);
  }
  EXPECT_NE(keptAgain, fresh);
  ExpectDataBothWays(staying, back, keptAgain, "kept, after");

  ASSERT_TRUE(back.Write(ConnectRequest("e2e.waiting")));
  const int64_t waiting = back.AwaitNotice(KVX::CONNECTION_CONNECTED, "e2e.waiting", kWaitMs);
  ASSERT_GE(waiting, 0);
  EXPECT_NE(waiting, keptAgain);
  ASSERT_TRUE(AwaitConnected(staying, "e2e.waiting", waiting));
  ExpectDataBothWays(staying, back, waiting, "waiting, after");
  ExpectDataBothWays(newcomer, farNewcomer, fresh, "newcomer, last");
  ExpectDataBothWays(staying, back, keptAgain, "kept, last");
  ExpectNothingMoreFor(staying, "the application that stayed");
  ExpectNothingMoreFor(newcomer, "the newcomer that stayed");
  ExpectNothingMoreFor(farNewcomer, "the far newcomer");
  EXPECT_EQ(session.CountLog(stayingServer, "Invalid pipe ID"), 0);
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
