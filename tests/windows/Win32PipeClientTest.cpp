// The client-side pipe calls the tools and tests use: opening (absent and
// busy pipes), whole messages of any length both ways, and a shutdown that
// wakes a blocked reader.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/event.h"
#include "platform/named_pipe.h"
#include "platform/tick.h"
#include "tests/windows/Win32TestSupport.h"

namespace kvx_win32_test {
namespace {

using namespace platform;

std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + seed) % 256);
  return s;
}

// A server instance with one client connected through OpenPipeClient.
class ClientAndServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.valid()) << server_.createError;
    ASSERT_FALSE(ConnectNamedPipeInstance(server_.pipe, &server_.overlapped));
    client_ = OpenPipeClient(name_, 1000);
    ASSERT_NE(client_, InvalidPipeHandle()) << GetLastErrorCode();
    ASSERT_TRUE(server_.WaitDone());
  }
  void TearDown() override {
    if (client_ != InvalidPipeHandle()) ClosePipeClient(client_);
  }
  bool ServerWrite(const std::string& s) {
    uint32_t written = 0;
    return WritePipe(server_.pipe, s.data(), static_cast<uint32_t>(s.size()), &written) && written == s.size();
  }

  std::string name_ = UniquePipeName();
  ServerPipe server_{name_};
  PipeHandle client_ = InvalidPipeHandle();
};

TEST(Win32PipeClient, OpeningAPipeNobodyServesFailsWithFileNotFound) {
  EXPECT_EQ(OpenPipeClient(UniquePipeName(), 100), InvalidPipeHandle());
  EXPECT_EQ(GetLastErrorCode(), kErrorFileNotFound);
}

TEST(Win32PipeClient, BusyPipeTimesOutThenOpensOnceAnInstanceListensAgain) {
  const std::string name = UniquePipeName();
  ServerPipe server(name, 1);
  ASSERT_TRUE(server.valid());
  ASSERT_FALSE(ConnectNamedPipeInstance(server.pipe, &server.overlapped));
  PipeHandle first = OpenPipeClient(name, 1000);
  ASSERT_NE(first, InvalidPipeHandle());

  const uint32_t start = GetTickCount32();
  EXPECT_EQ(OpenPipeClient(name, 300), InvalidPipeHandle());
  const uint32_t elapsed = GetTickCount32() - start;
  const uint32_t error = GetLastErrorCode();
  EXPECT_TRUE(error == kErrorSemTimeout || error == kErrorPipeBusy) << error;
  EXPECT_GE(elapsed, 250u);
  EXPECT_LT(elapsed, 3000u);

  // The first client leaves; the instance listens again a little later, and
  // a client that waits for it gets in.
  std::thread recycle([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ClosePipeClient(first);
    DisconnectNamedPipeInstance(server.pipe);
    ConnectNamedPipeInstance(server.pipe, &server.overlapped);
  });
  PipeHandle second = OpenPipeClient(name, 5000);
  recycle.join();
  ASSERT_NE(second, InvalidPipeHandle()) << GetLastErrorCode();
  ASSERT_TRUE(WritePipeMessage(second, "hi", 2));
  ClosePipeClient(second);
}

TEST_F(ClientAndServer, ReadsWholeMessagesOfAnyLengthInOrder) {
  const std::string big = Pattern(1024 * 1024 + 3, 1);  // many times the first read's piece
  const std::string exact = Pattern(64 * 1024, 2);      // exactly one piece
  ASSERT_TRUE(ServerWrite(big));
  ASSERT_TRUE(ServerWrite(""));
  ASSERT_TRUE(ServerWrite(exact));
  ASSERT_TRUE(ServerWrite(std::string("\0\0x", 3)));
  std::string m;
  ASSERT_TRUE(ReadPipeMessage(client_, &m));
  EXPECT_EQ(m.size(), big.size());
  EXPECT_TRUE(m == big);
  ASSERT_TRUE(ReadPipeMessage(client_, &m));
  EXPECT_TRUE(m.empty());
  ASSERT_TRUE(ReadPipeMessage(client_, &m));
  EXPECT_TRUE(m == exact);
  ASSERT_TRUE(ReadPipeMessage(client_, &m));
  ASSERT_EQ(m.size(), 3u);
  EXPECT_TRUE(m == std::string("\0\0x", 3));
}

