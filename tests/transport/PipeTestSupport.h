// Helpers for tests that run real pipe servers and clients in one process:
// a private pipe folder per test process, a capture of std::cout that reader
// threads may write to, a pipe client that reads in the background, and a
// waiter for conditions met on other threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

#include "platform/named_pipe.h"

namespace kvxtest {

using namespace std::chrono_literals;

// Gives the process a fresh pipe folder ($KVX_PIPE_DIR), so that parallel test
// processes never meet on one pipe name, and removes it afterwards.
class ScopedPipeDir {
 public:
  ScopedPipeDir();
  ~ScopedPipeDir();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Replaces std::cout's buffer with one that any thread may write to.
class CoutCapture {
 public:
  CoutCapture();
  ~CoutCapture();
  std::string Text();
  void Clear();

 private:
  class LockedBuffer : public std::streambuf {
   public:
    std::string Take(bool clear);

   protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;

   private:
    std::mutex lock_;
    std::string text_;
  };
  LockedBuffer buffer_;
  std::streambuf* previous_;
};

// Polls `condition` until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// A client end of a pipe; a background thread reads its messages.
class PipeClient {
 public:
  // Opens the pipe; Connected() tells whether it worked.
  explicit PipeClient(const std::string& pipeName);
  ~PipeClient();
  PipeClient(const PipeClient&) = delete;
  PipeClient& operator=(const PipeClient&) = delete;

  bool Connected() const { return pipe_ != platform::InvalidPipeHandle(); }
  bool Write(const std::string& message);
  // The next message read, or false when none came in time or the pipe ended.
  bool Read(std::string* message, std::chrono::milliseconds timeout = 10s);
  // True once the server has ended the connection (all messages read).
  bool WaitForEnd(std::chrono::milliseconds timeout = 10s);
  size_t Pending();
  void Close();

 private:
  void ReadLoop();

  platform::PipeHandle pipe_ = platform::InvalidPipeHandle();
  std::thread reader_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> messages_;
  bool ended_ = false;
};

// Bytes 0..255 repeated, shifted by `seed`, so that pieces out of place or
// lost show up in a comparison.
std::string PatternBytes(size_t size, unsigned seed);

}  // namespace kvxtest
