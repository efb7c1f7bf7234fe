#include "tools/vchan-host/HostChannel.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "tools/vchan-host/HostLog.h"
#include "tools/vchan-host/LinkFrames.h"

namespace vchan_host {
namespace {

// Results of the host's own refusals (all negative, as the table requires).
constexpr int32_t kErrBadArgument = -501;  // null pointer, unknown handle or registration
constexpr int32_t kErrNotSupported = -502; // an entry this host does not serve
constexpr int32_t kErrNotOpen = -503;      // the channel is closed
constexpr int32_t kErrTooLarge = -505;     // datagram above the packet size or the buffer
constexpr int32_t kErrLinkDown = -507;     // the other end is gone
constexpr int32_t kErrInjected = -508;     // a send refused by fault injection

// Datagrams held for the plug-in before the link reader stops taking more
// (the peer's sends then wait): about 12 MB of full datagrams at the default
// packet size.
constexpr size_t kMaxQueuedDatagrams = 4096;
// Read datagrams' strings kept for reuse; a burst's worth, not the whole queue.
constexpr size_t kMaxSpareDatagrams = 256;
constexpr size_t kMaxSpareBytes = 1 << 20;

// Whether a datagram is queued in the string it was received into, which has
// room for the largest one the peer may send, or in a copy of its own size.
// Queued as it is, it costs no copy but up to a third more than it holds; a
// small one in a large string would hold the whole packet size (a 65,000-byte
// packet size would make the queue's bound some 266 MB).
bool QueueInPlace(size_t length, size_t capacity) { return length >= capacity - capacity / 4; }

std::atomic<HostChannel*> g_channel{nullptr};

HostChannel* Channel() { return g_channel.load(); }

int32_t RegisterConnectEntry(const char* name, pcoip_vchan_connect_cback cback, void* context,
                             uint32_t* registration) {
  HostChannel* c = Channel();
  return c != nullptr ? c->RegisterConnect(name, cback, context, registration) : kErrLinkDown;
}
int32_t UnregisterConnectEntry(uint32_t registration) {
  HostChannel* c = Channel();
  return c != nullptr ? c->UnregisterConnect(registration) : kErrLinkDown;
}
int32_t OpenEntry(const char* name, uint32_t flags, uint32_t cfg, uint32_t maxPacketSize,
                  pcoip_vchan_chan_cback cback, void* context, uint32_t* handle) {
  HostChannel* c = Channel();
  return c != nullptr ? c->Open(name, flags, cfg, maxPacketSize, cback, context, handle)
                      : kErrLinkDown;
}
int32_t SendEntry(uint32_t handle, const void* datagram, uint32_t size, uint32_t timeout) {
  HostChannel* c = Channel();
  return c != nullptr ? c->SendDatagram(handle, datagram, size, timeout) : kErrLinkDown;
}
int32_t ReadEntry(uint32_t handle, void* buffer, uint32_t size, uint32_t* length, uint32_t flags) {
  HostChannel* c = Channel();
  return c != nullptr ? c->Read(handle, buffer, size, length, flags) : kErrLinkDown;
}
int32_t CountEntry(uint32_t handle, uint32_t* count) {
  HostChannel* c = Channel();
  return c != nullptr ? c->CountReceived(handle, count) : kErrLinkDown;
}
int32_t StateEntry(const char* name, uint32_t* state, uint32_t* registration,
                   uint32_t* maxPacketSize) {
  HostChannel* c = Channel();
  return c != nullptr ? c->GetState(name, state, registration, maxPacketSize) : kErrLinkDown;
}
int32_t MaxDatagramEntry(uint32_t* size) {
  HostChannel* c = Channel();
  return c != nullptr ? c->GetMaxDatagramSize(size) : kErrLinkDown;
}

// The entries no plug-in should call: present so the table is whole, and
// answering with an error (and a log line naming the entry) if called anyway.
template <int N>
int32_t UnservedEntry() {
  HostLog(1, "the plug-in called entry " + std::to_string(N) + ", which this host does not serve",
          kErrNotSupported);
  return kErrNotSupported;
}

template <int N>
pcoip_vchan_unused_fn Unserved() {
  return reinterpret_cast<pcoip_vchan_unused_fn>(&UnservedEntry<N>);
}

}  // namespace

HostChannel::HostChannel(const HostOptions& options, FaultInjector& faults, FrameSender sendFrame)
    : options_(options), faults_(faults), sendFrame_(std::move(sendFrame)) {
  g_channel.store(this);
  eventThread_ = std::thread([this] { EventLoop(); });
}

HostChannel::~HostChannel() {
  Shutdown();
  g_channel.store(nullptr);
}

pcoip_vchan_intf HostChannel::Table() const {
  pcoip_vchan_intf table;
  table.entry0 = Unserved<0>();
  table.register_connect_cback = RegisterConnectEntry;
  table.unregister_connect_cback = UnregisterConnectEntry;
  table.open = OpenEntry;
  table.entry4 = Unserved<4>();
  table.entry5 = Unserved<5>();
  table.send_dgram = SendEntry;
  table.entry7 = Unserved<7>();
  table.read = ReadEntry;
  table.entry9 = Unserved<9>();
  table.get_num_rx_dgrams = CountEntry;
  table.entry11 = Unserved<11>();
  table.entry12 = Unserved<12>();
  table.entry13 = Unserved<13>();
  table.get_state_by_name = StateEntry;
  table.get_max_dgram_size = MaxDatagramEntry;
  table.log = HostLogEntry;
  table.entry17 = Unserved<17>();
  table.entry18 = Unserved<18>();
  table.entry19 = Unserved<19>();
  table.entry20 = Unserved<20>();
  table.entry21 = Unserved<21>();
  table.entry22 = Unserved<22>();
  table.entry23 = Unserved<23>();
  table.entry24 = Unserved<24>();
  table.entry25 = Unserved<25>();
  table.entry26 = Unserved<26>();
  table.entry27 = Unserved<27>();
  table.entry28 = Unserved<28>();
  return table;
}

// ---- events ----

void HostChannel::Post(std::function<void()> event) {
  events_.push_back(std::move(event));
  eventPosted_.notify_one();
}

void HostChannel::EventLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // A ready event the receiving thread is delivering came first.
    eventPosted_.wait(lock,
                      [this] { return stopping_ || (!events_.empty() && !readyInFlight_); });
    if (stopping_) return;
    std::function<void()> event = std::move(events_.front());
    events_.pop_front();
    // The plug-in calls entries from inside its callbacks.
    eventRunning_ = true;
    lock.unlock();
    event();
    lock.lock();
    eventRunning_ = false;
  }
}

