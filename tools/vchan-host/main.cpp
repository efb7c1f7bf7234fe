// vchan-host: one end of a simulated session. It loads the plug-in, hands it
// the host's interface table, meets the other end over the link and serves
// the plug-in until a stop signal. When the other end goes, the channel
// closes and this end waits for the other end to come back (or, with
// --end-with-peer, ends with it).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "extension/sdk/Version.h"
#include "platform/named_pipe.h"
#include "platform/window.h"
#include "tools/vchan-host/HostLink.h"
#include "tools/vchan-host/LinkEmulator.h"
#include "tools/vchan-host/FaultInjector.h"
#include "tools/vchan-host/HostChannel.h"
#include "tools/vchan-host/HostLog.h"
#include "tools/vchan-host/HostOptions.h"
#include "tools/vchan-host/LinkSession.h"
#include "tools/vchan-host/PluginLibrary.h"
#include "tools/vchan-host/StopSignals.h"

using namespace vchan_host;

namespace {

constexpr uint32_t kTickMs = 100;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string FaultSummary(const FaultOptions& f) {
  std::string text;
  auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (f.dropEvery) add("drop every " + std::to_string(f.dropEvery) + " datagrams");
  if (f.failSendEvery) add("fail every " + std::to_string(f.failSendEvery) + " sends");
  if (f.emptyReadEvery) add("empty every " + std::to_string(f.emptyReadEvery) + " reads");
  if (f.failReadEvery) add("fail every " + std::to_string(f.failReadEvery) + " reads");
  if (f.failCountEvery) add("fail every " + std::to_string(f.failCountEvery) + " counts");
  if (f.closeAfterMs) {
    add("close " + std::to_string(f.closeAfterMs) + " ms after opening, reopen after " +
        std::to_string(f.reopenAfterMs) + " ms, " +
        (f.closeCount ? std::to_string(f.closeCount) + " times" : std::string("repeatedly")));
  }
  return text;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", value);
  return text;
}

std::string WaitingFor(const HostOptions& options) {
  const std::string peer = options.peerHost + ":" + std::to_string(options.peerPort);
  if (options.udp) return "waiting for the other end at " + peer + " (UDP, lossy)";
  if (options.tcp && options.peerPort != 0) return "connecting to the other end at " + peer + " (TCP)";
  if (options.tcp) return "waiting for the other end on TCP port " + std::to_string(options.localPort);
  return "waiting for the other end in " + options.linkDir;
}

std::string ShapeSummary(const LinkShape& shape) {
  return Number(shape.delayMs) + " ms one way" +
         (shape.jitterMs > 0 ? " plus up to " + Number(shape.jitterMs) + " ms" : std::string()) + ", " +
         (shape.rateMbit > 0 ? Number(shape.rateMbit) + " Mbit/s" : std::string("no rate limit")) +
         ", queue of " + std::to_string(LinkEmulator::QueueBound(shape)) + " bytes";
}

// Where applications find the plug-in's pipe.
std::string PipeWhere() { return "pipe " + platform::DescribePipeLocation("\\\\.\\pipe\\KVX_Pipe_Channel"); }

// Registers the windows with the window stand-in and hands their handles over.
void HandOverWindows(const HostOptions& options, const PluginEntryPoints& entries) {
  if (options.windows.empty()) return;
  std::vector<uint64_t> handles;
  int32_t offset = 0;
  for (const WindowOption& window : options.windows) {
    // A plausible desktop-sized rectangle, each window a little further in.
    platform::WindowRect rect{offset, offset, 1920 + offset, 1080 + offset};
    platform::RegisterWindow(window.handle, rect, window.parent);
    handles.push_back(window.handle);
    offset += 10;
  }
  int32_t rc = entries.receiveWindowHandles(static_cast<int32_t>(handles.size()), handles.data());
  HostLog(1, "handed over " + std::to_string(handles.size()) + " window handle(s): " +
                 (rc == 1 ? "accepted" : "refused"));
}

}  // namespace

