// kvx-bench-session: end-to-end figures through a real two-end session.
//
// Two vchan-host processes (server end, client end) load the plug-in and are
// joined by their datagram link; this process holds one SDK session at each
// end and one channel between them. Data goes from the client end's
// application to the server end's.
//
//   one way   transfer_data throughput for 1 KiB and 64 KiB messages through
//             the SDK, and for 1 MiB messages written whole to the pipe (the
//             SDK sends at most 256 KiB in one message). At most --window
//             bytes are in flight.
//   round     1 KiB round trip: the server end's application echoes.
//   link      with --link PRESET [--memory-link PRESET]: over an emulated link
//             instead, the round trip alone, the one-way figures, a second
//             pair's round trip beside 64 KiB bulk (with the bulk's rate
//             meanwhile) and beside 4 MiB messages written whole to the
//             pipe, and the peak resident size of each end while the link
//             (by default `slow`) holds 1 MiB messages back.
//   memory    peak resident size (VmHWM) of each end in a fresh session:
//             idle, and after three messages just under 64 MiB (the pipe's
//             quota) crossed one at a time; and again with the three written
//             at once, nothing waiting for the receiver.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/Figures.h"
#include "extension/sdk/KvxSdk.h"
#include "tools/vchan-host/HostOptions.h"
#include "tools/vchan-host/LinkEmulator.h"
#include "tests/e2e/RawApp.h"
#include "tests/e2e/SessionHarness.h"

namespace sdk = Orvane::Extension::SDK;

namespace {

using kvxbench::Clock;
using kvxbench::PrintFigure;
using kvxbench::SecondsSince;

double g_seconds = 2.0;
size_t g_window = 16u << 20;
// Names of the figures: "e2e" over the plain link, "link" over an emulated one.
std::string g_prefix = "e2e";

// The vchan-host child of this process that serves `end`.
int HostPid(const char* end) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  int found = -1;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    int parent = 0;
    char state = 0;
    std::istringstream rest(text.substr(close + 1));
    rest >> state >> parent;
    if (parent != getpid()) continue;
    std::ifstream cmd("/proc/" + std::to_string(pid) + "/cmdline");
    std::string line((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (line.find(std::string("--end ") + end + " ") != std::string::npos) found = pid;
  }
  closedir(proc);
  return found;
}

// CPU time each end's host process spends on a run, per unit of what the run
// moved: the cost to the host besides the speed. Also this process's, which
// holds the applications of both ends (the sending and the receiving one).
class HostCpu {
 public:
  HostCpu() : serverPid(HostPid("server")), clientPid(HostPid("client")) {
    apps0 = kvxbench::CpuSeconds(getpid());
    server0 = kvxbench::CpuSeconds(serverPid);
    client0 = kvxbench::CpuSeconds(clientPid);
    serverSwitches0 = kvxbench::ContextSwitches(serverPid);
    clientSwitches0 = kvxbench::ContextSwitches(clientPid);
  }
  // Prints e2e.cpu.<end>.<label> and e2e.cpu.apps.<label> as microseconds
  // per unit, and e2e.switches.<end>.<label> as context switches per unit.
  void Print(const std::string& label, double units) const {
    if (units <= 0) return;
    const double server = kvxbench::CpuSeconds(serverPid), client = kvxbench::CpuSeconds(clientPid);
    const double apps = kvxbench::CpuSeconds(getpid());
    if (apps0 >= 0 && apps >= 0) PrintFigure(g_prefix + ".cpu.apps." + label, (apps - apps0) * 1e6 / units, "us");
    if (server0 >= 0 && server >= 0) PrintFigure(g_prefix + ".cpu.server." + label, (server - server0) * 1e6 / units, "us");
    if (client0 >= 0 && client >= 0) PrintFigure(g_prefix + ".cpu.client." + label, (client - client0) * 1e6 / units, "us");
    const double serverSwitches = kvxbench::ContextSwitches(serverPid);
    const double clientSwitches = kvxbench::ContextSwitches(clientPid);
    if (serverSwitches0 >= 0 && serverSwitches >= 0) {
      PrintFigure(g_prefix + ".switches.server." + label, (serverSwitches - serverSwitches0) / units, "count");
    }
    if (clientSwitches0 >= 0 && clientSwitches >= 0) {
      PrintFigure(g_prefix + ".switches.client." + label, (clientSwitches - clientSwitches0) / units, "count");
    }
  }

