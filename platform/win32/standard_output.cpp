#include "platform/standard_output.h"

#include <iostream>
#include <mutex>

namespace platform {
namespace {

// Allocated once and never freed: servers print during library unload too.
struct OutputSlot {
  std::mutex lock;
  OutputSink sink;
};

OutputSlot& Slot() {
  static OutputSlot* slot = new OutputSlot;
  return *slot;
}

}  // namespace

void WriteStandardOutput(const std::string& text, bool endLine) {
  std::lock_guard<std::mutex> guard(Slot().lock);
  if (Slot().sink) {
    Slot().sink(endLine ? text + "\n" : text);
    return;
  }
  std::cout << text;
  if (endLine) std::cout << std::endl;
}

void SetStandardOutputSink(OutputSink sink) {
  std::lock_guard<std::mutex> guard(Slot().lock);
  Slot().sink = std::move(sink);
}

}  // namespace platform
