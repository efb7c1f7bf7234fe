// The channel table's lookups and the one path by which anything is written
// to a local pipe.
#include <algorithm>

#include "extension/windows/NamedPipeServer.h"
#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

ChannelEntry* ChannelBridge::FindByName(const std::string& channelName) {
  auto found = std::find_if(channels.begin(), channels.end(), [&](const ChannelEntry& entry) {
    return entry.channelName == channelName;
  });
  return found == channels.end() ? nullptr : &*found;
}

ChannelEntry* ChannelBridge::FindById(int64_t channelId) {
  // -1 means "no ID". Matching it would hand one application's request, or
  // data from the peer, to another application's channel that is still
  // waiting for its ID.
  if (channelId == -1) {
    return nullptr;
  }
  auto found = std::find_if(channels.begin(), channels.end(), [&](const ChannelEntry& entry) {
    return entry.channelId == channelId;
  });
  return found == channels.end() ? nullptr : &*found;
}

void ChannelBridge::WriteToPipe(int32_t pipeId, const std::string& bytes) {
  bool known = false;
  {
    // The list is read under the same lock under which it changes, and every
    // Send to any server is serialised by it.
    platform::CriticalSectionLock guard(pipeWriteLock);
    if (pipeId >= 0 && static_cast<size_t>(pipeId) < pipeServers.size()) {
      known = true;
      // When the client has just gone the bytes are lost; nobody waits for them.
      pipeServers[static_cast<size_t>(pipeId)]->Send(bytes);
    }
  }
  if (!known) {
    platform::OutputDebugText(ChannelBridgeText::kInvalidPipeId);
  }
}
