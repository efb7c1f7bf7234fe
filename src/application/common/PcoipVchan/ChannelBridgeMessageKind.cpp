#include "src/application/common/PcoipVchan/ChannelBridgeMessageKind.h"

namespace {

// How deep messages and groups may nest below the unit, as for the full parse.
constexpr int kNestingLimit = 100;

// The message types whose fields matter to the walk: the submessages it
// enters and the fields it records. Every other field is checked as the full
// parse checks an unknown one, which for a known scalar or bytes field is the
// same check.
enum class Shape {
  kMessage,
  kRequest,
  kResponse,
  kConnect,
  kLaunchOptions,
  kTransfer,
  kDisconnect,
  kPropertyRequest,
  kConnectionResponse,
  kPropertyResponse,
  kNone,
};

constexpr uint32_t kVarint = 0;
constexpr uint32_t kFixed64 = 1;
constexpr uint32_t kLengthDelimited = 2;
constexpr uint32_t kStartGroup = 3;
constexpr uint32_t kEndGroup = 4;
constexpr uint32_t kFixed32 = 5;

// The submessage a length-delimited field of `shape` holds, or kNone.
Shape SubmessageOf(Shape shape, uint32_t number) {
  switch (shape) {
    case Shape::kMessage:
      return number == 20 ? Shape::kRequest : number == 30 ? Shape::kResponse : Shape::kNone;
    case Shape::kRequest:
      switch (number) {
        case 11: return Shape::kConnect;
        case 12: return Shape::kDisconnect;
        case 20: return Shape::kTransfer;
        case 30: return Shape::kPropertyRequest;
        default: return Shape::kNone;
      }
    case Shape::kResponse:
      return number == 11   ? Shape::kConnectionResponse
             : number == 12 ? Shape::kPropertyResponse
                            : Shape::kNone;
    case Shape::kConnect:
      return number == 3 ? Shape::kLaunchOptions : Shape::kNone;
    default:
      return Shape::kNone;
  }
}

class KindReader {
 public:
  explicit KindReader(MessageKind* kind) : kind_(kind) {}

  // Walks [at, end) as one message of `shape`, `depth` more levels allowed
  // below it. False on anything the full parse refuses.
  bool Walk(const char* at, const char* end, Shape shape, int depth) {
    while (at < end) {
      uint32_t tag = 0;
      if (!ReadTag(&at, end, &tag)) return false;
      // A zero tag or an end of group ends a message early, and one with a
      // length must end exactly at it.
      if (tag == 0 || (tag & 7) == kEndGroup) return false;
      const uint32_t number = tag >> 3;
      const uint32_t wire = tag & 7;
      if (wire == kLengthDelimited) {
        const Shape inner = SubmessageOf(shape, number);
        const char* body = nullptr;
        if (inner != Shape::kNone) {
          if (!ReadLength(&at, end, &body) || depth - 1 < 0) return false;
          Enter(shape, number);
          if (!Walk(body, at, inner, depth - 1)) return false;
          continue;
        }
        if (number == 1 && (shape == Shape::kConnect || shape == Shape::kPropertyRequest)) {
          if (!ReadLength(&at, end, &body)) return false;
          kind_->name = std::string_view(body, static_cast<size_t>(at - body));
          continue;
        }
      } else if (wire == kVarint && number == 1 &&
                 (shape == Shape::kTransfer || shape == Shape::kDisconnect)) {
        uint64_t value = 0;
        if (!ReadVarint(&at, end, &value)) return false;
        kind_->channelId = static_cast<int64_t>(value);
        continue;
      }
      if (!SkipField(tag, &at, end, depth)) return false;
    }
    return true;
  }

 private:
  // A oneof member is about to be parsed into: switching to another member
  // drops what the previous one held, as the full parse clears it.
  void Enter(Shape shape, uint32_t number) {
    if (shape == Shape::kMessage) {
      const auto content =
          number == 20 ? KVX::Message::kRequest : KVX::Message::kResponse;
      if (kind_->content != content) {
        kind_->content = content;
        kind_->requestBody = KVX::Request::BODY_NOT_SET;
        kind_->responseBody = KVX::Response::BODY_NOT_SET;
        ForgetBodyFields();
      }
    } else if (shape == Shape::kRequest) {
      const auto body = static_cast<KVX::Request::BodyCase>(number);
      if (kind_->requestBody != body) {
        kind_->requestBody = body;
        ForgetBodyFields();
      }
    } else if (shape == Shape::kResponse) {
      kind_->responseBody = static_cast<KVX::Response::BodyCase>(number);
    }
  }

