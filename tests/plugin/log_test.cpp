// Where the plug-in's lines go and how long they may be.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "diagnostics/RepeatLimiter.h"
#include "src/application/common/PcoipVchan/PcoipVchanLog.h"
#include "src/application/common/PcoipVchan/PcoipVchanReceiveStatistics.h"
#include "tests/plugin/PluginFixture.h"

namespace {

TEST_F(PluginTest, LinesAreCutAt127Characters) {
  const std::string longText(300, 'x');
  plugin_log("tag", 2, -7, "%s", longText.c_str());
  plugin_log("", 1, 0, "%s", std::string(127, 'y').c_str());
  std::vector<LogLine> lines = host().Logs();
  ASSERT_GE(lines.size(), 2u);
  const LogLine& cut = lines[lines.size() - 2];
  EXPECT_EQ(cut.text, std::string(127, 'x'));
  EXPECT_EQ(cut.tag, "tag");
  EXPECT_EQ(cut.level, 2);
  EXPECT_EQ(cut.code, -7);
  EXPECT_EQ(lines.back().text, std::string(127, 'y'));

  // The exit line names the source file and is always cut.
  host().Reset();
  EXPECT_EQ(pcoip_vchan_plugin_server_exit(&g_plugin_context), 1);
  auto entering = LinesContaining("Entering pcoip_vchan_plugin_server_exit (");
  ASSERT_EQ(entering.size(), 1u);
  EXPECT_LE(entering[0].text.size(), 127u);
  EXPECT_NE(entering[0].text.find("PcoipVchanPlugin"), std::string::npos) << entering[0].text;
  EXPECT_EQ(entering[0].level, 1);
  EXPECT_EQ(entering[0].tag, "");
}

TEST_F(PluginTest, LinesStillReachTheHostAfterExit) {
  exit_sample_vchan(&g_plugin_context);
  host().Reset();
  plugin_log("", 1, 0, "after exit %d", 42);
  EXPECT_TRUE(host().HasLog("after exit 42"));
}

TEST_F(PluginTest, HostTableWithoutLogEntryWritesToStandardOutput) {
  exit_sample_vchan(&g_plugin_context);
  host().Reset();
  pcoip_vchan_intf silent = host().Table(/*withLog=*/false);
  testing::internal::CaptureStdout();
  ASSERT_EQ(init_sample_vchan(0, &silent), 0);
  plugin_log("tag", 3, -500, "plain %s", "text");
  exit_sample_vchan(&g_plugin_context);
  std::string out = testing::internal::GetCapturedStdout();
  // The receive thread's own lines may come before or after ours.
  EXPECT_NE(out.find("plain text"), std::string::npos) << out;
  EXPECT_EQ(out.find("plain text\n"), std::string::npos) << "no line break added";
  EXPECT_EQ(out.find("tag"), std::string::npos) << "no tag written";
  EXPECT_TRUE(host().Logs().empty());
}

}  // namespace

namespace {

TEST_F(PluginTest, LinesOfOneFormatRepeatedTooOftenAreHeldBack) {
  host().Reset();
  const uint32_t limit = diagnostics::RepeatLimiter::kLinesPerWindow;
  for (uint32_t i = 0; i < limit + 25; ++i) plugin_log("tag", 1, -500, "flooded line %u", i);
  const auto lines = LinesContaining("flooded line ");
  ASSERT_EQ(lines.size(), limit);
  // The lines written keep their exact texts, in order.
  EXPECT_EQ(lines.front().text, "flooded line 0");
  EXPECT_EQ(lines.back().text, "flooded line " + std::to_string(limit - 1));

  // Informational lines, such as the statistics of every received message,
  // are each written.
  for (uint32_t i = 0; i < limit + 25; ++i) plugin_log("tag", 2, 0, "statistics %u", i);
  EXPECT_EQ(LinesContaining("statistics ").size(), limit + 25);
}

}  // namespace

namespace {

// The statistics line is formatted by hand; the library's printf is the
// reference for every figure it carries, cut included.
TEST(ReceiveStatisticsLineTest, SameTextAsPrintfForEveryKindOfFigure) {
  const double inf = std::numeric_limits<double>::infinity();
  const ReceiveStatistics cases[] = {
      {"rx_thread_entry", 0, 1060, 1, 0, inf},
      {"rx_thread_entry", 7, 1048576, 350, 3, 1048576 / (7 * 1.024)},
      {"rx_thread_entry", 4294967295u, 4294967295u, -2147483647 - 1, -5, 0.005},
      {"rx_thread_entry", 1, 2, 3, 4, 0.125},  // a tie, rounded as the library rounds it
      {"rx_thread_entry", 1, 2, 3, 4, 1e300},  // cut inside the rate
      {"a thread name long enough to push the rest of the line past the limit of the line", 12, 34, 5,
       6, 7.891},
  };
  for (const ReceiveStatistics& figures : cases) {
    char expected[kLogLineMax + 1];
    std::snprintf(expected, sizeof(expected),
                  "%s: It took %u ms to receive %u bytes in %d packets (Av=%d ms  %4.2f KBytes/sec).",
                  figures.thread, figures.elapsedMs, figures.length, figures.packets, figures.averageMs,
                  figures.rate);
    char got[kLogLineMax + 1];
    const size_t length = FormatReceiveStatistics(figures, got);
    EXPECT_EQ(std::string(got), std::string(expected));
    EXPECT_EQ(length, std::strlen(expected));
  }
}

}  // namespace
