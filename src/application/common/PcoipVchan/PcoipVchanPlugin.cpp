// The plug-in's entry points and the life of the datagram channel: init and
// exit at either end, the connect callback that opens the channel, and the
// channel callback that reports its events.
#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"
#include "src/application/common/PcoipVchan/PcoipVchanModule.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <string>

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/PcoipVchanFlowLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanPaceLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

namespace {

constexpr char kInitSampleVchan[] = "init_sample_vchan";
constexpr char kExitSampleVchan[] = "exit_sample_vchan";
constexpr char kChanCallback[] = "chan_callback";
constexpr char kServerInit[] = "pcoip_vchan_plugin_server_init";
constexpr char kClientInit[] = "pcoip_vchan_plugin_client_init";

// How long exit waits for the receive thread to notice its stop request. The
// thread only ever waits on its own event, which exit sets, so this bounds a
// host call that never returns, not normal work.
constexpr uint32_t kReceiveThreadStopMs = 10000;

// Set once an init has set up the channel side completely, cleared by exit. A
// second init meanwhile must leave a channel that may be in use alone.
std::atomic<bool> g_channelSetUp{false};

// Set by the host's channel events: open from event 0 until a close (events
// 2 and 3). The bridge sends nothing while it is clear.
std::atomic<bool> g_channelOpen{false};

VchanLink& LinkOf(void* context) {
  // The host hands back what we registered; fall back on the one record there
  // is rather than dereference a null.
  return context != nullptr ? *static_cast<VchanLink*>(context) : g_plugin_context.link;
}

// A ready callback may run on a host thread at any moment, exit included:
// setting the event and closing it are serialised, so that a callback never
// sets an event that exit has closed. Never destroyed, as a host may call
// back while the library unloads.
platform::Mutex& ReadyEventLock() {
  static platform::Mutex* lock = new platform::Mutex;
  return *lock;
}

bool SetReadyEvent(VchanLink& link) {
  platform::MutexLock guard(ReadyEventLock());
  platform::EventHandle readyEvent = LoadShared(link.rx_event);
  return readyEvent != nullptr && platform::SetEventObject(readyEvent);
}

// Closes the event unless a receive thread that did not stop may still wait
// on it. The record lets go of it either way when `forget` is set, and
// otherwise only once it is closed. False when there was none to close or
// closing failed.
bool CloseReadyEvent(VchanLink& link, bool threadStillRunning, bool forget) {
  platform::MutexLock guard(ReadyEventLock());
  platform::EventHandle readyEvent = LoadShared(link.rx_event);
  const bool closed =
      readyEvent != nullptr && !threadStillRunning && platform::CloseEventObject(readyEvent);
  if (closed || forget) StoreShared(link.rx_event, static_cast<platform::EventHandle>(nullptr));
  return closed;
}

enum class ThreadStop { kStopped, kNoThread, kStillRunning };

// Asks the receive thread to end, wakes it and waits for it.
ThreadStop StopReceiveThread(VchanLink& link) {
  platform::ThreadHandle thread = link.rx_thread;
  StopReceiveRun();
  if (thread == nullptr) return ThreadStop::kNoThread;
  platform::EventHandle readyEvent = LoadShared(link.rx_event);
  if (readyEvent != nullptr) platform::SetEventObject(readyEvent);

  ThreadStop outcome = ThreadStop::kStopped;
  // On the receive thread itself (a host calling exit from inside a read) the
  // thread ends by itself once it returns to its loop.
  if (!platform::IsCurrentThread(thread) &&
      platform::WaitForThread(thread, kReceiveThreadStopMs) != platform::kWaitObject0) {
    outcome = ThreadStop::kStillRunning;
  }
  platform::CloseThreadObject(thread);
  link.rx_thread = nullptr;
  return outcome;
}

// What an init that failed part-way left running is ended before a new init
// sets the context up afresh.
void ReleaseLeftovers(VchanLink& link) {
  ThreadStop stop = StopReceiveThread(link);
  CloseReadyEvent(link, stop == ThreadStop::kStillRunning, true);
}

int32_t InitEntryPoint(bool isServer, const char* entryName, const pcoip_vchan_intf* vchanIntf,
                       void** context) {
  if (vchanIntf == nullptr || context == nullptr) {
    plugin_log("", 0, 0, "%s: Failed due to null arg - vchan_intf is %s, context is %s!\n",
               entryName, vchanIntf == nullptr ? "NULL" : "not NULL",
               context == nullptr ? "NULL" : "not NULL");
    return 0;
  }
  // From here on the plug-in runs threads of its own (receive thread,
  // bridge workers, pipe readers).
  KeepPluginLoadedUntilProcessExit();
  // A channel already set up is left alone by this init, and so by its undo.
  const bool channelWasSetUp = g_channelSetUp.load();
  int32_t rc = init_sample_vchan(isServer ? 1 : 0, vchanIntf);
  if (rc != 0) {
    plugin_log("", 1, rc,
               isServer ? "%s: Failed to initialize server end of the sample vchan plugin!"
                        : "%s: Failed to initialize client end of the sample vchan plugin!",
               entryName);
    return 0;
  }
  bool pipeReady = false;
  try {
    pipeReady = ChannelBridge::Instance().Initialize(isServer, std::string(kPipeName));
  } catch (const std::exception&) {
    // The bridge could not get its threads; that must not reach the host.
    pipeReady = false;
  }
  if (!pipeReady) {
    plugin_log("", 1, 0,
               isServer ? "%s: Failed to initialize pipe on the server end of the vchan plugin!"
                        : "%s: Failed to initialize pipe on the client end of the vchan plugin!",
               entryName);
    // Undo the channel side this init set up, registration included, so that
    // a later init starts clean instead of keeping this end and its callbacks.
    if (!channelWasSetUp) exit_sample_vchan(nullptr);
    return 0;
  }
  *context = &g_plugin_context;
  return 1;
}

int32_t ExitEntryPoint(const char* entryName, void* context) {
  plugin_log("", 1, 0, "Entering %s (%s) ...", entryName, __FILE__);
  exit_sample_vchan(context);
  // What the log held back is summarised now, not at some later line.
  PluginLogLimiter().Flush();
  return 1;
}

const char* ChannelEventName(uint32_t event) {
  switch (event) {
    case PCOIP_VCHAN_EVENT_OPEN_REJECTED: return "PCOIP_VCHAN_EVENT_OPEN_REJECTED";
    case PCOIP_VCHAN_EVENT_CLOSE_PENDING: return "PCOIP_VCHAN_EVENT_CLOSE_PENDING";
    case PCOIP_VCHAN_EVENT_CLOSED: return "PCOIP_VCHAN_EVENT_CLOSED";
    case PCOIP_VCHAN_EVENT_RECV_RDY: return "PCOIP_VCHAN_EVENT_RECV_RDY";
    case PCOIP_VCHAN_EVENT_ERR_DETECTED: return "PCOIP_VCHAN_EVENT_ERR_DETECTED";
    case PCOIP_VCHAN_EVENT_DGRAM_LOST_CLOSE: return "PCOIP_VCHAN_EVENT_DGRAM_LOST_CLOSE";
    case PCOIP_VCHAN_EVENT_DGRAM_LOST_OVFLW: return "PCOIP_VCHAN_EVENT_DGRAM_LOST_OVFLW";
    case PCOIP_VCHAN_EVENT_RX_DATA_LOST: return "PCOIP_VCHAN_EVENT_RX_DATA_LOST";
    default: return "unknown";
  }
}

int32_t OpenChannel(VchanLink& link) {
  const pcoip_vchan_open_fn open = g_plugin_context.vchan_intf.open;
  if (open == nullptr) return kPluginFailure;
  return open(link.name, PCOIP_VCHAN_OPEN_FLAGS, link.cfg, link.max_pkt_size, chan_callback, &link,
              &link.handle);
}

}  // namespace

