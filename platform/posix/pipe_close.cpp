// Ending a server instance's connection (disconnect) or the instance itself
// (close), without pulling a descriptor from under a writer or a waiter.
#include "platform/posix/pipe_instance.h"

#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace platform {
namespace pipe_detail {
namespace {

// Waits until no waiter polls a descriptor of the instance. The caller has
// ended the pending operation (which woke them) and holds `lock`.
void WaitForPins(Instance& in, MutexLock& lock) REQUIRES(in.mutex) {
  while (in.pins != 0) in.changed.Wait(lock);
}

// Drops the client's socket. The caller has already moved the instance out of
// the Connected state and ended its pending operation, so no new write or pin
// starts; writes and polls under way are woken by the shutdown and waited for
// before the descriptor is closed.
void DropClient(Instance& in, MutexLock& lock) REQUIRES(in.mutex) {
  if (in.fd < 0) return;
  shutdown(in.fd, SHUT_RDWR);
  while (in.writers != 0 || in.pins != 0) in.changed.Wait(lock);
  close(in.fd);
  in.fd = -1;
  ResetStream(in);
}

}  // namespace

}  // namespace pipe_detail

using namespace pipe_detail;

bool DisconnectNamedPipeInstance(PipeHandle pipe) {
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  PipeName& name = *in->name;
  MutexLock nameLock(name.mutex);
  MutexLock lock(in->mutex);
  switch (in->state) {
    case PipeState::Closed:
      return Fail(kErrorInvalidHandle);
    case PipeState::Idle:
    case PipeState::Disconnected:
      return Fail(kErrorPipeNotConnected);
    case PipeState::Listening:
      RemoveListener(name, in);
      in->state = PipeState::Disconnected;
      CompletePending(*in, kErrorPipeNotConnected, 0);
      return true;
    case PipeState::Connected:
      in->state = PipeState::Disconnected;
      if (in->op != PendingOp::None) CompletePending(*in, kErrorPipeNotConnected, 0);
      DropClient(*in, lock);
      return true;
  }
  return true;
}

bool ClosePipe(PipeHandle pipe) {
  if (ToClient(pipe) != nullptr) {
    ClosePipeClient(pipe);
    return true;
  }
  Instance* in = ToInstance(pipe);
  if (in == nullptr) return Fail(kErrorInvalidHandle);
  std::shared_ptr<PipeName> name = in->name;
  std::shared_ptr<Instance> released;  // `in` may be freed once this goes
  {
    MutexLock nameLock(name->mutex);
    MutexLock lock(in->mutex);
    if (in->state == PipeState::Listening) RemoveListener(*name, in);
    in->state = PipeState::Closed;
    in->magic = 0;
    // A pending connect or read ends now, and its event is set before we
    // return; after that nothing here touches the event or the record again.
    // Setting the event also wakes the waiters that poll for it.
    if (in->op != PendingOp::None) CompletePending(*in, kErrorOperationAborted, 0);
    DropClient(*in, lock);
    // A waiter may still poll the listening socket, which goes with the
    // name's last instance.
    WaitForPins(*in, lock);
    released = std::move(in->self);
  }
  ReleaseName(name);
  event_detail::RemoveWakeUser();
  return true;
}

}  // namespace platform
