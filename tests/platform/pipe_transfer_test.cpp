// Messages both ways: framing, pieces, large messages, slow readers, and
// writes with a time limit.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
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

// ---------------------------------------------------------------- timed writes

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

}  // namespace
}  // namespace platform
