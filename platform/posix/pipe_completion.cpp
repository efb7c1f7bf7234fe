// How pending connects and reads complete, and how callers learn of it.
//
// No thread of ours completes what must wait. A pending connect or read
// attaches the instance to its event as a completion source
// (completion_source.h): the thread that waits for the event polls the
// instance's socket (the listening one for a connect) and, when it is ready,
// takes the operation forward itself and sets the event. GetPipeOverlappedResult
// and PipePartialMessageBytes take it forward too, for callers that do not
// wait on the event. A waiter pins the descriptor it polls; whoever closes a
// descriptor first completes the pending operation (which wakes the waiters)
// and then waits for the pins to go, as it waits for the writers.
#include "platform/posix/pipe_instance.h"

#include <poll.h>

#include <chrono>
#include <memory>
#include <thread>

namespace platform {
namespace pipe_detail {
namespace {

// How long GetPipeOverlappedResult(wait) polls the socket before it looks
// again: another thread may complete the operation without writing to it.
constexpr int kResultPollMs = 20;

}  // namespace

// Records an outcome in the overlapped record; `signal` sets its event.
// Under the Instance's mutex.
void Finish(Instance& in, PipeOverlapped* ov, uint32_t error, uint32_t bytes, bool signal) {
  ov->internal[kOvState] = kOvDone;
  ov->internal[kOvError] = error;
  ov->internal[kOvBytes] = bytes;
  if (signal && ov->event != nullptr) SetEventObject(ov->event);
  in.changed.NotifyAll();
}

void StartPending(Instance& in, PendingOp op, PipeOverlapped* ov) {
  ov->internal[kOvState] = kOvPending;
  ov->internal[kOvError] = kErrorIoPending;
  ov->internal[kOvBytes] = 0;
  if (ov->event != nullptr) ResetEventObject(ov->event);
  in.op = op;
  in.overlapped = ov;
  if (ov->event != nullptr) event_detail::AttachCompletionSource(ov->event, in.self);
}

void CompletePending(Instance& in, uint32_t error, uint32_t bytes) {
  PipeOverlapped* ov = in.overlapped;
  in.op = PendingOp::None;
  in.overlapped = nullptr;
  in.readBuffer = nullptr;
  if (ov == nullptr) return;
  if (ov->event != nullptr) event_detail::DetachCompletionSource(ov->event, &in);
  Finish(in, ov, error, bytes, true);
}

bool Instance::PinLocked(int* fdOut, short* events) {
  if (op == PendingOp::Read && state == PipeState::Connected && fd >= 0) {
    *fdOut = fd;
    *events = POLLIN | POLLRDHUP;
  } else if (op == PendingOp::Connect && state == PipeState::Listening &&
             name->ListenFdOfInstance() >= 0) {
    // The listening socket lives while this instance does.
    *fdOut = name->ListenFdOfInstance();
    *events = POLLIN;
  } else {
    return false;
  }
  ++pins;
  return true;
}

bool Instance::Pin(EventHandle event, int* fdOut, short* events) {
  MutexLock lock(mutex);
  if (overlapped == nullptr || overlapped->event != event) return false;
  return PinLocked(fdOut, events);
}

void Instance::Unpin() {
  MutexLock lock(mutex);
  if (--pins == 0) changed.NotifyAll();
}

void Instance::Progress() {
  MutexLock lock(mutex);
  if (op == PendingOp::Read) {
    if (state != PipeState::Connected) return;
    uint32_t error = 0;
    uint32_t bytes = 0;
    if (ProgressRead(*this, &error, &bytes)) CompletePending(*this, error, bytes);
    return;
  }
  if (op != PendingOp::Connect) return;
  // The name's lock comes first: let go of ours. Any listener of the name
  // may be the one that gets the client.
  const std::shared_ptr<PipeName> pipeName = name;
  lock.Unlock();
  pipeName->ServeListeners();
}

}  // namespace pipe_detail

using namespace pipe_detail;

bool GetPipeOverlappedResult(PipeHandle pipe, PipeOverlapped* overlapped, uint32_t* transferred, bool wait) {
  if (transferred != nullptr) *transferred = 0;
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  if (overlapped == nullptr) return Fail(kErrorInvalidParameter);
  // Whatever the socket already holds counts, whether or not anyone waits on
  // the event.
  in->Progress();
  MutexLock lock(in->mutex);
  if (overlapped->internal[kOvState] == kOvPending && !wait) return Fail(kErrorIoIncomplete);
  // A close on another thread ends the wait; the instance must outlive it.
  const std::shared_ptr<Instance> keep = in->self;
  while (overlapped->internal[kOvState] == kOvPending) {
    int fd = -1;
    short events = 0;
    const bool pinned = in->PinLocked(&fd, &events);
    lock.Unlock();
    if (pinned) {
      pollfd p{fd, events, 0};
      poll(&p, 1, kResultPollMs);
      in->Unpin();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    in->Progress();
    lock.Lock();
  }
  if (overlapped->internal[kOvState] == kOvIdle) {
    SetLastErrorCode(kErrorSuccess);
    return true;
  }
  const auto error = static_cast<uint32_t>(overlapped->internal[kOvError]);
  if (transferred != nullptr) *transferred = static_cast<uint32_t>(overlapped->internal[kOvBytes]);
  if (error != kErrorSuccess) return Fail(error);
  SetLastErrorCode(kErrorSuccess);
  return true;
}

}  // namespace platform
