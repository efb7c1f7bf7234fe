// The kvx command line: global options, the subcommand and its own options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

struct Options {
  std::string pipeName = "\\\\.\\pipe\\KVX_Pipe_Channel";
  uint32_t timeoutMs = 10000;  // 0 on the command line: wait forever
  bool timeoutGiven = false;
  bool json = false;
  bool help = false;
  bool version = false;
  bool quiet = false;
  uint64_t maxUnreadBytes = 16u << 20;  // --max-unread BYTES: received data held unread
  std::string command;
  std::vector<std::string> positional;

  // Subcommand options (each subcommand uses its own).
  std::string launchLink;   // --launch LINK
  std::string file;         // --file F ("-" is standard input)
  int64_t appValue = 0;     // --app-value N, carried with each message sent
  double idleSeconds = -1;  // cat -w S: after end of input, leave after S idle (< 0: not set)
  bool progress = false;    // --progress
  uint64_t count = 0;       // --count N
  bool closeOnEof = false;  // -N / --close-on-eof
  bool reconnect = false;   // listen, cat --reconnect: keep going across a restart of the host
  bool waitLeave = false;   // send --wait: until the far application leaves
  bool lines = false;       // --lines
  bool serve = false;       // --serve
  bool once = false;        // --once
  uint64_t size = 65536;    // --size BYTES
  // send --message-size BYTES (at most Channel::kMaxDataSize). A plug-in end
  // that keeps each message whole on the link holds a slow link for the
  // whole of one (64 MiB take 10.7 s at 50 Mbit/s), so by default a file
  // goes in pieces that hold it for a moment only.
  size_t messageSize = 1u << 20;
  uint64_t pings = 1000;    // --pings N
  uint64_t pingSize = 64;   // --ping-size BYTES
  uint64_t window = 8;      // --window N
  double durationSeconds = 3.0;  // --duration S
  double linkRateMbit = 0;       // --link-rate MBIT: figures against the link (0: not given)
  double linkDelayMs = 0;        // --link-delay MS: its one-way delay
};

// Parses argv. On failure returns false with `error` set.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

// The wait in milliseconds for the SDK (0 becomes "forever").
uint32_t WaitMs(const Options& options);

}  // namespace kvx
