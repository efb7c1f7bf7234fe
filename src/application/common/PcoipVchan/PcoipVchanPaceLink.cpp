#include "src/application/common/PcoipVchan/PcoipVchanPaceLink.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/event.h"
#include "platform/mutex.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeFlowRecords.h"
#include "src/application/common/PcoipVchan/PcoipVchanFlowLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanPacer.h"

namespace {

constexpr char kPaceLink[] = "pacing";

#ifdef KVX_PACING_OFFER_OFF
std::atomic<bool> g_offered{false};
#else
std::atomic<bool> g_offered{true};
#endif

// Reports go once this much is unreported, or this long after the last one,
// whichever comes first; never closer together than the least gap.
constexpr uint64_t kReportEveryBytes = 64 * 1024;
constexpr uint64_t kReportEveryUs = 4000;
constexpr uint64_t kLeastReportGapUs = 1000;

// The agreement on this opening. Set by the host threads and the receive
// thread; read by the pipe worker and the transfer code.
std::atomic<bool> g_offerDue{false};
// This end's offer went after its latest flow marker (which makes the peer
// forget an earlier one).
std::atomic<bool> g_offeredSinceMarker{false};
std::atomic<bool> g_peerPaces{false};
std::atomic<uint32_t> g_generation{1};
std::atomic<uint32_t> g_pieceReceiveGeneration{1};
std::atomic<bool> g_said{false};
// The pipe worker found no room: a report that brings some wakes it.
std::atomic<bool> g_waitsForRoom{false};

// What this end sends, and what the peer reports of it.
platform::Mutex g_pacerLock;
LinkPacer g_pacer GUARDED_BY(g_pacerLock);
uint32_t g_sendEpoch GUARDED_BY(g_pacerLock) = 0;

// What this end takes in of the peer's sending, and has reported.
platform::Mutex g_reportLock;
uint32_t g_peerEpoch GUARDED_BY(g_reportLock) = 0;
uint64_t g_takenIn GUARDED_BY(g_reportLock) = 0;
uint64_t g_reported GUARDED_BY(g_reportLock) = 0;
uint64_t g_lastReportUs GUARDED_BY(g_reportLock) = 0;
std::atomic<bool> g_reportPending{false};

uint64_t NowUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint32_t CeilMs(uint64_t us) { return static_cast<uint32_t>(std::min<uint64_t>((us + 999) / 1000, 60000)); }

void Forget() {
  if (g_peerPaces.exchange(false)) ++g_generation;
  ++g_pieceReceiveGeneration;
  g_reportPending.store(false);
}

}  // namespace

bool PacingOffered() { return g_offered.load() && FlowControlOffered(); }
void SetPacingOfferedForTesting(bool offered) { g_offered.store(offered); }

void OnPaceLinkOpenedOrClosed() {
  if (!PacingOffered()) return;
  Forget();
  g_offerDue.store(false);
  g_offeredSinceMarker.store(false);
  g_said.store(false);
  const uint64_t now = NowUs();
  {
    platform::MutexLock lock(g_pacerLock);
    g_pacer.Restart(now, true);
    g_sendEpoch = 0;
  }
  platform::MutexLock lock(g_reportLock);
  g_peerEpoch = 0;
  g_takenIn = g_reported = 0;
}

void OnPeerFlowMarkerForPaceLink(uint32_t epoch, bool isOffer) {
  if (!PacingOffered()) return;
  Forget();
  {
    platform::MutexLock lock(g_reportLock);
    g_peerEpoch = epoch;
    g_takenIn = g_reported = 0;
  }
  // An offer is answered with a marker, which the offer must follow again;
  // an answer needs it only if none followed this end's latest marker.
  if (isOffer || !g_offeredSinceMarker.load()) g_offerDue.store(true);
}

