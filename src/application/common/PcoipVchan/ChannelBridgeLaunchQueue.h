// Launches that the gate holds back wait here, oldest first, and a thread of
// their own runs each as soon as the gate lets it through: a server end that
// opens several launch channels at once gets every launch, only spread over
// time. The queue is bounded in launches and in bytes; beyond it a launch is
// dropped. The thread starts with the first launch that has to wait.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
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
  bool Launch(const std::string& link) EXCLUDES(lock);
  // Ends the thread; launches still waiting are dropped. Idempotent.
  void Stop() EXCLUDES(lock);
  // The process is ending and the thread may have been ended wherever it
  // was, perhaps holding the lock: the thread is left to the system, and the
  // lock is not taken (the analysis is told so).
  void Abandon() KVX_NO_THREAD_SAFETY_ANALYSIS;

 private:
  // The thread: opens the waiting links as the gate lets them through.
  void Run() EXCLUDES(lock);

  const std::shared_ptr<LaunchGate> gate;
  const Opener open;
  // Taken before the gate's lock, never after it.
  platform::Mutex lock;
  platform::ConditionVariable changed;
  std::deque<std::string> waiting GUARDED_BY(lock);
  size_t waitingBytes GUARDED_BY(lock) = 0;
  bool stopping GUARDED_BY(lock) = false;
  std::thread runner GUARDED_BY(lock);
};
