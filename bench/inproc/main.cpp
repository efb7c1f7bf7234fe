// kvx-bench-inproc: Google Benchmark over single steps inside one process.
// The plug-in is set up once against the loopback host before the runs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "bench/inproc/LoopbackHost.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!kvxbench::StartLoopbackPlugin()) {
    std::fprintf(stderr, "kvx-bench-inproc: the plug-in did not start\n");
    return 1;
  }
  for (int i = 0; i < 500 && LoadShared(g_plugin_context.link.max_payload_size) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kvxbench::StopLoopbackPlugin();
  return 0;
}
