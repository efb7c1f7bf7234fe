// What the bridge does with each message from the peer plug-in: keep the
// table in step, answer connect requests, pass data and notices on to the
// local application that holds the channel, and at the client end launch an
// application on request. Nothing from the peer is sent back unchanged.
#include <utility>

#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeMessageKind.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

void ChannelBridge::HandlePcoipMessage(std::string bytes) {
  // Data, most of what arrives, is routed on a look that copies nothing of
  // it; every other unit, and one the look refuses, is parsed in full.
  MessageKind kind;
  if (ReadMessageKind(bytes, &kind) && kind.requestBody == KVX::Request::kTransferData) {
    DeliverToChannelOwner(kind.channelId, std::move(bytes));
    return;
  }
  KVX::Message message;
  if (!ParseUnit(bytes, &message)) {
    Diagnose(ChannelBridgeText::kParseError);
  }
  switch (message.content_case()) {
    case KVX::Message::kRequest: {
      const KVX::Request& request = message.request();
      switch (request.body_case()) {
        case KVX::Request::kConnectChannelRequest:
          OnPeerConnectRequest(request.connect_channel_request());
          return;
        case KVX::Request::kDisconnectChannelRequest:
          OnPeerDisconnectRequest(request.disconnect_channel_request().channel_id());
          return;
        case KVX::Request::kTransferData:
          // The application gets the whole message its partner wrote.
          DeliverToChannelOwner(request.transfer_data().channel_id(), std::move(bytes));
          return;
        default:
          Diagnose(ChannelBridgeText::kUnexpectedRequest);
          return;
      }
    }
    case KVX::Message::kResponse: {
      const KVX::Response& response = message.response();
      if (response.body_case() == KVX::Response::kChannelConnectionResponse) {
        OnPeerConnectionResponse(response.channel_connection_response(), bytes);
      } else {
        Diagnose(ChannelBridgeText::kUnexpectedResponse);
      }
      return;
    }
    default:
      return;  // nothing understood: dropped quietly
  }
}

void ChannelBridge::DeliverToChannelOwner(int64_t channelId, std::string bytes) {
  int32_t pipeId = -1;
  uint64_t client = 0;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (const ChannelEntry* entry = FindById(channelId)) {
      pipeId = entry->pipeId;
      client = entry->client;
    }
  }
  // No entry, or no local client: WriteToPipe reports it and drops the bytes.
  WriteToPipe(pipeId, client, std::move(bytes));
}

void ChannelBridge::OnPeerConnectRequest(const KVX::ConnectChannelRequest& request) {
  bool refused = false;
  bool tellHolder = false;
  const std::string answer =
      AnswerPeerConnectRequest(request.channel_name(), &refused, &tellHolder);
  // The peer's answer is on its way first: data the holder writes once told
  // must not overtake it.
  sendToPeer(answer);
  if (tellHolder) DeliverToHolder(request.channel_name(), ConnectedIdOf(answer), answer);
  // A refused request launches nothing.
  if (!refused && !isServer && request.has_launch_options() &&
      request.launch_options().launch_mode() == KVX::LAUNCH_APP) {
    LaunchApplication(request.launch_options().app_link());
  }
}

std::string ChannelBridge::AnswerPeerConnectRequest(const std::string& requestedName,
                                                    bool* refused, bool* tellHolder) {
  *tellHolder = false;
  bool found = false;
  int64_t entryId = -1;
  ChannelTable::AddResult added = ChannelTable::AddResult::kAdded;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindByName(requestedName)) {
      found = true;
      entryId = entry->channelId;
      if (isServer) entry->idTold = true;
    } else if (isServer) {
      // The server end hands out the ID now, so both ends agree on it before
      // any application at this end asks for the name.
      entryId = nextChannelId;
      added = AddEntry(requestedName, -1, 0, IdTold::kYes);
    } else if (!ChannelTable::NameFits(requestedName)) {
      added = ChannelTable::AddResult::kNameTooLong;
    }
  }
  *refused = added != ChannelTable::AddResult::kAdded;
  if (*refused) {
    // No entry, no launch. The name says whose request it was.
    ReportRefusedChannel(added);
    return BuildConnectionNotice(requestedName, -1,
                                 added == ChannelTable::AddResult::kNameTooLong
                                     ? kRefusedNameTooLong
                                     : kRefusedTableFull);
  }
  if (found && (isServer || entryId != -1)) {
    *tellHolder = true;
    return BuildConnectionNotice(requestedName, entryId, KVX::CONNECTION_CONNECTED);
  }
  if (found) {
    // Both applications asked at nearly the same moment: ours is held here
    // but its ID is still on the way. Saying "pending" now would reach the
    // server's application after it was told "connected"; asking again
    // instead draws a CONNECTED with the ID from the server, which answers
    // every connect request and never answers a notice, so nothing loops.
    return BuildConnectRequest(requestedName);
  }
  return BuildConnectionNotice(requestedName, isServer ? entryId : -1,
                               KVX::CONNECTION_PENDING_PEER);
}

