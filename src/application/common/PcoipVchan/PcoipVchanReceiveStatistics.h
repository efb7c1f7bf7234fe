// The statistics line written for every received message, formatted without
// the general printf machinery: it is the one line written per message, so
// its cost is paid at the message rate. The text is exactly that of
//   "%s: It took %u ms to receive %u bytes in %d packets (Av=%d ms  %4.2f KBytes/sec)."
// cut at kLogLineMax characters like any line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/application/common/PcoipVchan/PcoipVchanLog.h"

struct ReceiveStatistics {
  const char* thread;
  uint32_t elapsedMs;
  uint32_t length;
  int packets;
  int averageMs;
  // KBytes per second; infinite for a message that took no measurable time.
  double rate;
};

// Writes the line into `text` (kLogLineMax + 1 bytes) and returns its length.
size_t FormatReceiveStatistics(const ReceiveStatistics& figures, char (&text)[kLogLineMax + 1]);
