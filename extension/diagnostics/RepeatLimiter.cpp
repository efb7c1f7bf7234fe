#include "extension/diagnostics/RepeatLimiter.h"

#include <algorithm>
#include <functional>

namespace diagnostics {

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
        const bool quiet = now - it->second.windowStart >= kWindow && it->second.heldBack == 0;
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
  if (now - state.windowStart >= kWindow) {
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
      nextDue = std::min(nextDue, state.windowStart + kWindow);
    }
  }
  return verdict;
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
    const Clock::time_point windowEnd = state.windowStart + kWindow;
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