bool HostChannel::NeedsReadyLocked() {
  // The plug-in reads as many datagrams as the count entry reports, so one
  // ready event covers every arrival until it counts; one that arrives after
  // the count needs another, or it would sit unread.
  if (!up_ || readyTold_ || received_.empty()) return false;
  readyTold_ = true;
  return true;
}

void HostChannel::PostReadyLocked() {
  if (NeedsReadyLocked()) PostReadyEventLocked();
}

void HostChannel::PostReadyEventLocked() {
  pcoip_vchan_chan_cback cback = chanCback_;
  void* context = chanContext_;
  const uint32_t handle = handle_;
  Post([this, cback, context, handle] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (handle != handle_) return;  // closed meanwhile
    }
    cback(context, nullptr, PCOIP_VCHAN_EVENT_RECV_RDY, nullptr);
  });
}

void HostChannel::MaybeUpLocked() {
  if (up_ || handle_ == 0 || !peerOpened_) return;
  up_ = true;
  // Either end's datagrams must fit the other's reads.
  maxDatagram_ = packetSize_ > peerPacketSize_ ? packetSize_ : peerPacketSize_;
  HostLog(1, "channel open, handle " + std::to_string(handle_) + ", max datagram " +
                 std::to_string(maxDatagram_) + " bytes");
  pcoip_vchan_chan_cback cback = chanCback_;
  void* context = chanContext_;
  Post([cback, context] { cback(context, nullptr, PCOIP_VCHAN_EVENT_OPEN_SUCCESS, nullptr); });
  PostReadyLocked();
}

