// Flow control in the bridge: a full lane of the pipe queue holds its pipe
// server's reading back without losing a message, and the PCoIP worker goes on
// handling the peer's messages while the channel to the peer is blocked.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "extension/windows/NamedPipeServer.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"
#include "tests/bridge/BridgeFixture.h"

namespace kvxtest {
namespace {

// A send to the peer that waits while the channel is "full", as the host's
// send does when the peer's receive thread has stopped taking datagrams.
std::mutex channelLock;
std::condition_variable channelChanged;
bool channelOpen = true;

void SetChannelOpen(bool open) {
  {
    std::lock_guard<std::mutex> guard(channelLock);
    channelOpen = open;
  }
  channelChanged.notify_all();
}

void BlockingSendToPeer(const std::string& bytes) {
  {
    std::unique_lock<std::mutex> guard(channelLock);
    channelChanged.wait(guard, [] { return channelOpen; });
  }
  RecordSendToPeer(bytes);
}

class ChannelBridgeFlowTest : public BridgeFixture {
 protected:
  void SetUp() override {
    BridgeFixture::SetUp();
    SetChannelOpen(true);
    ASSERT_TRUE(bridge->InitializeWith(true, kBridgePipe, &BlockingSendToPeer, &TestProperties));
  }
  void TearDown() override {
    SetChannelOpen(true);
    BridgeFixture::TearDown();
  }
};

TEST_F(ChannelBridgeFlowTest, AFullPipeShareHoldsReadingBackAndLosesNothing) {
  int pipeId = -1;
  PipeClient& client = Connect(&pipeId);
  Hold(1, pipeId);
  SetChannelOpen(false);

  constexpr size_t kMessage = 1 << 20;
  const size_t bound = ChannelBridge::kPipeLaneBoundBytes;
  const int count = static_cast<int>(bound / kMessage) + 16;
  std::vector<std::string> written;
  for (int i = 0; i < count; ++i) written.push_back(TransferData(1, PatternBytes(kMessage, i)));
  std::thread writer([&] {
    for (const std::string& message : written) ASSERT_TRUE(client.Write(message));
  });

  // The pipe's lane fills up to its bound and then stops growing: the server reads
  // no further message while the pipe worker cannot send.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ChannelBridgeTestAccess::PipeQueueBytes(*bridge) < bound &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const size_t held = ChannelBridgeTestAccess::PipeQueueBytes(*bridge);
  EXPECT_GE(held, bound);
  EXPECT_LE(held, bound + written[0].size() + kQueueItemOverheadBytes);
  EXPECT_EQ(SentToPeer().Count(), 0u);

  // Once the peer takes data again, every message goes, whole and in order.
  SetChannelOpen(true);
  writer.join();
  ASSERT_TRUE(SentToPeer().WaitForCount(written.size(), std::chrono::seconds(60)));
  EXPECT_TRUE(SentToPeer().All() == written);
}

TEST_F(ChannelBridgeFlowTest, WhatThePeerSentEarlierForOthersGoesOutWhileOneApplicationDoesNotRead) {
  // An application that reads nothing, and one that reads; the peer's batch
  // holds one message for the reader, then more for the other than its pipe
  // and its share hold, so that the PCoIP worker ends up waiting for room.
  platform::PipeHandle deaf = platform::OpenPipeClient(kBridgePipe, 5000);
  ASSERT_NE(deaf, platform::InvalidPipeHandle());
  const std::string probe = ConnectRequest("deaf probe");
  ASSERT_TRUE(platform::WritePipeMessage(deaf, probe.data(), probe.size()));
  int deafPipe = -1;
  ASSERT_TRUE(WaitUntil([&] {
    for (const ChannelEntry& entry : Table()) {
      if (entry.channelName == "deaf probe") deafPipe = entry.pipeId;
    }
    return deafPipe != -1;
  }));
  int readerPipe = -1;
  PipeClient& reader = Connect(&readerPipe);
  ChannelBridgeTestAccess::SetChannels(
      *bridge, {ChannelEntry{"deaf", 1, deafPipe, 0, true}, ChannelEntry{"reader", 2, readerPipe, 0, true}});

  Orvane::Extension::Windows::NamedPipeServer::SetWriteTimeoutMs(180000);
  std::vector<std::string> batch{TransferData(2, "for the reader")};
  for (int i = 0; i < 80; ++i) batch.push_back(TransferData(1, PatternBytes(1 << 20, i)));
  ChannelBridgeTestAccess::QueuePcoipBatch(*bridge, std::move(batch));

  // It arrives while the other still reads nothing, long before that one's
  // write time-out would let the worker go on.
  std::string got;
  EXPECT_TRUE(reader.Read(&got, std::chrono::seconds(90)));
  EXPECT_EQ(got, TransferData(2, "for the reader"));
  platform::ClosePipeClient(deaf);
  Orvane::Extension::Windows::NamedPipeServer::SetWriteTimeoutMs(
      Orvane::Extension::Windows::NamedPipeServer::kWriteTimeoutMs);
}

TEST_F(ChannelBridgeFlowTest, AFloodingPipeIsHeldBackAloneAndOthersGoFirstOrAreAnsweredAtOnce) {
  int floodId = -1, otherId = -1;
  PipeClient& flood = Connect(&floodId);
  PipeClient& other = Connect(&otherId);
  Hold(1, floodId);
  Hold(2, otherId);
  SetChannelOpen(false);
  constexpr size_t kMessage = 1 << 20;
  const int count = static_cast<int>(ChannelBridge::kPipeLaneBoundBytes / kMessage) + 8;
  std::thread writer([&] {
    for (int i = 0; i < count; ++i) flood.Write(TransferData(1, PatternBytes(kMessage, i)));
  });
  ASSERT_TRUE(WaitUntil([&] {
    return ChannelBridgeTestAccess::PipeLaneBytes(*bridge, floodId) >= ChannelBridge::kPipeLaneBoundBytes;
  }));

  // The worker waits on the channel with the flood's backlog behind it, yet
  // another application's property is answered, and its data is read.
  ASSERT_TRUE(other.Write(PropertyRequest("KVXCoreType")));
  std::string answer;
  ASSERT_TRUE(other.Read(&answer));
  KVX::Message message;
  ASSERT_TRUE(message.ParseFromString(answer));
  EXPECT_EQ(message.response().get_property_response().property_value(), "Server");
  const std::string otherData = TransferData(2, "not behind the flood");
  ASSERT_TRUE(other.Write(otherData));
  ASSERT_TRUE(WaitUntil([&] { return ChannelBridgeTestAccess::PipeLaneBytes(*bridge, otherId) > 0; }));

  // Once the channel moves, it goes within a turn, not after the backlog.
  SetChannelOpen(true);
  writer.join();
  ASSERT_TRUE(SentToPeer().WaitForCount(static_cast<size_t>(count) + 1, std::chrono::seconds(60)));
  const std::vector<std::string> sent = SentToPeer().All();
  const auto at = std::find(sent.begin(), sent.end(), otherData) - sent.begin();
  EXPECT_LE(at, 2) << "sent after " << at << " of the flood's messages";
}

TEST_F(ChannelBridgeFlowTest, ThePeersRequestsAreHandledWhileTheChannelToThePeerIsBlocked) {
  int pipeId = -1;
  PipeClient& holder = Connect(&pipeId);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"held", 0, pipeId}});
  ChannelBridgeTestAccess::SetNextChannelId(*bridge, 1);
  SetChannelOpen(false);

  // Answers to the peer cannot go out, yet the PCoIP worker handles every
  // request and writes to the local application: it never waits on the
  // channel, so a peer that is itself waiting for this end cannot close a
  // cycle through it.
  constexpr int kRequests = 50;
  for (int i = 0; i < kRequests; ++i) bridge->QueuePcoipMessage(ConnectRequest("storm " + std::to_string(i)));
  bridge->QueuePcoipMessage(ConnectRequest("held"));
  std::string notice;
  ASSERT_TRUE(holder.Read(&notice));
  EXPECT_EQ(ReadNotice(notice), (NoticeFields{"held", 0, KVX::CONNECTION_CONNECTED}));
  EXPECT_EQ(Table().size(), kRequests + 1u);
  EXPECT_EQ(SentToPeer().Count(), 0u);

  SetChannelOpen(true);
  ASSERT_TRUE(SentToPeer().WaitForCount(kRequests + 1));
  const std::vector<std::string> answers = SentToPeer().All();
  for (int i = 0; i < kRequests; ++i) {
    EXPECT_EQ(ReadNotice(answers[i]),
              (NoticeFields{"storm " + std::to_string(i), i + 1, KVX::CONNECTION_PENDING_PEER}));
  }
  EXPECT_EQ(answers.back(), notice);
}

