#include "src/application/common/PcoipVchan/ChannelBridgeLaunchQueue.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace {
// How often the thread looks again while every launch slot is taken; a slot
// comes free when an opener ends, which nobody announces.
constexpr auto kRunningPoll = std::chrono::milliseconds(100);
}  // namespace

LaunchQueue::LaunchQueue(std::shared_ptr<LaunchGate> launchGate, Opener opener)
    : gate(std::move(launchGate)), open(std::move(opener)) {}

LaunchQueue::~LaunchQueue() { Stop(); }

bool LaunchQueue::Launch(const std::string& link) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping) return false;
    if (waiting.empty() && gate->TryStart(LaunchGate::Clock::now()) == LaunchGate::Verdict::kAllowed) {
      // Opened below, outside the lock, on the caller's thread as before.
    } else {
      if (waiting.size() >= kMaxWaiting || waitingBytes + link.size() > kMaxWaitingBytes) {
        return false;
      }
      waiting.push_back(link);
      waitingBytes += link.size();
      if (!runner.joinable()) {
        try {
          runner = std::thread(&LaunchQueue::Run, this);
        } catch (const std::system_error&) {
          waiting.pop_back();
          waitingBytes -= link.size();
          return false;
        }
      }
      changed.notify_all();
      return true;
    }
  }
  open(link);
  return true;
}

void LaunchQueue::Run() {
  std::unique_lock<std::mutex> guard(lock);
  while (!stopping) {
    if (waiting.empty()) {
      changed.wait(guard);
      continue;
    }
    const LaunchGate::Clock::time_point now = LaunchGate::Clock::now();
    switch (gate->TryStart(now)) {
      case LaunchGate::Verdict::kAllowed: {
        std::string link = std::move(waiting.front());
        waiting.pop_front();
        waitingBytes -= link.size();
        guard.unlock();
        open(link);
        guard.lock();
        break;
      }
      case LaunchGate::Verdict::kTooFrequent:
        changed.wait_until(guard, std::min(gate->NextRefill(), now + kRunningPoll * 20));
        break;
      case LaunchGate::Verdict::kTooManyRunning:
        changed.wait_for(guard, kRunningPoll);
        break;
    }
  }
}

void LaunchQueue::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
    waiting.clear();
    waitingBytes = 0;
  }
  changed.notify_all();
  if (runner.joinable()) runner.join();
}

void LaunchQueue::Abandon() {
  if (runner.joinable()) runner.detach();
}