TEST_F(ClientAndServer, AMessageOverTheQuotaIsRefusedAndEndsTheConnection) {
  // The server's writes block until the client has read them.
  std::thread writer([this] {
    ServerWrite(std::string(kMaxClientMessageSize, 'q'));
    ServerWrite(std::string(kMaxClientMessageSize + 1, 'o'));
  });
  std::string m;
  ASSERT_TRUE(ReadPipeMessage(client_, &m));
  EXPECT_EQ(m.size(), kMaxClientMessageSize);
  EXPECT_FALSE(ReadPipeMessage(client_, &m));
  EXPECT_EQ(GetLastErrorCode(), kErrorInvalidData);
  EXPECT_TRUE(m.empty());
  EXPECT_NE(LastPipeFailureDetail().find("longer than the limit of 67108864 bytes"), std::string::npos);
  EXPECT_FALSE(ReadPipeMessage(client_, &m));  // nothing more on this connection
  ClosePipeClient(client_);
  client_ = InvalidPipeHandle();
  writer.join();
}

TEST_F(ClientAndServer, WritesArriveAsOneMessageEach) {
  const std::string big = Pattern(kReadBuffer + 5000, 3);
  ASSERT_TRUE(WritePipeMessage(client_, "ping", 4));
  ASSERT_TRUE(WritePipeMessage(client_, big.data(), big.size()));
  std::string buffer(kReadBuffer, '\0');
  uint32_t n = 0;
  ASSERT_TRUE(ReadPipe(server_.pipe, &buffer[0], kReadBuffer, &server_.overlapped) ||
              GetLastErrorCode() == kErrorIoPending);
  ASSERT_TRUE(server_.WaitDone());
  ASSERT_TRUE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
  EXPECT_EQ(buffer.substr(0, n), "ping");
  // The long one is read by the server in two pieces.
  EXPECT_FALSE(ReadPipe(server_.pipe, &buffer[0], kReadBuffer, &server_.overlapped));
  EXPECT_EQ(GetLastErrorCode(), kErrorMoreData);
  std::string got = buffer;
  ASSERT_TRUE(ReadPipe(server_.pipe, &buffer[0], kReadBuffer, &server_.overlapped) ||
              GetLastErrorCode() == kErrorIoPending);
  ASSERT_TRUE(server_.WaitDone());
  ASSERT_TRUE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
  got += buffer.substr(0, n);
  EXPECT_TRUE(got == big);
}

TEST_F(ClientAndServer, ShutdownWakesABlockedReaderAndLaterReadsFail) {
  std::atomic<int> result{-1};
  std::atomic<uint32_t> error{0};
  std::thread reader([&] {
    std::string m;
    result = ReadPipeMessage(client_, &m) ? 1 : 0;
    error = GetLastErrorCode();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(result.load(), -1) << "nothing was sent, the reader must be blocked";
  ShutdownPipeClient(client_);
  reader.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(error.load(), kErrorBrokenPipe);
  // Once shut down, the handle reads and writes nothing, even with a message
  // waiting.
  ASSERT_TRUE(ServerWrite("after"));
  std::string m;
  EXPECT_FALSE(ReadPipeMessage(client_, &m));
  EXPECT_EQ(GetLastErrorCode(), kErrorBrokenPipe);
  EXPECT_FALSE(WritePipeMessage(client_, "x", 1));
}

TEST_F(ClientAndServer, ServerGoingAwayEndsTheRead) {
  std::atomic<int> result{-1};
  std::atomic<uint32_t> error{0};
  std::thread reader([&] {
    std::string m;
    result = ReadPipeMessage(client_, &m) ? 1 : 0;
    error = GetLastErrorCode();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(DisconnectNamedPipeInstance(server_.pipe));
  reader.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(error.load(), kErrorBrokenPipe);
  EXPECT_FALSE(WritePipeMessage(client_, "x", 1));
}

}  // namespace
}  // namespace kvx_win32_test
