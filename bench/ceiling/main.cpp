// kvx-bench-ceiling: the ceilings the product's figures are measured against.
//
//   stream  one-way messages between two processes over a Unix stream socket,
//           each a 4-byte little-endian length and the bytes (the wire of the
//           POSIX named pipe stand-in), for 1 KiB, 64 KiB and 1 MiB;
//   ping    the 1 KiB ping-pong round trip over the same wire;
//   dgram   one-way datagrams over the host simulator's own
//           DatagramLink (Unix datagram sockets): 3000 bytes, and the size
//           that carries one 1 KiB message.
//
// Each figure runs for about --seconds (default 1). The sockets live in a
// folder from mkdtemp that is removed at the end; children are always reaped.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/common/Figures.h"
#include "bench/common/FolderMain.h"
#include "bench/common/StreamWire.h"
#include "tools/vchan-host/DatagramLink.h"
#include "tools/vchan-host/HostOptions.h"

namespace {

using kvxbench::BufferedReader;
using kvxbench::Clock;
using kvxbench::PrintFigure;
using kvxbench::ReadAll;
using kvxbench::SecondsSince;
using kvxbench::WriteAll;
using kvxbench::WriteMessage;

double g_seconds = 1.0;
std::string g_folder;

// A connected pair through a listening socket file, as a pipe client reaches
// the stand-in.
bool ConnectedPair(int* serverSide, int* clientSide) {
  const std::string path = g_folder + "/wire";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(path.c_str());
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0) {
    return false;
  }
  *clientSide = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(*clientSide, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  *serverSide = accept(listener, nullptr, nullptr);
  close(listener);
  unlink(path.c_str());
  return *serverSide >= 0;
}

bool Reap(pid_t child) {
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One-way stream: the child reads until a zero-length message, then answers
// with the count it read.
bool StreamOneWay(uint32_t size, const char* label) {
  int sender = -1, receiver = -1;
  if (!ConnectedPair(&sender, &receiver)) return false;
  pid_t child = fork();
  if (child == 0) {
    close(sender);
    BufferedReader reader(receiver);
    uint64_t count = 0;
    uint32_t got = 0;
    const char* message = nullptr;
    while (reader.Next(&message, &got) && got != 0) ++count;
    _exit(WriteAll(receiver, &count, sizeof count) ? 0 : 1);
  }
  close(receiver);
  std::string payload(size, 'x');
  uint64_t sent = 0;
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < g_seconds) {
    for (int i = 0; i < 64; ++i, ++sent) {
      if (!WriteMessage(sender, payload.data(), size)) return false;
    }
  }
  uint64_t counted = 0;
  bool ok = WriteMessage(sender, payload.data(), 0) && ReadAll(sender, &counted, sizeof counted);
  const double seconds = SecondsSince(start);
  close(sender);
  ok = Reap(child) && ok && counted == sent;
  if (!ok) return false;
  PrintFigure(std::string("ceiling.stream.") + label + ".mbps", static_cast<double>(sent) * size / seconds / 1e6, "MB/s");
  PrintFigure(std::string("ceiling.stream.") + label + ".msgps", static_cast<double>(sent) / seconds, "msg/s");
  return true;
}

bool PingPong(uint32_t size) {
  int a = -1, b = -1;
  if (!ConnectedPair(&a, &b)) return false;
  pid_t child = fork();
  if (child == 0) {
    close(a);
    BufferedReader reader(b);
    uint32_t got = 0;
    const char* message = nullptr;
    while (reader.Next(&message, &got) && got != 0) {
      if (!WriteMessage(b, message, got)) _exit(1);
    }
    _exit(0);
  }
  close(b);
  std::string ping(size, 'p');
  BufferedReader reader(a);
  const char* answer = nullptr;
  std::vector<double> micros;
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < g_seconds || micros.size() < 1000) {
    const Clock::time_point t0 = Clock::now();
    uint32_t got = 0;
    if (!WriteMessage(a, ping.data(), size) || !reader.Next(&answer, &got) || got != size) return false;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  WriteMessage(a, ping.data(), 0);
  close(a);
  if (!Reap(child)) return false;
  PrintFigure("ceiling.pingpong.1k.p50", kvxbench::Percentile(&micros, 50), "us");
  PrintFigure("ceiling.pingpong.1k.p99", kvxbench::Percentile(&micros, 99), "us");
  return true;
}

// The host simulator's link alone: the client end receives until a one-byte
// datagram and answers with the count.
// About the datagram that carries one 1 KiB message end to end: the data, the
// message's framing and the datagram's header.
constexpr uint32_t kOneKiBMessageDatagram = 1060;

bool DatagramOneWay(uint32_t size, const std::string& label) {
  vchan_host::HostOptions serverOptions, clientOptions;
  serverOptions.end = vchan_host::End::kServer;
  clientOptions.end = vchan_host::End::kClient;
  serverOptions.linkDir = clientOptions.linkDir = g_folder;
  std::string error;
  pid_t child = fork();
  if (child == 0) {
    auto link = vchan_host::DatagramLink::Open(clientOptions, &error);
    if (!link) _exit(1);
    std::string datagram;
    uint64_t count = 0;
    for (;;) {
      auto r = link->Receive(&datagram, 10000);
      if (r != vchan_host::DatagramLink::ReceiveResult::kReceived) _exit(1);
      if (datagram.empty()) continue;  // the sender's probe for our address
      if (datagram.size() == 1) break;
      ++count;
    }
    while (link->Send(&count, sizeof count, true) == vchan_host::DatagramLink::SendResult::kPeerAbsent) {
      usleep(1000);
    }
    _exit(0);
  }
  auto link = vchan_host::DatagramLink::Open(serverOptions, &error);
  if (!link) return false;
  std::string payload(size, 'd');
  // Wait for the child to bind.
  const Clock::time_point bindStart = Clock::now();
  while (link->Send("w", 0, false) == vchan_host::DatagramLink::SendResult::kPeerAbsent) {
    if (SecondsSince(bindStart) > 10) return false;
    usleep(1000);
  }
  uint64_t sent = 0;
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < g_seconds) {
    for (int i = 0; i < 64; ++i, ++sent) {
      if (link->Send(payload.data(), size, true) != vchan_host::DatagramLink::SendResult::kSent) return false;
    }
  }
  if (link->Send("e", 1, true) != vchan_host::DatagramLink::SendResult::kSent) return false;
  std::string answer;
  if (link->Receive(&answer, 10000) != vchan_host::DatagramLink::ReceiveResult::kReceived) return false;
  const double seconds = SecondsSince(start);
  uint64_t counted = 0;
  if (answer.size() == sizeof counted) std::memcpy(&counted, answer.data(), sizeof counted);
  if (!Reap(child) || counted != sent) return false;
  PrintFigure("ceiling.dgram." + label + ".mbps", static_cast<double>(sent) * size / seconds / 1e6, "MB/s");
  PrintFigure("ceiling.dgram." + label + ".dgps", static_cast<double>(sent) / seconds, "dgram/s");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  return kvxbench::RunInFolder("kvx-bench-ceiling", argc, argv, &g_seconds, [](const std::string& folder) {
    g_folder = folder;
    return StreamOneWay(1024, "1k") && StreamOneWay(65536, "64k") && StreamOneWay(1048576, "1m") &&
           PingPong(1024) && DatagramOneWay(3000, "3000") && DatagramOneWay(kOneKiBMessageDatagram, "1k");
  });
}