void HostChannel::OfferChannel() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connectCback_ == nullptr) {
    HostLog(1, "session up, but the plug-in has no connect callback registered", kErrNotOpen);
    return;
  }
  pcoip_vchan_connect_cback cback = connectCback_;
  void* context = connectContext_;
  const bool server = options_.end == End::kServer;
  HostLog(1, server ? "session up: connect event 1 to the plug-in"
                    : "session up: connect event 0 (data 1) to the plug-in");
  Post([cback, context, server] {
    const uint32_t data = PCOIP_VCHAN_CONNECT_SESSION_CONNECTED;
    cback(context, nullptr,
          server ? PCOIP_VCHAN_CONNECT_EVENT_CHANNEL : PCOIP_VCHAN_CONNECT_EVENT_SESSION, &data);
  });
}

void HostChannel::OnPeerOpened(uint32_t packetSize) {
  std::lock_guard<std::mutex> lock(mutex_);
  peerOpened_ = true;
  peerPacketSize_ = packetSize;
  MaybeUpLocked();
}

void HostChannel::OnDataFrame(std::string* frame, size_t length) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A frame lost here leaves its string with the caller for the next one.
  if (handle_ == 0) {
    ++totals_.lostWhileClosed;
    return;
  }
  if (faults_.DropThisDatagram()) return;
  const uint32_t handle = handle_;
  spaceFreed_.wait(lock, [this] { return stopping_ || received_.size() < kMaxQueuedDatagrams; });
  // A close while we waited ends the channel this datagram was sent on.
  if (stopping_ || handle_ != handle) return;
  if (QueueInPlace(length, frame->capacity())) {
    received_.push_back(QueuedFrame{std::move(*frame), length});
    // Strings of datagrams already read come back for the next receive, so a
    // datagram costs no allocation once the queue has been this deep before.
    if (spare_.empty()) {
      frame->clear();
    } else {
      frame->swap(spare_.back());
      spare_.pop_back();
    }
  } else {
    received_.push_back(QueuedFrame{frame->substr(0, length), length});
  }
  queuedBytes_ += received_.back().frame.capacity();
  if (queuedBytes_ > totals_.peakQueuedBytes) totals_.peakQueuedBytes = queuedBytes_;
  // Room for the type byte and the largest datagram the peer may send.
  const size_t room = 1 + static_cast<size_t>(peerPacketSize_);
  ++totals_.received;
  totals_.receivedBytes += length - 1;

  const bool tell = NeedsReadyLocked();
  // Earlier events go first: the ready event joins them on the event thread.
  const bool tellHere = tell && events_.empty() && !eventRunning_;
  if (tell && !tellHere) PostReadyEventLocked();
  pcoip_vchan_chan_cback cback = chanCback_;
  void* context = chanContext_;
  readyInFlight_ = tellHere;
  lock.unlock();

  if (tellHere) {
    // The plug-in only sets its ready event here, without waiting.
    cback(context, nullptr, PCOIP_VCHAN_EVENT_RECV_RDY, nullptr);
    lock.lock();
    readyInFlight_ = false;
    if (!events_.empty()) eventPosted_.notify_one();
    lock.unlock();
  }
  // Zeroed once per string, while the queue is deeper than ever before.
  if (frame->size() < room) frame->resize(room);
}

