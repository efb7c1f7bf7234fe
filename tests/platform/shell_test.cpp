#include "platform/shell.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

#ifndef _WIN32
// Runs a test body with PATH set to `dir`, then restores it.
class PathOverride {
 public:
  explicit PathOverride(const std::string& dir) {
    const char* old = getenv("PATH");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("PATH", dir.c_str(), 1);
  }
  ~PathOverride() {
    if (had_) {
      setenv("PATH", old_.c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::string MakeTempDir() {
  char tmpl[] = "/tmp/kvx_shell_XXXXXX";
  char* dir = mkdtemp(tmpl);
  return dir != nullptr ? std::string(dir) : std::string();
}
#endif

TEST(Shell, HookRecordsCallsAndChoosesTheResult) {
  std::vector<std::string> calls;
  SetShellOpenHook([&](const std::string& link) {
    calls.push_back(link);
    return static_cast<intptr_t>(calls.size() == 1 ? 42 : 2);
  });
  EXPECT_EQ(ShellOpen("app://one"), 42);
  EXPECT_EQ(ShellOpen("app://two"), 2);
  SetShellOpenHook(nullptr);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "app://one");
  EXPECT_EQ(calls[1], "app://two");
}

// The opener below is xdg-open; on Windows ShellExecuteA is tested in
// tests/windows.
#ifndef _WIN32
TEST(Shell, MissingOpenerReturnsTwo) {
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  {
    PathOverride path(dir);
    EXPECT_EQ(ShellOpen("https://example.invalid/"), 2);
  }
  rmdir(dir.c_str());
}

TEST(Shell, LinkIsOneArgumentWithNoShellInBetween) {
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string record = dir + "/args";
  const std::string marker = dir + "/injected";
  {
    std::ofstream script(dir + "/xdg-open");
    // Writes each argument on its own line, prefixed with its position.
    script << "#!/bin/sh\n"
              "i=0\n"
              "for a in \"$@\"; do i=$((i+1)); printf '%s:%s\\n' \"$i\" \"$a\" >> '"
           << record << ".tmp'; done\n"
              "mv '" << record << ".tmp' '" << record << "'\n";
  }
  chmod((dir + "/xdg-open").c_str(), 0755);
  const std::string link = "file:///a b; touch " + marker + " $(touch " + marker + ") `touch " + marker + "`";
  {
    PathOverride path(dir + ":/usr/bin:/bin");
    EXPECT_GT(ShellOpen(link), 32);
  }
  std::string contents;
  for (int i = 0; i < 500 && contents.empty(); ++i) {
    std::ifstream in(record);
    std::stringstream ss;
    ss << in.rdbuf();
    contents = ss.str();
    if (contents.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(contents, "1:" + link + "\n");
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the link was run by a shell";
  unlink(record.c_str());
  unlink((dir + "/xdg-open").c_str());
  rmdir(dir.c_str());
}

size_t ThreadCount() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

// Processes whose parent is this one, zombies included.
size_t ChildCount() {
  size_t count = 0;
  for (const auto& process : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(process.path() / "stat");
    std::string line, state;
    long parent = 0;
    // pid (comm) state ppid ...; comm may hold spaces, so read after the last ')'.
    if (!std::getline(stat, line)) continue;
    std::istringstream(line.substr(line.rfind(')') + 1)) >> state >> parent;
    count += parent == static_cast<long>(getpid()) ? 1 : 0;
  }
  return count;
}

TEST(Shell, OneReaperForAllOpenersAndNoOptionLikeLinks) {
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string record = dir + "/opened";
  {
    std::ofstream script(dir + "/xdg-open");
    // Stays a while, so that all openers run at once.
    script << "#!/bin/sh\necho \"$1\" >> '" << record << "'\nsleep 0.3\n";
  }
  chmod((dir + "/xdg-open").c_str(), 0755);
  constexpr int kOpeners = 8;
  std::atomic<int> finished{0};
  size_t peakThreads = 0;
  size_t threadsWithReaper = 0;
  {
    PathOverride path(dir + ":/usr/bin:/bin");
    EXPECT_EQ(ShellOpen("--help", [&] { ++finished; }), 5);
    EXPECT_EQ(ShellOpen("-", [&] { ++finished; }), 5);
    for (int i = 0; i < kOpeners; ++i) {
      EXPECT_GT(ShellOpen("app://" + std::to_string(i), [&] { ++finished; }), 32);
      // The first opener brought the reaper (and whatever threads the
      // runtime starts on a first spawn); later ones must add none.
      if (i == 0) threadsWithReaper = ThreadCount();
      peakThreads = std::max(peakThreads, ThreadCount());
    }
  }
  for (int i = 0; i < 1000 && finished.load() < kOpeners + 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(finished.load(), kOpeners + 2);
  EXPECT_EQ(peakThreads, threadsWithReaper) << "a thread per opener";
  // Every opener has been reaped: no child of this process is left, not even
  // a zombie (an earlier test's opener may take a moment to end).
  for (int i = 0; i < 500 && ChildCount() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ChildCount(), 0u);
  std::ifstream opened(record);
  std::string line;
  size_t lines = 0;
  while (std::getline(opened, line)) {
    EXPECT_EQ(line.rfind("app://", 0), 0u) << "an option-like link reached the opener";
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kOpeners));
  unlink(record.c_str());
  unlink((dir + "/xdg-open").c_str());
  rmdir(dir.c_str());
}
#endif

}  // namespace
}  // namespace platform
