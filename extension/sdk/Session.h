// A connection to the plug-in at this end of the session, through which an
// application opens channels to applications at the other end and queries
// the session's properties.
//
//   auto session = Session::Open(SessionOptions{});
//   if (!session) { report(session.GetError()); return; }
//   auto channel = (*session)->OpenChannel("my.channel");
//   if (auto err = channel->WaitConnected(10000)) { report(err); return; }
//   channel->Send("hello");
//   auto reply = channel->Receive(5000);
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "extension/sdk/Channel.h"
#include "extension/sdk/Error.h"
#include "extension/sdk/Export.h"
#include "extension/sdk/ITransport.h"

namespace Orvane {
namespace Extension {
namespace SDK {

class SessionCore;

struct SessionOptions {
  // The plug-in's pipe. On POSIX "\\.\pipe\NAME" is the socket
  // DIR/NAME, DIR being $KVX_PIPE_DIR, else $XDG_RUNTIME_DIR, else
  // /tmp/kvx-<uid> (see the README: the folder must be private).
  std::string pipeName = "\\\\.\\pipe\\KVX_Pipe_Channel";
  // How long Open waits for a free pipe instance and for the plug-in's first
  // answer.
  uint32_t connectTimeoutMs = 5000;
  // Open asks the plug-in for a property and waits for the answer, so that a
  // plug-in that is busy with other applications (on POSIX a client then
  // waits unserved in the pipe's queue) is reported by Open rather than by a
  // later call.
  bool verifyServer = true;
  // Runs once, on the callback thread, when the connection to the plug-in
  // ends by itself (not for Close), and the session ends (without reconnect).
  std::function<void(const Error&)> onDisconnected;
  // When the connection to the plug-in ends by itself (its host restarted,
  // say: the pipe goes away and comes back), connect again, first after
  // 100 ms and then twice as long each time up to reconnectMaxDelayMs, and
  // ask again for every channel the session held. Each channel first
  // reports Kind::Lost with error ConnectionLost (state Lost; ID -1 until
  // the plug-in hands it out again), then its notices as it comes back
  // (PendingPeer, Connected, with its ID). Meanwhile calls fail with
  // ConnectionLost and data is not delivered. Close ends the attempts.
  bool reconnect = false;
  uint32_t reconnectMaxDelayMs = 5000;
  // With reconnect, runs on the callback thread each time the pipe went
  // away (with why) and when the session is connected again (Ok).
  std::function<void(const Error&)> onReconnect;
  // The most received data the session holds that the application has not
  // taken yet (Receive, NextEvent, or a callback that has returned), counting
  // each message's data and 64 bytes more. At the bound the SDK stops reading
  // the pipe until the application takes some: the plug-in then holds the far
  // sender back, as for any slow reader, and an application that stops
  // reading for longer than the plug-in's write time-out (10 s) is let go, as
  // if it had closed its pipe. One message always passes, however large, so
  // the session may hold this much and one message more. Everything the pipe
  // carries waits behind the data that does not fit: an application that
  // reads one channel must read (or disconnect) its others too.
  size_t maxUnreadBytes = 16u << 20;
  // Runs on the callback thread for each message the SDK had to drop: bytes
  // that do not parse, or a notice or data for no channel of this session.
  std::function<void(const Error&)> onDropped;
};

struct SessionStats {
  uint64_t messagesSent = 0;
  uint64_t messagesReceived = 0;
  uint64_t bytesSent = 0;      // pipe bytes, envelope included
  uint64_t bytesReceived = 0;
  uint64_t messagesDropped = 0;  // see SessionOptions::onDropped
  // Received data the application has not taken yet, as
  // SessionOptions::maxUnreadBytes counts it: now, and the most so far.
  uint64_t bytesUnread = 0;
  uint64_t bytesUnreadPeak = 0;
};

// All calls are safe from any thread, including from the SDK's callbacks.
class KVX_SDK_API Session {
 public:
  // Connects to the plug-in's pipe. Errors: NoServer, PipeBusy, AccessDenied,
  // Timeout, ConnectionLost, SystemError.
  static Result<std::unique_ptr<Session>> Open(const SessionOptions& options);
  // Runs a session over any transport (the transport is started here).
  static Result<std::unique_ptr<Session>> Attach(std::unique_ptr<ITransport> transport,
                                                 const SessionOptions& options);

  // Closes the session: every channel becomes Closed, waiting calls return,
  // and the plug-in drops this application's channels (their far ends are
  // told that they were lost).
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Asks for the channel `name`. Returns at once; the channel's notices then
  // tell its ID and state. A name may be open only once per session.
  Result<Channel> OpenChannel(const std::string& name, ChannelOptions options = ChannelOptions());

  // Asks the plug-in at this end for a property ("KVXCoreType" is "Server" or
  // "Client"; "Hwnds" lists the host's window handles). Unknown names yield
  // an empty value. Errors: Timeout, ConnectionLost.
  Result<std::string> GetProperty(const std::string& name, uint32_t timeoutMs);

  bool IsConnected() const;
  SessionStats Stats() const;

  // Same as the destructor, for those who want to close early.
  void Close();

 private:
  explicit Session(std::shared_ptr<SessionCore> core);
  std::shared_ptr<SessionCore> core_;
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
