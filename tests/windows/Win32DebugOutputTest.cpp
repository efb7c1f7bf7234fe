// The default debug output is the system's debugger channel: a viewer
// listening on DBWIN_BUFFER sees each entry with exactly its text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "tests/windows/DbwinListener.h"

namespace kvx_win32_test {
namespace {

using platform::OutputDebugText;
using platform::SetDebugSink;

TEST(Win32DebugOutput, EntriesReachTheDebuggerChannelExactlyAndInOrder) {
  DbwinListener listener;
  ASSERT_TRUE(listener.ok());
  SetDebugSink(nullptr);
  OutputDebugText("Pipe server started");
  OutputDebugText("with\nnewline, trailing space ");
  OutputDebugText(nullptr);
  OutputDebugText("last");
  std::vector<std::string> entries = listener.WaitFor(4, 5000);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0], "Pipe server started");
  EXPECT_EQ(entries[1], "with\nnewline, trailing space ");
  EXPECT_EQ(entries[2], "");
  EXPECT_EQ(entries[3], "last");
}

TEST(Win32DebugOutput, SinkTakesEntriesAwayFromTheChannelUntilCleared) {
  DbwinListener listener;
  ASSERT_TRUE(listener.ok());
  std::vector<std::string> sunk;
  SetDebugSink([&](const std::string& text) { sunk.push_back(text); });
  OutputDebugText("to the sink");
  SetDebugSink(nullptr);
  OutputDebugText("to the channel");
  std::vector<std::string> entries = listener.WaitFor(1, 5000);
  ASSERT_EQ(sunk.size(), 1u);
  EXPECT_EQ(sunk[0], "to the sink");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], "to the channel");
}

}  // namespace
}  // namespace kvx_win32_test
