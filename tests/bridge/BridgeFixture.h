// A bridge of the test's own on a private pipe folder, with real pipe clients
// whose pipe IDs the fixture finds out, and recorders for the peer, the debug
// output and std::cout.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/bridge/BridgeTestSupport.h"

namespace kvxtest {

constexpr char kBridgePipe[] = "\\\\.\\pipe\\KVX_Bridge_Test";

class BridgeFixture : public ::testing::Test {
 protected:
  void SetUp() override { SentToPeer().Clear(); }
  void TearDown() override {
    clients.clear();
    bridge.reset();
  }

  void Start(bool isServerEnd) {
    ASSERT_TRUE(bridge->InitializeWith(isServerEnd, kBridgePipe, &RecordSendToPeer, &TestProperties));
  }

  // Connects a client and finds its pipe ID with a connect request for a
  // probe name, which is then taken out of the table (and of what went to the
  // peer) again, leaving the channel IDs untouched.
  PipeClient& Connect(int* pipeId) {
    clients.push_back(std::make_unique<PipeClient>(kBridgePipe));
    PipeClient& client = *clients.back();
    EXPECT_TRUE(client.Connected());
    const std::string probe = "probe " + std::to_string(clients.size());
    const auto before = ChannelBridgeTestAccess::Channels(*bridge);
    const size_t sentBefore = SentToPeer().Count();
    EXPECT_TRUE(client.Write(ConnectRequest(probe)));
    EXPECT_TRUE(SentToPeer().WaitForCount(sentBefore + 1));
    std::vector<ChannelEntry> table;
    for (const ChannelEntry& entry : ChannelBridgeTestAccess::Channels(*bridge)) {
      if (entry.channelName == probe) {
        *pipeId = entry.pipeId;
      } else {
        table.push_back(entry);
      }
    }
    ChannelBridgeTestAccess::SetChannels(*bridge, table);
    if (ChannelBridgeTestAccess::IsServerEnd(*bridge)) {
      int32_t next = 0;
      for (const ChannelEntry& entry : table) {
        next = std::max<int32_t>(next, static_cast<int32_t>(entry.channelId) + 1);
      }
      ChannelBridgeTestAccess::SetNextChannelId(*bridge, next);
    }
    SentToPeer().Clear();
    return client;
  }

  // Proves that nothing else was written to the client's pipe: a property
  // request sent now must be answered by the very next message it reads.
  void ExpectNothingMoreFor(PipeClient& client) {
    ASSERT_TRUE(client.Write(PropertyRequest("sentinel")));
    std::string next;
    ASSERT_TRUE(client.Read(&next));
    KVX::Message message;
    ASSERT_TRUE(message.ParseFromString(next));
    EXPECT_TRUE(message.response().has_get_property_response())
        << "unexpected message on the pipe: " << ReadNotice(next);
    EXPECT_EQ(message.response().get_property_response().property_name(), "sentinel");
  }

  std::vector<ChannelEntry> Table() { return ChannelBridgeTestAccess::Channels(*bridge); }

  // The table's ID for the name; -1 when the table does not know the name.
  int64_t IdOf(const std::string& name) {
    for (const ChannelEntry& entry : Table()) {
      if (entry.channelName == name) return entry.channelId;
    }
    return -1;
  }

  // Gives a channel of this ID, one the table does not use yet, to the first
  // client of the pipe (only a channel's holder sends data on it); IDs handed
  // out later come after it.
  void Hold(int64_t channelId, int pipeId) {
    std::vector<ChannelEntry> table = Table();
    table.push_back({"held " + std::to_string(channelId), channelId, pipeId});
    int64_t next = 0;
    for (const ChannelEntry& entry : table) next = std::max(next, entry.channelId + 1);
    ChannelBridgeTestAccess::SetChannels(*bridge, table);
    ChannelBridgeTestAccess::SetNextChannelId(*bridge, next);
  }

  ScopedPipeDir pipeDir;
  CoutCapture console;
  DebugCapture debug;
  ChannelBridgeTestAccess::Owned bridge = ChannelBridgeTestAccess::Create();
  std::vector<std::unique_ptr<PipeClient>> clients;
};

}  // namespace kvxtest
