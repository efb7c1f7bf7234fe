// Applications at the two ends of a session meet on channels through the SDK:
// the bridges of both ends run in this process, back to back.
#include <atomic>
#include <thread>

#include "tests/sdk/SdkTestSupport.h"

namespace kvxtest {
namespace {

using sdk::ChannelEvent;
using sdk::ChannelState;
using sdk::ErrorCode;

class SessionRendezvousTest : public SessionPairTest {};

TEST_F(SessionRendezvousTest, ServerEndFirstThenClientEndMeetOnOneId) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  auto serverChannel = atServer->OpenChannel("A");
  ASSERT_TRUE(serverChannel.Ok());
  ASSERT_TRUE(serverChannel->WaitForState(ChannelState::PendingPeer, 5000).Ok());
  EXPECT_EQ(serverChannel->Id(), 0);

  auto clientChannel = atClient->OpenChannel("A");
  ASSERT_TRUE(clientChannel.Ok());
  ASSERT_TRUE(clientChannel->WaitConnected(5000).Ok());
  ASSERT_TRUE(serverChannel->WaitConnected(5000).Ok());
  EXPECT_EQ(clientChannel->Id(), 0);
  EXPECT_EQ(serverChannel->Id(), 0);

  // The server application's queue shows the way it went.
  auto first = serverChannel->NextEvent(1000);
  auto second = serverChannel->NextEvent(1000);
  ASSERT_TRUE(first.Ok() && second.Ok());
  EXPECT_EQ(first->state, ChannelState::PendingPeer);
  EXPECT_EQ(second->state, ChannelState::Connected);
}

TEST_F(SessionRendezvousTest, ClientEndFirstLearnsTheIdWhileWaiting) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  auto clientChannel = atClient->OpenChannel("B");
  ASSERT_TRUE(clientChannel.Ok());
  ASSERT_TRUE(clientChannel->WaitForState(ChannelState::PendingPeer, 5000).Ok());
  EXPECT_EQ(clientChannel->Id(), 0);
  // Waiting for a peer that is not there ends in a time-out naming the state.
  sdk::Error notYet = clientChannel->WaitConnected(50);
  EXPECT_EQ(notYet.Code(), ErrorCode::Timeout);
  EXPECT_NE(notYet.Message().find("pending-peer"), std::string::npos) << notYet.Message();
  EXPECT_EQ(clientChannel->Send("too early").Code(), ErrorCode::NotConnected);

  auto serverChannel = atServer->OpenChannel("B");
  ASSERT_TRUE(serverChannel.Ok());
  ASSERT_TRUE(serverChannel->WaitConnected(5000).Ok());
  ASSERT_TRUE(clientChannel->WaitConnected(5000).Ok());
  EXPECT_EQ(serverChannel->Id(), 0);
}

TEST_F(SessionRendezvousTest, DataCrossesBothWaysWholeAndInOrder) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  sdk::Channel s, c;
  ASSERT_NO_FATAL_FAILURE(Connect(*atServer, *atClient, "data", &s, &c));

  const std::string binary("\0one\xFF\x80two\0", 10);
  ASSERT_TRUE(s.Send(binary, -42, 7).Ok());
  auto got = c.Receive(5000);
  ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
  EXPECT_EQ(got->data, binary);
  EXPECT_EQ(got->appValue, -42);
  EXPECT_EQ(got->requestId, 7u);

  // An empty message is a message too.
  ASSERT_TRUE(c.Send("").Ok());
  got = s.Receive(5000);
  ASSERT_TRUE(got.Ok());
  EXPECT_EQ(got->data, "");

  // A message of exactly one plug-in read, and a burst in order.
  const std::string biggest(262144, '\x5A');
  ASSERT_TRUE(c.Send(biggest).Ok());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(c.Send(std::to_string(i), i).Ok());
  got = s.Receive(5000);
  ASSERT_TRUE(got.Ok());
  EXPECT_EQ(got->data, biggest);
  for (int i = 0; i < 100; ++i) {
    got = s.Receive(5000);
    ASSERT_TRUE(got.Ok());
    ASSERT_EQ(got->data, std::to_string(i));
  }
}

