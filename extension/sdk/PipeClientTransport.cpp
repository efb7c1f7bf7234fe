#include "extension/sdk/PipeClientTransport.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/last_error.h"
#include "platform/named_pipe.h"

namespace Orvane {
namespace Extension {
namespace SDK {

const char* DefaultPipeName() { return "\\\\.\\pipe\\KVX_Pipe_Channel"; }

namespace {

// Wake-ups owed to receivers are paid at least this often while a stream runs.
constexpr uint32_t kMessagesPerIdleAtMost = 32;

// Names what was tried as the system sees it (on POSIX the socket's path and
// how its folder was chosen) and why it failed, in words where the platform
// has them.
Error OpenFailure(const platform::PipeClientPlace& place, uint32_t code, uint32_t timeoutMs) {
  const std::string where = platform::DescribePipeLocation(place);
  const std::string detail = platform::LastPipeFailureDetail();
  const std::string why = detail.empty() ? std::string() : ": " + detail;
  switch (code) {
    case platform::kErrorFileNotFound:
      return Error(ErrorCode::NoServer, "no plug-in serves the pipe " + where + why, code);
    case platform::kErrorPipeBusy:
    case platform::kErrorSemTimeout:
      return Error(ErrorCode::PipeBusy,
                   "every instance of the pipe " + where + " stayed busy for " + std::to_string(timeoutMs) + " ms",
                   code);
    case platform::kErrorAccessDenied:
      return Error(ErrorCode::AccessDenied, "cannot open the pipe " + where + (detail.empty() ? ": access denied" : why),
                   code);
    default:
      return Error(ErrorCode::SystemError,
                   "cannot open the pipe " + where +
                       (detail.empty() ? " (system error " + std::to_string(code) + ")" : why),
                   code);
  }
}

// Why the reader stopped, when it was not simply the end of the connection.
Error ReadFailure(const platform::PipeClientPlace& place, uint32_t code) {
  if (code == platform::kErrorInvalidData) {
    return Error(ErrorCode::ProtocolError,
                 "refused what the pipe " + platform::DescribePipeLocation(place) +
                     " sent, and closed it: " + platform::LastPipeFailureDetail(),
                 code);
  }
  return Error(ErrorCode::ConnectionLost, "the plug-in closed the pipe " + place.name);
}

}  // namespace

struct PipeClientTransport::Impl {
  std::string pipeName;
  // Chosen once: a connection made again goes back to the same folder.
  platform::PipeClientPlace place;
  uint32_t connectTimeoutMs;
  std::function<void(std::string)> receiveCallback;
  std::function<void()> disconnectCallback;
  std::function<void()> idleCallback;

  // Order of locks: lifecycle, then write, then state.
  std::mutex lifecycleMutex;  // Open and Stop
  std::mutex writeMutex;      // one message on the pipe at a time
  mutable std::mutex stateMutex;
  platform::PipeHandle handle = platform::InvalidPipeHandle();
  bool connected = false;
  Error lastError;

  std::atomic<bool> stopping{false};
  std::thread reader;

  void SetLastError(Error error) {
    std::lock_guard<std::mutex> lock(stateMutex);
    lastError = std::move(error);
  }

  void ReadLoop(platform::PipeHandle pipe) {
    uint32_t failure = platform::kErrorBrokenPipe;
    uint32_t sinceIdle = 0;
    for (;;) {
      // Idle once nothing more is at hand, and at the latest every few
      // messages: a pipe that is never empty (Windows counts a message still
      // arriving as held) must not keep receivers waiting for ever.
      if (idleCallback && (sinceIdle >= kMessagesPerIdleAtMost || !platform::PipeClientHoldsMessage(pipe))) {
        idleCallback();
        sinceIdle = 0;
      }
      std::string message;
      if (!platform::ReadPipeMessage(pipe, &message)) {
        failure = platform::GetLastErrorCode();
        break;
      }
      ++sinceIdle;
      // A zero-length pipe message carries no KVX message; nothing to hand on.
      if (message.empty()) continue;
      if (receiveCallback) receiveCallback(std::move(message));
    }
    if (idleCallback) idleCallback();
    Error ended = ReadFailure(place, failure);
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      connected = false;
      if (!stopping.load()) lastError = std::move(ended);
    }
    if (!stopping.load() && disconnectCallback) disconnectCallback();
  }