void ChannelBridge::DeliverToHolder(const std::string& channelName, int64_t channelId,
                                    const std::string& bytes) {
  int32_t pipeId = -1;
  uint64_t client = 0;
  {
    platform::CriticalSectionLock guard(channelLock);
    const ChannelEntry* entry = FindByName(channelName);
    if (entry != nullptr && entry->channelId == channelId) {
      pipeId = entry->pipeId;
      client = entry->client;
    }
  }
  WriteToPipe(pipeId, client, bytes);
}

std::string ChannelBridge::PeerBoundAsOfNow(const std::string& bytes) {
  // An answer to the peer waits its turn behind what local applications sent
  // before it. If one of those changed the channel it speaks of (its holder
  // left or closed it, or an application here asked for a name this end did
  // not hold), the peer has heard of that change already, and the answer
  // would contradict it: it is answered again as the table stands now.
  KVX::Message message;
  if (!ParseUnit(bytes, &message) || !message.response().has_channel_connection_response()) {
    return bytes;  // a connect request asking again, or nothing of ours
  }
  const KVX::ChannelConnectionResponse& answer = message.response().channel_connection_response();
  const bool pending = answer.status() == KVX::CONNECTION_PENDING_PEER;
  if (!pending && answer.status() != KVX::CONNECTION_CONNECTED) {
    return bytes;  // a refusal holds whatever came since
  }
  bool stillTrue = false;
  bool known = false;
  {
    platform::CriticalSectionLock guard(channelLock);
    const ChannelEntry* entry = FindByName(answer.channel_name());
    known = entry != nullptr;
    // The client end says "pending" for a name it does not hold.
    stillTrue = (pending && !isServer) ? entry == nullptr
                                       : entry != nullptr && entry->channelId == answer.channel_id();
  }
  if (stillTrue) return bytes;
  if (isServer && !known) {
    // Gone here since: either its holder left (the peer has just been told)
    // or the peer's asker did. Only the peer knows whether anyone there still
    // wants the name, so this end asks; a fresh entry now might be held by
    // nobody at either end.
    return BuildConnectRequest(answer.channel_name());
  }
  bool refused = false;
  bool tellHolder = false;
  const std::string fresh = AnswerPeerConnectRequest(answer.channel_name(), &refused, &tellHolder);
  // This worker sends the answer before it handles anything the holder writes.
  if (tellHolder) DeliverToHolder(answer.channel_name(), ConnectedIdOf(fresh), fresh);
  return fresh;
}

int64_t ChannelBridge::ConnectedIdOf(const std::string& notice) {
  KVX::Message message;
  ParseUnit(notice, &message);
  return message.response().channel_connection_response().channel_id();
}

void ChannelBridge::OnPeerDisconnectRequest(int64_t channelId) {
  std::string entryName;
  int64_t entryId = -1;
  bool held = false;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (const ChannelEntry* entry = FindById(channelId)) {
      entryName = entry->channelName;
      entryId = entry->channelId;
      held = entry->pipeId != -1;
      // Made by the peer and held by nobody here: gone with the peer's channel.
      if (!held) RemoveEntry(entry);
    }
  }
  // Nobody here holds a channel of that ID: its holder left first (both
  // applications leaving is how a transfer ends), or only the peer had it.
  // Nobody is to be told, and nothing went wrong; only a request that names
  // no channel at all is worth a word.
  if (!held) {
    if (channelId < 0) Diagnose(ChannelBridgeText::kInvalidPipeId);
    return;
  }
  // The local application keeps its channel and ID; it now waits for a peer.
  DeliverToChannelOwner(entryId,
                        BuildConnectionNotice(entryName, entryId, KVX::CONNECTION_PENDING_PEER));
}

