#include "src/application/common/PcoipVchan/PcoipVchanDatagramSend.h"

#include <algorithm>

#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanPaceLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanPieceReassembler.h"

namespace {
constexpr char kSendOverPcoip[] = "SendOverPcoip";
}  // namespace

uint32_t PayloadSizeNow() {
  return std::min(LoadShared(g_plugin_context.link.max_payload_size), kDatagramPayloadCapacity);
}

int32_t SendDatagram(uint32_t marker, uint32_t sequence, uint32_t payloadLength,
                     uint32_t lastFragment) {
  VchanLink& link = g_plugin_context.link;
  VchanDatagram& tx = link.tx_dgram;
  tx.marker = marker;
  tx.sequence = sequence;
  tx.payload_length = payloadLength;
  tx.last_fragment = lastFragment;
  const pcoip_vchan_send_dgram_fn send = g_plugin_context.vchan_intf.send_dgram;
  const int32_t result = send != nullptr ? send(LoadShared(link.handle), &tx,
                                                kDatagramHeaderSize + payloadLength,
                                                PCOIP_VCHAN_SEND_WAIT_FOREVER)
                                         : kPluginFailure;
  if (result != 0) {
    plugin_log(kChannelName, 1, result, "%s: pcoip_vchan_send_dgram() failed!", kSendOverPcoip);
  } else if (marker == 1 || marker == kPieceMarker) {
    // What the peer counts as taken in: its messages' datagrams, whole.
    NotePacedSend(kDatagramHeaderSize + payloadLength);
  }
  return result;
}
