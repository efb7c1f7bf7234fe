// SIGINT and SIGTERM end the host cleanly: they are blocked in every thread
// (the plug-in's threads inherit the mask) and taken by the main loop.
#pragma once

#include <cstdint>

namespace vchan_host {

// Call before any thread starts.
void BlockStopSignals();

// Waits up to `timeoutMs`; returns the signal number taken, or 0.
int WaitForStopSignal(uint32_t timeoutMs);

const char* SignalName(int signal);

}  // namespace vchan_host
