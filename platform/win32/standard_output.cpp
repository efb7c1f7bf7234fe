#include "platform/standard_output.h"

#include <iostream>
#include <utility>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace platform {
namespace {

// Allocated once and never freed: servers print during library unload too.
struct OutputSlot {
  Mutex lock;
  OutputSink sink GUARDED_BY(lock);
};

OutputSlot& Slot() {
  static OutputSlot* slot = new OutputSlot;
  return *slot;
}

}  // namespace

void WriteStandardOutput(const std::string& text, bool endLine) {
  OutputSlot& slot = Slot();
  MutexLock guard(slot.lock);
  if (slot.sink) {
    slot.sink(endLine ? text + "\n" : text);
    return;
  }
  std::cout << text;
  if (endLine) std::cout << std::endl;
}

void SetStandardOutputSink(OutputSink sink) {
  OutputSlot& slot = Slot();
  MutexLock guard(slot.lock);
  slot.sink = std::move(sink);
}

}  // namespace platform