extern "C" PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_server_init(
    const pcoip_vchan_intf* vchan_intf, void* /*reserved*/, void** context) {
  return InitEntryPoint(true, kServerInit, vchan_intf, context);
}

extern "C" PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_client_init(
    const pcoip_vchan_intf* vchan_intf, void* /*reserved*/, void** context) {
  return InitEntryPoint(false, kClientInit, vchan_intf, context);
}

extern "C" PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_server_exit(void* context) {
  return ExitEntryPoint("pcoip_vchan_plugin_server_exit", context);
}

extern "C" PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_client_exit(void* context) {
  return ExitEntryPoint("pcoip_vchan_plugin_client_exit", context);
}

int32_t init_sample_vchan(int32_t isServer, const pcoip_vchan_intf* vchanIntf) {
  VchanLink& link = g_plugin_context.link;
  if (g_channelSetUp.load()) {
    // Zeroing the context now would pull the channel, its receive thread and
    // its registration from under a session that may be using them.
    plugin_log(link.name, 1, kPluginFailure, "%s: already initialised, channel left as it is!",
               kInitSampleVchan);
    return 0;
  }
  ReleaseLeftovers(link);
  // This life's channel opens with events still to come.
  g_channelOpen.store(false);

  std::memset(&g_plugin_context, 0, sizeof(g_plugin_context));
  std::memcpy(&g_plugin_context.vchan_intf, vchanIntf, sizeof(g_plugin_context.vchan_intf));
  link.is_server = isServer;
  std::strncpy(link.name, kChannelName, sizeof(link.name) - 1);
  link.max_pkt_size = 0;
  if (link.is_server == 0) link.max_pkt_size = kClientPacketSize;
  // Senders are let in only once the context is filled.
  GetTransmitLock().Initialize();

  platform::EventHandle readyEvent = platform::CreateEventObject(false, false);
  if (readyEvent == nullptr) {
    plugin_log(link.name, 1, kPluginFailure, "%s: Failed to create the RX_RDY event!",
               kInitSampleVchan);
    return kPluginFailure;
  }
  StoreShared(link.rx_event, readyEvent);

  StartReceiveRun();
  link.rx_thread = platform::CreateThreadObject(rx_thread_entry, &link);
  if (link.rx_thread == nullptr) {
    // Without it nothing is ever received; say so, even though init goes on.
    plugin_log(link.name, 1, kPluginFailure, "%s: Failed to create the Rx thread!",
               kInitSampleVchan);
  }

  const pcoip_vchan_register_connect_cback_fn registerCallback =
      g_plugin_context.vchan_intf.register_connect_cback;
  int32_t rc = registerCallback != nullptr
                   ? registerCallback(link.name, connect_callback, &link, &link.connect_registration)
                   : kPluginFailure;
  if (rc != 0) {
    plugin_log(link.name, 1, rc, "%s: pcoip_vchan_register_connect_cback() failed!",
               kInitSampleVchan);
    return rc;
  }
  g_channelSetUp.store(true);
  return 0;
}

