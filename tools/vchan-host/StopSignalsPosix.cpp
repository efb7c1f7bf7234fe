#include "tools/vchan-host/StopSignals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>

namespace vchan_host {
namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A pipe client that vanishes mid-write must not end the host.
  signal(SIGPIPE, SIG_IGN);
}

int WaitForStopSignal(uint32_t timeoutMs) {
  sigset_t set = StopSet();
  timespec timeout{static_cast<time_t>(timeoutMs / 1000),
                   static_cast<long>(timeoutMs % 1000) * 1000000L};
  int taken = sigtimedwait(&set, nullptr, &timeout);
  return taken > 0 ? taken : 0;
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

}  // namespace vchan_host