bool TakePaceLinkDatagram(const VchanDatagram& dgram, uint32_t length) {
  const uint32_t marker = dgram.marker;
  if (!PacingOffered() || (marker != kPaceOfferMarker && marker != kFeedbackMarker)) return false;
  ChannelBridge* bridge = FlowLinkBridge();
  if (marker == kPaceOfferMarker) {
    if (dgram.sequence != 0 || dgram.payload_length != 0 || dgram.last_fragment == 0 ||
        !FlowPeerOffered()) {
      return true;
    }
    if (!g_peerPaces.exchange(true)) ++g_generation;
    if (!g_said.exchange(true)) {
      plugin_log(kChannelName, 1, 0,
                 "%s: the peer offers feedback and interleaving; what is in flight follows the link's rate",
                 kPaceLink);
    }
    if (bridge != nullptr) bridge->OnLinkControlDue();
    return true;
  }
  const uint32_t payloadLength = dgram.payload_length;
  flow::FeedbackReport report;
  if (!g_peerPaces.load() || length < kDatagramHeaderSize + payloadLength ||
      !flow::ReadFeedbackReport(dgram.payload, payloadLength, &report)) {
    return true;
  }
  {
    platform::MutexLock lock(g_pacerLock);
    if (report.epoch != g_sendEpoch) return true;
    g_pacer.OnFeedback(report.takenIn, NowUs());
  }
  if (g_waitsForRoom.exchange(false) && bridge != nullptr) bridge->OnLinkControlDue();
  return true;
}

void OnMessageDatagramTakenIn(uint32_t bytes) {
  if (!PacingOffered()) return;
  {
    platform::MutexLock lock(g_reportLock);
    g_takenIn += bytes;
  }
  if (!g_peerPaces.load() || g_reportPending.exchange(true)) return;
  if (ChannelBridge* bridge = FlowLinkBridge()) bridge->OnLinkControlDue();
}

uint32_t PieceReceiveGeneration() { return g_pieceReceiveGeneration.load(); }

void OnPaceEpochStarted(uint32_t epoch) {
  if (!PacingOffered()) return;
  g_offeredSinceMarker.store(false);
  platform::MutexLock lock(g_pacerLock);
  g_sendEpoch = epoch;
  g_pacer.Restart(NowUs(), false);
}

void NotePacedSend(uint32_t bytes) {
  if (!PacingOffered()) return;
  platform::MutexLock lock(g_pacerLock);
  if (g_sendEpoch != 0) g_pacer.OnSent(bytes, NowUs());
}

bool PeerPaces() { return g_peerPaces.load(); }
uint32_t PaceGeneration() { return g_generation.load(); }

bool TakeDuePaceOffer() {
  // Never ahead of a flow marker still due: the peer forgets this offer when
  // that marker reaches it, so the offer goes right after it instead.
  if (!PacingOffered() || FlowMarkerDue() || !FlowPeerOffered() || !g_offerDue.exchange(false)) {
    return false;
  }
  g_offeredSinceMarker.store(true);
  return true;
}

bool TakeDueReport(std::string* payload, uint32_t* msUntilDue) {
  *msUntilDue = platform::kInfinite;
  // Cleared before the look, so that bytes taken in meanwhile flag it again.
  if (!g_peerPaces.load() || !g_reportPending.exchange(false)) return false;
  const uint64_t now = NowUs();
  platform::MutexLock lock(g_reportLock);
  const uint64_t unreported = g_takenIn - g_reported;
  if (unreported == 0) return false;
  const uint64_t since = now - g_lastReportUs;
  const bool due = since >= kReportEveryUs || (unreported >= kReportEveryBytes && since >= kLeastReportGapUs);
  if (!due) {
    g_reportPending.store(true);
    *msUntilDue = CeilMs((unreported >= kReportEveryBytes ? kLeastReportGapUs : kReportEveryUs) - since);
    return false;
  }
  flow::AppendFeedbackReport({g_peerEpoch, g_takenIn}, payload);
  g_reported = g_takenIn;
  g_lastReportUs = now;
  return true;
}

LinkPacing PacingNow() {
  LinkPacing pacing;
  if (!PacingOffered() || !g_peerPaces.load()) return pacing;
  pacing.pieces = true;
  pacing.generation = g_generation.load();
  const uint64_t now = NowUs();
  platform::MutexLock lock(g_pacerLock);
  pacing.room = g_pacer.Room(now);
  pacing.turnBytes = g_pacer.TurnBytes();
  if (pacing.room == 0) {
    pacing.waitMs = CeilMs(g_pacer.UsUntilLookAgain(now));
    g_waitsForRoom.store(true);
  }
  return pacing;
}
