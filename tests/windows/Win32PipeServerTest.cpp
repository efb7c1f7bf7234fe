// The server-side pipe calls against real Windows named pipes: what the pipe
// server relies on (instance limits, connect outcomes, message-mode reads of
// every size, a client going away, writes beside a pending read).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/named_pipe.h"
#include "platform/win32/win32_api.h"
#include "tests/windows/Win32TestSupport.h"

namespace kvx_win32_test {
namespace {

using namespace platform;

struct ReadOutcome {
  bool ok = false;
  uint32_t error = 0;
  uint32_t bytes = 0;
  bool immediate = false;
};

// Issues one read and waits for it, whether it completes at once or later.
ReadOutcome ReadOnce(ServerPipe& server, std::string& buffer) {
  ReadOutcome out;
  buffer.assign(kReadBuffer, '\0');
  bool started = ReadPipe(server.pipe, &buffer[0], kReadBuffer, &server.overlapped);
  uint32_t error = started ? 0 : GetLastErrorCode();
  out.immediate = started;
  if (!started && error != kErrorIoPending && error != kErrorMoreData) {
    out.error = error;
    return out;
  }
  EXPECT_TRUE(server.WaitDone());
  out.ok = GetPipeOverlappedResult(server.pipe, &server.overlapped, &out.bytes, false);
  out.error = out.ok ? 0 : GetLastErrorCode();
  buffer.resize(out.bytes);
  return out;
}

// Starts a read that must stay pending (nothing is waiting in the pipe).
void StartPendingRead(ServerPipe& server, std::string& buffer) {
  buffer.assign(kReadBuffer, '\0');
  ASSERT_FALSE(ReadPipe(server.pipe, &buffer[0], kReadBuffer, &server.overlapped));
  ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
}

std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed) % 251);
  return s;
}

// Creates the instance, connects one raw client and completes the connect.
class ConnectedPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.valid()) << server_.createError;
    ASSERT_FALSE(ConnectNamedPipeInstance(server_.pipe, &server_.overlapped));
    ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
    client_ = OpenRawClient(name_);
    ASSERT_NE(client_, nullptr);
    ASSERT_TRUE(server_.WaitDone());
    uint32_t n = 99;
    ASSERT_TRUE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
    EXPECT_EQ(n, 0u) << "a completed connect carries no bytes";
  }
  void TearDown() override { CloseRaw(client_); }

  std::string name_ = UniquePipeName();
  ServerPipe server_{name_};
  void* client_ = nullptr;
  std::string buffer_;
};

TEST(Win32PipeInstances, SeventhInstanceOfSixIsBusyUntilOneCloses) {
  const std::string name = UniquePipeName();
  std::unique_ptr<ServerPipe> pipes[6];
  for (auto& p : pipes) {
    p.reset(new ServerPipe(name, 6));
    ASSERT_TRUE(p->valid()) << p->createError;
  }
  {
    ServerPipe seventh(name, 6);
    EXPECT_FALSE(seventh.valid());
    EXPECT_EQ(seventh.createError, kErrorPipeBusy);
  }
  pipes[2].reset();
  ServerPipe again(name, 6);
  EXPECT_TRUE(again.valid()) << again.createError;
}

TEST(Win32PipeInstances, ConnectReportsAClientThatCameFirst) {
  const std::string name = UniquePipeName();
  ServerPipe server(name);
  ASSERT_TRUE(server.valid());
  void* client = OpenRawClient(name);
  ASSERT_NE(client, nullptr) << "a new instance accepts a client before it connects";
  EXPECT_FALSE(ConnectNamedPipeInstance(server.pipe, &server.overlapped));
  EXPECT_EQ(GetLastErrorCode(), kErrorPipeConnected);
  ASSERT_TRUE(RawWrite(client, "early"));
  std::string buffer;
  ReadOutcome r = ReadOnce(server, buffer);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(buffer, "early");
  CloseRaw(client);
}

TEST(Win32PipeInstances, ReadWhileListeningFailsWithoutDisturbingTheConnect) {
  const std::string name = UniquePipeName();
  ServerPipe server(name);
  ASSERT_TRUE(server.valid());
  ASSERT_FALSE(ConnectNamedPipeInstance(server.pipe, &server.overlapped));
  ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
  std::string buffer(kReadBuffer, '\0');
  EXPECT_FALSE(ReadPipe(server.pipe, &buffer[0], kReadBuffer, &server.overlapped));
  EXPECT_NE(GetLastErrorCode(), kErrorIoPending);
  void* client = OpenRawClient(name);
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(server.WaitDone()) << "the connect still completes on the record's event";
  CloseRaw(client);
}

TEST_F(ConnectedPipe, MessageOfBufferSizeArrivesInOneRead) {
  const std::string message = Pattern(kReadBuffer, 1);
  ASSERT_TRUE(RawWrite(client_, message));
  ReadOutcome r = ReadOnce(server_, buffer_);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytes, kReadBuffer);
  EXPECT_TRUE(buffer_ == message);
}

TEST_F(ConnectedPipe, LongerMessageOnPendingReadCompletesWithMoreData) {
  const std::string message = Pattern(kReadBuffer + 1, 2);
  StartPendingRead(server_, buffer_);
  ASSERT_TRUE(RawWrite(client_, message));
  ASSERT_TRUE(server_.WaitDone());
  uint32_t n = 0;
  EXPECT_FALSE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorMoreData);
  EXPECT_EQ(n, kReadBuffer);
  EXPECT_TRUE(buffer_.compare(0, kReadBuffer, message, 0, kReadBuffer) == 0);
  ReadOutcome rest = ReadOnce(server_, buffer_);
  EXPECT_TRUE(rest.ok) << rest.error;
  EXPECT_EQ(buffer_.size(), message.size() - kReadBuffer);
  EXPECT_TRUE(buffer_ == message.substr(kReadBuffer));
}

