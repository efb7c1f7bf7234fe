// The kvx tool, run as a user runs it, against the two ends of a session in
// this process.
#include <cstdlib>
#include <filesystem>
#include <random>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#ifndef _WIN32
  // A pipe that stays open for as long as the test holds `*writer`: input
  // that has not ended.
  std::string OpenInput(int* writer) {
    const std::string fifo = MakeTempFile("fifo");
    files_.push_back(fifo);
    std::remove(fifo.c_str());
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Read and write here: the child's open for reading then finds a writer.
    *writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(*writer, 0);
    return fifo;
  }
#endif

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
  // With --json too, errors go to standard error, never among the results.
  EXPECT_EQ(RunTool({"--pipe", "\\\\.\\pipe\\Nobody_Here", "--json", "connect", "A"}, &out, &err), 3);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find("{\"error\":\"no-server\""), std::string::npos) << err;
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
  // Each kvx send leaves the channel after its data.
  EXPECT_EQ(channel->Receive(5000).GetError().Code(), sdk::ErrorCode::PeerLeft);

  // A file goes byte for byte, by default in messages of 1 MiB and the rest,
  // so that no one message holds a slow link for long.
  const std::string contents = RandomBytes(1600000);
  std::string out;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "--json", "send", "inbox", "--file", TempFile(contents)}, &out), 0);
  EXPECT_NE(out.find("\"bytes\":1600000,\"messages\":2"), std::string::npos) << out;
  std::string received;
  while (received.size() < contents.size()) {
    auto piece = channel->Receive(5000);
    ASSERT_TRUE(piece.Ok()) << piece.GetError().ToString();
    EXPECT_EQ(piece->data.size(), received.empty() ? 1048576u : 1600000u - 1048576u);
    received += piece->data;
  }
  EXPECT_TRUE(received == contents);
  EXPECT_EQ(channel->Receive(5000).GetError().Code(), sdk::ErrorCode::PeerLeft);

  // "-" is standard input; --app-value travels with the data.
  ToolProcess fromStdin({"--pipe", kServerEndPipe, "send", "inbox", "--file=-", "--app-value", "-5"},
                        TempFile("from standard input"));
  EXPECT_EQ(fromStdin.Wait(), 0) << fromStdin.Stderr();
  got = channel->Receive(5000);
  ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
  EXPECT_EQ(got->data, "from standard input");
  EXPECT_EQ(got->appValue, -5);
}

TEST_F(KvxToolTest, ConventionsAndBadInputEndInAMessageAndAnExitCode) {
  std::string out, err;
  EXPECT_EQ(RunTool({"--version"}, &out), 0);
  EXPECT_EQ(out, "kvx " KVX_SDK_VERSION_STRING "\n");
  EXPECT_EQ(RunTool({"help", "cat"}, &out), 0);
  EXPECT_NE(out.find("Usage: kvx cat"), std::string::npos) << out;
  EXPECT_EQ(RunTool({"help", "dance"}, nullptr, &err), 2);
  EXPECT_EQ(RunTool({std::string("--pipe=") + kServerEndPipe, "--timeout=5", "property", "KVXCoreType"}, &out), 0);
  EXPECT_EQ(out, "Server\n");
  EXPECT_EQ(RunTool({"--json=yes", "property", "Hwnds"}, nullptr, &err), 2);

  // A property name in the wrong case is refused, not answered with nothing.
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "property", "hwnds"}, &out, &err), 2);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find("'hwnds' is not a property"), std::string::npos) << err;

  // Files that cannot be read: a message naming the file and the reason.
  const std::string folder = std::filesystem::temp_directory_path().string();
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "send", "x", "--file", folder}, &out, &err), 7);
  EXPECT_NE(err.find(folder), std::string::npos) << err;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "send", "x", "--file", "/no/such/file"}, nullptr, &err), 7);
  EXPECT_NE(err.find("cannot open /no/such/file"), std::string::npos) << err;
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
                ",\"app_value\":9,\"bytes\":5,\"data_base64\":\"dHdvAP8=\"}\n");
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