TEST_F(SessionRendezvousTest, DataTooLargeForOneMessageIsRefusedAndNothingElseSuffers) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  sdk::Channel s, c;
  ASSERT_NO_FATAL_FAILURE(Connect(*atServer, *atClient, "big", &s, &c));
  // Longer than one read of the plug-in: carried whole.
  const std::string long_(3 * 262144 + 5, '\x33');
  ASSERT_TRUE(s.Send(long_).Ok());
  auto got = c.Receive(10000);
  ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
  EXPECT_TRUE(got->data == long_);
  // Over the plug-in's quota it would drop the whole connection; the SDK
  // refuses the message instead, and the session goes on.
  sdk::Error tooBig = s.Send(std::string(sdk::Channel::kMaxDataSize + 100, 'x'));
  EXPECT_EQ(tooBig.Code(), ErrorCode::MessageTooLarge);
  ASSERT_TRUE(s.Send("after").Ok());
  got = c.Receive(5000);
  ASSERT_TRUE(got.Ok());
  EXPECT_EQ(got->data, "after");
}

TEST_F(SessionRendezvousTest, SeveralChannelsOnOneSessionKeepTheirData) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  sdk::Channel s1, c1, s2, c2;
  ASSERT_NO_FATAL_FAILURE(Connect(*atServer, *atClient, "one", &s1, &c1));
  ASSERT_NO_FATAL_FAILURE(Connect(*atServer, *atClient, "two", &s2, &c2));
  EXPECT_NE(s1.Id(), s2.Id());
  ASSERT_TRUE(s1.Send("for one").Ok());
  ASSERT_TRUE(s2.Send("for two").Ok());
  ASSERT_TRUE(c2.Send("back on two").Ok());
  EXPECT_EQ(c1.Receive(5000)->data, "for one");
  EXPECT_EQ(c2.Receive(5000)->data, "for two");
  EXPECT_EQ(s2.Receive(5000)->data, "back on two");
  EXPECT_EQ(s1.Receive(50).GetError().Code(), ErrorCode::Timeout);

  // A name may be open once per session.
  EXPECT_EQ(atServer->OpenChannel("one").GetError().Code(), ErrorCode::InvalidArgument);
  EXPECT_EQ(atServer->OpenChannel("").GetError().Code(), ErrorCode::InvalidArgument);
}

TEST_F(SessionRendezvousTest, ConcurrentSendersOnOneChannelLoseNothing) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  sdk::Channel s, c;
  ASSERT_NO_FATAL_FAILURE(Connect(*atServer, *atClient, "busy", &s, &c));
  constexpr int kThreads = 4, kEach = 150;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (!s.Send(std::string(1000 + i, static_cast<char>('a' + t)), t * 1000 + i).Ok()) ++failures;
      }
    });
  }
  // Each sender's messages arrive whole and in its own order.
  std::vector<int> next(kThreads, 0);
  for (int n = 0; n < kThreads * kEach; ++n) {
    auto got = c.Receive(10000);
    ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
    int t = static_cast<int>(got->appValue / 1000), i = static_cast<int>(got->appValue % 1000);
    ASSERT_EQ(i, next[t]);
    ASSERT_EQ(got->data, std::string(1000 + i, static_cast<char>('a' + t)));
    ++next[t];
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(SessionRendezvousTest, DisconnectIsConfirmedAndThePeerWaitsAgain) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  sdk::Channel s, c;
  ASSERT_NO_FATAL_FAILURE(Connect(*atServer, *atClient, "bye", &s, &c));
  ASSERT_TRUE(c.Send("last words").Ok());
  ASSERT_TRUE(c.Disconnect(5000).Ok());
  EXPECT_EQ(c.State(), ChannelState::Closed);
  EXPECT_EQ(c.Send("x").Code(), ErrorCode::ChannelClosed);
  EXPECT_EQ(c.Receive(0).GetError().Code(), ErrorCode::ChannelClosed);
  EXPECT_TRUE(c.Disconnect(100).Ok());  // twice is harmless

  // The data sent before leaving arrives first, then the news.
  EXPECT_EQ(s.Receive(5000)->data, "last words");
  EXPECT_EQ(s.Receive(5000).GetError().Code(), ErrorCode::PeerLeft);
  ASSERT_TRUE(s.WaitForState(ChannelState::PendingPeer, 5000).Ok());
  EXPECT_EQ(s.Send("anyone?").Code(), ErrorCode::NotConnected);

  // The name can be taken again on the same session and meets the waiting peer.
  auto again = atClient->OpenChannel("bye");
  ASSERT_TRUE(again.Ok());
  ASSERT_TRUE(again->WaitConnected(5000).Ok());
  ASSERT_TRUE(s.WaitConnected(5000).Ok());
  EXPECT_EQ(again->Id(), s.Id());
}

