// The command line of the host simulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vchan_host {

enum class End { kServer, kClient };

struct WindowOption {
  uint64_t handle = 0;
  uint64_t parent = 0;
};

// Fault injection. Every count is "every Nth"; 0 switches the fault off.
struct FaultOptions {
  uint32_t dropEvery = 0;        // datagrams received from the peer, silently lost
  uint32_t failSendEvery = 0;    // send entry calls answered with an error
  uint32_t emptyReadEvery = 0;   // read entry calls answered with PCOIP_ERR_EMPTY
  uint32_t failReadEvery = 0;    // read entry calls that fail, losing their datagram
  uint32_t failCountEvery = 0;   // datagram count queries answered with an error
  uint32_t closeAfterMs = 0;     // close the channel this long after it opened
  uint32_t reopenAfterMs = 500;  // and offer it again this long after the close
  uint32_t closeCount = 1;       // how many close/reopen cycles (0: no limit)
};

// An emulated link between the two ends, applied to what each end sends:
// each datagram takes its size over the rate, then the one-way delay plus up
// to the jitter, in order. All zero: the link is as fast as the wire below.
struct LinkShape {
  double delayMs = 0;    // one way
  double rateMbit = 0;   // 0: no limit
  double jitterMs = 0;   // extra delay, drawn evenly from 0 to this, order kept
  bool Active() const { return delayMs > 0 || rateMbit > 0 || jitterMs > 0; }
};

// The named links of --link-preset (lan, wan, slow); false for an unknown name.
bool LinkPreset(const std::string& name, LinkShape* shape);
// "lan, wan, slow"
const char* LinkPresetNames();

struct HostOptions {
  End end = End::kServer;
  std::string pluginPath;
  std::string linkDir;        // Unix datagram sockets DIR/server.sock, DIR/client.sock
  bool udp = false;           // UDP instead: bind localPort, talk to the peer
  bool tcp = false;           // TCP instead: listen on localPort, or connect to the peer
  uint16_t localPort = 0;     // --udp PORT or --tcp PORT
  std::string peerHost = "127.0.0.1";
  uint16_t peerPort = 0;      // --peer HOST:PORT
  uint32_t packetSize = 3000;  // what the state query reports
  std::vector<WindowOption> windows;
  int32_t logLevel = 1;        // log lines of this level and below are shown
  uint32_t peerTimeoutMs = 15000;  // UDP and TCP: silence after which the peer counts as gone
  // End with the other end, rather than close the channel and wait on the
  // same link for the other end to come back.
  bool endWithPeer = false;
  FaultOptions faults;
  LinkShape shape;             // the emulated link; none by default
  bool version = false;        // --version: print it and end
};

const char* EndName(End end);

// Parses argv. On failure returns false with a one-line reason in *error;
// `--help` returns false with an empty *error after filling *usage.
bool ParseHostOptions(int argc, char** argv, HostOptions* options, std::string* error);

const char* HostUsage();

}  // namespace vchan_host
