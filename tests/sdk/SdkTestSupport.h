// Scenes for the SDK's tests:
//   * SessionPairTest: the two ends of a session in this process, two channel
//     bridges back to back on their own pipes, with applications at each end
//     using the SDK;
//   * ScriptedPlugin: a pipe server that plays the plug-in's part by script,
//     for the failures a well-behaved plug-in never shows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "extension/sdk/KvxSdk.h"
#include "extension/windows/NamedPipeServer.h"
#include "tests/bridge/BridgeTestSupport.h"
#include "tests/transport/PipeTestSupport.h"

#include <gtest/gtest.h>

namespace kvxtest {

namespace sdk = Orvane::Extension::SDK;

extern const char kServerEndPipe[];
extern const char kClientEndPipe[];

// Properties as each end's plug-in reports them.
std::string ServerEndProperties(const std::string& name);
std::string ClientEndProperties(const std::string& name);

class SessionPairTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new application session at one end.
  std::unique_ptr<sdk::Session> OpenAtServerEnd(sdk::SessionOptions options = {});
  std::unique_ptr<sdk::Session> OpenAtClientEnd(sdk::SessionOptions options = {});

  // The client end's plug-in goes away: unlinked from the server end first,
  // so that nothing is handed to it while it is being destroyed.
  void StopClientEnd();

  // Opens `name` at both ends (server end first) and waits until connected.
  void Connect(sdk::Session& serverSession, sdk::Session& clientSession, const std::string& name,
               sdk::Channel* serverChannel, sdk::Channel* clientChannel);

  ScopedPipeDir pipeDir;
  CoutCapture console;  // the pipe servers' diagnostics
  DebugCapture debug;   // the bridges' diagnostics
  ChannelBridgeTestAccess::Owned server = ChannelBridgeTestAccess::Create();
  ChannelBridgeTestAccess::Owned client = ChannelBridgeTestAccess::Create();
};

// A plug-in stand-in on one pipe instance: it records every message the
// application writes but property requests, answers those unless told not to, and
// writes whatever a test wants to the application.
class ScriptedPlugin {
 public:
  explicit ScriptedPlugin(const std::string& pipeName, int32_t instances = 1);
  ~ScriptedPlugin();

  void AnswerProperties(bool answer);
  // Writes raw bytes to the connected application.
  bool Send(const std::string& bytes);
  bool SendNotice(const std::string& name, int64_t channelId, KVX::ResultCode status);
  bool SendData(int64_t channelId, const std::string& data, int64_t appValue = 0);
  // Waits for the next message from the application.
  bool NextMessage(KVX::Message* message, std::chrono::milliseconds timeout = 5s);
  int Disconnects();
  void Stop();

 private:
  void OnReceive(std::string bytes);

  std::unique_ptr<Orvane::Extension::Windows::NamedPipeServer> server_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> received_;
  bool answerProperties_ = true;
  int disconnects_ = 0;
};

// Collects channel events handed to a callback.
class EventLog {
 public:
  std::function<void(const sdk::ChannelEvent&)> Handler();
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = 10s);
  std::vector<sdk::ChannelEvent> Events();

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<sdk::ChannelEvent> events_;
};

}  // namespace kvxtest
