// What the bridge does when the channel to the peer closes and opens again.
// The peer on the far side of a new opening may be another one (its host
// restarted), which knows nothing of this end's channels: the channels the
// gone peer made here are forgotten, the applications here are told that the
// far side went, and the client end, whose IDs all came from the server end,
// gives them back and asks the server end again for every name it holds.
// The host's callback only queues the event; the PCoIP worker handles it
// behind what the peer sent before the channel closed, so that data that had
// crossed still reaches its application first.
#include <string>
#include <utility>
#include <vector>

#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

void ChannelBridge::OnChannelClosed() {
  linkClosingsQueued.fetch_add(1);
  QueueLinkEvent(LinkEvent::kClosed);
}

void ChannelBridge::OnChannelOpened() { QueueLinkEvent(LinkEvent::kOpened); }

void ChannelBridge::QueueLinkEvent(LinkEvent event) {
  {
    // Never waits for room: an event is a few bytes, and the host's thread
    // must not wait for the applications.
    platform::CriticalSectionLock guard(pcoipQueueLock);
    linkEvents.push_back(QueuedLinkEvent{event, pcoipItemsTaken + pcoipQueue.size()});
  }
  platform::SetEventObject(pcoipQueueEvent);
}

void ChannelBridge::HandleLinkEventsBefore(std::deque<QueuedLinkEvent>* events,
                                           uint64_t position) {
  while (!events->empty() && events->front().position <= position) {
    const LinkEvent event = events->front().event;
    events->pop_front();
    if (event == LinkEvent::kClosed) {
      ForgetPeer();
      peerForgotten = true;
      // What the applications wrote meanwhile may go once the channel opens.
      linkClosingsHandled.fetch_add(1);
      WakePipeWorker();
    } else if (peerForgotten) {
      peerForgotten = false;
      if (!isServer) AskAgainForHeldChannels();
    }
  }
}

void ChannelBridge::ForgetPeer() {
  std::vector<ChannelEntry> held;
  {
    platform::CriticalSectionLock guard(channelLock);
    // Made by the peer's requests and held by nobody here: the peer that
    // made them is gone, and a new one must not be told that they are held.
    channels.RemoveEntriesOfPipe(-1);
    held = channels.Entries();
    // The server end hands out the IDs. A server end that started afresh may
    // give this end's IDs to other names, so the client end keeps none of
    // them; data for them is no longer sent on.
    if (!isServer) channels.ForgetIds();
  }
  // Each holder is told as when its far application vanishes: the channel
  // stays its own and waits for a new partner. An entry whose ID had not
  // come yet is asked for again when the channel opens, and nothing is said.
  for (const ChannelEntry& entry : held) {
    if (entry.channelId == -1) continue;
    WriteToPipe(entry.pipeId, entry.client,
                BuildConnectionNotice(entry.channelName, entry.channelId, KVX::CONNECTION_LOST));
  }
}

void ChannelBridge::AskAgainForHeldChannels() {
  std::vector<std::string> names;
  {
    platform::CriticalSectionLock guard(channelLock);
    for (const ChannelEntry& entry : channels.Entries()) {
      if (entry.channelId == -1) names.push_back(entry.channelName);
    }
  }
  // Ordinary connect requests: the server end answers each as it would an
  // application's, with its ID, and the holder here hears of it as then.
  for (const std::string& name : names) sendToPeer(BuildConnectRequest(name));
}
