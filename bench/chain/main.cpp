// kvx-bench-chain: the floor of any product of this shape on this machine. A
// null chain on the product's own transports, four processes:
//
//   application -> pipe wire -> relay -> datagram link -> relay -> pipe wire -> application
//
// The pipe wire is the POSIX pipe stand-in's (a Unix stream socket of
// length-prefixed messages, send buffers widened as the stand-in widens
// them); the link is the host simulator's own DatagramLink, carrying DATA
// frames. The relays only forward: each reads its pipe wire in large reads,
// cuts every message into datagrams of the packet size the simulator offers,
// each with the plug-in's 16-byte header, and on the other side reassembles
// them and writes the whole message to its pipe wire. Nothing is parsed,
// queued or looked up: what the product does beyond this is its own cost.
//
//   one way   1 KiB, 64 KiB and 1 MiB messages for about --seconds; the rate
//             counts from the first message sent to the last one received,
//             with the CPU time of the two relays and of the two
//             applications per message and per MiB.
//   round     1 KiB round trip: the receiving application echoes.
//   hand-off  one thread waking another through an auto-reset event, as a
//             producer wakes a worker asleep on its queue: the step the
//             product's threads take where the chain's processes take none.
//
// The link's sockets live in a folder from mkdtemp that is removed at the
// end; children are always reaped.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/Figures.h"
#include "bench/common/FolderMain.h"
#include "bench/common/StreamWire.h"
#include "platform/event.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"
#include "tools/vchan-host/DatagramLink.h"
#include "tools/vchan-host/HostOptions.h"
#include "tools/vchan-host/LinkFrames.h"

