// An application that talks to the bridge's test pipe by hand, without the
// platform's client: it never reads, and on POSIX it can stop in the middle
// of a message's framing.
#pragma once

#include <cstdint>
#include <string>

namespace kvxtest {

class RawPipeClient {
 public:
  // Connects to the test bridge's pipe (on POSIX: its socket in `pipeDir`).
  explicit RawPipeClient(const std::string& pipeDir);
  ~RawPipeClient() { Close(); }
  RawPipeClient(const RawPipeClient&) = delete;
  RawPipeClient& operator=(const RawPipeClient&) = delete;

  bool Connected() const { return handle_ != kNone; }
  // One whole message.
  bool WriteMessage(const std::string& bytes);
  void Close();

#if !defined(_WIN32)
  // Bytes of the stand-in's framing (a 4-byte little-endian length, then the
  // message), so that a test can stop part way. Windows pipes in message
  // mode deliver a message whole or not at all, so there is no such case.
  bool WriteRaw(const std::string& bytes);
  static std::string Header(uint32_t length);
#endif

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // a socket, or a pipe HANDLE on Windows
};

}  // namespace kvxtest
