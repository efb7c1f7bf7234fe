#include "extension/sdk/Session.h"

#include <utility>

#include "extension/sdk/PipeClientTransport.h"
#include "extension/sdk/SessionCore.h"

namespace Orvane {
namespace Extension {
namespace SDK {

// Answered by every plug-in at this end without involving the far end, so a
// quick way to learn that an instance of the pipe is serving us.
static const char kProbeProperty[] = "KVXCoreType";

Result<std::unique_ptr<Session>> Session::Open(const SessionOptions& options) {
  return Attach(std::unique_ptr<ITransport>(new PipeClientTransport(options.pipeName, options.connectTimeoutMs)),
                options);
}

Result<std::unique_ptr<Session>> Session::Attach(std::unique_ptr<ITransport> transport,
                                                 const SessionOptions& options) {
  if (!transport) return Error(ErrorCode::InvalidArgument, "no transport given");
  auto core = std::make_shared<SessionCore>(std::move(transport), options);
  if (Error error = core->Start()) return error;
  if (options.verifyServer) {
    Result<std::string> probe = core->GetProperty(kProbeProperty, options.connectTimeoutMs);
    if (!probe.Ok()) {
      core->Close();
      if (probe.GetError().Code() == ErrorCode::Timeout) {
        return Error(ErrorCode::PipeBusy, "the plug-in on " + options.pipeName + " did not answer within " +
                                              std::to_string(options.connectTimeoutMs) +
                                              " ms; all its pipe instances may be busy");
      }
      return probe.GetError();
    }
  }
  return std::unique_ptr<Session>(new Session(std::move(core)));
}

Session::Session(std::shared_ptr<SessionCore> core) : core_(std::move(core)) {}

Session::~Session() { Close(); }

void Session::Close() { core_->Close(); }

Result<Channel> Session::OpenChannel(const std::string& name, ChannelOptions options) {
  return core_->OpenChannel(name, std::move(options));
}

Result<std::string> Session::GetProperty(const std::string& name, uint32_t timeoutMs) {
  return core_->GetProperty(name, timeoutMs);
}

bool Session::IsConnected() const { return core_->IsConnected(); }

SessionStats Session::Stats() const { return core_->Stats(); }

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
