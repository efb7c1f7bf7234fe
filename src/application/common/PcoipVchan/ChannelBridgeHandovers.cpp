#include "src/application/common/PcoipVchan/ChannelBridgeHandovers.h"

#include <algorithm>

std::array<uint64_t, ChannelHandovers::kPipes> ChannelHandovers::MaxStamps() {
  std::array<uint64_t, kPipes> stamps;
  stamps.fill(~uint64_t{0});
  return stamps;
}

void ChannelHandovers::Record(int32_t pipeId, uint64_t client, int64_t channelId, uint64_t stamp) {
  if (!Known(pipeId) || channelId == -1) return;  // without an ID it carried no data
  const size_t pipe = static_cast<size_t>(pipeId);
  // One record per channel and client; a channel taken from the same client
  // again keeps the later of the two stamps.
  for (Handover& handover : byPipe[pipe]) {
    if (handover.client == client && handover.channelId == channelId) {
      handover.stamp = std::max(handover.stamp, stamp);
      return;
    }
  }
  byPipe[pipe].push_back(Handover{client, channelId, stamp});
  earliest[pipe] = std::min(earliest[pipe], stamp);
}

bool ChannelHandovers::HeldAt(int32_t pipeId, uint64_t client, int64_t channelId,
                              uint64_t stamp) const {
  if (!Known(pipeId)) return false;
  for (const Handover& handover : byPipe[static_cast<size_t>(pipeId)]) {
    if (handover.client == client && handover.channelId == channelId) return stamp < handover.stamp;
  }
  return false;
}

void ChannelHandovers::Reached(int32_t pipeId, uint64_t stamp) {
  if (!Known(pipeId)) return;
  const size_t pipe = static_cast<size_t>(pipeId);
  if (stamp < earliest[pipe]) return;
  std::vector<Handover>& handovers = byPipe[pipe];
  handovers.erase(std::remove_if(handovers.begin(), handovers.end(),
                                 [stamp](const Handover& handover) { return handover.stamp <= stamp; }),
                  handovers.end());
  earliest[pipe] = ~uint64_t{0};
  for (const Handover& handover : handovers) earliest[pipe] = std::min(earliest[pipe], handover.stamp);
}

void ChannelHandovers::Forget(int32_t pipeId) {
  if (!Known(pipeId)) return;
  byPipe[static_cast<size_t>(pipeId)].clear();
  earliest[static_cast<size_t>(pipeId)] = ~uint64_t{0};
}

void ChannelHandovers::Clear() {
  for (auto& handovers : byPipe) handovers.clear();
  earliest = MaxStamps();
}
