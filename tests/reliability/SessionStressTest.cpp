// Load through a real session: two host processes loading the plug-in, six
// applications at each end paired on channels of their own, messages of
// random sizes up to 1 MiB in both directions at once, and applications
// leaving and coming back between rounds. Every message must arrive exactly
// once, whole, in order, at the application it was meant for; the hosts'
// file descriptors, threads and memory must stay flat.
//
// The scale comes from the environment so that the same test serves as a
// short ctest case and as the long local run (scripts/stress):
//   KVX_STRESS_MESSAGES  messages per application (default 24; 12 under
//                        ThreadSanitizer, which slows the hosts tenfold)
//   KVX_STRESS_ROUNDS    rounds they are spread over (default 3)
//   KVX_STRESS_CHURN     pipe connect-and-close cycles (default 1000)
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_pipe.h"
#include "tests/reliability/HostProcess.h"
#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

constexpr int kPairs = 6;
constexpr size_t kMaxMessage = 1 << 20;
// How far a host's resident memory may move over the run without counting as
// growth with the traffic. AddressSanitizer holds freed memory back in a
// quarantine of up to 256 MiB before reusing it, which shows as RSS.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kRssSlackKb = 320 * 1024;
#else
constexpr long kRssSlackKb = 128 * 1024;
#endif

// Message m of direction `dir` (0: server to client) on pair p: a header
// that names it, then bytes that only it has. Sizes are spread evenly over
// the orders of magnitude from 16 bytes to 1 MiB, so that most messages are
// small and many are large.
std::string Payload(int pair, int dir, uint32_t seq) {
  std::mt19937 random(static_cast<uint32_t>(pair * 7919 + dir * 104729) ^ (seq * 2654435761u));
  const double exponent = std::uniform_real_distribution<double>(4.0, 20.0)(random);
  size_t size = static_cast<size_t>(std::pow(2.0, exponent));
  size = size < 16 ? 16 : (size > kMaxMessage - 64 ? kMaxMessage - 64 : size);
  std::string bytes(size, '\0');
  const uint32_t header[4] = {0x5354u, static_cast<uint32_t>(pair), static_cast<uint32_t>(dir), seq};
  std::memcpy(&bytes[0], header, sizeof header);
  for (size_t i = sizeof header; i < size; ++i) bytes[i] = static_cast<char>(random());
  return bytes;
}

struct Pair {
  std::unique_ptr<RawApp> server;
  std::unique_ptr<RawApp> client;
  int64_t id = -1;
  uint32_t sent[2] = {0, 0};  // next sequence per direction
  std::string name;
};

// Both applications ask for the channel, or only the one that came back: the
// end that kept its entry then connects it with the ID it already has. (Two
// connect requests crossing on the link while the client end holds a stale
// ID would leave the ends with different IDs for one channel.)
int64_t Rendezvous(Pair& pair, bool serverAsks = true, bool clientAsks = true) {
  if (serverAsks) pair.server->Write(ConnectRequest(pair.name));
  if (clientAsks) pair.client->Write(ConnectRequest(pair.name));
  const int64_t atServer = pair.server->AwaitNotice(KVX::CONNECTION_CONNECTED, pair.name, kWaitMs);
  int64_t atClient = pair.client->AwaitNotice(KVX::CONNECTION_CONNECTED, pair.name, kWaitMs);
  // A client end still holding the ID of a partner that left first confirms
  // that one; the server end then puts it right with a CONNECTED of its own.
  while (atClient >= 0 && atClient != atServer) {
    atClient = pair.client->AwaitNotice(KVX::CONNECTION_CONNECTED, pair.name, kWaitMs);
  }
  return atClient == atServer ? atClient : -3;
}

// Sends `count` messages one way on a pair while another thread takes them
// at the far application and checks each one.
struct Flow {
  RawApp* from;
  RawApp* to;
  int pair;
  int dir;
  int64_t channelId;
  uint32_t firstSeq;
  uint32_t count;
  std::atomic<uint32_t> verified{0};
  std::string failure;
};

void Send(Flow* flow) {
  for (uint32_t i = 0; i < flow->count; ++i) {
    flow->from->Write(TransferRequest(flow->channelId, Payload(flow->pair, flow->dir, flow->firstSeq + i), false));
  }
}