bool HostChannel::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  // What the peer said of its side belongs to the channel that closes, also
  // when this end had not opened yet: the next peer must open afresh.
  peerOpened_ = false;
  if (handle_ == 0) return false;
  HostLog(1, "channel closing: events 2 and 3 to the plug-in, " +
                 std::to_string(received_.size()) + " unread datagrams lost");
  pcoip_vchan_chan_cback cback = chanCback_;
  void* context = chanContext_;
  handle_ = 0;
  up_ = false;
  peerOpened_ = false;
  readyTold_ = false;
  ClearQueueLocked();
  Post([cback, context] {
    cback(context, nullptr, PCOIP_VCHAN_EVENT_CLOSE_PENDING, nullptr);
    cback(context, nullptr, PCOIP_VCHAN_EVENT_CLOSED, nullptr);
  });
  return true;
}

bool HostChannel::IsUp() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return up_;
}

bool HostChannel::EventsDelivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.empty() && !eventRunning_;
}

void HostChannel::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    handle_ = 0;
    up_ = false;
    ClearQueueLocked();
    eventPosted_.notify_all();
  }
  if (eventThread_.joinable() && eventThread_.get_id() != std::this_thread::get_id()) {
    eventThread_.join();
  }
}

HostChannel::Totals HostChannel::GetTotals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totals_;
}

// ---- entries ----

int32_t HostChannel::RegisterConnect(const char* name, pcoip_vchan_connect_cback cback,
                                     void* context, uint32_t* registration) {
  if (name == nullptr || cback == nullptr || registration == nullptr) return kErrBadArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  connectCback_ = cback;
  connectContext_ = context;
  registration_ = ++lastRegistration_;
  *registration = registration_;
  return PCOIP_SUCCESS;
}

int32_t HostChannel::UnregisterConnect(uint32_t registration) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (registration == 0 || registration != registration_) return kErrBadArgument;
  registration_ = 0;
  connectCback_ = nullptr;
  connectContext_ = nullptr;
  return PCOIP_SUCCESS;
}

int32_t HostChannel::Open(const char* name, uint32_t /*flags*/, uint32_t /*cfg*/,
                          uint32_t maxPacketSize, pcoip_vchan_chan_cback cback, void* context,
                          uint32_t* handle) {
  if (name == nullptr || cback == nullptr || handle == nullptr || maxPacketSize == 0) {
    return kErrBadArgument;
  }
  uint32_t opened = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return kErrLinkDown;
    if (handle_ != 0) {
      // One channel per end; the plug-in asking twice keeps the one it has.
      *handle = handle_;
      return PCOIP_SUCCESS;
    }
    chanCback_ = cback;
    chanContext_ = context;
    handle_ = ++lastHandle_;
    packetSize_ = maxPacketSize;
    *handle = handle_;
    opened = handle_;
  }
  HostLog(2, std::string("open \"") + name + "\" with packet size " + std::to_string(maxPacketSize) +
                 ": handle " + std::to_string(opened));
  // Tell the peer outside the lock: the link may make us wait.
  if (sendFrame_(FrameType::kOpened, &maxPacketSize, sizeof(maxPacketSize),
                 PCOIP_VCHAN_SEND_WAIT_FOREVER) != FrameSendResult::kSent) {
    // No peer heard of this open, and the plug-in is told it failed: the
    // next connect event must open afresh and tell the peer then, rather
    // than find a handle it was never given.
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ == opened) handle_ = 0;
    return kErrLinkDown;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  MaybeUpLocked();
  return PCOIP_SUCCESS;
}

int32_t HostChannel::SendDatagram(uint32_t handle, const void* datagram, uint32_t size,
                                  uint32_t timeout) {
  if (datagram == nullptr || size == 0) return kErrBadArgument;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle == 0 || handle != handle_) return handle_ == 0 ? kErrNotOpen : kErrBadArgument;
    if (size > packetSize_) return kErrTooLarge;
  }
  if (faults_.FailThisSend()) return kErrInjected;
  // The send waits while the peer is behind, as long as the caller allows: the
  // plug-in's sender is slowed, never its datagrams lost. A send that runs
  // out of time has sent nothing.
  switch (sendFrame_(FrameType::kData, datagram, size, timeout)) {
    case FrameSendResult::kSent:
      break;
    case FrameSendResult::kTimedOut:
      return PCOIP_ERR_TIMEOUT;
    case FrameSendResult::kLinkDown:
      return kErrLinkDown;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++totals_.sent;
  totals_.sentBytes += size;
  return PCOIP_SUCCESS;
}