  void ForgetBodyFields() {
    kind_->channelId = 0;
    kind_->name = std::string_view();
  }

  // At most ten bytes; bits beyond 64 are dropped.
  static bool ReadVarint(const char** at, const char* end, uint64_t* value) {
    *value = 0;
    for (int i = 0; i < 10 && *at < end; ++i) {
      const auto byte = static_cast<uint8_t>(*(*at)++);
      *value |= static_cast<uint64_t>(byte & 0x7Fu) << (7 * i);
      if (byte < 0x80) return true;
    }
    return false;
  }

  // At most five bytes; bits beyond 32 are dropped.
  static bool ReadTag(const char** at, const char* end, uint32_t* tag) {
    *tag = 0;
    for (int i = 0; i < 5 && *at < end; ++i) {
      const auto byte = static_cast<uint8_t>(*(*at)++);
      *tag |= static_cast<uint32_t>(byte & 0x7Fu) << (7 * i);
      if (byte < 0x80) return true;
    }
    return false;
  }

  // A length of at most five bytes, below 2 GiB, and the bytes it covers,
  // which must lie within `end`: `*body` is their start, `*at` their end.
  static bool ReadLength(const char** at, const char* end, const char** body) {
    uint64_t length = 0;
    for (int i = 0;; ++i) {
      if (i == 5 || *at >= end) return false;
      const auto byte = static_cast<uint8_t>(*(*at)++);
      length |= static_cast<uint64_t>(byte & 0x7Fu) << (7 * i);
      if (byte < 0x80) break;
    }
    if (length > static_cast<uint64_t>(end - *at)) return false;
    *body = *at;
    *at += length;
    return true;
  }

  // A field the walk does not look into, checked as the full parse checks
  // an unknown field.
  bool SkipField(uint32_t tag, const char** at, const char* end, int depth) {
    if ((tag >> 3) == 0) return false;
    const char* body = nullptr;
    uint64_t value = 0;
    switch (tag & 7) {
      case kVarint:
        return ReadVarint(at, end, &value);
      case kFixed64:
        return Advance(at, end, 8);
      case kLengthDelimited:
        return ReadLength(at, end, &body);
      case kFixed32:
        return Advance(at, end, 4);
      case kStartGroup:
        return SkipGroup(tag, at, end, depth - 1);
      default:
        return false;
    }
  }

  static bool Advance(const char** at, const char* end, size_t count) {
    if (static_cast<size_t>(end - *at) < count) return false;
    *at += count;
    return true;
  }

  // The fields of a group up to its end tag, which must carry the group's
  // own field number, before `end`.
  bool SkipGroup(uint32_t startTag, const char** at, const char* end, int depth) {
    if (depth < 0) return false;
    while (*at < end) {
      uint32_t tag = 0;
      if (!ReadTag(at, end, &tag)) return false;
      if (tag == 0 || (tag & 7) == kEndGroup) return tag == startTag + 1;
      if (!SkipField(tag, at, end, depth)) return false;
    }
    return false;
  }

  MessageKind* kind_;
};

}  // namespace

bool ReadMessageKind(const std::string& bytes, MessageKind* kind) {
  *kind = MessageKind();
  KindReader reader(kind);
  return reader.Walk(bytes.data(), bytes.data() + bytes.size(), Shape::kMessage, kNestingLimit);
}

MessageKind KindOfParsed(const KVX::Message& message) {
  MessageKind kind;
  kind.content = message.content_case();
  kind.requestBody = message.request().body_case();
  kind.responseBody = message.response().body_case();
  const KVX::Request& request = message.request();
  switch (kind.requestBody) {
    case KVX::Request::kTransferData:
      kind.channelId = request.transfer_data().channel_id();
      break;
    case KVX::Request::kDisconnectChannelRequest:
      kind.channelId = request.disconnect_channel_request().channel_id();
      break;
    case KVX::Request::kConnectChannelRequest:
      kind.name = request.connect_channel_request().channel_name();
      break;
    case KVX::Request::kGetPropertyRequest:
      kind.name = request.get_property_request().property_name();
      break;
    default:
      break;
  }
  return kind;
}
