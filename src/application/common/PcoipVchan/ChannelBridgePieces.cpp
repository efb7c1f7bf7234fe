// Large data messages in pieces, between two of our ends that agreed on it.
//
// Sent whole, a message holds the link until its last datagram is out: over
// a slow link a 4 MiB message is most of a second, and every other
// application's message waits behind it. So a data message larger than one
// turn goes as a run of pieces instead, one per turn of its lane, and the
// other lanes' turns (and answers for the peer) go between them. The
// receiving end reassembles each message apart (PcoipVchanPieceReassembler.h)
// and hands it on whole, in the order they complete: a lane has one message
// in pieces at a time and takes nothing else meanwhile, so an application's
// messages still reach the far end in the order it wrote them.
//
// The message's credit is taken when it begins, and its room on the lane is
// given back when all of it went. If the agreement ends before that (the
// link closed, or the peer started afresh), the rest can never be
// reassembled and is dropped with a diagnostic.
#include <algorithm>
#include <deque>
#include <utility>

#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"
#include "src/application/common/PcoipVchan/ChannelBridgePipeTurn.h"

bool ChannelBridge::MayGoInPieces(const PipeTurn& turn, const PipeItem& item) const {
  return turn.pacing.pieces && linkControl.sendPiece != nullptr && item.isData &&
         item.bytes.size() > turn.quantum &&
         turn.piecesBytes + item.bytes.size() <= kPiecesBoundBytes;
}

void ChannelBridge::BeginPieces(PipeTurn* turn, size_t lane) {
  std::deque<PipeItem> taken;
  bool first = true;
  const size_t charge = pipeLanes[lane]->TakeWithin(&taken, ~size_t{0}, [&first](const PipeItem&) {
    return std::exchange(first, false);
  });
  PipeTurn::LanePieces& pieces = turn->pieces[lane];
  pieces.active = true;
  pieces.begun = false;
  pieces.item = std::move(taken.front());
  pieces.charge = charge;
  pieces.send = PieceSend{};
  pieces.send.generation = turn->pacing.generation;
  turn->piecesBytes += pieces.item.bytes.size();
  turn->lane = lane;
  turn->pieceTurn = true;
  turn->nextLane = lane + 1;
}

void ChannelBridge::SendPiece(PipeTurn* turn) {
  PipeTurn::LanePieces& pieces = turn->pieces[turn->lane];
  if (!pieces.begun) {
    pieces.begun = true;
    if (!DataMayGo(pieces.item)) {
      turn->pieceDone = true;
      return;
    }
  }
  turn->pieceSent = linkControl.sendPiece(pieces.item.bytes, &pieces.send, turn->deficit[turn->lane]);
  if (turn->pieceSent == 0) {
    Diagnose(ChannelBridgeText::kPiecesCut);
    turn->pieceDone = true;
    return;
  }
  turn->pieceDone = pieces.send.offset >= pieces.item.bytes.size();
}

void ChannelBridge::FinishPiece(PipeTurn* turn) {
  const size_t lane = turn->lane;
  turn->deficit[lane] -= std::min(turn->deficit[lane], turn->pieceSent);
  if (turn->pieceDone) {
    PipeTurn::LanePieces& pieces = turn->pieces[lane];
    pipeLanes[lane]->GiveBack(pieces.charge);
    ForgetClientItems(lane, 1);
    turn->piecesBytes -= pieces.item.bytes.size();
    pieces = PipeTurn::LanePieces{};
  }
  turn->pieceTurn = false;
  turn->pieceSent = 0;
  turn->pieceDone = false;
}
