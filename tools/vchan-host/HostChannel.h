// The host side of the plug-in's one datagram channel at this end: the
// 29-entry interface table, the callbacks the plug-in registered, the queue
// of datagrams received from the peer, and the thread that delivers connect
// and channel events.
//
// The channel is open (event 0) once both ends have opened it. Datagrams the
// peer sends are queued while this end has the channel open and announced
// with PCOIP_VCHAN_EVENT_RECV_RDY once it is up; datagrams arriving while the
// channel is closed are lost, as on a real session.
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

namespace vchan_host {

class HostChannel {
 public:
  // Sends one frame to the peer, waiting while the link is full, at most
  // `timeoutMs` (PCOIP_VCHAN_SEND_WAIT_FOREVER: as long as it takes).
  enum class FrameSendResult { kSent, kTimedOut, kLinkDown };
  using FrameSender =
      std::function<FrameSendResult(const std::string& frame, uint32_t timeoutMs)>;

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
  // One datagram from the peer. Blocks while the plug-in is far behind, so
  // that the link pushes back on the sender.
  void OnDatagram(const char* data, size_t size);
  // Events 2 then 3; queued datagrams are lost. False when it was not open.
  bool Close();
  bool IsUp() const;
  // Ends the event thread and releases blocked calls. Entries called later
  // (the plug-in's threads may outlive its exit call) answer with an error.
  void Shutdown();

  // Totals for the closing summary.
  struct Totals {
    uint64_t sent = 0, sentBytes = 0, received = 0, receivedBytes = 0, lostWhileClosed = 0;
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
  void PostReadyLocked();
  void MaybeUpLocked();
  void EventLoop();

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
  bool readyPending_ = false;
  std::deque<std::string> received_;
  std::vector<std::string> spare_;  // strings of read datagrams, for reuse
  Totals totals_;

  std::thread eventThread_;
};

}  // namespace vchan_host
