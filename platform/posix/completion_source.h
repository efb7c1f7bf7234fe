// Private to the POSIX stand-ins: lets an operation that must wait for a
// descriptor be driven by the thread that waits for its event, as the kernel
// completes overlapped I/O on Win32 without a thread of ours in between.
//
// The owner of a pending operation attaches a completion source to the
// operation's event. A thread in WaitForAnyEvent on that event then blocks in
// poll() on the source's descriptor (and on a wake descriptor of its own, which
// SetEventObject writes), and when the descriptor is ready calls Progress,
// which takes the operation as far as it can and sets the event when it is
// complete. Completion or cancellation detaches the source.
#pragma once

#include <memory>

#include "platform/event.h"

namespace platform {
namespace event_detail {

class CompletionSource {
 public:
  virtual ~CompletionSource() = default;
  // The descriptor to watch and the poll() events to watch for, for the
  // operation `event` stands for; false when it is no longer pending. On success the descriptor stays open until
  // the matching Unpin, so the owner must count pins and wait for them (after
  // waking the waiters) before it closes the descriptor.
  virtual bool Pin(EventHandle event, int* fd, short* events) = 0;
  virtual void Unpin() = 0;
  // Takes the pending operation as far as it goes without blocking; sets its
  // event when it completes. Called without any lock of the event layer held.
  virtual void Progress() = 0;
};

// One source per event (an event serves one pending operation at a time).
// Attaching wakes the threads already waiting on the event, so that they start
// watching the descriptor. Detaching only forgets the source if it is still
// the attached one; waiters that hold it find nothing pending on their next
// Pin. Neither blocks: both may be called under the owner's own lock, which is
// taken before the event's.
void AttachCompletionSource(EventHandle event, std::shared_ptr<CompletionSource> source);
void DetachCompletionSource(EventHandle event, const CompletionSource* source);

// Waits on sources use wake descriptors, pooled while the process has users
// of them (pipe instances), so that a process without any keeps none open.
void AddWakeUser();
void RemoveWakeUser();

}  // namespace event_detail
}  // namespace platform
