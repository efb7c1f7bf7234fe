// What the bridge does with each message a local application writes, and when
// an application's pipe connection closes. Everything but a property request
// goes on to the peer as the very bytes the application wrote; the local step
// runs first, so the table already knows a channel when the peer answers.
#include <string>
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeMessageKind.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

static_assert(ChannelBridge::kPipeServerCount == ChannelHandovers::kPipes,
              "takeovers are remembered for every pipe");

void ChannelBridge::HandlePipeMessage(const PipeItem& item) {
  if (item.departure) {
    handovers.Forget(item.pipeId);
    HandleDeparture(item.pipeId);
    return;
  }
  // Read without copying the unit: a data message's payload, which is most
  // of what applications write, is never touched. Only a unit the look
  // refuses is parsed in full, to go on with what that parse read before the
  // fault, as for any unit that does not parse.
  if (item.isData) {  // read when it was queued
    if (DataMayGo(item)) sendToPeer(item.bytes);
    return;
  }
  handovers.Reached(item.pipeId, item.stamp);
  MessageKind kind;
  KVX::Message message;
  if (!ReadMessageKind(item.bytes, &kind)) {
    Diagnose(ChannelBridgeText::kParseError);
    ParseUnit(item.bytes, &message);
    kind = KindOfParsed(message);
  }
  if (kind.content == KVX::Message::kRequest) {
    switch (kind.requestBody) {
      case KVX::Request::kConnectChannelRequest:
        if (!RegisterChannel(std::string(kind.name), item.pipeId, item.client, item.stamp)) {
          return;  // refused here; the peer need not hear of it
        }
        break;
      case KVX::Request::kTransferData:
        // At the far end data is known by its channel ID alone: from anyone
        // but the holder it would reach the far application as the channel's own.
        if (!WrittenByHolder(kind.channelId, item)) {
          Diagnose(ChannelBridgeText::kDataFromNonHolder);
          return;
        }
        break;
      case KVX::Request::kDisconnectChannelRequest:
        if (!CloseChannel(kind.channelId, item.pipeId, item.client)) {
          return;  // another application's channel: the peer must not hear of it
        }
        break;
      case KVX::Request::kGetPropertyRequest:
        // Each end reports its own properties; the question never crosses.
        AnswerPropertyRequest(std::string(kind.name), item.pipeId, item.client);
        return;
      default:
        break;
    }
  }
  // Forwarded as received, never re-serialised, so fields the bridge does not
  // read (and unknown ones) reach the peer intact.
  sendToPeer(item.bytes);
}

bool ChannelBridge::DataMayGo(const PipeItem& item) {
  handovers.Reached(item.pipeId, item.stamp);
  if (WrittenByHolder(item.dataChannel, item)) return true;
  Diagnose(ChannelBridgeText::kDataFromNonHolder);
  CreditNotUsed(item);
  return false;
}

void ChannelBridge::OnPipeMessage(PipeItem item, Wake wake) {
  const unsigned bodies = RequestBodiesOnWire(item.bytes);
  item.changesTable = (bodies & (kWireConnect | kWireDisconnect)) != 0;
  // A property is answered at this end and asks nothing of the table or the
  // link, so it need not wait for the pipe worker, which may be sending
  // another application's data to a slow link. It is answered here, on the
  // pipe's own reader thread, when everything its application wrote before
  // has been handled (nothing of it in its lane or in the worker's hands;
  // what an earlier client of the same pipe left behind does not count):
  // only this thread queues the pipe's items, so none can come in between,
  // and the answer still follows the application's own earlier messages.
  // Otherwise it waits its turn in the lane; but not while the channel to
  // the peer is closed, when those messages wait for it: an application that
  // asks whether it is served is answered, ahead of what its earlier
  // requests will bring.
  if ((bodies & kWireProperty) != 0) {
    bool idle = !PeerLinkOpen();
    if (!idle) {
      platform::CriticalSectionLock guard(pipeQueueLock);
      idle = !ClientHasQueuedItems(item.pipeId, item.client);
    }
    MessageKind kind;
    if (idle && ReadMessageKind(item.bytes, &kind) &&
        kind.requestBody == KVX::Request::kGetPropertyRequest) {
      AnswerPropertyRequest(std::string(kind.name), item.pipeId, item.client);
      return;
    }
  }
  QueueClassifiedPipeMessage(std::move(item), wake);
}

