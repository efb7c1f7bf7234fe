#include "platform/named_pipe.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/last_error.h"
#include "tests/platform/pipe_test_util.h"

namespace platform {
namespace {

using namespace testing_pipe;
using std::chrono::milliseconds;

std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// A raw Unix socket, to play a client written in any language, or a foreign
// server.
int RawConnect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int RawListen(const std::string& path, bool listening) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  if (listening) listen(fd, 4);
  return fd;
}

bool RawReadAll(int fd, char* out, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, out, n, 0);
    if (r <= 0) return false;
    out += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// ---------------------------------------------------------------- naming

TEST_F(PipeTest, NoServerMeansFileNotFound) {
  Client c;
  EXPECT_FALSE(c.valid());
  EXPECT_EQ(c.error, kErrorFileNotFound);
}

TEST_F(PipeTest, SocketLivesAtPipeDirWithOwnerOnlyModeAndGoesWithTheLastInstance) {
  {
    ServerInstance a;
    ServerInstance b;
    ASSERT_TRUE(a.valid());
    ASSERT_TRUE(b.valid());
    struct stat st{};
    ASSERT_EQ(lstat(SocketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    a.Close();
    EXPECT_EQ(lstat(SocketPath().c_str(), &st), 0) << "one instance still serves the name";
  }
  struct stat st{};
  EXPECT_NE(lstat(SocketPath().c_str(), &st), 0);
  Client c;
  EXPECT_EQ(c.error, kErrorFileNotFound);
}

TEST_F(PipeTest, BareNamesWorkAndBadNamesFail) {
  {
    ServerInstance s(1, "bare_name");
    ASSERT_TRUE(s.valid());
    struct stat st{};
    EXPECT_EQ(lstat(SocketPath("bare_name").c_str(), &st), 0);
    Client c("\\\\.\\PIPE\\bare_name");  // the prefix is case-blind, as on Windows
    EXPECT_TRUE(c.valid());
  }
  for (const char* bad : {"\\\\.\\pipe\\", "\\\\.\\pipe\\a/b", "\\\\.\\pipe\\..", ""}) {
    ServerInstance s(1, bad);
    EXPECT_FALSE(s.valid()) << bad;
    EXPECT_EQ(s.error, kErrorInvalidParameter) << bad;
  }
  ServerInstance zero(0);
  EXPECT_FALSE(zero.valid());
  EXPECT_EQ(zero.error, kErrorInvalidParameter);
}

TEST_F(PipeTest, StaleSocketFileIsReplaced) {
  // A socket file whose server died: bound, never listening, closed.
  int stale = RawListen(SocketPath(), false);
  ASSERT_GE(stale, 0);
  close(stale);
  ServerInstance s;
  ASSERT_TRUE(s.valid()) << s.error;
  Client c;
  ASSERT_TRUE(c.valid());
  ASSERT_TRUE(ConnectAndWait(s));
  ASSERT_TRUE(c.Write("alive"));
  EXPECT_EQ(ReadMessage(s), "alive");
}

TEST_F(PipeTest, LiveServersSocketIsKept) {
  int live = RawListen(SocketPath(), true);
  ASSERT_GE(live, 0);
  struct stat before{};
  ASSERT_EQ(lstat(SocketPath().c_str(), &before), 0);
  {
    ServerInstance s;
    EXPECT_FALSE(s.valid());
    EXPECT_EQ(s.error, kErrorPipeBusy);
  }
  struct stat after{};
  ASSERT_EQ(lstat(SocketPath().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  // The live server still takes clients.
  int c = RawConnect(SocketPath());
  EXPECT_GE(c, 0);
  if (c >= 0) close(c);
  close(live);
  unlink(SocketPath().c_str());
}

TEST_F(PipeTest, AFileThatIsNotASocketIsLeftAlone) {
  int f = open(SocketPath().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(f, 0);
  close(f);
  {
    ServerInstance s;
    EXPECT_FALSE(s.valid());
    EXPECT_EQ(s.error, kErrorAccessDenied);
  }
  struct stat st{};
  ASSERT_EQ(lstat(SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  unlink(SocketPath().c_str());
}

// ---------------------------------------------------------------- instances

TEST_F(PipeTest, InstanceLimitGivesPipeBusy) {
  std::vector<std::unique_ptr<ServerInstance>> six;
  for (int i = 0; i < 6; ++i) {
    six.push_back(std::make_unique<ServerInstance>(6));
    ASSERT_TRUE(six.back()->valid());
  }
  ServerInstance seventh(6);
  EXPECT_FALSE(seventh.valid());
  EXPECT_EQ(seventh.error, kErrorPipeBusy);
  six[2]->Close();
  ServerInstance again(6);
  EXPECT_TRUE(again.valid());
}

TEST_F(PipeTest, ConnectPendsUntilAClientComes) {
  ServerInstance s;
  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorIoPending);
  EXPECT_EQ(WaitForEvent(s.io, 30), kWaitTimeout);
  uint32_t n = 0;
  EXPECT_FALSE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorIoIncomplete);
  // A read before the client comes fails at once and leaves the connect be.
  char buf[16];
  EXPECT_FALSE(ReadPipe(s.pipe, buf, sizeof buf, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeListening);
  // Listening twice is refused.
  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeListening);

  Client c;
  ASSERT_TRUE(c.valid());
  EXPECT_EQ(WaitForEvent(s.io, 10000), kWaitObject0);
  n = 99;
  EXPECT_TRUE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(n, 0u);
  // Connected: a second connect says so.
  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeConnected);
}

TEST_F(PipeTest, ClientThatCameFirstGivesPipeConnected) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(c.valid());
  ASSERT_TRUE(c.Write("early"));
  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeConnected);
  EXPECT_EQ(WaitForEvent(s.io, 0), kWaitTimeout) << "no completion follows a 535";
  EXPECT_EQ(ReadMessage(s), "early");
}

TEST_F(PipeTest, OnlyTheAcceptingInstanceSeesItsConnectComplete) {
  std::vector<std::unique_ptr<ServerInstance>> three;
  for (int i = 0; i < 3; ++i) {
    three.push_back(std::make_unique<ServerInstance>());
    EXPECT_FALSE(ConnectNamedPipeInstance(three.back()->pipe, &three.back()->ov));
    EXPECT_EQ(GetLastErrorCode(), kErrorIoPending);
  }
  Client c;
  ASSERT_TRUE(c.valid());
  EventHandle events[3] = {three[0]->io, three[1]->io, three[2]->io};
  const uint32_t first = WaitForAnyEvent(events, 3, 10000);
  ASSERT_LT(first, 3u);
  std::this_thread::sleep_for(milliseconds(50));
  int set = 0;
  for (auto& s : three) set += WaitForEvent(s->io, 0) == kWaitObject0 ? 1 : 0;
  EXPECT_EQ(set, 1);
  ASSERT_TRUE(c.Write("to the one"));
  EXPECT_EQ(ReadMessage(*three[first]), "to the one");
}

// ---------------------------------------------------------------- messages

TEST_F(PipeTest, MessagesBothWays) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  ASSERT_TRUE(c.Write("hello"));
  ASSERT_TRUE(c.Write(std::string("\0zero\0bytes\0", 12)));
  EXPECT_EQ(ReadMessage(s), "hello");
  EXPECT_EQ(ReadMessage(s), std::string("\0zero\0bytes\0", 12));
  uint32_t written = 0;
  EXPECT_TRUE(WritePipe(s.pipe, "world", 5, &written));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(c.Read(), "world");
}

TEST_F(PipeTest, PendingReadCompletesWhenTheMessageArrives) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  std::vector<char> buf(kBufferSize);
  EXPECT_FALSE(ReadPipe(s.pipe, buf.data(), kBufferSize, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorIoPending);
  EXPECT_EQ(WaitForEvent(s.io, 0), kWaitTimeout) << "a read that pends clears the event";
  uint32_t n = 0;
  EXPECT_FALSE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorIoIncomplete);
  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(20));
    c.Write("late");
  });
  // A waiting GetOverlappedResult returns with the read.
  EXPECT_TRUE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, true));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(buf.data(), 4), "late");
  EXPECT_EQ(WaitForEvent(s.io, 0), kWaitObject0);
  writer.join();
}

