// In a session every line a host prints says which end printed it, the
// plug-in's own output (its pipe servers' standard output, its bridge's
// debug entries) as much as its log lines, so the two ends can be told apart.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace e2e {
namespace {

TEST(HostOutputTest, ThePluginsOwnOutputCarriesTheLabelOfItsEnd) {
  SessionHarness session;
  ASSERT_TRUE(session.Start());
  RawApp serverApp(SessionHarness::ServerPipe());
  ASSERT_TRUE(serverApp.Connected());
  ASSERT_TRUE(serverApp.Write("not a KVX message"));
  ASSERT_TRUE(session.WaitForLog(true, "[server] L1 debug code=0 ERROR: PCoiP parse error."));
  EXPECT_GE(session.CountLog(true, "[server] L1 stdout code=0 Connect status: 997"), 6);
  EXPECT_GE(session.CountLog(false, "[client] L1 stdout code=0 Connect status: 997"), 6);
  for (const bool server : {true, false}) {
    std::istringstream lines(session.Log(server));
    const std::string label = server ? "[server] " : "[client] ";
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind(label, 0), 0u) << line;
  }
}

}  // namespace
}  // namespace e2e
