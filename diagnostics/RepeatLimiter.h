// Keeps a repeated diagnostic from flooding a log. Each kind of diagnostic
// (its fixed text, or the format its lines are made from) may be written
// kLinesPerWindow times per kWindow; later lines of that kind in the same
// window are only counted, and once the window has passed one summary line
// with the count takes their place: handed back with the next line of any
// kind, or, when no line comes, written to the limiter's sink by a thread
// that runs only while lines are held back, and never past the unloading of
// the library holding it. Flush writes every summary still held at once (at
// exit). The lines that are written keep their exact texts.
//
// Thread-safe and cheap: one short lock, one hash of the kind and one clock
// reading per diagnostic; it allocates only when it meets a kind for the first
// time and when a window starts holding lines back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <condition_variable>
#include <functional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace diagnostics {

// What a sink needs to write a summary the way it wrote the lines it stands
// for (a log's tag, level and code, say); kept from the first line held back.
// The tag is only carried along, so it must be text that lives for good.
struct LineOrigin {
  const void* tag = nullptr;
  int32_t level = 0;
  int32_t code = 0;
};

class RepeatLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr uint32_t kLinesPerWindow = 20;
  static constexpr Clock::duration kWindow = std::chrono::seconds(10);
  // Kinds are few (the diagnostics the code can write); past this many the
  // limiter forgets kinds that are quiet, and writes lines of new kinds
  // untracked rather than grow.
  static constexpr size_t kMaxKinds = 512;

  using Origin = LineOrigin;
  struct Summary {
    std::string text;
    Origin origin;
  };
  struct Verdict {
    // Summaries of lines held back earlier, to be written first, in order.
    std::vector<Summary> summaries;
    // Whether the line itself is to be written.
    bool write = false;
  };

  // Writes a summary the way the sink's lines are written. Called on the
  // limiter's own thread, or on the thread that calls Flush.
  using Sink = std::function<void(const Summary&)>;

  // Without a sink, summaries come only with the next line of any kind.
  // Tests shorten the window.
  explicit RepeatLimiter(Sink sink = nullptr, Clock::duration window = kWindow);
  ~RepeatLimiter();  // Flush()
  RepeatLimiter(const RepeatLimiter&) = delete;
  RepeatLimiter& operator=(const RepeatLimiter&) = delete;

  // `kind` says which diagnostic `text` is; lines of one kind share a budget.
  Verdict Admit(std::string_view kind, std::string_view text, Clock::time_point now,
                Origin origin = {});

  // Forgets every count and every line held back (tests start each case afresh).
  void Reset();
  // Writes to the sink the summary of every line held back, whether its
  // window has passed or not, and ends the thread.
  void Flush();
  // Flushes every limiter of this library, and keeps them from starting
  // their threads again: the library is being unloaded, and no thread may
  // be left in its code. Called at unload by the limiters' own code.
  static void EndAllTimers();
  // The process is ending and its other threads have been ended wherever
  // they were, perhaps holding a limiter's lock: from now on no limiter is
  // flushed or waits for its thread (the system reclaims what is left).
  static void AbandonAtProcessEnd();

  // The summary that stands for `count` lines held back, the first being `text`.
  static std::string SummaryText(uint64_t count, std::string_view text);

 private:
  struct KindState {
    Clock::time_point windowStart;
    uint32_t written = 0;
    uint64_t heldBack = 0;
    std::string firstHeldBack;
    Origin firstOrigin;
  };

  // Moves the summary of a window that has passed into `summaries`.
  static void CloseWindow(KindState& state, std::vector<Summary>* summaries);
  void CloseDueWindows(Clock::time_point now, std::vector<Summary>* summaries);
  // Under the lock: makes sure the thread runs while summaries are due later.
  void StartTimer();
  void RunTimer();

  const Sink sink;
  const Clock::duration window;
  std::mutex lock;
  std::condition_variable timerWake;
  std::thread timer;
  bool timerRunning = false;
  bool flushing = false;
  // By a hash of the kind: two kinds that share a hash share a budget, which
  // only makes the limit stricter.
  std::unordered_map<size_t, KindState> kinds;
  // The earliest end of a window that holds lines back; no summary is due before.
  Clock::time_point nextDue = Clock::time_point::max();
};

}  // namespace diagnostics
