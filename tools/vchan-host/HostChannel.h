// The host side of the plug-in's one datagram channel at this end: the
// 29-entry interface table, the callbacks the plug-in registered, the queue
// of datagrams received from the peer, and the thread that delivers connect
// and channel events.
//
// The channel is open (event 0) once both ends have opened it. Datagrams the
// peer sends are queued while this end has the channel open and announced
// with PCOIP_VCHAN_EVENT_RECV_RDY once it is up; datagrams arriving while the
// channel is closed are lost, as on a real session.
//
// Like a real host's network thread, the thread that receives a datagram
// tells the plug-in itself, unless events posted earlier still wait for the
// event thread (the ready event then follows them there, so it never
// overtakes an open or a close). It tells the plug-in once until the plug-in
// next counts the datagrams. The other events stay on the event thread: the
// plug-in calls entries from inside them that may wait on the link, which the
// receiving thread must never do.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/application/common/PcoipVchan/PcoipVchanHost.h"
#include "tools/vchan-host/FaultInjector.h"
#include "tools/vchan-host/HostOptions.h"
#include "tools/vchan-host/LinkFrames.h"

namespace vchan_host {

class HostChannel {
 public:
  // Sends one frame to the peer, waiting while the link is full, at most
  // `timeoutMs` (PCOIP_VCHAN_SEND_WAIT_FOREVER: as long as it takes).
  enum class FrameSendResult { kSent, kTimedOut, kLinkDown };
  using FrameSender = std::function<FrameSendResult(FrameType type, const void* body,
                                                    size_t size, uint32_t timeoutMs)>;

  HostChannel(const HostOptions& options, FaultInjector& faults, FrameSender sendFrame);
  ~HostChannel();
  HostChannel(const HostChannel&) = delete;
  HostChannel& operator=(const HostChannel&) = delete;

  // The table handed to the init entry point. The entries reach this object
  // through a process-wide pointer, so there is at most one HostChannel.
  pcoip_vchan_intf Table() const;

  // ---- driven by the session ----
  // Both ends are up (or the channel is offered again): the connect event of
  // this end goes to the plug-in.
  void OfferChannel();
  void OnPeerOpened(uint32_t packetSize);
  // One data frame from the peer: its first `length` bytes of `frame`, the
  // type byte and the datagram. The string itself is queued and `frame` gets
  // the string of a datagram already read, with room for the next one. Blocks
  // while the plug-in is far behind, so that the link pushes back on the
  // sender; may call the plug-in's channel callback.
  void OnDataFrame(std::string* frame, size_t length);
  // Events 2 then 3; queued datagrams are lost. False when it was not open.
  // Whether the peer had opened its side is forgotten either way.
  bool Close();
  bool IsUp() const;
  // Whether every event posted so far has reached the plug-in, so that what
  // comes next is told from the receiving thread (tests wait for this).
  bool EventsDelivered() const;
  // Ends the event thread and releases blocked calls. Entries called later
  // (the plug-in's threads may outlive its exit call) answer with an error.
  void Shutdown();

  // Totals for the closing summary.
  struct Totals {
    uint64_t sent = 0, sentBytes = 0, received = 0, receivedBytes = 0, lostWhileClosed = 0;
    // The memory the datagrams waiting for the plug-in took at most.
    size_t peakQueuedBytes = 0;
  };
  Totals GetTotals() const;

  // ---- the entries (called by the plug-in through the table) ----
  int32_t RegisterConnect(const char* name, pcoip_vchan_connect_cback cback, void* context,
                          uint32_t* registration);
  int32_t UnregisterConnect(uint32_t registration);
  int32_t Open(const char* name, uint32_t flags, uint32_t cfg, uint32_t maxPacketSize,
               pcoip_vchan_chan_cback cback, void* context, uint32_t* handle);
  int32_t SendDatagram(uint32_t handle, const void* datagram, uint32_t size, uint32_t timeout);
  int32_t Read(uint32_t handle, void* buffer, uint32_t size, uint32_t* length, uint32_t flags);
  int32_t CountReceived(uint32_t handle, uint32_t* count);
  int32_t GetState(const char* name, uint32_t* state, uint32_t* registration,
                   uint32_t* maxPacketSize);
  int32_t GetMaxDatagramSize(uint32_t* size);

 private:
  void Post(std::function<void()> event);
  bool NeedsReadyLocked();
  void PostReadyLocked();
  void PostReadyEventLocked();
  void MaybeUpLocked();
  void EventLoop();
  // The plug-in has taken the oldest queued datagram (or lost it); its string
  // may serve the next receive.
  void PopFrontLocked(bool keepString);
  void ClearQueueLocked();

  const HostOptions& options_;
  FaultInjector& faults_;
  FrameSender sendFrame_;

  mutable std::mutex mutex_;
  std::condition_variable spaceFreed_;
  std::condition_variable eventPosted_;
  std::deque<std::function<void()>> events_;
  bool stopping_ = false;

  pcoip_vchan_connect_cback connectCback_ = nullptr;
  void* connectContext_ = nullptr;
  uint32_t registration_ = 0;
  uint32_t lastRegistration_ = 0;

  pcoip_vchan_chan_cback chanCback_ = nullptr;
  void* chanContext_ = nullptr;
  uint32_t handle_ = 0;  // 0 while closed
  uint32_t lastHandle_ = 0;
  uint32_t packetSize_ = 0;
  bool peerOpened_ = false;
  uint32_t peerPacketSize_ = 0;
  bool up_ = false;
  uint32_t maxDatagram_ = 0;
  // The plug-in has been told of datagrams since it last counted them.
  bool readyTold_ = false;
  // Who is in a callback now: the event thread, or the receiving thread
  // telling of datagrams (neither starts while the other is in one).
  bool eventRunning_ = false;
  bool readyInFlight_ = false;
  // A received data frame: the string it was received into, of which the
  // first `length` bytes are the frame (type byte, then the datagram).
  struct QueuedFrame {
    std::string frame;
    size_t length;
  };
  std::deque<QueuedFrame> received_;
  size_t queuedBytes_ = 0;  // the memory of the queued strings
  std::vector<std::string> spare_;  // strings of read datagrams, for reuse
  Totals totals_;

  std::thread eventThread_;
};

}  // namespace vchan_host
