#include "bench/inproc/LoopbackHost.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

namespace kvxbench {
namespace {

constexpr uint32_t kSlots = 1024;
constexpr uint32_t kSlotBytes = 5016;
constexpr uint32_t kHandle = 9;

struct Ring {
  std::mutex lock;
  std::condition_variable space;
  std::vector<char> bytes = std::vector<char>(static_cast<size_t>(kSlots) * kSlotBytes);
  uint32_t lengths[kSlots] = {};
  uint32_t head = 0, count = 0;
  pcoip_vchan_connect_cback connect = nullptr;
  void* connectContext = nullptr;
  pcoip_vchan_chan_cback channel = nullptr;
  void* channelContext = nullptr;
};

Ring& TheRing() {
  static Ring ring;
  return ring;
}

int32_t Register(const char*, pcoip_vchan_connect_cback cback, void* context, uint32_t* registration) {
  TheRing().connect = cback;
  TheRing().connectContext = context;
  *registration = 1;
  return 0;
}
int32_t Unregister(uint32_t) { return 0; }
int32_t Open(const char*, uint32_t, uint32_t, uint32_t, pcoip_vchan_chan_cback cback, void* context,
             uint32_t* handle) {
  TheRing().channel = cback;
  TheRing().channelContext = context;
  *handle = kHandle;
  return 0;
}
int32_t Send(uint32_t, const void* dgram, uint32_t size, uint32_t) {
  Ring& ring = TheRing();
  {
    std::unique_lock<std::mutex> guard(ring.lock);
    ring.space.wait(guard, [&] { return ring.count < kSlots; });
    const uint32_t slot = (ring.head + ring.count) % kSlots;
    std::memcpy(&ring.bytes[static_cast<size_t>(slot) * kSlotBytes], dgram, size);
    ring.lengths[slot] = size;
    ++ring.count;
  }
  ring.channel(ring.channelContext, nullptr, PCOIP_VCHAN_EVENT_RECV_RDY, nullptr);
  return 0;
}
int32_t Read(uint32_t, void* buffer, uint32_t size, uint32_t* length, uint32_t) {
  Ring& ring = TheRing();
  std::lock_guard<std::mutex> guard(ring.lock);
  if (ring.count == 0) return PCOIP_ERR_EMPTY;
  const uint32_t n = ring.lengths[ring.head] < size ? ring.lengths[ring.head] : size;
  std::memcpy(buffer, &ring.bytes[static_cast<size_t>(ring.head) * kSlotBytes], n);
  *length = n;
  ring.head = (ring.head + 1) % kSlots;
  --ring.count;
  ring.space.notify_one();
  return 0;
}
int32_t Count(uint32_t, uint32_t* count) {
  std::lock_guard<std::mutex> guard(TheRing().lock);
  *count = TheRing().count;
  return 0;
}
int32_t State(const char*, uint32_t* state, uint32_t* registration, uint32_t* maxPacketSize) {
  *state = 1;
  *registration = 1;
  *maxPacketSize = 3000;
  return 0;
}
int32_t MaxDatagram(uint32_t* size) {
  *size = 3000;
  return 0;
}
int32_t Log(const char*, int32_t, int32_t, const char*) { return 0; }

pcoip_vchan_intf g_table;

}  // namespace

bool StartLoopbackPlugin() {
  std::memset(&g_table, 0, sizeof g_table);
  g_table.register_connect_cback = Register;
  g_table.unregister_connect_cback = Unregister;
  g_table.open = Open;
  g_table.send_dgram = Send;
  g_table.read = Read;
  g_table.get_num_rx_dgrams = Count;
  g_table.get_state_by_name = State;
  g_table.get_max_dgram_size = MaxDatagram;
  g_table.log = Log;
  if (init_sample_vchan(0, &g_table) != 0 || TheRing().connect == nullptr) return false;
  const uint32_t connected = PCOIP_VCHAN_CONNECT_SESSION_CONNECTED;
  TheRing().connect(TheRing().connectContext, nullptr, PCOIP_VCHAN_CONNECT_EVENT_SESSION, &connected);
  if (TheRing().channel == nullptr) return false;
  TheRing().channel(TheRing().channelContext, nullptr, PCOIP_VCHAN_EVENT_OPEN_SUCCESS, nullptr);
  return true;
}

void StopLoopbackPlugin() { exit_sample_vchan(&g_plugin_context); }

}  // namespace kvxbench
