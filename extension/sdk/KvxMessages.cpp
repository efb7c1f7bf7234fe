#include "extension/sdk/KvxMessages.h"

#include <utility>

#include "proto/kvx.pb.h"

namespace Orvane {
namespace Extension {
namespace SDK {
namespace Wire {

std::string ConnectRequest(const std::string& channelName, const std::string& launchAppLink) {
  KVX::Message message;
  KVX::ConnectChannelRequest* connect = message.mutable_request()->mutable_connect_channel_request();
  connect->set_channel_name(channelName);
  if (!launchAppLink.empty()) {
    connect->mutable_launch_options()->set_launch_mode(KVX::LAUNCH_APP);
    connect->mutable_launch_options()->set_app_link(launchAppLink);
  }
  return message.SerializeAsString();
}

std::string DisconnectRequest(int64_t channelId) {
  KVX::Message message;
  message.mutable_request()->mutable_disconnect_channel_request()->set_channel_id(channelId);
  return message.SerializeAsString();
}

std::string PropertyRequest(const std::string& propertyName) {
  KVX::Message message;
  message.mutable_request()->mutable_get_property_request()->set_property_name(propertyName);
  return message.SerializeAsString();
}

namespace {

// Appends to a head's bytes, which never need more than their room: three
// keys of one or two bytes with lengths of at most ten, a key and a 5-byte
// ID, two keys with 10-byte values, 63 bytes in all.
class HeadWriter {
 public:
  explicit HeadWriter(TransferHead* head) : head_(head) {}
  void Varint(uint64_t value) {
    while (value >= 0x80) {
      Byte(static_cast<char>((value & 0x7F) | 0x80));
      value >>= 7;
    }
    Byte(static_cast<char>(value));
  }
  // A varint field, left out when 0 as the serialiser does.
  void VarintField(uint32_t number, uint64_t value) {
    if (value == 0) return;
    Varint(number << 3);
    Varint(value);
  }
  void LengthOf(uint32_t number, size_t length) {
    Varint(number << 3 | 2);
    Varint(length);
  }

