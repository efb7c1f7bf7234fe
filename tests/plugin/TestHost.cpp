#include "tests/plugin/TestHost.h"

#include <algorithm>
#include <cstring>
#include <thread>

TestHost& TestHost::Get() {
  static TestHost* host = new TestHost;
  return *host;
}

void TestHost::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  logs_.clear();
  sent_.clear();
  opens_.clear();
  unregistrations_.clear();
  reads_.clear();
  registerResult_ = unregisterResult_ = openResult_ = 0;
  stateResult_ = 0;
  statePacketSize_ = 3000;
  maxDgramResult_ = 0;
  maxDgramSize_ = 5016;
  countResult_ = 0;
  countBias_ = 0;
  sendFailureIndex_ = -1;
  loopback_ = false;
}

pcoip_vchan_intf TestHost::Table(bool withLog) const {
  pcoip_vchan_intf table;
  std::memset(&table, 0, sizeof(table));
  table.register_connect_cback = &TestHost::Register;
  table.unregister_connect_cback = &TestHost::Unregister;
  table.open = &TestHost::Open;
  table.send_dgram = &TestHost::SendDatagram;
  table.read = &TestHost::Read;
  table.get_num_rx_dgrams = &TestHost::CountReceived;
  table.get_state_by_name = &TestHost::StateByName;
  table.get_max_dgram_size = &TestHost::MaxDatagramSize;
  table.log = withLog ? &TestHost::Log : nullptr;
  return table;
}

std::vector<LogLine> TestHost::Logs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return logs_;
}

std::vector<std::string> TestHost::SentDatagrams() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

std::vector<OpenCall> TestHost::Opens() {
  std::lock_guard<std::mutex> lock(mutex_);
  return opens_;
}

std::vector<uint32_t> TestHost::Unregistrations() {
  std::lock_guard<std::mutex> lock(mutex_);
  return unregistrations_;
}

bool TestHost::WaitForLog(const std::string& needle, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return logged_.wait_for(lock, timeout, [&] {
    return std::any_of(logs_.begin(), logs_.end(),
                       [&](const LogLine& line) { return line.text.find(needle) != std::string::npos; });
  });
}

bool TestHost::HasLog(const std::string& needle) {
  return WaitForLog(needle, std::chrono::milliseconds(0));
}

bool TestHost::WaitForReadsTaken(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (reads_.empty()) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void TestHost::SetResults(int32_t registerResult, int32_t unregisterResult, int32_t openResult) {
  std::lock_guard<std::mutex> lock(mutex_);
  registerResult_ = registerResult;
  unregisterResult_ = unregisterResult;
  openResult_ = openResult;
}

void TestHost::SetStateQuery(int32_t result, uint32_t maxPacketSize) {
  std::lock_guard<std::mutex> lock(mutex_);
  stateResult_ = result;
  statePacketSize_ = maxPacketSize;
}

void TestHost::SetMaxDatagramSize(int32_t result, uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  maxDgramResult_ = result;
  maxDgramSize_ = size;
}

void TestHost::SetCountResult(int32_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  countResult_ = result;
}

void TestHost::SetCountBias(uint32_t extra) {
  std::lock_guard<std::mutex> lock(mutex_);
  countBias_ = extra;
}

void TestHost::SetSendFailureAt(int index, int32_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  sendFailureIndex_ = index;
  sendFailureResult_ = result;
}

void TestHost::SetLoopback(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  loopback_ = on;
}

void TestHost::QueueRead(ReadItem item) {
  std::lock_guard<std::mutex> lock(mutex_);
  reads_.push_back(std::move(item));
}

void TestHost::FireConnect(uint32_t event, uint32_t data) {
  pcoip_vchan_connect_cback callback;
  void* context;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback = connectCallback_;
    context = connectContext_;
  }
  if (callback != nullptr) callback(context, nullptr, event, &data);
}

void TestHost::FireChannel(uint32_t event) {
  pcoip_vchan_chan_cback callback;
  void* context;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback = channelCallback_;
    context = channelContext_;
  }
  if (callback != nullptr) callback(context, nullptr, event, nullptr);
}

bool TestHost::HasChannelCallback() {
  std::lock_guard<std::mutex> lock(mutex_);
  return channelCallback_ != nullptr;
}

int32_t TestHost::Register(const char* /*name*/, pcoip_vchan_connect_cback cback, void* context,
                           uint32_t* registration) {
  TestHost& host = Get();
  std::lock_guard<std::mutex> lock(host.mutex_);
  if (host.registerResult_ != 0) return host.registerResult_;
  host.connectCallback_ = cback;
  host.connectContext_ = context;
  *registration = kRegistration;
  return 0;
}

