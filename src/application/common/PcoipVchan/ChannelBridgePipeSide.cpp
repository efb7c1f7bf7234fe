// What the bridge does with each message a local application writes, and when
// an application's pipe connection closes. Everything but a property request
// goes on to the peer as the very bytes the application wrote; the local step
// runs first, so the table already knows a channel when the peer answers.
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

void ChannelBridge::HandlePipeMessage(const PipeItem& item) {
  KVX::Message message;
  if (!ParseUnit(item.bytes, &message)) {
    Diagnose(ChannelBridgeText::kParseError);
  }
  if (message.content_case() == KVX::Message::kRequest) {
    const KVX::Request& request = message.request();
    switch (request.body_case()) {
      case KVX::Request::kConnectChannelRequest:
        if (!RegisterChannel(request.connect_channel_request().channel_name(), item.pipeId)) {
          return;  // refused here; the peer need not hear of it
        }
        break;
      case KVX::Request::kDisconnectChannelRequest:
        CloseChannel(request.disconnect_channel_request().channel_id(), item.pipeId);
        break;
      case KVX::Request::kGetPropertyRequest:
        // Each end reports its own properties; the question never crosses.
        AnswerPropertyRequest(request.get_property_request().property_name(), item.pipeId);
        return;
      default:
        break;
    }
  }
  // Forwarded as received, never re-serialised, so fields the bridge does not
  // read (and unknown ones) reach the peer intact.
  sendToPeer(item.bytes);
}

bool ChannelBridge::RegisterChannel(const std::string& channelName, int32_t pipeId) {
  ChannelTable::AddResult added;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindByName(channelName)) {
      // The pipe that asked last holds the channel at this end; the ID stays.
      entry->pipeId = pipeId;
      return true;
    }
    added = AddEntry(channelName, pipeId);
  }
  if (added == ChannelTable::AddResult::kAdded) return true;
  ReportRefusedChannel(added);
  WriteToPipe(pipeId, BuildConnectionNotice(channelName, -1, KVX::CONNECTION_LOST));
  return false;
}

void ChannelBridge::CloseChannel(int64_t channelId, int32_t pipeId) {
  std::string closedName;
  int64_t closedId = -1;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindById(channelId)) {
      closedName = entry->channelName;
      closedId = entry->channelId;
      RemoveEntry(entry);
    }
  }
  // The requester is told, whichever pipe held the channel.
  WriteToPipe(pipeId, BuildConnectionNotice(closedName, closedId, KVX::CONNECTION_LOST));
}

void ChannelBridge::AnswerPropertyRequest(const std::string& propertyName, int32_t pipeId) {
  const std::string value = propertyProvider(propertyName);
  WriteToPipe(pipeId, BuildPropertyAnswer(propertyName, value));
}

void ChannelBridge::OnPipeDisconnected(int32_t pipeId) {
  std::vector<ChannelEntry> dropped;
  {
    platform::CriticalSectionLock guard(channelLock);
    dropped = channels.RemoveEntriesOfPipe(pipeId);
  }
  // The notices take the road of that pipe's own messages, behind whatever
  // it sent before it left, and so reach the peer; the local pipe has no one
  // left to read them.
  for (const ChannelEntry& entry : dropped) {
    QueuePipeMessage(PipeItem{pipeId, BuildConnectionNotice(entry.channelName, entry.channelId,
                                                            KVX::CONNECTION_LOST)});
  }
}
