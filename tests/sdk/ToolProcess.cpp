#include "tests/sdk/ToolProcess.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

namespace kvxtest {

std::string MakeTempFile(const std::string& tag) {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device()();
  const auto folder = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto path = folder / ("kvx-" + tag + "-" + std::to_string(seed) + "-" +
                                std::to_string(counter.fetch_add(1)));
    if (std::filesystem::exists(path)) continue;
    std::ofstream create(path, std::ios::binary);
    if (create) return path.string();
  }
  throw std::runtime_error("cannot create a temporary file in " + folder.string());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::string& stdinPath)
    : stdoutPath_(MakeTempFile("out")), stderrPath_(MakeTempFile("err")) {
  std::vector<std::string> argv{ToolPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  Start(argv, stdinPath);
}

ToolProcess::~ToolProcess() {
  if (exitCode_ == -2) Wait(std::chrono::seconds(5));
  std::remove(stdoutPath_.c_str());
  std::remove(stderrPath_.c_str());
}

void ToolProcess::Kill() {
  if (exitCode_ != -2) return;
  Reap(true, &exitCode_);
  exitCode_ = -1;
}

int ToolProcess::Wait(std::chrono::milliseconds timeout) {
  if (exitCode_ != -2) return exitCode_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Reap(false, &exitCode_)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      Reap(true, &exitCode_);
      exitCode_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitCode_;
}

namespace {

// The tool's text output ends its lines the platform's way; the tests
// compare with "\n". Binary output (cat) is read raw through StdoutPath().
std::string AsText(std::string text) {
#if defined(_WIN32)
  std::string unix;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) unix += text[i];
  }
  text.swap(unix);
#endif
  return text;
}

}  // namespace

std::string ToolProcess::Stdout() const { return AsText(ReadFile(stdoutPath_)); }
std::string ToolProcess::Stderr() const { return AsText(ReadFile(stderrPath_)); }

int RunTool(const std::vector<std::string>& args, std::string* out, std::string* err) {
  ToolProcess tool(args);
  int code = tool.Wait();
  if (out) *out = tool.Stdout();
  if (err) *err = tool.Stderr();
  return code;
}

}  // namespace kvxtest
