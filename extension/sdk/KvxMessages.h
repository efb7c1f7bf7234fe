// Building and reading the KVX messages an application exchanges with the
// plug-in. Internal to the SDK: applications see only Session and Channel.
#pragma once

#include <cstdint>
#include <string>

namespace Orvane {
namespace Extension {
namespace SDK {
namespace Wire {

// Connection notice statuses, as numbered on the wire.
constexpr int32_t kStatusConnected = 20;
constexpr int32_t kStatusPendingPeer = 21;
constexpr int32_t kStatusLost = 22;

std::string ConnectRequest(const std::string& channelName, const std::string& launchAppLink);
std::string DisconnectRequest(int64_t channelId);
std::string PropertyRequest(const std::string& propertyName);
std::string TransferData(int64_t channelId, int64_t appValue, const std::string& data, uint32_t requestId);

// The bytes of a data message that come before its data, so that the data
// can be written after them without first being copied in behind them.
struct TransferHead {
  char bytes[64];
  size_t size = 0;
};
TransferHead TransferDataHead(int64_t channelId, int64_t appValue, size_t dataSize, uint32_t requestId);

// What one message from the plug-in says, as far as an application cares.
struct Incoming {
  enum class Kind {
    Unparsable,
    Data,        // channelId, appValue, data, requestId
    Notice,      // name, channelId, status
    Property,    // name, value
    Unexpected,  // a valid message of a kind the plug-in does not send to applications
  };
  Kind kind = Kind::Unparsable;
  std::string name;
  std::string value;
  int64_t channelId = -1;
  int64_t appValue = 0;
  uint32_t requestId = 0;
  int32_t status = 0;
};

// Reads one message, taking its bytes: data moves into `value` without a
// copy where the message has the shape the SDK itself writes.
Incoming Read(std::string bytes);
// The same through the full parse alone, whatever the shape.
Incoming ReadParsed(const std::string& bytes);

}  // namespace Wire
}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
