// The wire between the two ends of a simulated session: whole frames, in
// order. Three kinds, chosen on the command line:
//   * Unix datagram sockets in one folder (the default, POSIX only): a send
//     blocks while the other end's queue is full, so nothing is lost;
//   * TCP (--tcp PORT at one end, --peer HOST:PORT at the other): reliable
//     and ordered, pushing back through the kernel's flow control, so the
//     ends may sit on two machines, or one under Windows and one not;
//   * UDP (--udp PORT --peer HOST:PORT): no back-pressure, so a receiver that
//     falls behind loses datagrams; kept for those who want a lossy link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/vchan-host/HostOptions.h"

namespace vchan_host {

class HostLink {
 public:
  enum class SendResult { kSent, kBusy, kPeerAbsent, kStopped, kFailed };
  enum class ReceiveResult { kReceived, kTimeout, kFailed };

  // Opens the kind of link the options ask for. The peer need not be up yet.
  static std::unique_ptr<HostLink> Open(const HostOptions& options, std::string* error);
  virtual ~HostLink() = default;

  // Sends one frame. `wait`: block while the peer cannot take it (until
  // Stop); otherwise that gives kBusy. kPeerAbsent when nobody is there at
  // the peer's address (not yet there, or gone).
  SendResult Send(const void* data, size_t size, bool wait) {
    return Send(data, size, nullptr, 0, wait);
  }
  // The same for a frame given in two pieces, so that a header need not be
  // copied in front of its body.
  virtual SendResult Send(const void* head, size_t headSize, const void* body, size_t bodySize,
                          bool wait) = 0;

  // Waits up to `timeoutMs` for one frame and receives it into the bytes
  // `frame` already holds: its size is the room offered and it is not
  // shrunk, so a string reused for frames of about one size costs neither an
  // allocation nor zeroing. A longer frame makes the string grow to hold it.
  // `length` gets its length.
  virtual ReceiveResult ReceiveInto(std::string* frame, size_t* length, uint32_t timeoutMs) = 0;
  // Receives up to `count` frames, each into its string of `frames` as
  // ReceiveInto does, waiting up to `timeoutMs` only for the first: those
  // already waiting come with it, in one system call where the link can
  // (Unix and UDP sockets on POSIX). *received tells how many came, their
  // lengths are in `lengths`. This one takes a frame at a time.
  virtual ReceiveResult ReceiveSome(std::string* frames, size_t* lengths, size_t count,
                                    uint32_t timeoutMs, size_t* received) {
    *received = 0;
    if (count == 0) return ReceiveResult::kTimeout;
    const ReceiveResult result = ReceiveInto(frames, lengths, timeoutMs);
    if (result == ReceiveResult::kReceived) *received = 1;
    return result;
  }
  // The same, with the string cut to the frame.
  ReceiveResult Receive(std::string* frame, uint32_t timeoutMs) {
    size_t length = 0;
    const ReceiveResult result = ReceiveInto(frame, &length, timeoutMs);
    if (result == ReceiveResult::kReceived) frame->resize(length);
    return result;
  }

  // Blocked and later sends return kStopped, and the peer's next send finds
  // nobody. What the link holds stays valid for threads still in a call.
  virtual void Stop() = 0;

  // The other end has gone: the link meets the next one afresh. Only TCP has
  // something to drop (the connection, which is then taken or made again);
  // the datagram links look the peer's address up again by themselves.
  // Called by the receiving thread; a send held up on the old peer fails.
  virtual void ForgetPeer() {}

  // Whether kPeerAbsent (or a failed receive) reliably tells that the peer
  // has gone; UDP and TCP cannot (a peer may vanish without a word), and
  // rely on long silence as well.
  virtual bool DetectsAbsentPeer() const = 0;

  // The largest frame a link carries.
  static constexpr size_t kMaxDatagram = 65000;
};

}  // namespace vchan_host
