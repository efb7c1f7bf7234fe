// The requests that end the host cleanly, taken by the main loop: SIGINT and
// SIGTERM on POSIX (blocked in every thread; the plug-in's threads inherit
// the mask), Ctrl-C, Ctrl-Break and console close on Windows.
#pragma once

#include <cstdint>

namespace vchan_host {

// Call before any thread starts.
void BlockStopSignals();

// Waits up to `timeoutMs`; returns the request taken (non-zero), or 0.
int WaitForStopSignal(uint32_t timeoutMs);

const char* SignalName(int signal);

}  // namespace vchan_host
