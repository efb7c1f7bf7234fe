// The bridge's handling of one transfer_data from each queue, called as its
// workers call it: from the pipe queue (parse, forward to the peer) and from
// the PCoIP queue (parse, table lookup, write to the owner's pipe, which a
// client in this process drains).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>

#include "bench/inproc/BridgeAccess.h"
#include "platform/named_pipe.h"
#include "proto/kvx.pb.h"

namespace {

std::atomic<uint64_t> g_forwarded{0};
void CountForwarded(const std::string& bytes) { g_forwarded += bytes.size(); }

std::string Transfer(int64_t channelId, size_t size) {
  KVX::Message message;
  message.mutable_request()->set_id(1);
  KVX::TransferData* transfer = message.mutable_request()->mutable_transfer_data();
  transfer->set_channel_id(channelId);
  transfer->set_data(std::string(size, 't'));
  return message.SerializeAsString();
}

void BM_BridgePipeSideTransfer(benchmark::State& state) {
  ChannelBridge* bridge = ChannelBridgeTestAccess::Create();
  ChannelBridgeTestAccess::SetUp(*bridge, true, CountForwarded, {ChannelEntry{"bench", 0, 0}});
  const PipeItem item{0, Transfer(0, static_cast<size_t>(state.range(0)))};
  for (auto _ : state) bridge->HandlePipeMessage(item);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(item.bytes.size()));
  ChannelBridgeTestAccess::Destroy(bridge);
}
BENCHMARK(BM_BridgePipeSideTransfer)->Arg(1024)->Arg(262080)->Unit(benchmark::kMicrosecond);

void BM_BridgePeerSideTransfer(benchmark::State& state) {
  char folder[] = "/tmp/kvx-bench-bridge.XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    state.SkipWithError("no folder");
    return;
  }
  setenv("KVX_PIPE_DIR", folder, 1);
  const std::string pipeName = "\\\\.\\pipe\\bench";
  ChannelBridge* bridge = ChannelBridgeTestAccess::Create();
  ChannelBridgeTestAccess::SetUp(*bridge, true, CountForwarded, {ChannelEntry{"bench", 0, 0}});
  auto server = std::make_unique<Orvane::Extension::Windows::NamedPipeServer>(pipeName, 6);
  const bool started = server->Start() == Orvane::Extension::SDK::TransportStatus::Ok;
  ChannelBridgeTestAccess::AddPipeServer(*bridge, std::move(server));
  platform::PipeHandle client = started ? platform::OpenPipeClient(pipeName, 5000) : platform::InvalidPipeHandle();
  std::atomic<uint64_t> drained{0};
  std::thread drainer([&] {
    std::string message;
    while (platform::ReadPipeMessage(client, &message)) drained += 1;
  });
  const std::string bytes = Transfer(0, static_cast<size_t>(state.range(0)));
  // The server takes the client on its reader thread; until then writes fail.
  for (int i = 0; i < 500 && drained.load() == 0; ++i) {
    bridge->HandlePcoipMessage(bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (drained.load() == 0) state.SkipWithError("the pipe client was never served");
  for (auto _ : state) bridge->HandlePcoipMessage(bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
  platform::ShutdownPipeClient(client);
  drainer.join();
  platform::ClosePipeClient(client);
  ChannelBridgeTestAccess::Destroy(bridge);
  std::string command = std::string("rm -rf '") + folder + "'";
  if (system(command.c_str()) != 0) state.SkipWithError("folder left behind");
}
BENCHMARK(BM_BridgePeerSideTransfer)->Arg(1024)->Arg(262080)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
