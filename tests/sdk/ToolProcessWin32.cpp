// Starting and reaping the tool with CreateProcess. The tool sits beside the
// test program (the build copies it there), as it would on a user's machine.
#include <windows.h>

#include <stdexcept>

#include "tests/sdk/ToolProcess.h"

namespace kvxtest {
namespace {

// Quoted as the C runtime splits a command line: backslashes are literal
// except before a quote.
std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

HANDLE OpenInherited(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE file = CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return file;
}

}  // namespace

std::string ToolPath() {
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self, length);
  return path.substr(0, path.find_last_of("\\/") + 1) + "kvx.exe";
}

void ToolProcess::Start(const std::vector<std::string>& args, const std::string& stdinPath) {
  std::string commandLine;
  for (const std::string& arg : args) commandLine += (commandLine.empty() ? "" : " ") + QuoteArgument(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = OpenInherited(stdinPath.empty() ? "NUL" : stdinPath, false);
  startup.hStdOutput = OpenInherited(stdoutPath_, true);
  startup.hStdError = OpenInherited(stderrPath_, true);
  PROCESS_INFORMATION started{};
  // Wine now and then fails a start with ERROR_INTERNAL_ERROR and then
  // succeeds with the same call; only that error is tried again.
  BOOL ok = FALSE;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ok = CreateProcessA(args[0].c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &started);
    if (ok || GetLastError() != ERROR_INTERNAL_ERROR) break;
    Sleep(100);
  }
  const DWORD startError = ok ? 0 : GetLastError();
  CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  if (!ok) throw std::runtime_error("cannot start " + args[0] + ", error " + std::to_string(startError));
  CloseHandle(started.hThread);
  process_ = reinterpret_cast<intptr_t>(started.hProcess);
}

bool ToolProcess::Interrupt() { return false; }

bool ToolProcess::Reap(bool kill, int* exitCode) {
  HANDLE process = reinterpret_cast<HANDLE>(process_);
  if (kill) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
  } else if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
    return false;
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    *exitCode = static_cast<int>(code);
  }
  CloseHandle(process);
  process_ = -1;
  return true;
}

}  // namespace kvxtest
