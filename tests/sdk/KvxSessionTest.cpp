// The kvx tool and the SDK in a real session: two vchan-host processes, each
// loading the built plug-in, with kvx and SDK applications on their pipes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "extension/sdk/KvxSdk.h"
#include "tests/e2e/SessionHarness.h"
#include "tests/sdk/ToolProcess.h"

namespace kvxtest {
namespace {

namespace sdk = Orvane::Extension::SDK;
using e2e::SessionHarness;

std::string RandomBytes(size_t size) {
  std::mt19937 random(777);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Waits until kvx says on standard error that it holds the channel and waits
// for the other end, so that the second application does not ask at the same
// moment as the first.
bool WaitUntilWaiting(const ToolProcess& tool) {
  const auto deadline = std::chrono::steady_clock::now() + e2e::kLongWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (tool.Stderr().find("waiting for an application at the other end") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// This process's resident size (VmRSS), in bytes.
uint64_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      uint64_t kib = 0;
      status >> kib;
      return kib * 1024;
    }
  }
  return 0;
}

class KvxSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The server end ends with the client end's host, so that a restart of
    // the one restarts both and applications at both ends come back.
    e2e::HostLaunch server;
    server.extraArgs = {"--end-with-peer"};
    ASSERT_TRUE(session.Start(server, launches));
  }
  void TearDown() override {
    std::remove(inputPath.c_str());
  }

  SessionHarness session;
  e2e::HostLaunch launches = [] {
    e2e::HostLaunch launch;
    launch.recordLaunches = true;
    return launch;
  }();
  std::string inputPath;
};

TEST_F(KvxSessionTest, PropertiesAtBothEnds) {
  std::string out;
  EXPECT_EQ(RunTool({"--pipe", SessionHarness::ServerPipe(), "property", "KVXCoreType"}, &out), 0);
  EXPECT_EQ(out, "Server\n");
  EXPECT_EQ(RunTool({"--pipe", SessionHarness::ClientPipe(), "property", "KVXCoreType"}, &out), 0);
  EXPECT_EQ(out, "Client\n");
}

TEST_F(KvxSessionTest, CatMovesAMultiMegabyteFileAcrossTheSession) {
  const std::string contents = RandomBytes(4 * 1024 * 1024 + 3);
  inputPath = MakeTempFile("session-in");
  WriteFile(inputPath, contents);

  ToolProcess receiver({"--pipe", SessionHarness::ServerPipe(), "--timeout", "60", "cat", "e2e.cat"});
  ASSERT_TRUE(WaitUntilWaiting(receiver)) << receiver.Stderr();
  ToolProcess sender({"--pipe", SessionHarness::ClientPipe(), "--timeout", "60", "cat", "-N", "e2e.cat"}, inputPath);
  EXPECT_EQ(sender.Wait(e2e::kLongWait), 0) << sender.Stderr();
  EXPECT_EQ(receiver.Wait(e2e::kLongWait), 0) << receiver.Stderr();
  const std::string received = ReadFile(receiver.StdoutPath());
  EXPECT_EQ(received.size(), contents.size());
  EXPECT_TRUE(received == contents);
}

