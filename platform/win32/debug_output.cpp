#include "platform/debug_output.h"

#include <utility>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "platform/win32/win32_api.h"

namespace platform {

namespace {

// Allocated once and never freed: diagnostics are written during library
// unload too, after ordinary statics may already have been destroyed.
struct SinkSlot {
  Mutex lock;
  DebugSink sink GUARDED_BY(lock);
};

SinkSlot& Slot() {
  static SinkSlot* slot = new SinkSlot;
  return *slot;
}

}  // namespace

void OutputDebugText(const char* text) {
  if (text == nullptr) text = "";
  DebugSink sink;
  {
    SinkSlot& slot = Slot();
    MutexLock guard(slot.lock);
    sink = slot.sink;
  }
  if (sink) {
    sink(text);
  } else {
    OutputDebugStringA(text);
  }
}

void SetDebugSink(DebugSink sink) {
  SinkSlot& slot = Slot();
  MutexLock guard(slot.lock);
  slot.sink = std::move(sink);
}

}  // namespace platform
