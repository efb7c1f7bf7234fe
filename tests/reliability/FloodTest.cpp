// A flood through a real session: the applications at both ends write 64 KiB
// messages to each other as fast as they can, one of them reading slowly and
// the other not at all for a while, with a storm of connect requests from both
// ends at the same time. The session must keep moving (no end waits for the
// other for ever), every message must arrive exactly once, whole and in
// order, and each host's peak resident size must grow by no more than its
// queues' bounds and a fixed slack, however long the flood lasts.
//
// The scale comes from the environment, so the same test serves as a short
// ctest case and as the long local run (scripts/stress --flood):
//   KVX_FLOOD_SECONDS    how long the writers write (default 3)
//   KVX_FLOOD_PAUSE_MS   how long the client end's reader reads nothing
//                        (default 2000; below the pipe write time-out of
//                        10 s, after which a reader that never reads is let go)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_pipe.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"
#include "tests/reliability/HostProcess.h"

namespace e2e {
namespace {

constexpr size_t kMessageBytes = 64 * 1024;
// The host simulator holds up to 4096 datagrams of 3000 bytes for the plug-in.
constexpr long kHostQueueKb = 4096 * 3000 / 1024;
// What may move besides the queues: the allocator's caches, thread stacks,
// the read buffers and messages in the hands of the threads.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kSlackKb = 512 * 1024;
#else
constexpr long kSlackKb = 64 * 1024;
#endif

// Message `seq` of direction `dir`: its numbers first, then bytes that only it has.
std::string Payload(uint32_t dir, uint32_t seq) {
  std::string bytes(kMessageBytes - 64, '\0');
  uint32_t state = dir * 0x9E3779B9u ^ (seq * 2654435761u) ^ 0x5bd1e995u;
  for (size_t i = 8; i < bytes.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  std::memcpy(&bytes[0], &dir, 4);
  std::memcpy(&bytes[4], &seq, 4);
  return bytes;
}

// One application on a plain pipe handle, so that it can choose when to read.
struct FloodApp {
  explicit FloodApp(const std::string& pipeName) : pipe(platform::OpenPipeClient(pipeName, kWaitMs)) {}
  ~FloodApp() {
    if (pipe != platform::InvalidPipeHandle()) platform::ClosePipeClient(pipe);
  }
  bool Write(const std::string& bytes) { return platform::WritePipeMessage(pipe, bytes.data(), bytes.size()); }

  platform::PipeHandle pipe;
  int64_t channelId = -1;
  std::atomic<uint32_t> sent{0};
  std::atomic<bool> writing{true};
  std::atomic<uint32_t> received{0};
  std::string failure;
};

// Reads notices until the channel is connected; its ID, or -1.
int64_t AwaitConnected(FloodApp& app) {
  std::string bytes, name;
  int64_t id = -1;
  KVX::ResultCode status;
  while (platform::ReadPipeMessage(app.pipe, &bytes)) {
    if (ParseNotice(bytes, &name, &id, &status) && status == KVX::CONNECTION_CONNECTED) return id;
  }
  return -1;
}

void WriteUntil(FloodApp* app, uint32_t dir, std::chrono::steady_clock::time_point end) {
  while (std::chrono::steady_clock::now() < end) {
    if (!app->Write(TransferRequest(app->channelId, Payload(dir, app->sent.load()), false))) break;
    app->sent.fetch_add(1);
  }
  app->writing.store(false);
}

// Takes every message `from` writes, checking each: nothing may be lost,
// repeated, cut or out of place. `pauseMs` first reads nothing; `slowMs`
// reads slowly while the writer writes.
void ReadAll(FloodApp* app, const FloodApp* from, uint32_t dir, uint32_t pauseMs, uint32_t slowMs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  std::string bytes, name;
  int64_t id = 0;
  KVX::ResultCode status;
  for (;;) {
    const uint32_t seq = app->received.load();
    if (!from->writing.load() && seq == from->sent.load()) return;
    if (!platform::ReadPipeMessage(app->pipe, &bytes)) {
      app->failure = "pipe ended after " + std::to_string(seq) + " messages";
      return;
    }
    if (ParseNotice(bytes, &name, &id, &status)) {
      if (status == KVX::CONNECTION_LOST) {
        app->failure = "channel lost after " + std::to_string(seq) + " messages";
        return;
      }
      continue;
    }
    if (bytes != TransferRequest(from->channelId, Payload(dir, seq), false)) {
      app->failure = "message " + std::to_string(seq) + " is not the one sent";
      return;
    }
    app->received.fetch_add(1);
    if (slowMs != 0 && from->writing.load()) std::this_thread::sleep_for(std::chrono::milliseconds(slowMs));
  }
}

// Connect requests for names of their own from one end, as fast as the
// answers come: every one must be answered while the flood goes on.
void Storm(const std::string& pipeName, const std::string& prefix, int count, int* answered) {
  RawApp app(pipeName);
  for (int i = 0; i < count; ++i) app.Write(ConnectRequest(prefix + std::to_string(i)));
  for (int i = 0; i < count; ++i) {
    if (app.AwaitNotice(KVX::CONNECTION_PENDING_PEER, prefix + std::to_string(i), kWaitMs) < -1) return;
    ++*answered;
  }
}

TEST(FloodTest, BothWaysAtOnceMovesEveryMessageInOrderWithinBoundedMemory) {
  const uint32_t seconds = EnvNumber("KVX_FLOOD_SECONDS", 3);
  const uint32_t pauseMs = EnvNumber("KVX_FLOOD_PAUSE_MS", 2000);
  constexpr int kStorm = 200;
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  const pid_t hosts[2] = {FindHost("server"), FindHost("client")};
  ASSERT_GT(hosts[0], 0);
  ASSERT_GT(hosts[1], 0);

  FloodApp server(SessionHarness::ServerPipe());
  FloodApp client(SessionHarness::ClientPipe());
  ASSERT_TRUE(server.Write(ConnectRequest("flood")));
  ASSERT_TRUE(client.Write(ConnectRequest("flood")));
  server.channelId = AwaitConnected(server);
  client.channelId = AwaitConnected(client);
  ASSERT_GE(server.channelId, 0);
  ASSERT_EQ(client.channelId, server.channelId);
  const HostUsage before[2] = {ReadUsage(hosts[0]), ReadUsage(hosts[1])};

  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  int answered[2] = {0, 0};
  std::vector<std::thread> threads;
  threads.emplace_back(WriteUntil, &server, 0u, end);
  threads.emplace_back(WriteUntil, &client, 1u, end);
  threads.emplace_back(ReadAll, &client, &server, 0u, pauseMs, 0u);  // not at all, then at once
  threads.emplace_back(ReadAll, &server, &client, 1u, 0u, 5u);       // slowly
  threads.emplace_back(Storm, SessionHarness::ServerPipe(), "storm.s.", kStorm, &answered[0]);
  threads.emplace_back(Storm, SessionHarness::ClientPipe(), "storm.c.", kStorm, &answered[1]);
  for (std::thread& thread : threads) thread.join();
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  EXPECT_EQ(client.failure, "");
  EXPECT_EQ(server.failure, "");
  EXPECT_EQ(client.received.load(), server.sent.load());
  EXPECT_EQ(server.received.load(), client.sent.load());
  EXPECT_GT(server.sent.load(), 0u);
  EXPECT_GT(client.sent.load(), 0u);
  EXPECT_EQ(answered[0], kStorm);
  EXPECT_EQ(answered[1], kStorm);

  // Each host carries data both ways: its pipe queue, its PCoIP queue, what
  // the host simulator holds for the plug-in, one message in the hands of
  // each pipe server and of the receive thread.
  const long boundKb = static_cast<long>((ChannelBridge::kPipeQueueBoundBytes +
                                          ChannelBridge::kPcoipQueueBoundBytes + 7 * kMessageBytes) /
                                         1024) +
                       kHostQueueKb;
  const char* names[2] = {"server", "client"};
  for (int h = 0; h < 2; ++h) {
    const HostUsage after = ReadUsage(hosts[h]);
    const long growthKb = after.peakRssKb - before[h].rssKb;
    std::printf("flood: %s host peak resident size %ld -> %ld kB, growth %.1f MiB (bound %.1f MiB + slack %.1f MiB)\n",
                names[h], before[h].rssKb, after.peakRssKb, growthKb / 1024.0, boundKb / 1024.0,
                kSlackKb / 1024.0);
    EXPECT_LE(growthKb, boundKb + kSlackKb) << names[h] << " host grew with the flood";
  }
  std::printf("flood: %u s of 64 KiB messages, %u server->client and %u client->server verified in order, "
              "%d + %d connect requests answered, %.1f s in all\n",
              seconds, client.received.load(), server.received.load(), answered[0], answered[1], took);
  EXPECT_TRUE(session.StopCleanly());
}

}  // namespace
}  // namespace e2e
