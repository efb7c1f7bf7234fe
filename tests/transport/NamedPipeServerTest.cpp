// The named pipe server against real clients through the platform layer.
#include "extension/windows/NamedPipeServer.h"

#include <gtest/gtest.h>

#include <atomic>
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
