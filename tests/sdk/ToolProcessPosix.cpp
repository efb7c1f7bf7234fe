// Starting and reaping the tool with posix_spawn and waitpid.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <stdexcept>

#include "tests/sdk/ToolProcess.h"

extern char** environ;

namespace kvxtest {

std::string ToolPath() { return KVX_TOOL_PATH; }

void ToolProcess::Start(const std::vector<std::string>& args, const std::string& stdinPath) {
  std::vector<std::string> argvStrings = args;
  std::vector<char*> argv;
  for (auto& arg : argvStrings) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argvStrings[0]);
  process_ = pid;
}

bool ToolProcess::Interrupt() { return exitCode_ == -2 && ::kill(static_cast<pid_t>(process_), SIGINT) == 0; }

bool ToolProcess::Reap(bool kill, int* exitCode) {
  const auto pid = static_cast<pid_t>(process_);
  int status = 0;
  if (kill) {
    ::kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return true;
  }
  if (waitpid(pid, &status, WNOHANG) != pid) return false;
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

}  // namespace kvxtest
