#include "tools/kvx/OutputPump.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "tools/kvx/Common.h"

namespace kvx {

OutputPump::OutputPump() { thread_ = std::thread([this] { Run(); }); }

OutputPump::~OutputPump() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (Idle()) {
    thread_.join();
  } else {
    thread_.detach();  // only when the process is ending (EndCommand)
  }
}

void OutputPump::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return busy_ || stopping_; });
    if (!busy_) return;
    std::string data = std::move(data_);
    lock.unlock();
    const bool ok = std::fwrite(data.data(), 1, data.size(), stdout) == data.size() && std::fflush(stdout) == 0;
    lock.lock();
    if (!ok) failed_ = true;
    busy_ = false;
    changed_.notify_all();
  }
}

OutputPump::Outcome OutputPump::WaitUntilIdle(std::unique_lock<std::mutex>& lock) {
  // In steps, so that Ctrl-C is seen while the reader holds the write up.
  while (busy_) {
    if (g_interrupted.load()) return Outcome::Interrupted;
    changed_.wait_for(lock, std::chrono::milliseconds(kPollMs));
  }
  return failed_ ? Outcome::Failed : Outcome::Written;
}

OutputPump::Outcome OutputPump::Write(std::string data) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Outcome outcome = WaitUntilIdle(lock);
  if (outcome != Outcome::Written) return outcome;
  data_ = std::move(data);
  busy_ = true;
  changed_.notify_all();
  return Outcome::Written;
}

OutputPump::Outcome OutputPump::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  return WaitUntilIdle(lock);
}

bool OutputPump::Failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

bool OutputPump::Idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !busy_;
}

}  // namespace kvx
