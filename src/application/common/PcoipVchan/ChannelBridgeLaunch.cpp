// Launching an application at the client end when the far end asks for it,
// within the bounds of the launch gate, waiting in the launch queue when
// launches come faster than the gate allows.
#include <memory>

#include "platform/debug_output.h"
#include "platform/shell.h"
#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

void ChannelBridge::LaunchApplication(const std::string& appLink) {
  // Over the gate's rate a launch waits its turn; only beyond the queue is
  // it dropped.
  if (!launchQueue->Launch(appLink)) {
    Diagnose(ChannelBridgeText::kLaunchDropped);
  }
}

void ChannelBridge::OpenLink(const std::string& appLink) {
  // The gate is shared with the reaper, which may report the end of the
  // opener after this bridge has gone.
  std::shared_ptr<LaunchGate> gate = launchGate;
  const intptr_t result = platform::ShellOpen(appLink, [gate] { gate->Finished(); });
  if (result <= 32) {
    Diagnose(ChannelBridgeText::kLaunchFailed);
  }
}
