#include "tests/e2e/RawApp.h"

#include <chrono>
#include <random>

namespace e2e {
namespace {

// A varint field 1000 and a length-delimited field 1001: numbers no KVX
// message uses, so every parser along the way keeps them as unknown.
std::string UnknownFields() {
  std::string bytes;
  bytes += "\xC0\x3E";  // field 1000, varint
  bytes += "\x2A";
  bytes += "\xCA\x3E";  // field 1001, length-delimited
  bytes += "\x05";
  bytes += std::string("x\0y\xFFz", 5);
  return bytes;
}

}  // namespace

RawApp::RawApp(const std::string& pipeName) {
  pipe_ = platform::OpenPipeClient(pipeName, 10000);
  if (Connected()) reader_ = std::thread([this] { ReadLoop(); });
}

RawApp::~RawApp() { Close(); }

void RawApp::Close() {
  if (!Connected()) return;
  platform::ShutdownPipeClient(pipe_);
  if (reader_.joinable()) reader_.join();
  platform::ClosePipeClient(pipe_);
  pipe_ = platform::InvalidPipeHandle();
}

void RawApp::ReadLoop() {
  std::string message;
  while (platform::ReadPipeMessage(pipe_, &message)) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(message));
    arrived_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  arrived_.notify_all();
}

bool RawApp::Write(const std::string& bytes) {
  return Connected() && platform::WritePipeMessage(pipe_, bytes.data(), bytes.size());
}

bool RawApp::Next(std::string* message, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [this] { return !messages_.empty() || ended_; });
  if (messages_.empty()) return false;
  *message = std::move(messages_.front());
  messages_.pop_front();
  return true;
}

int64_t RawApp::AwaitNotice(KVX::ResultCode status, const std::string& name, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string message, noticeName;
  int64_t id = -1;
  KVX::ResultCode got = KVX::RESULT_SUCCESS;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Next(&message, static_cast<uint32_t>(left.count()))) return -2;
    if (ParseNotice(message, &noticeName, &id, &got) && got == status &&
        (name.empty() || noticeName == name)) {
      return id;
    }
  }
}

std::string ConnectRequest(const std::string& name, const std::string& launchLink) {
  KVX::Message message;
  auto* request = message.mutable_request()->mutable_connect_channel_request();
  request->set_channel_name(name);
  if (!launchLink.empty()) {
    request->mutable_launch_options()->set_launch_mode(KVX::LAUNCH_APP);
    request->mutable_launch_options()->set_app_link(launchLink);
  }
  return message.SerializeAsString();
}

std::string DisconnectRequest(int64_t channelId) {
  KVX::Message message;
  message.mutable_request()->mutable_disconnect_channel_request()->set_channel_id(channelId);
  return message.SerializeAsString();
}

std::string PropertyRequest(const std::string& name) {
  KVX::Message message;
  message.mutable_request()->mutable_get_property_request()->set_property_name(name);
  return message.SerializeAsString();
}

std::string TransferRequest(int64_t channelId, const std::string& data, bool withUnknownFields) {
  KVX::TransferData transfer;
  transfer.set_channel_id(channelId);
  transfer.set_app_value(-7);
  transfer.set_data(data);
  if (withUnknownFields) {
    KVX::TransferData withUnknown;
    withUnknown.ParseFromString(transfer.SerializeAsString() + UnknownFields());
    transfer = withUnknown;
  }
  KVX::Message message;
  message.mutable_request()->set_id(99);
  *message.mutable_request()->mutable_transfer_data() = transfer;
  std::string bytes = message.SerializeAsString();
  if (withUnknownFields) bytes += UnknownFields();
  return bytes;
}

bool ParseNotice(const std::string& bytes, std::string* name, int64_t* id,
                 KVX::ResultCode* status) {
  KVX::Message message;
  if (!message.ParseFromString(bytes) || !message.has_response() ||
      !message.response().has_channel_connection_response()) {
    return false;
  }
  const auto& notice = message.response().channel_connection_response();
  *name = notice.channel_name();
  *id = notice.channel_id();
  *status = notice.status();
  return true;
}

bool ParsePropertyAnswer(const std::string& bytes, std::string* value) {
  KVX::Message message;
  if (!message.ParseFromString(bytes) || !message.has_response() ||
      !message.response().has_get_property_response()) {
    return false;
  }
  *value = message.response().get_property_response().property_value();
  return true;
}

int64_t Pair(RawApp& serverApp, RawApp& clientApp, const std::string& name, uint32_t waitMs) {
  if (!serverApp.Write(ConnectRequest(name))) return -2;
  const int64_t id = serverApp.AwaitNotice(KVX::CONNECTION_PENDING_PEER, name, waitMs);
  if (!clientApp.Write(ConnectRequest(name))) return -2;
  if (clientApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, waitMs) != id) return -2;
  if (serverApp.AwaitNotice(KVX::CONNECTION_CONNECTED, name, waitMs) != id) return -2;
  return id;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

}  // namespace e2e
