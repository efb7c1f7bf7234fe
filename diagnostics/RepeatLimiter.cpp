#include "diagnostics/RepeatLimiter.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "platform/mutex.h"

namespace diagnostics {

namespace {

// Every limiter of this library (or program). A limiter's thread must not
// outlive the code it runs: most limiters live as long as the process, so
// when the library holding them is unloaded their threads are ended here.
// Never freed, like the limiters that are never destroyed.
struct Limiters {
  platform::Mutex lock;
  std::unordered_set<RepeatLimiter*> all GUARDED_BY(lock);
};

Limiters& AllLimiters() {
  static Limiters* limiters = new Limiters;
  return *limiters;
}

// Set once the library is being unloaded: no limiter starts a thread again,
// its summaries come with its next line instead.
std::atomic<bool> unloading{false};
// Set when the process ends with its other threads ended by the system.
std::atomic<bool> abandoned{false};

// Destroyed when the library is unloaded (or the program ends), after the
// objects built on first use, such as a bridge and its limiter.
struct EndTimersAtUnload {
  ~EndTimersAtUnload() { RepeatLimiter::EndAllTimers(); }
} endTimersAtUnload;

}  // namespace

RepeatLimiter::RepeatLimiter(Sink summarySink, Clock::duration windowLength)
    : sink(std::move(summarySink)), window(windowLength) {
  Limiters& limiters = AllLimiters();
  platform::MutexLock guard(limiters.lock);
  limiters.all.insert(this);
}

RepeatLimiter::~RepeatLimiter() {
  if (abandoned.load()) {
    // Its thread, if any, no longer runs; its locks may be held for good.
    if (timer.joinable()) timer.detach();
    return;
  }
  {
    Limiters& limiters = AllLimiters();
    platform::MutexLock guard(limiters.lock);
    limiters.all.erase(this);
  }
  Flush();
}

void RepeatLimiter::AbandonAtProcessEnd() {
  unloading.store(true);
  abandoned.store(true);
}

void RepeatLimiter::EndAllTimers() {
  unloading.store(true);
  if (abandoned.load()) return;
  // Held throughout, so that no limiter is destroyed while it is flushed;
  // a sink that writes a line takes only its own limiter's lock.
  Limiters& limiters = AllLimiters();
  platform::MutexLock guard(limiters.lock);
  for (RepeatLimiter* limiter : limiters.all) limiter->Flush();
}

RepeatLimiter::Verdict RepeatLimiter::Admit(std::string_view kind, std::string_view text,
                                            Clock::time_point now, Origin origin) {
  Verdict verdict;
  std::lock_guard<std::mutex> guard(lock);
  if (now >= nextDue) CloseDueWindows(now, &verdict.summaries);

  const size_t key = std::hash<std::string_view>()(kind);
  auto found = kinds.find(key);
  if (found == kinds.end()) {
    if (kinds.size() >= kMaxKinds) {
      // Forget the kinds whose window has passed with nothing held back.
      for (auto it = kinds.begin(); it != kinds.end();) {
        const bool quiet = now - it->second.windowStart >= window && it->second.heldBack == 0;
        it = quiet ? kinds.erase(it) : std::next(it);
      }
      if (kinds.size() >= kMaxKinds) {
        verdict.write = true;
        return verdict;
      }
    }
    found = kinds.emplace(key, KindState{now, 0, 0, {}, {}}).first;
  }

  KindState& state = found->second;
  if (now - state.windowStart >= window) {
    CloseWindow(state, &verdict.summaries);
    state.windowStart = now;
    state.written = 0;
  }
  if (state.written < kLinesPerWindow) {
    ++state.written;
    verdict.write = true;
  } else {
    if (state.heldBack++ == 0) {
      state.firstHeldBack.assign(text.data(), text.size());
      state.firstOrigin = origin;
      nextDue = std::min(nextDue, state.windowStart + window);
      StartTimer();
    }
  }
  return verdict;
}

void RepeatLimiter::StartTimer() {
  if (!sink || timerRunning || flushing || unloading.load()) return;
  // A thread that found nothing more to do has let go of the lock for good.
  if (timer.joinable()) timer.join();
  try {
    timer = std::thread(&RepeatLimiter::RunTimer, this);
    timerRunning = true;
  } catch (const std::system_error&) {
    // Without a thread the summary still comes with the next line.
  }
}

void RepeatLimiter::RunTimer() {
  std::unique_lock<std::mutex> guard(lock);
  while (!flushing && nextDue != Clock::time_point::max()) {
    if (Clock::now() < nextDue) {
      timerWake.wait_until(guard, nextDue);
      continue;
    }
    std::vector<Summary> due;
    CloseDueWindows(Clock::now(), &due);
    guard.unlock();
    for (const Summary& summary : due) sink(summary);
    guard.lock();
  }
  timerRunning = false;
}

void RepeatLimiter::Flush() {
  // Without a sink the summaries wait for the next line, as they always did.
  if (!sink) return;
  std::vector<Summary> held;
  std::thread ending;
  {
    std::lock_guard<std::mutex> guard(lock);
    flushing = true;
    for (auto& [key, state] : kinds) CloseWindow(state, &held);
    nextDue = Clock::time_point::max();
    ending.swap(timer);
  }
  timerWake.notify_all();
  if (ending.joinable()) ending.join();
  for (const Summary& summary : held) sink(summary);
  std::lock_guard<std::mutex> guard(lock);
  flushing = false;
  timerRunning = false;
}

void RepeatLimiter::Reset() {
  std::lock_guard<std::mutex> guard(lock);
  kinds.clear();
  nextDue = Clock::time_point::max();
}

std::string RepeatLimiter::SummaryText(uint64_t count, std::string_view text) {
  std::string summary = "Suppressed " + std::to_string(count) + " more lines like: ";
  summary.append(text.data(), text.size());
  return summary;
}

void RepeatLimiter::CloseWindow(KindState& state, std::vector<Summary>* summaries) {
  if (state.heldBack == 0) return;
  summaries->push_back(Summary{SummaryText(state.heldBack, state.firstHeldBack), state.firstOrigin});
  state.heldBack = 0;
  state.firstHeldBack.clear();
}

void RepeatLimiter::CloseDueWindows(Clock::time_point now, std::vector<Summary>* summaries) {
  nextDue = Clock::time_point::max();
  for (auto& [key, state] : kinds) {
    if (state.heldBack == 0) continue;
    const Clock::time_point windowEnd = state.windowStart + window;
    if (now >= windowEnd) {
      // The lines held back are reported; the next line of this kind starts
      // a new window.
      CloseWindow(state, summaries);
    } else {
      nextDue = std::min(nextDue, windowEnd);
    }
  }
}

}  // namespace diagnostics
