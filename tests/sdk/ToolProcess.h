// Runs the kvx tool as a child process with its standard streams on files,
// as a user's shell would.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kvxtest {

class ToolProcess {
 public:
  // Starts kvx with `args`; standard input from `stdinPath` (the null device
  // when empty), standard output and error into files of their own.
  ToolProcess(const std::vector<std::string>& args, const std::string& stdinPath = "");
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // The exit code, or -1 when the process had to be killed after `timeout`.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Sends what Ctrl-C sends (SIGINT); false where the platform has no such
  // signal for another process (Windows).
  bool Interrupt();
  // Ends the process at once, as a crash would.
  void Kill();
  std::string Stdout() const;
  std::string Stderr() const;
  const std::string& StdoutPath() const { return stdoutPath_; }

 private:
  // Per platform: start the process, and reap it (true) or find it running.
  void Start(const std::vector<std::string>& argv, const std::string& stdinPath);
  bool Reap(bool kill, int* exitCode);

  intptr_t process_ = -1;  // a pid, or a process HANDLE on Windows
  int exitCode_ = -2;
  std::string stdoutPath_;
  std::string stderrPath_;
};

// Runs kvx to the end and returns its exit code.
int RunTool(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr);

// The path of the kvx tool under test.
std::string ToolPath();

// A new, empty file in the system's temporary folder (the caller removes it).
std::string MakeTempFile(const std::string& tag);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace kvxtest
