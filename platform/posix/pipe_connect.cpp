// Server instances listening for clients and accepting them.
//
// Server side. The instances of one name share its listening socket (a
// PipeName). Each instance serves at most one accepted client at a time. An
// instance listens by ConnectNamedPipeInstance: a client already waiting in the
// socket's queue is accepted at once (the call reports kErrorPipeConnected, as
// Win32 does for a client that came first); otherwise the instance joins the
// name's queue of listeners and the call reports kErrorIoPending. Clients that
// arrive while no instance listens wait in the socket's backlog. Whoever finds
// the listening socket readable while some instance listens accepts, and hands
// each accepted client to the first listener in line, completing that
// instance's connect and no other.
#include "platform/posix/pipe_instance.h"

#include "diagnostics/RepeatLimiter.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/debug_output.h"

namespace platform {
namespace pipe_detail {
namespace {

void AttachClient(Instance& in, int fd) REQUIRES(in.mutex) {
  RaiseSendBuffer(fd);
  in.fd = fd;
  ResetStream(in);
  in.state = PipeState::Connected;
}

}  // namespace

// The user of the process at the other end of a connected socket; false when
// the system cannot say.
bool PeerUser(int fd, ucred* peer) {
  socklen_t size = sizeof *peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &size) == 0 && size == sizeof *peer;
}

void ResetStream(Instance& in) {
  in.peerClosed = false;
  in.writeBroken = false;
  in.head = in.tail = 0;
  in.inMessage = false;
  in.messageLeft = 0;
  in.pieceKnown = false;
}

void RemoveListener(PipeName& name, Instance* in) {
  auto it = std::find(name.listeners.begin(), name.listeners.end(), in);
  if (it != name.listeners.end()) name.listeners.erase(it);
}

namespace {

// A process of another user can connect in a loop, and would flood the log
// with one line per attempt: the lines are limited like the plug-in's own
// diagnostics, and summarised.
void ReportRefusedClient(const std::string& line) {
  static diagnostics::RepeatLimiter* limiter =
      new diagnostics::RepeatLimiter([](const diagnostics::RepeatLimiter::Summary& summary) {
        OutputDebugText(summary.text.c_str());
      });
  const diagnostics::RepeatLimiter::Verdict verdict =
      limiter->Admit("Pipe client refused", line, diagnostics::RepeatLimiter::Clock::now());
  for (const auto& summary : verdict.summaries) OutputDebugText(summary.text.c_str());
  if (verdict.write) OutputDebugText(line.c_str());
}

}  // namespace

int PipeName::AcceptWaiting() {
  if (listenFd < 0) return -1;
  for (;;) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return -1;
    }
    // The folder keeps other users out; this holds even if it was opened up
    // after we checked it. A client of another user never reaches the owner.
    ucred peer{};
    const bool known = PeerUser(fd, &peer);
    if (!known || !pipe_detail::TrustedPeer(peer.uid)) {
      const std::string who = known ? "process " + std::to_string(peer.pid) + " of " + DescribeUser(peer.uid)
                                    : std::string("a process of unknown user");
      close(fd);
      ReportRefusedClient("Pipe client refused: " + who + " connected to " + path + ", which serves only " +
                          DescribeUser(geteuid()));
      continue;
    }
    return fd;
  }
}

void PipeName::ServeListeners() {
  MutexLock lock(mutex);
  while (!listeners.empty()) {
    const int fd = AcceptWaiting();
    if (fd < 0) break;
    Instance* in = listeners.front();
    listeners.pop_front();
    MutexLock instanceLock(in->mutex);
    AttachClient(*in, fd);
    CompletePending(*in, kErrorSuccess, 0);
  }
}

}  // namespace pipe_detail

using namespace pipe_detail;

bool ConnectNamedPipeInstance(PipeHandle pipe, PipeOverlapped* overlapped) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  if (overlapped == nullptr) return Fail(kErrorInvalidParameter);
  PipeName& name = *in->name;
  MutexLock nameLock(name.mutex);
  MutexLock lock(in->mutex);
  switch (in->state) {
    case PipeState::Closed:
      return Fail(kErrorInvalidHandle);
    case PipeState::Listening:
      return Fail(kErrorPipeListening);
    case PipeState::Connected:
      // A client that has gone must be disconnected before the next one.
      return Fail(in->peerClosed ? kErrorNoData : kErrorPipeConnected);
    case PipeState::Idle:
    case PipeState::Disconnected:
      break;
  }
  const int fd = name.AcceptWaiting();
  if (fd >= 0) {
    // A client was already waiting: connected now, and no completion follows.
    AttachClient(*in, fd);
    if (overlapped->event != nullptr) ResetEventObject(overlapped->event);
    Finish(*in, overlapped, kErrorSuccess, 0, false);
    return Fail(kErrorPipeConnected);
  }
  in->state = PipeState::Listening;
  StartPending(*in, PendingOp::Connect, overlapped);
  name.listeners.push_back(in);
  return Fail(kErrorIoPending);
}

}  // namespace platform
