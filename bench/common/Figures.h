// Figures the benchmark programs print, one per line, for scripts/bench to
// collect: "FIGURE <name> <value> <unit>". Names are stable keys.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kvxbench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void PrintFigure(const std::string& name, double value, const char* unit);

// Percentile p (0..100) of the samples; sorts them.
double Percentile(std::vector<double>* samples, double p);

// Peak resident size (VmHWM) of a process, in KiB; -1 when unreadable.
long PeakResidentKiB(int pid);
// Current resident size (VmRSS) in KiB; -1 when unreadable.
long ResidentKiB(int pid);
// CPU time (user and system) a process has used so far, in seconds; -1 when
// unreadable.
double CpuSeconds(int pid);
// Times the threads of a process now running have been switched out (waits
// and preemptions): each hand-off of a message to a waiting thread costs one
// or more. -1 when unreadable.
double ContextSwitches(int pid);

}  // namespace kvxbench