TEST_F(PipeTest, LongMessageComesInPiecesWithMoreData) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  const std::string whole = Pattern(kBufferSize + 1, 1);
  std::vector<char> buf(kBufferSize);

  // Already queued when the read is issued: the read itself says 234.
  ASSERT_TRUE(c.Write(whole));
  std::this_thread::sleep_for(milliseconds(20));
  ReadOutcome r = ReadOnce(s, buf.data(), kBufferSize);
  EXPECT_TRUE(r.immediate);
  EXPECT_EQ(r.error, kErrorMoreData);
  EXPECT_EQ(r.bytes, kBufferSize);
  EXPECT_EQ(std::memcmp(buf.data(), whole.data(), kBufferSize), 0);
  EXPECT_EQ(PipeMessageBytesLeft(s.pipe), 1u) << "the reader learns how much is left";
  r = ReadOnce(s, buf.data(), kBufferSize);
  EXPECT_EQ(r.error, kErrorSuccess);
  EXPECT_EQ(r.bytes, 1u);
  EXPECT_EQ(buf[0], whole.back());
  EXPECT_EQ(PipeMessageBytesLeft(s.pipe), 0u);

  // Arriving on a pending read: the completion says 234.
  EXPECT_FALSE(ReadPipe(s.pipe, buf.data(), kBufferSize, &s.ov));
  ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
  ASSERT_TRUE(c.Write(whole));
  ASSERT_EQ(WaitForEvent(s.io, 20000), kWaitObject0);
  uint32_t n = 0;
  EXPECT_FALSE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorMoreData);
  EXPECT_EQ(n, kBufferSize);
  EXPECT_EQ(std::memcmp(buf.data(), whole.data(), kBufferSize), 0);
  r = ReadOnce(s, buf.data(), kBufferSize);
  EXPECT_EQ(r.error, kErrorSuccess);
  EXPECT_EQ(r.bytes, 1u);

  // A message of exactly the buffer's size is one read.
  ASSERT_TRUE(c.Write(whole.substr(0, kBufferSize)));
  r = ReadOnce(s, buf.data(), kBufferSize);
  EXPECT_EQ(r.error, kErrorSuccess);
  EXPECT_EQ(r.bytes, kBufferSize);

  // Small buffers: 4 + 4 + 2.
  ASSERT_TRUE(c.Write("0123456789"));
  r = ReadOnce(s, buf.data(), 4);
  EXPECT_EQ(r.error, kErrorMoreData);
  EXPECT_EQ(std::string(buf.data(), r.bytes), "0123");
  r = ReadOnce(s, buf.data(), 4);
  EXPECT_EQ(r.error, kErrorMoreData);
  EXPECT_EQ(std::string(buf.data(), r.bytes), "4567");
  r = ReadOnce(s, buf.data(), 4);
  EXPECT_EQ(r.error, kErrorSuccess);
  EXPECT_EQ(std::string(buf.data(), r.bytes), "89");
}

