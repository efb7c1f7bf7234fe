#include "tools/vchan-host/HostLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/debug_output.h"
#include "platform/standard_output.h"

namespace vchan_host {
namespace {

std::mutex g_outputLock;
std::atomic<int32_t> g_level{1};
const char* g_end = "host";

void WriteLine(const char* tag, int32_t level, int32_t code, const char* text) {
  if (level > g_level.load()) return;
  std::string body = text != nullptr ? text : "";
  // One line per entry: a trailing line break is the plug-in's, inner ones
  // would split the entry for a reader filtering by line.
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
  for (char& c : body) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::lock_guard<std::mutex> lock(g_outputLock);
  std::fprintf(stdout, "[%s] L%d %s code=%d %s\n", g_end, static_cast<int>(level),
               (tag != nullptr && tag[0] != '\0') ? tag : "-", static_cast<int>(code), body.c_str());
  std::fflush(stdout);
}

}  // namespace

void SetLogEnd(const char* endName) { g_end = endName; }
void SetLogLevel(int32_t level) { g_level.store(level); }

extern "C" int32_t HostLogEntry(const char* tag, int32_t level, int32_t code, const char* text) {
  WriteLine(tag, level, code, text);
  return 0;
}

void LabelPluginOutput() {
  platform::SetDebugSink([](const std::string& text) { WriteLine("debug", 1, 0, text.c_str()); });
  // A piece without a line break ("Error reading Pipe LastError: 234") is
  // the start of a line that the next piece ends; it waits for it. The sink
  // runs under the output's own lock, so `pending` needs no other.
  platform::SetStandardOutputSink([pending = std::string()](const std::string& text) mutable {
    pending += text;
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      WriteLine("stdout", 1, 0, pending.substr(start, end - start).c_str());
    }
    pending.erase(0, start);
  });
}

void HostLog(int32_t level, const std::string& text, int32_t code) {
  WriteLine("vchan-host", level, code, text.c_str());
}

}  // namespace vchan_host
