#include "bench/common/Figures.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kvxbench {

void PrintFigure(const std::string& name, double value, const char* unit) {
  std::printf("FIGURE %s %.6g %s\n", name.c_str(), value, unit);
  std::fflush(stdout);
}

double Percentile(std::vector<double>* samples, double p) {
  if (samples->empty()) return 0;
  std::sort(samples->begin(), samples->end());
  size_t index = static_cast<size_t>(p / 100.0 * static_cast<double>(samples->size() - 1) + 0.5);
  return (*samples)[std::min(index, samples->size() - 1)];
}

namespace {
long StatusField(const std::string& statusPath, const std::string& field) {
  std::ifstream in(statusPath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size(), field) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}
}  // namespace

long PeakResidentKiB(int pid) { return StatusField("/proc/" + std::to_string(pid) + "/status", "VmHWM:"); }
long ResidentKiB(int pid) { return StatusField("/proc/" + std::to_string(pid) + "/status", "VmRSS:"); }

double ContextSwitches(int pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return -1;
  double total = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string status = tasks + "/" + entry->d_name + "/status";
    for (const char* field : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
      const long count = StatusField(status, field);
      if (count > 0) total += static_cast<double>(count);
    }
  }
  closedir(dir);
  return total;
}

double CpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold spaces: the fields are counted after its ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3..13 come before utime (14) and stime (15).
  for (int i = 3; i <= 13; ++i) fields >> field;
  if (!(fields >> utime >> stime)) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace kvxbench
