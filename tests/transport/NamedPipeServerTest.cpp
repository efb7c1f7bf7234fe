// The named pipe server against real clients through the platform layer.
#include "extension/windows/NamedPipeServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/transport/PipeTestSupport.h"

namespace {

using Orvane::Extension::SDK::TransportStatus;
using Orvane::Extension::Windows::NamedPipeServer;
using namespace kvxtest;

const char kPipeName[] = "\\\\.\\pipe\\KVX_Test_Pipe";

// Records what one server's callbacks report, from whatever thread.
class Recorder {
 public:
  void Attach(NamedPipeServer& server) {
    server.SetReceiveCallback([this](std::string bytes) {
      std::lock_guard<std::mutex> guard(lock_);
      messages_.push_back(std::move(bytes));
    });
    server.SetDisconnectCallback([this] {
      std::lock_guard<std::mutex> guard(lock_);
      ++disconnects_;
      disconnectThreads_.push_back(std::this_thread::get_id());
    });
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
  }
  size_t MessageCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.size();
  }
  int Disconnects() {
    std::lock_guard<std::mutex> guard(lock_);
    return disconnects_;
  }
  std::thread::id LastDisconnectThread() {
    std::lock_guard<std::mutex> guard(lock_);
    return disconnectThreads_.empty() ? std::thread::id() : disconnectThreads_.back();
  }
  void ClearMessages() {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.clear();
  }

 private:
  std::mutex lock_;
  std::vector<std::string> messages_;
  int disconnects_ = 0;
  std::vector<std::thread::id> disconnectThreads_;
};

class NamedPipeServerTest : public ::testing::Test {
 protected:
  ScopedPipeDir pipeDir;
  CoutCapture output;
};

TEST_F(NamedPipeServerTest, StartListensOnceAndReportsTheConnectStatus) {
  NamedPipeServer server(kPipeName, 6);
  EXPECT_EQ(server.Start(), TransportStatus::Ok);
  EXPECT_EQ(output.Text(), "Connect status: 997\n");

  // A second Start on a running server changes nothing and prints nothing.
  EXPECT_EQ(server.Start(), TransportStatus::Ok);
  EXPECT_EQ(output.Text(), "Connect status: 997\n");
}

TEST_F(NamedPipeServerTest, InstanceCountZeroMeansOneInstance) {
  NamedPipeServer first(kPipeName, 0);
  NamedPipeServer second(kPipeName, 0);
  ASSERT_EQ(first.Start(), TransportStatus::Ok);
  output.Clear();
  EXPECT_EQ(second.Start(), TransportStatus::Failed);
  EXPECT_EQ(output.Text(), "Failed to create NamedPipe client. Error=231\n");
}