bool ChannelBridge::WrittenByHolder(int64_t channelId, const PipeItem& item) {
  {
    platform::CriticalSectionLock guard(channelLock);
    const ChannelEntry* entry = FindById(channelId);
    if (entry != nullptr && entry->pipeId == item.pipeId && entry->client == item.client) {
      return true;
    }
  }
  return handovers.HeldAt(item.pipeId, item.client, channelId, item.stamp);
}

bool ChannelBridge::RegisterChannel(const std::string& channelName, int32_t pipeId,
                                    uint64_t client, uint64_t stamp) {
  ChannelEntry previousHolder;
  ChannelTable::AddResult added = ChannelTable::AddResult::kAdded;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindByName(channelName)) {
      // The pipe that asked last holds the channel at this end; the ID stays.
      if (entry->pipeId != pipeId || entry->client != client) {
        previousHolder = *entry;
      }
      channels.SetHolder(entry, pipeId, client);
    } else {
      added = AddEntry(channelName, pipeId, client);
    }
  }
  // The application that held the channel until now would otherwise wait for
  // ever while its partner's data goes to the newcomer.
  if (previousHolder.pipeId != -1) {
    handovers.Record(previousHolder.pipeId, previousHolder.client, previousHolder.channelId, stamp);
    WriteToPipe(previousHolder.pipeId, previousHolder.client,
                BuildConnectionNotice(previousHolder.channelName, previousHolder.channelId,
                                      KVX::CONNECTION_LOST));
  }
  if (added == ChannelTable::AddResult::kAdded) return true;
  ReportRefusedChannel(added);
  WriteToPipe(pipeId, client, BuildConnectionNotice(channelName, -1, KVX::CONNECTION_LOST));
  return false;
}

bool ChannelBridge::CloseChannel(int64_t channelId, int32_t pipeId, uint64_t client) {
  std::string closedName;
  int64_t closedId = -1;
  bool othersChannel = false;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindById(channelId)) {
      // Only the holder closes a channel: a careless request (an absent ID
      // reads as 0) must not take another application's away unannounced.
      if (entry->pipeId == pipeId && entry->client == client) {
        closedName = entry->channelName;
        closedId = entry->channelId;
        RemoveEntry(entry);
      } else {
        othersChannel = true;
      }
    }
  }
  // Answered as for an ID this end does not know.
  WriteToPipe(pipeId, client, BuildConnectionNotice(closedName, closedId, KVX::CONNECTION_LOST));
  return !othersChannel;
}

void ChannelBridge::AnswerPropertyRequest(const std::string& propertyName, int32_t pipeId,
                                          uint64_t client) {
  const std::string value = propertyProvider(propertyName);
  WriteToPipe(pipeId, client, BuildPropertyAnswer(propertyName, value));
}

void ChannelBridge::OnPipeDisconnected(int32_t pipeId, uint64_t client) {
  // Handled in queue order, behind what the client wrote before it left: a
  // connect request it queued must not bring its channel back after the
  // departure has been dealt with.
  PipeItem departure;
  departure.pipeId = pipeId;
  departure.client = client;
  departure.departure = true;
  departure.changesTable = true;
  QueuePipeMessage(std::move(departure));
}

void ChannelBridge::HandleDeparture(int32_t pipeId) {
  std::vector<ChannelEntry> dropped;
  {
    platform::CriticalSectionLock guard(channelLock);
    dropped = channels.RemoveEntriesOfPipe(pipeId);
  }
  // The peer tells its own holders; the local pipe has no one left to read.
  for (const ChannelEntry& entry : dropped) {
    sendToPeer(BuildConnectionNotice(entry.channelName, entry.channelId, KVX::CONNECTION_LOST));
  }
}
