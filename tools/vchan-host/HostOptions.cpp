#include "tools/vchan-host/HostOptions.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace vchan_host {
namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseU32(const std::string& text, uint32_t* value) {
  uint64_t parsed = 0;
  if (!ParseUnsigned(text, std::numeric_limits<uint32_t>::max(), &parsed)) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool ParsePort(const std::string& text, uint16_t* port) {
  uint64_t parsed = 0;
  if (!ParseUnsigned(text, 65535, &parsed) || parsed == 0) return false;
  *port = static_cast<uint16_t>(parsed);
  return true;
}

// HANDLE or HANDLE@PARENT, decimal or 0x-hex.
bool ParseWindow(const std::string& text, WindowOption* window) {
  size_t at = text.find('@');
  uint64_t handle = 0, parent = 0;
  if (!ParseUnsigned(text.substr(0, at), std::numeric_limits<uint64_t>::max(), &handle) ||
      handle == 0) {
    return false;
  }
  if (at != std::string::npos &&
      !ParseUnsigned(text.substr(at + 1), std::numeric_limits<uint64_t>::max(), &parent)) {
    return false;
  }
  window->handle = handle;
  window->parent = parent;
  return true;
}

// HOST:PORT
bool ParsePeer(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = text.substr(0, colon);
  return ParsePort(text.substr(colon + 1), port);
}

// A non-negative number, fractions allowed.
bool ParseNonNegative(const std::string& text, double* value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == nullptr || *end != '\0' || !(parsed >= 0) || parsed > 1e9) return false;
  *value = parsed;
  return true;
}

bool TakesValue(const std::string& arg) {
  static const char* const kOptions[] = {
      "--end", "--plugin", "--link", "--udp", "--tcp", "--peer", "--packet-size", "--window",
      "--log-level", "--drop-every", "--fail-send-every", "--empty-read-every", "--fail-read-every",
      "--fail-count-every", "--close-after", "--reopen-after", "--close-count", "--peer-timeout",
      "--link-delay", "--link-rate", "--link-jitter", "--link-preset"};
  for (const char* option : kOptions) {
    if (arg == option) return true;
  }
  return false;
}

}  // namespace

bool LinkPreset(const std::string& name, LinkShape* shape) {
  // One-way delay, rate: a round trip of twice the delay.
  if (name == "lan") *shape = LinkShape{0.5, 1000, 0};
  else if (name == "wan") *shape = LinkShape{20, 50, 0};
  else if (name == "slow") *shape = LinkShape{50, 5, 0};
  else return false;
  return true;
}

const char* LinkPresetNames() { return "lan, wan, slow"; }

const char* EndName(End end) { return end == End::kServer ? "server" : "client"; }

const char* HostUsage() {
  return "usage: vchan-host --end server|client --plugin PATH LINK [options]\n"
         "  LINK: --link DIR | --tcp PORT | --peer HOST:PORT | --udp PORT --peer HOST:PORT\n"
         "\n"
         "Runs one end of a simulated session: loads the plug-in, joins the other end\n"
         "over the link and serves the plug-in's host calls. When the other end goes\n"
         "(it ends, restarts or falls silent), this end stays, as a real host does\n"
         "across a reconnect: it closes the plug-in's channel, waits on the same link\n"
         "for the other end to come back and then opens the channel again.\n"
         "\n"
#if !defined(_WIN32)
         "  --link DIR            both ends get the same folder and meet over Unix datagram\n"
         "                        sockets DIR/server.sock and DIR/client.sock (reliable)\n"
#endif
         "  --tcp PORT            wait for the other end on TCP port PORT; the other end\n"
         "                        gives --peer HOST:PORT (reliable; two machines, or a\n"
         "                        Windows end and a Linux end)\n"
         "  --peer HOST:PORT      connect to the other end's --tcp PORT; with --udp, the\n"
         "                        other end's UDP address\n"
         "  --udp PORT            carry the link over UDP, bound to PORT: datagrams an end\n"
         "                        cannot take in time are lost, and nothing pushes back\n"
         "\n"
         "An emulated link, applied to what this end sends (give both ends the same):\n"
         "  --link-delay MS       one-way delay\n"
         "  --link-rate MBIT      the link's rate in Mbit/s; a datagram takes its size over it\n"
         "  --link-jitter MS      extra delay drawn from 0 to MS for each datagram, order kept\n"
         "  --link-preset NAME    lan (1 ms round trip, 1000 Mbit/s), wan (40 ms, 50 Mbit/s)\n"
         "                        or slow (100 ms, 5 Mbit/s); options after it adjust it\n"
         "The link's queue holds twice its rate times its round trip (at least 16 KiB);\n"
         "when it is full the plug-in's send waits, as on a real session.\n"
         "\n"
         "  --packet-size N       packet size the server end's state query reports (3000)\n"
#if !defined(_WIN32)
         "  --window H[@P]        a window handle to hand over, with its parent window\n"
#endif
         "  --log-level L         show plug-in log lines of level L and below (1)\n"
         "  --peer-timeout MS     UDP and TCP: silence after which the other end counts as\n"
         "                        gone (15000; each end greets the other twice a second)\n"
         "  --end-with-peer       end when the other end goes, rather than wait for it\n"
         "  --version             print the version and end\n"
         "\n"
         "Fault injection:\n"
         "  --drop-every N        lose every Nth datagram that arrives\n"
         "  --fail-send-every N   refuse every Nth datagram the plug-in sends\n"
         "  --empty-read-every N  answer every Nth read with PCOIP_ERR_EMPTY\n"
         "  --fail-read-every N   fail every Nth read; its datagram is lost\n"
         "  --fail-count-every N  fail every Nth query of the received datagram count\n"
         "  --close-after MS      close the channel MS after it opened (events 2, 3)\n"
         "  --reopen-after MS     then open it again with a new connect event (500)\n"
         "  --close-count N       close/reopen cycles, 0 for no limit (1)\n"
         "\n"
#if defined(_WIN32)
         "Applications reach the plug-in's pipe \\\\.\\pipe\\KVX_Pipe_Channel.\n";
#else
         "Applications reach the plug-in's pipe in $KVX_PIPE_DIR (else $XDG_RUNTIME_DIR,\n"
         "else /tmp/kvx-<uid>), a folder that must be private to this user.\n";
#endif
}

