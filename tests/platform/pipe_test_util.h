// Helpers for the named pipe stand-in's tests.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/named_pipe.h"

namespace platform {
namespace testing_pipe {

inline const char* kName = "\\\\.\\pipe\\kvx_test_pipe";
constexpr uint32_t kBufferSize = 262144;
constexpr uint32_t kQuota = 0x4000000;

inline int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// Each test gets its own KVX_PIPE_DIR, and must leave no descriptor, thread
// or socket file behind.
class PipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvx_pipe_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("KVX_PIPE_DIR", dir_.c_str(), 1);
    // Sanitizer runtimes start a thread of their own at the first thread
    // created; let that happen before counting. A joined thread stays listed
    // in /proc until the kernel has finished its exit, a moment after the
    // join returns (longer on a busy machine), so the count is taken once
    // the helper has gone from there, or after a short wait when the count
    // stays one higher because a sanitizer thread came.
    const int before = CountEntries("/proc/self/task");
    std::thread([] {}).join();
    WaitForThreadCount(before, std::chrono::milliseconds(100));
    fds_ = CountEntries("/proc/self/fd");
    threads_ = CountEntries("/proc/self/task");
  }
  void TearDown() override {
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds_) << "descriptors leaked";
    EXPECT_EQ(WaitForThreadCount(threads_, std::chrono::seconds(2)), threads_) << "threads leaked";
    EXPECT_EQ(CountEntries(dir_.c_str()), 2) << "files left in " << dir_;
    unsetenv("KVX_PIPE_DIR");
    rmdir(dir_.c_str());
  }
  std::string SocketPath(const std::string& base = "kvx_test_pipe") const { return dir_ + "/" + base; }

  // The entries of /proc/self/task once they number at most `count`, or
  // what they number when `timeout` has passed.
  static int WaitForThreadCount(int count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int now = CountEntries("/proc/self/task");
    while (now > count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      now = CountEntries("/proc/self/task");
    }
    return now;
  }

  std::string dir_;
  int fds_ = 0;
  int threads_ = 0;
};

// A server instance with a manual-reset I/O event in its overlapped record,
// as the pipe server sets it up.
struct ServerInstance {
  explicit ServerInstance(uint32_t maxInstances = 6, const std::string& name = kName) {
    io = CreateEventObject(true, false);
    ov.event = io;
    pipe = CreateNamedPipeInstance(name, kPipeAccessDuplexOverlapped, kPipeMessageModeWait, maxInstances, kQuota,
                                   kQuota, 5000);
    error = GetLastErrorCode();
  }
  ~ServerInstance() {
    Close();
    CloseEventObject(io);
  }
  void Close() {
    if (valid()) ClosePipe(pipe);
    pipe = InvalidPipeHandle();
  }
  bool valid() const { return pipe != InvalidPipeHandle(); }

  PipeHandle pipe = InvalidPipeHandle();
  EventHandle io = nullptr;
  PipeOverlapped ov;
  uint32_t error = 0;
};

struct ReadOutcome {
  uint32_t error = 0;  // 0, kErrorMoreData, kErrorBrokenPipe, ...; kWaitTimeout if nothing came
  uint32_t bytes = 0;
  bool immediate = false;
};

// Issues one read and sees it through, whether it completes at once or later.
inline ReadOutcome ReadOnce(ServerInstance& s, void* buffer, uint32_t size, uint32_t timeoutMs = 20000) {
  ReadOutcome out;
  const bool ok = ReadPipe(s.pipe, buffer, size, &s.ov);
  const uint32_t error = ok ? kErrorSuccess : GetLastErrorCode();
  if (ok || error == kErrorMoreData) {
    out.immediate = true;
    // A read that completes at once sets the event too.
    EXPECT_EQ(WaitForEvent(s.io, 0), kWaitObject0);
    const bool done = GetPipeOverlappedResult(s.pipe, &s.ov, &out.bytes, false);
    out.error = done ? kErrorSuccess : GetLastErrorCode();
    EXPECT_EQ(out.error, error);
    return out;
  }
  if (error != kErrorIoPending) {
    out.immediate = true;
    out.error = error;
    return out;
  }
  if (WaitForEvent(s.io, timeoutMs) != kWaitObject0) {
    out.error = kWaitTimeout;
    return out;
  }
  const bool done = GetPipeOverlappedResult(s.pipe, &s.ov, &out.bytes, false);
  out.error = done ? kErrorSuccess : GetLastErrorCode();
  return out;
}

// Reads one whole message of at most kBufferSize bytes.
inline std::string ReadMessage(ServerInstance& s) {
  std::string buffer(kBufferSize, '\0');
  ReadOutcome r = ReadOnce(s, buffer.data(), kBufferSize);
  EXPECT_EQ(r.error, kErrorSuccess);
  buffer.resize(r.error == kErrorSuccess ? r.bytes : 0);
  return buffer;
}

// Connects the instance and waits for a client: true once one is there.
inline bool ConnectAndWait(ServerInstance& s, uint32_t timeoutMs = 20000) {
  if (ConnectNamedPipeInstance(s.pipe, &s.ov)) return true;
  const uint32_t error = GetLastErrorCode();
  if (error == kErrorPipeConnected) return true;
  if (error != kErrorIoPending) return false;
  if (WaitForEvent(s.io, timeoutMs) != kWaitObject0) return false;
  uint32_t n = 1;
  return GetPipeOverlappedResult(s.pipe, &s.ov, &n, false) && n == 0;
}

struct Client {
  explicit Client(const std::string& name = kName, uint32_t timeoutMs = 5000) {
    pipe = OpenPipeClient(name, timeoutMs);
    error = GetLastErrorCode();
  }
  ~Client() { Close(); }
  void Close() {
    if (valid()) ClosePipeClient(pipe);
    pipe = InvalidPipeHandle();
  }
  bool valid() const { return pipe != InvalidPipeHandle(); }
  bool Write(const std::string& m) { return WritePipeMessage(pipe, m.data(), m.size()); }
  std::string Read() {
    std::string m;
    EXPECT_TRUE(ReadPipeMessage(pipe, &m));
    return m;
  }

  PipeHandle pipe = InvalidPipeHandle();
  uint32_t error = 0;
};

// Bytes that differ from message to message (by `seed`) and along each one.
inline std::string Pattern(size_t size, uint32_t seed) {
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
inline sockaddr_un RawAddress(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  return a;
}

inline int RawConnect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a = RawAddress(path);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline int RawListen(const std::string& path, bool listening) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a = RawAddress(path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  if (listening) listen(fd, 4);
  return fd;
}

inline bool RawReadAll(int fd, char* out, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, out, n, 0);
    if (r <= 0) return false;
    out += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace testing_pipe
}  // namespace platform
