// The channel table's lookups and the one path by which anything is written
// to a local pipe.
#include "extension/windows/NamedPipeServer.h"
#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

ChannelEntry* ChannelBridge::FindByName(const std::string& channelName) {
  return channels.FindByName(channelName);
}

ChannelEntry* ChannelBridge::FindById(int64_t channelId) { return channels.FindById(channelId); }

ChannelTable::AddResult ChannelBridge::AddEntry(const std::string& channelName, int32_t pipeId,
                                                uint64_t client, bool idTold) {
  // The client end never invents an ID; it comes with the peer's answer.
  const ChannelTable::AddResult added = channels.Add(
      ChannelEntry{channelName, isServer ? nextChannelId : -1, pipeId, client, idTold});
  if (added == ChannelTable::AddResult::kAdded && isServer) ++nextChannelId;
  return added;
}

void ChannelBridge::RemoveEntry(const ChannelEntry* entry) { channels.Remove(entry); }

void ChannelBridge::ReportRefusedChannel(ChannelTable::AddResult refusal) {
  Diagnose(refusal == ChannelTable::AddResult::kNameTooLong
                                ? ChannelBridgeText::kChannelNameTooLong
                                : ChannelBridgeText::kChannelTableFull);
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
    Diagnose(ChannelBridgeText::kInvalidPipeId);
  }
}