TEST_F(PipeTest, EmptyMessagesBothWays) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  ASSERT_TRUE(c.Write(""));
  ASSERT_TRUE(c.Write("next"));
  std::vector<char> buf(kBufferSize);
  ReadOutcome r = ReadOnce(s, buf.data(), kBufferSize);
  EXPECT_EQ(r.error, kErrorSuccess);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(ReadMessage(s), "next");
  // Pending read, then an empty message.
  EXPECT_FALSE(ReadPipe(s.pipe, buf.data(), kBufferSize, &s.ov));
  ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
  ASSERT_TRUE(c.Write(""));
  ASSERT_EQ(WaitForEvent(s.io, 10000), kWaitObject0);
  uint32_t n = 7;
  EXPECT_TRUE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(n, 0u);

  uint32_t written = 1;
  EXPECT_TRUE(WritePipe(s.pipe, nullptr, 0, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(WritePipe(s.pipe, "after", 5, &written));
  std::string m = "not empty";
  EXPECT_TRUE(ReadPipeMessage(c.pipe, &m));
  EXPECT_EQ(m, "");
  EXPECT_EQ(c.Read(), "after");
}

TEST_F(PipeTest, WireFormatIsALittleEndianLengthAndTheBytes) {
  ServerInstance s;
  int raw = RawConnect(SocketPath());
  ASSERT_GE(raw, 0);
  ASSERT_TRUE(ConnectAndWait(s));
  // Sent in dribs: a reader must put pieces of header and body together.
  const unsigned char framed[] = {5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 1, 1, 0, 0};
  std::string body(257, 'x');
  for (size_t i = 0; i < sizeof framed; ++i) {
    ASSERT_EQ(send(raw, framed + i, 1, MSG_NOSIGNAL), 1);
    if (i % 3 == 0) std::this_thread::sleep_for(milliseconds(2));
  }
  ASSERT_EQ(send(raw, body.data(), body.size(), MSG_NOSIGNAL), static_cast<ssize_t>(body.size()));
  EXPECT_EQ(ReadMessage(s), "hello");
  EXPECT_EQ(ReadMessage(s), "");
  EXPECT_EQ(ReadMessage(s), body);

  uint32_t written = 0;
  ASSERT_TRUE(WritePipe(s.pipe, "abc", 3, &written));
  ASSERT_TRUE(WritePipe(s.pipe, "", 0, &written));
  char got[11];
  ASSERT_TRUE(RawReadAll(raw, got, sizeof got));
  const char expected[] = {3, 0, 0, 0, 'a', 'b', 'c', 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(got, expected, sizeof got), 0);
  close(raw);
}

// ---------------------------------------------------------------- clients leaving

TEST_F(PipeTest, ClientGoneReadsAsBrokenPipeAfterItsMessages) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  ASSERT_TRUE(c.Write("one"));
  ASSERT_TRUE(c.Write("two"));
  ASSERT_TRUE(c.Write("three"));
  c.Close();
  EXPECT_EQ(ReadMessage(s), "one");
  EXPECT_EQ(ReadMessage(s), "two");
  EXPECT_EQ(ReadMessage(s), "three");
  char buf[16];
  EXPECT_FALSE(ReadPipe(s.pipe, buf, sizeof buf, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorBrokenPipe);
  // Writing to a gone client fails.
  uint32_t written = 9;
  EXPECT_FALSE(WritePipe(s.pipe, "x", 1, &written));
  EXPECT_EQ(written, 0u);
  // Until it is disconnected the instance cannot listen again.
  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorNoData);
}

