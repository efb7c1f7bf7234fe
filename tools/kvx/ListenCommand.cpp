// listen: print what arrives on a channel.
#include <chrono>

#include "tools/kvx/Commands.h"
#include "tools/kvx/Common.h"
#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Output.h"

namespace kvx {

namespace {

void PrintEvent(const Options& options, const std::string& name, const ChannelEvent& event) {
  const std::string id = std::to_string(event.channelId);
  if (event.kind == ChannelEvent::Kind::Data) {
    if (options.json) {
      PrintLine("{\"event\":\"data\",\"channel\":" + JsonString(name) + ",\"id\":" + id +
                ",\"app_value\":" + std::to_string(event.packet.appValue) +
                ",\"bytes\":" + std::to_string(event.packet.data.size()) + "," +
                JsonBytesField("data", event.packet.data) + "}");
    } else {
      PrintLine("[" + name + "] " + std::to_string(event.packet.data.size()) + " bytes: " +
                Printable(event.packet.data));
    }
  } else {  // a notice, the peer leaving or the channel lost: the state says which
    const char* state = Orvane::Extension::SDK::ChannelStateName(event.state);
    if (options.json) {
      PrintLine("{\"event\":\"notice\",\"channel\":" + JsonString(name) + ",\"id\":" + id + ",\"state\":\"" + state +
                "\"}");
    } else {
      PrintLine("[" + name + "] " + state + " (ID " + id + ")");
    }
  }
}

}  // namespace

int RunListen(const Options& options) {
  std::string usage;
  if (!ExpectArguments(options, 1, &usage)) return ReportUsage(usage);
  InstallInterruptHandler();
  const std::string& name = options.positional[0];
  auto session = OpenSession(options);
  if (!session) return ReportError(options, session.GetError());
  Orvane::Extension::SDK::ChannelOptions channelOptions;
  channelOptions.launchAppLink = options.launchLink;
  Result<Channel> channel = (*session)->OpenChannel(name, channelOptions);
  if (!channel) return ReportError(options, channel.GetError());

  using Clock = std::chrono::steady_clock;
  Clock::time_point lastArrival = Clock::now();
  uint64_t received = 0;
  while (!g_interrupted.load()) {
    Result<ChannelEvent> event = channel->NextEvent(kPollMs);
    if (!event) {
      if (event.GetError().Code() != ErrorCode::Timeout) return ReportError(options, event.GetError());
      if (options.timeoutGiven && options.timeoutMs > 0 &&
          Clock::now() - lastArrival >= std::chrono::milliseconds(options.timeoutMs)) {
        return ReportError(options, Error(ErrorCode::Timeout, "nothing arrived on '" + name + "' for " +
                                                                  std::to_string(options.timeoutMs) + " ms"));
      }
      continue;
    }
    lastArrival = Clock::now();
    if (event->kind == ChannelEvent::Kind::Ended) return ReportError(options, event->error);
    PrintEvent(options, name, event.Value());
    if (event->kind == ChannelEvent::Kind::Data && options.count > 0 && ++received >= options.count) break;
  }
  // Reconnecting, the channel has no ID to leave: closing the session is all.
  if ((*session)->IsConnected()) channel->Disconnect(WaitMs(options));
  return kExitOk;
}

}  // namespace kvx
