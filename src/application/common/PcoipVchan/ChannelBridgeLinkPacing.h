// What the pipe worker learns from the plug-in before each turn, between two
// of our ends that agreed on feedback and interleaving: how much it may hand
// the host now, how long a turn is at the link's rate, and whether a large
// message may go in pieces. With any other peer the defaults hold: no limit,
// the usual turn, messages whole.
#pragma once

#include <cstddef>
#include <cstdint>

struct LinkPacing {
  static constexpr uint64_t kNoLimit = ~uint64_t{0};
  // Bytes that may be handed to the host now; 0: none until the peer
  // reports more taken in, or until waitMs has passed.
  uint64_t room = kNoLimit;
  uint32_t waitMs = 0;
  // The bytes of one turn; 0: the bridge's own.
  size_t turnBytes = 0;
  // Large data messages may go in pieces; `generation` changes whenever that
  // agreement is made or lost, and a message begun under another is cut.
  bool pieces = false;
  uint32_t generation = 0;
};

// A message going in pieces: where the next piece starts. Filled by the
// plug-in's piece sender; the pipe worker keeps one per lane.
struct PieceSend {
  uint32_t number = 0;  // 0 until the first piece went
  uint32_t nextSequence = 0;
  size_t offset = 0;
  uint32_t generation = 0;
};

// A sender has at most this many bytes of messages in pieces at once (each
// lane one message), which the receiving end holds while it reassembles them.
constexpr uint64_t kPiecesBoundBytes = uint64_t{96} << 20;
