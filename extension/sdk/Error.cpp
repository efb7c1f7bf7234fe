#include "extension/sdk/Error.h"

namespace Orvane {
namespace Extension {
namespace SDK {

const char* ErrorCodeName(ErrorCode code) {
  switch (code) {
    case ErrorCode::Ok: return "ok";
    case ErrorCode::NoServer: return "no-server";
    case ErrorCode::PipeBusy: return "pipe-busy";
    case ErrorCode::ConnectionLost: return "connection-lost";
    case ErrorCode::Timeout: return "timeout";
    case ErrorCode::ChannelLost: return "channel-lost";
    case ErrorCode::ChannelClosed: return "channel-closed";
    case ErrorCode::NotConnected: return "not-connected";
    case ErrorCode::ProtocolError: return "protocol-error";
    case ErrorCode::MessageTooLarge: return "message-too-large";
    case ErrorCode::InvalidArgument: return "invalid-argument";
    case ErrorCode::SystemError: return "system-error";
    case ErrorCode::PeerLeft: return "peer-left";
    case ErrorCode::AccessDenied: return "access-denied";
  }
  return "unknown";
}

std::string Error::ToString() const {
  if (Ok()) return "ok";
  return std::string(ErrorCodeName(code_)) + ": " + message_;
}

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
