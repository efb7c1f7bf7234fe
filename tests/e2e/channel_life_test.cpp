// A channel's life across a real session when applications come and go: the
// ID a holder reads never changes, nobody's leaving leaves an entry behind, an
// answer never contradicts what its end said before it, and only the holder
// closes a channel.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

using Told = std::pair<int64_t, KVX::ResultCode>;

// Every notice for `name` the application reads before `expected` arrives.
std::vector<Told> NoticesBefore(RawApp& app, const std::string& expected, const std::string& name) {
  std::vector<Told> told;
  std::string message, noticeName;
  int64_t id = 0;
  KVX::ResultCode status;
  while (app.Next(&message, kWaitMs) && message != expected) {
    if (ParseNotice(message, &noticeName, &id, &status) && noticeName == name) {
      told.emplace_back(id, status);
    }
  }
  return told;
}

// A message on the channel, big enough to keep an end's sends to its peer
// busy for a while: answers for the peer queue up behind it.
std::string Bulk(int64_t channelId) {
  return TransferRequest(channelId, std::string(20 << 20, 'b'), false);
}

TEST(ChannelLifeTest, AHolderKeepsItsIdWhileTheOtherSideLeavesAndComesBack) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  const std::string name = "e2e.stable";
  RawApp holder(SessionHarness::ClientPipe());
  auto partner = std::make_unique<RawApp>(SessionHarness::ServerPipe());
  ASSERT_TRUE(partner->Write(ConnectRequest(name)));
  ASSERT_EQ(partner->AwaitNotice(KVX::CONNECTION_PENDING_PEER, name, kWaitMs), 0);
  ASSERT_TRUE(holder.Write(ConnectRequest(name)));
  ASSERT_EQ(holder.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), 0);

  for (const bool polite : {true, false, true}) {
    // The partner leaves, politely or by closing its pipe; a new one asks.
    if (polite) {
      ASSERT_TRUE(partner->Write(DisconnectRequest(0)));
    }
    partner = std::make_unique<RawApp>(SessionHarness::ServerPipe());
    ASSERT_TRUE(partner->Write(ConnectRequest(name)));
    ASSERT_EQ(partner->AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), 0);
    // What the holder writes on its ID reaches the newcomer, and the holder
    // never read any other ID.
    const std::string data = TransferRequest(0, polite ? "polite" : "abrupt", false);
    ASSERT_TRUE(holder.Write(data));
    std::string got;
    ASSERT_TRUE(partner->Next(&got, kWaitMs));
    EXPECT_EQ(got, data);
    const std::string back = TransferRequest(0, "back", false);
    ASSERT_TRUE(partner->Write(back));
    for (const Told& told : NoticesBefore(holder, back, name)) {
      EXPECT_EQ(told.first, 0) << "status " << told.second;
    }
  }
  EXPECT_TRUE(session.StopCleanly());
}

TEST(ChannelLifeTest, AnAskerThatLeavesBeforeItsIdArrivesLeavesNothingBehind) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  constexpr int kNames = 40;
  {
    RawApp hasty(SessionHarness::ClientPipe());
    for (int i = 0; i < kNames; ++i) {
      ASSERT_TRUE(hasty.Write(ConnectRequest("e2e.hasty." + std::to_string(i))));
    }
  }  // gone before most of its IDs can have come back
  // Its end notices the departure in its own time; a request from another
  // pipe before that would take the names over instead.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  // The names are free: nobody at the server end holds them, so a new asker
  // waits for a peer instead of being told it is connected to nobody.
  RawApp later(SessionHarness::ClientPipe());
  for (int i = 0; i < kNames; ++i) {
    const std::string name = "e2e.hasty." + std::to_string(i);
    ASSERT_TRUE(later.Write(ConnectRequest(name)));
    std::string message, noticeName;
    int64_t id = 0;
    KVX::ResultCode status;
    ASSERT_TRUE(later.Next(&message, kWaitMs));
    ASSERT_TRUE(ParseNotice(message, &noticeName, &id, &status));
    EXPECT_EQ(noticeName, name);
    EXPECT_EQ(status, KVX::CONNECTION_PENDING_PEER) << name << " was left in the server's table";
  }
  EXPECT_TRUE(session.StopCleanly());
}

