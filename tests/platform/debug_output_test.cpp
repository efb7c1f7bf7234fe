#include "platform/debug_output.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#ifndef _WIN32
#include <fcntl.h>
#endif
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(DebugOutput, SinkReceivesOneEntryPerCallWithTheExactText) {
  std::vector<std::string> entries;
  SetDebugSink([&](const std::string& text) { entries.push_back(text); });
  OutputDebugText("first");
  OutputDebugText("");
  OutputDebugText("with\nnewline and trailing space ");
  OutputDebugText(nullptr);
  SetDebugSink(nullptr);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0], "first");
  EXPECT_EQ(entries[1], "");
  EXPECT_EQ(entries[2], "with\nnewline and trailing space ");
  EXPECT_EQ(entries[3], "");
}

// On Windows the default goes to the debugger channel instead (tests/windows).
#ifndef _WIN32
TEST(DebugOutput, DefaultWritesTextAndNewlineToStderr) {
  char path[] = "/tmp/kvx_debug_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  fflush(stderr);
  int saved = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  SetDebugSink(nullptr);
  OutputDebugText("hello debugger");
  OutputDebugText("second");
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string contents(4096, '\0');
  ssize_t n = pread(fd, contents.data(), contents.size(), 0);
  close(fd);
  unlink(path);
  ASSERT_GE(n, 0);
  contents.resize(static_cast<size_t>(n));
  EXPECT_EQ(contents, "hello debugger\nsecond\n");
}
#endif

TEST(DebugOutput, EntriesFromManyThreadsStayWhole) {
  std::mutex m;
  std::vector<std::string> entries;
  SetDebugSink([&](const std::string& text) {
    std::lock_guard<std::mutex> lock(m);
    entries.push_back(text);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) OutputDebugText(("thread " + std::to_string(t)).c_str());
    });
  }
  for (auto& t : threads) t.join();
  SetDebugSink(nullptr);
  ASSERT_EQ(entries.size(), 400u);
  for (const auto& e : entries) EXPECT_EQ(e.rfind("thread ", 0), 0u);
}

}  // namespace
}  // namespace platform
