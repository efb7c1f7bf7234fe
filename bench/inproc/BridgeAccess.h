// The bridge's internals as these benchmarks need them: the queue the receive
// thread fills, bridges of the benchmark's own, and their pipe servers.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "extension/windows/NamedPipeServer.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"

class ChannelBridgeTestAccess {
 public:
  // Takes one complete message the receive thread queued, if there is one.
  static bool TakePcoipMessage(std::string* message) {
    ChannelBridge& bridge = ChannelBridge::Instance();
    platform::CriticalSectionLock guard(bridge.pcoipQueueLock);
    if (bridge.pcoipQueue.empty()) return false;
    *message = std::move(bridge.pcoipQueue.front());
    bridge.pcoipQueue.pop_front();
    return true;
  }

  static ChannelBridge* Create() { return new ChannelBridge(); }
  static void Destroy(ChannelBridge* bridge) { delete bridge; }
  static void SetUp(ChannelBridge& bridge, bool isServer, ChannelBridge::SendToPeerFunction send,
                    std::vector<ChannelEntry> channels) {
    bridge.isServer = isServer;
    bridge.sendToPeer = send;
    platform::CriticalSectionLock guard(bridge.channelLock);
    bridge.channels.Replace(channels);
  }
  static size_t TableSize(ChannelBridge& bridge) {
    platform::CriticalSectionLock guard(bridge.channelLock);
    return bridge.channels.Size();
  }
  static void AddPipeServer(ChannelBridge& bridge,
                            std::unique_ptr<Orvane::Extension::Windows::NamedPipeServer> server) {
    platform::CriticalSectionLock guard(bridge.pipeListLock);
    bridge.pipeServers.push_back(std::move(server));
  }
};