TEST(ChannelLifeTest, AnAnswerQueuedBehindADepartureNeverContradictsIt) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  // In each direction: the holder sends a bulk message and leaves; while its
  // end is still sending the bulk, an application at the other end asks for
  // the channel. Its answer is built before the departure is handled.
  for (const bool holderAtServer : {true, false}) {
    const std::string name = holderAtServer ? "e2e.stale.s" : "e2e.stale.c";
    const std::string holderPipe =
        holderAtServer ? SessionHarness::ServerPipe() : SessionHarness::ClientPipe();
    const std::string askerPipe =
        holderAtServer ? SessionHarness::ClientPipe() : SessionHarness::ServerPipe();
    const int bulkSeen = session.CountLog(!holderAtServer, "Invalid pipe ID");
    {
      RawApp holder(holderPipe);
      ASSERT_TRUE(holder.Write(ConnectRequest(name)));
      const int64_t id = holder.AwaitNotice(KVX::CONNECTION_PENDING_PEER, name, kWaitMs);
      ASSERT_GE(id, 0);
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(holder.Write(Bulk(id)));
    }
    // Long enough for the departure to be queued, far shorter than the bulk
    // takes to cross (a few hundred milliseconds).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RawApp asker(askerPipe);
    ASSERT_TRUE(asker.Write(ConnectRequest(name)));
    // The bulk has crossed once the far end has handed each message on: to
    // the asker, when its request took the channel there first, or to nobody
    // (it finds no holder). What follows the bulk, the loss and the answer,
    // comes right after.
    std::string message, noticeName;
    int64_t id = 0;
    KVX::ResultCode status, last = KVX::RESULT_SUCCESS;
    int bulkToAsker = 0;
    const auto crossed = [&] {
      return bulkToAsker + session.CountLog(!holderAtServer, "Invalid pipe ID") - bulkSeen >= 3;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * kWaitMs);
    while (!crossed() && std::chrono::steady_clock::now() < deadline) {
      if (!asker.Next(&message, 200)) continue;
      if (ParseNotice(message, &noticeName, &id, &status)) {
        if (noticeName == name) last = status;
      } else if (message.size() > (20u << 20)) {
        ++bulkToAsker;
      }
    }
    ASSERT_TRUE(crossed());
    while (asker.Next(&message, 2000)) {
      if (ParseNotice(message, &noticeName, &id, &status) && noticeName == name) last = status;
    }
    // Nobody holds the channel at the other end any more: told "connected"
    // last, the asker would believe in a channel that is gone.
    EXPECT_NE(last, KVX::RESULT_SUCCESS);
    EXPECT_NE(last, KVX::CONNECTION_CONNECTED)
        << (holderAtServer ? "server" : "client") << " end's answer outlived the departure";
  }
  EXPECT_TRUE(session.StopCleanly());
}

TEST(ChannelLifeTest, OnlyTheHolderClosesAChannel) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  const std::string name = "e2e.owned";
  RawApp holder(SessionHarness::ServerPipe());
  RawApp partner(SessionHarness::ClientPipe());
  RawApp careless(SessionHarness::ServerPipe());
  ASSERT_TRUE(holder.Write(ConnectRequest(name)));
  ASSERT_EQ(holder.AwaitNotice(KVX::CONNECTION_PENDING_PEER, name, kWaitMs), 0);
  ASSERT_TRUE(partner.Write(ConnectRequest(name)));
  ASSERT_EQ(partner.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), 0);
  ASSERT_EQ(holder.AwaitNotice(KVX::CONNECTION_CONNECTED, name, kWaitMs), 0);

  // A disconnect request without an ID reads as ID 0, the holder's channel.
  ASSERT_TRUE(careless.Write(DisconnectRequest(0)));
  std::string message, noticeName;
  int64_t id = 0;
  KVX::ResultCode status;
  ASSERT_TRUE(careless.Next(&message, kWaitMs));
  ASSERT_TRUE(ParseNotice(message, &noticeName, &id, &status));
  EXPECT_EQ(noticeName, "");
  EXPECT_EQ(id, -1);
  EXPECT_EQ(status, KVX::CONNECTION_LOST);

  // The channel is untouched: data flows both ways, and neither side was told
  // anything in between.
  const std::string toHolder = TransferRequest(0, "still here", false);
  ASSERT_TRUE(partner.Write(toHolder));
  EXPECT_TRUE(NoticesBefore(holder, toHolder, name).empty());
  const std::string toPartner = TransferRequest(0, "so am I", false);
  ASSERT_TRUE(holder.Write(toPartner));
  EXPECT_TRUE(NoticesBefore(partner, toPartner, name).empty());
  EXPECT_TRUE(session.StopCleanly());
}

}  // namespace
}  // namespace e2e