void Receive(Flow* flow) {
  uint32_t expected = flow->firstSeq;
  std::string got, name;
  int64_t id = 0;
  KVX::ResultCode status;
  while (expected < flow->firstSeq + flow->count) {
    if (!flow->to->Next(&got, kWaitMs)) {
      flow->failure = "message " + std::to_string(expected) + " never arrived";
      return;
    }
    if (ParseNotice(got, &name, &id, &status)) {
      // A late word of the rendezvous is harmless; a loss is not.
      if (status == KVX::CONNECTION_LOST) {
        flow->failure = "channel lost during the round: " + name;
        return;
      }
      continue;
    }
    const std::string want = TransferRequest(flow->channelId, Payload(flow->pair, flow->dir, expected), false);
    if (got != want) {
      KVX::Message message;
      std::ostringstream why;
      why << "message " << expected << " of pair " << flow->pair << " dir " << flow->dir << ": got "
          << got.size() << " bytes, wanted " << want.size();
      if (message.ParseFromString(got) && message.request().has_transfer_data()) {
        const std::string& data = message.request().transfer_data().data();
        uint32_t header[4] = {};
        if (data.size() >= sizeof header) std::memcpy(header, data.data(), sizeof header);
        why << " (it is pair " << header[1] << " dir " << header[2] << " seq " << header[3] << ")";
      }
      flow->failure = why.str();
      return;
    }
    ++expected;
    flow->verified.fetch_add(1);
  }
}

