// In a session every line a host prints says which end printed it, the
// plug-in's own output (its pipe servers' standard output, its bridge's
// debug entries) as much as its log lines, so the two ends can be told apart.
#include <gtest/gtest.h>

#include <sys/stat.h>

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

// A host started on a pipe folder open to others ends with one line, last
// and at level 0, that names the folder and the fix.
TEST(HostOutputTest, AHostOnABadPipeFolderSaysSoLast) {
  SessionHarness session;
  const std::string folder = session.Folder() + "/server-pipes";
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  EXPECT_FALSE(session.Start());
  std::string log = session.Log(true);
  while (!log.empty() && log.back() == '\n') log.pop_back();
  const std::string last = log.substr(log.rfind('\n') + 1);
  EXPECT_EQ(last.rfind("[server] L0 vchan-host code=-1 the plug-in cannot serve the pipe socket " + folder +
                           "/KVX_Pipe_Channel (folder from KVX_PIPE_DIR): the folder " + folder,
                       0),
            0u)
      << log;
  EXPECT_NE(last.find("is open to group or others; a pipe folder must be closed to them (chmod 700)"),
            std::string::npos)
      << last;
}

}  // namespace
}  // namespace e2e
