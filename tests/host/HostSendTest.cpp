// The host simulator's send to the peer: it waits while the peer's queue is
// full, as long as the caller allows and no longer.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tools/vchan-host/DatagramLink.h"
#include "tools/vchan-host/LinkSession.h"

namespace vchan_host {
namespace {

using Result = HostChannel::FrameSendResult;

// Two ends of a link in a folder of their own, removed afterwards.
class HostSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(folder), nullptr);
    serverEnd.linkDir = clientEnd.linkDir = folder;
    clientEnd.end = End::kClient;
    std::string error;
    own = DatagramLink::Open(serverEnd, &error);
    peer = DatagramLink::Open(clientEnd, &error);
    ASSERT_TRUE(own && peer) << error;
  }
  void TearDown() override {
    own.reset();
    peer.reset();
    rmdir(folder);
  }

  char folder[32] = "/tmp/kvx-host-send.XXXXXX";
  HostOptions serverEnd, clientEnd;
  std::unique_ptr<DatagramLink> own, peer;
};

TEST_F(HostSendTest, ASendToAFullLinkWaitsOnlyAsLongAsItIsAllowed) {
  LinkSession session(serverEnd, *own);

  // The peer reads nothing: sends that may not wait go until its queue is full.
  const std::string frame(3001, 'd');
  int sent = 0;
  while (sent < 1000000 && session.SendWithin(frame, 0) == Result::kSent) ++sent;
  EXPECT_GT(sent, 0);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session.SendWithin(frame, 300), Result::kTimedOut);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::seconds(10));

  // One datagram taken: there is room, and the next send goes.
  std::string received;
  ASSERT_EQ(peer->Receive(&received, 5000), DatagramLink::ReceiveResult::kReceived);
  EXPECT_EQ(received, frame);
  EXPECT_EQ(session.SendWithin(frame, 5000), Result::kSent);

  // A peer that has gone is reported at once, not waited for.
  peer->Stop();
  EXPECT_EQ(session.SendWithin(frame, 60000), Result::kLinkDown);
  session.BeginStop();  // before the link it uses goes
}

TEST_F(HostSendTest, ADatagramArrivesWholeWhateverRoomTheReceiverOffersAndReachesARestartedPeer) {

  const std::string head = "h", body(2999, 'b');
  ASSERT_EQ(own->Send(head.data(), head.size(), body.data(), body.size(), true),
            DatagramLink::SendResult::kSent);
  ASSERT_EQ(own->Send("short", 5, false), DatagramLink::SendResult::kSent);

  // Too little room: the string grows to the whole datagram.
  std::string received(10, 'x');
  size_t length = 0;
  ASSERT_EQ(peer->ReceiveInto(&received, &length, 5000), DatagramLink::ReceiveResult::kReceived);
  EXPECT_EQ(length, 3000u);
  EXPECT_EQ(received, head + body);
  // Room to spare: the string keeps its size, the length tells.
  ASSERT_EQ(peer->ReceiveInto(&received, &length, 5000), DatagramLink::ReceiveResult::kReceived);
  EXPECT_EQ(received.size(), 3000u);
  EXPECT_EQ(received.substr(0, length), "short");

  // A peer that comes back at the same address is reached again.
  peer.reset();
  EXPECT_EQ(own->Send("x", 1, false), DatagramLink::SendResult::kPeerAbsent);
  std::string error;
  peer = DatagramLink::Open(clientEnd, &error);
  ASSERT_TRUE(peer) << error;
  ASSERT_EQ(own->Send("again", 5, false), DatagramLink::SendResult::kSent);
  ASSERT_EQ(peer->Receive(&received, 5000), DatagramLink::ReceiveResult::kReceived);
  EXPECT_EQ(received, "again");
}

TEST_F(HostSendTest, DatagramsThatQueuedUpComeTogetherWholeAndInOrder) {
  // More than one receive takes (but no more than the peer's queue holds),
  // of sizes below and above the room offered.
  std::vector<std::string> sent;
  for (int i = 0; i < 7; ++i) {
    sent.push_back(std::string(static_cast<size_t>(i % 3 == 0 ? 4000 + i : 10 + i),
                               static_cast<char>('a' + i)));
    ASSERT_EQ(own->Send(sent.back().data(), sent.back().size(), false),
              DatagramLink::SendResult::kSent);
  }
  std::string frames[4];
  for (std::string& frame : frames) frame.assign(100, 'x');
  size_t lengths[4] = {};
  std::vector<std::string> got;
  size_t calls = 0;
  while (got.size() < sent.size() && calls < sent.size()) {
    size_t received = 0;
    ASSERT_EQ(peer->ReceiveSome(frames, lengths, 4, 5000, &received),
              DatagramLink::ReceiveResult::kReceived);
    ++calls;
    for (size_t i = 0; i < received; ++i) got.push_back(frames[i].substr(0, lengths[i]));
  }
  EXPECT_EQ(got, sent);
  // All were waiting: full batches, not one at a time (Windows takes one).
#ifndef _WIN32
  EXPECT_EQ(calls, 2u);
#endif
  size_t received = 1;
  EXPECT_EQ(peer->ReceiveSome(frames, lengths, 4, 10, &received),
            DatagramLink::ReceiveResult::kTimeout);
  EXPECT_EQ(received, 0u);
}

}  // namespace
}  // namespace vchan_host
