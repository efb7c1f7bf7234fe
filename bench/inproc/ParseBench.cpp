// Parse of one transfer_data message, as both bridge workers do for every
// message they forward.
#include <benchmark/benchmark.h>

#include <string>

#include "proto/kvx.pb.h"

namespace {

std::string TransferMessage(size_t size) {
  KVX::Message message;
  message.mutable_request()->set_id(1);
  KVX::TransferData* transfer = message.mutable_request()->mutable_transfer_data();
  transfer->set_channel_id(3);
  transfer->set_app_value(7);
  transfer->set_data(std::string(size, 'd'));
  return message.SerializeAsString();
}

void BM_ParseTransferData(benchmark::State& state) {
  const std::string bytes = TransferMessage(static_cast<size_t>(state.range(0)));
  KVX::Message message;
  for (auto _ : state) {
    message.Clear();
    bool ok = message.ParseFromString(bytes);
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_ParseTransferData)->Arg(1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
