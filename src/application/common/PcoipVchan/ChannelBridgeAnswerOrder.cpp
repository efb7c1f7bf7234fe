#include "src/application/common/PcoipVchan/ChannelBridgeAnswerOrder.h"

#include <algorithm>

uint64_t AnswerOrder::StampLaneItem(size_t lane, TableEffect effect) {
  Lane& queued = lanes[lane];
  if (queued.reservedDeparture == 0) {
    const uint64_t stamp = nextStamp++;
    if (effect != TableEffect::kNone) queued.tableChanges.push_back(stamp);
    return stamp;
  }
  // The departed client's last items, and its departure, which takes the
  // place reserved for it (counted once already, when it was reserved).
  if (effect == TableEffect::kMayChange) queued.tableChanges.push_back(queued.reservedDeparture);
  const uint64_t stamp = queued.reservedDeparture;
  if (effect == TableEffect::kDeparture) queued.reservedDeparture = 0;
  return stamp;
}

void AnswerOrder::ReserveDeparture(size_t lane) {
  Lane& queued = lanes[lane];
  if (queued.reservedDeparture != 0) return;
  queued.reservedDeparture = ++nextStamp;  // never 0
  ++nextStamp;
  queued.tableChanges.push_back(queued.reservedDeparture);
}

uint64_t AnswerOrder::OldestUnhandledTableChange() const {
  uint64_t oldest = kNone;
  for (const Lane& queued : lanes) {
    if (!queued.tableChanges.empty()) oldest = std::min(oldest, queued.tableChanges.front());
  }
  return oldest;
}

void AnswerOrder::TableChangesHandled(size_t lane, size_t count) {
  std::deque<uint64_t>& stamps = lanes[lane].tableChanges;
  for (; count > 0 && !stamps.empty(); --count) stamps.pop_front();
}

void AnswerOrder::Clear() {
  for (Lane& queued : lanes) {
    queued.tableChanges.clear();
    queued.reservedDeparture = 0;
  }
}
