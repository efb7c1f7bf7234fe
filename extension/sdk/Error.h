// Errors reported by the SDK. No call of the SDK throws for a run-time
// failure: each returns an Error (or a Result holding one) that names what
// went wrong in words an application can show to its user.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "extension/sdk/Export.h"

namespace Orvane {
namespace Extension {
namespace SDK {

// A time-out that never ends, for every call that takes one.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

enum class ErrorCode : int32_t {
  Ok = 0,
  // No plug-in serves the pipe: the pipe does not exist.
  NoServer,
  // Every pipe instance is serving another application, or no instance
  // answered within the connect time-out.
  PipeBusy,
  // The pipe connection ended: the plug-in went away, or the session was
  // closed while the call waited.
  ConnectionLost,
  // The wait ended before the awaited answer, notice or data arrived.
  Timeout,
  // The channel was lost (CONNECTION_LOST): the far end's application went
  // away without leaving the channel (it ended or its plug-in did), or
  // another application at this end took the channel over. Data it was
  // still sending may be missing.
  ChannelLost,
  // The channel was disconnected by this application.
  ChannelClosed,
  // The operation needs a connected channel and this one is not connected.
  NotConnected,
  // A message arrived that is not a valid KVX message, or one the SDK did not
  // expect.
  ProtocolError,
  // The message would be longer than one pipe message may be.
  MessageTooLarge,
  // The caller passed something the operation cannot accept.
  InvalidArgument,
  // The operating system refused an operation; Error::SystemCode() has its code.
  SystemError,
  // The far end's application left the channel in the ordinary way (it
  // disconnected): the channel waits for a peer again (CONNECTION_PENDING_PEER
  // after CONNECTION_CONNECTED). Everything it sent before leaving has been
  // delivered. Added last, so that the numbers of the older codes stay.
  PeerLeft,
  // This user may not use the pipe. On POSIX its folder is not one to trust
  // (a symbolic link, another user's, or open to group or others: the
  // message names it, says how it was chosen and how to make a fit one) or
  // another user serves the socket; on Windows the pipe's security refused.
  // A missing folder is NoServer: nobody serves there yet.
  AccessDenied,
};

// A short stable name for a code ("timeout", "no-server", ...), for logs and
// machine-readable output.
KVX_SDK_API const char* ErrorCodeName(ErrorCode code);

class KVX_SDK_API Error {
 public:
  Error() = default;
  Error(ErrorCode code, std::string message, uint32_t systemCode = 0)
      : code_(code), message_(std::move(message)), systemCode_(systemCode) {}

  static Error Success() { return Error(); }

  bool Ok() const { return code_ == ErrorCode::Ok; }
  explicit operator bool() const { return !Ok(); }  // true when there is an error
  ErrorCode Code() const { return code_; }
  // What went wrong, in one sentence without a trailing full stop.
  const std::string& Message() const { return message_; }
  // The operating system's error code behind a failure, 0 when none.
  uint32_t SystemCode() const { return systemCode_; }
  // "<code name>: <message>".
  std::string ToString() const;

 private:
  ErrorCode code_ = ErrorCode::Ok;
  std::string message_;
  uint32_t systemCode_ = 0;
};

// A value or the error that prevented it.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  Result(Error error) : error_(std::move(error)) {
    if (error_.Ok()) error_ = Error(ErrorCode::InvalidArgument, "a result was made from a success without a value");
  }

  bool Ok() const { return error_.Ok(); }
  explicit operator bool() const { return Ok(); }
  const Error& GetError() const { return error_; }

  // The value; only meaningful when Ok().
  T& Value() & { return value_; }
  const T& Value() const& { return value_; }
  T&& Value() && { return std::move(value_); }
  T& operator*() & { return value_; }
  const T& operator*() const& { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }

 private:
  T value_{};
  Error error_;
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