 private:
  int serverPid, clientPid;
  double apps0 = -1, server0 = -1, client0 = -1;
  double serverSwitches0 = -1, clientSwitches0 = -1;
};

struct Ends {
  std::unique_ptr<sdk::Session> sender, receiver;
  sdk::Channel out, in;
};

bool OpenEnds(Ends* ends, const std::string& name) {
  sdk::SessionOptions options;
  options.connectTimeoutMs = 30000;
  options.pipeName = e2e::SessionHarness::ClientPipe();
  auto client = sdk::Session::Open(options);
  options.pipeName = e2e::SessionHarness::ServerPipe();
  auto server = sdk::Session::Open(options);
  if (!client || !server) {
    std::fprintf(stderr, "session open: %s / %s\n", client ? "ok" : client.GetError().Message().c_str(),
                 server ? "ok" : server.GetError().Message().c_str());
    return false;
  }
  ends->sender = std::move(client.Value());
  ends->receiver = std::move(server.Value());
  // The server end first, then the client end once the server end's channel
  // waits for its peer: one of the orders in which ends meet.
  auto in = ends->receiver->OpenChannel(name);
  if (!in || in->WaitForState(sdk::ChannelState::PendingPeer, 30000)) {
    std::fprintf(stderr, "the server end's channel did not wait for its peer\n");
    return false;
  }
  auto out = ends->sender->OpenChannel(name);
  if (!out) {
    std::fprintf(stderr, "channel open failed\n");
    return false;
  }
  ends->out = out.Value();
  ends->in = in.Value();
  for (sdk::Channel* channel : {&ends->out, &ends->in}) {
    if (sdk::Error error = channel->WaitConnected(30000)) {
      std::fprintf(stderr, "channel not connected: %s\n", error.Message().c_str());
      return false;
    }
  }
  return true;
}

// Sends `size`-byte messages for the run time with at most g_window bytes in
// flight; the receiving thread counts what arrives. `unit` scales the
// message count (1 MiB of data is several messages).
bool OneWay(Ends& ends, size_t size, const std::string& label, double unitBytes) {
  std::atomic<uint64_t> receivedBytes{0};
  std::atomic<bool> failed{false};
  std::atomic<uint64_t> target{UINT64_MAX};
  // A full window is waited out asleep: a sender spinning (even yielding)
  // takes a core from the very threads it measures on a small machine.
  std::mutex windowLock;
  std::condition_variable windowOpened;
  std::atomic<bool> senderWaiting{false};
  // While the sender waits: how much must have arrived before it goes on.
  // The receiver wakes it only then, not for every message on the way.
  std::atomic<uint64_t> resumeAt{0};
  std::thread receiver([&] {
    while (receivedBytes.load() < target.load()) {
      auto packet = ends.in.Receive(30000);
      if (!packet) {
        failed = true;
        std::lock_guard<std::mutex> lock(windowLock);
        windowOpened.notify_one();
        return;
      }
      receivedBytes += packet->data.size();
      if (senderWaiting.load() && receivedBytes.load() >= resumeAt.load()) {
        std::lock_guard<std::mutex> lock(windowLock);
        windowOpened.notify_one();
      }
    }
  });
  const std::string data(size, 'b');
  const HostCpu cpu;
  uint64_t sentBytes = 0;
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < g_seconds && !failed.load()) {
    if (sentBytes - receivedBytes.load() > g_window) {
      std::unique_lock<std::mutex> lock(windowLock);
      resumeAt = sentBytes - g_window / 2;  // before the flag, which the receiver reads first
      senderWaiting = true;
      // Half the window drained before sending again, so that one wake-up
      // covers many messages.
      windowOpened.wait_for(lock, std::chrono::milliseconds(100), [&] {
        return sentBytes - receivedBytes.load() <= g_window / 2 || failed.load();
      });
      senderWaiting = false;
      continue;
    }
    if (ends.out.Send(data)) {
      failed = true;
      break;
    }
    sentBytes += size;
  }
  target = sentBytes;
  while (receivedBytes.load() < sentBytes && !failed.load()) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const double seconds = SecondsSince(start);
  if (failed.load()) {
    // Wake the receiver with one more message so it can be joined.
    ends.out.Send("x");
  }
  receiver.join();
  if (failed.load()) return false;
  PrintFigure(g_prefix + ".oneway." + label + ".mbps", static_cast<double>(sentBytes) / seconds / 1e6, "MB/s");
  PrintFigure(g_prefix + ".oneway." + label + ".msgps", static_cast<double>(sentBytes) / unitBytes / seconds, "msg/s");
  cpu.Print(label + ".per_msg", static_cast<double>(sentBytes) / unitBytes);
  cpu.Print(label + ".per_mib", static_cast<double>(sentBytes) / (1 << 20));
  return true;
}