int32_t exit_sample_vchan(void* /*context*/) {
  // There is one context per process; the host's copy of its address adds
  // nothing, and a null from a failed init must not stop the teardown.
  VchanLink& link = g_plugin_context.link;
  const char* tag = link.name;

  const pcoip_vchan_unregister_connect_cback_fn unregisterCallback =
      g_plugin_context.vchan_intf.unregister_connect_cback;
  int32_t rc = unregisterCallback != nullptr ? unregisterCallback(link.connect_registration)
                                             : kPluginFailure;
  if (rc != 0) {
    plugin_log(tag, 1, kPluginFailure, "%s: pcoip_vchan_unregister_connect_cback() failed!",
               kExitSampleVchan);
  }

  ThreadStop stop = StopReceiveThread(link);
  if (stop != ThreadStop::kStopped) {
    plugin_log(tag, 1, kPluginFailure, "%s: failed to terminate the Rx thread!", kExitSampleVchan);
  }

  // A thread that did not stop may still wait on the event: it stays open.
  if (!CloseReadyEvent(link, stop == ThreadStop::kStillRunning, false)) {
    plugin_log(tag, 1, kPluginFailure, "%s, Failed to close the RX_RDY event!", kExitSampleVchan);
  }

  GetTransmitLock().Delete();
  g_channelSetUp.store(false);
  return 0;
}

extern "C" void connect_callback(void* context, void* /*reserved*/, uint32_t event,
                                 const uint32_t* eventData) {
  VchanLink& link = LinkOf(context);
  const bool isServer = LoadShared(link.is_server) != 0;
  switch (event) {
    case PCOIP_VCHAN_CONNECT_EVENT_SESSION:
      if (!isServer && eventData != nullptr &&
          *eventData == PCOIP_VCHAN_CONNECT_SESSION_CONNECTED) {
        open_channel_client(&link);
      }
      break;
    case PCOIP_VCHAN_CONNECT_EVENT_CHANNEL:
      if (isServer) open_channel_server(&link);
      break;
    default:
      plugin_log(link.name, 1, kPluginFailure, "%s: Unknown event: 0x%X", "connect_callback",
                 event);
      break;
  }
}

void open_channel_client(void* context) {
  VchanLink& link = LinkOf(context);
  link.cfg = kChannelCfg;
  StoreShared(link.max_pkt_size, kClientPacketSize);
  StoreShared(link.max_payload_size, kClientPacketSize - kDatagramHeaderSize);
  plugin_log(link.name, 2, 0, "open_channel_client() called with cfg:0x%x and capability:0x%x",
             kChannelCfg, kClientPacketSize);
  int32_t rc = OpenChannel(link);
  if (rc != 0) {
    plugin_log(link.name, 1, rc, "open_channel_client: pcoip_vchan_open() failed!");
  } else {
    plugin_log(link.name, 2, 0, "open_channel_client: pcoip_vchan_open() succeeded!");
  }
}

