#include "src/application/common/PcoipVchan/ChannelBridgeNotices.h"

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

// Whether the fields in [at, end) hold a length-delimited field `number`;
// its contents in [*body, *bodyEnd).
bool HasField(const char* at, const char* end, uint64_t number, const char** body,
              const char** bodyEnd) {
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
    if ((key >> 3) == number && (key & 7u) == 2) {
      *body = at;
      *bodyEnd = at + length;
      return true;
    }
    at += length;
  }
  return false;
}

}  // namespace

bool MayBePropertyRequest(const std::string& bytes) {
  constexpr uint64_t kRequestField = 20;          // Message.request
  constexpr uint64_t kGetPropertyRequestField = 30;  // Request.get_property_request
  const char* request = nullptr;
  const char* requestEnd = nullptr;
  const char* unused = nullptr;
  return HasField(bytes.data(), bytes.data() + bytes.size(), kRequestField, &request, &requestEnd) &&
         HasField(request, requestEnd, kGetPropertyRequestField, &unused, &unused);
}

bool ParseUnit(const std::string& bytes, KVX::Message* message) {
  message->Clear();
  return message->ParseFromString(bytes);
}

namespace ChannelBridgeText {
const char* WriteTimedOut(int32_t pipeId) {
  static const char* const kTexts[] = {
      "ERROR: Write to pipe 0 timed out; a message was lost and the client disconnected.",
      "ERROR: Write to pipe 1 timed out; a message was lost and the client disconnected.",
      "ERROR: Write to pipe 2 timed out; a message was lost and the client disconnected.",
      "ERROR: Write to pipe 3 timed out; a message was lost and the client disconnected.",
      "ERROR: Write to pipe 4 timed out; a message was lost and the client disconnected.",
      "ERROR: Write to pipe 5 timed out; a message was lost and the client disconnected.",
  };
  constexpr int32_t kCount = static_cast<int32_t>(sizeof kTexts / sizeof kTexts[0]);
  return kTexts[pipeId >= 0 && pipeId < kCount ? pipeId : 0];
}
}  // namespace ChannelBridgeText
