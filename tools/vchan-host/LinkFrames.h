// What travels on the link between the two ends: one frame per datagram, a
// type byte and a body. DATA frames carry the plug-in's datagrams unchanged;
// the others let the two hosts find each other and keep the channel's state
// in step.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace vchan_host {

enum class FrameType : uint8_t {
  kHello = 1,     // body: this run's 64-bit nonce; sent until the peer answers
  kHelloAck = 2,  // body: the nonce of the answering end
  kData = 3,      // body: one datagram of the plug-in
  kOpened = 4,    // body: the 32-bit packet size this end opened the channel with
  kClose = 5,     // the channel closes at both ends (events 2 then 3)
  kReopen = 6,    // both ends offer the channel again (a new connect event)
  kPing = 7,      // keeps a quiet link alive; tells whether the peer is still bound
  kBye = 8,       // this end is leaving
};

inline std::string MakeFrame(FrameType type, const void* body = nullptr, size_t size = 0) {
  std::string frame(1 + size, '\0');
  frame[0] = static_cast<char>(type);
  if (size > 0) std::memcpy(&frame[1], body, size);
  return frame;
}

template <typename T>
std::string MakeFrameOf(FrameType type, T value) {
  return MakeFrame(type, &value, sizeof(value));
}

// Reads a fixed-size body; false when the frame is too short for it.
template <typename T>
bool FrameValue(const std::string& frame, T* value) {
  if (frame.size() < 1 + sizeof(T)) return false;
  std::memcpy(value, frame.data() + 1, sizeof(T));
  return true;
}

}  // namespace vchan_host
