// The application's end of the plug-in's named pipe: an ITransport that
// connects to a pipe served by the plug-in, sends whole messages and receives
// whole messages on a reader thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "extension/sdk/Error.h"
#include "extension/sdk/Export.h"
#include "extension/sdk/ITransport.h"

namespace Orvane {
namespace Extension {
namespace SDK {

// The pipe every plug-in serves.
KVX_SDK_API const char* DefaultPipeName();

// The longest message one pipe message may carry: the plug-in joins the
// pieces of a long message up to its pipe quota of 64 MiB and drops the
// connection of a client that writes more, so the transport refuses to send
// a longer one.
constexpr size_t kMaxPipeMessageSize = 0x4000000;

class KVX_SDK_API PipeClientTransport : public ITransport {
 public:
  // `connectTimeoutMs` bounds how long Start waits for a free pipe instance.
  // Where the pipe is found (on POSIX its folder) is worked out here, once:
  // a transport started again goes back to the same place.
  explicit PipeClientTransport(std::string pipeName, uint32_t connectTimeoutMs = 5000);
  // Stops the transport; no callback runs after the destructor has begun.
  ~PipeClientTransport() override;
  PipeClientTransport(const PipeClientTransport&) = delete;
  PipeClientTransport& operator=(const PipeClientTransport&) = delete;

  // Connects and starts the reader thread. Failed when the pipe cannot be
  // opened; LastError() then says why (NoServer, PipeBusy, AccessDenied,
  // SystemError).
  // Start on a running transport does nothing and returns Ok. A stopped or
  // disconnected transport may be started again.
  TransportStatus Start() override;

  // Ends the connection and waits for the reader thread. The disconnect
  // callback is not called for a Stop: the caller knows. Must not be called
  // from inside one of this transport's callbacks.
  void Stop() override;

  // Writes `message` as one pipe message; safe to call from several threads
  // (writes are serialised). Failed when not connected, when the message is
  // longer than kMaxPipeMessageSize or when the write fails.
  TransportStatus Send(std::string message) override;

  // Set both callbacks before Start. The receive callback gets every message
  // whole, in order, on the reader thread; the disconnect callback runs once
  // on the reader thread when the server ends the connection.
  void SetReceiveCallback(std::function<void(std::string)> callback) override;
  void SetDisconnectCallback(std::function<void()> callback) override;

  // Start, with the reason for a failure.
  Error Open();
  // Send, with the reason for a failure.
  Error Write(const std::string& message);

  bool IsConnected() const;
  // Why the last Start or Send failed, or why the connection ended.
  Error LastError() const;
  const std::string& PipeName() const;

 private:
  // The SDK's own session uses more of the transport than ITransport shows.
  friend class SessionCore;
  // `callback` runs on the reader thread whenever the reader has handed on
  // every message it holds and may wait for more, and once when it ends.
  // Set before Start.
  void SetReceiveIdleCallback(std::function<void()> callback);
  // Write, of one message in two parts, without joining them first.
  Error WriteParts(const char* head, size_t headSize, const char* body, size_t bodySize);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
