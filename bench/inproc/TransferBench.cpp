// SendOverPcoip and the receive thread's reassembly through the loopback
// host: one message out as datagrams and back as one message on the bridge's
// queue. Bytes processed are the message's, so the rate reads per MiB.
#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include "bench/inproc/BridgeAccess.h"
#include "bench/inproc/LoopbackHost.h"
#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"

namespace {

void BM_SendAndReassemble(benchmark::State& state) {
  const std::string message(static_cast<size_t>(state.range(0)), 's');
  std::string back;
  for (auto _ : state) {
    SendOverPcoip(message);
    while (!ChannelBridgeTestAccess::TakePcoipMessage(&back)) std::this_thread::yield();
    if (back.size() != message.size()) {
      state.SkipWithError("the message came back changed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.counters["datagrams"] = static_cast<double>((message.size() + 2983) / 2984);
}
BENCHMARK(BM_SendAndReassemble)->Arg(1024)->Arg(1 << 20)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
