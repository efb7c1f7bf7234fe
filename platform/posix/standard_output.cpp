// Standard output on POSIX, one per process like the console it stands for
// (see shared_store.h): a sink set by the program reaches a plug-in's lines.
#include "platform/standard_output.h"

#include <iostream>
#include <mutex>

#include "platform/posix/shared_store.h"

namespace platform {
namespace output_stand_in {

struct Store {
  std::recursive_mutex mutex;
  OutputSink sink;
};

}  // namespace output_stand_in
}  // namespace platform

extern "C" __attribute__((visibility("default"))) platform::output_stand_in::Store* kvx_platform_output_store() {
  // Never destroyed: servers print while the library unloads too.
  static auto* store = new platform::output_stand_in::Store();
  return store;
}

namespace platform {
namespace {

output_stand_in::Store& Shared() {
  static output_stand_in::Store* store =
      posix_detail::FindSharedStore("kvx_platform_output_store", &kvx_platform_output_store);
  return *store;
}

}  // namespace

void WriteStandardOutput(const std::string& text, bool endLine) {
  output_stand_in::Store& store = Shared();
  std::lock_guard<std::recursive_mutex> lock(store.mutex);
  if (store.sink) {
    store.sink(endLine ? text + "\n" : text);
    return;
  }
  std::cout << text;
  if (endLine) std::cout << std::endl;
}

void SetStandardOutputSink(OutputSink sink) {
  OutputSink old;
  {
    output_stand_in::Store& store = Shared();
    std::lock_guard<std::recursive_mutex> lock(store.mutex);
    old = std::move(store.sink);
    store.sink = std::move(sink);
  }
}

}  // namespace platform