TEST_F(NamedPipeServerTest, SixClientsAtOnceAndASeventhWaitsForAFreeInstance) {
  // Recorders outlive the servers, whose deletion still reports to them.
  std::vector<std::unique_ptr<Recorder>> recorders;
  std::vector<std::unique_ptr<NamedPipeServer>> servers;
  for (int i = 0; i < 6; ++i) {
    servers.push_back(std::make_unique<NamedPipeServer>(kPipeName, 6));
    recorders.push_back(std::make_unique<Recorder>());
    recorders.back()->Attach(*servers.back());
    ASSERT_EQ(servers.back()->Start(), TransportStatus::Ok);
  }

  // A seventh server finds every instance taken.
  NamedPipeServer seventhServer(kPipeName, 6);
  output.Clear();
  EXPECT_EQ(seventhServer.Start(), TransportStatus::Failed);
  EXPECT_EQ(output.Text(), "Failed to create NamedPipe client. Error=231\n");

  std::vector<std::unique_ptr<PipeClient>> clients;
  for (int i = 0; i < 6; ++i) {
    clients.push_back(std::make_unique<PipeClient>(kPipeName));
    ASSERT_TRUE(clients.back()->Connected());
    ASSERT_TRUE(clients.back()->Write("client " + std::to_string(i)));
  }
  // Every client's message reaches exactly one server, and each server has
  // exactly one client.
  std::vector<int> serverOfClient(6, -1);
  ASSERT_TRUE(WaitUntil([&] {
    size_t total = 0;
    for (auto& recorder : recorders) total += recorder->MessageCount();
    return total == 6;
  }));
  for (int s = 0; s < 6; ++s) {
    auto messages = recorders[s]->Messages();
    ASSERT_EQ(messages.size(), 1u) << "server " << s;
    const int client = messages[0].back() - '0';
    ASSERT_EQ(serverOfClient[client], -1);
    serverOfClient[client] = s;
  }
  // Replies go to the client of the server that sends them.
  for (int c = 0; c < 6; ++c) {
    EXPECT_EQ(servers[serverOfClient[c]]->Send("reply " + std::to_string(c)), TransportStatus::Ok);
  }
  for (int c = 0; c < 6; ++c) {
    std::string reply;
    ASSERT_TRUE(clients[c]->Read(&reply));
    EXPECT_EQ(reply, "reply " + std::to_string(c));
  }

  // A seventh client is not served while all six are busy. (Where opening
  // waits for a free instance, the open itself waits; hence its own thread.)
  std::unique_ptr<PipeClient> seventh;
  std::atomic<bool> seventhWrote{false};
  std::thread seventhThread([&] {
    seventh = std::make_unique<PipeClient>(kPipeName);
    seventhWrote = seventh->Connected() && seventh->Write("seventh");
  });
  std::this_thread::sleep_for(200ms);
  size_t total = 0;
  for (auto& recorder : recorders) total += recorder->MessageCount();
  EXPECT_EQ(total, 6u);

  // ...until one leaves: that server reports the departure, then serves it.
  const int leaving = 3;
  const int freed = serverOfClient[leaving];
  clients[leaving]->Close();
  seventhThread.join();
  ASSERT_TRUE(seventhWrote.load());
  ASSERT_TRUE(WaitUntil([&] { return recorders[freed]->MessageCount() == 2; }));
  EXPECT_EQ(recorders[freed]->Messages()[1], "seventh");
  EXPECT_EQ(recorders[freed]->Disconnects(), 1);
  EXPECT_EQ(servers[freed]->Send("welcome"), TransportStatus::Ok);
  std::string welcome;
  ASSERT_TRUE(seventh->Read(&welcome));
  EXPECT_EQ(welcome, "welcome");
}

TEST_F(NamedPipeServerTest, ServesSuccessiveClientsInOrderWithoutRestart) {
  Recorder recorder;  // outlives the server, whose deletion reports to it
  NamedPipeServer server(kPipeName, 6);
  recorder.Attach(server);
  ASSERT_EQ(server.Start(), TransportStatus::Ok);

  {
    PipeClient first(kPipeName);
    ASSERT_TRUE(first.Write("one"));
    ASSERT_TRUE(first.Write(std::string("t\0o", 3)));
    ASSERT_TRUE(first.Write("three"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == 3; }));
  }
  ASSERT_TRUE(WaitUntil([&] { return recorder.Disconnects() == 1; }));
  EXPECT_EQ(recorder.Messages(), (std::vector<std::string>{"one", std::string("t\0o", 3), "three"}));
  // The client has gone and no other came: nothing to write to.
  EXPECT_EQ(server.Send("nobody"), TransportStatus::Failed);

  PipeClient second(kPipeName);
  ASSERT_TRUE(second.Write("again"));
  ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == 4; }));
  EXPECT_EQ(recorder.Messages()[3], "again");
  EXPECT_EQ(server.Send("hello"), TransportStatus::Ok);
  std::string reply;
  ASSERT_TRUE(second.Read(&reply));
  EXPECT_EQ(reply, "hello");
  EXPECT_EQ(recorder.Disconnects(), 1);
}

