#include "src/application/common/PcoipVchan/ChannelBridgeChannelTable.h"

#include <algorithm>
#include <utility>

ChannelTable::AddResult ChannelTable::Add(ChannelEntry entry) {
  if (!NameFits(entry.channelName)) return AddResult::kNameTooLong;
  if (slots.size() >= kMaxEntries) return AddResult::kFull;
  slots.push_back(Slot{std::move(entry), nextOrder++});
  const SlotRef slot = std::prev(slots.end());
  // Callers add only names not in the table; should one come twice all the
  // same, lookups keep finding the first.
  byName.emplace(slot->entry.channelName, slot);
  IndexId(slot);
  CountHolder(slot->entry.pipeId, Count::kUp);
  return AddResult::kAdded;
}

void ChannelTable::Remove(const ChannelEntry* entry) {
  if (entry == nullptr) return;
  auto named = byName.find(entry->channelName);
  if (named == byName.end() || &named->second->entry != entry) return;
  RemoveSlot(named->second);
}

void ChannelTable::RemoveSlot(SlotRef slot) {
  UnindexId(slot);
  auto named = byName.find(slot->entry.channelName);
  if (named != byName.end() && named->second == slot) byName.erase(named);
  CountHolder(slot->entry.pipeId, Count::kDown);
  slots.erase(slot);
}

std::vector<ChannelEntry> ChannelTable::RemoveEntriesOfPipe(int32_t pipeId) {
  std::vector<ChannelEntry> removed;
  for (auto slot = slots.begin(); slot != slots.end();) {
    const SlotRef current = slot++;
    if (current->entry.pipeId != pipeId) continue;
    removed.push_back(current->entry);
    RemoveSlot(current);
  }
  return removed;
}

void ChannelTable::ForgetIds() {
  for (Slot& slot : slots) slot.entry.channelId = -1;
  byId.clear();
}

ChannelEntry* ChannelTable::FindByName(const std::string& channelName) {
  auto found = byName.find(channelName);
  return found == byName.end() ? nullptr : &found->second->entry;
}

ChannelEntry* ChannelTable::FindById(int64_t channelId) {
  // -1 means "no ID". Matching it would hand one application's request, or
  // data from the peer, to another application's channel that is still
  // waiting for its ID.
  if (channelId == -1) return nullptr;
  auto found = byId.find(channelId);
  return found == byId.end() ? nullptr : &found->second.front()->entry;
}

void ChannelTable::SetId(ChannelEntry* entry, int64_t channelId) {
  if (entry == nullptr || entry->channelId == channelId) return;
  auto named = byName.find(entry->channelName);
  if (named == byName.end() || &named->second->entry != entry) return;
  UnindexId(named->second);
  entry->channelId = channelId;
  IndexId(named->second);
}

void ChannelTable::SetHolder(ChannelEntry* entry, int32_t pipeId, uint64_t client) {
  if (entry == nullptr) return;
  CountHolder(entry->pipeId, Count::kDown);
  entry->pipeId = pipeId;
  entry->client = client;
  CountHolder(pipeId, Count::kUp);
}

size_t ChannelTable::HeldBy(int32_t pipeId) const {
  const auto found = heldBy.find(pipeId);
  return found == heldBy.end() ? 0 : found->second;
}

void ChannelTable::CountHolder(int32_t pipeId, Count count) {
  if (count == Count::kUp) {
    ++heldBy[pipeId];
    return;
  }
  const auto found = heldBy.find(pipeId);
  if (found != heldBy.end() && --found->second == 0) heldBy.erase(found);
}

std::vector<ChannelEntry> ChannelTable::Entries() const {
  std::vector<ChannelEntry> entries;
  entries.reserve(slots.size());
  for (const Slot& slot : slots) entries.push_back(slot.entry);
  return entries;
}

void ChannelTable::Replace(const std::vector<ChannelEntry>& entries) {
  Clear();
  for (const ChannelEntry& entry : entries) Add(entry);
}

void ChannelTable::Clear() {
  heldBy.clear();
  byId.clear();
  byName.clear();
  slots.clear();
}

void ChannelTable::IndexId(SlotRef slot) {
  if (slot->entry.channelId == -1) return;
  std::vector<SlotRef>& sharing = byId[slot->entry.channelId];
  const auto later = std::upper_bound(
      sharing.begin(), sharing.end(), slot->order,
      [](uint64_t order, const SlotRef& other) { return order < other->order; });
  sharing.insert(later, slot);
}

void ChannelTable::UnindexId(SlotRef slot) {
  auto found = byId.find(slot->entry.channelId);
  if (found == byId.end()) return;
  std::vector<SlotRef>& sharing = found->second;
  sharing.erase(std::remove(sharing.begin(), sharing.end(), slot), sharing.end());
  if (sharing.empty()) byId.erase(found);
}