void ChannelBridge::OnPeerConnectionResponse(const KVX::ChannelConnectionResponse& response,
                                             const std::string& bytes) {
  const KVX::ResultCode status = response.status();
  if (status == KVX::CONNECTION_LOST) {
    OnPeerReportsLoss(response);
    return;
  }
  if (response.channel_id() == -1 &&
      (status == kRefusedTableFull || status == kRefusedNameTooLong)) {
    OnPeerRefusal(response.channel_name());
    return;
  }
  if (isServer && status == KVX::CONNECTION_PENDING_PEER) {
    OnPeerPendingAtServerEnd(response);
    return;
  }
  if (isServer && status != KVX::CONNECTION_CONNECTED) {
    return;
  }
  // An answer without an ID (only a broken or foreign far end sends one, as
  // the server end always hands out its ID) teaches the client end nothing:
  // taking it would leave the holder's channel without its ID.
  if (!isServer && response.channel_id() == -1) {
    return;
  }
  const int64_t ownId = AgreeOnPeerId(response);
  if (ownId != -1) {
    // Both ends then agree on the server's ID, and nothing loops: the client
    // end never answers a notice.
    const std::string notice =
        BuildConnectionNotice(response.channel_name(), ownId, KVX::CONNECTION_CONNECTED);
    sendToPeer(notice);
    DeliverToHolder(response.channel_name(), ownId, notice);
    return;
  }
  // Only the application holding the channel of that name and ID hears of it.
  DeliverToHolder(response.channel_name(), response.channel_id(), bytes);
}

void ChannelBridge::OnPeerPendingAtServerEnd(const KVX::ChannelConnectionResponse& response) {
  // The client end does not know the ID yet; fill in the one handed out here.
  int64_t entryId = -1;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindByName(response.channel_name())) {
      entryId = entry->channelId;
      entry->idTold = true;
    }
  }
  KVX::ChannelConnectionResponse withId = response;
  withId.set_channel_id(entryId);
  DeliverToChannelOwner(entryId, WrapConnectionResponse(withId));
}

int64_t ChannelBridge::AgreeOnPeerId(const KVX::ChannelConnectionResponse& response) {
  // This is how the client end learns the IDs the server end hands out. A
  // CONNECTED naming another ID than the server's comes from a client end
  // whose application held the channel while the one here left and a new one
  // asked: the server takes that ID, so the holder there keeps it. It keeps
  // its own only when it has already told it to someone (the two requests
  // crossed, and the peer takes the server's ID from the answer under way), or
  // when the peer's ID is another channel's here (this end started afresh).
  int64_t ownId = -1;
  bool inUse = false;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindByName(response.channel_name())) {
      if (isServer && entry->channelId != response.channel_id()) {
        inUse = !AdoptablePeerId(response.channel_id(), entry);
        if (entry->idTold || inUse) {
          ownId = entry->channelId;
        } else {
          channels.SetId(entry, response.channel_id());
          if (response.channel_id() >= nextChannelId) nextChannelId = response.channel_id() + 1;
        }
      } else {
        channels.SetId(entry, response.channel_id());
      }
      entry->idTold = true;
    }
  }
  if (inUse) Diagnose(ChannelBridgeText::kAdoptedIdInUse);
  return ownId;
}

bool ChannelBridge::AdoptablePeerId(int64_t peerId, const ChannelEntry* entry) {
  if (peerId < 0 || peerId > kLargestAdoptedId) return false;
  const ChannelEntry* holder = FindById(peerId);
  return holder == nullptr || holder == entry;
}

void ChannelBridge::OnPeerReportsLoss(const KVX::ChannelConnectionResponse& response) {
  // Tell the holder which of its channels was lost: the entry as this end
  // knows it. With no entry there is nobody to tell.
  bool found = false;
  std::string entryName;
  int64_t entryId = -1;
  int32_t pipeId = -1;
  uint64_t client = 0;
  {
    platform::CriticalSectionLock guard(channelLock);
    const ChannelEntry* entry = FindById(response.channel_id());
    // No ID: the far application left before it learnt the ID (or, from an
    // earlier build, the far end refused a channel before handing one out).
    if (entry == nullptr && response.channel_id() == -1) {
      entry = FindByName(response.channel_name());
    }
    if (entry != nullptr) {
      found = true;
      entryName = entry->channelName;
      entryId = entry->channelId;
      pipeId = entry->pipeId;
      client = entry->client;
      // Held by nobody here (made by the peer), or never to get an ID (refused
      // by the far end): nothing is left to keep.
      if (pipeId == -1 || entryId == -1) RemoveEntry(entry);
    }
  }
  if (!found || pipeId == -1) {
    if (!found) Diagnose(ChannelBridgeText::kInvalidPipeId);
    return;
  }
  WriteToPipe(pipeId, client, BuildConnectionNotice(entryName, entryId, KVX::CONNECTION_LOST));
}

void ChannelBridge::OnPeerRefusal(const std::string& channelName) {
  // The far end cannot hold the name: the channel is gone here too, and its
  // holder is told as when this end refuses a request itself.
  ChannelEntry refused;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (const ChannelEntry* entry = FindByName(channelName)) {
      refused = *entry;
      RemoveEntry(entry);
    }
  }
  if (refused.pipeId == -1) return;
  WriteToPipe(refused.pipeId, refused.client,
              BuildConnectionNotice(refused.channelName, refused.channelId, KVX::CONNECTION_LOST));
}