// The owner wakes its worker once per batch the reader hands on, so every
// message must be followed by a caught-up call before the reader sleeps, and
// a burst must not go unannounced for longer than the batch limit.
TEST_F(NamedPipeServerTest, EveryMessageHandedOnIsAnnouncedByACaughtUpCallInBatches) {
  std::mutex lock;
  std::vector<int> sinceCatchUp{0};  // messages before each call, and after the last
  NamedPipeServer server(kPipeName, 6);
  server.SetReceiveCallback([&](std::string) {
    std::lock_guard<std::mutex> guard(lock);
    ++sinceCatchUp.back();
  });
  server.SetCaughtUpCallback([&] {
    std::lock_guard<std::mutex> guard(lock);
    sinceCatchUp.push_back(0);
  });
  ASSERT_EQ(server.Start(), TransportStatus::Ok);
  PipeClient client(kPipeName);
  const int kBurst = 200;
  for (int round = 1; round <= 2; ++round) {
    for (int i = 0; i < kBurst; ++i) ASSERT_TRUE(client.Write(std::string(100, 'x')));
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> guard(lock);
      int total = 0;
      for (int count : sinceCatchUp) total += count;
      return total == round * kBurst && sinceCatchUp.back() == 0;
    })) << "round " << round;
  }
  std::lock_guard<std::mutex> guard(lock);
  sinceCatchUp.pop_back();
  for (int count : sinceCatchUp) {
    EXPECT_GE(count, 1);
    EXPECT_LE(count, static_cast<int>(NamedPipeServer::kMessagesPerCatchUp));
  }
}

// A host may start the plug-in from a thread that ends soon after. On
// Windows the system cancels the I/O a thread issued when it ends, and that
// includes the connect Start leaves pending; the server must listen again
// rather than go deaf.
TEST_F(NamedPipeServerTest, StartedFromAThreadThatHasEndedStillServesClients) {
  Recorder recorder;
  NamedPipeServer server(kPipeName, 6);
  recorder.Attach(server);
  TransportStatus started = TransportStatus::Failed;
  std::thread starter([&] { started = server.Start(); });
  starter.join();
  ASSERT_EQ(started, TransportStatus::Ok);

  for (int round = 0; round < 2; ++round) {
    PipeClient client(kPipeName);
    ASSERT_TRUE(client.Connected()) << "round " << round;
    ASSERT_TRUE(client.Write("after the starter ended"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == static_cast<size_t>(round) + 1; }))
        << "round " << round << ": " << output.Text();
    EXPECT_EQ(server.Send("answer"), TransportStatus::Ok);
    std::string reply;
    ASSERT_TRUE(client.Read(&reply));
    EXPECT_EQ(reply, "answer");
  }
}

TEST_F(NamedPipeServerTest, EmptyMessagesTravelAsEmptyPipeMessages) {
  Recorder recorder;  // outlives the server, whose deletion reports to it
  NamedPipeServer server(kPipeName, 6);
  recorder.Attach(server);
  ASSERT_EQ(server.Start(), TransportStatus::Ok);

  PipeClient client(kPipeName);
  // An empty message from the client gives no callback; the next one arrives.
  ASSERT_TRUE(client.Write(""));
  ASSERT_TRUE(client.Write("after"));
  ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() >= 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(recorder.Messages(), std::vector<std::string>{"after"});

  // Towards the client, an empty string is a message of its own.
  EXPECT_EQ(server.Send(""), TransportStatus::Ok);
  EXPECT_EQ(server.Send("0123456789"), TransportStatus::Ok);
  std::string first;
  std::string second;
  ASSERT_TRUE(client.Read(&first));
  ASSERT_TRUE(client.Read(&second));
  EXPECT_EQ(first, "");
  EXPECT_EQ(second, "0123456789");
}