TEST_F(PipeTest, ClientGoingAwayCompletesAPendingReadWithBrokenPipe) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  char buf[16];
  EXPECT_FALSE(ReadPipe(s.pipe, buf, sizeof buf, &s.ov));
  ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
  c.Close();
  ASSERT_EQ(WaitForEvent(s.io, 10000), kWaitObject0);
  uint32_t n = 5;
  EXPECT_FALSE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorBrokenPipe);
  EXPECT_EQ(n, 0u);
}

TEST_F(PipeTest, SecondClientOnTheSameInstanceAfterDisconnectAndConnect) {
  ServerInstance s;
  {
    Client first;
    ASSERT_TRUE(ConnectAndWait(s));
    ASSERT_TRUE(first.Write("from the first"));
    EXPECT_EQ(ReadMessage(s), "from the first");
  }
  char buf[16];
  ReadOutcome r = ReadOnce(s, buf, sizeof buf);
  EXPECT_EQ(r.error, kErrorBrokenPipe);
  EXPECT_TRUE(DisconnectNamedPipeInstance(s.pipe));
  EXPECT_FALSE(DisconnectNamedPipeInstance(s.pipe));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeNotConnected);
  EXPECT_FALSE(ReadPipe(s.pipe, buf, sizeof buf, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeNotConnected);

  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorIoPending);
  Client second;
  ASSERT_TRUE(second.valid());
  ASSERT_EQ(WaitForEvent(s.io, 10000), kWaitObject0);
  ASSERT_TRUE(second.Write("from the second"));
  EXPECT_EQ(ReadMessage(s), "from the second");
  uint32_t written = 0;
  EXPECT_TRUE(WritePipe(s.pipe, "reply", 5, &written));
  EXPECT_EQ(second.Read(), "reply");
}

TEST_F(PipeTest, DisconnectDropsTheClientAndItsUnreadData) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  ASSERT_TRUE(c.Write("never read"));
  EXPECT_TRUE(DisconnectNamedPipeInstance(s.pipe));
  std::string m;
  EXPECT_FALSE(ReadPipeMessage(c.pipe, &m));
  EXPECT_EQ(GetLastErrorCode(), kErrorBrokenPipe);
  EXPECT_FALSE(c.Write("too late"));
}

TEST_F(PipeTest, SeventhClientWaitsUntilOneOfSixIsFree) {
  std::vector<std::unique_ptr<ServerInstance>> six;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 6; ++i) {
    six.push_back(std::make_unique<ServerInstance>(6));
    ASSERT_TRUE(six.back()->valid());
    EXPECT_FALSE(ConnectNamedPipeInstance(six.back()->pipe, &six.back()->ov));
  }
  for (int i = 0; i < 6; ++i) {
    clients.push_back(std::make_unique<Client>());
    ASSERT_TRUE(clients.back()->valid());
  }
  for (auto& s : six) ASSERT_EQ(WaitForEvent(s->io, 10000), kWaitObject0);
  // Every instance is busy; the seventh client waits in the queue, and its
  // message with it.
  Client seventh;
  ASSERT_TRUE(seventh.valid());
  ASSERT_TRUE(seventh.Write("seventh"));
  std::vector<std::vector<char>> bufs(6, std::vector<char>(kBufferSize));
  for (int i = 0; i < 6; ++i) {
    EXPECT_FALSE(ReadPipe(six[i]->pipe, bufs[i].data(), kBufferSize, &six[i]->ov));
    EXPECT_EQ(GetLastErrorCode(), kErrorIoPending);
  }
  std::this_thread::sleep_for(milliseconds(50));
  for (auto& s : six) EXPECT_EQ(WaitForEvent(s->io, 0), kWaitTimeout);

  // Client 3 leaves; its instance serves the seventh.
  clients[3]->Close();
  ASSERT_EQ(WaitForEvent(six[3]->io, 10000), kWaitObject0);
  uint32_t n = 0;
  EXPECT_FALSE(GetPipeOverlappedResult(six[3]->pipe, &six[3]->ov, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorBrokenPipe);
  EXPECT_TRUE(DisconnectNamedPipeInstance(six[3]->pipe));
  EXPECT_FALSE(ConnectNamedPipeInstance(six[3]->pipe, &six[3]->ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeConnected);
  EXPECT_EQ(ReadMessage(*six[3]), "seventh");
  uint32_t written = 0;
  EXPECT_TRUE(WritePipe(six[3]->pipe, "welcome", 7, &written));
  EXPECT_EQ(seventh.Read(), "welcome");
  for (int i = 0; i < 6; ++i) {
    if (i != 3) {
      EXPECT_EQ(WaitForEvent(six[i]->io, 0), kWaitTimeout);
    }
  }
}

TEST_F(PipeTest, QueuedClientGoesToAnInstanceThatListensLater) {
  ServerInstance a(2);
  ServerInstance b(2);
  Client c1;
  ASSERT_TRUE(ConnectAndWait(a));
  Client c2;  // waits in the queue: b is not listening yet
  ASSERT_TRUE(c2.valid());
  ASSERT_TRUE(c2.Write("queued"));
  EXPECT_FALSE(ConnectNamedPipeInstance(b.pipe, &b.ov));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeConnected);
  EXPECT_EQ(ReadMessage(b), "queued");
}

