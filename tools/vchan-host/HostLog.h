// Output of the host simulator: the plug-in's log lines (entry 16) and the
// host's own, one per line, in a fixed shape that reads well and greps well:
//
//   [server] L1 quor_tera_dgram_vchan code=-500 rx_thread_entry: ...
//   [client] L2 vchan-host code=0 channel open, max datagram 3000 bytes
//
// The level is the plug-in's 0-3; lines above the chosen level are dropped.
// The plug-in's other output (its bridge's debug entries, its pipe servers'
// standard output) is labelled the same way, at level 1, with the tags
// "debug" and "stdout":
//
//   [server] L1 debug code=0 ERROR: Invalid pipe ID.
//   [client] L1 stdout code=0 Connect status: 997
#pragma once

#include <cstdint>
#include <string>

namespace vchan_host {

void SetLogEnd(const char* endName);
void SetLogLevel(int32_t level);

// The entry the plug-in calls.
extern "C" int32_t HostLogEntry(const char* tag, int32_t level, int32_t code, const char* text);

// Routes the plug-in's debug entries and standard output through the log, so
// that every line says which end printed it. Before the plug-in is loaded.
void LabelPluginOutput();

// The host's own lines, tag "vchan-host".
void HostLog(int32_t level, const std::string& text, int32_t code = 0);

}  // namespace vchan_host