  // Ends the reader and releases the handle. Caller holds lifecycleMutex.
  void Shutdown() {
    platform::PipeHandle pipe;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      pipe = handle;
    }
    if (pipe == platform::InvalidPipeHandle()) return;
    stopping.store(true);
    // Wakes the reader and any writer blocked on a full pipe.
    platform::ShutdownPipeClient(pipe);
    if (reader.joinable()) {
      if (reader.get_id() == std::this_thread::get_id()) {
        reader.detach();  // called from a callback, against the contract; do not deadlock
      } else {
        reader.join();
      }
    }
    std::lock_guard<std::mutex> writeLock(writeMutex);
    std::lock_guard<std::mutex> lock(stateMutex);
    platform::ClosePipeClient(handle);
    handle = platform::InvalidPipeHandle();
    connected = false;
  }
};

PipeClientTransport::PipeClientTransport(std::string pipeName, uint32_t connectTimeoutMs)
    : impl_(new Impl) {
  impl_->pipeName = std::move(pipeName);
  impl_->place = platform::ChoosePipeClientPlace(impl_->pipeName);
  impl_->connectTimeoutMs = connectTimeoutMs;
}

PipeClientTransport::~PipeClientTransport() { Stop(); }

Error PipeClientTransport::Open() {
  std::lock_guard<std::mutex> lifecycle(impl_->lifecycleMutex);
  {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    if (impl_->connected) return Error::Success();
  }
  // A connection that ended by itself leaves its handle and finished reader.
  impl_->Shutdown();

  platform::PipeHandle pipe = platform::OpenPipeClient(impl_->place, impl_->connectTimeoutMs);
  if (pipe == platform::InvalidPipeHandle()) {
    Error error = OpenFailure(impl_->place, platform::GetLastErrorCode(), impl_->connectTimeoutMs);
    impl_->SetLastError(error);
    return error;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->handle = pipe;
    impl_->connected = true;
    impl_->lastError = Error::Success();
  }
  impl_->stopping.store(false);
  Impl* impl = impl_.get();
  impl_->reader = std::thread([impl, pipe] { impl->ReadLoop(pipe); });
  return Error::Success();
}

TransportStatus PipeClientTransport::Start() {
  return Open().Ok() ? TransportStatus::Ok : TransportStatus::Failed;
}

void PipeClientTransport::Stop() {
  std::lock_guard<std::mutex> lifecycle(impl_->lifecycleMutex);
  impl_->Shutdown();
}

Error PipeClientTransport::Write(const std::string& message) {
  return WriteParts(message.data(), message.size(), nullptr, 0);
}

Error PipeClientTransport::WriteParts(const char* head, size_t headSize, const char* body, size_t bodySize) {
  const size_t size = headSize + bodySize;
  if (size > kMaxPipeMessageSize) {
    return Error(ErrorCode::MessageTooLarge, "a message of " + std::to_string(size) +
                                                 " bytes is longer than the pipe's limit of " +
                                                 std::to_string(kMaxPipeMessageSize) + " bytes");
  }
  std::lock_guard<std::mutex> writeLock(impl_->writeMutex);
  platform::PipeHandle pipe;
  {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    if (!impl_->connected) {
      return impl_->lastError.Ok() ? Error(ErrorCode::ConnectionLost, "the pipe is not connected")
                                   : impl_->lastError;
    }
    pipe = impl_->handle;
  }
  if (!platform::WritePipeMessage(pipe, head, headSize, body, bodySize)) {
    uint32_t code = platform::GetLastErrorCode();
    Error error(ErrorCode::ConnectionLost,
                "writing to the pipe " + impl_->pipeName + " failed (system error " + std::to_string(code) + ")",
                code);
    impl_->SetLastError(error);
    return error;
  }
  return Error::Success();
}

TransportStatus PipeClientTransport::Send(std::string message) {
  Error error = Write(message);
  if (error) impl_->SetLastError(error);
  return error.Ok() ? TransportStatus::Ok : TransportStatus::Failed;
}

void PipeClientTransport::SetReceiveCallback(std::function<void(std::string)> callback) {
  impl_->receiveCallback = std::move(callback);
}

void PipeClientTransport::SetReceiveIdleCallback(std::function<void()> callback) {
  impl_->idleCallback = std::move(callback);
}

void PipeClientTransport::SetDisconnectCallback(std::function<void()> callback) {
  impl_->disconnectCallback = std::move(callback);
}

bool PipeClientTransport::IsConnected() const {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  return impl_->connected;
}

Error PipeClientTransport::LastError() const {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  return impl_->lastError;
}

const std::string& PipeClientTransport::PipeName() const { return impl_->pipeName; }

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
