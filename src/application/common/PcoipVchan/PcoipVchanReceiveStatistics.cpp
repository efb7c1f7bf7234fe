#include "src/application/common/PcoipVchan/PcoipVchanReceiveStatistics.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

// Appends to a fixed buffer, cutting what does not fit as vsnprintf would.
class LineWriter {
 public:
  explicit LineWriter(char (&text)[kLogLineMax + 1]) : text_(text) {}
  void Put(const char* bytes, size_t count) {
    const size_t room = static_cast<size_t>(kLogLineMax) - used_;
    if (count > room) count = room;
    std::memcpy(text_ + used_, bytes, count);
    used_ += count;
  }
  void Put(const char* literal) { Put(literal, std::strlen(literal)); }
  template <typename Integer>
  void PutInteger(Integer value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    Put(digits, static_cast<size_t>(result.ptr - digits));
  }
  size_t Finish() {
    text_[used_] = '\0';
    return used_;
  }

 private:
  char* text_;
  size_t used_ = 0;
};

}  // namespace

size_t FormatReceiveStatistics(const ReceiveStatistics& figures, char (&text)[kLogLineMax + 1]) {
  LineWriter line(text);
  line.Put(figures.thread);
  line.Put(": It took ");
  line.PutInteger(figures.elapsedMs);
  line.Put(" ms to receive ");
  line.PutInteger(figures.length);
  line.Put(" bytes in ");
  line.PutInteger(figures.packets);
  line.Put(" packets (Av=");
  line.PutInteger(figures.averageMs);
  line.Put(" ms  ");
  if (std::isinf(figures.rate) && figures.rate > 0) {
    // Most small messages arrive within the same millisecond: their rate
    // needs no floating-point formatting at all ("%4.2f" of infinity).
    line.Put(" inf");
  } else {
    // Only the rate goes through the library, so its digits and rounding
    // are exactly the library's.
    char rate[64];
    const int length = std::snprintf(rate, sizeof(rate), "%4.2f", figures.rate);
    if (length > 0) line.Put(rate, static_cast<size_t>(length) < sizeof(rate) ? static_cast<size_t>(length) : sizeof(rate) - 1);
  }
  line.Put(" KBytes/sec).");
  return line.Finish();
}

void ReceiveStatisticsLog::OnMessage(uint32_t elapsedMs, uint32_t length, int packets) {
  ++completed_;
  totalMs_ += elapsedMs;
  const uint32_t average = static_cast<uint32_t>(totalMs_ / completed_);
  // KBytes per second of this message; a message that took no measurable
  // time shows as infinite rather than as a division by zero.
  const double rate = elapsedMs == 0 ? std::numeric_limits<double>::infinity()
                                     : static_cast<double>(length) / (elapsedMs * 1.024);
  char line[kLogLineMax + 1];
  FormatReceiveStatistics({"rx_thread_entry", elapsedMs, length, packets, static_cast<int>(average), rate},
                          line);
  plugin_log_text(tag_, 2, 0, line);
}