TEST_F(KvxToolTest, CatFailsWhenThePeerVanishesAndSucceedsWhenItLeaves) {
  const std::string contents = RandomBytes(300000);
  // Either end dies while the channel is up: the other one says so and fails.
  for (bool killSender : {true, false}) {
    const std::string name = killSender ? "sender-dies" : "receiver-dies";
    ToolProcess receiver({"--pipe", kClientEndPipe, "cat", name});
    ASSERT_TRUE(WaitForRegistration(*client, name));
    ToolProcess sender({"--pipe", kServerEndPipe, "cat", name}, TempFile(contents));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(receiver.StdoutPath()).size() == contents.size(); }));
    ToolProcess& victim = killSender ? sender : receiver;
    ToolProcess& survivor = killSender ? receiver : sender;
    victim.Kill();
    EXPECT_EQ(survivor.Wait(std::chrono::seconds(20)), 6) << name;
    EXPECT_NE(survivor.Stderr().find("'" + name + "' was lost"), std::string::npos) << survivor.Stderr();
  }

  // A peer that leaves the channel in the ordinary way ends cat normally.
  ToolProcess cat({"--pipe", kClientEndPipe, "cat", "polite"});
  ASSERT_TRUE(WaitForRegistration(*client, "polite"));
  auto app = OpenAtServerEnd();
  auto channel = app->OpenChannel("polite");
  ASSERT_TRUE(channel.Ok());
  ASSERT_TRUE(channel->WaitConnected(5000).Ok());
  ASSERT_TRUE(channel->Send("goodbye").Ok());
  ASSERT_TRUE(channel->Disconnect(5000).Ok());
  EXPECT_EQ(cat.Wait(std::chrono::seconds(20)), 0) << cat.Stderr();
  EXPECT_EQ(cat.Stdout(), "goodbye");
}

TEST_F(KvxToolTest, CtrlCExits130BeforeAndAfterConnecting) {
#ifdef _WIN32
  GTEST_SKIP() << "no way to send Ctrl-C to another process here";
#endif
  ToolProcess waiting({"--pipe", kServerEndPipe, "--timeout", "0", "cat", "nobody-comes"});
  ASSERT_TRUE(WaitUntil([&] { return waiting.Stderr().find("waiting for an application") != std::string::npos; }));
  ASSERT_TRUE(waiting.Interrupt());
  EXPECT_EQ(waiting.Wait(std::chrono::seconds(20)), 130) << waiting.Stderr();

  ToolProcess connected({"--pipe", kClientEndPipe, "cat", "chat"});
  ToolProcess listening({"--pipe", kClientEndPipe, "listen", "news"});
  ASSERT_TRUE(WaitForRegistration(*client, "chat"));
  ASSERT_TRUE(WaitForRegistration(*client, "news"));
  auto app = OpenAtServerEnd();
  auto chat = app->OpenChannel("chat");
  auto news = app->OpenChannel("news");
  ASSERT_TRUE(chat.Ok() && news.Ok());
  ASSERT_TRUE(chat->WaitConnected(5000).Ok());
  ASSERT_TRUE(news->WaitConnected(5000).Ok());
  ASSERT_TRUE(chat->Send("x").Ok());
  ASSERT_TRUE(WaitUntil([&] { return connected.Stdout() == "x"; }));
  ASSERT_TRUE(connected.Interrupt());
  ASSERT_TRUE(listening.Interrupt());
  EXPECT_EQ(connected.Wait(std::chrono::seconds(20)), 130) << connected.Stderr();
  EXPECT_EQ(listening.Wait(std::chrono::seconds(20)), 130) << listening.Stderr();
}

