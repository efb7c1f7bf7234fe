#include "tests/sdk/ToolProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kvxtest {

namespace {

std::string TempPath(const char* what) {
  char pattern[] = "/tmp/kvx-tool-XXXXXX";
  int fd = mkstemp(pattern);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  return std::string(pattern) + "." + what;
}

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::string& stdinPath)
    : stdoutPath_(TempPath("out")), stderrPath_(TempPath("err")) {
  std::vector<std::string> argvStrings;
  argvStrings.push_back(KVX_TOOL_PATH);
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argvStrings) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argvStrings[0]);
}

ToolProcess::~ToolProcess() {
  if (exitCode_ == -2) Wait(std::chrono::seconds(5));
  std::remove(stdoutPath_.c_str());
  std::remove(stderrPath_.c_str());
  std::remove(stdoutPath_.substr(0, stdoutPath_.size() - 4).c_str());
  std::remove(stderrPath_.substr(0, stderrPath_.size() - 4).c_str());
}

int ToolProcess::Wait(std::chrono::milliseconds timeout) {
  if (exitCode_ != -2) return exitCode_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitCode_;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      exitCode_ = -1;
      return exitCode_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string ToolProcess::Stdout() const { return ReadFile(stdoutPath_); }
std::string ToolProcess::Stderr() const { return ReadFile(stderrPath_); }

int RunTool(const std::vector<std::string>& args, std::string* out, std::string* err) {
  ToolProcess tool(args);
  int code = tool.Wait();
  if (out) *out = tool.Stdout();
  if (err) *err = tool.Stderr();
  return code;
}

}  // namespace kvxtest
