// What an application writes before the host has opened the channel to the
// other end, and while the host has it closed, waits at this end and goes, in
// its order, once the channel opens: a request made at start-up is not lost.
// A program of its own, as the bridge starts once per process.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_pipe.h"
#include "proto/kvx.pb.h"
#include "tests/plugin/PipeDirectory.h"
#include "tests/plugin/PluginFixture.h"

namespace {

std::string Connect(const std::string& name) {
  KVX::Message message;
  message.mutable_request()->mutable_connect_channel_request()->set_channel_name(name);
  return message.SerializeAsString();
}

std::string Data(int64_t channelId, const std::string& text) {
  KVX::Message message;
  message.mutable_request()->mutable_transfer_data()->set_channel_id(channelId);
  message.mutable_request()->mutable_transfer_data()->set_data(text);
  return message.SerializeAsString();
}

std::string Disconnect(int64_t channelId) {
  KVX::Message message;
  message.mutable_request()->mutable_disconnect_channel_request()->set_channel_id(channelId);
  return message.SerializeAsString();
}

// The messages handed to the host so far; each is small enough for one datagram.
std::vector<std::string> SentMessages() {
  std::vector<std::string> messages;
  for (const std::string& datagram : TestHost::Get().SentDatagrams()) {
    messages.push_back(datagram.substr(16));
  }
  return messages;
}

std::vector<std::string> SentAfterWaitingFor(size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (SentMessages().size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return SentMessages();
}

void OpenTheChannel() {
  TestHost::Get().FireConnect(PCOIP_VCHAN_CONNECT_EVENT_CHANNEL, 0);
  TestHost::Get().FireChannel(PCOIP_VCHAN_EVENT_OPEN_SUCCESS);
}

TEST(PluginChannelOpening, WhatApplicationsWriteWaitsForTheChannelAndGoesInOrder) {
  TestHost& host = TestHost::Get();
  host.Reset();
  host.SetStateQuery(0, 3000);
  pcoip_vchan_intf table = host.Table();
  void* context = nullptr;
  ASSERT_EQ(pcoip_vchan_plugin_server_init(&table, nullptr, &context), 1);
  platform::PipeHandle app = platform::OpenPipeClient("\\\\.\\pipe\\KVX_Pipe_Channel", 10000);
  ASSERT_NE(app, platform::InvalidPipeHandle());
  const auto write = [app](const std::vector<std::string>& messages) {
    for (const std::string& message : messages) {
      ASSERT_TRUE(platform::WritePipeMessage(app, message.data(), message.size()));
    }
  };

  // At start-up: the application asks for a channel, sends on it and leaves
  // it before the host has opened the channel to the other end.
  std::vector<std::string> written = {Connect("early"), Data(0, "on early"), Disconnect(0)};
  write(written);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(SentMessages().empty());
  OpenTheChannel();
  EXPECT_EQ(SentAfterWaitingFor(written.size()), written);

  // The host closes the channel; what is written meanwhile waits for it to
  // be opened again.
  host.FireChannel(PCOIP_VCHAN_EVENT_CLOSE_PENDING);
  host.FireChannel(PCOIP_VCHAN_EVENT_CLOSED);
  const std::vector<std::string> whileClosed = {Connect("while closed"), Data(1, "on it")};
  write(whileClosed);
  // Asked whether it is served, it is answered meanwhile all the same.
  KVX::Message property;
  property.mutable_request()->mutable_get_property_request()->set_property_name("KVXCoreType");
  write({property.SerializeAsString()});
  std::string answer;
  KVX::Message read;
  while (platform::ReadPipeMessage(app, &answer) && read.ParseFromString(answer) &&
         !read.response().has_get_property_response()) {
  }
  EXPECT_EQ(read.response().get_property_response().property_value(), "Server");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(SentMessages().size(), written.size());
  OpenTheChannel();
  written.insert(written.end(), whileClosed.begin(), whileClosed.end());
  EXPECT_EQ(SentAfterWaitingFor(written.size()), written);

  platform::ClosePipeClient(app);
  EXPECT_EQ(pcoip_vchan_plugin_server_exit(context), 1);
}

}  // namespace