void open_channel_server(void* context) {
  VchanLink& link = LinkOf(context);
  const pcoip_vchan_get_state_by_name_fn getState = g_plugin_context.vchan_intf.get_state_by_name;
  int32_t q = getState != nullptr ? getState(link.name, &link.state, &link.connect_registration,
                                             &link.max_pkt_size)
                                  : kPluginFailure;
  if (q != 0) {
    plugin_log(link.name, 2, q,
               "open_channel_server(): Error in call to pcoip_vchan_get_state_by_name!");
  }
  link.cfg = kChannelCfg;

  // The datagram buffers bound what we can send: a larger packet size is cut
  // to them, one that leaves no payload cannot carry anything.
  uint32_t packetSize = LoadShared(link.max_pkt_size);
  if (packetSize < kSmallestUsablePacketSize) {
    StoreShared(link.max_payload_size, 0u);
    plugin_log(link.name, 1, kPluginFailure,
               "open_channel_server: max pkt size %u leaves no room for a payload, open refused!",
               packetSize);
    return;
  }
  if (packetSize > kDatagramBufferSize) {
    plugin_log(link.name, 2, 0, "open_channel_server: max pkt size %u is above %u, using %u",
               packetSize, kDatagramBufferSize, kDatagramBufferSize);
    packetSize = kDatagramBufferSize;
    StoreShared(link.max_pkt_size, packetSize);
  }
  StoreShared(link.max_payload_size, packetSize - kDatagramHeaderSize);
  plugin_log(link.name, 2, q,
             "open_channel_server() handle: %d using cfg:0x%x; max pkt size:%d, max_payload_size:%d)",
             static_cast<int>(LoadShared(link.handle)), kChannelCfg, static_cast<int>(packetSize),
             static_cast<int>(packetSize - kDatagramHeaderSize));
  int32_t rc = OpenChannel(link);
  if (rc != 0) {
    plugin_log(link.name, 1, rc, "open_channel_server: pcoip_vchan_open() failed!");
  } else {
    plugin_log(link.name, 1, 0, "open_channel_server: pcoip_vchan_open() succeeded.");
  }
}

bool ChannelIsOpen() { return g_channelOpen.load(); }

extern "C" void chan_callback(void* context, void* /*reserved*/, uint32_t event,
                              void* /*eventData*/) {
  VchanLink& link = LinkOf(context);
  // From the first sign of a close what the applications write waits for
  // the channel to open again, rather than going to a channel that drops it.
  if (event == PCOIP_VCHAN_EVENT_CLOSE_PENDING || event == PCOIP_VCHAN_EVENT_CLOSED) {
    g_channelOpen.store(false);
  }
  switch (event) {
    case PCOIP_VCHAN_EVENT_OPEN_SUCCESS: {
      const pcoip_vchan_get_max_dgram_size_fn query =
          g_plugin_context.vchan_intf.get_max_dgram_size;
      int32_t rc = query != nullptr ? query(&link.max_dgram_size) : kPluginFailure;
      plugin_log(link.name, 2, rc, "%s: Max vchan datagram size = %d .", kChanCallback,
                 static_cast<int>(LoadShared(link.max_dgram_size)));
      // A new opening: the peer may be another end than before. The offer
      // is due before anything else goes to it.
      // Pacing starts afresh first: the offer may go at once, and the
      // sending it starts is counted from there.
      OnPaceLinkOpenedOrClosed();
      OnFlowLinkOpened();
      g_channelOpen.store(true);
      ChannelBridge::PeerLinkOpened();
      break;
    }
    case PCOIP_VCHAN_EVENT_CLOSED:
      plugin_log(link.name, 1, kPluginFailure, "%s: [%s] -- ignoring event: 0x%X.", kChanCallback,
                 ChannelEventName(event), event);
      // The plug-in itself keeps its handle and sizes and waits for the next
      // opening; the bridge forgets what the peer that went had told it.
      ChannelBridge::PeerLinkClosed();
      // Nobody grants credit on a closed channel: until it opens again and
      // the peer offers, everything goes as with a peer that does not offer.
      OnPaceLinkOpenedOrClosed();
      OnFlowLinkClosed();
      break;
    case PCOIP_VCHAN_EVENT_OPEN_REJECTED:
      plugin_log(link.name, 1, kPluginFailure,
                 "%s: [PCOIP_VCHAN_EVENT_OPEN_REJECTED] peer rejected open request!",
                 kChanCallback);
      break;
    case PCOIP_VCHAN_EVENT_RECV_RDY: {
      if (!SetReadyEvent(link)) {
        plugin_log(link.name, 1, kPluginFailure,
                   "%s: [PCOIP_VCHAN_EVENT_RECV_RDY] failed to set the RX_RDY event!",
                   kChanCallback);
      }
      break;
    }
    default:
      plugin_log(link.name, 1, kPluginFailure, "%s: [%s] -- ignoring event: 0x%X.", kChanCallback,
                 ChannelEventName(event), event);
      break;
  }
}
