// The receive thread: reading what the host announces, putting messages back
// together and handing whole ones to the bridge, and what it does when the
// host or the peer misbehaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "src/application/common/PcoipVchan/PcoipVchanReassembler.h"
#include "tests/plugin/PluginFixture.h"

namespace {

using Messages = std::vector<std::string>;

TEST_F(PluginTest, ReassemblesAMessageAcrossSeveralReadyEvents) {
  OpenChannel();
  std::string message(10000, '\0');
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i % 253);
  Deliver({MakeDatagram(0, message.substr(0, 2984), false),
           MakeDatagram(1, message.substr(2984, 2984), false)});
  ASSERT_TRUE(host().WaitForReadsTaken());
  Deliver({MakeDatagram(2, message.substr(5968, 2984), false)});
  ASSERT_TRUE(host().WaitForReadsTaken());
  EXPECT_EQ(ChannelBridgeTestAccess::PcoipQueueSize(), 0u) << "handed on before the last fragment";
  Deliver({MakeDatagram(3, message.substr(8952), true)});

  EXPECT_EQ(WaitForPeerMessages(1), Messages{message});
  // The statistics line states the message's own length and fragment count.
  ASSERT_TRUE(host().WaitForLog("bytes in 4 packets"));
  auto lines = LinesContaining("rx_thread_entry: It took ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].text.find(" ms to receive 10000 bytes in 4 packets (Av="), std::string::npos)
      << lines[0].text;
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].tag, "quor_tera_dgram_vchan");
}

TEST_F(PluginTest, EmptyReadSendsTheThreadBackToWaiting) {
  OpenChannel();
  host().SetCountBias(2);  // the host announces more than it has
  Deliver({MakeDatagram(0, "one", true)});
  ASSERT_TRUE(host().WaitForLog("[PCOIP_ERR_EMPTY]"));
  auto lines = LinesContaining(
      "rx_thread_entry: no datagrams to receive [PCOIP_ERR_EMPTY], wait for another recv ready event!");
  ASSERT_EQ(lines.size(), 1u) << "the rest of the announced count is not read";
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].code, 0);

  host().SetCountBias(0);
  Deliver({MakeDatagram(0, "two", true)});
  EXPECT_EQ(WaitForPeerMessages(2), (Messages{"one", "two"}));
}

TEST_F(PluginTest, FailedReadUsesUpOneDatagramAndTheRestIsReadAtOnce) {
  OpenChannel();
  host().QueueRead({MakeDatagram(0, "first half,", false), 0});
  host().QueueRead({"", -77});
  host().QueueRead({MakeDatagram(1, " second half", true), 0});
  host().FireChannel(PCOIP_VCHAN_EVENT_RECV_RDY);
  // No second ready event: the datagram announced after the failed read is
  // read in the same pass.
  EXPECT_EQ(WaitForPeerMessages(1), Messages{"first half, second half"});
  auto lines = LinesContaining("rx_thread_entry: pcoip_vchan_read() failed result=-77!");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].code, -500);
}

TEST_F(PluginTest, FailedCountWaitsForTheNextReadyEvent) {
  OpenChannel();
  host().SetCountResult(-9);
  host().FireChannel(PCOIP_VCHAN_EVENT_RECV_RDY);
  ASSERT_TRUE(host().WaitForLog("Error in pcoip_vchan_get_num_rx_dgrams call"));
  auto count = LinesContaining(
      "rx_thread_entry: Error in pcoip_vchan_get_num_rx_dgrams call, wait for another recv ready event!");
  ASSERT_EQ(count.size(), 1u);
  EXPECT_EQ(count[0].code, -9);
  EXPECT_FALSE(host().HasLog("Exiting thread!"));

  // Once the count answers again, the next ready event is served.
  host().SetCountResult(0);
  Deliver({MakeDatagram(0, "read after all", true)});
  EXPECT_EQ(WaitForPeerMessages(1), Messages{"read after all"});
}

