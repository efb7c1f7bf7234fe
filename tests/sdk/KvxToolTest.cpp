// The kvx tool, run as a user runs it, against the two ends of a session in
// this process.
#include <random>

#include "tests/sdk/SdkTestSupport.h"
#include "tests/sdk/ToolProcess.h"

namespace kvxtest {
namespace {

using sdk::ChannelState;

class KvxToolTest : public SessionPairTest {
 protected:
  // Waits until an application at the client end holds `name` with its ID,
  // that is until the rendezvous has answered it. A second application that
  // asked at the same moment would cross the first one's request, and the
  // plug-ins may then tell one of them "pending" after "connected".
  bool WaitForRegistration(ChannelBridge& bridge, const std::string& name) {
    return WaitUntil([&] {
      for (const ChannelEntry& entry : ChannelBridgeTestAccess::Channels(bridge)) {
        if (entry.channelName == name && entry.pipeId != -1 && entry.channelId != -1) return true;
      }
      return false;
    });
  }

  std::string TempFile(const std::string& bytes) {
    const std::string path = MakeTempFile("data");
    files_.push_back(path);
    WriteFile(path, bytes);
    return path;
  }

  void TearDown() override {
    for (const auto& file : files_) std::remove(file.c_str());
    SessionPairTest::TearDown();
  }

  static std::string RandomBytes(size_t size) {
    std::mt19937 random(12345);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
    return bytes;
  }

  std::vector<std::string> files_;
};

TEST_F(KvxToolTest, HelpForEveryCommandAndUsageErrors) {
  std::string out;
  EXPECT_EQ(RunTool({"--help"}, &out), 0);
  EXPECT_NE(out.find("Commands:"), std::string::npos);
  for (const char* command : {"property", "connect", "send", "listen", "cat", "bench"}) {
    EXPECT_EQ(RunTool({command, "--help"}, &out), 0) << command;
    EXPECT_NE(out.find(std::string("Usage: kvx ") + command), std::string::npos) << out;
  }
  std::string err;
  EXPECT_EQ(RunTool({}, nullptr, &err), 2);
  EXPECT_EQ(RunTool({"frobnicate"}, nullptr, &err), 2);
  EXPECT_NE(err.find("unknown command"), std::string::npos);
  EXPECT_EQ(RunTool({"property"}, nullptr, &err), 2);
  EXPECT_EQ(RunTool({"--timeout", "soon", "property", "X"}, nullptr, &err), 2);
  EXPECT_EQ(RunTool({"send", "A"}, nullptr, &err), 2);
  EXPECT_EQ(RunTool({"--bogus", "property", "X"}, nullptr, &err), 2);
}

TEST_F(KvxToolTest, NoPluginOnThePipe) {
  std::string out, err;
  EXPECT_EQ(RunTool({"--pipe", "\\\\.\\pipe\\Nobody_Here", "property", "KVXCoreType"}, &out, &err), 3);
  EXPECT_NE(err.find("no plug-in"), std::string::npos) << err;
  EXPECT_EQ(RunTool({"--pipe", "\\\\.\\pipe\\Nobody_Here", "--json", "connect", "A"}, &out), 3);
  EXPECT_NE(out.find("\"error\":\"no-server\""), std::string::npos) << out;
}

TEST_F(KvxToolTest, PropertyAtEachEnd) {
  std::string out;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "property", "KVXCoreType"}, &out), 0);
  EXPECT_EQ(out, "Server\n");
  EXPECT_EQ(RunTool({"--pipe", kClientEndPipe, "--json", "property", "KVXCoreType"}, &out), 0);
  EXPECT_EQ(out, "{\"property\":\"KVXCoreType\",\"value\":\"Client\"}\n");
}

TEST_F(KvxToolTest, ConnectPrintsTheIdOrTimesOut) {
  auto app = OpenAtClientEnd();
  auto channel = app->OpenChannel("meet");
  ASSERT_TRUE(channel.Ok());
  ASSERT_TRUE(channel->WaitForState(ChannelState::PendingPeer, 5000).Ok());
  std::string out;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "connect", "meet"}, &out), 0);
  EXPECT_EQ(out, std::to_string(channel->Id()) + "\n");
  // kvx left again: the application waits for a peer once more.
  ASSERT_TRUE(channel->WaitForState(ChannelState::PendingPeer, 5000).Ok());

  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "--json", "connect", "meet"}, &out), 0);
  EXPECT_EQ(out, "{\"channel\":\"meet\",\"id\":" + std::to_string(channel->Id()) + ",\"state\":\"connected\"}\n");

  std::string err;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "--timeout", "0.3", "connect", "nobody"}, nullptr, &err), 5);
  EXPECT_NE(err.find("no application at the other end"), std::string::npos) << err;
}