namespace {

using kvxbench::BufferedReader;
using kvxbench::Clock;
using kvxbench::PrintFigure;
using kvxbench::ReadAll;
using kvxbench::SecondsSince;
using kvxbench::WriteAll;
using kvxbench::WriteMessage;
using vchan_host::DatagramLink;

double g_seconds = 1.0;
std::string g_folder;

// The packet size the simulator offers the plug-in, header included.
const uint32_t kPacketSize = vchan_host::HostOptions().packetSize;
constexpr size_t kFrameHead = 1 + kDatagramHeaderSize;  // frame type and datagram header
// The message that ends a run (the runs never send one byte), and the one
// that shows the chain carries messages before the clock starts.
constexpr uint32_t kEndSize = 1, kWarmUpSize = 2;

// A forked child keeps only its own descriptors, so a parent waiting on a
// child's control pipe sees it close when that child ends.
void KeepOnly(std::initializer_list<int> kept) {
  for (int fd = 3; fd < 1024; ++fd) {
    bool keep = false;
    for (const int k : kept) keep = keep || k == fd;
    if (!keep) close(fd);
  }
}

// Pipe wire to link: one datagram per packet, header and data gathered by the
// system from where they lie.
void PipeToLink(DatagramLink& link, int pipe) {
  BufferedReader reader(pipe);
  const uint32_t payload = kPacketSize - kDatagramHeaderSize;
  char head[kFrameHead];
  head[0] = static_cast<char>(vchan_host::FrameType::kData);
  const char* message = nullptr;
  uint32_t size = 0;
  while (reader.Next(&message, &size)) {
    uint32_t sequence = 0;
    for (uint32_t offset = 0; offset < size; ++sequence) {
      const uint32_t chunk = std::min(size - offset, payload);
      const uint32_t words[4] = {1, sequence, chunk, offset + chunk == size ? 1u : 0u};
      std::memcpy(head + 1, words, sizeof words);
      DatagramLink::SendResult sent;
      // The other relay may not have bound its end yet.
      while ((sent = link.Send(head, kFrameHead, message + offset, chunk, true)) ==
             DatagramLink::SendResult::kPeerAbsent) {
        usleep(1000);
      }
      if (sent != DatagramLink::SendResult::kSent) _exit(3);
      offset += chunk;
    }
  }
}

// Link to pipe wire: datagrams appended to one output buffer, each message
// behind its length as the pipe wire frames it; the whole messages gathered
// there are written at once when no datagram is waiting (or 256 KiB are
// ready), so a burst of small messages costs one write, not one each.
void LinkToPipe(DatagramLink& link, int pipe) {
  constexpr size_t kFlushBytes = 256 << 10;
  std::string datagram(1 + kPacketSize, '\0');
  std::string out;
  size_t complete = 0;  // the bytes of whole messages at the front of `out`
  uint32_t expected = 0;
  for (;;) {
    size_t length = 0;
    const auto received = link.ReceiveInto(&datagram, &length, complete > 0 ? 0 : 1000);
    if (received == DatagramLink::ReceiveResult::kFailed) _exit(4);
    auto flush = [&] {
      if (complete > 0 && !WriteAll(pipe, out.data(), complete)) _exit(6);
      out.erase(0, complete);
      complete = 0;
    };
    if (received == DatagramLink::ReceiveResult::kTimeout) {
      flush();
      continue;
    }
    if (length < kFrameHead || datagram[0] != static_cast<char>(vchan_host::FrameType::kData)) continue;
    uint32_t words[4];
    std::memcpy(words, datagram.data() + 1, sizeof words);
    if (words[1] != expected || words[2] != length - kFrameHead) _exit(5);  // lost or cut: no floor
    if (expected == 0) out.append(4, '\0');  // the message's length, known at its end
    out.append(datagram.data() + kFrameHead, words[2]);
    if (words[3] == 0) {
      ++expected;
      continue;
    }
    const uint32_t size = static_cast<uint32_t>(out.size() - complete - 4);
    const unsigned char prefix[4] = {static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
                                     static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
    std::memcpy(&out[complete], prefix, 4);
    complete = out.size();
    expected = 0;
    if (complete >= kFlushBytes) flush();
  }
}

pid_t StartRelay(vchan_host::End end, int pipe) {
  const pid_t child = fork();
  if (child != 0) return child;
  KeepOnly({pipe});
  vchan_host::HostOptions options;
  options.end = end;
  options.linkDir = g_folder;
  std::string error;
  auto link = DatagramLink::Open(options, &error);
  if (!link) _exit(2);
  std::thread down([&] { LinkToPipe(*link, pipe); });
  PipeToLink(*link, pipe);
  // The application has gone; what is still on its way down is delivered
  // until the parent ends this process.
  down.join();
  _exit(0);
}

// One application: runs `body` on its pipe wire with a control pipe to the
// parent.
template <typename Body>
pid_t StartApp(int pipe, int control, Body body) {
  const pid_t child = fork();
  if (child != 0) return child;
  KeepOnly({pipe, control});
  _exit(body(pipe, control) ? 0 : 1);
}

// CPU seconds a child used in its life (all its threads), once it has ended;
// -1 when it did not end well. `kill`: end it first.
double ReapCpu(pid_t child, bool kill) {
  if (kill) ::kill(child, SIGKILL);
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return -1;
  if (!kill && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) return -1;
  if (kill && !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) return -1;  // it failed before
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Waits for `size` bytes from a child's control pipe, for at most `timeoutMs`
// in all; false when they did not come (the child failed or hangs).
bool ReadControl(int fd, void* data, size_t size, int timeoutMs) {
  const Clock::time_point start = Clock::now();
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const int left = timeoutMs - static_cast<int>(SecondsSince(start) * 1000);
    pollfd ready{fd, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, left) <= 0) return false;
    const ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The chain's four processes, the applications given by the caller.
struct Chain {
  int clientWire[2] = {-1, -1};  // [0] the sending application's end, [1] its relay's
  int serverWire[2] = {-1, -1};  // [0] the receiving application's end, [1] its relay's
  pid_t clientRelay = -1, serverRelay = -1;

  bool Start() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, clientWire) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, serverWire) != 0) {
      return false;
    }
    for (const int fd : {clientWire[0], clientWire[1], serverWire[0], serverWire[1]}) kvxbench::WidenSendBuffer(fd);
    clientRelay = StartRelay(vchan_host::End::kClient, clientWire[1]);
    serverRelay = StartRelay(vchan_host::End::kServer, serverWire[1]);
    close(clientWire[1]);
    close(serverWire[1]);
    return clientRelay > 0 && serverRelay > 0;
  }
  // The two relays' CPU seconds; -1 when one had failed.
  double Stop() {
    close(clientWire[0]);
    close(serverWire[0]);
    const double client = clientRelay > 0 ? ReapCpu(clientRelay, true) : -1;
    const double server = serverRelay > 0 ? ReapCpu(serverRelay, true) : -1;
    return client < 0 || server < 0 ? -1 : client + server;
  }
};

