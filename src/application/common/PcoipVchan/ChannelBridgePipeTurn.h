// The pipe worker's own record of its turns (see ChannelBridgeWorkers.cpp):
// shared by the files of its steps, seen by nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "platform/event.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"

// What the pipe worker carries from one turn to the next, and what one turn
// took from the pipe queue. The pipe worker's alone.
struct ChannelBridge::PipeTurn {
  static constexpr size_t kNoLane = ~size_t{0};

  // Answers for the peer that may go now, and their room on the queue,
  // given back once they are sent.
  std::deque<PipeItem> answers;
  size_t answersCharge = 0;
  // The items of one lane's turn, their room, and how many of them may have
  // changed the table once handled.
  size_t lane = kNoLane;
  std::deque<PipeItem> items;
  size_t itemsCharge = 0;
  size_t tableChangesHandled = 0;
  size_t itemsHandled = 0;

  // When this turn was taken, and which lanes' first message waits for its
  // channel's credit.
  uint64_t nowMs = 0;
  bool laneWaits[kPipeServerCount] = {};
  // How long the worker may sleep when it finds nothing to take.
  uint32_t sleepMs = platform::kInfinite;
  // What the plug-in said of pacing when this turn was taken, and the bytes
  // of a turn at that.
  LinkPacing pacing;
  size_t quantum = kPipeTurnBytes;

  // Each lane's data message going in pieces, if any: taken from the lane,
  // its room given back only once all of it went, so the lane's bound still
  // counts it. While it goes, the lane's turns are its pieces.
  struct LanePieces {
    bool active = false;
    bool begun = false;
    PipeItem item;
    size_t charge = 0;
    PieceSend send;
  };
  std::array<LanePieces, kPipeServerCount> pieces;
  // The sizes of the messages in pieces, within kPiecesBoundBytes.
  uint64_t piecesBytes = 0;
  // This turn is a piece of its lane's message: what it sent, and whether
  // the message is done with (all of it sent, or given up).
  bool pieceTurn = false;
  size_t pieceSent = 0;
  bool pieceDone = false;

  // Deficit round robin: the bytes each lane has saved up towards its next
  // turn, and the lane the next look for a turn starts at.
  std::array<size_t, kPipeServerCount> deficit{};
  size_t nextLane = 0;
};