int main(int argc, char** argv) {
  BlockStopSignals();

  HostOptions options;
  std::string error;
  if (!ParseHostOptions(argc, argv, &options, &error)) {
    std::fprintf(error.empty() ? stdout : stderr, "%s%s%s", error.empty() ? "" : "vchan-host: ",
                 error.empty() ? "" : (error + "\n\n").c_str(), HostUsage());
    return error.empty() ? 0 : 2;
  }
  if (options.version) {
    std::printf("vchan-host %s\n", KVX_SDK_VERSION_STRING);
    return 0;
  }
  SetLogEnd(EndName(options.end));
  SetLogLevel(options.logLevel);
  LabelPluginOutput();

  PluginLibrary library;
  if (!library.Load(options.pluginPath, &error)) {
    HostLog(0, "cannot load the plug-in: " + error, -1);
    return 1;
  }
  const PluginEntryPoints& entries = library.Entries();

  // The link, the session and the channel live as long as the process: the
  // plug-in's pipe servers and workers outlive its exit call and may still
  // reach the host's entries until the library goes at process end.
  HostLink* link = HostLink::Open(options, &error).release();
  if (link == nullptr) {
    HostLog(0, "cannot open the link: " + error, -1);
    return 1;
  }
  auto* faults = new FaultInjector(options.faults);
  auto* session = new LinkSession(options, *link);
  auto* channel = new HostChannel(
      options, *faults,
      [session](FrameType type, const void* body, size_t size, uint32_t timeoutMs) {
        return session->SendWithin(type, body, size, timeoutMs);
      });

  const bool server = options.end == End::kServer;
  const pcoip_vchan_intf table = channel->Table();
  void* context = nullptr;
  const int32_t initResult =
      (server ? entries.serverInit : entries.clientInit)(&table, nullptr, &context);
  HostLog(1, std::string(server ? "pcoip_vchan_plugin_server_init" : "pcoip_vchan_plugin_client_init") +
                 " returned " + std::to_string(initResult) + "; " + PipeWhere());
  int status = 0;
  if (initResult == 1) {
    HandOverWindows(options, entries);
    if (options.faults.dropEvery || options.faults.failSendEvery ||
        options.faults.emptyReadEvery || options.faults.failReadEvery ||
        options.faults.failCountEvery ||
        options.faults.closeAfterMs) {
      HostLog(1, "fault injection: " + FaultSummary(options.faults));
    }
    session->Start(channel);
    HostLog(1, WaitingFor(options));
    if (options.shape.Active()) HostLog(1, "emulated link: " + ShapeSummary(options.shape));

    CloseReopenSchedule schedule(options.faults);
    for (;;) {
      if (int signal = WaitForStopSignal(kTickMs)) {
        HostLog(1, std::string(SignalName(signal)) + " received, ending the session");
        break;
      }
      session->Tick();
      if (session->PeerGone()) {
        if (options.endWithPeer) {
          HostLog(1, "ending the session: " + session->GoneReason());
          break;
        }
        session->AwaitNewPeer();
      }
      switch (schedule.Next(NowMs(), channel->IsUp())) {
        case CloseReopenSchedule::Action::kClose: session->CloseBoth(); break;
        case CloseReopenSchedule::Action::kReopen: session->ReopenBoth(); break;
        case CloseReopenSchedule::Action::kNone: break;
      }
    }
  } else {
    status = 1;
  }

  session->BeginStop();
  const int32_t exitResult = (server ? entries.serverExit : entries.clientExit)(context);
  HostLog(1, std::string(server ? "pcoip_vchan_plugin_server_exit" : "pcoip_vchan_plugin_client_exit") +
                 " returned " + std::to_string(exitResult));
  channel->Shutdown();
  session->Join();

  const HostChannel::Totals totals = channel->GetTotals();
  HostLog(1, "datagrams sent " + std::to_string(totals.sent) + " (" +
                 std::to_string(totals.sentBytes) + " bytes), received " +
                 std::to_string(totals.received) + " (" + std::to_string(totals.receivedBytes) +
                 " bytes); injected: " + std::to_string(faults->Dropped()) + " dropped, " +
                 std::to_string(faults->FailedSends()) + " sends failed, " +
                 std::to_string(faults->EmptyReads()) + " reads empty, " +
                 std::to_string(faults->FailedReads()) + " reads failed, " +
                 std::to_string(faults->FailedCounts()) + " counts failed");
  HostLog(1, "datagrams waiting for the plug-in took at most " +
                 std::to_string(totals.peakQueuedBytes) + " bytes");
  if (options.shape.Active()) {
    HostLog(1, "emulated link: its queue held at most " +
                   std::to_string(session->PeakEmulatedQueueBytes()) + " bytes");
  }
  if (initResult != 1) {
    // Last, at level 0, so that the cause stands out from the teardown
    // lines above it.
    const std::string problem = platform::PipePlaceProblem("\\\\.\\pipe\\KVX_Pipe_Channel");
    HostLog(0, problem.empty() ? "the plug-in did not start; its lines above say why"
                               : "the plug-in cannot serve the pipe " + problem +
                                     "; KVX_PIPE_DIR may name another folder ('mkdir -m 700 DIR' makes a fit one)",
            -1);
  }
  return status;
}
