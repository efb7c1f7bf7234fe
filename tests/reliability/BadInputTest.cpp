// Bad input from local applications, against a bridge with its six real pipe
// servers: bytes that are no message, messages cut short, a message over the
// 64 MiB pipe quota, a client that writes and never reads, a client that
// vanishes or stalls in the middle of a message. Each gets its answer or a
// diagnostic, and the other applications go on being served as if nothing
// had happened.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "extension/windows/NamedPipeServer.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"
#include "tests/bridge/BridgeFixture.h"
#include "tests/reliability/RawPipeClient.h"

namespace kvxtest {
namespace {

using Orvane::Extension::Windows::NamedPipeServer;

std::string RandomBytes(uint32_t seed, size_t size) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class BadInputTest : public BridgeFixture {
 protected:
  void SetUp() override {
    BridgeFixture::SetUp();
    Start(true);
    // Two well-behaved applications with a channel each; every case checks
    // that they are unaffected.
    PipeClient& a = Connect(&pipeA);
    PipeClient& b = Connect(&pipeB);
    goodA = &a;
    goodB = &b;
    ASSERT_TRUE(goodA->Write(ConnectRequest("good.a")));
    ASSERT_TRUE(goodB->Write(ConnectRequest("good.b")));
    ASSERT_TRUE(SentToPeer().WaitForCount(2));
    SentToPeer().Clear();
    tableBefore = Table();
  }

  // The well-behaved applications still hold their channels and are still
  // answered, and data for them from the peer still reaches them.
  void ExpectOthersUnaffected() {
    std::vector<ChannelEntry> kept;
    for (const ChannelEntry& entry : Table()) {
      if (entry.pipeId == pipeA || entry.pipeId == pipeB) kept.push_back(entry);
    }
    EXPECT_EQ(kept, tableBefore);
    ExpectNothingMoreFor(*goodA);
    ExpectNothingMoreFor(*goodB);
    int64_t idB = -1;
    for (const ChannelEntry& entry : tableBefore) {
      if (entry.channelName == "good.b") idB = entry.channelId;
    }
    const std::string data = TransferData(idB, "still there");
    bridge->QueuePcoipMessage(data);
    std::string got;
    ASSERT_TRUE(goodB->Read(&got));
    EXPECT_TRUE(got == data);
  }

  int pipeA = -1;
  int pipeB = -1;
  PipeClient* goodA = nullptr;
  PipeClient* goodB = nullptr;
  std::vector<ChannelEntry> tableBefore;
};

TEST_F(BadInputTest, GarbageBytesAreReportedAndForwardedUnchanged) {
  // Bytes that are no KVX message at all: a tag of 0, an end-group tag, a
  // length running past the end, a varint of eleven bytes, and noise.
  const std::vector<std::string> garbage = {
      std::string("\x00\x01\x02", 3), std::string("\x0c", 1), std::string("\xa2\x01\x7f", 3),
      std::string(11, '\xff'), RandomBytes(7, 4096)};
  int pipe = -1;
  PipeClient& bad = Connect(&pipe);
  for (const std::string& bytes : garbage) {
    ASSERT_TRUE(bad.Write(bytes));
  }
  // The peer gets each as written; the far application may know what it is.
  ASSERT_TRUE(SentToPeer().WaitForCount(garbage.size()));
  const std::vector<std::string> sent = SentToPeer().All();
  ASSERT_EQ(sent.size(), garbage.size());
  for (size_t i = 0; i < garbage.size(); ++i) EXPECT_TRUE(sent[i] == garbage[i]) << "unit " << i;
  EXPECT_TRUE(debug.WaitFor("ERROR: PCoiP parse error.", garbage.size()));
  ExpectNothingMoreFor(bad);
  ExpectOthersUnaffected();
}

TEST_F(BadInputTest, TruncatedMessagesAreReportedAndHandledAsFarAsTheyGo) {
  int pipe = -1;
  PipeClient& bad = Connect(&pipe);
  // Data cut short (on a channel its writer holds): reported, then forwarded
  // as received.
  Hold(100, pipe);
  const std::string data = TransferData(100, std::string(300, 'd'));
  const std::string cutData = data.substr(0, data.size() / 2);
  // A connect request cut inside its name: handled as far as it was read,
  // which can register a channel under part of the name; only for the sender.
  const std::string connect = ConnectRequest("truncated.channel.name");
  const std::string cutConnect = connect.substr(0, connect.size() - 3);
  ASSERT_TRUE(bad.Write(cutData));
  ASSERT_TRUE(bad.Write(cutConnect));
  ASSERT_TRUE(SentToPeer().WaitForCount(2));
  const std::vector<std::string> sent = SentToPeer().All();
  EXPECT_TRUE(sent[0] == cutData);
  EXPECT_TRUE(sent[1] == cutConnect);
  for (const ChannelEntry& entry : Table()) {
    if (entry.channelName.rfind("truncated", 0) == 0) {
      EXPECT_EQ(entry.pipeId, pipe) << entry;
    }
  }
  EXPECT_TRUE(debug.WaitFor("ERROR: PCoiP parse error.", 2));
  ExpectNothingMoreFor(bad);
  ExpectOthersUnaffected();
}

TEST_F(BadInputTest, MessageOverThePipeQuotaIsRefusedAndOnlyItsSenderLeaves) {
  int pipe = -1;
  PipeClient& bad = Connect(&pipe);
  ASSERT_TRUE(bad.Write(ConnectRequest("bad.channel")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  SentToPeer().Clear();

  // One byte over the quota: refused with a diagnostic, the client is
  // dropped, and its channel is reported lost to the peer.
  const std::string tooLong = TransferData(1, std::string(NamedPipeServer::kPipeQuota, 'x'));
  ASSERT_GT(tooLong.size(), NamedPipeServer::kPipeQuota);
  bad.Write(tooLong);  // may fail part way once the server hangs up
  EXPECT_TRUE(bad.WaitForEnd(60s));
  ASSERT_TRUE(WaitUntil([&] { return console.Text().find("quota refused") != std::string::npos; }, 60s));
  ASSERT_TRUE(SentToPeer().WaitForCount(1, 30s));
  const std::vector<std::string> sent = SentToPeer().All();
  ASSERT_EQ(sent.size(), 1u) << "nothing of the refused message may reach the peer";
  const NoticeFields lost = ReadNotice(sent[0]);
  EXPECT_EQ(lost.name, "bad.channel");
  EXPECT_EQ(lost.status, KVX::CONNECTION_LOST);
  ExpectOthersUnaffected();
}

TEST_F(BadInputTest, MessageOfExactlyTheQuotaArrivesWhole) {
  // The largest message an application may write: it reaches the peer whole
  // and in one piece.
  // Grow the data until the whole message is exactly the quota long.
  const int64_t idA = IdOf("good.a");
  size_t dataSize = NamedPipeServer::kPipeQuota - 64;
  std::string big = TransferData(idA, std::string(dataSize, 'q'));
  while (big.size() != NamedPipeServer::kPipeQuota) {
    dataSize += NamedPipeServer::kPipeQuota - big.size();
    big = TransferData(idA, std::string(dataSize, 'q'));
  }
  ASSERT_TRUE(goodA->Write(big));
  ASSERT_TRUE(SentToPeer().WaitForCount(1, 60s));
  const std::vector<std::string> sent = SentToPeer().All();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size(), big.size());
  EXPECT_TRUE(sent[0] == big);
  ExpectOthersUnaffected();
}

TEST_F(BadInputTest, ClientThatNeverReadsDoesNotHoldUpTheOthers) {
  int pipe = -1;
  PipeClient& deaf = Connect(&pipe);
  // PipeClient reads in the background; a raw client that never reads is
  // what this case needs.
  RawPipeClient silent(pipeDir.Path());
  ASSERT_TRUE(silent.Connected());
  (void)deaf;
  // Answers pile up unread: a few MiB, well inside the pipe's quota.
  const std::string ask = PropertyRequest(std::string(1000, 'p'));
  for (int i = 0; i < 3000; ++i) ASSERT_TRUE(silent.WriteMessage(ask)) << i;
  // The others are still answered promptly.
  ASSERT_TRUE(goodA->Write(PropertyRequest("KVXCoreType")));
  std::string answer;
  ASSERT_TRUE(goodA->Read(&answer, 20s)) << "a client that never reads stalled the bridge";
  ExpectOthersUnaffected();
}

// Past the quota a write to the pipe waits for the client to make room, on a
// bridge worker holding the lock that serialises every pipe write. The wait
// is bounded: once it runs out, that client is disconnected with a
// diagnostic, its channel reported lost, and the other applications at this
// end are served again. (The time-out is shortened here so that the test
// need not wait the product's ten seconds.)
TEST_F(BadInputTest, ClientThatNeverReadsPastTheQuotaDoesNotStallTheOthers) {
  struct ShortWriteTimeout {
    ShortWriteTimeout() { NamedPipeServer::SetWriteTimeoutMs(500); }
    ~ShortWriteTimeout() { NamedPipeServer::SetWriteTimeoutMs(NamedPipeServer::kWriteTimeoutMs); }
  } shortTimeout;
  RawPipeClient deaf(pipeDir.Path());
  ASSERT_TRUE(deaf.Connected());
  const std::string connect = ConnectRequest("deaf");
  ASSERT_TRUE(deaf.WriteMessage(connect));
  ASSERT_TRUE(WaitUntil([&] {
    for (const ChannelEntry& entry : Table()) {
      if (entry.channelName == "deaf") return true;
    }
    return false;
  }));
  int64_t deafId = -1;
  for (const ChannelEntry& entry : Table()) {
    if (entry.channelName == "deaf") deafId = entry.channelId;
  }
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  SentToPeer().Clear();
  // 160 MiB of data from the peer for the client that never reads: more
  // than the quota, and than the POSIX stand-in's socket buffer, which the
  // kernel sets to twice the quota.
  const std::string chunk = TransferData(deafId, std::string(1 << 20, 'z'));
  for (int i = 0; i < 160; ++i) bridge->QueuePcoipMessage(chunk);
  ASSERT_TRUE(goodA->Write(PropertyRequest("KVXCoreType")));
  std::string answer;
  EXPECT_TRUE(goodA->Read(&answer, 20s)) << "a client that never reads stalled the bridge";

  // The client that never read is gone, with a diagnostic, and its channel
  // is reported lost to the peer.
  EXPECT_TRUE(WaitUntil(
      [&] { return console.Text().find("Pipe client not reading; write timed out") != std::string::npos; }, 20s))
      << console.Text();
  // The bridge says which pipe it was and that a message was lost, once
  // the writer is back from the write the pipe server has just reported.
  int deafPipe = -1;
  WaitUntil(
      [&] {
        for (int pipe = 0; pipe < ChannelBridge::kPipeServerCount && deafPipe < 0; ++pipe) {
          if (debug.CountOf(ChannelBridgeText::WriteTimedOut(pipe)) != 0) deafPipe = pipe;
        }
        return deafPipe >= 0;
      },
      20s);
  EXPECT_GE(deafPipe, 0) << "no diagnostic names the pipe whose write timed out";
  ASSERT_TRUE(SentToPeer().WaitForCount(1, 20s));
  const std::vector<std::string> sent = SentToPeer().All();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ReadNotice(sent[0]).name, "deaf");
  EXPECT_EQ(ReadNotice(sent[0]).status, KVX::CONNECTION_LOST);
  for (const ChannelEntry& entry : Table()) EXPECT_NE(entry.channelName, "deaf");
  deaf.Close();
  ExpectOthersUnaffected();
}

#if !defined(_WIN32)
// Windows pipes deliver a message whole or not at all; only the stand-in's
// framing can be cut part way.
TEST_F(BadInputTest, ClientVanishingMidMessageLeavesNothingBehind) {
  RawPipeClient vanishing(pipeDir.Path());
  ASSERT_TRUE(vanishing.Connected());
  const std::string connect = ConnectRequest("vanishing");
  ASSERT_TRUE(vanishing.WriteMessage(connect));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  SentToPeer().Clear();

  // Announce a message of 1 MiB, send 600 KiB of it (several reads' worth),
  // and go.
  const std::string data = TransferData(1, RandomBytes(3, 1 << 20));
  ASSERT_TRUE(vanishing.WriteRaw(RawPipeClient::Header(static_cast<uint32_t>(data.size())) +
                                 data.substr(0, 600 * 1024)));
  vanishing.Close();

  // Only the lost notice for its channel reaches the peer: no piece of the
  // unfinished message.
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  std::this_thread::sleep_for(300ms);
  const std::vector<std::string> sent = SentToPeer().All();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ReadNotice(sent[0]).name, "vanishing");
  EXPECT_EQ(ReadNotice(sent[0]).status, KVX::CONNECTION_LOST);
  for (const ChannelEntry& entry : Table()) EXPECT_NE(entry.channelName, "vanishing");

