#include "tests/reliability/HostProcess.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace e2e {

HostUsage ReadUsage(pid_t pid) {
  HostUsage usage;
  const std::string base = "/proc/" + std::to_string(pid);
  if (DIR* dir = opendir((base + "/fd").c_str())) {
    while (dirent* entry = readdir(dir)) usage.fds += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
  }
  std::ifstream status(base + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) usage.threads = std::atoi(line.c_str() + 8);
    if (line.rfind("VmRSS:", 0) == 0) usage.rssKb = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) usage.peakRssKb = std::atol(line.c_str() + 6);
  }
  return usage;
}

pid_t FindHost(const std::string& end) {
  pid_t found = -1;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    char state;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent != getpid()) continue;
    std::ifstream cmd("/proc/" + std::to_string(pid) + "/cmdline");
    std::string args((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
    for (char& c : args) c = c == '\0' ? ' ' : c;
    if (args.find("vchan-host") != std::string::npos && args.find("--end " + end) != std::string::npos) {
      found = pid;
    }
  }
  closedir(proc);
  return found;
}

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10))
                                            : fallback;
}

}  // namespace e2e
