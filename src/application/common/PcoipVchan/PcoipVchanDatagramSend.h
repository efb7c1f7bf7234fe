// Handing datagrams to the host: the transmit lock held for a run of them, the
// payload one may carry now, and the send of one datagram. Each message's
// datagrams are counted for the pacer (see PcoipVchanPaceLink.h).
#pragma once

#include <cstdint>

#include "src/application/common/PcoipVchan/PcoipVchanState.h"

class TransmitLockHold {
 public:
  TransmitLockHold() : held_(GetTransmitLock().Enter()) {}
  ~TransmitLockHold() {
    if (held_) GetTransmitLock().Leave();
  }
  TransmitLockHold(const TransmitLockHold&) = delete;
  TransmitLockHold& operator=(const TransmitLockHold&) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

// The payload one datagram may carry now (0 while the channel is not open).
uint32_t PayloadSizeNow();

// Sends one datagram from the link's tx_dgram, filled but for its header;
// the caller holds the transmit lock. The host's result.
int32_t SendDatagram(uint32_t marker, uint32_t sequence, uint32_t payloadLength,
                     uint32_t lastFragment);
