// Where a pipe name lives, which socket files are made, kept or replaced, and
// how instances of a name take their clients.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/named_pipe.h"
#include "tests/platform/pipe_test_util.h"

namespace platform {
namespace {

using namespace testing_pipe;
using std::chrono::milliseconds;

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

}  // namespace
}  // namespace platform