int32_t HostChannel::Read(uint32_t handle, void* buffer, uint32_t size, uint32_t* length,
                          uint32_t /*flags*/) {
  if (buffer == nullptr || length == nullptr) return kErrBadArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle == 0 || handle != handle_) return handle_ == 0 ? kErrNotOpen : kErrBadArgument;
  if (received_.empty()) return PCOIP_ERR_EMPTY;
  if (faults_.EmptyThisRead()) {
    // The plug-in now waits for the next ready event; there must be one, or
    // what is queued would sit there until the peer sends again.
    PostReadyLocked();
    return PCOIP_ERR_EMPTY;
  }
  if (faults_.FailThisRead()) {
    // A read that fails after taking the datagram: the plug-in must go on
    // with the ones behind it without waiting for another ready event.
    HostLog(1, "fault injection: read failed, datagram lost", kErrInjected);
    PopFrontLocked(false);
    return kErrInjected;
  }
  QueuedFrame& front = received_.front();
  const size_t datagramSize = front.length - 1;  // after the frame's type byte
  if (datagramSize > size) {
    HostLog(1, "read with a " + std::to_string(size) + "-byte buffer for a " +
                   std::to_string(datagramSize) + "-byte datagram: datagram dropped",
            kErrTooLarge);
    PopFrontLocked(false);
    return kErrTooLarge;
  }
  std::memcpy(buffer, front.frame.data() + 1, datagramSize);
  *length = static_cast<uint32_t>(datagramSize);
  PopFrontLocked(true);
  return PCOIP_SUCCESS;
}

void HostChannel::PopFrontLocked(bool keepString) {
  std::string& frame = received_.front().frame;
  queuedBytes_ -= frame.capacity();
  // Only a string with room for any datagram is worth keeping for the next
  // receive; a burst's worth of them, not the whole queue.
  const size_t room = 1 + static_cast<size_t>(peerPacketSize_);
  if (keepString && frame.capacity() >= room && spare_.size() < kMaxSpareDatagrams &&
      (spare_.size() + 1) * frame.capacity() <= kMaxSpareBytes) {
    spare_.push_back(std::move(frame));
  }
  received_.pop_front();
  spaceFreed_.notify_one();
}

void HostChannel::ClearQueueLocked() {
  received_.clear();
  queuedBytes_ = 0;
  spaceFreed_.notify_all();
}

int32_t HostChannel::CountReceived(uint32_t handle, uint32_t* count) {
  if (count == nullptr) return kErrBadArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle == 0 || handle != handle_) return handle_ == 0 ? kErrNotOpen : kErrBadArgument;
  // What arrives from here on is not in this count and needs a ready event.
  readyTold_ = false;
  if (faults_.FailThisCount()) {
    // As after an empty read, the datagrams stay queued and another ready
    // event follows, so a plug-in that waits for one goes on.
    HostLog(1, "fault injection: count failed", kErrInjected);
    PostReadyLocked();
    return kErrInjected;
  }
  *count = static_cast<uint32_t>(received_.size());
  return PCOIP_SUCCESS;
}

int32_t HostChannel::GetState(const char* name, uint32_t* state, uint32_t* registration,
                              uint32_t* maxPacketSize) {
  if (name == nullptr || state == nullptr || registration == nullptr || maxPacketSize == nullptr) {
    return kErrBadArgument;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  *state = up_ ? 1u : 0u;
  *registration = registration_;
  *maxPacketSize = options_.packetSize;
  return PCOIP_SUCCESS;
}

int32_t HostChannel::GetMaxDatagramSize(uint32_t* size) {
  if (size == nullptr) return kErrBadArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  *size = maxDatagram_ != 0 ? maxDatagram_ : packetSize_;
  return PCOIP_SUCCESS;
}

}  // namespace vchan_host
