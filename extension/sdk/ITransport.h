// A transport of whole byte messages between the plug-in and one extension
// application: started and stopped by its owner, sending one message at a
// time, and reporting each received message and the loss of its peer through
// two callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Orvane {
namespace Extension {
namespace SDK {

// Result of Start and Send. Callers treat anything but Ok as a failure.
enum class TransportStatus : int32_t {
  Ok = 0,
  Failed = 4,
};

class ITransport {
 public:
  virtual ~ITransport() = default;
  virtual TransportStatus Start() = 0;
  virtual void Stop() = 0;
  virtual TransportStatus Send(std::string message) = 0;
  virtual void SetReceiveCallback(std::function<void(std::string)> callback) = 0;
  virtual void SetDisconnectCallback(std::function<void()> callback) = 0;
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
