// Launches that the gate holds back wait here, oldest first, and a thread of
// their own runs each as soon as the gate lets it through: a server end that
// opens several launch channels at once gets every launch, only spread over
// time. The queue is bounded in launches and in bytes; beyond it a launch is
// dropped. The thread starts with the first launch that has to wait.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "src/application/common/PcoipVchan/ChannelBridgeLaunchGate.h"

class LaunchQueue {
 public:
  // Opens a link the gate has let through (it counts as running from then).
  using Opener = std::function<void(const std::string& link)>;

  static constexpr size_t kMaxWaiting = 8;
  static constexpr size_t kMaxWaitingBytes = size_t{256} << 10;

  LaunchQueue(std::shared_ptr<LaunchGate> gate, Opener open);
  ~LaunchQueue();  // Stop()
  LaunchQueue(const LaunchQueue&) = delete;
  LaunchQueue& operator=(const LaunchQueue&) = delete;

  // Runs the launch now when nothing waits and the gate allows it; otherwise
  // queues it. False when it was dropped: the queue is full (or stopped).
  bool Launch(const std::string& link);
  // Ends the thread; launches still waiting are dropped. Idempotent.
  void Stop();
  // The process is ending and the thread may have been ended wherever it
  // was: it is left to the system.
  void Abandon();

 private:
  void Run();

  const std::shared_ptr<LaunchGate> gate;
  const Opener open;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::string> waiting;
  size_t waitingBytes = 0;
  bool stopping = false;
  std::thread runner;
};
