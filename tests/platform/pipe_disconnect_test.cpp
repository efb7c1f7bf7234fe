// Clients that leave, disconnects and closes: what ends, what completes and
// with which error, and what a new client finds after.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
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

// ---------------------------------------------------------------- disconnect and close under way

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

}  // namespace
}  // namespace platform
