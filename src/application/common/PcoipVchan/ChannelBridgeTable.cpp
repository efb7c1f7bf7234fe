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

static_assert(ChannelBridge::kPipeServerCount == ChannelTable::kApplicationsAtOnce,
              "each pipe instance serving an application has its quota in the table");

ChannelTable::AddResult ChannelBridge::AddEntry(const std::string& channelName, int32_t pipeId,
                                                uint64_t client, IdTold idTold) {
  // Within the table's bound, each holder has its quota (see ChannelTable).
  const size_t quota = pipeId == -1 ? ChannelTable::kMaxEntriesFromPeer
                                    : ChannelTable::kMaxEntriesPerApplication;
  if (ChannelTable::NameFits(channelName) && channels.HeldBy(pipeId) >= quota) {
    return ChannelTable::AddResult::kFull;
  }
  // The client end never invents an ID; it comes with the peer's answer.
  const ChannelTable::AddResult added = channels.Add(
      ChannelEntry{channelName, isServer ? nextChannelId : -1, pipeId, client,
                   idTold == IdTold::kYes});
  if (added == ChannelTable::AddResult::kAdded && isServer) ++nextChannelId;
  return added;
}

void ChannelBridge::RemoveEntry(const ChannelEntry* entry) { channels.Remove(entry); }

void ChannelBridge::ReportRefusedChannel(ChannelTable::AddResult refusal) {
  Diagnose(refusal == ChannelTable::AddResult::kNameTooLong
                                ? ChannelBridgeText::kChannelNameTooLong
                                : ChannelBridgeText::kChannelTableFull);
}

void ChannelBridge::WriteToPipe(int32_t pipeId, uint64_t client, std::string bytes) {
  Orvane::Extension::Windows::NamedPipeServer* server = nullptr;
  {
    // The list changes only while no worker handles anything (at the start
    // and at teardown), so the server outlives the hand-over below.
    platform::CriticalSectionLock guard(pipeListLock);
    if (pipeId >= 0 && static_cast<size_t>(pipeId) < pipeServers.size()) {
      server = pipeServers[static_cast<size_t>(pipeId)].get();
    }
  }
  // Only the PCoIP worker waits for room: what the pipe worker writes answers
  // the application's own requests (or tells it that another took its
  // channel), and a full lane already holds that application's reading
  // back, so those few bytes pass. A client that has gone gets nothing: its
  // pipe's next client must never read what was meant for it.
  // The PCoIP worker also writes itself what it queued, once its batch is
  // handled (WriteQueuedPipeMessages): one gathered write per pipe, and no
  // wake-up of the writer unless the application is slow to read.
  const bool onPcoipWorker = OnPcoipWorker();
  // Before it waits for a slow application, what it holds for the others
  // goes out, so that they do not wait with it.
  if (onPcoipWorker && server != nullptr && !server->OutboundHasRoom()) WriteQueuedPipeMessages();
  using Server = Orvane::Extension::Windows::NamedPipeServer;
  const Server::WhenFull whenFull = onPcoipWorker ? Server::WhenFull::kWait : Server::WhenFull::kPass;
  const Server::WriteBy writeBy = onPcoipWorker ? Server::WriteBy::kCaller : Server::WriteBy::kWriterThread;
  if (server == nullptr || !server->QueueToClient(client, std::move(bytes), whenFull, writeBy)) {
    Diagnose(ChannelBridgeText::kInvalidPipeId);
    return;
  }
  if (onPcoipWorker) pipesToWrite[static_cast<size_t>(pipeId)] = true;
}

void ChannelBridge::WriteQueuedPipeMessages() {
  for (size_t pipe = 0; pipe < pipesToWrite.size(); ++pipe) {
    if (!pipesToWrite[pipe]) continue;
    pipesToWrite[pipe] = false;
    Orvane::Extension::Windows::NamedPipeServer* server = nullptr;
    {
      platform::CriticalSectionLock guard(pipeListLock);
      if (pipe < pipeServers.size()) server = pipeServers[pipe].get();
    }
    if (server != nullptr) server->WriteQueuedNow();
  }
}
