// One named channel between this application and an application at the other
// end of the session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "extension/sdk/Error.h"
#include "extension/sdk/Export.h"

namespace Orvane {
namespace Extension {
namespace SDK {

class ChannelCore;

// Where a channel stands, as far as this application knows.
enum class ChannelState : int32_t {
  // The connect request is sent; no notice has come back yet.
  Requested = 0,
  // The channel has its ID and waits for an application at the other end.
  PendingPeer,
  // Both ends hold the channel; data flows.
  Connected,
  // The application at the other end went away. It may come back, which
  // makes the channel Connected again.
  Lost,
  // This application disconnected the channel, or its session ended. Final.
  Closed,
};

KVX_SDK_API const char* ChannelStateName(ChannelState state);

// One message of application data.
struct Packet {
  std::string data;      // any bytes, zero included
  int64_t appValue = 0;  // a number the two applications may agree on
  uint32_t requestId = 0;
};

// Something that happened on a channel, in the order it happened.
struct ChannelEvent {
  enum class Kind : int32_t {
    Data,    // `packet` holds the data
    Notice,  // a connection notice moved the channel on: its ID arrived
             // (PendingPeer) or both ends now hold it (Connected)
    Ended,   // the session ended; `error` says why; no event follows
    // The application at the other end left the channel in the ordinary way;
    // `state` is PendingPeer and `error` is PeerLeft. All it sent came first.
    PeerLeft,
    // The channel was lost: the far application vanished without leaving,
    // or another application at this end took the channel over; `state` is
    // Lost and `error` is ChannelLost. Data may be missing. With
    // SessionOptions::reconnect also when the pipe to the plug-in went away:
    // `error` is then ConnectionLost, the ID -1, and the session asks for
    // the channel again (Notice events follow as it comes back).
    Lost,
  };
  Kind kind = Kind::Data;
  Packet packet;
  ChannelState state = ChannelState::Requested;
  int64_t channelId = -1;
  Error error;
};

struct ChannelOptions {
  // Ask the client end of the session to launch this application link (it is
  // opened with the shell's "open" verb). Only the client end launches, so
  // this matters only for an application at the server end. Empty: no launch.
  std::string launchAppLink;
  // When set, every event of the channel is handed to this callback, one at a
  // time and in order, on the session's callback thread, and the blocking
  // Receive/NextEvent calls see nothing. The callback may call any SDK
  // function, including blocking ones.
  std::function<void(const ChannelEvent&)> onEvent;
};

// A channel handle. Copies share the same channel. A handle stays valid after
// its session has gone; its calls then report ConnectionLost or ChannelClosed.
// All calls are safe from any thread.
class KVX_SDK_API Channel {
 public:
  // The largest `data` that Send always accepts; larger data may still fit
  // when the other fields are small, Send checks the exact size.
  static constexpr size_t kMaxDataSize = 0x4000000 - 64;

  Channel() = default;
  explicit Channel(std::shared_ptr<ChannelCore> core);

  bool IsValid() const { return core_ != nullptr; }
  const std::string& Name() const;
  // The ID handed out by the server end; -1 until a notice has carried it.
  int64_t Id() const;
  ChannelState State() const;

  // Waits until the channel is Connected, or has been since the last wait
  // that saw it so (the other side may connect, send and leave before this
  // thread wakes: its data and its leaving are then there to receive).
  // Errors: Timeout (the state reached so far is in the message),
  // ChannelClosed, ConnectionLost.
  Error WaitConnected(uint32_t timeoutMs) const;
  // Waits until the channel reaches `state`.
  Error WaitForState(ChannelState state, uint32_t timeoutMs) const;

  // Sends one message of data to the application at the other end. Only a
  // Connected channel sends: data sent while the other side is absent would
  // be dropped by the far end's plug-in. Errors: NotConnected, ChannelLost,
  // ChannelClosed, ConnectionLost, MessageTooLarge.
  Error Send(const std::string& data, int64_t appValue = 0, uint32_t requestId = 0);

  // The next data message. Other notices on the way are consumed (State()
  // keeps up with them); the ones that end a conversation are results of
  // their own, each returned once, in order after the data before it:
  //   PeerLeft       the far application disconnected; the channel waits
  //                  for a peer again (call again to wait for the next one)
  //   ChannelLost    the far application vanished, or the channel was taken
  //                  over at this end; data may be missing
  //   Timeout        nothing arrived in time; nothing has changed
  //   ChannelClosed  after Disconnect
  //   ConnectionLost once the session has ended and nothing is left to read;
  //                  with SessionOptions::reconnect, once when the pipe went
  //                  away (call again to wait for the channel to come back)
  Result<Packet> Receive(uint32_t timeoutMs);
  // The next event, data or notice, in order. Errors: Timeout, ChannelClosed
  // after Disconnect, ConnectionLost after the session's end event.
  Result<ChannelEvent> NextEvent(uint32_t timeoutMs);

  // Leaves the channel: tells the plug-in and waits up to `timeoutMs` for its
  // confirmation. The channel is Closed afterwards, whatever the result; data
  // still queued for it is discarded. The application at the other end is
  // told that the channel waits for a peer again.
  Error Disconnect(uint32_t timeoutMs);

 private:
  std::shared_ptr<ChannelCore> core_;
};

}  // namespace SDK
}  // namespace Extension
}  // namespace Orvane
