// Runs a real two-end session for a test: two vchan-host processes (server
// end and client end), each loading the built plug-in and serving its pipe in
// a folder of its own, joined by a link folder; all under one temporary
// folder that is removed afterwards. The test process reaches the two pipes
// as "\\.\pipe\server" and "\\.\pipe\client" (links in its own pipe folder).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct HostLaunch {
  std::vector<std::string> extraArgs;
  // A fake xdg-open put first on the host's PATH; it appends each link it is
  // given to launches.txt in the session folder.
  bool recordLaunches = false;
  // The plug-in library this end loads, and the host that loads it; empty:
  // the ones built here, unless KVX_E2E_SERVER_PLUGIN / KVX_E2E_CLIENT_PLUGIN
  // and KVX_E2E_SERVER_HOST / KVX_E2E_CLIENT_HOST name others (so that the
  // suites can run against an end of another build).
  std::string plugin;
  std::string host;
};

// The test build's plug-in as an end without flow control (it neither
// offers nor answers an offer).
std::string PluginWithoutFlowOffer();
// The same plug-in with flow control but without pacing and interleaving, as
// an older build.
std::string PluginWithoutPacingOffer();

class SessionHarness {
 public:
  SessionHarness();
  ~SessionHarness();  // ends both hosts (by force if they hang), removes the folder
  SessionHarness(const SessionHarness&) = delete;
  SessionHarness& operator=(const SessionHarness&) = delete;

  // Joins the two ends over TCP on the loopback (the server end listens)
  // rather than by the link folder. Before Start.
  void LinkOverTcp();

  // Starts both hosts and waits until each reports its channel open.
  bool Start(const HostLaunch& server = HostLaunch(), const HostLaunch& client = HostLaunch());

  static std::string ServerPipe() { return "\\\\.\\pipe\\server"; }
  static std::string ClientPipe() { return "\\\\.\\pipe\\client"; }

  // Waits until the host's output holds `needle` at least `count` times.
  bool WaitForLog(bool server, const std::string& needle, int count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
  int CountLog(bool server, const std::string& needle) const;
  std::string Log(bool server) const;
  // The links the client end was asked to open, one per line.
  std::string Launches() const;
  const std::string& Folder() const { return root_; }

  // Ends one host (SIGTERM), as when that end of a session goes. The other
  // one stays, closes its channel and waits for it to come back, unless it
  // was started with --end-with-peer.
  void EndHost(bool server);
  // Starts again what EndHost ended (an other host that ended with it too).
  // True when both report their channel open again.
  bool StartAgain();
  // Both, as a session reconnect does.
  bool Restart(bool server) {
    EndHost(server);
    return StartAgain();
  }

  // SIGTERM to both; true when both ended by themselves with status 0.
  bool StopCleanly();

  // For a program that runs sessions and may be ended from outside (a
  // benchmark piped to head, or sent SIGTERM): from now on SIGTERM, SIGINT,
  // SIGHUP and SIGPIPE end every live harness's hosts and remove its folder
  // before the process ends (with 128 + the signal's number).
  static void CleanUpOnSignals();

  bool Running(bool server) const;

 private:
  pid_t Spawn(bool server, const HostLaunch& launch);
  void EndHostsAndRemoveFolder();

  std::string root_;
  HostLaunch serverLaunch_;
  HostLaunch clientLaunch_;
  pid_t serverPid_ = -1;
  pid_t clientPid_ = -1;
  // A host that stayed when EndHost ended the other: how often it had
  // opened its channel by then.
  bool stayingServer_ = false;
  int stayingOpens_ = 0;
  uint16_t tcpPort_ = 0;  // 0: the link folder
};

// Generous limits: the tests run on loaded machines and under sanitizers.
constexpr std::chrono::milliseconds kLongWait = std::chrono::seconds(60);
constexpr uint32_t kWaitMs = 30000;

}  // namespace e2e
