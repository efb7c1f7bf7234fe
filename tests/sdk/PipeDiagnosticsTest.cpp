// What an application and the plug-in are told when the pipe cannot be used:
// the socket's path, how its folder was chosen and the reason in words; and a
// server that announces more than the pipe's quota ends the session with a
// clear error instead of a huge allocation.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "extension/sdk/KvxSdk.h"
#include "extension/windows/NamedPipeServer.h"
#include "tests/sdk/SdkTestSupport.h"

namespace kvxtest {
namespace {

namespace sdk = Orvane::Extension::SDK;
using sdk::ErrorCode;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int ListenAt(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

sdk::Error OpenError() {
  sdk::SessionOptions options;
  options.connectTimeoutMs = 500;
  auto session = sdk::Session::Open(options);
  return session.Ok() ? sdk::Error() : session.GetError();
}

TEST(PipeDiagnosticsTest, FailuresNameTheSocketHowItsFolderWasChosenAndWhy) {
  ScopedPipeDir pipeDir;
  const std::string socket = "/KVX_Pipe_Channel (folder from KVX_PIPE_DIR)";

  const std::string missing = pipeDir.Path() + "/missing";
  setenv("KVX_PIPE_DIR", missing.c_str(), 1);
  sdk::Error error = OpenError();
  EXPECT_EQ(error.Code(), ErrorCode::NoServer);
  EXPECT_EQ(error.Message(), "no plug-in serves the pipe socket " + missing + socket + ": the folder " + missing +
                                 " does not exist");

  // A folder open to others: refused by both ends, the plug-in's usual
  // failure line followed by one that names the folder, owner and mode.
  const std::string open = pipeDir.Path() + "/open";
  ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0755), 0);
  setenv("KVX_PIPE_DIR", open.c_str(), 1);
  error = OpenError();
  EXPECT_EQ(error.Code(), ErrorCode::AccessDenied);
  EXPECT_TRUE(Contains(error.Message(), "cannot open the pipe socket " + open + socket + ": the folder " + open +
                                            " (owner uid " + std::to_string(geteuid())))
      << error.Message();
  EXPECT_TRUE(Contains(error.Message(), "mode 0755) is open to group or others")) << error.Message();
  {
    CoutCapture console;
    Orvane::Extension::Windows::NamedPipeServer server(sdk::DefaultPipeName(), 6);
    EXPECT_EQ(server.Start(), sdk::TransportStatus::Failed);
    EXPECT_EQ(console.Text(), "Failed to create NamedPipe client. Error=5\nPipe socket " + open + socket + ": " +
                                  error.Message().substr(error.Message().find("the folder ")) + "\n");
  }
  setenv("KVX_PIPE_DIR", pipeDir.Path().c_str(), 1);
}

TEST(PipeDiagnosticsTest, AServerAnnouncingMoreThanTheQuotaEndsTheSessionClearly) {
  ScopedPipeDir pipeDir;
  const int listener = ListenAt(pipeDir.Path() + "/KVX_Pipe_Channel");
  ASSERT_GE(listener, 0);
  // Answers the session's first request with the header of a 1 GiB message.
  std::thread fake([listener] {
    const int client = accept(listener, nullptr, nullptr);
    char request[256];
    if (recv(client, request, sizeof request, 0) > 0) {
      const unsigned char header[4] = {0, 0, 0, 0x40};
      send(client, header, sizeof header, MSG_NOSIGNAL);
    }
    recv(client, request, sizeof request, 0);  // until the client lets go
    close(client);
  });
  const sdk::Error error = OpenError();
  fake.join();
  close(listener);
  EXPECT_EQ(error.Code(), ErrorCode::ProtocolError);
  EXPECT_TRUE(Contains(error.Message(), "socket " + pipeDir.Path() + "/KVX_Pipe_Channel")) << error.Message();
  EXPECT_TRUE(Contains(error.Message(), "1073741824 bytes, more than the limit of 67108864")) << error.Message();
}

// A reconnecting session goes back to the folder it was opened in, whatever
// KVX_PIPE_DIR says by then: the folder is read once per session.
TEST(PipeDiagnosticsTest, AReconnectingSessionKeepsItsPipeFolder) {
  ScopedPipeDir pipeDir;  // the session's folder
  CoutCapture console;    // the plug-ins' routine lines
  const std::string home = pipeDir.Path();
  const std::string elsewhere = home + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  auto plugin = std::make_unique<ScriptedPlugin>(sdk::DefaultPipeName());
  sdk::SessionOptions options;
  options.reconnect = true;
  options.reconnectMaxDelayMs = 100;
  auto session = sdk::Session::Open(options);
  ASSERT_TRUE(session.Ok()) << session.GetError().ToString();
  auto channel = (*session)->OpenChannel("home");
  ASSERT_TRUE(channel.Ok());
  KVX::Message request;
  ASSERT_TRUE(plugin->NextMessage(&request));

  // Another plug-in serves the same name in another folder, which the
  // environment names from now on; the session's own plug-in goes away.
  setenv("KVX_PIPE_DIR", elsewhere.c_str(), 1);
  ScriptedPlugin decoy(sdk::DefaultPipeName());
  plugin.reset();
  EXPECT_FALSE(decoy.NextMessage(&request, std::chrono::seconds(1))) << "asked the plug-in elsewhere";
  setenv("KVX_PIPE_DIR", home.c_str(), 1);
  plugin = std::make_unique<ScriptedPlugin>(sdk::DefaultPipeName());
  ASSERT_TRUE(plugin->NextMessage(&request, std::chrono::seconds(20)));
  EXPECT_EQ(request.request().connect_channel_request().channel_name(), "home");
}

}  // namespace
}  // namespace kvxtest
