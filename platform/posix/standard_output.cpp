// Standard output on POSIX, one per process like the console it stands for
// (see shared_store.h): a sink set by the program reaches a plug-in's lines.
#include "platform/standard_output.h"

#include <iostream>
#include <utility>

#include "platform/posix/shared_store.h"

extern "C" __attribute__((visibility("default"))) platform::posix_detail::SinkStore* kvx_platform_output_store() {
  // Never destroyed: servers print while the library unloads too.
  static auto* store = new platform::posix_detail::SinkStore();
  return store;
}

namespace platform {
namespace {

posix_detail::SinkStore& Shared() {
  static posix_detail::SinkStore* store =
      posix_detail::FindSharedStore("kvx_platform_output_store", &kvx_platform_output_store);
  return *store;
}

}  // namespace

void WriteStandardOutput(const std::string& text, bool endLine) {
  posix_detail::WriteThroughSink(Shared(), endLine ? text + "\n" : text,
                                 [](const std::string& line) { std::cout << line << std::flush; });
}

void SetStandardOutputSink(OutputSink sink) { posix_detail::ReplaceSink(Shared(), std::move(sink)); }

}  // namespace platform
