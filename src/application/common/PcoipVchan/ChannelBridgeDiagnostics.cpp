// The bridge's one way of writing a diagnostic. Most of them answer what the
// peer or an application sends, so a flood of bad input would otherwise be a
// flood of lines in the host's debugger output.
#include <string>

#include "platform/debug_output.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"

void ChannelBridge::Diagnose(const char* text) {
  const diagnostics::RepeatLimiter::Verdict verdict =
      diagnosticLimiter.Admit(text, text, diagnostics::RepeatLimiter::Clock::now());
  for (const auto& summary : verdict.summaries) platform::OutputDebugText(summary.text.c_str());
  if (verdict.write) platform::OutputDebugText(text);
}
