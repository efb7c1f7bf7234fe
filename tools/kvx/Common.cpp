#include "tools/kvx/Common.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "tools/kvx/ExitCodes.h"
#include "tools/kvx/Output.h"

namespace kvx {

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterruptSignal(int) { g_interrupted.store(true); }

void InstallInterruptHandler() {
  std::signal(SIGINT, OnInterruptSignal);
  std::signal(SIGTERM, OnInterruptSignal);
}

int FinalExitCode(int code) { return g_interrupted.load() ? kExitInterrupted : code; }

Result<std::unique_ptr<Session>> OpenSession(const Options& options) {
  Orvane::Extension::SDK::SessionOptions sessionOptions;
  sessionOptions.pipeName = options.pipeName;
  sessionOptions.connectTimeoutMs = WaitMs(options);
  sessionOptions.reconnect = options.reconnect;
  sessionOptions.maxUnreadBytes = static_cast<size_t>(options.maxUnreadBytes);
  Result<std::unique_ptr<Session>> session = Session::Open(sessionOptions);
  // --reconnect: a plug-in that is not there yet (its host still starting)
  // is waited for as one that went away is, until Ctrl-C.
  bool told = false;
  uint32_t pauseMs = 100;
  while (options.reconnect && !session && (session.GetError().Code() == ErrorCode::NoServer ||
                                           session.GetError().Code() == ErrorCode::ConnectionLost)) {
    if (!told) {
      told = true;
      PrintStatus(options, "waiting for a plug-in to serve the pipe (" + session.GetError().Message() + ")");
    }
    for (uint32_t waited = 0; waited < pauseMs; waited += kPollMs) {
      if (g_interrupted.load()) {
        return Error(ErrorCode::Timeout, "interrupted while waiting for a plug-in to serve the pipe");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    pauseMs = std::min<uint32_t>(pauseMs * 2, 2000);
    session = Session::Open(sessionOptions);
  }
  return session;
}

Result<Channel> OpenConnectedChannel(Session& session, const Options& options, const std::string& name) {
  Orvane::Extension::SDK::ChannelOptions channelOptions;
  channelOptions.launchAppLink = options.launchLink;
  Result<Channel> channel = session.OpenChannel(name, channelOptions);
  if (!channel) return channel;
  // Waits in short steps so that Ctrl-C ends the wait.
  const uint32_t total = WaitMs(options);
  uint32_t waited = 0;
  bool toldWaiting = false;
  for (;;) {
    if (!toldWaiting && channel->State() == ChannelState::PendingPeer) {
      toldWaiting = true;
      TellWaitingForPeer(options, name, channel->Id());
    }
    uint32_t step = total == Orvane::Extension::SDK::kWaitForever || total - waited > kPollMs ? kPollMs
                                                                                             : total - waited;
    Error error = channel->WaitConnected(step);
    if (error.Ok()) return channel;
    if (error.Code() != ErrorCode::Timeout) return error;
    waited += step;
    if (g_interrupted.load()) {
      return Error(ErrorCode::Timeout, "interrupted while waiting for an application at the other end of '" + name + "'");
    }
    if (total != Orvane::Extension::SDK::kWaitForever && waited >= total) {
      return Error(ErrorCode::Timeout, "channel '" + name + "' is still " +
                                           Orvane::Extension::SDK::ChannelStateName(channel->State()) + " after " +
                                           std::to_string(total) + " ms: no application at the other end");
    }
  }
}

Error CheckPeerBeforeLeaving(Channel& channel, const std::function<bool(const std::string&)>& onData) {
  for (;;) {
    Result<ChannelEvent> event = channel.NextEvent(0);
    if (!event) return event.GetError().Code() == ErrorCode::Timeout ? Error::Success() : event.GetError();
    switch (event->kind) {
      case ChannelEvent::Kind::Data:
        if (!onData(event->packet.data)) return Error(ErrorCode::SystemError, "writing standard output failed");
        break;
      case ChannelEvent::Kind::Notice:
      case ChannelEvent::Kind::PeerLeft:
        // Leaving is the peer's own choice (a listener that wanted one
        // message, say): not a failure of ours.
        break;
      case ChannelEvent::Kind::Lost:
      case ChannelEvent::Kind::Ended:
        return Error(event->error.Code(), event->error.Message() + "; data sent since may not have arrived");
    }
  }
}

void TellWaitingForPeer(const Options& options, const std::string& name, int64_t channelId) {
  PrintStatus(options, "waiting for an application at the other end of '" + name + "' (ID " +
                           std::to_string(channelId) + ")");
}

bool ExpectArguments(const Options& options, size_t count, std::string* error) {
  if (options.positional.size() == count) return true;
  *error = options.command + " takes " + std::to_string(count) + " argument" + (count == 1 ? "" : "s") +
           (options.positional.size() < count ? ", too few given" : ", too many given");
  return false;
}

}  // namespace kvx
