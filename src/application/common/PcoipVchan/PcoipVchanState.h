// The plug-in's process-wide state: one PluginContext (the host table copy and
// the one channel record), and beside it the transmit lock and the window
// handle list, which must survive the zeroing of the context at every init.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/critical_section.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "src/application/common/PcoipVchan/PcoipVchanHost.h"

// ---- constants of the channel ----
constexpr char kChannelName[] = "quor_tera_dgram_vchan";
constexpr char kPipeName[] = "\\\\.\\pipe\\KVX_Pipe_Channel";
constexpr uint32_t kChannelCfg = 0xA;
constexpr uint32_t kClientPacketSize = 3000;
constexpr uint32_t kDatagramHeaderSize = 16;
constexpr uint32_t kDatagramPayloadCapacity = 5000;
// The largest datagram the buffers hold, and the smallest packet that still
// carries a payload byte.
constexpr uint32_t kDatagramBufferSize = kDatagramHeaderSize + kDatagramPayloadCapacity;
constexpr uint32_t kSmallestUsablePacketSize = kDatagramHeaderSize + 1;

constexpr int32_t kPluginFailure = PCOIP_ERR_FAILURE;  // -500
constexpr int32_t kWaitTimedOut = PCOIP_ERR_TIMEOUT;   // -504
constexpr int32_t kNothingToRead = PCOIP_ERR_EMPTY;    // -506

// A message being reassembled is dropped once it outgrows this: the largest
// message an application can put through the pipe (64 MiB) plus room for the
// envelope around it. Without a bound a peer that never sends a last fragment
// would exhaust memory.
constexpr uint32_t kMaxReassembledMessage = 64u * 1024u * 1024u + 64u * 1024u;

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The datagram header is sent as native 32-bit words and must be little-endian"
#endif

// One datagram on the channel: four little-endian 32-bit words, then the
// payload. Only the first 16 + payload_length bytes travel.
struct VchanDatagram {
  uint32_t marker;          // always 1; receivers ignore it
  uint32_t sequence;        // fragment index within its message, from 0
  uint32_t payload_length;  // payload bytes that follow the header
  uint32_t last_fragment;   // 1 on the final fragment of a message
  uint8_t payload[kDatagramPayloadCapacity];
};
static_assert(sizeof(VchanDatagram) == kDatagramBufferSize, "datagram buffer layout");

// The one channel record. The name is the first member, so the record's
// address doubles as the channel name the host is given.
struct VchanLink {
  char name[32];
  uint32_t handle;
  uint32_t state;
  uint32_t connect_registration;
  uint32_t cfg;
  uint32_t max_pkt_size;
  uint32_t max_dgram_size;
  uint32_t max_payload_size;
  platform::ThreadHandle rx_thread;
  platform::EventHandle rx_event;
  int32_t is_server;
  VchanDatagram tx_dgram;
  VchanDatagram rx_dgram;
};

struct PluginContext {
  pcoip_vchan_intf vchan_intf;
  VchanLink link;
};

// The process's one context. Static storage, so it is all zero at load.
extern PluginContext g_plugin_context;

// The channel fields that host callbacks write and other threads read
// (handle, sizes, rx_event, is_server) are plain members because the host
// writes some of them through pointers; our own reads and writes of them go
// through these so that no read is torn or reordered.
template <typename T>
inline T LoadShared(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void StoreShared(T& field, T value) {
  __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

// The transmit lock keeps the datagrams of one message together on the
// channel. It lives from init to exit; the bridge may still send after exit,
// so entering is a question that can be answered "no", and deleting waits
// until no sender is inside, so a send never runs on a deleted lock.
//
// The section is entered in Enter and left in Leave, with the caller's send
// between them: a hand-over from one call to the next that the analysis
// cannot follow, so those two are left out of it.
class TransmitLock {
 public:
  // (Re)initialises the lock and lets senders in.
  void Initialize() EXCLUDES(stateMutex_);
  // Refuses new senders, waits for the one inside to leave, deletes the lock.
  void Delete() EXCLUDES(stateMutex_);
  // False when the lock is deleted: the caller must not send.
  bool Enter() KVX_NO_THREAD_SAFETY_ANALYSIS;
  void Leave() KVX_NO_THREAD_SAFETY_ANALYSIS;

 private:
  platform::Mutex stateMutex_;
  platform::ConditionVariable idle_;
  bool open_ GUARDED_BY(stateMutex_) = false;
  int users_ GUARDED_BY(stateMutex_) = 0;
  // Keeps the datagrams of one message together; entered by one sender at a
  // time, outside stateMutex_.
  platform::CriticalSection section_;
};

// Never destroyed: the bridge may send while the library unloads.
TransmitLock& GetTransmitLock();

// The window handles the host gave us, in its order. Written on the host's
// thread and read on the bridge's worker; a reader sees the whole old list or
// the whole new one.
class WindowHandleList {
 public:
  void Replace(std::vector<uint64_t> handles) EXCLUDES(mutex_);
  std::vector<uint64_t> Snapshot() const EXCLUDES(mutex_);

 private:
  mutable platform::Mutex mutex_;
  std::vector<uint64_t> handles_ GUARDED_BY(mutex_);
};

WindowHandleList& GetWindowHandleList();

// The receive thread's run token: odd while the current receive thread should
// run. A thread keeps the value it saw at its start and ends as soon as the
// token moves on, which exit does before waking it; so exit never has to
// force a thread to end and no lock is ever left held.
uint32_t StartReceiveRun();  // a new odd token for a thread about to start
void StopReceiveRun();       // ends the current run
uint32_t CurrentReceiveRun();
inline bool IsReceiveRunToken(uint32_t token) { return (token & 1u) != 0; }
