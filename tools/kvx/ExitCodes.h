// What the kvx tool's exit status means, so that scripts can react to the
// kind of failure without parsing messages.
#pragma once

#include "extension/sdk/Error.h"

namespace kvx {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,       // the operation failed for another reason
  kExitUsage = 2,        // bad command line
  kExitNoServer = 3,     // no plug-in serves the pipe
  kExitBusy = 4,         // every pipe instance is busy
  kExitTimeout = 5,      // the awaited answer, peer or data did not come in time
  kExitLost = 6,         // the plug-in or the peer application went away
  kExitIo = 7,           // reading a file or standard input, or writing output, failed
  kExitAccessDenied = 8,  // the pipe may not be used: its folder is unsafe, or another user serves it
  kExitInterrupted = 130,  // Ctrl-C (SIGINT) or SIGTERM, as shells report a death by SIGINT
};

inline int ExitCodeFor(const Orvane::Extension::SDK::Error& error) {
  using Orvane::Extension::SDK::ErrorCode;
  switch (error.Code()) {
    case ErrorCode::Ok: return kExitOk;
    case ErrorCode::NoServer: return kExitNoServer;
    case ErrorCode::PipeBusy: return kExitBusy;
    case ErrorCode::AccessDenied: return kExitAccessDenied;
    case ErrorCode::Timeout: return kExitTimeout;
    case ErrorCode::ConnectionLost:
    case ErrorCode::ChannelLost:
    case ErrorCode::PeerLeft:
    case ErrorCode::ChannelClosed: return kExitLost;
    case ErrorCode::InvalidArgument:
    case ErrorCode::MessageTooLarge: return kExitUsage;
    default: return kExitFailed;
  }
}

}  // namespace kvx
