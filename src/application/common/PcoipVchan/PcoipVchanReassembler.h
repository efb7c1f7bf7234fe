// Glues the fragments of one message back together as the receive thread
// reads them. A message is handed on only when all its fragments arrived in
// order: fragment 0 always starts a new message, and a gap, a repeat or a
// reordering drops the message and everything up to the next fragment 0, so
// the rest of a message whose sender gave up never corrupts the next one.
#pragma once

#include <cstdint>
#include <string>

#include "src/application/common/PcoipVchan/PcoipVchanReceiveStatistics.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

// Both reassemblers' handling of a message's buffer. Reserves room for the
// length that a message's first payload announces, if that is no more than
// `mostBytes` (and the largest message); returns what it reserved, or 0.
uint64_t ReserveAnnouncedRoom(std::string* buffer, const uint8_t* payload, uint32_t size,
                              uint64_t mostBytes);
// Hands a complete message's bytes over, leaving behind any room reserved
// beyond them; the buffer is empty afterwards.
void HandOverReassembled(std::string* buffer, std::string* message);

class DatagramReassembler {
 public:
  // `tag` is the log tag (the channel name); it must outlive this object.
  explicit DatagramReassembler(const char* tag) : tag_(tag), statistics_(tag) {}

  // At every wake-up: a message not yet begun is timed from here.
  void OnWake(uint32_t nowMs);

  // One datagram of which `length` bytes were read. True when it completed a
  // message; *message then holds it (possibly empty, which is not handed on).
  bool OnDatagram(const VchanDatagram& dgram, uint32_t length, uint32_t nowMs,
                  std::string* message);

  bool MessageInProgress() const { return inProgress_; }

 private:
  void DiscardMessage();
  void Complete(uint32_t lastSequence, uint32_t nowMs, std::string* message);

  const char* tag_;
  std::string buffer_;
  bool inProgress_ = false;
  // Fragments are dropped until a fragment 0 starts a new message.
  bool dropping_ = false;
  uint32_t nextSequence_ = 0;
  uint32_t startMs_ = 0;
  ReceiveStatisticsLog statistics_;
};