TEST_F(KvxToolTest, CatSendsInputAsItComesAndKeepsReceivingAfterItsEnd) {
  auto app = OpenAtClientEnd();
  auto channel = app->OpenChannel("talk");
  ASSERT_TRUE(channel.Ok());
  ASSERT_TRUE(WaitForRegistration(*client, "talk"));
#ifndef _WIN32
  // Input from a pipe that stays open: each piece goes out when written.
  const std::string fifo = MakeTempFile("fifo");
  files_.push_back(fifo);
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opened for reading and writing here first: the child's open for reading
  // then finds a writer and does not block the spawn.
  const int input = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(input, 0);
  ToolProcess cat({"--pipe", kServerEndPipe, "--progress", "cat", "talk"}, fifo);
  ASSERT_EQ(write(input, "hi\n", 3), 3);
  auto got = channel->Receive(10000);
  ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
  EXPECT_EQ(got->data, "hi\n");
  ASSERT_EQ(write(input, "bye\n", 4), 4);
  close(input);
  got = channel->Receive(10000);
  ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
  EXPECT_EQ(got->data, "bye\n");
#else
  ToolProcess cat({"--pipe", kServerEndPipe, "--progress", "cat", "talk"}, TempFile("hi\nbye\n"));
  std::string input;
  while (input.size() < 7) {
    auto got = channel->Receive(10000);
    ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
    input += got->data;
  }
  EXPECT_EQ(input, "hi\nbye\n");
#endif
  // The input has ended; the answer still arrives, and the peer leaving ends cat.
  ASSERT_TRUE(channel->Send("answer").Ok());
  ASSERT_TRUE(channel->Disconnect(5000).Ok());
  EXPECT_EQ(cat.Wait(std::chrono::seconds(20)), 0) << cat.Stderr();
  EXPECT_EQ(cat.Stdout(), "answer");
  EXPECT_NE(cat.Stderr().find("sent 0.0 MiB, received 0.0 MiB"), std::string::npos) << cat.Stderr();

  // -w: after the end of input, leave once nothing has arrived for a while.
  auto again = app->OpenChannel("talk");
  ASSERT_TRUE(again.Ok());
  ASSERT_TRUE(WaitForRegistration(*client, "talk"));
  ToolProcess idle({"--pipe", kServerEndPipe, "cat", "talk", "-w", "0.5"});
  ASSERT_TRUE(again->WaitConnected(10000).Ok());
  EXPECT_EQ(idle.Wait(std::chrono::seconds(20)), 0) << idle.Stderr();
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
  // Told no link, it times no second pair.
  EXPECT_EQ(out.find("beside_bulk"), std::string::npos) << out;
}

// Told the link, bench also times a second pair's pings on "<name>.side",
// which the serving end answers too, while its throughput run goes.
TEST_F(KvxToolTest, BenchTimesASecondPairBesideTheBulk) {
  ToolProcess serve({"--pipe", kClientEndPipe, "--json", "bench", "--serve", "--once", "beside"});
  ASSERT_TRUE(WaitForRegistration(*client, "beside"));
  ASSERT_TRUE(WaitForRegistration(*client, "beside.side"));
  std::string out, err;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "--json", "bench", "beside", "--pings", "10", "--duration", "1",
                     "--link-rate", "100", "--link-delay", "0.01"},
                    &out, &err),
            0)
      << err;
  EXPECT_EQ(serve.Wait(std::chrono::seconds(20)), 0) << serve.Stderr();
  const auto number = [&out](const std::string& object, const std::string& key) {
    const size_t at = out.find("\"" + object + "\":{");
    const size_t field = at == std::string::npos ? at : out.find("\"" + key + "\":", at);
    return field == std::string::npos ? -1.0 : std::strtod(out.c_str() + field + key.size() + 3, nullptr);
  };
  EXPECT_NE(out.find("\"beside_bulk_us\":{\"channel\":\"beside.side\""), std::string::npos) << out;
  EXPECT_GT(number("beside_bulk_us", "count"), 0) << out;
  EXPECT_GT(number("beside_bulk_us", "p50"), 0) << out;
  EXPECT_LE(number("beside_bulk_us", "p50"), number("beside_bulk_us", "p99")) << out;
  EXPECT_LE(number("beside_bulk_us", "p99"), number("beside_bulk_us", "max")) << out;
  for (const char* share : {"beside_bulk_queue_share_p50", "beside_bulk_queue_share_p99"}) {
    EXPECT_GE(number("link", share), 0) << share << " in " << out;
    EXPECT_LE(number("link", share), 1) << share << " in " << out;
  }
}

