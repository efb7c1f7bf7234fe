// Ctrl-C, Ctrl-Break and closing the console end the host cleanly: the
// console handler only sets an event, and the main loop takes it.
#include "tools/vchan-host/StopSignals.h"

#include <windows.h>

#include <atomic>

namespace vchan_host {
namespace {

HANDLE g_stopEvent = nullptr;
std::atomic<int> g_taken{0};

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      // Stored as type + 1, so that Ctrl-C (0) still reads as a stop.
      g_taken.store(static_cast<int>(type) + 1);
      SetEvent(g_stopEvent);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void BlockStopSignals() {
  g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int WaitForStopSignal(uint32_t timeoutMs) {
  if (WaitForSingleObject(g_stopEvent, timeoutMs) != WAIT_OBJECT_0) return 0;
  return g_taken.load();
}

const char* SignalName(int signal) {
  switch (signal - 1) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "console close";
    default: return "a stop request";
  }
}

}  // namespace vchan_host
