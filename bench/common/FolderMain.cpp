#include "bench/common/FolderMain.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kvxbench {

int RunInFolder(const char* program, int argc, char** argv, double* seconds,
                const std::function<bool(const std::string& folder)>& measure) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) *seconds = std::atof(argv[i + 1]);
  }
  signal(SIGPIPE, SIG_IGN);
  std::string pattern = std::string("/tmp/") + program + ".XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return 1;
  bool ok = measure(pattern);
  const std::string command = "rm -rf '" + pattern + "'";
  if (std::system(command.c_str()) != 0) ok = false;
  if (!ok) std::fprintf(stderr, "%s: a measurement failed\n", program);
  return ok ? 0 : 1;
}

}  // namespace kvxbench
