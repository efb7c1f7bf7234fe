// The TCP link on the loopback: frames of every size arrive whole and in
// order both ways, a peer that reads nothing holds the sender back, and a
// peer that leaves is noticed.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "tools/vchan-host/TcpLink.h"

namespace vchan_host {
namespace {

using Send = HostLink::SendResult;
using Receive = HostLink::ReceiveResult;

// A listening end on a free port of the loopback and an end connecting to it;
// each connects (or accepts) while it receives.
struct LinkPair {
  std::unique_ptr<HostLink> listening, connecting;

  bool Open() {
    HostOptions options;
    options.tcp = true;
    std::string error;
    for (uint16_t port = 47311; port < 47411 && !listening; ++port) {
      options.localPort = port;
      listening = TcpLink::Open(options, &error);
    }
    if (!listening) return false;
    HostOptions peer;
    peer.tcp = true;
    peer.peerPort = options.localPort;
    connecting = TcpLink::Open(peer, &error);
    std::string frame;
    size_t length = 0;
    for (int i = 0; i < 100; ++i) {
      connecting->ReceiveInto(&frame, &length, 50);
      listening->ReceiveInto(&frame, &length, 50);
      if (connecting->Send("c", 1, false) == Send::kSent && listening->Send("l", 1, false) == Send::kSent) {
        return connecting->Receive(&frame, 5000) == Receive::kReceived && frame == "l" &&
               listening->Receive(&frame, 5000) == Receive::kReceived && frame == "c";
      }
    }
    return false;
  }
};

TEST(TcpLinkTest, FramesOfEverySizeArriveWholeAndInOrderBothWays) {
  LinkPair pair;
  ASSERT_TRUE(pair.Open());
  const std::vector<size_t> sizes = {1, 2, 3001, HostLink::kMaxDatagram, 17, HostLink::kMaxDatagram + 1};
  for (HostLink* from : {pair.listening.get(), pair.connecting.get()}) {
    HostLink* to = from == pair.listening.get() ? pair.connecting.get() : pair.listening.get();
    for (size_t i = 0; i < sizes.size(); ++i) {
      const std::string head(1, static_cast<char>('a' + i)), body(sizes[i] - 1, static_cast<char>('0' + i));
      ASSERT_EQ(from->Send(head.data(), head.size(), body.data(), body.size(), true), Send::kSent);
    }
    std::string frame(10, 'x');  // less room than most frames need
    for (size_t i = 0; i < sizes.size(); ++i) {
      size_t length = 0;
      ASSERT_EQ(to->ReceiveInto(&frame, &length, 5000), Receive::kReceived);
      ASSERT_EQ(length, sizes[i]);
      EXPECT_EQ(frame[0], static_cast<char>('a' + i));
      EXPECT_EQ(frame.substr(1, length - 1), std::string(sizes[i] - 1, static_cast<char>('0' + i)));
    }
  }
  const std::string tooLong(HostLink::kMaxDatagram + 2, 'x');
  EXPECT_EQ(pair.connecting->Send(tooLong.data(), tooLong.size(), true), Send::kFailed);
}

TEST(TcpLinkTest, APeerThatReadsNothingHoldsTheSenderBackAndOneThatLeavesIsNoticed) {
  LinkPair pair;
  ASSERT_TRUE(pair.Open());
  // Non-waiting sends go until the kernel's buffers are full, then are busy.
  const std::string frame(60000, 'f');
  size_t sent = 0;
  while (sent < 20000 && pair.connecting->Send(frame.data(), frame.size(), false) == Send::kSent) ++sent;
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, 20000u) << "1.2 GB went without the peer reading";

  // The reader takes everything; all of it arrives, then the link is quiet.
  std::string got;
  for (size_t i = 0; i < sent; ++i) {
    ASSERT_EQ(pair.listening->Receive(&got, 5000), Receive::kReceived) << i << " of " << sent;
    ASSERT_EQ(got.size(), frame.size());
  }
  EXPECT_EQ(pair.listening->Receive(&got, 100), Receive::kTimeout);

  // The peer leaves (its process ends): the other end's receive fails and
  // its sends find nobody.
  pair.listening.reset();
  size_t length = 0;
  EXPECT_EQ(pair.connecting->ReceiveInto(&got, &length, 5000), Receive::kFailed);
  Send result = Send::kSent;
  for (int i = 0; i < 100 && result == Send::kSent; ++i) result = pair.connecting->Send("x", 1, true);
  EXPECT_EQ(result, Send::kPeerAbsent);
}

}  // namespace
}  // namespace vchan_host