TEST_F(ChannelBridgeFlowTest, APeersStormNeitherGrowsTheAnswersWithoutBoundNorDropsAHoldersAnswer) {
  int pipeId = -1;
  PipeClient& holder = Connect(&pipeId);
  ChannelBridgeTestAccess::SetChannels(*bridge, {{"held", 0, pipeId}});
  ChannelBridgeTestAccess::SetNextChannelId(*bridge, 1);
  SetChannelOpen(false);
  // Repeated requests for one name pile up no answers: one of each kind.
  for (int i = 0; i < 100; ++i) bridge->QueuePcoipMessage(ConnectRequest("again"));
  // Ever new long names: the table takes its share of them, and the answers
  // to the rest (refusals) count against the bound; beyond it they are dropped.
  auto name = [](size_t i) { return std::string(1000, 'n') + std::to_string(i); };
  const size_t perAnswer =
      QueuedBytesOf(BuildConnectionNotice(name(999999), -1, kRefusedTableFull));
  const size_t fitting = ChannelBridge::kPeerBoundBacklogBytes / perAnswer;
  const size_t requests = ChannelTable::kMaxEntriesFromPeer + fitting + 2000;
  for (size_t i = 0; i < requests; ++i) bridge->QueuePcoipMessage(ConnectRequest(name(i)));
  ASSERT_TRUE(debug.WaitFor(ChannelBridgeText::kPeerBacklogFull));
  // An answer about a channel an application here holds still goes.
  bridge->QueuePcoipMessage(ConnectRequest("held"));
  std::string notice;
  ASSERT_TRUE(holder.Read(&notice));
  EXPECT_EQ(ReadNotice(notice), (NoticeFields{"held", 0, KVX::CONNECTION_CONNECTED}));
  EXPECT_LE(ChannelBridgeTestAccess::PipeQueueBytes(*bridge),
            ChannelBridge::kPeerBoundBacklogBytes +
                (ChannelTable::kMaxEntriesFromPeer + 3) * perAnswer);

  // What was kept goes out once the peer reads again, and answers flow anew.
  SetChannelOpen(true);
  ASSERT_TRUE(WaitUntil([&] { return ChannelBridgeTestAccess::PipeQueueBytes(*bridge) == 0; },
                        std::chrono::seconds(60)));
  bridge->QueuePcoipMessage(ConnectRequest("after"));
  ASSERT_TRUE(WaitUntil([] {
    const std::vector<std::string> sent = SentToPeer().All();
    return !sent.empty() && ReadNotice(sent.back()).name == "after";
  }, std::chrono::seconds(60)));
  size_t again = 0, held = 0;
  for (const std::string& answer : SentToPeer().All()) {
    again += ReadNotice(answer).name == "again" ? 1 : 0;
    held += ReadNotice(answer) == NoticeFields{"held", 0, KVX::CONNECTION_CONNECTED} ? 1 : 0;
  }
  // Pending, then connected; one more connected at most, when the worker took
  // the first ones before the channel blocked it and more requests came.
  EXPECT_GE(again, 2u);
  EXPECT_LE(again, 3u);
  EXPECT_EQ(held, 1u);
  EXPECT_GE(SentToPeer().Count(), fitting);
}

}  // namespace
}  // namespace kvxtest
