// Feedback and interleaving on the link, as the plug-in carries them between
// two of our ends (see docs/protocol.md, "Pacing and interleaving").
//
// Once an end has seen the peer's flow-control offer or answer it offers this
// too, with one datagram ("KVXP": sequence 0, no payload, last_fragment the
// version), sent between two messages. A peer that has flow control but not
// this reads it as an empty message and hands nothing on; a peer without flow
// control never gets it. Once the peer's offer has come on this opening,
// after its latest flow marker:
//   * this end reports, in feedback datagrams ("KVXF", sequence 0, a
//     flow::FeedbackReport: the epoch of the peer's sending and the bytes of
//     its messages' datagrams taken in since), what it has read of the
//     peer's sending, about every 64 KiB or 4 ms, and never more often than
//     once a millisecond;
//   * it keeps what it has handed the host and the peer has not reported
//     taken in within the pacer's limit (PcoipVchanPacer.h);
//   * a large data message may go in pieces (PcoipVchanPieceReassembler.h).
// The agreement ends with the opening, and whenever the peer's flow marker
// comes again (the peer may have started afresh, as another build).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "src/application/common/PcoipVchan/ChannelBridgeLinkPacing.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

// "KVXP" and "KVXF" read as little-endian numbers.
constexpr uint32_t kPaceOfferMarker = 0x5058564Bu;
constexpr uint32_t kFeedbackMarker = 0x4658564Bu;
constexpr uint32_t kPaceOfferVersion = 1;

// Whether this end offers it (and reads pieces); the flow-control offer too.
bool PacingOffered();
// A hook for tests, not a setting: an end that has flow control but neither
// offers this nor reads it, as an older build. Before init. A build with
// KVX_PACING_OFFER_OFF defined starts that way.
void SetPacingOfferedForTesting(bool offered);

// The host's threads: the channel opened or closed. All of it starts afresh,
// what was learnt of the link included.
void OnPaceLinkOpenedOrClosed();

// The receive thread. The peer's flow offer or answer, with its epoch: its
// sending is counted afresh from here, and this end's offer is due unless it
// already followed this end's latest marker.
void OnPeerFlowMarkerForPaceLink(uint32_t epoch, bool isOffer);
// An offer or feedback datagram: true when it was one (handled here).
bool TakePaceLinkDatagram(const VchanDatagram& dgram, uint32_t length);
// A datagram of one of the peer's messages was read, `bytes` long in all.
void OnMessageDatagramTakenIn(uint32_t bytes);
// Changes whenever messages the peer had begun in pieces will never end.
uint32_t PieceReceiveGeneration();

// The transfer code, under the transmit lock. This end's flow marker went
// with `epoch`: what it sends is counted afresh from here.
void OnPaceEpochStarted(uint32_t epoch);
// `bytes` of this end's messages' datagrams were handed to the host.
void NotePacedSend(uint32_t bytes);
// Whether the peer offered on this opening: pieces may go, feedback is due.
bool PeerPaces();
uint32_t PaceGeneration();
// Takes this end's offer if it is due.
bool TakeDuePaceOffer();
// Takes the report due now, if one is: its payload is appended
// (ChannelBridgeFlowRecords.h).
// Otherwise false, and *msUntilDue says when one will be (platform::kInfinite:
// nothing waits to be reported).
bool TakeDueReport(std::string* payload, uint32_t* msUntilDue);

// The bridge's pipe worker.
LinkPacing PacingNow();
// Sends this end's offer and a report if due; when a report falls due later,
// how many ms until then (platform::kInfinite when none waits).
uint32_t SendDueLinkReports();
// Sends the next piece of `message`: from piece->offset, whole datagrams of
// at most `budget` bytes in all (at least one). The bytes sent; 0 when none
// could go (the channel is not open, or the agreement the message began
// under has ended), and the message must then be given up.
size_t SendMessagePiece(const std::string& message, PieceSend* piece, size_t budget);
// The same for a caller that holds the transmit lock already.
size_t SendPieceHoldingLock(const std::string& message, PieceSend* piece, size_t budget);