TEST_F(SessionRendezvousTest, APeerThatComesSendsAndLeavesBeforeTheWaiterWakesStillEndsTheWait) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  auto waiting = atClient->OpenChannel("brief");
  ASSERT_TRUE(waiting.Ok());
  ASSERT_TRUE(waiting->WaitForState(ChannelState::PendingPeer, 5000).Ok());
  auto visitor = atServer->OpenChannel("brief");
  ASSERT_TRUE(visitor.Ok());
  ASSERT_TRUE(visitor->WaitConnected(5000).Ok());
  ASSERT_TRUE(visitor->Send("hello and goodbye").Ok());
  ASSERT_TRUE(visitor->Disconnect(5000).Ok());
  // A waiter slow to wake: the visitor's leaving has most likely arrived, so
  // the channel is pending again when the wait begins.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(waiting->WaitConnected(5000).Ok());
  EXPECT_EQ(waiting->Receive(5000)->data, "hello and goodbye");
  EXPECT_EQ(waiting->Receive(5000).GetError().Code(), ErrorCode::PeerLeft);
  // That connection has been seen: the next wait is for a new one.
  EXPECT_EQ(waiting->WaitConnected(0).Code(), ErrorCode::Timeout);
}

TEST_F(SessionRendezvousTest, PeerSessionGoingAwayMakesTheChannelLostUntilItReturns) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  sdk::Channel s, c;
  ASSERT_NO_FATAL_FAILURE(Connect(*atServer, *atClient, "fragile", &s, &c));
  const int64_t id = s.Id();
  atClient.reset();  // the client application quits without a word

  // A blocked receive learns of the loss.
  auto got = s.Receive(5000);
  EXPECT_EQ(got.GetError().Code(), ErrorCode::ChannelLost) << got.GetError().ToString();
  EXPECT_EQ(s.State(), ChannelState::Lost);
  EXPECT_EQ(s.Id(), id);
  EXPECT_EQ(s.Send("x").Code(), ErrorCode::ChannelLost);
  // The handle of the closed session still answers, without a crash.
  EXPECT_EQ(c.State(), ChannelState::Closed);
  EXPECT_EQ(c.Send("x").Code(), ErrorCode::ConnectionLost);

  // A new application at the client end takes the channel up again.
  auto returning = OpenAtClientEnd();
  auto back = returning->OpenChannel("fragile");
  ASSERT_TRUE(back.Ok());
  ASSERT_TRUE(back->WaitConnected(5000).Ok());
  ASSERT_TRUE(s.WaitConnected(5000).Ok());
  ASSERT_TRUE(back->Send("hello again").Ok());
  EXPECT_EQ(s.Receive(5000)->data, "hello again");
}