// The protocol has no acknowledgement, but what a side can know it reports:
// a far side gone before the input was all sent, or an interrupted sender.
TEST_F(KvxToolTest, ACutTransferIsNeverASuccess) {
#ifdef _WIN32
  GTEST_SKIP() << "needs input that stays open and Ctrl-C for another process";
#else
  // The far application leaves while the input is still open: exit 6.
  int writer = -1;
  ToolProcess sender({"--pipe", kServerEndPipe, "cat", "-N", "cut.leave"}, OpenInput(&writer));
  ASSERT_TRUE(WaitForRegistration(*server, "cut.leave"));
  auto app = OpenAtClientEnd();
  auto channel = app->OpenChannel("cut.leave");
  ASSERT_TRUE(channel.Ok());
  ASSERT_EQ(write(writer, "part", 4), 4);
  ASSERT_TRUE(channel->Receive(10000).Ok());
  ASSERT_TRUE(channel->Disconnect(5000).Ok());
  EXPECT_EQ(sender.Wait(std::chrono::seconds(20)), 6) << sender.Stderr();
  EXPECT_NE(sender.Stderr().find("left 'cut.leave' before the input was all sent: 4 bytes"), std::string::npos)
      << sender.Stderr();
  close(writer);

  // Ctrl-C on a sending cat: the far side reads the channel lost, not a leave.
  ToolProcess interrupted({"--pipe", kServerEndPipe, "cat", "cut.int"}, OpenInput(&writer));
  ASSERT_TRUE(WaitForRegistration(*server, "cut.int"));
  auto reader = app->OpenChannel("cut.int");
  ASSERT_TRUE(reader.Ok());
  ASSERT_EQ(write(writer, "part", 4), 4);
  ASSERT_TRUE(reader->Receive(10000).Ok());
  ASSERT_TRUE(interrupted.Interrupt());
  EXPECT_EQ(interrupted.Wait(std::chrono::seconds(20)), 130) << interrupted.Stderr();
  EXPECT_NE(interrupted.Stderr().find("interrupted after 4 bytes (0.0 MiB) had been sent on 'cut.int'"),
            std::string::npos)
      << interrupted.Stderr();
  EXPECT_EQ(reader->Receive(10000).GetError().Code(), sdk::ErrorCode::ChannelLost);
  close(writer);

  // Ctrl-C on a receiving cat: the sender, not done, fails and says how far
  // it got; a sending kvx interrupted in turn makes a kvx receiver fail.
  for (bool interruptReceiver : {true, false}) {
    const std::string name = interruptReceiver ? "cut.rx" : "cut.tx";
    ToolProcess receiver({"--pipe", kClientEndPipe, "cat", name});
    ASSERT_TRUE(WaitForRegistration(*client, name));
    ToolProcess tx({"--pipe", kServerEndPipe, "cat", "-N", name}, OpenInput(&writer));
    ASSERT_EQ(write(writer, "12345", 5), 5);
    ASSERT_TRUE(WaitUntil([&] { return receiver.Stdout() == "12345"; }));
    ToolProcess& victim = interruptReceiver ? receiver : tx;
    ToolProcess& survivor = interruptReceiver ? tx : receiver;
    ASSERT_TRUE(victim.Interrupt());
    EXPECT_EQ(victim.Wait(std::chrono::seconds(20)), 130) << victim.Stderr();
    EXPECT_EQ(survivor.Wait(std::chrono::seconds(20)), 6) << name;
    EXPECT_NE(survivor.Stderr().find("5 bytes (0.0 MiB) had been"), std::string::npos) << survivor.Stderr();
    close(writer);
  }

  // send --wait: done only when the far application leaves; one that
  // vanishes after the data fails the send.
  auto inbox = app->OpenChannel("cut.wait");
  ASSERT_TRUE(inbox.Ok());
  ASSERT_TRUE(WaitForRegistration(*client, "cut.wait"));
  ToolProcess waiting({"--pipe", kServerEndPipe, "send", "--wait", "cut.wait", "data"});
  ASSERT_TRUE(inbox->Receive(10000).Ok());
  app.reset();  // vanishes without leaving
  EXPECT_EQ(waiting.Wait(std::chrono::seconds(20)), 6) << waiting.Stderr();
  EXPECT_NE(waiting.Stderr().find("4 bytes (0.0 MiB) had been sent"), std::string::npos) << waiting.Stderr();
#endif
}

