// Any bytes, read both ways the bridge reads a unit: the workers route by the
// look that copies nothing (ReadMessageKind) and fall back to the full parse
// only where it refuses. Both must accept and refuse the same units and,
// where they accept, agree on the kind and on every field the look reports;
// otherwise a unit would be routed differently from what the full parse says
// it is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "proto/kvx.pb.h"
#include "src/application/common/PcoipVchan/ChannelBridgeMessageKind.h"

namespace {

void Fail(const char* what, size_t size) {
  std::fprintf(stderr, "message_kind_fuzzer: %s (input of %zu bytes)\n", what, size);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  KVX::Message full;
  const bool parsed = full.ParseFromString(input);
  MessageKind kind;
  const bool read = ReadMessageKind(input, &kind);
  if (parsed != read) Fail(parsed ? "the look refuses a unit the parse accepts"
                                  : "the look accepts a unit the parse refuses", size);
  if (!parsed) return 0;

  const MessageKind expected = KindOfParsed(full);
  if (kind.content != expected.content) Fail("content differs", size);
  if (kind.requestBody != expected.requestBody) Fail("request body differs", size);
  if (kind.responseBody != expected.responseBody) Fail("response body differs", size);
  if (kind.channelId != expected.channelId) Fail("channel ID differs", size);
  if (kind.name != expected.name) Fail("name differs", size);
  return 0;
}
