// The bridge's start, queues, workers, pipe write path and teardown.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "tests/bridge/BridgeFixture.h"

namespace kvxtest {
namespace {

using ChannelBridgeCoreTest = BridgeFixture;

TEST_F(ChannelBridgeCoreTest, StartsOnceWithSixServersAndKeepsItsEnd) {
  EXPECT_FALSE(bridge->InitializeWith(true, "", &RecordSendToPeer, &TestProperties));
  EXPECT_EQ(ChannelBridgeTestAccess::ServerCount(*bridge), 0u);
  EXPECT_FALSE(ChannelBridgeTestAccess::Started(*bridge));

  EXPECT_TRUE(bridge->InitializeWith(true, kBridgePipe, &RecordSendToPeer, &TestProperties));
  EXPECT_EQ(ChannelBridgeTestAccess::ServerCount(*bridge), 6u);
  EXPECT_FALSE(bridge->InitializeWith(false, kBridgePipe, &RecordSendToPeer, &TestProperties));
  EXPECT_TRUE(ChannelBridgeTestAccess::IsServerEnd(*bridge));
  EXPECT_EQ(ChannelBridgeTestAccess::ServerCount(*bridge), 6u);

  // Six applications at once, on pipe IDs 0 to 5.
  std::set<int> pipeIds;
  for (int i = 0; i < 6; ++i) {
    int pipeId = -1;
    Connect(&pipeId);
    pipeIds.insert(pipeId);
  }
  EXPECT_EQ(pipeIds, (std::set<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(ChannelBridgeCoreTest, NullRoutinesAreRefused) {
  EXPECT_FALSE(bridge->InitializeWith(true, kBridgePipe, nullptr, &TestProperties));
  EXPECT_FALSE(bridge->InitializeWith(true, kBridgePipe, &RecordSendToPeer, nullptr));
  EXPECT_EQ(ChannelBridgeTestAccess::ServerCount(*bridge), 0u);
}

TEST_F(ChannelBridgeCoreTest, AServerFailingToStartFailsTheStartAndARetryBeginsAfresh) {
  // Four instances taken by someone else leave room for two of the bridge's.
  std::vector<platform::PipeHandle> taken;
  for (int i = 0; i < 4; ++i) {
    taken.push_back(platform::CreateNamedPipeInstance(
        kBridgePipe, platform::kPipeAccessDuplexOverlapped, platform::kPipeMessageModeWait, 6,
        4096, 4096, 5000));
    ASSERT_NE(taken.back(), platform::InvalidPipeHandle());
  }
  EXPECT_FALSE(bridge->InitializeWith(true, kBridgePipe, &RecordSendToPeer, &TestProperties));
  // The servers that did start are ended with the failed start.
  EXPECT_EQ(ChannelBridgeTestAccess::ServerCount(*bridge), 0u);
  EXPECT_FALSE(ChannelBridgeTestAccess::Started(*bridge));
  EXPECT_NE(console.Text().find("Failed to create NamedPipe client. Error=231\n"), std::string::npos);

  for (platform::PipeHandle pipe : taken) platform::ClosePipe(pipe);
  EXPECT_TRUE(bridge->InitializeWith(true, kBridgePipe, &RecordSendToPeer, &TestProperties));
  EXPECT_EQ(ChannelBridgeTestAccess::ServerCount(*bridge), 6u);
  std::set<int> pipeIds;
  for (int i = 0; i < 6; ++i) {
    int pipeId = -1;
    Connect(&pipeId);
    pipeIds.insert(pipeId);
  }
  EXPECT_EQ(pipeIds, (std::set<int>{0, 1, 2, 3, 4, 5}));
}

// Everything queued was sent once, and the items of each pipe in their
// order: item i (from `first` on) came from pipe (i - first) % 6. The pipes
// take turns, so the order across pipes is not kept.
void ExpectEachPipesOrder(const std::vector<std::string>& sent,
                          const std::vector<std::string>& queued, size_t first) {
  EXPECT_EQ(std::multiset<std::string>(sent.begin(), sent.end()),
            std::multiset<std::string>(queued.begin(), queued.end()));
  for (size_t pipe = 0; pipe < 6; ++pipe) {
    std::vector<std::string> want, got;
    for (size_t i = first; i < queued.size(); ++i) {
      if ((i - first) % 6 == pipe) want.push_back(queued[i]);
    }
    for (const std::string& bytes : sent) {
      if (std::find(want.begin(), want.end(), bytes) != want.end()) got.push_back(bytes);
    }
    EXPECT_EQ(got, want) << "pipe " << pipe;
  }
}

TEST_F(ChannelBridgeCoreTest, PipeItemsAreHandledInEachPipesOrder) {
  Start(true);
  std::vector<std::string> queued;
  for (int i = 0; i < 30; ++i) {
    Hold(i, i % 6);
    queued.push_back(TransferData(i, "from pipe " + std::to_string(i % 6)));
    bridge->QueuePipeMessage(PipeItem{i % 6, queued.back()});
  }
  ASSERT_TRUE(SentToPeer().WaitForCount(queued.size()));
  ExpectEachPipesOrder(SentToPeer().All(), queued, 0);
}

// Holds the peer send of the first item until released, so that later items
// pile up behind it.
std::mutex gateLock;
std::condition_variable gateChanged;
bool gateOpen = false;
std::atomic<int> gatedSends{0};

void GatedSendToPeer(const std::string& bytes) {
  ++gatedSends;
  std::unique_lock<std::mutex> guard(gateLock);
  gateChanged.wait(guard, [] { return gateOpen; });
  guard.unlock();
  RecordSendToPeer(bytes);
}

TEST_F(ChannelBridgeCoreTest, TenItemsQueuedDuringOneHandlingAreAllHandledEachPipeInOrder) {
  gateOpen = false;
  gatedSends = 0;
  ASSERT_TRUE(bridge->InitializeWith(true, kBridgePipe, &GatedSendToPeer, &TestProperties));
  Hold(100, 0);
  for (int i = 0; i < 10; ++i) Hold(i, i % 6);
  bridge->QueuePipeMessage(PipeItem{0, TransferData(100, "first")});
  ASSERT_TRUE(WaitUntil([] { return gatedSends.load() == 1; }));

  std::vector<std::string> queued{TransferData(100, "first")};
  for (int i = 0; i < 10; ++i) {
    queued.push_back(TransferData(i, "item"));
    bridge->QueuePipeMessage(PipeItem{i % 6, queued.back()});
  }
  {
    std::lock_guard<std::mutex> guard(gateLock);
    gateOpen = true;
  }
  gateChanged.notify_all();
  ASSERT_TRUE(SentToPeer().WaitForCount(queued.size()));
  ExpectEachPipesOrder(SentToPeer().All(), queued, 1);
}

TEST_F(ChannelBridgeCoreTest, PeerMessagesBeforeTheStartAreHeldAndThenHandledInOrder) {
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) {
    const std::string name = "early " + std::to_string(i);
    bridge->QueuePcoipMessage(ConnectRequest(name));
    expected.push_back(Notice(name, i, KVX::CONNECTION_PENDING_PEER));
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(SentToPeer().Count(), 0u);

  Start(true);
  ASSERT_TRUE(SentToPeer().WaitForCount(expected.size()));
  EXPECT_EQ(SentToPeer().All(), expected);
}

TEST_F(ChannelBridgeCoreTest, WritesToPipeIdsOutsideTheListAreRefused) {
  Start(true);
  int pipeId = -1;
  PipeClient& client = Connect(&pipeId);

  bridge->WriteToPipe(-1, 0, "lost");
  bridge->WriteToPipe(6, 0, "lost");
  EXPECT_EQ(debug.CountOf("ERROR: Invalid pipe ID."), 2u);
  bridge->WriteToPipe(pipeId, 0, std::string("ok\0!", 4));
  std::string received;
  ASSERT_TRUE(client.Read(&received));
  EXPECT_EQ(received, std::string("ok\0!", 4));
  ExpectNothingMoreFor(client);
}

TEST_F(ChannelBridgeCoreTest, TeardownHandlesEverythingStillQueued) {
  Start(true);
  for (int i = 0; i < 20; ++i) Hold(i, i % 6);
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) {
    bridge->QueuePcoipMessage(ConnectRequest("queued " + std::to_string(i)));
    const std::string data = TransferData(i, "pipe");
    bridge->QueuePipeMessage(PipeItem{i % 6, data});
  }
  bridge.reset();
  // Every item reached its handler: 20 forwarded requests, 20 notices.
  EXPECT_EQ(SentToPeer().Count(), 40u);
}

TEST_F(ChannelBridgeCoreTest, TeardownDropsTheChannelsOfConnectedClients) {
  Start(true);
  int pipeId = -1;
  PipeClient& client = Connect(&pipeId);
  ASSERT_TRUE(client.Write(ConnectRequest("A")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  bridge.reset();
  EXPECT_TRUE(client.WaitForEnd());
}

TEST(ChannelBridgeInstanceTest, EveryThreadGetsTheSameBridge) {
  std::vector<ChannelBridge*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &ChannelBridge::Instance(); });
  }
  for (auto& thread : threads) thread.join();
  for (ChannelBridge* bridge : seen) EXPECT_EQ(bridge, seen[0]);

  // An early shutdown ends its workers; the one at exit then has nothing left
  // to do, and the bridge stays a valid object that refuses to start.
  ChannelBridge::ShutdownInstance();
  ChannelBridge::ShutdownInstance();
  EXPECT_FALSE(ChannelBridge::Instance().InitializeWith(true, kBridgePipe, &RecordSendToPeer,
                                                        &TestProperties));
  ChannelBridge::Instance().QueuePcoipMessage("after shutdown");
}

}  // namespace
}  // namespace kvxtest
