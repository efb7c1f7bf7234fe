#include "src/application/common/PcoipVchan/PcoipVchanLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "src/application/common/PcoipVchan/PcoipVchanModule.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

namespace {

int WriteLine(const char* tag, int32_t level, int32_t code, const char* text) {
  // Read afresh on every line: the entry takes effect as soon as init has
  // copied the table, and stays in effect after exit.
  pcoip_vchan_log_fn hostLog = LoadShared(g_plugin_context.vchan_intf.log);
  if (hostLog != nullptr) return hostLog(tag != nullptr ? tag : "", level, code, text);

  int written = std::fputs(text, stdout) < 0 ? 0 : static_cast<int>(std::strlen(text));
  std::fflush(stdout);
  return written;
}

void WriteSummary(const diagnostics::RepeatLimiter::Summary& summary) {
  // Written like the lines it stands for, and cut like any line.
  char line[kLogLineMax + 1];
  std::snprintf(line, sizeof(line), "%s", summary.text.c_str());
  WriteLine(static_cast<const char*>(summary.origin.tag), summary.origin.level, summary.origin.code, line);
}

}  // namespace

diagnostics::RepeatLimiter& PluginLogLimiter() {
  // Never freed: lines are written while the library is being unloaded too.
  static diagnostics::RepeatLimiter* limiter = new diagnostics::RepeatLimiter(&WriteSummary);
  return *limiter;
}

int plugin_log(const char* tag, int32_t level, int32_t code, const char* format, ...) {
  char text[kLogLineMax + 1];
  va_list args;
  va_start(args, format);
  int formatted = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (formatted < 0) text[0] = '\0';

  // Informational lines (level 2 and above, such as the statistics line of
  // every received message) are written only at a verbosity the host asked
  // for, and each one is expected: they are never held back.
  if (level >= kFirstInformationalLevel) return WriteLine(tag, level, code, text);

  // Errors and warnings of one format are one kind, whatever values they
  // carry: many of them report what the peer sent, and a peer must not flood
  // the host's log.
  const diagnostics::RepeatLimiter::Verdict verdict =
      PluginLogLimiter().Admit(format != nullptr ? format : "", text, diagnostics::RepeatLimiter::Clock::now(),
                         {tag, level, code});
  for (const auto& summary : verdict.summaries) WriteSummary(summary);
  if (!verdict.write) {
    // A line held back may have started the limiter's thread, before any
    // init did (a host calling an entry point again and again): from now on
    // the library must stay loaded, as once init has started its threads.
    KeepPluginLoadedUntilProcessExit();
    return 0;
  }
  return WriteLine(tag, level, code, text);
}

int plugin_log_text(const char* tag, int32_t level, int32_t code, const char* text) {
  if (level >= kFirstInformationalLevel) return WriteLine(tag, level, code, text);
  return plugin_log(tag, level, code, "%s", text);
}
