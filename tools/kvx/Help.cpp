#include <string>

#include "tools/kvx/Commands.h"

namespace kvx {

namespace {

const char kToolHelp[] =
    "Usage: kvx [options] COMMAND [arguments]\n"
    "\n"
    "Talks to the plug-in's pipe at this end of a session.\n"
    "\n"
    "Commands:\n"
    "  property NAME           print a property of this end (KVXCoreType, Hwnds)\n"
    "  connect NAME            wait until channel NAME is connected, print its ID\n"
    "  send NAME TEXT          send TEXT as one message on channel NAME\n"
    "  send NAME --file F      send the contents of file F ('-': standard input)\n"
    "  listen NAME             print the notices and data that arrive on NAME\n"
    "  cat NAME                standard input to the channel, the channel to standard output\n"
    "  bench NAME              measure round-trip latency and throughput\n"
    "  bench --serve NAME      answer a bench at the other end\n"
    "  help [COMMAND]          this text, or the help of COMMAND\n"
    "\n"
    "Options (for every command):\n"
    "  --pipe NAME       the plug-in's pipe (default \\\\.\\pipe\\KVX_Pipe_Channel;\n"
    "                    on POSIX the socket DIR/NAME: DIR is $KVX_PIPE_DIR, else\n"
    "                    $XDG_RUNTIME_DIR, else /tmp/kvx-<uid>; it must be private)\n"
    "  --timeout S       seconds to wait for the plug-in, the peer or an answer\n"
    "                    (default 10; 0 waits forever)\n"
    "  --max-unread B    received data held before this command takes it, at\n"
    "                    most (default 16 MiB); beyond it the plug-in holds the\n"
    "                    sender back, and lets a command that stops reading (its\n"
    "                    output blocked, say) go after its write time-out of 10 s\n"
    "  --json            machine-readable output, one JSON object per line;\n"
    "                    progress lines too, on standard error\n"
    "  -q, --quiet       no progress lines\n"
    "  -h, --help        help; 'kvx help COMMAND' for a command\n"
    "  --version         print the version and end\n"
    "Options with a value may also be written --option=VALUE.\n"
    "\n"
    "With --json, data and property values that are valid UTF-8 are JSON strings\n"
    "(\"data\", \"value\"); other bytes go in \"data_base64\" / \"value_base64\"\n"
    "(standard base64). Errors always go to standard error, with --json as\n"
    "{\"error\":CODE,\"message\":TEXT}, usage and file errors too (CODE \"usage\",\n"
    "\"io-error\").\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 bad usage, 3 no plug-in on the pipe,\n"
    "4 all pipe instances busy, 5 time-out, 6 plug-in or peer gone (the channel\n"
    "lost, the plug-in gone, or a transfer cut), 7 I/O error, 8 the pipe may not\n"
    "be used (its folder is a symbolic link, another user's or open to group or\n"
    "others, or another user serves it; a missing folder is 3), 130 Ctrl-C.\n"
    "\n"
    "What a transfer can tell: the channel has no acknowledgement. A sender\n"
    "knows that its data went to the plug-in in order while the far application\n"
    "held the channel; it cannot know that the far application read the last of\n"
    "it. A far side that leaves or vanishes before the sender's input is all\n"
    "sent makes the sender exit 6, saying how much it sent. A sender that ends\n"
    "normally leaves the channel politely, which the receiver takes for \"all\n"
    "sent\" (cat exits 0); one interrupted or cut short closes its pipe instead,\n"
    "and the receiver reads the channel lost (exit 6). The same holds for a\n"
    "receiver: one interrupted, or whose output fails, closes its pipe without\n"
    "leaving, and a sender waiting for it to leave exits 6. To learn that the\n"
    "far application is done, wait for it to leave: 'cat' keeps receiving after\n"
    "the end of input, 'send --wait' waits after sending. Pair 'send --wait'\n"
    "with a receiver that leaves by itself ('cat -w SECS', 'listen --count N'):\n"
    "a plain 'cat' waits for the sender to leave in turn, and the wait ends at\n"
    "the time-out (exit 5).\n"
    "\n"
    "A command that stops reading (its output blocked, say) holds at most\n"
    "--max-unread bytes; the plug-in then holds the sender back, and lets the\n"
    "command go after its write time-out of 10 s (the sender exits 6).\n";

const char kPropertyHelp[] =
    "Usage: kvx property NAME\n"
    "\n"
    "Prints the value of property NAME at this end of the session. Known names:\n"
    "KVXCoreType (Server or Client) and Hwnds (the host's window handles, as\n"
    "[1,2,...]; empty when the host gave none). Names are case-sensitive; any\n"
    "other name is refused with exit status 2.\n";

const char kConnectHelp[] =
    "Usage: kvx connect NAME [--launch LINK]\n"
    "\n"
    "Opens channel NAME, waits until an application at the other end holds it\n"
    "too (at most --timeout), prints its ID and leaves the channel again.\n"
    "  --launch LINK   ask the client end to open LINK (useful at the server end)\n";

const char kSendHelp[] =
    "Usage: kvx send NAME TEXT\n"
    "       kvx send NAME --file F\n"
    "\n"
    "Waits until channel NAME is connected, sends TEXT as one message, or the\n"
    "file F ('-' reads standard input) as it reads it: a file of up to 1 MiB as\n"
    "one message, a longer one as several messages of 1 MiB and the rest, so\n"
    "memory stays the same whatever the file's size, and no one message holds a\n"
    "slow link for long (other applications' messages may wait behind it). Then\n"
    "it leaves the channel. The far side leaving or vanishing before all is sent,\n"
    "or Ctrl-C, ends it with how much was sent (exit 6 or 130); the far side\n"
    "then reads the channel lost, not a polite leave.\n"
    "  --wait          after sending, stay until the application at the other\n"
    "                  end leaves (exit 0) or vanishes (exit 6), at most\n"
    "                  --timeout (default 10 s; exit 5). Pair it with a receiver\n"
    "                  that leaves by itself: 'cat -w SECS' or 'listen --count N'\n"
    "                  (a plain cat waits for this sender to leave in turn)\n"
    "  --message-size B  with --file, at most B bytes per message (default\n"
    "                  1048576, at most 67108800)\n"
    "  --app-value N   the number carried with each message (default 0)\n"
    "  --launch LINK   ask the client end to open LINK\n";

const char kListenHelp[] =
    "Usage: kvx listen NAME [--count N]\n"
    "\n"
    "Opens channel NAME and prints every notice and message that arrives, until\n"
    "Ctrl-C (exit 130), until N messages have arrived (--count), or, when\n"
    "--timeout is given, until nothing has arrived for that long (exit 5).\n"
    "Waits for a peer for as long as it takes; a peer that leaves or is lost is\n"
    "printed, and the next one is waited for.\n"
    "  --reconnect     keep going when the plug-in's pipe goes away (its host\n"
    "                  restarted): connect again and ask for NAME again; a\n"
    "                  plug-in not there yet at the start is waited for too\n"
    "  --launch LINK   ask the client end to open LINK\n";

const char kCatHelp[] =
    "Usage: kvx cat NAME [-N | -w SECS] [--progress]\n"
    "\n"
    "Like netcat: copies standard input to channel NAME and the channel's data\n"
    "to standard output, byte for byte. Waits for the peer at most --timeout.\n"
    "Input goes out as soon as it is read, in messages of up to 256 KiB. After\n"
    "the end of input it keeps receiving until the application at the other end\n"
    "leaves (exit 0). The peer leaving before the end of input, the channel lost\n"
    "(the peer vanished without leaving) or the plug-in gone exit 6, Ctrl-C\n"
    "exits 130, also while its output is blocked; cut short, interrupted or with\n"
    "its output failed (exit 7), cat closes its pipe without leaving, whether or\n"
    "not its input had ended, so that the far side reads the channel lost. To\n"
    "only receive, give it no input (< /dev/null). A cat whose output nobody\n"
    "reads holds at most --max-unread bytes, and is let go by the plug-in after\n"
    "its write time-out of 10 s.\n"
    "  -N, --close-on-eof   leave the channel (and end) once standard input is\n"
    "                       used up and sent\n"
    "  -w, --idle SECS      after the end of input, leave once nothing has\n"
    "                       arrived for SECS seconds\n"
    "  --lines              send each line of input as one message\n"
    "  --reconnect          once the input is all sent, keep receiving when the\n"
    "                       plug-in's pipe goes away and comes back (its host\n"
    "                       restarted); a transfer still sending is cut (exit 6).\n"
    "                       A plug-in not there yet at the start is waited for\n"
    "                       too\n"
    "  --progress           bytes sent and received, and the rate, on standard\n"
    "                       error about once a second (JSON with --json)\n"
    "  --app-value N        the number carried with each message sent\n"
    "  --launch LINK        ask the client end to open LINK\n";

const char kBenchHelp[] =
    "Usage: kvx bench NAME [--pings N] [--ping-size B] [--size B] [--window N] [--duration S]\n"
    "                      [--link-rate MBIT [--link-delay MS]]\n"
    "       kvx bench --serve NAME [--once]\n"
    "\n"
    "Measures the channel against 'kvx bench --serve' at the other end: first\n"
    "round-trip latency (N pings of B bytes, one at a time; percentiles), then\n"
    "throughput (messages of --size bytes, --window of them in flight, for\n"
    "--duration seconds). Progress goes to standard error, redrawn in place on a\n"
    "terminal, one line each elsewhere, JSON with --json.\n"
    "  --pings N       pings to time (default 1000; 0 skips the latency test)\n"
    "  --ping-size B   bytes per ping (default 64)\n"
    "  --size B        bytes per throughput message (default 65536; 0 skips)\n"
    "  --window N      throughput messages in flight (default 8)\n"
    "  --duration S    seconds of throughput test (default 3)\n"
    "  --link-rate MBIT  the session's link rate (Mbit/s): the throughput is also\n"
    "                  given as a share of it, as with an emulated link (vchan-host\n"
    "                  --link-rate or --link-preset, scripts/session --link); and a\n"
    "                  second pair, another application at each end on NAME.side,\n"
    "                  times 1 KiB round trips one at a time while the throughput\n"
    "                  test runs (p50, p99, max): how long another application's\n"
    "                  small message waits behind the bulk\n"
    "  --link-delay MS   its one-way delay: the round trip is also given against\n"
    "                  twice this, and the second pair's p50 and p99 as the share\n"
    "                  of the delay spent in the link's queue, estimated as\n"
    "                  max(0, round trip - 2 x MS) / round trip\n"
    "  --serve         answer pings and acknowledge data, and answer the second\n"
    "                  pair's pings on NAME.side, until Ctrl-C\n"
    "  --once          with --serve: end when the first client leaves\n";

}  // namespace

bool IsCommand(const std::string& name) {
  for (const char* known : {"property", "connect", "send", "listen", "cat", "bench", "help"}) {
    if (name == known) return true;
  }
  return false;
}

const char* HelpText(const std::string& command) {
  if (command == "property") return kPropertyHelp;
  if (command == "connect") return kConnectHelp;
  if (command == "send") return kSendHelp;
  if (command == "listen") return kListenHelp;
  if (command == "cat") return kCatHelp;
  if (command == "bench") return kBenchHelp;
  return kToolHelp;
}

}  // namespace kvx
