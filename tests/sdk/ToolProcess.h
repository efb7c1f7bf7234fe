// Runs the kvx tool as a child process with its standard streams on files,
// as a user's shell would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kvxtest {

class ToolProcess {
 public:
  // Starts kvx with `args`; standard input from `stdinPath` ("/dev/null" when
  // empty), standard output and error into files of their own.
  ToolProcess(const std::vector<std::string>& args, const std::string& stdinPath = "");
  ~ToolProcess();

  // The exit code, or -1 when the process had to be killed after `timeout`.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  std::string Stdout() const;
  std::string Stderr() const;
  const std::string& StdoutPath() const { return stdoutPath_; }

 private:
  pid_t pid_ = -1;
  int exitCode_ = -2;
  std::string stdoutPath_;
  std::string stderrPath_;
};

// Runs kvx to the end and returns its exit code.
int RunTool(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace kvxtest