// The sending application: a warm-up message, then on the parent's word
// `size`-byte messages for the run time, the end message, and the count.
bool Sender(int pipe, int control, uint32_t size) {
  const std::string payload(size, 'x');
  char go = 0;
  if (!WriteMessage(pipe, payload.data(), kWarmUpSize) || !ReadAll(control, &go, 1)) return false;
  uint64_t sent = 0;
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < g_seconds) {
    for (int i = 0; i < 64; ++i, ++sent) {
      if (!WriteMessage(pipe, payload.data(), size)) return false;
    }
  }
  return WriteMessage(pipe, payload.data(), kEndSize) && WriteAll(control, &sent, sizeof sent);
}

// The receiving application: tells the parent when the warm-up message came,
// then counts messages until the end message.
bool Receiver(int pipe, int control, uint32_t size) {
  BufferedReader reader(pipe);
  const char* message = nullptr;
  uint32_t got = 0;
  if (!reader.Next(&message, &got) || got != kWarmUpSize || !WriteAll(control, "r", 1)) return false;
  uint64_t count = 0;
  while (reader.Next(&message, &got) && got == size) ++count;
  return got == kEndSize && WriteAll(control, &count, sizeof count);
}

// A control socket between the parent ([0]) and one application ([1]).
bool ControlPair(int sockets[2]) { return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) == 0; }

bool OneWay(uint32_t size, const std::string& label) {
  Chain chain;
  int senderControl[2], receiverControl[2];
  if (!ControlPair(senderControl) || !ControlPair(receiverControl) || !chain.Start()) return false;
  const pid_t receiver = StartApp(chain.serverWire[0], receiverControl[1],
                                  [size](int pipe, int control) { return Receiver(pipe, control, size); });
  const pid_t sender = StartApp(chain.clientWire[0], senderControl[1],
                                [size](int pipe, int control) { return Sender(pipe, control, size); });
  close(senderControl[1]);
  close(receiverControl[1]);
  const int limitMs = static_cast<int>(g_seconds * 1000) + 30000;
  char ready = 0;
  uint64_t sent = 0, received = 0;
  bool ok = ReadControl(receiverControl[0], &ready, 1, 30000);
  const Clock::time_point start = Clock::now();
  ok = ok && WriteAll(senderControl[0], "g", 1) &&
       ReadControl(receiverControl[0], &received, sizeof received, limitMs);
  const double seconds = SecondsSince(start);
  ok = ok && ReadControl(senderControl[0], &sent, sizeof sent, 1000) && sent == received;
  close(senderControl[0]);
  close(receiverControl[0]);
  const double sending = ReapCpu(sender, !ok), receiving = ReapCpu(receiver, !ok);
  const double relays = chain.Stop();
  if (!ok || sending < 0 || receiving < 0 || relays < 0) return false;
  const double apps = sending + receiving;
  const double messages = static_cast<double>(received);
  const double mib = messages * size / (1 << 20);
  PrintFigure("chain.oneway." + label + ".mbps", messages * size / seconds / 1e6, "MB/s");
  PrintFigure("chain.oneway." + label + ".msgps", messages / seconds, "msg/s");
  PrintFigure("chain.cpu.relays." + label + ".per_msg", relays * 1e6 / messages, "us");
  PrintFigure("chain.cpu.relays." + label + ".per_mib", relays * 1e6 / mib, "us");
  PrintFigure("chain.cpu.apps." + label + ".per_msg", apps * 1e6 / messages, "us");
  PrintFigure("chain.cpu.apps." + label + ".per_mib", apps * 1e6 / mib, "us");
  return true;
}

