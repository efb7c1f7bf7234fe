#include "src/application/common/PcoipVchan/PcoipVchanFlowLink.h"

#include <atomic>
#include <exception>

#include "platform/tick.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/PcoipVchanLog.h"

namespace {

constexpr char kFlowLink[] = "flow_control";

#ifdef KVX_FLOW_OFFER_OFF
std::atomic<bool> g_offered{false};
#else
std::atomic<bool> g_offered{true};
#endif

// What this opening has seen and owes. Set by the host thread at the opening
// and by the receive thread; taken by the pipe worker.
std::atomic<bool> g_offerDue{false};
std::atomic<bool> g_answerDue{false};
std::atomic<bool> g_peerOffered{false};
// What the log has said on this opening: 0 nothing, 1 not offered, 2 offered.
std::atomic<int> g_said{0};
// The epoch of this end's next offer or answer: never 0, and unlike the
// epochs of an earlier run of this end, which the peer may still remember.
std::atomic<uint32_t> g_nextEpoch{platform::GetTickCount32() | 1u};

void SayPeerOffered() {
  if (g_said.exchange(2) == 2) return;
  plugin_log(kChannelName, 1, 0,
             "%s: the peer offers flow control; each channel's data goes within its credit",
             kFlowLink);
}

}  // namespace

ChannelBridge* FlowLinkBridge() {
  try {
    return &ChannelBridge::Instance();
  } catch (const std::exception&) {
    return nullptr;  // no bridge could be built: nothing to carry credit for
  }
}

bool FlowPeerOffered() { return g_peerOffered.load(); }
bool FlowMarkerDue() { return g_offerDue.load() || g_answerDue.load(); }

void SetFlowControlOfferedForTesting(bool offered) { g_offered.store(offered); }
bool FlowControlOffered() { return g_offered.load(); }

void OnFlowLinkOpened() {
  if (!FlowControlOffered()) return;
  g_peerOffered.store(false);
  g_answerDue.store(false);
  g_said.store(0);
  g_offerDue.store(true);
  if (ChannelBridge* bridge = FlowLinkBridge()) bridge->OnLinkOpened();
}

void OnFlowLinkClosed() {
  if (!FlowControlOffered()) return;
  g_peerOffered.store(false);
  if (ChannelBridge* bridge = FlowLinkBridge()) bridge->OnLinkClosed();
}

bool TakeFlowLinkDatagram(const VchanDatagram& dgram, uint32_t length, PeerFlowMarker* seen) {
  const uint32_t marker = dgram.marker;
  if (!FlowControlOffered() ||
      (marker != kFlowOfferMarker && marker != kFlowAnswerMarker && marker != kFlowCreditMarker)) {
    return false;
  }
  ChannelBridge* bridge = FlowLinkBridge();
  if (marker == kFlowCreditMarker) {
    const uint32_t payloadLength = dgram.payload_length;
    if (bridge != nullptr && g_peerOffered.load() && length >= kDatagramHeaderSize &&
        payloadLength <= kDatagramPayloadCapacity && payloadLength <= length - kDatagramHeaderSize) {
      bridge->OnPeerFlowRecords(dgram.payload, payloadLength);
    }
    return true;
  }
  // An offer or an answer: its last_fragment word is the epoch the peer's
  // sending starts afresh with.
  if (dgram.sequence != 0 || dgram.payload_length != 0 || dgram.last_fragment == 0) return true;
  g_peerOffered.store(true);
  SayPeerOffered();
  // Every offer is answered, also one that comes after this end's own: the
  // peer may have offered before this end listened, or have started afresh.
  // An answer is never answered, so the two cannot go back and forth.
  if (marker == kFlowOfferMarker) g_answerDue.store(true);
  if (seen != nullptr) *seen = PeerFlowMarker{true, dgram.last_fragment, marker == kFlowOfferMarker};
  if (bridge != nullptr) bridge->OnPeerFlowMarker(dgram.last_fragment);
  return true;
}

void OnPeerMessageForFlowLink() {
  if (!FlowControlOffered() || g_peerOffered.load()) return;
  int nothingSaid = 0;
  if (!g_said.compare_exchange_strong(nothingSaid, 1)) return;
  plugin_log(kChannelName, 1, 0,
             "%s: the peer has not offered flow control; channels go without credit, as before",
             kFlowLink);
}

uint32_t NextFlowEpoch() {
  uint32_t epoch = g_nextEpoch.fetch_add(1);
  if (epoch == 0) epoch = g_nextEpoch.fetch_add(1);
  return epoch;
}

uint32_t TakeDueFlowMarker() {
  const bool offer = g_offerDue.exchange(false);
  const bool answer = g_answerDue.exchange(false);
  // An offer that goes after the peer's own offer answers it as well.
  if (offer) return kFlowOfferMarker;
  return answer ? kFlowAnswerMarker : 0;
}