TEST(SessionStressTest, SixPairsCarryEveryMessageOnceWholeInOrderWhileApplicationsComeAndGo) {
#if defined(__SANITIZE_THREAD__)
  const uint32_t messages = EnvNumber("KVX_STRESS_MESSAGES", 12);
#else
  const uint32_t messages = EnvNumber("KVX_STRESS_MESSAGES", 24);
#endif
  const uint32_t rounds = std::max<uint32_t>(1, EnvNumber("KVX_STRESS_ROUNDS", 3));
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  const pid_t hosts[2] = {FindHost("server"), FindHost("client")};
  ASSERT_GT(hosts[0], 0);
  ASSERT_GT(hosts[1], 0);

  std::vector<Pair> pairs(kPairs);
  for (int p = 0; p < kPairs; ++p) {
    pairs[p].name = "stress." + std::to_string(p);
    pairs[p].server = std::make_unique<RawApp>(SessionHarness::ServerPipe());
    pairs[p].client = std::make_unique<RawApp>(SessionHarness::ClientPipe());
    // The server end's application first, as an application that launches
    // its partner would.
    ASSERT_TRUE(pairs[p].server->Write(ConnectRequest(pairs[p].name)));
    ASSERT_GE(pairs[p].server->AwaitNotice(KVX::CONNECTION_PENDING_PEER, pairs[p].name, kWaitMs), 0);
    pairs[p].id = Rendezvous(pairs[p], false, true);
    ASSERT_GE(pairs[p].id, 0) << pairs[p].name;
  }

  std::mt19937 random(20240611);
  HostUsage baseline[2];
  uint64_t verified = 0, bytes = 0, comebacks = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t round = 0; round < rounds; ++round) {
    const uint32_t perRound = messages / rounds + (round < messages % rounds ? 1 : 0);
    std::vector<std::unique_ptr<Flow>> flows;
    for (int p = 0; p < kPairs; ++p) {
      for (int dir = 0; dir < 2; ++dir) {
        auto flow = std::make_unique<Flow>();
        flow->from = dir == 0 ? pairs[p].server.get() : pairs[p].client.get();
        flow->to = dir == 0 ? pairs[p].client.get() : pairs[p].server.get();
        flow->pair = p;
        flow->dir = dir;
        flow->channelId = pairs[p].id;
        flow->firstSeq = pairs[p].sent[dir];
        flow->count = perRound;
        for (uint32_t i = 0; i < perRound; ++i) bytes += Payload(p, dir, flow->firstSeq + i).size();
        pairs[p].sent[dir] += perRound;
        flows.push_back(std::move(flow));
      }
    }
    std::vector<std::thread> threads;
    for (auto& flow : flows) {
      threads.emplace_back(Receive, flow.get());
      threads.emplace_back(Send, flow.get());
    }
    for (std::thread& t : threads) t.join();
    for (auto& flow : flows) {
      EXPECT_EQ(flow->failure, "");
      verified += flow->verified.load();
    }
    if (::testing::Test::HasFailure()) break;
    // After the first round the hosts have all they need; the rest must
    // not grow them.
    if (round == 0) {
      for (int h = 0; h < 2; ++h) baseline[h] = ReadUsage(hosts[h]);
    }

    // Between rounds one or two applications leave and come back, at either
    // end; their partners hear the loss and both meet on the channel again.
    const int leaving = 1 + static_cast<int>(random() % 2);
    for (int l = 0; l < leaving; ++l) {
      Pair& pair = pairs[random() % kPairs];
      const bool serverSide = random() % 2 == 0;
      std::unique_ptr<RawApp>& gone = serverSide ? pair.server : pair.client;
      RawApp& stays = serverSide ? *pair.client : *pair.server;
      gone->Close();
      gone = std::make_unique<RawApp>(serverSide ? SessionHarness::ServerPipe() : SessionHarness::ClientPipe());
      ASSERT_GE(stays.AwaitNotice(KVX::CONNECTION_LOST, "", kWaitMs), -1) << pair.name;
      pair.id = Rendezvous(pair, serverSide, !serverSide);
      ASSERT_GE(pair.id, 0) << pair.name << " did not meet again";
      ++comebacks;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const char* names[2] = {"server", "client"};
  for (int h = 0; h < 2; ++h) {
    const HostUsage now = ReadUsage(hosts[h]);
    std::printf("stress: %s host fds %d -> %d, threads %d -> %d, VmRSS %ld -> %ld kB\n", names[h],
                baseline[h].fds, now.fds, baseline[h].threads, now.threads, baseline[h].rssKb,
                now.rssKb);
    EXPECT_LE(now.fds, baseline[h].fds) << names[h] << " host leaks file descriptors";
    EXPECT_LE(now.threads, baseline[h].threads) << names[h] << " host leaks threads";
    // Memory may move with the allocator's caches, but not with the traffic.
    EXPECT_LE(now.rssKb, baseline[h].rssKb + kRssSlackKb) << names[h] << " host memory grew";
  }
  std::printf("stress: %llu messages verified (%.1f MiB) in %.1f s, %llu applications came back\n",
              static_cast<unsigned long long>(verified), bytes / 1048576.0, seconds,
              static_cast<unsigned long long>(comebacks));
  EXPECT_EQ(verified, uint64_t{messages} * kPairs * 2);
  EXPECT_TRUE(session.StopCleanly());
}

// A thousand clients connect and leave while five others hold their
// instances; a seventh waits while all six are taken and is served as soon
// as one is free. The host must end as it began.
TEST(SessionStressTest, PipeChurnLeavesTheHostAsItWasAndAWaitingClientIsServed) {
  const uint32_t cycles = EnvNumber("KVX_STRESS_CHURN", 1000);
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  const pid_t host = FindHost("server");
  ASSERT_GT(host, 0);

  std::vector<std::unique_ptr<RawApp>> holders;
  for (int i = 0; i < 6; ++i) {
    holders.push_back(std::make_unique<RawApp>(SessionHarness::ServerPipe()));
    ASSERT_TRUE(holders.back()->Write(PropertyRequest("KVXCoreType")));
    std::string answer;
    ASSERT_TRUE(holders.back()->Next(&answer, kWaitMs)) << "holder " << i;
  }
  // All six instances are taken: a seventh is not served...
  RawApp seventh(SessionHarness::ServerPipe());
  ASSERT_TRUE(seventh.Write(PropertyRequest("KVXCoreType")));
  std::string answer, value;
  EXPECT_FALSE(seventh.Next(&answer, 1500));
  // ...until one leaves.
  holders.back()->Close();
  holders.pop_back();
  ASSERT_TRUE(seventh.Next(&answer, kWaitMs));
  ASSERT_TRUE(ParsePropertyAnswer(answer, &value));
  EXPECT_EQ(value, "Server");
  seventh.Close();

  const HostUsage before = ReadUsage(host);
  // Five instances stay taken; the sixth serves client after client.
  uint32_t answered = 0;
  const std::string ask = PropertyRequest("KVXCoreType");
  for (uint32_t i = 0; i < cycles; ++i) {
    platform::PipeHandle pipe = platform::OpenPipeClient(SessionHarness::ServerPipe(), kWaitMs);
    ASSERT_NE(pipe, platform::InvalidPipeHandle()) << "cycle " << i;
    // Every tenth client asks something before it goes; the others leave at once.
    if (i % 10 == 0) {
      std::string reply;
      ASSERT_TRUE(platform::WritePipeMessage(pipe, ask.data(), ask.size()));
      ASSERT_TRUE(platform::ReadPipeMessage(pipe, &reply)) << "cycle " << i;
      answered += ParsePropertyAnswer(reply, &value) && value == "Server" ? 1 : 0;
    }
    platform::ClosePipeClient(pipe);
  }
  EXPECT_EQ(answered, (cycles + 9) / 10);
  // The last client's departure may still be under way; give the host a
  // moment to settle before it is measured.
  RawApp last(SessionHarness::ServerPipe());
  ASSERT_TRUE(last.Write(ask));
  ASSERT_TRUE(last.Next(&answer, kWaitMs));
  last.Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const HostUsage after = ReadUsage(host);
  std::printf("churn: %u cycles, host fds %d -> %d, threads %d -> %d, VmRSS %ld -> %ld kB\n", cycles,
              before.fds, after.fds, before.threads, after.threads, before.rssKb, after.rssKb);
  EXPECT_LE(after.fds, before.fds);
  EXPECT_LE(after.threads, before.threads);
  EXPECT_LE(after.rssKb, before.rssKb + 32 * 1024);
  // The five holders were served throughout.
  for (auto& holder : holders) {
    ASSERT_TRUE(holder->Write(ask));
    ASSERT_TRUE(holder->Next(&answer, kWaitMs));
  }
  EXPECT_TRUE(session.StopCleanly());
}

}  // namespace
}  // namespace e2e