// A receiving cat that is interrupted has not taken everything: it closes its
// pipe without leaving, whether or not its own input has ended, so that a
// sender waiting for it to leave fails rather than reading "all received".
TEST_F(KvxToolTest, AnInterruptedReceiverIsNeverASuccessForTheSender) {
#ifdef _WIN32
  GTEST_SKIP() << "no way to send Ctrl-C to another process here";
#else
  ToolProcess receiver({"--pipe", kClientEndPipe, "cat", "rx.int"});  // input: the null device
  ASSERT_TRUE(WaitForRegistration(*client, "rx.int"));
  ToolProcess sender({"--pipe", kServerEndPipe, "send", "--wait", "rx.int", "--file",
                      TempFile(RandomBytes(1 << 20))});
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(receiver.StdoutPath()).size() == (1u << 20); }));
  ASSERT_TRUE(receiver.Interrupt());
  EXPECT_EQ(receiver.Wait(std::chrono::seconds(20)), 130) << receiver.Stderr();
  EXPECT_EQ(sender.Wait(std::chrono::seconds(20)), 6) << sender.Stderr();
  EXPECT_NE(sender.Stderr().find("'rx.int' was lost"), std::string::npos) << sender.Stderr();
#endif
}

// send --wait against a cat, which waits for the sender to leave in turn:
// the default time-out ends the wait (exit 5), and the sender's polite leave
// then ends the cat normally.
TEST_F(KvxToolTest, SendWaitEndsAtItsTimeout) {
  ToolProcess receiver({"--pipe", kClientEndPipe, "cat", "wait.both"});
  ASSERT_TRUE(WaitForRegistration(*client, "wait.both"));
  ToolProcess sender({"--pipe", kServerEndPipe, "send", "--wait", "wait.both", "hello"});
  EXPECT_EQ(sender.Wait(std::chrono::seconds(40)), 5) << sender.Stderr();
  EXPECT_NE(sender.Stderr().find("did not leave within 10000 ms"), std::string::npos) << sender.Stderr();
  EXPECT_EQ(receiver.Wait(std::chrono::seconds(20)), 0) << receiver.Stderr();
  EXPECT_EQ(receiver.Stdout(), "hello");
}