// ---------------------------------------------------------------- client side

TEST_F(PipeTest, ClientReadFailsWhenTheServerGoes) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(20));
    s.Close();
  });
  std::string m;
  EXPECT_FALSE(ReadPipeMessage(c.pipe, &m));
  EXPECT_EQ(GetLastErrorCode(), kErrorBrokenPipe);
  closer.join();
  EXPECT_FALSE(c.Write("nobody there"));
}

TEST_F(PipeTest, ShutdownWakesABlockedClientRead) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  std::atomic<bool> returned{false};
  bool result = true;
  uint32_t error = 0;
  std::thread reader([&] {
    std::string m;
    result = ReadPipeMessage(c.pipe, &m);
    error = GetLastErrorCode();
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(returned.load());
  ShutdownPipeClient(c.pipe);
  reader.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(error, kErrorBrokenPipe);
  std::string m;
  EXPECT_FALSE(ReadPipeMessage(c.pipe, &m));
}

TEST_F(PipeTest, SixtyFourMiBClientToServer) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  const std::string big = Pattern(64u << 20, 2);
  std::thread writer([&] { EXPECT_TRUE(c.Write(big)); });
  // Read in buffer-sized pieces, as the pipe server does.
  std::string got;
  got.reserve(big.size());
  std::vector<char> buf(kBufferSize);
  int pieces = 0;
  for (;;) {
    ReadOutcome r = ReadOnce(s, buf.data(), kBufferSize);
    ASSERT_TRUE(r.error == kErrorSuccess || r.error == kErrorMoreData) << r.error;
    got.append(buf.data(), r.bytes);
    ++pieces;
    if (r.error == kErrorSuccess) break;
  }
  writer.join();
  EXPECT_EQ(pieces, 256);
  EXPECT_TRUE(got == big);

  // And into one buffer large enough for all of it.
  std::thread writer2([&] { EXPECT_TRUE(c.Write(big)); });
  std::string whole(big.size(), '\0');
  ReadOutcome r = ReadOnce(s, whole.data(), static_cast<uint32_t>(whole.size()));
  writer2.join();
  EXPECT_EQ(r.error, kErrorSuccess);
  EXPECT_EQ(r.bytes, big.size());
  EXPECT_TRUE(whole == big);
}

TEST_F(PipeTest, SixtyFourMiBServerToClient) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  const std::string big = Pattern(64u << 20, 3);
  std::thread writer([&] {
    uint32_t written = 0;
    EXPECT_TRUE(WritePipe(s.pipe, big.data(), static_cast<uint32_t>(big.size()), &written));
    EXPECT_EQ(written, big.size());
    EXPECT_TRUE(WritePipe(s.pipe, "tail", 4, &written));
  });
  std::string m;
  ASSERT_TRUE(ReadPipeMessage(c.pipe, &m));
  EXPECT_EQ(m.size(), big.size());
  EXPECT_TRUE(m == big);
  EXPECT_EQ(c.Read(), "tail");
  writer.join();
}

TEST_F(PipeTest, WriterDoesNotWaitForASlowReader) {
  if (geteuid() != 0) GTEST_SKIP() << "raising the send buffer past the system maximum needs root";
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  // 16 MiB in 64 KiB messages, nobody reading: every write completes.
  const std::string chunk = Pattern(64 * 1024, 4);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    uint32_t written = 0;
    for (int i = 0; i < 256; ++i) {
      if (!WritePipe(s.pipe, chunk.data(), static_cast<uint32_t>(chunk.size()), &written)) break;
    }
    done = true;
  });
  for (int i = 0; i < 500 && !done.load(); ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_TRUE(done.load()) << "the server's writes blocked on a slow client";
  if (!done.load()) c.Close();  // unblocks the writer
  writer.join();
  // The same from the client's side.
  std::atomic<bool> clientDone{false};
  std::thread clientWriter([&] {
    for (int i = 0; i < 256; ++i) {
      if (!WritePipeMessage(c.pipe, chunk.data(), chunk.size())) break;
    }
    clientDone = true;
  });
  for (int i = 0; i < 500 && !clientDone.load(); ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_TRUE(clientDone.load()) << "the client's writes blocked on a slow server";
  if (!clientDone.load()) s.Close();
  clientWriter.join();
}

// ---------------------------------------------------------------- waits, closing

TEST_F(PipeTest, WaitOnIoAndExitEventsWakesForTheExit) {
  ServerInstance s;
  EventHandle exitEvent = CreateEventObject(true, false);
  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  uint32_t result = 99;
  std::thread reader([&] {
    EventHandle handles[2] = {s.io, exitEvent};
    result = WaitForAnyEvent(handles, 2, kInfinite);
  });
  std::this_thread::sleep_for(milliseconds(30));
  SetEventObject(exitEvent);
  reader.join();
  EXPECT_EQ(result, kWaitObject0 + 1);
  CloseEventObject(exitEvent);
}

TEST_F(PipeTest, WaitOnIoAndExitEventsWakesForTheIo) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  EventHandle exitEvent = CreateEventObject(true, false);
  char buf[64];
  EXPECT_FALSE(ReadPipe(s.pipe, buf, sizeof buf, &s.ov));
  uint32_t result = 99;
  std::thread reader([&] {
    EventHandle handles[2] = {s.io, exitEvent};
    result = WaitForAnyEvent(handles, 2, kInfinite);
  });
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_TRUE(c.Write("wake"));
  reader.join();
  EXPECT_EQ(result, kWaitObject0);
  uint32_t n = 0;
  EXPECT_TRUE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(std::string(buf, n), "wake");
  CloseEventObject(exitEvent);
}