TEST_F(KvxSessionTest, SendAndListenAcrossTheSession) {
  ToolProcess listener({"--pipe", SessionHarness::ClientPipe(), "--timeout", "60", "listen", "e2e.news",
                        "--count", "1"});
  // listen prints its first notice once the rendezvous has answered it.
  const auto deadline = std::chrono::steady_clock::now() + e2e::kLongWait;
  while (listener.Stdout().find("pending-peer") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string err;
  EXPECT_EQ(RunTool({"--pipe", SessionHarness::ServerPipe(), "--timeout", "60", "send", "e2e.news", "across\t!"},
                    nullptr, &err),
            0)
      << err;
  EXPECT_EQ(listener.Wait(e2e::kLongWait), 0) << listener.Stderr();
  EXPECT_NE(listener.Stdout().find("] 8 bytes: across\\t!"), std::string::npos) << listener.Stdout();
}

TEST_F(KvxSessionTest, ConnectAsksTheClientEndToLaunch) {
  std::string err;
  EXPECT_EQ(RunTool({"--pipe", SessionHarness::ServerPipe(), "--timeout", "1", "connect", "e2e.launch", "--launch",
                     "viewer-app"},
                    nullptr, &err),
            5);
  const auto deadline = std::chrono::steady_clock::now() + e2e::kLongWait;
  while (session.Launches().find("viewer-app") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(session.Launches(), "viewer-app\n");
}

TEST_F(KvxSessionTest, BenchAcrossTheSession) {
  ToolProcess serve({"--pipe", SessionHarness::ServerPipe(), "--timeout", "60", "--json", "bench", "--serve",
                     "--once", "e2e.bench"});
  ASSERT_TRUE(WaitUntilWaiting(serve)) << serve.Stderr();
  std::string out, err;
  EXPECT_EQ(RunTool({"--pipe", SessionHarness::ClientPipe(), "--timeout", "60", "--json", "bench", "e2e.bench",
                     "--pings", "200", "--duration", "1"},
                    &out, &err),
            0)
      << err;
  EXPECT_EQ(serve.Wait(e2e::kLongWait), 0) << serve.Stderr();
  EXPECT_NE(out.find("\"p99\":"), std::string::npos) << out;
  EXPECT_NE(out.find("\"bytes_per_second\":"), std::string::npos) << out;
  // Everything a --json run prints is JSON, its progress lines too.
  for (const std::string& text : {out, err, serve.Stderr()}) {
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      EXPECT_EQ(text.compare(at, 1, "{"), 0) << text.substr(at, end - at);
      EXPECT_EQ(text.compare(end - 1, 1, "}"), 0) << text.substr(at, end - at);
    }
    EXPECT_EQ(at, text.size()) << "a line without its end: " << text.substr(at);
  }
  std::printf("bench across a session: %s", out.c_str());
}

// A receiver that reads nothing while the far sender floods it: its session
// holds no more than its bound, the rest waits in the plug-ins (which hold
// the sender back), and what it holds is the data in order.
TEST_F(KvxSessionTest, AReceiverThatDoesNotReadHoldsItsMemoryFlat) {
  constexpr size_t kBound = 1u << 20, kPiece = 256u << 10, kTotal = 96u << 20;
  sdk::SessionOptions options;
  options.pipeName = SessionHarness::ServerPipe();
  options.maxUnreadBytes = kBound;
  auto receiver = sdk::Session::Open(options);
  options.pipeName = SessionHarness::ClientPipe();
  auto sender = sdk::Session::Open(options);
  ASSERT_TRUE(receiver.Ok() && sender.Ok());
  auto in = (*receiver)->OpenChannel("e2e.flood");
  ASSERT_TRUE(in.Ok() && in->WaitForState(sdk::ChannelState::PendingPeer, e2e::kWaitMs).Ok());
  auto out = (*sender)->OpenChannel("e2e.flood");
  ASSERT_TRUE(out.Ok() && out->WaitConnected(e2e::kWaitMs).Ok() && in->WaitConnected(e2e::kWaitMs).Ok());

  const uint64_t before = ResidentBytes();
  std::atomic<size_t> sent{0};
  std::thread flood([&] {
    std::string piece(kPiece, '\0');
    for (size_t n = 0; n < kTotal / kPiece; ++n) {
      piece[0] = static_cast<char>(n);
      if (out->Send(piece)) return;
      sent += kPiece;
    }
  });
  // Until the sender is done or held back for a while.
  size_t last = 0;
  for (int still = 0; still < 20 && sent.load() < kTotal;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    still = sent.load() == last ? still + 1 : 0;
    last = sent.load();
  }
  const uint64_t grown = ResidentBytes() - before;
  const sdk::SessionStats stats = (*receiver)->Stats();
  std::printf("sent %zu MiB; the receiver holds %llu bytes (peak %llu); resident size grew %.1f MiB\n",
              sent.load() >> 20, static_cast<unsigned long long>(stats.bytesUnread),
              static_cast<unsigned long long>(stats.bytesUnreadPeak), static_cast<double>(grown) / 1048576.0);
  EXPECT_GT(sent.load(), 8 * kBound);
  EXPECT_LE(stats.bytesUnreadPeak, kBound + kPiece + 4096);
  EXPECT_LT(grown, 32u << 20);
  auto first = in->Receive(e2e::kWaitMs);
  ASSERT_TRUE(first.Ok()) << first.GetError().ToString();
  EXPECT_EQ(first->data.size(), kPiece);
  EXPECT_EQ(first->data[0], 0);
  (*sender)->Close();  // ends a send that is held back
  flood.join();
}

// With --reconnect, listen and cat wait for a plug-in that is not there yet
// (its host still starting) as for one that went away, and meet their
// peers once it serves.
TEST(KvxReconnectTest, ListenAndCatWaitForAPluginThatIsNotThereYet) {
  SessionHarness session;
  ToolProcess listener({"--pipe", SessionHarness::ClientPipe(), "listen", "--reconnect", "e2e.later", "--count",
                        "1"});
  ToolProcess cat({"--pipe", SessionHarness::ClientPipe(), "cat", "--reconnect", "e2e.later.cat"});
  const auto deadline = std::chrono::steady_clock::now() + e2e::kLongWait;
  const auto waiting = [](const ToolProcess& tool) {
    return tool.Stderr().find("waiting for a plug-in") != std::string::npos;
  };
  while (!(waiting(listener) && waiting(cat)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(waiting(listener) && waiting(cat)) << listener.Stderr() << cat.Stderr();
  ASSERT_TRUE(session.Start());

  sdk::SessionOptions options;
  options.pipeName = SessionHarness::ServerPipe();
  auto app = sdk::Session::Open(options);
  ASSERT_TRUE(app.Ok()) << app.GetError().ToString();
  for (const char* name : {"e2e.later", "e2e.later.cat"}) {
    auto channel = (*app)->OpenChannel(name);
    ASSERT_TRUE(channel.Ok());
    ASSERT_TRUE(channel->WaitConnected(e2e::kWaitMs).Ok()) << name;
    ASSERT_TRUE(channel->Send("late").Ok());
    ASSERT_TRUE(channel->Disconnect(e2e::kWaitMs).Ok());
  }
  EXPECT_EQ(listener.Wait(e2e::kLongWait), 0) << listener.Stderr();
  EXPECT_NE(listener.Stdout().find("4 bytes: late"), std::string::npos) << listener.Stdout();
  EXPECT_EQ(cat.Wait(e2e::kLongWait), 0) << cat.Stderr();
  EXPECT_EQ(cat.Stdout(), "late");
}

// A session reconnect: one host restarts under running applications (its
// peer ends with it and starts again too). Both ends' applications, a kvx
// listen --reconnect and an SDK session with reconnect, are told the
// channel was lost, come back by themselves and meet on it again.
TEST_F(KvxSessionTest, ApplicationsComeBackAfterTheHostRestarts) {
  ToolProcess listener({"--pipe", SessionHarness::ClientPipe(), "listen", "--reconnect", "e2e.back", "--count", "2"});
  ToolProcess cat({"--pipe", SessionHarness::ClientPipe(), "--timeout", "60", "cat", "--reconnect", "e2e.cat"});
  const auto printedBy = [&](ToolProcess& tool, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + e2e::kLongWait;
    while (tool.Stdout().find(what) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return tool.Stdout().find(what) != std::string::npos;
  };
  const auto printed = [&](const std::string& what) { return printedBy(listener, what); };
  ASSERT_TRUE(printed("pending-peer")) << listener.Stderr();
  sdk::SessionOptions options;
  options.pipeName = SessionHarness::ServerPipe();
  options.reconnect = true;
  options.reconnectMaxDelayMs = 500;
  auto app = sdk::Session::Open(options);
  ASSERT_TRUE(app.Ok()) << app.GetError().ToString();
  auto channel = (*app)->OpenChannel("e2e.back");
  auto toCat = (*app)->OpenChannel("e2e.cat");
  ASSERT_TRUE(channel.Ok() && toCat.Ok());
  ASSERT_TRUE(channel->WaitConnected(e2e::kWaitMs).Ok());
  ASSERT_TRUE(toCat->WaitConnected(e2e::kWaitMs).Ok());
  ASSERT_TRUE(channel->Send("before").Ok());
  ASSERT_TRUE(toCat->Send("before,").Ok());
  ASSERT_TRUE(printed("before"));
  // What is still on its way when the hosts restart is lost with them.
  ASSERT_TRUE(printedBy(cat, "before,")) << cat.Stdout();

  ASSERT_TRUE(session.Restart(false));
  bool lost = false;
  for (;;) {
    auto event = channel->NextEvent(e2e::kWaitMs);
    ASSERT_TRUE(event.Ok()) << event.GetError().ToString();
    if (event->kind == sdk::ChannelEvent::Kind::Lost) {
      EXPECT_EQ(event->error.Code(), sdk::ErrorCode::ConnectionLost) << event->error.ToString();
      lost = true;
    }
    if (lost && event->kind == sdk::ChannelEvent::Kind::Notice && event->state == sdk::ChannelState::Connected) {
      EXPECT_NE(event->channelId, -1);
      break;
    }
  }
  ASSERT_TRUE(channel->Send("after").Ok());
  ASSERT_TRUE(toCat->WaitConnected(e2e::kWaitMs).Ok());
  ASSERT_TRUE(toCat->Send("after").Ok());
  ASSERT_TRUE(toCat->Disconnect(e2e::kWaitMs).Ok());
  EXPECT_EQ(cat.Wait(e2e::kLongWait), 0) << cat.Stderr();
  EXPECT_EQ(cat.Stdout(), "before,after");
  EXPECT_EQ(listener.Wait(e2e::kLongWait), 0) << listener.Stderr();
  EXPECT_NE(listener.Stdout().find("] lost (ID"), std::string::npos) << listener.Stdout();
  EXPECT_NE(listener.Stdout().find("bytes: after"), std::string::npos) << listener.Stdout();
}

}  // namespace
}  // namespace kvxtest
