#include "tests/sdk/SdkTestSupport.h"

#include <mutex>

namespace kvxtest {

const char kServerEndPipe[] = "\\\\.\\pipe\\KVX_Sdk_Server_End";
const char kClientEndPipe[] = "\\\\.\\pipe\\KVX_Sdk_Client_End";

std::string ServerEndProperties(const std::string& name) {
  if (name == "KVXCoreType") return "Server";
  if (name == "Hwnds") return "0x10,0x20";
  return "";
}

std::string ClientEndProperties(const std::string& name) {
  if (name == "KVXCoreType") return "Client";
  return "";
}

void SessionPairTest::SetUp() {
  PeerLink::Join(server.get(), client.get());
  ASSERT_TRUE(server->InitializeWith(true, kServerEndPipe, &PeerLink::ServerSendsToPeer, &ServerEndProperties));
  ASSERT_TRUE(client->InitializeWith(false, kClientEndPipe, &PeerLink::ClientSendsToPeer, &ClientEndProperties));
}

void SessionPairTest::TearDown() {
  PeerLink::DetachBoth();
  client.reset();
  server.reset();
}

void SessionPairTest::StopClientEnd() {
  PeerLink::DetachClientEnd();
  client.reset();
}

std::unique_ptr<sdk::Session> SessionPairTest::OpenAtServerEnd(sdk::SessionOptions options) {
  options.pipeName = kServerEndPipe;
  auto session = sdk::Session::Open(options);
  EXPECT_TRUE(session.Ok()) << session.GetError().ToString();
  return session.Ok() ? std::move(session.Value()) : nullptr;
}

std::unique_ptr<sdk::Session> SessionPairTest::OpenAtClientEnd(sdk::SessionOptions options) {
  options.pipeName = kClientEndPipe;
  auto session = sdk::Session::Open(options);
  EXPECT_TRUE(session.Ok()) << session.GetError().ToString();
  return session.Ok() ? std::move(session.Value()) : nullptr;
}

void SessionPairTest::Connect(sdk::Session& serverSession, sdk::Session& clientSession, const std::string& name,
                              sdk::Channel* serverChannel, sdk::Channel* clientChannel) {
  auto atServer = serverSession.OpenChannel(name);
  ASSERT_TRUE(atServer.Ok()) << atServer.GetError().ToString();
  ASSERT_TRUE(atServer->WaitForState(sdk::ChannelState::PendingPeer, 5000).Ok());
  auto atClient = clientSession.OpenChannel(name);
  ASSERT_TRUE(atClient.Ok()) << atClient.GetError().ToString();
  ASSERT_TRUE(atClient->WaitConnected(5000).Ok());
  ASSERT_TRUE(atServer->WaitConnected(5000).Ok());
  *serverChannel = atServer.Value();
  *clientChannel = atClient.Value();
}

ScriptedPlugin::ScriptedPlugin(const std::string& pipeName, int32_t instances)
    : server_(new Orvane::Extension::Windows::NamedPipeServer(pipeName, instances)) {
  server_->SetReceiveCallback([this](std::string bytes) { OnReceive(std::move(bytes)); });
  server_->SetDisconnectCallback([this] {
    std::lock_guard<std::mutex> guard(lock_);
    ++disconnects_;
    changed_.notify_all();
  });
  EXPECT_EQ(server_->Start(), sdk::TransportStatus::Ok);
}

ScriptedPlugin::~ScriptedPlugin() { Stop(); }

void ScriptedPlugin::Stop() {
  if (server_) server_->Stop();
}

void ScriptedPlugin::AnswerProperties(bool answer) {
  std::lock_guard<std::mutex> guard(lock_);
  answerProperties_ = answer;
}

void ScriptedPlugin::OnReceive(std::string bytes) {
  KVX::Message message;
  bool answer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    answer = answerProperties_;
  }
  // Property requests are the plug-in's own business: answered (or left
  // unanswered) here, never handed to the test.
  if (message.ParseFromString(bytes) && message.has_request() && message.request().has_get_property_request()) {
    if (!answer) return;
    KVX::Message reply;
    auto* property = reply.mutable_response()->mutable_get_property_response();
    property->set_property_name(message.request().get_property_request().property_name());
    property->set_property_value("Scripted");
    server_->Send(reply.SerializeAsString());
    return;
  }
  std::lock_guard<std::mutex> guard(lock_);
  received_.push_back(std::move(bytes));
  changed_.notify_all();
}

bool ScriptedPlugin::Send(const std::string& bytes) { return server_->Send(bytes) == sdk::TransportStatus::Ok; }

bool ScriptedPlugin::SendNotice(const std::string& name, int64_t channelId, KVX::ResultCode status) {
  return Send(Notice(name, channelId, status));
}

bool ScriptedPlugin::SendData(int64_t channelId, const std::string& data, int64_t appValue) {
  KVX::Message message;
  auto* transfer = message.mutable_request()->mutable_transfer_data();
  transfer->set_channel_id(channelId);
  transfer->set_app_value(appValue);
  transfer->set_data(data);
  return Send(message.SerializeAsString());
}

bool ScriptedPlugin::NextMessage(KVX::Message* message, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!changed_.wait_for(guard, timeout, [&] { return !received_.empty(); })) return false;
  std::string bytes = std::move(received_.front());
  received_.pop_front();
  return message->ParseFromString(bytes);
}

int ScriptedPlugin::Disconnects() {
  std::lock_guard<std::mutex> guard(lock_);
  return disconnects_;
}

std::function<void(const sdk::ChannelEvent&)> EventLog::Handler() {
  return [this](const sdk::ChannelEvent& event) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(event);
    changed_.notify_all();
  };
}

bool EventLog::WaitForCount(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return events_.size() >= count; });
}

std::vector<sdk::ChannelEvent> EventLog::Events() {
  std::lock_guard<std::mutex> guard(lock_);
  return events_;
}

}  // namespace kvxtest
