// Any bytes, read as a KVX.Message the way the bridge reads every unit from a
// pipe or from the peer. Whatever a parse accepts must serialise to a
// canonical form that reads back to the same message: otherwise the bridge
// could build notices, or the SDK forward messages, that change meaning on
// the way. Also covers the copy and merge paths the bridge and SDK use.
// (Serialisation is canonical, so the first re-serialisation may differ from
// the input, e.g. for repeated fields or non-minimal varints; from there on
// the bytes must stay the same.)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "proto/kvx.pb.h"

namespace {

void Fail(const char* what, const std::string& first, const std::string& second) {
  std::fprintf(stderr, "kvx_message_fuzzer: %s (%zu vs %zu bytes)\n", what, first.size(),
               second.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  KVX::Message parsed;
  parsed.Clear();
  const bool ok = parsed.ParseFromString(input);

  // A failed parse leaves a partly filled message that the bridge goes on
  // with. Serialising it must not crash, but it need not read back: the
  // runtime keeps the truncated tail of an unknown field it was reading when
  // the input ran out, so the bytes may end mid-field.
  const std::string first = parsed.SerializeAsString();
  if (first.size() != parsed.ByteSizeLong()) Fail("size differs from ByteSizeLong", first, input);
  if (!ok) return 0;

  KVX::Message reread;
  if (!reread.ParseFromString(first)) Fail("own serialisation does not parse", first, input);
  const std::string second = reread.SerializeAsString();
  if (second != first) Fail("re-serialisation changed the bytes", first, second);
  if (reread.content_case() != parsed.content_case()) Fail("content case changed", first, second);
  if (parsed.has_request() && reread.request().body_case() != parsed.request().body_case()) {
    Fail("request body case changed", first, second);
  }
  if (parsed.has_response() && reread.response().body_case() != parsed.response().body_case()) {
    Fail("response body case changed", first, second);
  }


  // Deep copies (the bridge copies requests and responses out of what it
  // received) serialise like the original.
  KVX::Message copy(parsed);
  if (copy.SerializeAsString() != first) Fail("copy serialises differently", first, input);
  if (parsed.has_request()) {
    const KVX::Request request(parsed.request());
    if (request.SerializeAsString() != parsed.request().SerializeAsString()) {
      Fail("copied request differs", first, input);
    }
  }
  if (parsed.has_response()) {
    const KVX::Response response(parsed.response());
    if (response.SerializeAsString() != parsed.response().SerializeAsString()) {
      Fail("copied response differs", first, input);
    }
  }

  // Merging a message into an empty one is the same as having it.
  KVX::Message merged;
  merged.MergeFrom(parsed);
  if (merged.SerializeAsString() != first) Fail("merge into empty differs", first, input);

  // Two units concatenated parse as the merge of the two, as the wire format
  // promises; the result must still round-trip.
  KVX::Message doubled;
  if (!doubled.ParseFromString(input + input)) Fail("a unit twice over does not parse", input, input);
  const std::string twice = doubled.SerializeAsString();
  KVX::Message again;
  if (!again.ParseFromString(twice) || again.SerializeAsString() != twice) {
    Fail("merged message does not round-trip", twice, input);
  }
  return 0;
}
