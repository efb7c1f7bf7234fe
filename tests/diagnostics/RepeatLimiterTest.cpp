// A diagnostic repeated faster than the limit is written a set number of times
// per window and then summarised once with the count; other kinds are not
// affected, and the count is exact however many threads report at once. A
// summary is written when its window has passed even if no later line comes,
// and at once when the limiter is flushed or destroyed.
#include "diagnostics/RepeatLimiter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace diagnostics {
namespace {

using Clock = RepeatLimiter::Clock;
constexpr uint32_t kLimit = RepeatLimiter::kLinesPerWindow;

TEST(RepeatLimiterTest, RepeatsBeyondTheRateBecomeOneSummaryWithTheCount) {
  RepeatLimiter limiter;
  const Clock::time_point start{};
  // One kind, lines that differ in their values: the first kLimit are
  // written, the rest only counted.
  uint32_t written = 0;
  for (uint32_t i = 0; i < kLimit + 30; ++i) {
    const auto verdict = limiter.Admit("bad length %u", "bad length " + std::to_string(i), start,
                                       LineOrigin{"tag", 2, -500});
    EXPECT_TRUE(verdict.summaries.empty());
    written += verdict.write ? 1 : 0;
  }
  EXPECT_EQ(written, kLimit);
  // Another kind is not held back by the first.
  EXPECT_TRUE(limiter.Admit("other", "other", start + std::chrono::seconds(1)).write);

  // Once the window has passed, the next diagnostic of any kind brings the
  // summary, with the origin of the lines it stands for.
  const auto late = start + RepeatLimiter::kWindow;
  const auto verdict = limiter.Admit("other", "other", late, LineOrigin{"x", 1, 0});
  EXPECT_TRUE(verdict.write);
  ASSERT_EQ(verdict.summaries.size(), 1u);
  EXPECT_EQ(verdict.summaries[0].text,
            "Suppressed 30 more lines like: bad length " + std::to_string(kLimit));
  EXPECT_STREQ(static_cast<const char*>(verdict.summaries[0].origin.tag), "tag");
  EXPECT_EQ(verdict.summaries[0].origin.level, 2);
  EXPECT_EQ(verdict.summaries[0].origin.code, -500);
  // Reported once; the first kind is written again in its new window.
  const auto again = limiter.Admit("bad length %u", "bad length 0", late);
  EXPECT_TRUE(again.write);
  EXPECT_TRUE(again.summaries.empty());
}

TEST(RepeatLimiterTest, ThreadsReportingAtOnceAreCountedExactly) {
  RepeatLimiter limiter;
  const Clock::time_point start{};
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::atomic<uint32_t> written{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        if (limiter.Admit("flood", "flood", start).write) ++written;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(written.load(), kLimit);
  const auto verdict = limiter.Admit("flood", "flood", start + RepeatLimiter::kWindow);
  ASSERT_EQ(verdict.summaries.size(), 1u);
  EXPECT_EQ(verdict.summaries[0].text,
            "Suppressed " + std::to_string(kThreads * kEach - kLimit) + " more lines like: flood");
}

TEST(RepeatLimiterTest, SummariesComeWithoutALaterLineAndAtFlush) {
  std::mutex lock;
  std::vector<std::string> written;
  const RepeatLimiter::Sink sink = [&](const RepeatLimiter::Summary& summary) {
    std::lock_guard<std::mutex> guard(lock);
    written.push_back(summary.text);
  };
  const auto writtenNow = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return written;
  };
  {
    RepeatLimiter limiter(sink, std::chrono::milliseconds(100));
    for (uint32_t i = 0; i <= kLimit; ++i) limiter.Admit("quiet", "quiet after this", Clock::now());
    for (int i = 0; i < 500 && writtenNow().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(writtenNow(), std::vector<std::string>{RepeatLimiter::SummaryText(1, "quiet after this")});
  }
  written.clear();
  RepeatLimiter slow(sink, std::chrono::hours(1));
  {
    RepeatLimiter dying(sink, std::chrono::hours(1));
    for (uint32_t i = 0; i < kLimit + 3; ++i) {
      slow.Admit("a", "a", Clock::now());
      dying.Admit("b", "b", Clock::now());
    }
    EXPECT_TRUE(writtenNow().empty());
    slow.Flush();
  }
  EXPECT_EQ(writtenNow(), (std::vector<std::string>{RepeatLimiter::SummaryText(3, "a"),
                                                    RepeatLimiter::SummaryText(3, "b")}));
  // Flushed lines are not summarised twice.
  slow.Flush();
  EXPECT_EQ(writtenNow().size(), 2u);
}

}  // namespace
}  // namespace diagnostics
