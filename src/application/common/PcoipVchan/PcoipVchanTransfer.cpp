// Datagram transfer: cutting a message into datagrams on the way out, and the
// receive thread that reads them and puts whole messages on the bridge.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "platform/event.h"
#include "platform/tick.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeFlowRecords.h"
#include "src/application/common/PcoipVchan/PcoipVchanDatagramSend.h"
#include "src/application/common/PcoipVchan/PcoipVchanFlowLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanPaceLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanPieceReassembler.h"
#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"
#include "src/application/common/PcoipVchan/PcoipVchanReassembler.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

namespace {

constexpr char kSendOverPcoip[] = "SendOverPcoip";
constexpr char kRxThread[] = "rx_thread_entry";

void LogThreadExit(const char* tag) {
  plugin_log(tag, 1, kPluginFailure, "%s: Exiting thread!", kRxThread);
}

// How long one look for room on a full PCoIP queue waits before the receive
// thread checks whether it has been asked to stop.
constexpr uint32_t kRoomWaitSliceMs = 100;

// While the bridge's PCoIP queue is full, the receive thread takes no
// datagram: they stay with the host, whose channel then holds the peer's
// sends back. It waits here, not on its ready event, so no wake-up from the
// host is used up meanwhile. False when a stop was requested while waiting.
bool WaitForRoomToReceive(uint32_t run) {
  try {
    ChannelBridge& bridge = ChannelBridge::Instance();
    while (!bridge.WaitForPcoipQueueRoom(kRoomWaitSliceMs)) {
      if (CurrentReceiveRun() != run) return false;
    }
  } catch (const std::exception&) {
    // No bridge could be built; the message is reported as dropped when it
    // is complete.
  }
  return true;
}

}  // namespace

uint32_t SendDueFlowMarker() {
  if (!FlowControlOffered()) return 0;
  // Between two messages: the peer has no message in progress now.
  TransmitLockHold hold;
  if (!hold.held() || PayloadSizeNow() == 0) return 0;
  const uint32_t marker = TakeDueFlowMarker();
  if (marker == 0) return 0;
  const uint32_t epoch = NextFlowEpoch();
  if (SendDatagram(marker, 0, 0, epoch) == 0) OnPaceEpochStarted(epoch);
  return epoch;
}

void SendFlowRecords(const std::string& payload) {
  TransmitLockHold hold;
  const uint32_t payloadSize = PayloadSizeNow();
  const size_t perDatagram = payloadSize / flow::kCreditRecordBytes * flow::kCreditRecordBytes;
  if (!hold.held() || perDatagram == 0) return;
  for (size_t offset = 0; offset < payload.size(); offset += perDatagram) {
    const size_t chunk = std::min(perDatagram, payload.size() - offset);
    std::memcpy(g_plugin_context.link.tx_dgram.payload, payload.data() + offset, chunk);
    if (SendDatagram(kFlowCreditMarker, 0, static_cast<uint32_t>(chunk), 1) != 0) return;
  }
}

void SendOverPcoip(const std::string& message) {
  TransmitLockHold hold;
  if (!hold.held()) {
    // The plug-in has exited; the bridge lives on and may still try.
    plugin_log(kChannelName, 1, kPluginFailure,
               "%s: plug-in not initialised, message of %llu bytes not sent!", kSendOverPcoip,
               static_cast<unsigned long long>(message.size()));
    return;
  }
  if (message.empty()) return;

  const uint32_t payloadSize = PayloadSizeNow();
  if (payloadSize == 0) {
    plugin_log(kChannelName, 1, kPluginFailure,
               "%s: channel not open, message of %llu bytes dropped!", kSendOverPcoip,
               static_cast<unsigned long long>(message.size()));
    return;
  }
  // Between two ends that agreed on it, a message of several datagrams goes
  // numbered, as one piece: a receiver that misses the end of one message
  // and the start of the next would otherwise join the two.
  if (PeerPaces() && message.size() > payloadSize) {
    PieceSend whole;
    whole.generation = PaceGeneration();
    SendPieceHoldingLock(message, &whole, message.size());
    // Sent, or given up part way as below; unnumbered only if the agreement
    // ended meanwhile.
    if (whole.number != 0) return;
  }
  VchanDatagram& tx = g_plugin_context.link.tx_dgram;
  uint32_t sequence = 0;
  for (size_t offset = 0; offset < message.size(); ++sequence) {
    const size_t remaining = message.size() - offset;
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(remaining, payloadSize));
    std::memcpy(tx.payload, message.data() + offset, chunk);
    if (SendDatagram(1, sequence, chunk, chunk == remaining ? 1u : 0u) != 0) return;
    offset += chunk;
  }
}