TEST_F(NamedPipeServerTest, LongMessagesArriveWholeInOneCallback) {
  Recorder recorder;  // outlives the server, whose deletion reports to it
  NamedPipeServer server(kPipeName, 6);
  recorder.Attach(server);
  ASSERT_EQ(server.Start(), TransportStatus::Ok);
  PipeClient client(kPipeName);
  output.Clear();

  const std::vector<size_t> sizes = {NamedPipeServer::kReadBufferSize,
                                     NamedPipeServer::kReadBufferSize + 1, 300 * 1024,
                                     10 * 1024 * 1024, 7};
  std::vector<std::string> sent;
  for (size_t i = 0; i < sizes.size(); ++i) {
    sent.push_back(PatternBytes(sizes[i], static_cast<unsigned>(i)));
    ASSERT_TRUE(client.Write(sent.back()));
  }
  ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == sizes.size(); }, 60s));
  const auto received = recorder.Messages();
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(received[i].size(), sizes[i]);
    EXPECT_TRUE(received[i] == sent[i]) << "message " << i << " differs";
  }
  // A long message is not an error.
  EXPECT_EQ(output.Text(), "");

  // The other way, a 10 MB message is one pipe message too.
  EXPECT_EQ(server.Send(sent[3]), TransportStatus::Ok);
  std::string echoed;
  ASSERT_TRUE(client.Read(&echoed, 60s));
  EXPECT_TRUE(echoed == sent[3]);
}

TEST_F(NamedPipeServerTest, AClientConnectingAtOnceAfterStartLosesNoPieceOfALongMessage) {
  // A client that connects while the server's reader thread is only starting
  // meets the connect's completion and the first reads close together; each
  // round repeats that moment, since it goes wrong only in some interleavings.
  // A long message then arrives once on a read already waiting for it and once
  // already queued when the read starts, so that the pieces complete both
  // later and at once.
  const size_t longSize = NamedPipeServer::kReadBufferSize + 1;
  const std::string waitedFor = PatternBytes(longSize, 1);
  const std::string queued = PatternBytes(longSize, 2);
  const std::vector<std::string> expected = {"hello", waitedFor, queued, "end"};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Recorder recorder;  // outlives the server, whose deletion reports to it
    NamedPipeServer server(kPipeName, 6);
    recorder.Attach(server);
    ASSERT_EQ(server.Start(), TransportStatus::Ok);
    PipeClient client(kPipeName);
    ASSERT_TRUE(client.Connected());
    output.Clear();

    ASSERT_TRUE(client.Write("hello"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == 1; }, 5s));
    // The server's next read is under way now, with nothing to take yet.
    ASSERT_TRUE(client.Write(waitedFor));
    ASSERT_TRUE(client.Write(queued));
    ASSERT_TRUE(client.Write("end"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == expected.size(); }, 5s))
        << recorder.MessageCount() << " messages arrived";
    const auto received = recorder.Messages();
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(received[i].size(), expected[i].size()) << "message " << i;
      EXPECT_TRUE(received[i] == expected[i]) << "message " << i << " differs";
    }
    EXPECT_EQ(output.Text(), "");
    if (HasFailure()) break;
  }
}

