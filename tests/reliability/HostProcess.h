// What a vchan-host child of the test process holds, read from /proc, so that
// load tests can tell whether the hosts grew with the traffic.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace e2e {

struct HostUsage {
  int fds = 0;
  int threads = 0;
  long rssKb = 0;
  long peakRssKb = 0;  // VmHWM: the most the process has ever held
};

HostUsage ReadUsage(pid_t pid);

// The vchan-host child of this process that serves `end` ("server" or
// "client"), or -1.
pid_t FindHost(const std::string& end);

// A number from the environment (a load test's size, which scripts/stress
// raises), or `fallback` when it is unset or empty.
uint32_t EnvNumber(const char* name, uint32_t fallback);

}  // namespace e2e