TEST_F(SessionRendezvousTest, EachEndAnswersItsOwnProperties) {
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  EXPECT_EQ(atServer->GetProperty("KVXCoreType", 5000).Value(), "Server");
  EXPECT_EQ(atClient->GetProperty("KVXCoreType", 5000).Value(), "Client");
  EXPECT_EQ(atServer->GetProperty("Hwnds", 5000).Value(), "0x10,0x20");
  auto unknown = atServer->GetProperty("NoSuchThing", 5000);
  ASSERT_TRUE(unknown.Ok());
  EXPECT_EQ(unknown.Value(), "");

  // Many askers at once each get the answer to their own question.
  std::vector<std::thread> askers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    askers.emplace_back([&, t] {
      const std::string name = t % 2 ? "KVXCoreType" : "Hwnds";
      const std::string expected = t % 2 ? "Server" : "0x10,0x20";
      for (int i = 0; i < 25; ++i) {
        auto value = atServer->GetProperty(name, 5000);
        if (!value.Ok() || value.Value() != expected) ++wrong;
      }
    });
  }
  for (auto& asker : askers) asker.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SessionRendezvousTest, CallbacksSeeEveryEventInOrderAndMayBlock) {
  EventLog log;  // outlives the sessions, whose callbacks write to it
  auto atServer = OpenAtServerEnd();
  auto atClient = OpenAtClientEnd();
  std::atomic<int> propertyAnswers{0};
  sdk::Session* serverSession = atServer.get();
  sdk::ChannelOptions options;
  auto record = log.Handler();
  options.onEvent = [&, record](const ChannelEvent& event) {
    // A blocking call inside a callback must not stall the session.
    if (serverSession->GetProperty("KVXCoreType", 5000).Ok()) ++propertyAnswers;
    record(event);
  };
  auto s = atServer->OpenChannel("callbacks", options);
  ASSERT_TRUE(s.Ok());
  // State waits work for callback channels too. (Waiting here also keeps the
  // two connect requests from crossing, after which the plug-ins may tell the
  // server application "pending" after "connected".)
  ASSERT_TRUE(s->WaitForState(ChannelState::PendingPeer, 5000).Ok());
  auto c = atClient->OpenChannel("callbacks");
  ASSERT_TRUE(c.Ok());
  ASSERT_TRUE(c->WaitConnected(5000).Ok());
  ASSERT_TRUE(c->Send("one").Ok());
  ASSERT_TRUE(c->Send("two").Ok());
  ASSERT_TRUE(log.WaitForCount(4)) << log.Events().size() << " events, " << propertyAnswers.load() << " answers";
  auto events = log.Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].state, ChannelState::PendingPeer);
  EXPECT_EQ(events[1].state, ChannelState::Connected);
  EXPECT_EQ(events[2].packet.data, "one");
  EXPECT_EQ(events[3].packet.data, "two");
  EXPECT_EQ(propertyAnswers.load(), 4);
  // Events of a callback channel are not also queued.
  EXPECT_EQ(s->Receive(0).GetError().Code(), ErrorCode::InvalidArgument);
}

TEST_F(SessionRendezvousTest, LaunchRequestReachesTheClientEndShell) {
  ShellCapture shell(42);
  auto atServer = OpenAtServerEnd();
  sdk::ChannelOptions options;
  options.launchAppLink = "viewer.exe";
  auto s = atServer->OpenChannel("launched", options);
  ASSERT_TRUE(s.Ok());
  ASSERT_TRUE(s->WaitForState(ChannelState::PendingPeer, 5000).Ok());
  ASSERT_TRUE(WaitUntil([&] { return shell.Links().size() == 1; }));
  EXPECT_EQ(shell.Links()[0], "viewer.exe");

  // Without a link nothing is launched.
  auto plain = atServer->OpenChannel("plain");
  ASSERT_TRUE(plain.Ok());
  ASSERT_TRUE(plain->WaitForState(ChannelState::PendingPeer, 5000).Ok());
  EXPECT_EQ(shell.Links().size(), 1u);
}

}  // namespace
}  // namespace kvxtest
