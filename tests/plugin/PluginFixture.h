// Shared set-up for tests that run the plug-in's channel side against the test
// host: each test gets a freshly initialised channel and leaves it exited, so
// the process-wide plug-in stays usable for the next test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"
#include "tests/plugin/TestHost.h"

// Reads what the receive thread put on the bridge's queue from the peer. The
// bridge is never started in these tests, so its worker leaves the queue be.
class ChannelBridgeTestAccess {
 public:
  static std::vector<std::string> TakePcoipQueue() {
    ChannelBridge& bridge = ChannelBridge::Instance();
    platform::CriticalSectionLock guard(bridge.pcoipQueueLock);
    std::vector<std::string> out(bridge.pcoipQueue.begin(), bridge.pcoipQueue.end());
    bridge.pcoipQueue.clear();
    return out;
  }
  static size_t PcoipQueueSize() {
    ChannelBridge& bridge = ChannelBridge::Instance();
    platform::CriticalSectionLock guard(bridge.pcoipQueueLock);
    return bridge.pcoipQueue.size();
  }
};

// Waits until `count` messages are queued, then takes them all.
inline std::vector<std::string> WaitForPeerMessages(
    size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ChannelBridgeTestAccess::PcoipQueueSize() < count &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ChannelBridgeTestAccess::TakePcoipQueue();
}

class PluginTest : public ::testing::Test {
 protected:
  virtual int32_t End() const { return 0; }  // 1 server, 0 client

  void SetUp() override {
    host().Reset();
    PluginLogLimiter().Reset();
    ChannelBridgeTestAccess::TakePcoipQueue();
    table_ = host().Table();
    ASSERT_EQ(init_sample_vchan(End(), &table_), 0);
    ASSERT_TRUE(host().WaitForLog("Receive thread started"));
  }

  void TearDown() override {
    exit_sample_vchan(&g_plugin_context);
    ChannelBridgeTestAccess::TakePcoipQueue();
    host().Reset();
  }

  static TestHost& host() { return TestHost::Get(); }

  // Connect event and channel event 0, as a host does when the peer is there.
  void OpenChannel() {
    if (End() == 1) {
      host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_CHANNEL, 0);
    } else {
      host().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_SESSION, 1);
    }
    host().FireChannel(PCOIP_VCHAN_EVENT_OPEN_SUCCESS);
  }

  // Datagrams the thread should read, then a ready event; waits until the
  // thread has asked for all of them.
  void Deliver(const std::vector<std::string>& datagrams) {
    for (const std::string& d : datagrams) host().QueueRead({d, 0});
    host().FireChannel(PCOIP_VCHAN_EVENT_RECV_RDY);
  }

  std::vector<LogLine> LinesContaining(const std::string& needle) {
    std::vector<LogLine> out;
    for (const LogLine& line : host().Logs()) {
      if (line.text.find(needle) != std::string::npos) out.push_back(line);
    }
    return out;
  }

  pcoip_vchan_intf table_{};
};

class ServerPluginTest : public PluginTest {
 protected:
  int32_t End() const override { return 1; }
};
