// An extension application at the level of the pipe: writes the bytes it is
// given as one pipe message and hands back every pipe message exactly as it
// arrived, so tests can compare bytes and see every notice.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/named_pipe.h"
#include "proto/kvx.pb.h"

namespace e2e {

class RawApp {
 public:
  explicit RawApp(const std::string& pipeName);
  ~RawApp();
  RawApp(const RawApp&) = delete;
  RawApp& operator=(const RawApp&) = delete;

  bool Connected() const { return pipe_ != platform::InvalidPipeHandle(); }
  bool Write(const std::string& bytes);
  // The next pipe message, or false after `timeoutMs` / when the pipe closed.
  bool Next(std::string* message, uint32_t timeoutMs);
  // Skips messages until a connection notice with `status` (for `name` when
  // not empty); returns its channel ID, or -2 when none came in time.
  int64_t AwaitNotice(KVX::ResultCode status, const std::string& name, uint32_t timeoutMs);
  // Leaves: the plug-in sees its client go.
  void Close();

 private:
  void ReadLoop();

  platform::PipeHandle pipe_ = platform::InvalidPipeHandle();
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::string> messages_;
  bool ended_ = false;
  std::thread reader_;
};

// Serialised KVX messages, as an application writes them.
std::string ConnectRequest(const std::string& name, const std::string& launchLink = "");
std::string DisconnectRequest(int64_t channelId);
std::string PropertyRequest(const std::string& name);
// A transfer_data request; `unknown` is appended inside TransferData and at
// the top level as fields this schema does not know.
std::string TransferRequest(int64_t channelId, const std::string& data, bool withUnknownFields);

// Fields of a connection notice; false when `bytes` is not one.
bool ParseNotice(const std::string& bytes, std::string* name, int64_t* id, KVX::ResultCode* status);
// property_value of a property answer; false when `bytes` is not one.
bool ParsePropertyAnswer(const std::string& bytes, std::string* value);

// Connects a server application and a client application on `name`: the
// channel's ID, or -2 when either is not told as it should be within
// `waitMs`.
int64_t Pair(RawApp& serverApp, RawApp& clientApp, const std::string& name, uint32_t waitMs);
// `size` bytes from a generator seeded with `seed`: the same for the same seed.
std::string RandomBytes(size_t size, uint32_t seed);

}  // namespace e2e
