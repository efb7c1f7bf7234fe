#include "src/application/common/PcoipVchan/PcoipVchanReassembler.h"

#include <cstddef>
#include <string>
#include <utility>

#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanReceiveStatistics.h"

namespace {
constexpr char kRxThread[] = "rx_thread_entry";
// Room beyond a completed message's bytes that may go on with it: what
// rounding and an honest announcement leave.
constexpr size_t kUnusedRoomKept = 64 * 1024;

// Reads one base-128 number; false when it does not end within `size`.
bool ReadVarint(const uint8_t* data, uint32_t size, uint32_t* at, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64 && *at < size; shift += 7) {
    const uint8_t byte = data[(*at)++];
    *value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// How long the message a first fragment begins says it is: every message is
// one length-delimited field (the request or the response), so its first
// bytes tell its whole length. 0 when they do not read so. Only a hint for
// the room to make: the fragments themselves decide what the message is.
uint64_t AnnouncedLength(const uint8_t* data, uint32_t size) {
  constexpr uint64_t kLengthDelimited = 2;
  uint32_t at = 0;
  uint64_t tag = 0;
  uint64_t length = 0;
  if (!ReadVarint(data, size, &at, &tag) || (tag & 7) != kLengthDelimited || (tag >> 3) == 0 ||
      !ReadVarint(data, size, &at, &length)) {
    return 0;
  }
  return length > kMaxReassembledMessage ? 0 : at + length;
}
}  // namespace

uint64_t ReserveAnnouncedRoom(std::string* buffer, const uint8_t* payload, uint32_t size,
                              uint64_t mostBytes) {
  // Room for the whole message at once, rather than growing it (and copying
  // what came so far) again and again as its fragments arrive. Only address
  // space until the bytes come, and never beyond the bound.
  const uint64_t announced = AnnouncedLength(payload, size);
  if (announced <= size || announced > kMaxReassembledMessage || announced > mostBytes) return 0;
  buffer->reserve(static_cast<size_t>(announced));
  return announced;
}

void HandOverReassembled(std::string* buffer, std::string* message) {
  if (buffer->capacity() - buffer->size() > kUnusedRoomKept) {
    // The first fragment announced more than came. The queues count a
    // message's bytes, not the room behind them, so that room must not travel
    // on with it (where reserving commits memory, a peer could otherwise make
    // every small message cost the bound).
    message->assign(buffer->data(), buffer->size());
    std::string().swap(*buffer);
  } else {
    *message = std::move(*buffer);
  }
  buffer->clear();
}

void DatagramReassembler::OnWake(uint32_t nowMs) {
  if (!inProgress_) startMs_ = nowMs;
}

void DatagramReassembler::DiscardMessage() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  inProgress_ = false;
  nextSequence_ = 0;
}

bool DatagramReassembler::OnDatagram(const VchanDatagram& dgram, uint32_t length, uint32_t nowMs,
                                     std::string* message) {
  const uint32_t payloadLength = dgram.payload_length;
  const uint32_t sequence = dgram.sequence;

  // Never believe a length the datagram itself does not back up.
  if (length < kDatagramHeaderSize || payloadLength > kDatagramPayloadCapacity ||
      payloadLength > length - kDatagramHeaderSize) {
    plugin_log(tag_, 1, kPluginFailure,
               "%s: datagram of %u bytes claims %u payload bytes, dropped with its message!",
               kRxThread, length, payloadLength);
    DiscardMessage();
    dropping_ = true;
    return false;
  }

  if (sequence == 0) {
    if (inProgress_) {
      plugin_log(tag_, 1, kPluginFailure,
                 "%s: new message began after fragment %u, %u bytes of the unfinished one dropped!",
                 kRxThread, nextSequence_ - 1, static_cast<uint32_t>(buffer_.size()));
      DiscardMessage();
      startMs_ = nowMs;
    }
    dropping_ = false;
  } else if (dropping_ || !inProgress_ || sequence != nextSequence_) {
    if (!dropping_) {
      plugin_log(tag_, 1, kPluginFailure,
                 "%s: fragment %u arrived where %u was due, message dropped!", kRxThread, sequence,
                 inProgress_ ? nextSequence_ : 0u);
      DiscardMessage();
      dropping_ = true;
    }
    return false;
  }

  if (buffer_.size() + payloadLength > kMaxReassembledMessage) {
    plugin_log(tag_, 1, kPluginFailure, "%s: message outgrew %u bytes, dropped!", kRxThread,
               kMaxReassembledMessage);
    DiscardMessage();
    dropping_ = true;
    return false;
  }

  if (sequence == 0 && dgram.last_fragment == 0) {
    ReserveAnnouncedRoom(&buffer_, dgram.payload, payloadLength, kMaxReassembledMessage);
  }
  buffer_.append(reinterpret_cast<const char*>(dgram.payload), payloadLength);
  inProgress_ = true;
  nextSequence_ = sequence + 1;
  if (dgram.last_fragment == 0) return false;
  Complete(sequence, nowMs, message);
  return true;
}

void DatagramReassembler::Complete(uint32_t lastSequence, uint32_t nowMs, std::string* message) {
  const uint32_t elapsed = nowMs - startMs_;  // wraps like the tick counter
  statistics_.OnMessage(elapsed, static_cast<uint32_t>(buffer_.size()),
                        static_cast<int>(lastSequence + 1));
  HandOverReassembled(&buffer_, message);
  inProgress_ = false;
  nextSequence_ = 0;
}
