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
    platform::MutexLock guard(lock);
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
      changed.NotifyAll();
      return true;
    }
  }
  open(link);
  return true;
}

void LaunchQueue::Run() {
  platform::MutexLock guard(lock);
  while (!stopping) {
    if (waiting.empty()) {
      changed.Wait(guard);
      continue;
    }
    const LaunchGate::Clock::time_point now = LaunchGate::Clock::now();
    switch (gate->TryStart(now)) {
      case LaunchGate::Verdict::kAllowed: {
        std::string link = std::move(waiting.front());
        waiting.pop_front();
        waitingBytes -= link.size();
        guard.Unlock();
        open(link);
        guard.Lock();
        break;
      }
      case LaunchGate::Verdict::kTooFrequent:
        changed.WaitUntil(guard, std::min(gate->NextRefill(), now + kRunningPoll * 20));
        break;
      case LaunchGate::Verdict::kTooManyRunning:
        changed.WaitFor(guard, kRunningPoll);
        break;
    }
  }
}

void LaunchQueue::Stop() {
  // Once stopping, no Launch starts the thread any more: it is taken out
  // under the lock and joined outside it, where it can take the lock to end.
  std::thread ending;
  {
    platform::MutexLock guard(lock);
    stopping = true;
    waiting.clear();
    waitingBytes = 0;
    ending = std::move(runner);
  }
  changed.NotifyAll();
  if (ending.joinable()) ending.join();
}

void LaunchQueue::Abandon() {
  if (runner.joinable()) runner.detach();
}