TEST_F(PluginTest, OnlyMessagesWhoseFragmentsAllArrivedInOrderAreHandedOn) {
  OpenChannel();
  Deliver({
      // A sender that gave up after two fragments: the next fragment 0 starts over.
      MakeDatagram(0, "AAA", false), MakeDatagram(1, "BBB", false), MakeDatagram(0, "new", true),
      // A stray fragment with nothing in progress.
      MakeDatagram(5, "stray", true),
      // A gap: this message and its tail are dropped.
      MakeDatagram(0, "x", false), MakeDatagram(2, "y", false), MakeDatagram(3, "z", true),
      // A repeated fragment.
      MakeDatagram(0, "p", false), MakeDatagram(1, "q", false), MakeDatagram(1, "q", false),
      MakeDatagram(2, "r", true),
      MakeDatagram(0, "ok", false), MakeDatagram(1, "!", true),
  });
  EXPECT_EQ(WaitForPeerMessages(2), (Messages{"new", "ok!"}));
  ASSERT_TRUE(host().WaitForReadsTaken());

  auto restarted = LinesContaining("new message began after fragment 1, 6 bytes of the unfinished one dropped!");
  ASSERT_EQ(restarted.size(), 1u);
  EXPECT_EQ(restarted[0].level, 1);
  EXPECT_EQ(restarted[0].code, -500);
  EXPECT_EQ(LinesContaining("fragment 2 arrived where 1 was due").size(), 1u)
      << "one line per dropped message, not per fragment";
  EXPECT_EQ(LinesContaining("fragment 1 arrived where 2 was due").size(), 1u);
  EXPECT_EQ(LinesContaining("fragment 5 arrived where 0 was due").size(), 1u);
}

TEST_F(PluginTest, PayloadLengthBeyondTheDatagramDropsItAndItsMessage) {
  OpenChannel();
  Deliver({
      MakeDatagram(0, "kept?", false),
      MakeDatagram(1, "0123456789", true, /*claimedLength=*/100),
      MakeDatagram(0, std::string(10, 'a'), true, /*claimedLength=*/6000),
      MakeDatagram(0, "fine", true),
  });
  EXPECT_EQ(WaitForPeerMessages(1), Messages{"fine"});
  EXPECT_EQ(LinesContaining("datagram of 26 bytes claims 100 payload bytes").size(), 1u);
  EXPECT_EQ(LinesContaining("claims 6000 payload bytes").size(), 1u);
}

TEST_F(PluginTest, EmptyLastFragmentLogsTheStatisticsButHandsNothingOn) {
  OpenChannel();
  Deliver({MakeDatagram(0, "", true), MakeDatagram(0, "after", true)});
  EXPECT_EQ(WaitForPeerMessages(1), Messages{"after"});
  EXPECT_EQ(LinesContaining("to receive 0 bytes in 1 packets").size(), 1u);
}

TEST_F(PluginTest, MessageOutgrowingTheBoundIsDroppedUntilTheNextFirstFragment) {
  DatagramReassembler reassembler(kChannelName);
  VchanDatagram dgram{};
  dgram.payload_length = kDatagramPayloadCapacity;
  std::string out;
  uint32_t sequence = 0;
  bool dropped = false;
  for (uint64_t total = 0; total <= kMaxReassembledMessage + kDatagramPayloadCapacity;
       total += kDatagramPayloadCapacity) {
    dgram.sequence = sequence++;
    EXPECT_FALSE(reassembler.OnDatagram(dgram, kDatagramBufferSize, 0, &out));
    if (!reassembler.MessageInProgress()) {
      dropped = true;
      break;
    }
  }
  ASSERT_TRUE(dropped);
  EXPECT_EQ(sequence - 1, kMaxReassembledMessage / kDatagramPayloadCapacity);
  EXPECT_EQ(LinesContaining("message outgrew").size(), 1u);

  dgram.sequence = sequence;  // the rest of that message
  dgram.last_fragment = 1;
  EXPECT_FALSE(reassembler.OnDatagram(dgram, kDatagramBufferSize, 0, &out));
  dgram.sequence = 0;
  dgram.payload_length = 3;
  std::memcpy(dgram.payload, "new", 3);
  ASSERT_TRUE(reassembler.OnDatagram(dgram, 19, 0, &out));
  EXPECT_EQ(out, "new");
}

