// A stand-in for the pipe server, linked into the bridge fuzzer in place of
// the real one: no pipe, no thread, and every Send reported to the fuzzer so
// that it can check where each write goes. The bridge code itself is the
// product's, unchanged.
#include <utility>

#include "extension/windows/NamedPipeServer.h"
#include "fuzz/bridge/PipeWriteRecorder.h"

namespace Orvane {
namespace Extension {
namespace Windows {

NamedPipeServer::NamedPipeServer(std::string name, int32_t instances)
    : pipeName(std::move(name)), maxInstances(instances) {}

NamedPipeServer::~NamedPipeServer() = default;

SDK::TransportStatus NamedPipeServer::Start() { return SDK::TransportStatus::Ok; }

void NamedPipeServer::Stop() {}

SDK::TransportStatus NamedPipeServer::Send(std::string message) {
  RecordPipeWrite(this, message);
  return SDK::TransportStatus::Ok;
}

// The fuzzer's clients are counted by the fuzzer itself; every stand-in
// keeps its first.
uint64_t NamedPipeServer::CurrentClient() { return 0; }

SDK::TransportStatus NamedPipeServer::SendToClient(uint64_t, const std::string& message) {
  return Send(message);
}

bool NamedPipeServer::QueueToClient(uint64_t, std::string message, WhenFull, WriteBy,
                                    OutboundNote) {
  RecordPipeWrite(this, message);
  return true;
}

// Nothing waits in a queue here; the fuzzed bridge never uses credit.
void NamedPipeServer::SetDrainedCallback(
    std::function<void(const std::vector<OutboundNote>&)> callback) {
  drainedCallback = std::move(callback);
}

// Every message is recorded as it is queued.
void NamedPipeServer::WriteQueuedNow() {}

void NamedPipeServer::SetWriteTimedOutCallback(std::function<void()> callback) {
  writeTimedOutCallback = std::move(callback);
}

void NamedPipeServer::SetLeavingCallback(std::function<void()> callback) {
  leavingCallback = std::move(callback);
}

void NamedPipeServer::SetCaughtUpCallback(std::function<void()> callback) {
  caughtUpCallback = std::move(callback);
}

void NamedPipeServer::SetReceiveCallback(std::function<void(std::string)> callback) {
  receiveCallback = std::move(callback);
}

void NamedPipeServer::SetDisconnectCallback(std::function<void()> callback) {
  disconnectCallback = std::move(callback);
}

// Nothing is read here, so there is nothing to hold back.
void NamedPipeServer::SetReadGate(platform::EventHandle) {}

// The stand-in prints nothing; the bridge still flushes the servers' limiter.
diagnostics::RepeatLimiter& ConsoleLimiter() {
  static diagnostics::RepeatLimiter* limiter = new diagnostics::RepeatLimiter;
  return *limiter;
}

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
