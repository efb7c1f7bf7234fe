// What the bridge does with each message from the peer plug-in: keep the
// table in step, answer connect requests, pass data and notices on to the
// local application that holds the channel, and at the client end launch an
// application on request. Nothing from the peer is sent back unchanged.
#include <utility>

#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

void ChannelBridge::HandlePcoipMessage(std::string bytes) {
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
  const std::string& requestedName = request.channel_name();
  bool found = false;
  std::string entryName;
  int64_t entryId = -1;
  ChannelTable::AddResult added = ChannelTable::AddResult::kAdded;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (const ChannelEntry* entry = FindByName(requestedName)) {
      found = true;
      entryName = entry->channelName;
      entryId = entry->channelId;
    } else if (isServer) {
      // The server end hands out the ID now, so both ends agree on it before
      // any application at this end asks for the name.
      entryId = nextChannelId;
      added = AddEntry(requestedName, -1, 0);
    } else if (!ChannelTable::NameFits(requestedName)) {
      added = ChannelTable::AddResult::kNameTooLong;
    }
  }
  if (added != ChannelTable::AddResult::kAdded) {
    // Refused: no entry, no launch. A name too long for any table is not
    // echoed back; the far end could not hold it either.
    ReportRefusedChannel(added);
    const bool echoName = added != ChannelTable::AddResult::kNameTooLong;
    sendToPeer(
        BuildConnectionNotice(echoName ? requestedName : std::string(), -1, KVX::CONNECTION_LOST));
    return;
  }

  if (found && (isServer || entryId != -1)) {
    const std::string notice = BuildConnectionNotice(entryName, entryId, KVX::CONNECTION_CONNECTED);
    sendToPeer(notice);
    DeliverToChannelOwner(entryId, notice);
  } else if (found) {
    // Both applications asked at nearly the same moment: ours is held here
    // but its ID is still on the way. Saying "pending" now would reach the
    // server's application after it was told "connected"; asking again
    // instead draws a CONNECTED with the ID from the server, which answers
    // every connect request and never answers a notice, so nothing loops.
    sendToPeer(BuildConnectRequest(requestedName));
  } else {
    const int64_t pendingId = isServer ? entryId : -1;
    sendToPeer(BuildConnectionNotice(requestedName, pendingId, KVX::CONNECTION_PENDING_PEER));
  }

  if (!isServer && request.has_launch_options() &&
      request.launch_options().launch_mode() == KVX::LAUNCH_APP) {
    LaunchApplication(request.launch_options().app_link());
  }
}

std::string ChannelBridge::PeerBoundAsOfNow(const std::string& bytes) {
  // At the client end "pending" answers a request for a name nobody here had
  // asked for. It waits its turn behind what local applications send; if one
  // of them has asked for the name meanwhile, its request is already on its
  // way and the server answers it with CONNECTED, which "pending" arriving
  // later would undo. Such an answer asks again instead, as when a request
  // finds the name held here.
  if (isServer) {
    return bytes;
  }
  KVX::Message message;
  if (!ParseUnit(bytes, &message) || !message.response().has_channel_connection_response() ||
      message.response().channel_connection_response().status() != KVX::CONNECTION_PENDING_PEER) {
    return bytes;
  }
  const std::string& name = message.response().channel_connection_response().channel_name();
  bool heldNow = false;
  {
    platform::CriticalSectionLock guard(channelLock);
    heldNow = FindByName(name) != nullptr;
  }
  return heldNow ? BuildConnectRequest(name) : bytes;
}

void ChannelBridge::OnPeerDisconnectRequest(int64_t channelId) {
  std::string entryName;
  int64_t entryId = -1;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (const ChannelEntry* entry = FindById(channelId)) {
      entryName = entry->channelName;
      entryId = entry->channelId;
      // Made by the peer and held by nobody here: gone with the peer's channel.
      if (entry->pipeId == -1) RemoveEntry(entry);
    }
  }
  // The local application keeps its channel and ID; it now waits for a peer.
  DeliverToChannelOwner(entryId,
                        BuildConnectionNotice(entryName, entryId, KVX::CONNECTION_PENDING_PEER));
}

void ChannelBridge::OnPeerConnectionResponse(const KVX::ChannelConnectionResponse& response,
                                             const std::string& bytes) {
  const KVX::ResultCode status = response.status();

  if (status == KVX::CONNECTION_LOST) {
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
      if (entry == nullptr && response.channel_id() == -1) {
        // The far end refused a channel before handing out its ID.
        entry = FindByName(response.channel_name());
        if (entry != nullptr && entry->channelId != -1) entry = nullptr;
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
    if (!found) {
      Diagnose(ChannelBridgeText::kInvalidPipeId);
      return;
    }
    WriteToPipe(pipeId, client, BuildConnectionNotice(entryName, entryId, KVX::CONNECTION_LOST));
    return;
  }

  if (isServer && status == KVX::CONNECTION_PENDING_PEER) {
    // The client end does not know the ID yet; fill in the one handed out here.
    int64_t entryId = -1;
    {
      platform::CriticalSectionLock guard(channelLock);
      if (const ChannelEntry* entry = FindByName(response.channel_name())) {
        entryId = entry->channelId;
      }
    }
    KVX::ChannelConnectionResponse withId = response;
    withId.set_channel_id(entryId);
    DeliverToChannelOwner(entryId, WrapConnectionResponse(withId));
    return;
  }

  if (isServer && status != KVX::CONNECTION_CONNECTED) {
    return;
  }

  // This is how the client end learns the IDs the server end hands out. The
  // server end, which hands them out, keeps its own: a CONNECTED naming
  // another ID comes from a client end still holding the ID of an earlier,
  // departed partner.
  int64_t ownId = -1;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindByName(response.channel_name())) {
      if (isServer && entry->channelId != response.channel_id()) {
        ownId = entry->channelId;
      } else {
        channels.SetId(entry, response.channel_id());
      }
    }
  }
  if (ownId != -1) {
    // Both ends then agree on the server's ID, and nothing loops: the client
    // end never answers a notice.
    const std::string notice =
        BuildConnectionNotice(response.channel_name(), ownId, KVX::CONNECTION_CONNECTED);
    sendToPeer(notice);
    DeliverToChannelOwner(ownId, notice);
    return;
  }
  DeliverToChannelOwner(response.channel_id(), bytes);
}
