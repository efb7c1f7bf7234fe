#include "platform/debug_output.h"

#include <mutex>

#include "platform/win32/win32_api.h"

namespace platform {

namespace {

// Allocated once and never freed: diagnostics are written during library
// unload too, after ordinary statics may already have been destroyed.
struct SinkSlot {
  std::mutex lock;
  DebugSink sink;
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
    std::lock_guard<std::mutex> guard(Slot().lock);
    sink = Slot().sink;
  }
  if (sink) {
    sink(text);
  } else {
    OutputDebugStringA(text);
  }
}

void SetDebugSink(DebugSink sink) {
  std::lock_guard<std::mutex> guard(Slot().lock);
  Slot().sink = std::move(sink);
}

}  // namespace platform