bool ParseHostOptions(int argc, char** argv, HostOptions* options, std::string* error) {
  bool haveEnd = false;
  error->clear();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return false;
    if (arg == "--version") {
      options->version = true;
      continue;
    }
    if (arg == "--end-with-peer") {
      options->endWithPeer = true;
      continue;
    }
    if (!TakesValue(arg)) {
      *error = "unknown option " + arg + " (--help lists them)";
      return false;
    }
    if (i + 1 >= argc) {
      *error = "missing value after " + arg;
      return false;
    }
    const std::string value = argv[++i];
    bool ok = true;
    if (arg == "--end") {
      haveEnd = true;
      if (value == "server") {
        options->end = End::kServer;
      } else if (value == "client") {
        options->end = End::kClient;
      } else {
        ok = false;
      }
    } else if (arg == "--plugin") {
      options->pluginPath = value;
    } else if (arg == "--link") {
      options->linkDir = value;
    } else if (arg == "--udp") {
      options->udp = true;
      ok = ParsePort(value, &options->localPort);
    } else if (arg == "--tcp") {
      options->tcp = true;
      ok = ParsePort(value, &options->localPort);
    } else if (arg == "--peer") {
      ok = ParsePeer(value, &options->peerHost, &options->peerPort);
    } else if (arg == "--link-delay") {
      ok = ParseNonNegative(value, &options->shape.delayMs);
    } else if (arg == "--link-rate") {
      ok = ParseNonNegative(value, &options->shape.rateMbit) && options->shape.rateMbit > 0;
    } else if (arg == "--link-jitter") {
      ok = ParseNonNegative(value, &options->shape.jitterMs);
    } else if (arg == "--link-preset") {
      if (!LinkPreset(value, &options->shape)) {
        *error = "unknown --link-preset " + value + " (" + LinkPresetNames() + ")";
        return false;
      }
    } else if (arg == "--packet-size") {
      ok = ParseU32(value, &options->packetSize);
    } else if (arg == "--window") {
#if defined(_WIN32)
      // The plug-in asks the real window manager there; made-up handles
      // would name no window.
      *error = "--window is for the POSIX build; on Windows the plug-in reads real windows";
      return false;
#endif
      WindowOption window;
      ok = ParseWindow(value, &window);
      if (ok) options->windows.push_back(window);
    } else if (arg == "--log-level") {
      uint32_t level = 0;
      ok = ParseU32(value, &level) && level <= 3;
      options->logLevel = static_cast<int32_t>(level);
    } else if (arg == "--drop-every") {
      ok = ParseU32(value, &options->faults.dropEvery);
    } else if (arg == "--fail-send-every") {
      ok = ParseU32(value, &options->faults.failSendEvery);
    } else if (arg == "--empty-read-every") {
      ok = ParseU32(value, &options->faults.emptyReadEvery);
    } else if (arg == "--fail-read-every") {
      ok = ParseU32(value, &options->faults.failReadEvery);
    } else if (arg == "--fail-count-every") {
      ok = ParseU32(value, &options->faults.failCountEvery);
    } else if (arg == "--close-after") {
      ok = ParseU32(value, &options->faults.closeAfterMs) && options->faults.closeAfterMs > 0;
    } else if (arg == "--reopen-after") {
      ok = ParseU32(value, &options->faults.reopenAfterMs);
    } else if (arg == "--close-count") {
      ok = ParseU32(value, &options->faults.closeCount);
    } else if (arg == "--peer-timeout") {
      ok = ParseU32(value, &options->peerTimeoutMs) && options->peerTimeoutMs > 0;
    }
    if (!ok) {
      *error = "bad value for " + arg + ": " + value;
      return false;
    }
  }
  // Without --udp or --tcp, --peer alone connects to the other end over TCP.
  if (!options->udp && options->peerPort != 0) options->tcp = true;
  const int kinds = (options->udp ? 1 : 0) + (options->tcp ? 1 : 0) + (options->linkDir.empty() ? 0 : 1);
  if (options->version) return true;
  if (!haveEnd) *error = "--end server|client is required";
  else if (options->pluginPath.empty()) *error = "--plugin PATH is required";
  else if (kinds > 1) *error = "give one link: --link DIR, --tcp PORT, --peer HOST:PORT or --udp PORT --peer HOST:PORT";
  else if (options->udp && options->peerPort == 0) *error = "--udp needs --peer HOST:PORT";
  else if (options->tcp && options->localPort != 0 && options->peerPort != 0)
    *error = "over TCP one end listens (--tcp PORT) and the other connects (--peer HOST:PORT), not both";
  else if (kinds == 0) *error = "a link is required: --link DIR, --tcp PORT, --peer HOST:PORT or --udp PORT --peer HOST:PORT";
  // A 1-in-1 drop or read fault would stop all traffic rather than test recovery.
  else if (options->faults.dropEvery == 1 || options->faults.emptyReadEvery == 1 ||
           options->faults.failReadEvery == 1 || options->faults.failCountEvery == 1)
    *error = "--drop-every, --empty-read-every, --fail-read-every and --fail-count-every need N of 2 or more";
  return error->empty();
}

}  // namespace vchan_host
