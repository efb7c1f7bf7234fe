// Glues messages back together that arrive in pieces, interleaved with one
// another and with whole messages, between two ends that agreed on it. Each
// piece datagram names its message: the marker "KVXM", the sequence from 1
// within the message, and in last_fragment the message's number shifted up
// by one bit, with the low bit set on its last datagram.
//
// Several messages are reassembled at once, each in its own order: a gap or
// a repeat drops that message alone, and all of a message is handed on or
// none of it. Bounded in number (kMostMessages; beyond it the one that waited
// longest is dropped) and in bytes (kPiecesBoundBytes in all, a message at
// most kMaxReassembledMessage), so a peer that never ends its messages costs
// no more than that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/application/common/PcoipVchan/PcoipVchanReceiveStatistics.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

// "KVXM" read as a little-endian number.
constexpr uint32_t kPieceMarker = 0x4D58564Bu;

inline uint32_t PieceTag(uint32_t number, bool last) { return (number << 1) | (last ? 1u : 0u); }

class PieceReassembler {
 public:
  static constexpr size_t kMostMessages = 8;

  // `tag` is the log tag (the channel name); it must outlive this object.
  explicit PieceReassembler(const char* tag) : tag_(tag), statistics_(tag) {}

  // One piece datagram of which `length` bytes were read. True when it
  // completed a message, which *message then holds.
  bool OnDatagram(const VchanDatagram& dgram, uint32_t length, uint32_t nowMs,
                  std::string* message);
  // The peer started afresh, or the channel closed: what is in progress
  // will never be finished.
  void Clear();

  size_t MessagesInProgress() const { return messages_.size(); }
  uint64_t BytesInProgress() const { return bytes_; }

 private:
  struct InProgress {
    uint32_t number = 0;
    uint32_t nextSequence = 1;
    // Dropped: its remaining pieces are let go without a word.
    bool dropping = false;
    uint64_t lastUse = 0;
    uint32_t startMs = 0;
    // Room reserved for the length its first piece announced.
    uint64_t reserved = 0;
    std::string bytes;
  };
  InProgress* Find(uint32_t number);
  InProgress& Begin(uint32_t number, uint32_t nowMs);
  void Drop(InProgress& entry, const char* why);
  void Erase(InProgress& entry);

  const char* tag_;
  ReceiveStatisticsLog statistics_;
  std::vector<InProgress> messages_;
  uint64_t bytes_ = 0;
  // Room reserved ahead of the bytes, within the same bound.
  uint64_t reserved_ = 0;
  uint64_t uses_ = 0;
};