// The pinging application: a warm-up round, then rounds of `size` bytes for
// the run time (at least 1000), the end message, and the 50th and 99th
// percentiles in microseconds.
bool Pinger(int pipe, int control, uint32_t size) {
  const std::string ping(size, 'p');
  BufferedReader reader(pipe);
  const char* answer = nullptr;
  uint32_t got = 0;
  if (!WriteMessage(pipe, ping.data(), kWarmUpSize) || !reader.Next(&answer, &got) || got != kWarmUpSize) return false;
  std::vector<double> micros;
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < g_seconds || micros.size() < 1000) {
    const Clock::time_point t0 = Clock::now();
    if (!WriteMessage(pipe, ping.data(), size) || !reader.Next(&answer, &got) || got != size) return false;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  const double percentiles[2] = {kvxbench::Percentile(&micros, 50), kvxbench::Percentile(&micros, 99)};
  return WriteMessage(pipe, ping.data(), kEndSize) && WriteAll(control, percentiles, sizeof percentiles);
}

// The echoing application: every message goes back as it came, until the
// end message.
bool Echo(int pipe, int, uint32_t) {
  BufferedReader reader(pipe);
  const char* message = nullptr;
  uint32_t got = 0;
  while (reader.Next(&message, &got) && got != kEndSize) {
    if (!WriteMessage(pipe, message, got)) return false;
  }
  return got == kEndSize;
}

bool RoundTrip(uint32_t size) {
  Chain chain;
  int pingerControl[2];
  if (!ControlPair(pingerControl) || !chain.Start()) return false;
  const pid_t echo = StartApp(chain.serverWire[0], -1, [size](int pipe, int control) { return Echo(pipe, control, size); });
  const pid_t pinger = StartApp(chain.clientWire[0], pingerControl[1],
                                [size](int pipe, int control) { return Pinger(pipe, control, size); });
  close(pingerControl[1]);
  double percentiles[2] = {0, 0};
  const bool ok = ReadControl(pingerControl[0], percentiles, sizeof percentiles,
                              static_cast<int>(g_seconds * 1000) + 30000);
  close(pingerControl[0]);
  const bool ended = ReapCpu(pinger, !ok) >= 0 && ReapCpu(echo, !ok) >= 0;
  if (chain.Stop() < 0 || !ok || !ended) return false;
  PrintFigure("chain.roundtrip.1k.p50", percentiles[0], "us");
  PrintFigure("chain.roundtrip.1k.p99", percentiles[1], "us");
  return true;
}

// Two threads of one process bounce a token through two auto-reset events
// for the run time; half a bounce is one hand-off.
bool HandOff() {
  const platform::EventHandle there = platform::CreateEventObject(false, false);
  const platform::EventHandle back = platform::CreateEventObject(false, false);
  if (there == nullptr || back == nullptr) return false;
  std::atomic<bool> stop{false};
  std::thread bouncer([&] {
    while (platform::WaitForEvent(there, 5000) == platform::kWaitObject0 && !stop.load()) {
      platform::SetEventObject(back);
    }
  });
  std::vector<double> micros;
  bool ok = true;
  const Clock::time_point start = Clock::now();
  while (ok && (SecondsSince(start) < g_seconds || micros.size() < 1000)) {
    const Clock::time_point sent = Clock::now();
    platform::SetEventObject(there);
    ok = platform::WaitForEvent(back, 5000) == platform::kWaitObject0;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count() / 2);
  }
  stop = true;
  platform::SetEventObject(there);
  bouncer.join();
  platform::CloseEventObject(there);
  platform::CloseEventObject(back);
  if (!ok) return false;
  PrintFigure("chain.handoff.p50", kvxbench::Percentile(&micros, 50), "us");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  return kvxbench::RunInFolder("kvx-bench-chain", argc, argv, &g_seconds, [](const std::string& folder) {
    g_folder = folder;
    return OneWay(1024, "1k") && OneWay(65536, "64k") && OneWay(1u << 20, "1m") && RoundTrip(1024) &&
           HandOff();
  });
}
