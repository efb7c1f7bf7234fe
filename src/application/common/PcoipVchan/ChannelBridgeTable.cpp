// The channel table's lookups and the one path by which anything is written
// to a local pipe.
#include <algorithm>
#include <utility>
#include <vector>

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

std::vector<ChannelEntry> ChannelBridge::RemoveEntriesHeldBy(int32_t pipeId) {
  std::vector<ChannelEntry> removed;
  std::vector<ChannelEntry> kept;
  kept.reserve(channels.size());
  for (ChannelEntry& entry : channels) {
    (entry.pipeId == pipeId ? removed : kept).push_back(std::move(entry));
  }
  channels.swap(kept);
  return removed;
}

void ChannelBridge::WriteToPipe(int32_t pipeId, uint64_t client, const std::string& bytes) {
  bool known = false;
  {
    // The list is read under the same lock under which it changes, and every
    // Send to any server is serialised by it.
    platform::CriticalSectionLock guard(pipeWriteLock);
    if (pipeId >= 0 && static_cast<size_t>(pipeId) < pipeServers.size()) {
      known = true;
      // When the client has gone the bytes are lost: nobody waits for them,
      // and the pipe's next client must never read them.
      pipeServers[static_cast<size_t>(pipeId)]->SendToClient(client, bytes);
    }
  }
  if (!known) {
    platform::OutputDebugText(ChannelBridgeText::kInvalidPipeId);
  }
}