TEST_F(NamedPipeServerTest, MessageOverTheQuotaIsRefusedAndOnlyItsClientDropped) {
  // Only sizes are kept: the messages here are tens of megabytes.
  std::mutex lock;
  std::vector<size_t> greedySizes;
  std::vector<std::string> politeMessages;
  std::atomic<int> greedyDisconnects{0};
  NamedPipeServer greedyServer(kPipeName, 6);
  NamedPipeServer politeServer(kPipeName, 6);
  greedyServer.SetReceiveCallback([&](std::string bytes) {
    std::lock_guard<std::mutex> guard(lock);
    greedySizes.push_back(bytes.size());
  });
  greedyServer.SetDisconnectCallback([&] { ++greedyDisconnects; });
  politeServer.SetReceiveCallback([&](std::string bytes) {
    std::lock_guard<std::mutex> guard(lock);
    politeMessages.push_back(std::move(bytes));
  });
  ASSERT_EQ(greedyServer.Start(), TransportStatus::Ok);

  // The greedy client connects while only the first server listens.
  auto greedy = std::make_unique<PipeClient>(kPipeName);
  ASSERT_TRUE(greedy->Write("hello"));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return greedySizes.size() == 1;
  }));
  ASSERT_EQ(politeServer.Start(), TransportStatus::Ok);
  PipeClient polite(kPipeName);
  output.Clear();

  // Exactly the quota is still one message.
  const size_t quota = NamedPipeServer::kPipeQuota;
  {
    std::string atQuota(quota, 'q');
    ASSERT_TRUE(greedy->Write(atQuota));
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return greedySizes.size() == 2;
  }, 60s));
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(greedySizes[1], quota);
  }

  // One byte more is refused: the client is disconnected, its message
  // dropped. The write may fail part-way when the server drops the client.
  std::thread writer([&] {
    std::string overQuota(quota + 1, 'x');
    greedy->Write(overQuota);
  });
  ASSERT_TRUE(polite.Write("still here"));
  EXPECT_TRUE(greedy->WaitForEnd(60s));
  writer.join();
  ASSERT_TRUE(WaitUntil([&] { return greedyDisconnects.load() == 1; }));
  EXPECT_NE(output.Text().find("refused"), std::string::npos) << output.Text();
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(greedySizes.size(), 2u);
  }

  // The other client goes on as before, and the refusing server takes the
  // next client.
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return politeMessages.size() == 1;
  }));
  EXPECT_EQ(politeMessages[0], "still here");
  EXPECT_EQ(politeServer.Send("ok"), TransportStatus::Ok);
  std::string reply;
  ASSERT_TRUE(polite.Read(&reply));
  EXPECT_EQ(reply, "ok");

  greedy.reset();
  PipeClient next(kPipeName);
  ASSERT_TRUE(next.Write("next"));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return greedySizes.size() == 3;
  }));
  EXPECT_EQ(greedySizes[2], 4u);
}

// Shortens the write time-out of every server for one test, so that it need
// not wait the product's ten seconds, and restores it afterwards.
class ShortWriteTimeout {
 public:
  explicit ShortWriteTimeout(uint32_t timeoutMs) { NamedPipeServer::SetWriteTimeoutMs(timeoutMs); }
  ~ShortWriteTimeout() { NamedPipeServer::SetWriteTimeoutMs(NamedPipeServer::kWriteTimeoutMs); }
};

