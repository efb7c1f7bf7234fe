// Writing what a command receives to standard output on a thread of its own:
// a write into a full pipe (a reader that has stopped, say) cannot be
// interrupted portably, and Ctrl-C must act at once also then.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kvx {

class OutputPump {
 public:
  enum class Outcome { Written, Failed, Interrupted };

  OutputPump();
  // Joins the thread when it is not stuck in a write; otherwise it is left
  // to the process's end (EndCommand).
  ~OutputPump();
  OutputPump(const OutputPump&) = delete;
  OutputPump& operator=(const OutputPump&) = delete;

  // Hands `data` to the thread once the previous write is done, so that at
  // most one message waits for the reader: the channel's own back-pressure
  // holds the rest. Failed once a write has failed; Interrupted on Ctrl-C.
  Outcome Write(std::string data);
  // Waits until everything handed over is written.
  Outcome Drain();
  // No write is under way.
  bool Idle() const;
  // A write has failed: nothing more can be written.
  bool Failed() const;

 private:
  void Run();
  Outcome WaitUntilIdle(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string data_;
  bool busy_ = false;
  bool failed_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kvx
