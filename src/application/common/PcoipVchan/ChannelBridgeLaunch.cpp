// Launching an application at the client end when the far end asks for it,
// within the bounds of the launch gate.
#include <memory>

#include "platform/debug_output.h"
#include "platform/shell.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

void ChannelBridge::LaunchApplication(const std::string& appLink) {
  switch (launchGate->TryStart(LaunchGate::Clock::now())) {
    case LaunchGate::Verdict::kTooManyRunning:
      Diagnose(ChannelBridgeText::kLaunchDroppedRunning);
      return;
    case LaunchGate::Verdict::kTooFrequent:
      Diagnose(ChannelBridgeText::kLaunchDroppedRate);
      return;
    case LaunchGate::Verdict::kAllowed:
      break;
  }
  // The gate is shared with the reaper, which may report the end of the
  // opener after this bridge has gone.
  std::shared_ptr<LaunchGate> gate = launchGate;
  const intptr_t result = platform::ShellOpen(appLink, [gate] { gate->Finished(); });
  if (result <= 32) {
    Diagnose(ChannelBridgeText::kLaunchFailed);
  }
}
