// Flow control on the link, as the plug-in carries it: the offer each end makes once
// per opening of the channel, the answer to the peer's offer, and the
// datagrams that carry credit, all told apart from the application's
// messages by their marker word (see docs/protocol.md, "Flow control across
// the link"). The credit itself is the bridge's (ChannelBridgeFlowLedger.h).
//
// An offer is a datagram that an end without flow control takes for nothing:
// sequence 0, no payload, last_fragment not 0, which such an end reads as the
// end of an empty message (one statistics line, nothing handed on). So it is
// sent only between two messages, under the transmit lock, where no message
// is in progress at the receiving end. Credit datagrams carry a payload and
// go only to a peer that has offered on the current opening.
#pragma once

#include <cstdint>
#include <string>

#include "src/application/common/PcoipVchan/PcoipVchanState.h"

// The marker words, the four bytes "KVXO", "KVXA" and "KVXC" read as a
// little-endian number; a message's datagrams carry 1.
constexpr uint32_t kFlowOfferMarker = 0x4F58564Bu;
constexpr uint32_t kFlowAnswerMarker = 0x4158564Bu;
constexpr uint32_t kFlowCreditMarker = 0x4358564Bu;

// The channel opened (a host thread): this end offers again, and uses credit
// only once the peer has offered on this opening.
void OnFlowLinkOpened();
// The channel closed (a host thread): no credit is used until it opens again.
void OnFlowLinkClosed();
// The receive thread, for each datagram read: true when it was one of the
// link's own (offer, answer, credit), which is then handled and goes no
// further. Never for an end that does not offer. `seen`, if given, says
// whether it was the peer's offer or answer, and its epoch.
struct PeerFlowMarker {
  bool seen = false;
  uint32_t epoch = 0;
  bool offer = false;
};
bool TakeFlowLinkDatagram(const VchanDatagram& dgram, uint32_t length,
                          PeerFlowMarker* seen = nullptr);
// The receive thread, for each message completed: notes once per opening
// that the peer has not offered.
void OnPeerMessageForFlowLink();

// The bridge's pipe worker: sends this end's offer or answer if one is due
// (its epoch, or 0), and credit records as datagrams of whole records.
uint32_t SendDueFlowMarker();
void SendFlowRecords(const std::string& payload);

// Between this file and the transfer code, which sends under the transmit
// lock: the marker of the datagram due now (0: none), taken as sent, and the
// epoch for it.
uint32_t TakeDueFlowMarker();
uint32_t NextFlowEpoch();

// The process's bridge, made if need be; null when it cannot be had.
class ChannelBridge;
ChannelBridge* FlowLinkBridge();
// Whether the peer has offered on this opening, and whether this end's own
// offer or answer is due (not yet sent).
bool FlowPeerOffered();
bool FlowMarkerDue();

// A hook for tests, not a setting: an end that neither offers nor answers and
// reads the peer's offers as an end without flow control does. Before init.
// A build with KVX_FLOW_OFFER_OFF defined starts that way.
void SetFlowControlOfferedForTesting(bool offered);
bool FlowControlOffered();
