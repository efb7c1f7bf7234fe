#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

#include <string>
#include <vector>

std::string BuildConnectionNotice(const std::string& channelName, int64_t channelId,
                                  KVX::ResultCode status) {
  KVX::ChannelConnectionResponse notice;
  notice.set_channel_name(channelName);
  notice.set_channel_id(channelId);
  notice.set_status(status);
  return WrapConnectionResponse(notice);
}

std::string BuildConnectRequest(const std::string& channelName) {
  KVX::Message message;
  message.mutable_request()->mutable_connect_channel_request()->set_channel_name(channelName);
  return message.SerializeAsString();
}

std::string BuildPropertyAnswer(const std::string& propertyName, const std::string& value) {
  KVX::Message message;
  KVX::GetPropertyResponse* answer = message.mutable_response()->mutable_get_property_response();
  answer->set_property_name(propertyName);
  answer->set_property_value(value);
  return message.SerializeAsString();
}

std::string WrapConnectionResponse(const KVX::ChannelConnectionResponse& response) {
  KVX::Message message;
  *message.mutable_response()->mutable_channel_connection_response() = response;
  return message.SerializeAsString();
}

namespace {

bool ReadVarint(const char** at, const char* end, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64 && *at < end; shift += 7) {
    const auto byte = static_cast<uint8_t>(*(*at)++);
    *value |= uint64_t{byte & 0x7Fu} << shift;
    if ((byte & 0x80u) == 0) return true;
  }
  return false;
}

// Calls `found`(number, body, bodyEnd) for each length-delimited field in
// [at, end) and skips the others, without looking inside any. False when the
// bytes are not well-formed fields.
template <typename Found>
bool ForEachLengthDelimited(const char* at, const char* end, Found found) {
  while (at < end) {
    uint64_t key = 0, length = 0;
    if (!ReadVarint(&at, end, &key)) return false;
    switch (key & 7u) {
      case 0:
        if (!ReadVarint(&at, end, &length)) return false;
        continue;
      case 1:
        length = 8;
        break;
      case 2:
        if (!ReadVarint(&at, end, &length)) return false;
        break;
      case 5:
        length = 4;
        break;
      default:
        return false;
    }
    if (length > static_cast<uint64_t>(end - at)) return false;
    if ((key & 7u) == 2) found(key >> 3, at, at + length);
    at += length;
  }
  return true;
}

}  // namespace

unsigned RequestBodiesOnWire(const std::string& bytes) {
  constexpr uint64_t kRequestField = 20;  // Message.request
  unsigned bodies = 0;
  ForEachLengthDelimited(bytes.data(), bytes.data() + bytes.size(),
                         [&](uint64_t number, const char* body, const char* bodyEnd) {
    if (number != kRequestField) return;
    ForEachLengthDelimited(body, bodyEnd, [&](uint64_t field, const char*, const char*) {
      // Request.connect_channel_request, disconnect_channel_request,
      // get_property_request
      bodies |= field == 11 ? kWireConnect : field == 12 ? kWireDisconnect
                                           : field == 30 ? kWireProperty : 0u;
    });
  });
  return bodies;
}

bool ParseUnit(const std::string& bytes, KVX::Message* message) {
  message->Clear();
  return message->ParseFromString(bytes);
}

namespace ChannelBridgeText {
const char* WriteTimedOut(int32_t pipeId) {
  // Built once; the limiter and the debugger output keep only the pointer's text.
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> built;
    for (int32_t pipe = 0; pipe < 6; ++pipe) {
      built.push_back("ERROR: Write to pipe " + std::to_string(pipe) +
                      " timed out; a message was lost and the client disconnected.");
    }
    return built;
  }();
  return texts[pipeId >= 0 && pipeId < 6 ? static_cast<size_t>(pipeId) : 0].c_str();
}
}  // namespace ChannelBridgeText
