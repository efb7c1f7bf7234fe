// The bridge's channel table: which local pipe holds each channel name and ID.
// Names are unique; lookups by name and by ID go through hash indexes, so a
// table holding thousands of channels costs no more per message than one
// holding a few. The table is bounded in entries and in name length, so that
// neither a local application nor the peer can grow it without limit.
//
// Not thread-safe: the bridge guards it with channelLock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One channel as this end knows it. -1 in channelId: no ID handed out yet;
// -1 in pipeId: no local application holds the channel. `client` names the
// holder among the successive clients of that pipe. `idTold` (server end):
// this end has told the peer or a local application the entry's ID, so it may
// no longer take the peer's ID for the name instead.
struct ChannelEntry {
  std::string channelName;
  int64_t channelId = -1;
  int32_t pipeId = -1;
  uint64_t client = 0;
  bool idTold = false;
};

class ChannelTable {
 public:
  // Far more than six applications use in practice; together they bound the
  // table's names to 4 MiB at worst.
  static constexpr size_t kMaxEntries = 4096;
  static constexpr size_t kMaxNameLength = 1024;
  // The quotas the bridge allows (see ChannelBridge::AddEntry), one per pipe
  // connection: the entries the peer made (held by nobody here) may take half
  // of the table, and each of the applications served at once (one per pipe
  // instance) a share small enough that all of them together fill neither
  // that half at the far end, where each name they ask for first takes an
  // entry of the peer's, nor, with the peer's half, the table here. So no
  // storm of names, from the applications here or the far end's, can take
  // every channel from the others: one application holds at most 341.
  static constexpr size_t kApplicationsAtOnce = 6;
  static constexpr size_t kMaxEntriesFromPeer = kMaxEntries / 2;
  static constexpr size_t kMaxEntriesPerApplication =
      (kMaxEntriesFromPeer - 1) / kApplicationsAtOnce;

  static_assert(kApplicationsAtOnce * kMaxEntriesPerApplication < kMaxEntriesFromPeer,
                "the applications at one end can fill the far end's share for the peer");
  static_assert(kApplicationsAtOnce * kMaxEntriesPerApplication + kMaxEntriesFromPeer < kMaxEntries,
                "the applications here and the peer can fill the table");

  enum class AddResult { kAdded, kNameTooLong, kFull };

  // Whether a channel of this name may exist at all.
  static bool NameFits(const std::string& channelName) {
    return channelName.size() <= kMaxNameLength;
  }

  // Appends an entry whose name is not in the table yet.
  AddResult Add(ChannelEntry entry);
  // Removes the entry (a pointer returned by a lookup); the others keep their order.
  void Remove(const ChannelEntry* entry);
  // Removes every entry that the pipe holds and returns them in table order.
  std::vector<ChannelEntry> RemoveEntriesOfPipe(int32_t pipeId);
  // Every entry goes back to having no ID (-1).
  void ForgetIds();

  // Null when nothing matches. The caller may change pipeId through the
  // pointer; the ID only through SetId, the name never.
  ChannelEntry* FindByName(const std::string& channelName);
  // The first entry in table order with this ID; -1 never matches.
  ChannelEntry* FindById(int64_t channelId);
  void SetId(ChannelEntry* entry, int64_t channelId);
  // Moves the entry to another holder (pipe and client).
  void SetHolder(ChannelEntry* entry, int32_t pipeId, uint64_t client);
  // How many entries the pipe holds (-1: held by nobody here).
  size_t HeldBy(int32_t pipeId) const;

  size_t Size() const { return slots.size(); }
  // Every entry in table order, and replacing them all (tests, benchmarks).
  std::vector<ChannelEntry> Entries() const;
  void Replace(const std::vector<ChannelEntry>& entries);
  void Clear();

 private:
  // `order` grows with every insertion, so entries sharing an ID (only a
  // confused or hostile peer makes them) keep their table order in the index.
  struct Slot {
    ChannelEntry entry;
    uint64_t order = 0;
  };
  using SlotList = std::list<Slot>;
  using SlotRef = SlotList::iterator;

  void RemoveSlot(SlotRef slot);
  void IndexId(SlotRef slot);
  void UnindexId(SlotRef slot);

  SlotList slots;  // table order; nodes never move, so indexes may point into them
  // Keys view the names held in `slots`.
  std::unordered_map<std::string_view, SlotRef> byName;
  // Entries without an ID (-1) are not indexed; each list is in table order.
  std::unordered_map<int64_t, std::vector<SlotRef>> byId;
  uint64_t nextOrder = 0;
  // Entries per holding pipe ID; a holder with none has no key.
  std::unordered_map<int32_t, size_t> heldBy;
  enum class Count { kUp, kDown };
  void CountHolder(int32_t pipeId, Count count);
};