TEST_F(NamedPipeServerTest, SendToAClientThatNeverReadsTimesOutAndDropsOnlyThatClient) {
  constexpr uint32_t kTimeoutMs = 1000;
  ShortWriteTimeout shortTimeout(kTimeoutMs);
  Recorder deafRecorder;
  Recorder otherRecorder;
  NamedPipeServer deafServer(kPipeName, 6);
  NamedPipeServer otherServer(kPipeName, 6);
  deafRecorder.Attach(deafServer);
  otherRecorder.Attach(otherServer);
  ASSERT_EQ(deafServer.Start(), TransportStatus::Ok);

  // A client that writes once and never reads; it connects while only the
  // first server listens.
  platform::PipeHandle deaf = platform::OpenPipeClient(kPipeName, 5000);
  ASSERT_NE(deaf, platform::InvalidPipeHandle());
  ASSERT_TRUE(platform::WritePipeMessage(deaf, "hello", 5));
  ASSERT_TRUE(WaitUntil([&] { return deafRecorder.MessageCount() == 1; }));
  ASSERT_EQ(otherServer.Start(), TransportStatus::Ok);
  PipeClient other(kPipeName);
  ASSERT_TRUE(other.Connected());
  output.Clear();

  // Sends until the unread messages fill what the pipe holds and one can no
  // longer go out.
  const std::string chunk = PatternBytes(1u << 20, 9);
  int sent = 0;
  TransportStatus status = TransportStatus::Ok;
  std::chrono::milliseconds took{0};
  while (sent < 400) {
    const auto start = std::chrono::steady_clock::now();
    status = deafServer.Send(chunk);
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (status != TransportStatus::Ok) break;
    ++sent;
  }
  ASSERT_EQ(status, TransportStatus::Failed) << "every send went out; nothing filled up";
  EXPECT_GT(sent, 0);
  EXPECT_GE(took.count(), static_cast<int64_t>(kTimeoutMs) - 50);
  EXPECT_LT(took.count(), static_cast<int64_t>(kTimeoutMs) + 10000);
  EXPECT_NE(output.Text().find("Pipe client not reading; write timed out, client disconnected. Timeout=1000\n"),
            std::string::npos)
      << output.Text();

  // The server lets the client go once, from its reader thread, and does not
  // wait for it again.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(deafServer.Send("after"), TransportStatus::Failed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kTimeoutMs));
  ASSERT_TRUE(WaitUntil([&] { return deafRecorder.Disconnects() == 1; }));
  EXPECT_NE(deafRecorder.LastDisconnectThread(), std::this_thread::get_id());

  // The client finds only whole messages, then the end: never the piece
  // that was cut, nor anything glued to it. (On Windows the disconnect
  // discards what the client had not read; the POSIX stand-in leaves it to
  // be read.)
  int whole = 0;
  std::string message;
  while (platform::ReadPipeMessage(deaf, &message)) {
    EXPECT_TRUE(message == chunk) << "message " << whole;
    ++whole;
  }
  EXPECT_LE(whole, sent);
  platform::ClosePipeClient(deaf);
  EXPECT_EQ(deafRecorder.Disconnects(), 1);

  // The other client was never affected.
  ASSERT_TRUE(other.Write("still here"));
  ASSERT_TRUE(WaitUntil([&] { return otherRecorder.MessageCount() == 1; }));
  EXPECT_EQ(otherServer.Send("ok"), TransportStatus::Ok);
  std::string reply;
  ASSERT_TRUE(other.Read(&reply));
  EXPECT_EQ(reply, "ok");
  EXPECT_EQ(otherRecorder.Disconnects(), 0);

  // The same instance serves a new client both ways.
  PipeClient next(kPipeName);
  ASSERT_TRUE(next.Connected());
  ASSERT_TRUE(next.Write("next"));
  ASSERT_TRUE(WaitUntil([&] { return deafRecorder.MessageCount() == 2; }));
  EXPECT_EQ(deafRecorder.Messages()[1], "next");
  EXPECT_EQ(deafServer.Send("welcome"), TransportStatus::Ok);
  ASSERT_TRUE(next.Read(&reply));
  EXPECT_EQ(reply, "welcome");
  EXPECT_EQ(deafRecorder.Disconnects(), 1);
}

TEST_F(NamedPipeServerTest, StopEndsTheClientAndStartServesAgain) {
  Recorder recorder;  // outlives the server, whose deletion reports to it
  NamedPipeServer server(kPipeName, 6);
  recorder.Attach(server);

  // Before any Start there is nothing to stop or to write to.
  server.Stop();
  EXPECT_EQ(recorder.Disconnects(), 0);
  EXPECT_EQ(server.Send("early"), TransportStatus::Failed);

  ASSERT_EQ(server.Start(), TransportStatus::Ok);
  PipeClient silent(kPipeName);
  ASSERT_TRUE(silent.Write("hi"));
  ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == 1; }));

  server.Stop();
  EXPECT_EQ(recorder.Disconnects(), 1);
  EXPECT_EQ(recorder.LastDisconnectThread(), std::this_thread::get_id());
  EXPECT_TRUE(silent.WaitForEnd());
  EXPECT_EQ(server.Send("late"), TransportStatus::Failed);
  server.Stop();
  EXPECT_EQ(recorder.Disconnects(), 1);

  // A new instance and a new reader thread.
  output.Clear();
  ASSERT_EQ(server.Start(), TransportStatus::Ok);
  EXPECT_EQ(output.Text(), "Connect status: 997\n");
  PipeClient fresh(kPipeName);
  ASSERT_TRUE(fresh.Write("fresh"));
  ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == 2; }));
  EXPECT_EQ(recorder.Messages()[1], "fresh");
  EXPECT_EQ(server.Send("back"), TransportStatus::Ok);
  std::string reply;
  ASSERT_TRUE(fresh.Read(&reply));
  EXPECT_EQ(reply, "back");
  EXPECT_EQ(recorder.Disconnects(), 1);
}