 private:
  void Byte(char byte) { head_->bytes[head_->size++] = byte; }
  TransferHead* head_;
};

size_t VarintSize(uint64_t value) {
  size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

size_t VarintFieldSize(uint32_t number, uint64_t value) {
  return value == 0 ? 0 : VarintSize(number << 3) + VarintSize(value);
}

size_t LengthOfSize(uint32_t number, size_t length) { return VarintSize(number << 3 | 2) + VarintSize(length); }

}  // namespace

// Encoded by hand, the same bytes as the serialiser writes: going through a
// KVX::Message would copy the data twice more (into the message, then out),
// and data may be up to 64 MiB.
TransferHead TransferDataHead(int64_t channelId, int64_t appValue, size_t dataSize, uint32_t requestId) {
  const size_t transferSize = VarintFieldSize(1, static_cast<uint64_t>(channelId)) +
                              VarintFieldSize(2, static_cast<uint64_t>(appValue)) +
                              (dataSize == 0 ? 0 : LengthOfSize(3, dataSize)) + dataSize;
  const size_t requestSize = VarintFieldSize(1, requestId) + LengthOfSize(20, transferSize) + transferSize;
  TransferHead head;
  HeadWriter out(&head);
  out.LengthOf(20, requestSize);  // Message.request
  out.VarintField(1, requestId);
  out.LengthOf(20, transferSize);  // Request.transfer_data
  out.VarintField(1, static_cast<uint64_t>(channelId));
  out.VarintField(2, static_cast<uint64_t>(appValue));
  if (dataSize != 0) out.LengthOf(3, dataSize);
  return head;
}

std::string TransferData(int64_t channelId, int64_t appValue, const std::string& data, uint32_t requestId) {
  const TransferHead head = TransferDataHead(channelId, appValue, data.size(), requestId);
  std::string out;
  out.reserve(head.size + data.size());
  out.append(head.bytes, head.size).append(data);
  return out;
}

namespace {

// Reads the varint at `*at`, no further than `end`, in the form every
// serialiser writes: as few bytes as the value needs, at most ten, the tenth
// no more than 1 (a full 64-bit value). Any other form is left to the full
// parse.
bool TakeVarint(const char** at, const char* end, uint64_t* value) {
  uint64_t result = 0;
  for (int shift = 0; shift < 70 && *at < end; shift += 7) {
    const uint8_t byte = static_cast<uint8_t>(*(*at)++);
    if (shift == 63 && byte > 1) return false;
    result |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      if (byte == 0 && shift > 0) return false;
      *value = result;
      return true;
    }
  }
  return false;
}

// Takes the key `key` when it comes next.
bool TakeKey(const char** at, const char* end, uint32_t key) {
  const char* p = *at;
  uint64_t found = 0;
  if (!TakeVarint(&p, end, &found) || found != key) return false;
  *at = p;
  return true;
}

// A length-delimited field `number` that runs exactly to `end`.
bool TakeEnclosing(const char** at, const char* end, uint32_t number) {
  uint64_t length = 0;
  return TakeKey(at, end, number << 3 | 2) && TakeVarint(at, end, &length) &&
         length == static_cast<uint64_t>(end - *at);
}

// Data from the far application, in the one shape the SDK writes it (see
// TransferData): each field once, in order, nothing else. It is read without
// the message classes, and the data is kept where it arrived, so that a
// message costs no copies or allocations besides its own bytes. Any other
// shape, valid or not, is left to the full parse, which decides as always;
// this shape the full parse accepts and reads to the same values.
bool ReadCanonicalData(std::string* bytes, Incoming* in) {
  const char* at = bytes->data();
  const char* const end = at + bytes->size();
  uint64_t requestId = 0, channelId = 0, appValue = 0;
  if (!TakeEnclosing(&at, end, 20)) return false;                       // Message.request
  if (TakeKey(&at, end, 1 << 3) && (!TakeVarint(&at, end, &requestId) || requestId > UINT32_MAX)) return false;
  if (!TakeEnclosing(&at, end, 20)) return false;                       // Request.transfer_data
  if (TakeKey(&at, end, 1 << 3) && !TakeVarint(&at, end, &channelId)) return false;
  if (TakeKey(&at, end, 2 << 3) && !TakeVarint(&at, end, &appValue)) return false;
  if (at != end && !TakeEnclosing(&at, end, 3)) return false;           // TransferData.data, last
  in->kind = Incoming::Kind::Data;
  in->channelId = static_cast<int64_t>(channelId);
  in->appValue = static_cast<int64_t>(appValue);
  in->requestId = static_cast<uint32_t>(requestId);
  const size_t offset = static_cast<size_t>(at - bytes->data());
  // The data is the message's tail: moved to the front of the same buffer,
  // unless the buffer is much larger than the data would be (a read may
  // leave room to spare), which a queued packet should not hold on to.
  if (bytes->capacity() / 2 > bytes->size() - offset + 64) {
    in->value.assign(at, end);
  } else {
    bytes->erase(0, offset);
    in->value = std::move(*bytes);
  }
  return true;
}

}  // namespace

Incoming Read(std::string bytes) {
  Incoming in;
  if (ReadCanonicalData(&bytes, &in)) return in;
  return ReadParsed(bytes);
}

Incoming ReadParsed(const std::string& bytes) {
  Incoming in;
  KVX::Message message;
  if (!message.ParseFromString(bytes)) return in;
  in.kind = Incoming::Kind::Unexpected;
  if (message.has_request() && message.request().has_transfer_data()) {
    const KVX::TransferData& transfer = message.request().transfer_data();
    in.kind = Incoming::Kind::Data;
    in.channelId = transfer.channel_id();
    in.appValue = transfer.app_value();
    in.value = transfer.data();
    in.requestId = message.request().id();
  } else if (message.has_response() && message.response().has_channel_connection_response()) {
    const KVX::ChannelConnectionResponse& notice = message.response().channel_connection_response();
    in.kind = Incoming::Kind::Notice;
    in.name = notice.channel_name();
    in.channelId = notice.channel_id();
    in.status = static_cast<int32_t>(notice.status());
  } else if (message.has_response() && message.response().has_get_property_response()) {
    const KVX::GetPropertyResponse& property = message.response().get_property_response();
    in.kind = Incoming::Kind::Property;
    in.name = property.property_name();
    in.value = property.property_value();
  }
  return in;
}

}  // namespace Wire
}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