  // A short message cut inside its length header, from another client.
  RawPipeClient cut(pipeDir.Path());
  ASSERT_TRUE(cut.Connected());
  ASSERT_TRUE(cut.WriteRaw(std::string("\x10\x00", 2)));
  cut.Close();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(SentToPeer().Count(), 1u);
  ExpectOthersUnaffected();
}
TEST_F(BadInputTest, ClientStalledMidMessageIsLetGoWhileIdleOnesStay) {
  constexpr uint32_t kStallMs = 1000;
  struct ShortStall {
    ShortStall() { NamedPipeServer::SetStalledMessageTimeoutMs(kStallMs); }
    ~ShortStall() { NamedPipeServer::SetStalledMessageTimeoutMs(NamedPipeServer::kStalledMessageTimeoutMs); }
  } shortStall;
  RawPipeClient stalling(pipeDir.Path());
  ASSERT_TRUE(stalling.Connected());
  ASSERT_TRUE(stalling.WriteMessage(ConnectRequest("stalling")));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  SentToPeer().Clear();

  // A message sent slowly, but never pausing for the time-out, is taken.
  const std::string data = TransferData(IdOf("stalling"), RandomBytes(4, 300));
  ASSERT_TRUE(stalling.WriteRaw(RawPipeClient::Header(static_cast<uint32_t>(data.size()))));
  for (size_t at = 0; at < data.size(); at += 100) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kStallMs / 4));
    ASSERT_TRUE(stalling.WriteRaw(data.substr(at, 100)));
  }
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  EXPECT_TRUE(SentToPeer().All()[0] == data);
  SentToPeer().Clear();

  // Then it stops inside a body: it is let go as if it had left, and its
  // channel is lost.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(stalling.WriteRaw(RawPipeClient::Header(static_cast<uint32_t>(data.size())) +
                                data.substr(0, 100)));
  ASSERT_TRUE(SentToPeer().WaitForCount(1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kStallMs));
  EXPECT_EQ(ReadNotice(SentToPeer().All()[0]).name, "stalling");
  EXPECT_EQ(ReadNotice(SentToPeer().All()[0]).status, KVX::CONNECTION_LOST);
  const std::string letGo =
      "Pipe client stalled in the middle of a message; client disconnected. Timeout=1000\n";
  auto timesLetGo = [&] {
    const std::string text = console.Text();
    size_t count = 0;
    for (size_t at = text.find(letGo); at != std::string::npos; at = text.find(letGo, at + 1)) ++count;
    return count;
  };
  EXPECT_EQ(timesLetGo(), 1u);

  // One that stops inside a length header goes the same way, and nothing of
  // either reaches the peer; the idle applications were never touched.
  RawPipeClient cut(pipeDir.Path());
  ASSERT_TRUE(cut.Connected());
  ASSERT_TRUE(cut.WriteRaw(std::string("\x10\x00", 2)));
  EXPECT_TRUE(WaitUntil([&] { return timesLetGo() == 2; }));
  EXPECT_EQ(SentToPeer().Count(), 1u);
  ExpectOthersUnaffected();
}
#endif

}  // namespace
}  // namespace kvxtest
