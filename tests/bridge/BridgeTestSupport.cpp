#include "tests/bridge/BridgeTestSupport.h"

#include <ostream>

#include "platform/debug_output.h"
#include "platform/shell.h"

namespace kvxtest {

void Collector::Add(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  items_.push_back(bytes);
  changed_.notify_all();
}

std::vector<std::string> Collector::All() {
  std::lock_guard<std::mutex> guard(lock_);
  return items_;
}

size_t Collector::Count() {
  std::lock_guard<std::mutex> guard(lock_);
  return items_.size();
}

bool Collector::WaitForCount(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return items_.size() >= count; });
}

void Collector::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  items_.clear();
}

Collector& SentToPeer() {
  static Collector collector;
  return collector;
}

void RecordSendToPeer(const std::string& bytes) { SentToPeer().Add(bytes); }

std::string TestProperties(const std::string& name) {
  if (name == "KVXCoreType") return "Server";
  if (name == "Hwnds") return "0x10,0x20";
  return "";
}

DebugCapture::DebugCapture() {
  platform::SetDebugSink([this](const std::string& text) { collector_.Add(text); });
}

DebugCapture::~DebugCapture() { platform::SetDebugSink(nullptr); }

size_t DebugCapture::CountOf(const std::string& text) {
  size_t count = 0;
  for (const std::string& entry : collector_.All()) {
    if (entry == text) ++count;
  }
  return count;
}

bool DebugCapture::WaitFor(const std::string& text, size_t count) {
  return WaitUntil([&] { return CountOf(text) >= count; });
}

ShellCapture::ShellCapture(intptr_t result) {
  platform::SetShellOpenHook([this, result](const std::string& link) {
    links_.Add(link);
    return result;
  });
}

ShellCapture::~ShellCapture() { platform::SetShellOpenHook(nullptr); }

std::string ConnectRequest(const std::string& name) {
  KVX::Message message;
  message.mutable_request()->mutable_connect_channel_request()->set_channel_name(name);
  return message.SerializeAsString();
}

std::string ConnectRequestWithLaunch(const std::string& name, KVX::LaunchMode mode,
                                     const std::string& link) {
  KVX::Message message;
  KVX::ConnectChannelRequest* request = message.mutable_request()->mutable_connect_channel_request();
  request->set_channel_name(name);
  request->mutable_launch_options()->set_launch_mode(mode);
  request->mutable_launch_options()->set_app_link(link);
  return message.SerializeAsString();
}

std::string DisconnectRequest(int64_t channelId) {
  KVX::Message message;
  message.mutable_request()->mutable_disconnect_channel_request()->set_channel_id(channelId);
  return message.SerializeAsString();
}

std::string TransferData(int64_t channelId, const std::string& data) {
  KVX::Message message;
  message.mutable_request()->set_id(77);
  KVX::TransferData* transfer = message.mutable_request()->mutable_transfer_data();
  transfer->set_channel_id(channelId);
  transfer->set_app_value(-5);
  transfer->set_data(data);
  // An unknown field (99, varint 1) that only the far application may know.
  return message.SerializeAsString() + std::string("\x98\x06\x01", 3);
}

std::string PropertyRequest(const std::string& name) {
  KVX::Message message;
  message.mutable_request()->mutable_get_property_request()->set_property_name(name);
  return message.SerializeAsString();
}

std::string Notice(const std::string& name, int64_t channelId, KVX::ResultCode status) {
  KVX::Message message;
  KVX::ChannelConnectionResponse* notice =
      message.mutable_response()->mutable_channel_connection_response();
  notice->set_channel_name(name);
  notice->set_channel_id(channelId);
  notice->set_status(status);
  return message.SerializeAsString();
}

NoticeFields ReadNotice(const std::string& bytes) {
  KVX::Message message;
  NoticeFields fields;
  fields.status = -1;
  if (message.ParseFromString(bytes) && message.has_response() &&
      message.response().has_channel_connection_response()) {
    const auto& notice = message.response().channel_connection_response();
    fields.name = notice.channel_name();
    fields.channelId = notice.channel_id();
    fields.status = notice.status();
  }
  return fields;
}

std::ostream& operator<<(std::ostream& out, const NoticeFields& notice) {
  return out << "notice(\"" << notice.name << "\", " << notice.channelId << ", " << notice.status
             << ")";
}

namespace PeerLink {
namespace {
std::mutex linkLock;
ChannelBridge* serverBridge = nullptr;
ChannelBridge* clientBridge = nullptr;
}  // namespace

void Join(ChannelBridge* serverEnd, ChannelBridge* clientEnd) {
  std::lock_guard<std::mutex> guard(linkLock);
  serverBridge = serverEnd;
  clientBridge = clientEnd;
}

void DetachClientEnd() {
  std::lock_guard<std::mutex> guard(linkLock);
  clientBridge = nullptr;
}

void DetachBoth() { Join(nullptr, nullptr); }

void ServerSendsToPeer(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(linkLock);
  if (clientBridge != nullptr) clientBridge->QueuePcoipMessage(bytes);
}

void ClientSendsToPeer(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(linkLock);
  if (serverBridge != nullptr) serverBridge->QueuePcoipMessage(bytes);
}
}  // namespace PeerLink

}  // namespace kvxtest

bool operator==(const ChannelEntry& a, const ChannelEntry& b) {
  return a.channelName == b.channelName && a.channelId == b.channelId && a.pipeId == b.pipeId;
}

std::ostream& operator<<(std::ostream& out, const ChannelEntry& entry) {
  return out << "(" << entry.channelName << ", " << entry.channelId << ", " << entry.pipeId << ")";
}