// Times 1 KiB round trips for the run time and at least `minSamples` of
// them, or, given `whileRunning`, as long as it stays set.
bool RoundTrip(Ends& ends, size_t size, const std::string& label = "1k", size_t minSamples = 500,
               const std::atomic<bool>* whileRunning = nullptr) {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> echoed{0};
  std::thread echo([&] {
    while (!stop.load()) {
      auto packet = ends.in.Receive(200);
      if (!packet) continue;
      ++echoed;
      if (ends.in.Send(packet->data, packet->appValue)) return;
    }
  });
  const std::string ping(size, 'p');
  std::vector<double> micros;
  bool ok = true;
  const Clock::time_point start = Clock::now();
  auto more = [&] {
    if (whileRunning != nullptr) return whileRunning->load();
    return SecondsSince(start) < g_seconds || micros.size() < minSamples;
  };
  for (int64_t i = 0; ok && more(); ++i) {
    const Clock::time_point t0 = Clock::now();
    if (sdk::Error error = ends.out.Send(ping, i)) {
      std::fprintf(stderr, "round trip: send failed: %s\n", error.Message().c_str());
      ok = false;
      break;
    }
    auto answer = ends.out.Receive(30000);
    if (!answer) {
      std::fprintf(stderr, "round trip: no answer after %zu: %s (echoed %llu)\n", micros.size(),
                   answer.GetError().Message().c_str(), static_cast<unsigned long long>(echoed.load()));
      ok = false;
      break;
    }
    if (answer->appValue != i || answer->data.size() != size) {
      std::fprintf(stderr, "round trip: a stray answer\n");
      ok = false;
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  stop = true;
  echo.join();
  if (!ok) return false;
  PrintFigure(g_prefix + ".roundtrip." + label + ".p50", kvxbench::Percentile(&micros, 50), "us");
  PrintFigure(g_prefix + ".roundtrip." + label + ".p99", kvxbench::Percentile(&micros, 99), "us");
  PrintFigure(g_prefix + ".roundtrip." + label + ".max", kvxbench::Percentile(&micros, 100), "us");
  PrintFigure(g_prefix + ".roundtrip." + label + ".count", static_cast<double>(micros.size()), "count");
  return true;
}

// Messages above what the SDK sends in one piece (256 KiB) are written by
// applications at the level of the pipe: the pipe server gathers them whole.
struct RawEnds {
  std::unique_ptr<e2e::RawApp> sender, receiver;
  int64_t id = -1;
};

bool OpenRawEnds(RawEnds* ends, const std::string& name) {
  ends->receiver = std::make_unique<e2e::RawApp>(e2e::SessionHarness::ServerPipe());
  ends->sender = std::make_unique<e2e::RawApp>(e2e::SessionHarness::ClientPipe());
  if (!ends->receiver->Connected() || !ends->sender->Connected()) return false;
  if (!ends->receiver->Write(e2e::ConnectRequest(name))) return false;
  ends->id = ends->receiver->AwaitNotice(KVX::CONNECTION_PENDING_PEER, name, 30000);
  if (ends->id < 0 || !ends->sender->Write(e2e::ConnectRequest(name))) return false;
  return ends->sender->AwaitNotice(KVX::CONNECTION_CONNECTED, name, 30000) == ends->id &&
         ends->receiver->AwaitNotice(KVX::CONNECTION_CONNECTED, name, 30000) == ends->id;
}

// Like OneWay, with whole pipe messages of `size` data bytes.
bool RawOneWay(RawEnds& ends, size_t size, const std::string& label) {
  const std::string message = e2e::TransferRequest(ends.id, std::string(size, 'r'), false);
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> target{UINT64_MAX};
  std::atomic<bool> failed{false};
  std::thread receiver([&] {
    std::string got;
    while (received.load() < target.load()) {
      if (!ends.receiver->Next(&got, 30000) || got.size() != message.size()) {
        failed = true;
        return;
      }
      ++received;
    }
  });
  const uint64_t window = std::max<uint64_t>(2, g_window / message.size());
  const HostCpu cpu;
  uint64_t sent = 0;
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < g_seconds && !failed.load()) {
    while (sent - received.load() >= window && !failed.load()) std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (!ends.sender->Write(message)) failed = true;
    ++sent;
  }
  target = sent;
  while (received.load() < sent && !failed.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double seconds = SecondsSince(start);
  receiver.join();
  if (failed.load()) return false;
  PrintFigure(g_prefix + ".oneway." + label + ".mbps", static_cast<double>(sent) * size / seconds / 1e6, "MB/s");
  PrintFigure(g_prefix + ".oneway." + label + ".msgps", static_cast<double>(sent) / seconds, "msg/s");
  cpu.Print(label + ".per_mib", static_cast<double>(sent) * static_cast<double>(size) / (1 << 20));
  return true;
}

// `count` messages of `size` data bytes written at once, nothing waiting for
// the receiver; then waited for whole.
bool RawBurst(RawEnds& ends, size_t size, int count) {
  const std::string message = e2e::TransferRequest(ends.id, std::string(size, 'm'), false);
  for (int i = 0; i < count; ++i) {
    if (!ends.sender->Write(message)) return false;
  }
  std::string got;
  for (int i = 0; i < count; ++i) {
    if (!ends.receiver->Next(&got, 120000) || got.size() != message.size()) return false;
  }
  return true;
}

void Memory(const char* when) {
  for (const char* end : {"server", "client"}) {
    const int pid = HostPid(end);
    PrintFigure(std::string("mem.") + end + "." + when + ".hwm", static_cast<double>(kvxbench::PeakResidentKiB(pid)), "KiB");
  }
}

// ---- over an emulated link (--link PRESET) ----

// A second pair's 1 KiB round trips while the first pair sends 64 KiB
// messages, at most `bulkWindow` bytes of them in flight.
bool RoundTripUnderBulk(Ends& bulk, Ends& pings, size_t bulkWindow) {
  std::atomic<bool> bulkRunning{true};
  bool bulkOk = false;
  const size_t window = g_window;
  const double seconds = g_seconds;
  g_window = bulkWindow;
  // Long enough for a few dozen round trips of a few hundred milliseconds.
  g_seconds = 4 * seconds;
  std::thread sender([&] {
    bulkOk = OneWay(bulk, 65536, "64k_beside_pings", 65536);
    bulkRunning = false;
  });
  // The bulk fills the way first.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const bool ok = RoundTrip(pings, 1024, "1k_beside_bulk", 0, &bulkRunning);
  sender.join();
  g_window = window;
  g_seconds = seconds;
  PrintFigure("link.beside_bulk.window", static_cast<double>(bulkWindow), "bytes");
  return ok && bulkOk;
}

// A second pair's 1 KiB round trips while the first writes messages of
// `size` data bytes whole to its pipe, `inFlight` of them on their way at
// most: what a small answer waits behind another application's large
// message. The pings run for `seconds`; the bulk's rate is taken from its
// arrivals while they run (from the first to the last), so the messages
// still on their way at the end are not waited for.
bool RoundTripBesideWholeMessages(RawEnds& bulk, Ends& pings, size_t size, uint64_t inFlight, double seconds,
                                  const std::string& label, const std::string& bulkLabel) {
  const std::string message = e2e::TransferRequest(bulk.id, std::string(size, 'W'), false);
  std::atomic<bool> stop{false}, failed{false};
  std::atomic<uint64_t> sent{0}, received{0};
  std::mutex arrivalsLock;
  std::vector<Clock::time_point> arrivals;
  std::thread writer([&] {
    while (!stop.load()) {
      if (sent.load() - received.load() >= inFlight) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (!bulk.sender->Write(message)) {
        failed = true;
        return;
      }
      ++sent;
    }
  });
  std::thread reader([&] {
    std::string got;
    while (!stop.load()) {
      if (!bulk.receiver->Next(&got, 200)) continue;
      if (got.size() != message.size()) {
        failed = true;
        return;
      }
      std::lock_guard<std::mutex> lock(arrivalsLock);
      arrivals.push_back(Clock::now());
      ++received;
    }
  });
  // The bulk fills the way first.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double runSeconds = g_seconds;
  g_seconds = seconds;
  const Clock::time_point pingsStart = Clock::now();
  const bool ok = RoundTrip(pings, 1024, label, 0);
  const Clock::time_point pingsEnd = Clock::now();
  g_seconds = runSeconds;
  stop = true;
  writer.join();
  reader.join();
  std::vector<Clock::time_point> during;
  for (const Clock::time_point at : arrivals) {
    if (at >= pingsStart && at <= pingsEnd) during.push_back(at);
  }
  if (during.size() >= 2) {
    const double span = std::chrono::duration<double>(during.back() - during.front()).count();
    PrintFigure("link.oneway." + bulkLabel + ".mbps", static_cast<double>(during.size() - 1) * size / span / 1e6, "MB/s");
  }
  PrintFigure("link." + label + ".message_bytes", static_cast<double>(size), "bytes");
  PrintFigure("link." + label + ".in_flight", static_cast<double>(inFlight), "count");
  PrintFigure("link." + label + ".seconds", seconds, "s");
  if (failed.load()) std::fprintf(stderr, "kvx-bench-session: a whole %zu-byte message went wrong\n", size);
  return ok && !failed.load();
}

// Peak resident size of each end while 1 MiB messages are written as fast as
// the pipe takes them and the link, not the reader, holds them back.
bool MemoryWhileTheLinkHoldsBack(const std::string& preset, double seconds) {
  e2e::HostLaunch launch;
  launch.extraArgs = {"--link-preset", preset};
  auto harness = std::make_unique<e2e::SessionHarness>();
  RawEnds raw;
  if (!harness->Start(launch, launch) || !OpenRawEnds(&raw, "bench.link.memory")) return false;
  Memory((preset + "_idle").c_str());
  std::atomic<bool> stop{false};
  const std::string message = e2e::TransferRequest(raw.id, std::string(1u << 20, 'w'), false);
  std::thread writer([&] {
    while (!stop.load() && raw.sender->Write(message)) {
    }
  });
  std::thread reader([&] {
    std::string got;
    while (!stop.load() && raw.receiver->Next(&got, 1000)) {
    }
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  Memory((preset + "_bulk").c_str());
  stop = true;
  harness.reset();  // the hosts end; blocked writes fail
  writer.join();
  reader.join();
  return true;
}

int RunOverLink(const std::string& preset, const std::string& memoryPreset) {
  vchan_host::LinkShape shape, memoryShape;
  const bool measureMemory = memoryPreset != "none";
  if (!vchan_host::LinkPreset(preset, &shape) ||
      (measureMemory && !vchan_host::LinkPreset(memoryPreset, &memoryShape))) {
    std::fprintf(stderr, "kvx-bench-session: no link preset %s or %s (%s)\n", preset.c_str(),
                 memoryPreset.c_str(), vchan_host::LinkPresetNames());
    return 2;
  }
  g_prefix = "link";
  // The preset's name, for the report's targets that hold for one link.
  PrintFigure("link.preset." + preset, 1, "flag");
  PrintFigure("link.rate_mbit", shape.rateMbit, "Mbit/s");
  PrintFigure("link.delay_ms", shape.delayMs, "ms");
  PrintFigure("link.jitter_ms", shape.jitterMs, "ms");
  PrintFigure("link.queue_bytes", static_cast<double>(vchan_host::LinkEmulator::QueueBound(shape)), "bytes");
  e2e::HostLaunch launch;
  launch.extraArgs = {"--link-preset", preset};
  bool ok = false;
  {
    e2e::SessionHarness harness;
    Ends ends, pings;
    if (!harness.Start(launch, launch) || !OpenEnds(&ends, "bench.link")) {
      std::fprintf(stderr, "kvx-bench-session: the session over the link did not come up\n");
      return 1;
    }
    RawEnds raw;
    ok = RoundTrip(ends, 1024, "1k", 50) && OneWay(ends, 65536, "64k", 65536) &&
         OpenRawEnds(&raw, "bench.link.large") && RawOneWay(raw, 1u << 20, "1m");
    // Four pipe instances for the two SDK pairs: the raw pair leaves first.
    raw.sender.reset();
    raw.receiver.reset();
    ok = ok && OpenEnds(&pings, "bench.link.pings") && RoundTripUnderBulk(ends, pings, 2u << 20);
    // Beside messages far above one flow window, written whole: 4 MiB take
    // 0.67 s at 50 Mbit/s. The pings run for four such messages' time on the
    // link at least (27 s at 5 Mbit/s), so that even a slow link gives a
    // few round trips.
    const size_t whole = 4u << 20;
    const double wholeSeconds =
        std::max(4 * g_seconds, shape.rateMbit > 0 ? 4 * whole * 8 / (shape.rateMbit * 1e6) : 0.0);
    RawEnds wholeBulk;
    ok = ok && OpenRawEnds(&wholeBulk, "bench.link.whole") &&
         RoundTripBesideWholeMessages(wholeBulk, pings, whole, 2, wholeSeconds, "1k_beside_4m", "4m_beside_pings");
    if (!ok) {
      std::fprintf(stderr, "kvx-bench-session: a measurement over the link failed\n--- server end:\n%s\n--- client end:\n%s\n",
                   harness.Log(true).c_str(), harness.Log(false).c_str());
    }
  }
  if (!measureMemory) return ok ? 0 : 1;
  PrintFigure("link.memory.rate_mbit", memoryShape.rateMbit, "Mbit/s");
  PrintFigure("link.memory.queue_bytes", static_cast<double>(vchan_host::LinkEmulator::QueueBound(memoryShape)), "bytes");
  if (ok && !MemoryWhileTheLinkHoldsBack(memoryPreset, 3 * g_seconds)) {
    std::fprintf(stderr, "kvx-bench-session: the memory session over the link did not come up\n");
    ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Ended from outside (piped to head, or sent SIGTERM), it still ends its
  // hosts and removes its session folders.
  e2e::SessionHarness::CleanUpOnSignals();
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) g_seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--window") == 0) g_window = static_cast<size_t>(std::atof(argv[i + 1]));
  }
  // Over an emulated link: the figures of RunOverLink instead, the memory
  // figure over --memory-link (slow by default; "none" skips it).
  const char* link = nullptr;
  const char* memoryLink = "slow";
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--link") == 0) link = argv[i + 1];
    if (std::strcmp(argv[i], "--memory-link") == 0) memoryLink = argv[i + 1];
  }
  if (link != nullptr) return RunOverLink(link, memoryLink);
  bool ok = false;
  {
    e2e::SessionHarness harness;
    Ends ends;
    if (!harness.Start() || !OpenEnds(&ends, "bench.e2e")) {
      std::fprintf(stderr, "kvx-bench-session: the session did not come up\n%s\n%s\n",
                   harness.Log(true).c_str(), harness.Log(false).c_str());
      return 1;
    }
    RawEnds raw;
    ok = OneWay(ends, 1024, "1k", 1024) && RoundTrip(ends, 1024) && OneWay(ends, 65536, "64k", 65536) &&
         OpenRawEnds(&raw, "bench.large") && RawOneWay(raw, 1u << 20, "1m");
    if (ok) {
      // Peaks so far belong to the runs above; the burst comes from a fresh
      // session so its peak is its own.
      ends.sender.reset();
      ends.receiver.reset();
    }
    if (!ok) {
      std::fprintf(stderr, "kvx-bench-session: a measurement failed\n--- server end:\n%s\n--- client end:\n%s\n",
                   harness.Log(true).c_str(), harness.Log(false).c_str());
    }
  }
  if (!ok) return 1;
  // Memory, each case in a fresh session so that its peaks are its own.
  const size_t largest = (64u << 20) - 65536;  // the largest message the pipe's 64 MiB quota takes
  for (const bool burst : {false, true}) {
    e2e::SessionHarness harness;
    RawEnds raw;
    if (!harness.Start() || !OpenRawEnds(&raw, "bench.memory")) {
      std::fprintf(stderr, "kvx-bench-session: the memory session did not come up\n");
      return 1;
    }
    Memory(burst ? "idle.b" : "idle");
    // One message at a time, the next written when the last has arrived;
    // or three written at once, which the unbounded queues all take in.
    ok = burst ? RawBurst(raw, largest, 3) : RawBurst(raw, largest, 1) && RawBurst(raw, largest, 1) &&
                                                   RawBurst(raw, largest, 1);
    Memory(burst ? "burst3x64m" : "cross64m");
    if (!ok) {
      std::fprintf(stderr, "kvx-bench-session: the 64 MiB messages did not all arrive\n");
      return 1;
    }
  }
  return ok ? 0 : 1;
}