TEST_F(PipeTest, CloseEndsAPendingReadWhileAnotherThreadWaits) {
  auto s = std::make_unique<ServerInstance>();
  Client c;
  ASSERT_TRUE(ConnectAndWait(*s));
  EventHandle exitEvent = CreateEventObject(true, false);
  std::vector<char> buf(kBufferSize);
  EXPECT_FALSE(ReadPipe(s->pipe, buf.data(), kBufferSize, &s->ov));
  ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
  uint32_t result = 99;
  std::thread reader([&] {
    EventHandle handles[2] = {s->io, exitEvent};
    result = WaitForAnyEvent(handles, 2, kInfinite);
  });
  std::this_thread::sleep_for(milliseconds(20));
  SetEventObject(exitEvent);
  s->Close();  // as the pipe server's Stop does: exit event, then close
  reader.join();
  EXPECT_LE(result, 1u);
  // The client sees the server go.
  std::string m;
  EXPECT_FALSE(ReadPipeMessage(c.pipe, &m));
  s.reset();  // closes the event: the stand-in no longer touches it
  CloseEventObject(exitEvent);
}

TEST_F(PipeTest, CloseEndsAPendingConnectAndSetsTheEvent) {
  ServerInstance s;
  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(20));
    s.Close();
  });
  EXPECT_EQ(WaitForEvent(s.io, 10000), kWaitObject0);
  closer.join();
}

TEST_F(PipeTest, DisconnectWakesAWriteThatIsBlocked) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  // Write until the client's way is full and a write blocks, then disconnect
  // under it: the write fails and the disconnect returns.
  const std::string chunk = Pattern(8u << 20, 5);
  std::atomic<int> writes{0};
  std::atomic<bool> failed{false};
  std::thread writer([&] {
    uint32_t written = 0;
    while (WritePipe(s.pipe, chunk.data(), static_cast<uint32_t>(chunk.size()), &written)) writes++;
    failed = true;
  });
  // Until the writer has made no progress for half a second: it is blocked.
  int last = -1;
  int still = 0;
  while (still < 5) {
    const int now = writes.load();
    still = now == last ? still + 1 : 0;
    last = now;
    std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_FALSE(failed.load());
  EXPECT_TRUE(DisconnectNamedPipeInstance(s.pipe));
  writer.join();
  EXPECT_TRUE(failed.load());
}

// Writes 1 MiB messages with a time-out until one fails. Returns the count
// that succeeded; the failing call's error, bytes reported and duration go
// to the out-parameters. Stops after `limit` messages (then *error is 0).
int WriteUntilOneFails(PipeHandle pipe, const std::string& message, uint32_t timeoutMs, int limit,
                       uint32_t* error, uint32_t* written, milliseconds* took) {
  *error = 0;
  for (int i = 0; i < limit; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!WritePipe(pipe, message.data(), static_cast<uint32_t>(message.size()), written, timeoutMs)) {
      *error = GetLastErrorCode();
      *took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
      return i;
    }
  }
  return limit;
}

