// A far end sending connect requests with ever new names, as a hostile or
// runaway peer would: the server end's table must stop growing at its bound,
// and the cost of a request (a lookup by name, and the answer) must stay the
// same from the first batch of names to the last.
#include <benchmark/benchmark.h>

#include <time.h>

#include <string>

#include "bench/inproc/BridgeAccess.h"
#include "platform/debug_output.h"
#include "proto/kvx.pb.h"

namespace {

void DiscardSent(const std::string&) {}

std::string ConnectRequest(const std::string& name) {
  KVX::Message message;
  message.mutable_request()->mutable_connect_channel_request()->set_channel_name(name);
  return message.SerializeAsString();
}

std::string TransferTo(int64_t channelId) {
  KVX::Message message;
  message.mutable_request()->mutable_transfer_data()->set_channel_id(channelId);
  message.mutable_request()->mutable_transfer_data()->set_data(std::string(64, 'd'));
  return message.SerializeAsString();
}

// The calling thread's CPU time in seconds: on a shared machine the wall
// clock would measure the other processes as much as the table.
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Handles `count` connect requests of new names; returns the CPU seconds taken.
double Storm(ChannelBridge& bridge, size_t first, size_t count) {
  const double start = ThreadSeconds();
  for (size_t i = first; i < first + count; ++i) {
    bridge.HandlePcoipMessage(ConnectRequest("storm name " + std::to_string(i)));
  }
  return ThreadSeconds() - start;
}

// Reports the table's size after `range(0)` distinct names and the CPU time
// of the first and the last batch of 10,000 requests.
void BM_PeerConnectStorm(benchmark::State& state) {
  platform::SetDebugSink([](const std::string&) {});
  const size_t names = static_cast<size_t>(state.range(0));
  constexpr size_t kBatch = 10000;
  for (auto _ : state) {
    ChannelBridge* bridge = ChannelBridgeTestAccess::Create();
    ChannelBridgeTestAccess::SetUp(*bridge, true, DiscardSent, {});
    const double firstBatch = Storm(*bridge, 0, kBatch);
    Storm(*bridge, kBatch, names - 2 * kBatch);
    const double lastBatch = Storm(*bridge, names - kBatch, kBatch);
    state.counters["table_entries"] = static_cast<double>(ChannelBridgeTestAccess::TableSize(*bridge));
    state.counters["first_10k_cpu_ms"] = firstBatch * 1e3;
    state.counters["last_10k_cpu_ms"] = lastBatch * 1e3;
    ChannelBridgeTestAccess::Destroy(bridge);
  }
  platform::SetDebugSink(nullptr);
}
BENCHMARK(BM_PeerConnectStorm)->Arg(60000)->Arg(200000)->Iterations(1)->Unit(benchmark::kMillisecond);

// One message from the peer addressed by channel ID, with `range(0)` channels
// in the table: the lookup costs the same whatever the table holds.
void BM_PeerLookupById(benchmark::State& state) {
  platform::SetDebugSink([](const std::string&) {});
  const int64_t entries = state.range(0);
  std::vector<ChannelEntry> table;
  for (int64_t i = 0; i < entries; ++i) table.push_back({"name " + std::to_string(i), i, -1});
  ChannelBridge* bridge = ChannelBridgeTestAccess::Create();
  ChannelBridgeTestAccess::SetUp(*bridge, true, DiscardSent, table);
  // The last entry: the one a scan would reach last.
  const std::string bytes = TransferTo(entries - 1);
  for (auto _ : state) bridge->HandlePcoipMessage(bytes);
  ChannelBridgeTestAccess::Destroy(bridge);
  platform::SetDebugSink(nullptr);
}
BENCHMARK(BM_PeerLookupById)->Arg(10)->Arg(1000)->Arg(4096)->Unit(benchmark::kNanosecond);

}  // namespace