int32_t TestHost::Unregister(uint32_t registration) {
  TestHost& host = Get();
  std::lock_guard<std::mutex> lock(host.mutex_);
  host.unregistrations_.push_back(registration);
  return host.unregisterResult_;
}

int32_t TestHost::Open(const char* name, uint32_t flags, uint32_t cfg, uint32_t maxPacketSize,
                       pcoip_vchan_chan_cback cback, void* context, uint32_t* handle) {
  TestHost& host = Get();
  std::lock_guard<std::mutex> lock(host.mutex_);
  host.opens_.push_back({name, flags, cfg, maxPacketSize});
  if (host.openResult_ != 0) return host.openResult_;
  host.channelCallback_ = cback;
  host.channelContext_ = context;
  *handle = kHandle;
  return 0;
}

int32_t TestHost::SendDatagram(uint32_t /*handle*/, const void* dgram, uint32_t size,
                               uint32_t /*timeout*/) {
  TestHost& host = Get();
  pcoip_vchan_chan_cback callback = nullptr;
  void* context = nullptr;
  {
    std::lock_guard<std::mutex> lock(host.mutex_);
    const int index = static_cast<int>(host.sent_.size());
    if (index == host.sendFailureIndex_) return host.sendFailureResult_;
    std::string bytes(static_cast<const char*>(dgram), size);
    if (host.loopback_) {
      host.reads_.push_back({bytes, 0});
      callback = host.channelCallback_;
      context = host.channelContext_;
    } else {
      host.sent_.push_back(std::move(bytes));
    }
  }
  if (callback != nullptr) callback(context, nullptr, PCOIP_VCHAN_EVENT_RECV_RDY, nullptr);
  return 0;
}

int32_t TestHost::Read(uint32_t /*handle*/, void* buffer, uint32_t size, uint32_t* length,
                       uint32_t /*flags*/) {
  TestHost& host = Get();
  std::lock_guard<std::mutex> lock(host.mutex_);
  if (host.reads_.empty()) return PCOIP_ERR_EMPTY;
  ReadItem item = std::move(host.reads_.front());
  host.reads_.pop_front();
  if (item.result != 0) return item.result;
  const uint32_t copied = std::min<uint32_t>(size, static_cast<uint32_t>(item.bytes.size()));
  std::memcpy(buffer, item.bytes.data(), copied);
  *length = copied;
  return 0;
}

int32_t TestHost::CountReceived(uint32_t /*handle*/, uint32_t* count) {
  TestHost& host = Get();
  std::lock_guard<std::mutex> lock(host.mutex_);
  if (host.countResult_ != 0) return host.countResult_;
  *count = static_cast<uint32_t>(host.reads_.size()) + host.countBias_;
  return 0;
}

int32_t TestHost::StateByName(const char* /*name*/, uint32_t* state, uint32_t* registration,
                              uint32_t* maxPacketSize) {
  TestHost& host = Get();
  std::lock_guard<std::mutex> lock(host.mutex_);
  if (host.stateResult_ != 0) return host.stateResult_;
  *state = 1;
  *registration = kRegistration;
  *maxPacketSize = host.statePacketSize_;
  return 0;
}

int32_t TestHost::MaxDatagramSize(uint32_t* size) {
  TestHost& host = Get();
  std::lock_guard<std::mutex> lock(host.mutex_);
  *size = host.maxDgramSize_;
  return host.maxDgramResult_;
}

int32_t TestHost::Log(const char* tag, int32_t level, int32_t code, const char* text) {
  TestHost& host = Get();
  {
    std::lock_guard<std::mutex> lock(host.mutex_);
    host.logs_.push_back({tag, level, code, text});
  }
  host.logged_.notify_all();
  return 0;
}

namespace {
void PutWord(std::string& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
uint32_t GetWord(const std::string& in, size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(in[offset + i])) << (8 * i);
  return value;
}
}  // namespace

std::string MakeDatagram(uint32_t sequence, const std::string& payload, bool last,
                         int64_t claimedLength) {
  std::string out(16, '\0');
  PutWord(out, 0, 1);
  PutWord(out, 4, sequence);
  PutWord(out, 8, claimedLength >= 0 ? static_cast<uint32_t>(claimedLength)
                                     : static_cast<uint32_t>(payload.size()));
  PutWord(out, 12, last ? 1 : 0);
  return out + payload;
}

DatagramHeader HeaderOf(const std::string& datagram) {
  return {GetWord(datagram, 0), GetWord(datagram, 4), GetWord(datagram, 8), GetWord(datagram, 12)};
}
