#include "src/application/common/PcoipVchan/PcoipVchanPieceReassembler.h"

#include <algorithm>
#include <utility>

#include "src/application/common/PcoipVchan/ChannelBridgeLinkPacing.h"
#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanReassembler.h"

namespace {
constexpr char kRxThread[] = "rx_thread_entry";
}  // namespace

PieceReassembler::InProgress* PieceReassembler::Find(uint32_t number) {
  for (InProgress& entry : messages_) {
    if (entry.number == number) return &entry;
  }
  return nullptr;
}

void PieceReassembler::Erase(InProgress& entry) {
  bytes_ -= entry.bytes.size();
  reserved_ -= entry.reserved;
  const size_t at = static_cast<size_t>(&entry - messages_.data());
  if (at + 1 != messages_.size()) std::swap(messages_[at], messages_.back());
  messages_.pop_back();
}

void PieceReassembler::Drop(InProgress& entry, const char* why) {
  plugin_log(tag_, 1, kPluginFailure, "%s: message %u in pieces dropped after %u bytes: %s!",
             kRxThread, entry.number, static_cast<uint32_t>(entry.bytes.size()), why);
  bytes_ -= entry.bytes.size();
  reserved_ -= entry.reserved;
  entry.reserved = 0;
  std::string().swap(entry.bytes);
  entry.dropping = true;
}

PieceReassembler::InProgress& PieceReassembler::Begin(uint32_t number, uint32_t nowMs) {
  if (messages_.size() >= kMostMessages) {
    // The one that waited longest: a dropped one first, which holds nothing.
    auto oldest = std::min_element(messages_.begin(), messages_.end(),
                                   [](const InProgress& a, const InProgress& b) {
                                     if (a.dropping != b.dropping) return a.dropping;
                                     return a.lastUse < b.lastUse;
                                   });
    if (!oldest->dropping) Drop(*oldest, "too many messages in pieces at once");
    Erase(*oldest);
  }
  messages_.emplace_back();
  messages_.back().number = number;
  messages_.back().startMs = nowMs;
  return messages_.back();
}

bool PieceReassembler::OnDatagram(const VchanDatagram& dgram, uint32_t length, uint32_t nowMs,
                                  std::string* message) {
  const uint32_t payloadLength = dgram.payload_length;
  const uint32_t sequence = dgram.sequence;
  const uint32_t tag = dgram.last_fragment;
  const uint32_t number = tag >> 1;
  const bool last = (tag & 1u) != 0;
  if (length < kDatagramHeaderSize || payloadLength > kDatagramPayloadCapacity ||
      payloadLength > length - kDatagramHeaderSize || sequence == 0 || number == 0) {
    plugin_log(tag_, 1, kPluginFailure, "%s: piece datagram of %u bytes is malformed, dropped!",
               kRxThread, length);
    if (InProgress* entry = (number != 0 ? Find(number) : nullptr)) {
      if (!entry->dropping) Drop(*entry, "a malformed piece");
    }
    return false;
  }

  InProgress* entry = Find(number);
  if (sequence == 1) {
    if (entry != nullptr) {
      if (!entry->dropping) Drop(*entry, "its number began again");
      Erase(*entry);
    }
    entry = &Begin(number, nowMs);
  } else if (entry == nullptr) {
    // Its beginning was never seen (or it was dropped and forgotten): the
    // rest of it is let go, quietly from here on if there is room to
    // remember it without dropping a message still in progress.
    plugin_log(tag_, 1, kPluginFailure, "%s: piece %u of message %u, whose beginning never came, dropped!",
               kRxThread, sequence, number);
    const bool room = messages_.size() < kMostMessages ||
                      std::any_of(messages_.begin(), messages_.end(),
                                  [](const InProgress& other) { return other.dropping; });
    if (!room || last) return false;
    entry = &Begin(number, nowMs);
    entry->dropping = true;
  } else if (!entry->dropping && sequence != entry->nextSequence) {
    Drop(*entry, "a piece out of order");
  }
  entry->lastUse = ++uses_;
  entry->nextSequence = sequence + 1;
  if (!entry->dropping) {
    if (entry->bytes.size() + payloadLength > kMaxReassembledMessage) {
      Drop(*entry, "it outgrew the largest message");
    } else if (bytes_ + payloadLength > kPiecesBoundBytes) {
      Drop(*entry, "the messages in pieces outgrew their bound");
    } else {
      if (sequence == 1 && !last) {
        // Reserved room counts against the bound as if the bytes had come.
        entry->reserved = ReserveAnnouncedRoom(&entry->bytes, dgram.payload, payloadLength,
                                               kPiecesBoundBytes - std::min(kPiecesBoundBytes, reserved_ + bytes_));
        reserved_ += entry->reserved;
      }
      entry->bytes.append(reinterpret_cast<const char*>(dgram.payload), payloadLength);
      bytes_ += payloadLength;
    }
  }
  if (!last) return false;
  const bool complete = !entry->dropping;
  if (complete) {
    statistics_.OnMessage(nowMs - entry->startMs, static_cast<uint32_t>(entry->bytes.size()),
                          static_cast<int>(sequence));
    bytes_ -= entry->bytes.size();
    HandOverReassembled(&entry->bytes, message);
  }
  Erase(*entry);
  return complete;
}

void PieceReassembler::Clear() {
  messages_.clear();
  messages_.shrink_to_fit();
  bytes_ = reserved_ = 0;
}
