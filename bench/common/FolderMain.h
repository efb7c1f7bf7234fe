// The frame of a benchmark program whose processes meet in a folder of their
// own: reads --seconds, ignores SIGPIPE (a failed peer shows as a failed
// write), makes the folder with mkdtemp, runs the measurements, removes it.
#pragma once

#include <functional>
#include <string>

namespace kvxbench {

// Returns the program's exit status: 0 when `measure` succeeded and the
// folder went; otherwise names `program` in a line on stderr.
int RunInFolder(const char* program, int argc, char** argv, double* seconds,
                const std::function<bool(const std::string& folder)>& measure);

}  // namespace kvxbench