TEST_F(PluginTest, WhatAFirstFragmentSaysOfTheLengthNeverChangesTheMessage) {
  // A message's first bytes tell its length; the room made from them must not
  // matter when they tell it right, tell too much or too little, or overflow.
  DatagramReassembler reassembler(kChannelName);
  auto reassemble = [&](const std::string& message) {
    VchanDatagram dgram{};
    std::string out;
    uint32_t sequence = 0;
    for (size_t at = 0; at < message.size(); at += kDatagramPayloadCapacity) {
      const size_t chunk = std::min<size_t>(kDatagramPayloadCapacity, message.size() - at);
      dgram.sequence = sequence++;
      dgram.payload_length = static_cast<uint32_t>(chunk);
      dgram.last_fragment = at + chunk == message.size() ? 1 : 0;
      std::memcpy(dgram.payload, message.data() + at, chunk);
      reassembler.OnDatagram(dgram, kDatagramHeaderSize + dgram.payload_length, 0, &out);
    }
    return out;
  };
  auto withHeader = [](const std::string& header, size_t size) {
    std::string message = header;
    while (message.size() < size) message.push_back(static_cast<char>(message.size() * 31 % 251));
    return message;
  };
  const std::string told = withHeader(std::string("\xA2\x01\xFC\xD3\x01", 5), 27137);
  const std::string tooMuch = withHeader(std::string("\xF2\x01\x80\x80\x80\x1F", 6), 12000);
  const std::string tooLittle = withHeader(std::string("\xA2\x01\x05", 3), 20001);
  const std::string overflowing = withHeader(std::string(12, '\xFF'), 15000);
  for (const std::string& message : {told, tooMuch, tooLittle, overflowing}) {
    const std::string out = reassemble(message);
    EXPECT_TRUE(out == message) << message.size();
    // The room an overstated length made does not go on with the message.
    EXPECT_LE(out.capacity(), message.size() + 64 * 1024) << message.size();
  }
}

TEST_F(PluginTest, SeveralMegabytesGoThroughALoopbackWhole) {
  host().SetLoopback(true);
  OpenChannel();
  auto makeMessage = [](size_t size, uint32_t seed) {
    std::string message(size, '\0');
    for (size_t i = 0; i < size; ++i) message[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
    return message;
  };
  const std::string big = makeMessage(6 * 1024 * 1024 + 17, 1);
  const std::string other = makeMessage(3 * 1024 * 1024 + 5, 2);

  auto start = std::chrono::steady_clock::now();
  // Two senders at once: each message must still leave as one unbroken run.
  std::thread second([&] { SendOverPcoip(other); });
  SendOverPcoip(big);
  second.join();
  Messages received = WaitForPeerMessages(2, std::chrono::seconds(60));
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  ASSERT_EQ(received.size(), 2u);
  if (received[0].size() != big.size()) std::swap(received[0], received[1]);
  EXPECT_TRUE(received[0] == big);
  EXPECT_TRUE(received[1] == other);
  EXPECT_FALSE(host().HasLog("arrived where")) << "fragments of the two messages interleaved";
  RecordProperty("loopback_ms", static_cast<int>(elapsed.count()));
  std::printf("9 MiB through the loopback in %lld ms\n", static_cast<long long>(elapsed.count()));
}

TEST_F(PluginTest, AFullPeerQueueStopsTheReadingUntilThereIsRoomAndLosesNothing) {
  OpenChannel();
  // One-datagram messages, each numbered; enough to fill the queue and more.
  auto numbered = [](size_t i) {
    std::string payload(2984, static_cast<char>(i % 251));
    std::memcpy(&payload[0], &i, sizeof i);
    return payload;
  };
  const size_t fitting = ChannelBridge::kPcoipQueueBoundBytes / QueuedBytesOf(numbered(0)) + 1;
  const size_t total = fitting + 100;
  std::vector<std::string> datagrams;
  for (size_t i = 0; i < total; ++i) datagrams.push_back(MakeDatagram(0, numbered(i), true));
  Deliver(datagrams);

  // The thread stops once the queue is full and leaves the rest with the host.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ChannelBridgeTestAccess::PcoipQueueSize() < fitting &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(host().WaitForReadsTaken(std::chrono::milliseconds(500)));
  EXPECT_EQ(ChannelBridgeTestAccess::PcoipQueueSize(), fitting);

  // Room again: it reads on where it stopped, without another ready event.
  Messages received = ChannelBridgeTestAccess::TakePcoipQueue();
  const Messages rest = WaitForPeerMessages(total - fitting, std::chrono::seconds(60));
  received.insert(received.end(), rest.begin(), rest.end());
  ASSERT_EQ(received.size(), total);
  for (size_t i = 0; i < total; ++i) {
    ASSERT_EQ(received[i], numbered(i)) << "message " << i;
  }
}

}  // namespace