TEST_F(PipeTest, TimedWriteToAClientThatNeverReadsFailsInTimeAndOthersGoOn) {
  ServerInstance deafServer;
  const int deaf = RawConnect(SocketPath());  // never reads until the end
  ASSERT_GE(deaf, 0);
  ASSERT_TRUE(ConnectAndWait(deafServer));
  ServerInstance otherServer;
  Client other;
  ASSERT_TRUE(other.valid());
  ASSERT_TRUE(ConnectAndWait(otherServer));

  // More than the socket can hold for a client that takes nothing.
  const std::string chunk = Pattern(1u << 20, 6);
  constexpr uint32_t kTimeoutMs = 300;
  std::atomic<bool> done{false};
  int succeeded = 0;
  uint32_t error = 0;
  uint32_t written = 99;
  milliseconds took{0};
  std::thread writer([&] {
    succeeded = WriteUntilOneFails(deafServer.pipe, chunk, kTimeoutMs, 400, &error, &written, &took);
    done = true;
  });
  // Meanwhile, and after, the other instance serves its client both ways.
  // (No ASSERT here: the writer thread must be joined whatever happens.)
  int roundTrips = 0;
  bool served = true;
  do {
    const std::string ask = "ask " + std::to_string(roundTrips);
    uint32_t n = 0;
    served = other.Write(ask) && ReadMessage(otherServer) == ask &&
             WritePipe(otherServer.pipe, ask.data(), static_cast<uint32_t>(ask.size()), &n, kTimeoutMs) &&
             other.Read() == ask;
    ++roundTrips;
  } while (served && !done.load());
  writer.join();
  EXPECT_TRUE(served) << "round trip " << roundTrips << " on the other instance failed";

  EXPECT_GT(succeeded, 0);
  ASSERT_EQ(error, kErrorSemTimeout) << "after " << succeeded << " messages";
  EXPECT_EQ(written, 0u);
  EXPECT_GE(took.count(), static_cast<int64_t>(kTimeoutMs));
  EXPECT_LT(took.count(), static_cast<int64_t>(kTimeoutMs) + 5000);

  // The client takes a little now, which makes room. Still nothing more may
  // go on that connection, because the client would read the bytes of the
  // later message as the rest of the one that was cut.
  std::string frame(4, '\0');
  frame[2] = 0x10;  // 1 MiB, little-endian
  frame += chunk;
  const std::string late = "late";
  const std::string lateFrame = std::string("\x04\0\0\0", 4) + late;
  bool lateWritten = false;
  std::vector<char> block(1u << 20);
  size_t total = 0;
  bool matches = true;
  // Reads up to `limit` bytes of the stream and checks each against what the
  // writes put there: whole copies of the message, one per write that
  // succeeded; then, when the late message went out, exactly that (the cut
  // message sent nothing); otherwise at most a beginning of one more copy.
  auto consume = [&](size_t limit) {
    const size_t whole = static_cast<size_t>(succeeded) * frame.size();
    while (total < limit) {
      const ssize_t got = recv(deaf, block.data(), std::min(block.size(), limit - total), 0);
      if (got <= 0) return;
      for (size_t at = 0; at < static_cast<size_t>(got);) {
        const size_t position = total + at;
        const std::string& expected = position < whole ? frame : (lateWritten ? lateFrame : frame);
        const size_t offset = position < whole ? position % frame.size() : position - whole;
        const size_t span = std::min(expected.size() - std::min(offset, expected.size()),
                                     static_cast<size_t>(got) - at);
        if (span == 0 || std::memcmp(block.data() + at, expected.data() + offset, span) != 0) {
          matches = false;
          return;
        }
        at += span;
      }
      total += static_cast<size_t>(got);
    }
  };
  consume(2u << 20);
  uint32_t n = 0;
  lateWritten = WritePipe(deafServer.pipe, late.data(), static_cast<uint32_t>(late.size()), &n, kTimeoutMs);
  if (!lateWritten) {
    EXPECT_EQ(GetLastErrorCode(), kErrorNoData);
  }
  EXPECT_TRUE(DisconnectNamedPipeInstance(deafServer.pipe));
  consume(SIZE_MAX);
  close(deaf);
  EXPECT_TRUE(matches) << "the client read bytes that are no part of the messages written";
  EXPECT_EQ(total / frame.size(), static_cast<size_t>(succeeded));
}

TEST_F(PipeTest, TimedWriteWaitsForAClientThatCatchesUp) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  // The writer outruns the socket's room; the client starts reading late but
  // well within the time-out, so every write completes.
  const std::string chunk = Pattern(1u << 20, 7);
  constexpr int kMessages = 160;
  std::atomic<int> failures{0};
  std::thread writer([&] {
    uint32_t n = 0;
    for (int i = 0; i < kMessages; ++i) {
      if (!WritePipe(s.pipe, chunk.data(), static_cast<uint32_t>(chunk.size()), &n, 20000)) failures++;
    }
  });
  std::this_thread::sleep_for(milliseconds(300));
  int read = 0;
  std::string m;
  while (read < kMessages && ReadPipeMessage(c.pipe, &m)) {
    if (m != chunk) break;
    ++read;
  }
  writer.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(read, kMessages);
}

// No thread of the stand-in stands between the socket and the thread that
// waits: with none but this one in the process, whatever completes the
// connect and the reads can only be the waits themselves.
TEST_F(PipeTest, TheThreadWaitingOnTheEventCompletesWhatHadToWait) {
  const int before = CountEntries("/proc/self/task");
  ServerInstance s;
  EXPECT_FALSE(ConnectNamedPipeInstance(s.pipe, &s.ov));
  ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
  Client c;
  ASSERT_TRUE(c.valid());
  EXPECT_EQ(WaitForEvent(s.io, 10000), kWaitObject0);
  std::vector<char> buf(kBufferSize);
  for (const char* m : {"first", "second"}) {
    EXPECT_FALSE(ReadPipe(s.pipe, buf.data(), kBufferSize, &s.ov));
    ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
    ASSERT_TRUE(c.Write(m));
    EXPECT_EQ(CountEntries("/proc/self/task"), before);
    EXPECT_EQ(WaitForEvent(s.io, 10000), kWaitObject0);
    uint32_t n = 0;
    EXPECT_TRUE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
    EXPECT_EQ(std::string(buf.data(), n), m);
  }
  // A thread that already waited on the event when the read began takes up
  // the socket too.
  ResetEventObject(s.io);
  uint32_t early = kWaitFailed;
  std::thread earlyWaiter([&] { early = WaitForEvent(s.io, 10000); });
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(ReadPipe(s.pipe, buf.data(), kBufferSize, &s.ov));
  ASSERT_TRUE(c.Write("third"));
  earlyWaiter.join();
  EXPECT_EQ(early, kWaitObject0);
  uint32_t n = 0;
  EXPECT_TRUE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(std::string(buf.data(), n), "third");
}

