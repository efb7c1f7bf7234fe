// Steps that several kvx subcommands share.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "extension/sdk/KvxSdk.h"
#include "tools/kvx/Options.h"

namespace kvx {

using Orvane::Extension::SDK::Channel;
using Orvane::Extension::SDK::ChannelEvent;
using Orvane::Extension::SDK::ChannelState;
using Orvane::Extension::SDK::Error;
using Orvane::Extension::SDK::ErrorCode;
using Orvane::Extension::SDK::Result;
using Orvane::Extension::SDK::Session;

// Set by Ctrl-C (SIGINT) or SIGTERM once InstallInterruptHandler has run.
extern std::atomic<bool> g_interrupted;
void InstallInterruptHandler();

// The process's exit code: 130 after Ctrl-C, whatever the command made of
// the interruption, so that a script can tell "stopped by the user" apart.
int FinalExitCode(int code);

Result<std::unique_ptr<Session>> OpenSession(const Options& options);

// Opens the channel and waits, within the time-out, until it is connected.
Result<Channel> OpenConnectedChannel(Session& session, const Options& options, const std::string& name);

// Before leaving a channel after sending: handles the events already queued
// without waiting (data goes to `onData`, which returns false when it cannot
// take it) and returns the loss of the channel (the peer vanished) or the end
// of the session found among them, since what was sent may not have arrived.
Error CheckPeerBeforeLeaving(Channel& channel, const std::function<bool(const std::string&)>& onData);

// Tells a human (and a script reading standard error) that this end holds
// the channel and waits for an application at the other end.
void TellWaitingForPeer(const Options& options, const std::string& name, int64_t channelId);

// Exactly `count` positional arguments, or a usage error message.
bool ExpectArguments(const Options& options, size_t count, std::string* error);

// How often loops that wait look at g_interrupted.
constexpr uint32_t kPollMs = 100;

}  // namespace kvx
