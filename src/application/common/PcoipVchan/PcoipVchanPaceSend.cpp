// What the pipe worker sends of feedback and interleaving: this end's offer,
// its reports, and the pieces of a large message. All between two messages,
// under the transmit lock, like the flow-control datagrams.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/event.h"
#include "src/application/common/PcoipVchan/ChannelBridgeFlowRecords.h"
#include "src/application/common/PcoipVchan/PcoipVchanDatagramSend.h"
#include "src/application/common/PcoipVchan/PcoipVchanPaceLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanPieceReassembler.h"

namespace {

// Numbers of messages in pieces: 31 bits, never 0, unlike those of the
// messages still in pieces (there are at most a handful at once).
std::atomic<uint32_t> g_nextPieceNumber{1};

uint32_t NextPieceNumber() {
  for (;;) {
    const uint32_t number = g_nextPieceNumber.fetch_add(1) & 0x7FFFFFFFu;
    if (number != 0) return number;
  }
}

}  // namespace

uint32_t SendDueLinkReports() {
  if (!PacingOffered()) return platform::kInfinite;
  TransmitLockHold hold;
  if (!hold.held() || PayloadSizeNow() < flow::kFeedbackReportBytes) return platform::kInfinite;
  if (TakeDuePaceOffer()) SendDatagram(kPaceOfferMarker, 0, 0, kPaceOfferVersion);
  uint32_t msUntilDue = platform::kInfinite;
  std::string payload;
  if (TakeDueReport(&payload, &msUntilDue)) {
    std::memcpy(g_plugin_context.link.tx_dgram.payload, payload.data(), payload.size());
    SendDatagram(kFeedbackMarker, 0, static_cast<uint32_t>(payload.size()), 1);
  }
  return msUntilDue;
}

size_t SendPieceHoldingLock(const std::string& message, PieceSend* piece, size_t budget) {
  const uint32_t payloadSize = PayloadSizeNow();
  if (payloadSize == 0 || !PeerPaces() || piece->generation != PaceGeneration()) return 0;
  if (piece->number == 0) {
    piece->number = NextPieceNumber();
    piece->nextSequence = 1;
  }
  VchanDatagram& tx = g_plugin_context.link.tx_dgram;
  size_t sent = 0;
  while (piece->offset < message.size()) {
    const size_t remaining = message.size() - piece->offset;
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(remaining, payloadSize));
    if (sent != 0 && sent + chunk > budget) break;
    std::memcpy(tx.payload, message.data() + piece->offset, chunk);
    if (SendDatagram(kPieceMarker, piece->nextSequence, chunk,
                     PieceTag(piece->number, chunk == remaining)) != 0) {
      return 0;
    }
    ++piece->nextSequence;
    piece->offset += chunk;
    sent += chunk;
  }
  return sent;
}

size_t SendMessagePiece(const std::string& message, PieceSend* piece, size_t budget) {
  TransmitLockHold hold;
  return hold.held() ? SendPieceHoldingLock(message, piece, budget) : 0;
}