TEST_F(KvxToolTest, SendTextAndFile) {
  auto app = OpenAtClientEnd();
  auto channel = app->OpenChannel("inbox");
  ASSERT_TRUE(channel.Ok());
  ASSERT_TRUE(WaitForRegistration(*client, "inbox"));
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "send", "inbox", "hello world"}), 0);
  auto got = channel->Receive(5000);
  ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
  EXPECT_EQ(got->data, "hello world");

  // A file of a few hundred kilobytes goes as one message, byte for byte.
  const std::string contents = RandomBytes(600000);
  std::string out;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "--json", "send", "inbox", "--file", TempFile(contents)}, &out), 0);
  EXPECT_NE(out.find("\"bytes\":600000,\"messages\":1"), std::string::npos) << out;
  std::string received;
  while (received.size() < contents.size()) {
    auto piece = channel->Receive(5000);
    ASSERT_TRUE(piece.Ok()) << piece.GetError().ToString();
    received += piece->data;
  }
  EXPECT_TRUE(received == contents);

  std::string err;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "send", "inbox", "--file", "/no/such/file"}, nullptr, &err), 7);
}

TEST_F(KvxToolTest, ListenPrintsNoticesAndDataAsJsonLines) {
  ToolProcess listener({"--pipe", kServerEndPipe, "--json", "listen", "news", "--count", "2"});
  ASSERT_TRUE(WaitUntil([&] { return listener.Stdout().find("pending-peer") != std::string::npos; }));
  auto app = OpenAtClientEnd();
  auto channel = app->OpenChannel("news");
  ASSERT_TRUE(channel.Ok());
  ASSERT_TRUE(channel->WaitConnected(5000).Ok());
  ASSERT_TRUE(channel->Send("first").Ok());
  ASSERT_TRUE(channel->Send(std::string("two\0\xFF", 5), 9).Ok());
  ASSERT_EQ(listener.Wait(std::chrono::seconds(20)), 0) << listener.Stderr();
  const std::string id = std::to_string(channel->Id());
  EXPECT_EQ(listener.Stdout(),
            "{\"event\":\"notice\",\"channel\":\"news\",\"id\":" + id + ",\"state\":\"pending-peer\"}\n"
            "{\"event\":\"notice\",\"channel\":\"news\",\"id\":" + id + ",\"state\":\"connected\"}\n"
            "{\"event\":\"data\",\"channel\":\"news\",\"id\":" + id + ",\"app_value\":0,\"bytes\":5,\"data\":\"first\"}\n"
            "{\"event\":\"data\",\"channel\":\"news\",\"id\":" + id +
                ",\"app_value\":9,\"bytes\":5,\"data\":\"two\\u0000\\u00ff\"}\n");
}

TEST_F(KvxToolTest, CatMovesAMultiMegabyteFileByteForByte) {
  const std::string contents = RandomBytes(3 * 1024 * 1024 + 17);
  ToolProcess receiver({"--pipe", kClientEndPipe, "cat", "pipe-line"});
  ASSERT_TRUE(WaitForRegistration(*client, "pipe-line"));
  ToolProcess sender({"--pipe", kServerEndPipe, "cat", "-N", "pipe-line"}, TempFile(contents));
  EXPECT_EQ(sender.Wait(), 0) << sender.Stderr();
  EXPECT_EQ(receiver.Wait(), 0) << receiver.Stderr();
  // Raw: Stdout() is for text and would fold line ends on Windows.
  const std::string received = ReadFile(receiver.StdoutPath());
  EXPECT_EQ(received.size(), contents.size());
  EXPECT_TRUE(received == contents);
}

TEST_F(KvxToolTest, CatEndsWithAnErrorWhenThePluginGoesAway) {
  ToolProcess cat({"--pipe", kClientEndPipe, "--timeout", "0", "cat", "orphan"});
  ASSERT_TRUE(WaitForRegistration(*client, "orphan"));
  auto app = OpenAtServerEnd();
  auto channel = app->OpenChannel("orphan");
  ASSERT_TRUE(channel.Ok());
  ASSERT_TRUE(channel->WaitConnected(5000).Ok());
  ASSERT_TRUE(channel->Send("before").Ok());
  ASSERT_TRUE(WaitUntil([&] { return cat.Stdout() == "before"; }));
  StopClientEnd();  // the client end's plug-in goes away under kvx
  EXPECT_EQ(cat.Wait(std::chrono::seconds(20)), 6) << cat.Stderr();
  EXPECT_EQ(cat.Stdout(), "before");
}

TEST_F(KvxToolTest, BenchAgainstItsServingPeer) {
  ToolProcess serve({"--pipe", kClientEndPipe, "--json", "bench", "--serve", "--once", "speed"});
  ASSERT_TRUE(WaitForRegistration(*client, "speed"));
  std::string out, err;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "--json", "bench", "speed", "--pings", "100", "--duration", "0.5",
                     "--size", "65536"},
                    &out, &err),
            0)
      << err;
  EXPECT_EQ(serve.Wait(std::chrono::seconds(20)), 0) << serve.Stderr();
  for (const char* key : {"\"latency_us\":{\"count\":100", "\"p50\":", "\"p99\":", "\"bytes_per_second\":"}) {
    EXPECT_NE(out.find(key), std::string::npos) << key << " in " << out;
  }
  EXPECT_NE(serve.Stdout().find("\"event\":\"client-left\""), std::string::npos) << serve.Stdout();
}

}  // namespace
}  // namespace kvxtest