TEST_F(ConnectedPipe, LongerMessageAlreadyQueuedFailsTheReadAtOnce) {
  const std::string message = Pattern(kReadBuffer + 10, 3);
  ASSERT_TRUE(RawWrite(client_, message));
  buffer_.assign(kReadBuffer, '\0');
  EXPECT_FALSE(ReadPipe(server_.pipe, &buffer_[0], kReadBuffer, &server_.overlapped));
  EXPECT_EQ(GetLastErrorCode(), kErrorMoreData);
  EXPECT_EQ(WaitForEvent(server_.overlapped.event, 0), kWaitObject0)
      << "a read that ends at once signals the record's event like any other";
  uint32_t n = 0;
  EXPECT_FALSE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorMoreData);
  EXPECT_EQ(n, kReadBuffer);
  // The reader learns how much is left, to make room for it at once.
  EXPECT_EQ(PipeMessageBytesLeft(server_.pipe), 10u);
  ReadOutcome rest = ReadOnce(server_, buffer_);
  EXPECT_TRUE(rest.ok);
  EXPECT_EQ(buffer_.size(), message.size() - kReadBuffer);
  EXPECT_TRUE(buffer_ == message.substr(kReadBuffer));
}

TEST_F(ConnectedPipe, ZeroLengthMessageCompletesEmptyAndTheNextArrivesIntact) {
  StartPendingRead(server_, buffer_);
  ASSERT_TRUE(RawWrite(client_, ""));
  ASSERT_TRUE(server_.WaitDone());
  uint32_t n = 99;
  EXPECT_TRUE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(RawWrite(client_, std::string("a\0b", 3)));
  ReadOutcome r = ReadOnce(server_, buffer_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(buffer_, std::string("a\0b", 3));
}

TEST_F(ConnectedPipe, ClientGoneBreaksThePendingReadAndTheInstanceServesTheNext) {
  ASSERT_TRUE(RawWrite(client_, "one"));
  ASSERT_TRUE(RawWrite(client_, "two"));
  ReadOutcome r = ReadOnce(server_, buffer_);
  EXPECT_EQ(buffer_, "one");
  r = ReadOnce(server_, buffer_);
  EXPECT_EQ(buffer_, "two");
  StartPendingRead(server_, buffer_);
  CloseRaw(client_);
  client_ = nullptr;
  ASSERT_TRUE(server_.WaitDone());
  uint32_t n = 0;
  EXPECT_FALSE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
  EXPECT_EQ(GetLastErrorCode(), kErrorBrokenPipe);

  ASSERT_TRUE(DisconnectNamedPipeInstance(server_.pipe));
  ASSERT_FALSE(ConnectNamedPipeInstance(server_.pipe, &server_.overlapped));
  ASSERT_EQ(GetLastErrorCode(), kErrorIoPending);
  client_ = OpenRawClient(name_);
  ASSERT_NE(client_, nullptr);
  ASSERT_TRUE(server_.WaitDone());
  ASSERT_TRUE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
  ASSERT_TRUE(RawWrite(client_, "second client"));
  r = ReadOnce(server_, buffer_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(buffer_, "second client");
}

TEST_F(ConnectedPipe, WriteBesideAPendingReadLeavesTheReadAlone) {
  StartPendingRead(server_, buffer_);
  uint32_t written = 0;
  EXPECT_TRUE(WritePipe(server_.pipe, "0123456789", 10, &written));
  EXPECT_EQ(written, 10u);
  EXPECT_TRUE(WritePipe(server_.pipe, "", 0, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(WaitForEvent(server_.overlapped.event, 50), kWaitTimeout)
      << "the write must not complete on the reader's record";

  char in[64];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(client_, in, sizeof in, &got, nullptr));
  EXPECT_EQ(std::string(in, got), "0123456789");
  got = 99;
  ASSERT_TRUE(ReadFile(client_, in, sizeof in, &got, nullptr));
  EXPECT_EQ(got, 0u) << "an empty write is one zero-length message";

  ASSERT_TRUE(RawWrite(client_, "reply"));
  ASSERT_TRUE(server_.WaitDone());
  uint32_t n = 0;
  EXPECT_TRUE(GetPipeOverlappedResult(server_.pipe, &server_.overlapped, &n, false));
  EXPECT_EQ(std::string(buffer_.data(), n), "reply");
}

TEST_F(ConnectedPipe, WriteAfterTheClientHasGoneFails) {
  CloseRaw(client_);
  client_ = nullptr;
  uint32_t written = 7;
  EXPECT_FALSE(WritePipe(server_.pipe, "late", 4, &written));
  EXPECT_EQ(written, 0u);
}

TEST_F(ConnectedPipe, LargeWriteCompletesWithinTheQuotaWhileTheClientIsNotReading) {
  const std::string message = Pattern(4 * 1024 * 1024, 4);
  uint32_t written = 0;
  EXPECT_TRUE(WritePipe(server_.pipe, message.data(), static_cast<uint32_t>(message.size()), &written));
  EXPECT_EQ(written, message.size());
  std::string in(message.size(), '\0');
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(client_, &in[0], static_cast<DWORD>(in.size()), &got, nullptr));
  EXPECT_EQ(got, message.size());
  EXPECT_TRUE(in == message);
}

}  // namespace
}  // namespace kvx_win32_test
