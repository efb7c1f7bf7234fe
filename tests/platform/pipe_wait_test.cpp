// Waits on the events of pending operations, and the instances under load.
#include <gtest/gtest.h>

#include <atomic>
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

// ---------------------------------------------------------------- waits

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