uint32_t rx_thread_entry(void* context) {
  VchanLink* link = static_cast<VchanLink*>(context);
  const char* tag = link->name;
  const uint32_t run = CurrentReceiveRun();
  const platform::EventHandle readyEvent = LoadShared(link->rx_event);
  if (!IsReceiveRunToken(run)) return 0;  // exit came before the thread ran

  DatagramReassembler reassembler(tag);
  PieceReassembler pieces(tag);
  uint32_t pieceGeneration = PieceReceiveGeneration();
  reassembler.OnWake(platform::GetTickCount32());
  plugin_log(tag, 1, 0, "%s: Receive thread started, waiting for first rx_rdy event!", kRxThread);

  for (;;) {
    const uint32_t wait = platform::WaitForEvent(readyEvent, platform::kInfinite);
    if (CurrentReceiveRun() != run) break;
    if (wait != platform::kWaitObject0) {
      plugin_log(tag, 1, wait == platform::kWaitTimeout ? kWaitTimedOut : kPluginFailure,
                 "%s: pcoip_os_event_wait() failed!", kRxThread);
      LogThreadExit(tag);
      return 0;
    }
    reassembler.OnWake(platform::GetTickCount32());

    const pcoip_vchan_intf& host = g_plugin_context.vchan_intf;
    uint32_t count = 0;
    int32_t result = host.get_num_rx_dgrams != nullptr
                         ? host.get_num_rx_dgrams(LoadShared(link->handle), &count)
                         : kPluginFailure;
    if (result != 0) {
      // The channel may be closing or reopening; ready events follow once it
      // is usable again, so the thread waits for the next one.
      plugin_log(tag, 1, result,
                 "%s: Error in pcoip_vchan_get_num_rx_dgrams call, wait for another recv ready event!",
                 kRxThread);
      continue;
    }

    while (count > 0 && CurrentReceiveRun() == run) {
      if (!WaitForRoomToReceive(run)) break;
      // Never let the host write past the buffer, whatever size it reported.
      const uint32_t readSize = std::min(LoadShared(link->max_dgram_size), kDatagramBufferSize);
      uint32_t length = 0;
      result = host.read != nullptr ? host.read(LoadShared(link->handle), &link->rx_dgram, readSize,
                                                &length, PCOIP_VCHAN_READ_FLAGS)
                                    : kPluginFailure;
      if (result == kNothingToRead) {
        plugin_log(tag, 2, 0,
                   "%s: no datagrams to receive [PCOIP_ERR_EMPTY], wait for another recv ready event!",
                   kRxThread);
        break;
      }
      --count;
      if (result != 0) {
        // That datagram is used up; the ones announced after it are read now,
        // not held until some later datagram brings another ready event.
        plugin_log(tag, 1, kPluginFailure, "%s: pcoip_vchan_read() failed result=%d!", kRxThread,
                   static_cast<int>(result));
        continue;
      }
      // The link's own datagrams (offers, credit, reports) belong to no message.
      const uint32_t readLength = std::min(length, readSize);
      if (TakePaceLinkDatagram(link->rx_dgram, readLength)) continue;
      PeerFlowMarker marker;
      if (TakeFlowLinkDatagram(link->rx_dgram, readLength, &marker)) {
        // Once the flow marker is handled (its answer due), so that this
        // end's pacing offer goes after that answer.
        if (marker.seen) OnPeerFlowMarkerForPaceLink(marker.epoch, marker.offer);
        continue;
      }
      if (readLength >= kDatagramHeaderSize) {
        OnMessageDatagramTakenIn(kDatagramHeaderSize +
                                 std::min(link->rx_dgram.payload_length,
                                          readLength - kDatagramHeaderSize));
      }
      std::string message;
      bool complete = false;
      if (link->rx_dgram.marker == kPieceMarker && PacingOffered()) {
        if (pieceGeneration != PieceReceiveGeneration()) {
          pieceGeneration = PieceReceiveGeneration();
          pieces.Clear();
        }
        complete = pieces.OnDatagram(link->rx_dgram, readLength, platform::GetTickCount32(), &message);
      } else {
        complete = reassembler.OnDatagram(link->rx_dgram, readLength, platform::GetTickCount32(),
                                          &message);
      }
      if (!complete || message.empty()) continue;
      OnPeerMessageForFlowLink();
      try {
        ChannelBridge::Instance().QueuePcoipMessage(std::move(message));
      } catch (const std::exception&) {
        // The bridge could not be built (no threads to be had): nothing can
        // take the message.
        plugin_log(tag, 1, kPluginFailure, "%s: channel bridge unavailable, message dropped!",
                   kRxThread);
      }
    }
  }
  plugin_log(tag, 2, 0, "%s: stop requested, exiting thread!", kRxThread);
  return 0;
}
