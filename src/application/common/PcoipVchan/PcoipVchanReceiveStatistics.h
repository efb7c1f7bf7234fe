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

// The running average behind the line, and the line itself, for one stream
// of messages (whole ones, or those that came in pieces).
class ReceiveStatisticsLog {
 public:
  // `tag` is the log tag (the channel name); it must outlive this object.
  explicit ReceiveStatisticsLog(const char* tag) : tag_(tag) {}
  // One message of `length` bytes completed in `packets` datagrams, `elapsedMs`
  // after its first (a span of the wrapping tick counter).
  void OnMessage(uint32_t elapsedMs, uint32_t length, int packets);

 private:
  const char* tag_;
  uint32_t completed_ = 0;
  uint64_t totalMs_ = 0;
};
