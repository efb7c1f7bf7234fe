// What the bridge does with each message from the peer plug-in: keep the
// table in step, answer connect requests, pass data and notices on to the
// local application that holds the channel, and at the client end launch an
// application on request. Nothing from the peer is sent back unchanged.
#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

void ChannelBridge::HandlePcoipMessage(const std::string& bytes) {
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
          DeliverToChannelOwner(request.transfer_data().channel_id(), bytes);
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

void ChannelBridge::DeliverToChannelOwner(int64_t channelId, const std::string& bytes) {
  int32_t pipeId = -1;
  {
    platform::CriticalSectionLock guard(channelLock);
    if (const ChannelEntry* entry = FindById(channelId)) {
      pipeId = entry->pipeId;
    }
  }
  // No entry, or no local client: WriteToPipe reports it and drops the bytes.
  WriteToPipe(pipeId, bytes);
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
      added = AddEntry(requestedName, -1);
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
  } else {
    const int64_t pendingId = isServer ? entryId : -1;
    sendToPeer(BuildConnectionNotice(requestedName, pendingId, KVX::CONNECTION_PENDING_PEER));
  }

  if (!isServer && request.has_launch_options() &&
      request.launch_options().launch_mode() == KVX::LAUNCH_APP) {
    LaunchApplication(request.launch_options().app_link());
  }
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
        // Held by nobody here (made by the peer), or never to get an ID (refused
        // by the far end): nothing is left to keep.
        if (pipeId == -1 || entryId == -1) RemoveEntry(entry);
      }
    }
    if (!found) {
      Diagnose(ChannelBridgeText::kInvalidPipeId);
      return;
    }
    WriteToPipe(pipeId, BuildConnectionNotice(entryName, entryId, KVX::CONNECTION_LOST));
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

  // This is how the client end learns the IDs the server end hands out.
  {
    platform::CriticalSectionLock guard(channelLock);
    if (ChannelEntry* entry = FindByName(response.channel_name())) {
      channels.SetId(entry, response.channel_id());
    }
  }
  DeliverToChannelOwner(response.channel_id(), bytes);
}