// A disconnect or close on another thread wakes the thread that polls the
// socket for a pending read, with the error that ended the read, before the
// socket goes.
TEST_F(PipeTest, EndingAReadFromAnotherThreadWakesItsWaiterWithTheReason) {
  ServerInstance s;
  std::vector<char> buf(kBufferSize);
  const auto waitWhileAnotherThread = [&](const std::function<void()>& end) {
    EXPECT_FALSE(ReadPipe(s.pipe, buf.data(), kBufferSize, &s.ov));
    EXPECT_EQ(GetLastErrorCode(), kErrorIoPending);
    std::thread ender([&] {
      std::this_thread::sleep_for(milliseconds(30));
      end();
    });
    EXPECT_EQ(WaitForEvent(s.io, 10000), kWaitObject0);
    ender.join();
  };
  Client first;
  ASSERT_TRUE(ConnectAndWait(s));
  waitWhileAnotherThread([&] { EXPECT_TRUE(DisconnectNamedPipeInstance(s.pipe)); });
  uint32_t n = 0;
  EXPECT_FALSE(GetPipeOverlappedResult(s.pipe, &s.ov, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeNotConnected);

  Client second;
  ASSERT_TRUE(ConnectAndWait(s));
  waitWhileAnotherThread([&] { EXPECT_TRUE(ClosePipe(s.pipe)); });
  s.pipe = InvalidPipeHandle();
  std::string m;
  EXPECT_FALSE(ReadPipeMessage(second.pipe, &m)) << "the server end is gone";
}

// ---------------------------------------------------------------- under load

TEST_F(PipeTest, ManyMessagesArriveInOrderBothWays) {
  ServerInstance s;
  Client c;
  ASSERT_TRUE(ConnectAndWait(s));
  constexpr int kCount = 20000;
  std::thread clientWriter([&] {
    for (int i = 0; i < kCount; ++i) {
      std::string m = std::to_string(i);
      m.resize(static_cast<size_t>(i % 2000), '.');
      if (!c.Write(m)) break;
    }
  });
  std::thread clientReader([&] {
    for (int i = 0; i < kCount; ++i) {
      std::string m;
      if (!ReadPipeMessage(c.pipe, &m)) {
        ADD_FAILURE() << "client read " << i;
        break;
      }
      if (m != "r" + std::to_string(i)) {
        ADD_FAILURE() << "client got " << m << " for " << i;
        break;
      }
    }
  });
  std::vector<char> buf(kBufferSize);
  for (int i = 0; i < kCount; ++i) {
    ReadOutcome r = ReadOnce(s, buf.data(), kBufferSize);
    ASSERT_EQ(r.error, kErrorSuccess) << i;
    std::string expected = std::to_string(i);
    expected.resize(static_cast<size_t>(i % 2000), '.');
    ASSERT_EQ(std::string(buf.data(), r.bytes), expected);
    const std::string reply = "r" + std::to_string(i);
    uint32_t written = 0;
    ASSERT_TRUE(WritePipe(s.pipe, reply.data(), static_cast<uint32_t>(reply.size()), &written));
  }
  clientWriter.join();
  clientReader.join();
}

TEST_F(PipeTest, SixInstancesServeSixClientsAtOnce) {
  constexpr int kInstances = 6;
  constexpr int kMessages = 2000;
  std::vector<std::unique_ptr<ServerInstance>> servers;
  for (int i = 0; i < kInstances; ++i) servers.push_back(std::make_unique<ServerInstance>(kInstances));
  std::vector<std::thread> readers;
  std::atomic<int> total{0};
  for (int i = 0; i < kInstances; ++i) {
    readers.emplace_back([&, i] {
      ServerInstance& s = *servers[i];
      if (!ConnectAndWait(s)) return;
      std::vector<char> buf(kBufferSize);
      for (;;) {
        ReadOutcome r = ReadOnce(s, buf.data(), kBufferSize);
        if (r.error != kErrorSuccess) break;
        total++;
      }
    });
  }
  std::vector<std::thread> clients;
  for (int i = 0; i < kInstances; ++i) {
    clients.emplace_back([&] {
      Client c;
      for (int m = 0; m < kMessages; ++m) c.Write(std::string(100, 'm'));
    });
  }
  for (auto& t : clients) t.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(total.load(), kInstances * kMessages);
}

}  // namespace
}  // namespace platform
