#include "src/application/common/PcoipVchan/PcoipVchanLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "src/application/common/PcoipVchan/PcoipVchanState.h"

int plugin_log(const char* tag, int32_t level, int32_t code, const char* format, ...) {
  char text[kLogLineMax + 1];
  va_list args;
  va_start(args, format);
  int formatted = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (formatted < 0) text[0] = '\0';

  // Read afresh on every line: the entry takes effect as soon as init has
  // copied the table, and stays in effect after exit.
  pcoip_vchan_log_fn hostLog = LoadShared(g_plugin_context.vchan_intf.log);
  if (hostLog != nullptr) return hostLog(tag != nullptr ? tag : "", level, code, text);

  int written = std::fputs(text, stdout) < 0 ? 0 : static_cast<int>(std::strlen(text));
  std::fflush(stdout);
  return written;
}