TEST_F(NamedPipeServerTest, DeletingAServerReportsTheDepartureOnlyWhenRunning) {
  Recorder idleRecorder;
  {
    NamedPipeServer idle(kPipeName, 6);
    idleRecorder.Attach(idle);
  }
  EXPECT_EQ(idleRecorder.Disconnects(), 0);

  Recorder recorder;
  auto server = std::make_unique<NamedPipeServer>(kPipeName, 6);
  recorder.Attach(*server);
  ASSERT_EQ(server->Start(), TransportStatus::Ok);
  PipeClient client(kPipeName);
  ASSERT_TRUE(client.Write("x"));
  ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == 1; }));
  server.reset();
  EXPECT_EQ(recorder.Disconnects(), 1);
  EXPECT_TRUE(client.WaitForEnd());

  // The instance it held is free again.
  NamedPipeServer again(kPipeName, 1);
  EXPECT_EQ(again.Start(), TransportStatus::Ok);
}

TEST_F(NamedPipeServerTest, SendsRacingStopNeverFailOtherwiseThanCleanly) {
  NamedPipeServer server(kPipeName, 6);
  ASSERT_EQ(server.Start(), TransportStatus::Ok);
  PipeClient client(kPipeName);
  ASSERT_TRUE(client.Write("connected"));
  std::this_thread::sleep_for(50ms);

  std::atomic<bool> stop{false};
  std::atomic<int> afterStopOk{0};
  std::atomic<bool> stopped{false};
  std::thread sender([&] {
    while (!stop.load()) {
      const bool wasStopped = stopped.load();
      const TransportStatus status = server.Send("ping");
      if (wasStopped && status == TransportStatus::Ok) ++afterStopOk;
    }
  });
  std::this_thread::sleep_for(20ms);
  server.Stop();
  stopped = true;
  std::this_thread::sleep_for(20ms);
  stop = true;
  sender.join();
  EXPECT_EQ(afterStopOk.load(), 0);
}

}  // namespace

namespace {
TEST_F(NamedPipeServerTest, OwnerWritesNeverWaitForAClientThatDoesNotReadAndLoseNothing) {
  Recorder recorder;
  NamedPipeServer server(kPipeName, 6);
  recorder.Attach(server);
  ASSERT_EQ(server.Start(), TransportStatus::Ok);
  platform::PipeHandle client = platform::OpenPipeClient(kPipeName, 5000);
  ASSERT_NE(client, platform::InvalidPipeHandle());
  ASSERT_TRUE(platform::WritePipeMessage(client, "hello", 5));
  ASSERT_TRUE(WaitUntil([&] { return recorder.MessageCount() == 1; }));
  const uint64_t id = server.CurrentClient();

  // Far more than the pipe holds, queued and written by the owner while the
  // client reads nothing: were any of these calls to wait for the client,
  // they would hold until the write time-out let it go, and the messages
  // would be lost. Small ones go in between, by the writer's own path.
  constexpr int kLarge = 80;
  std::vector<std::string> expected;
  for (int i = 0; i < kLarge; ++i) {
    expected.push_back(PatternBytes((1u << 20) + static_cast<size_t>(i), static_cast<unsigned>(i)));
    ASSERT_TRUE(server.QueueToClient(id, expected.back(), NamedPipeServer::WhenFull::kPass,
                                    NamedPipeServer::WriteBy::kCaller));
    if (i % 16 == 5) {
      expected.push_back("small " + std::to_string(i));
      ASSERT_TRUE(server.QueueToClient(id, expected.back(), NamedPipeServer::WhenFull::kPass));
    }
    if (i % 3 == 0) server.WriteQueuedNow();
  }
  server.WriteQueuedNow();

  // Once the client reads, every message arrives whole and in order.
  std::string message;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(platform::ReadPipeMessage(client, &message)) << i;
    ASSERT_TRUE(message == expected[i]) << i << ": " << message.size() << " bytes";
  }
  // And a plain Send still follows them, whole.
  EXPECT_EQ(server.Send("after"), TransportStatus::Ok);
  ASSERT_TRUE(platform::ReadPipeMessage(client, &message));
  EXPECT_EQ(message, "after");
  platform::ClosePipeClient(client);
}
}  // namespace
