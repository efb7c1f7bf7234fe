#include "tools/vchan-host/HostLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

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

void HostLog(int32_t level, const std::string& text, int32_t code) {
  WriteLine("vchan-host", level, code, text.c_str());
}

}  // namespace vchan_host