TEST_F(KvxToolTest, SendStreamsItsInputInMessages) {
  auto app = OpenAtClientEnd();
  auto inbox = app->OpenChannel("stream");
  ASSERT_TRUE(inbox.Ok());
  ASSERT_TRUE(WaitForRegistration(*client, "stream"));
  // A file longer than one message goes as several, in order.
  std::string out;
  EXPECT_EQ(RunTool({"--pipe", kServerEndPipe, "--json", "send", "stream", "--file", TempFile("abcdefghij"),
                     "--message-size", "4"},
                    &out),
            0);
  EXPECT_NE(out.find("\"bytes\":10,\"messages\":3"), std::string::npos) << out;
  for (const char* piece : {"abcd", "efgh", "ij"}) {
    auto got = inbox->Receive(5000);
    ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
    EXPECT_EQ(got->data, piece);
  }
  EXPECT_EQ(inbox->Receive(5000).GetError().Code(), sdk::ErrorCode::PeerLeft);
#ifndef _WIN32
  // Input that has not ended goes out as it comes, and Ctrl-C acts at once.
  int writer = -1;
  ToolProcess sender({"--pipe", kServerEndPipe, "send", "stream", "--file", OpenInput(&writer), "--message-size",
                      "4"});
  ASSERT_EQ(write(writer, "12345", 5), 5);
  auto got = inbox->Receive(10000);
  ASSERT_TRUE(got.Ok()) << got.GetError().ToString();
  EXPECT_EQ(got->data, "1234");
  ASSERT_TRUE(sender.Interrupt());
  EXPECT_EQ(sender.Wait(std::chrono::seconds(5)), 130) << sender.Stderr();
  EXPECT_EQ(inbox->Receive(5000).GetError().Code(), sdk::ErrorCode::ChannelLost);
  close(writer);

  // Endless input, interrupted in the middle of its sends.
  ToolProcess endless({"--pipe", kServerEndPipe, "send", "stream", "--file", "/dev/zero", "--message-size", "65536"});
  ASSERT_TRUE(inbox->Receive(10000).Ok());
  ASSERT_TRUE(endless.Interrupt());
  EXPECT_EQ(endless.Wait(std::chrono::seconds(10)), 130);
  EXPECT_NE(endless.Stderr().find("kvx: interrupted after "), std::string::npos) << endless.Stderr();
#endif
}

TEST_F(KvxToolTest, WithJsonEveryErrorIsJsonAndAnUnsafeFolderIsNotAMissingOne) {
  std::string out, err;
  const std::string folder = std::filesystem::temp_directory_path().string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus", "--json", "property", "X"}, "{\"error\":\"usage\",\"message\":\"unknown option --bogus\"}\n"},
      {{"--json"}, "{\"error\":\"usage\",\"message\":\"no command given\"}\n"},
      {{"--json", "--pipe", kServerEndPipe, "send", "x", "--file", "/no/such/file"},
       "{\"error\":\"io-error\",\"message\":\"cannot open /no/such/file: No such file or directory\"}\n"},
      {{"--json", "--pipe", kServerEndPipe, "send", "x", "--file", folder}, "{\"error\":\"io-error\""}};
  for (const auto& c : cases) {
    const int code = RunTool(c.first, &out, &err);
    EXPECT_EQ(code, c.second.find("usage") != std::string::npos ? 2 : 7) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.compare(0, c.second.size(), c.second), 0) << err;
  }
#ifndef _WIN32
  // The pipe folder open to others: refused with its own code (8,
  // access-denied); a missing folder is still "nobody serves here" (3).
  const std::string open = pipeDir.Path() + "/open";
  ASSERT_EQ(mkdir(open.c_str(), 0755), 0);
  ASSERT_EQ(chmod(open.c_str(), 0755), 0);
  setenv("KVX_PIPE_DIR", open.c_str(), 1);
  EXPECT_EQ(RunTool({"--json", "property", "KVXCoreType"}, &out, &err), 8);
  EXPECT_EQ(err.find("{\"error\":\"access-denied\""), 0u) << err;
  EXPECT_NE(err.find("open to group or others"), std::string::npos) << err;
  setenv("KVX_PIPE_DIR", (open + "/missing").c_str(), 1);
  EXPECT_EQ(RunTool({"--json", "property", "KVXCoreType"}, &out, &err), 3);
  EXPECT_EQ(err.find("{\"error\":\"no-server\""), 0u) << err;
  setenv("KVX_PIPE_DIR", pipeDir.Path().c_str(), 1);
#endif
}

}  // namespace
}  // namespace kvxtest
