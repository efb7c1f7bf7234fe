#include "extension/windows/OutboundQueue.h"

#include <utility>

namespace Orvane {
namespace Extension {
namespace Windows {

OutboundQueue::OutboundQueue(size_t boundBytes)
    : boundBytes(boundBytes), roomEvent(platform::CreateEventObject(true, true)) {}

OutboundQueue::~OutboundQueue() {
  if (roomEvent != nullptr) platform::CloseEventObject(roomEvent);
}

OutboundQueue::Pushed OutboundQueue::Push(uint64_t client, std::string* message, WhenFull whenFull,
                                          WriteBy writeBy) {
  const size_t charge = message->size() + kItemOverheadBytes;
  platform::MutexLock guard(lock);
  if (stopping) return Pushed::kStopped;
  if (whenFull == WhenFull::kWait && bytes >= boundBytes) return Pushed::kFull;
  items.push_back(Item{client, std::move(*message)});
  bytes += charge;
  UpdateRoom();
  if (writeBy == WriteBy::kCaller) {
    // The caller writes what it queued once it has no more at hand, or once
    // a run's worth waits; until then the writer sleeps on.
    heldForCaller += charge;
    return heldForCaller < kGatherBytes ? Pushed::kQueued : Pushed::kWriteNow;
  }
  heldForCaller = 0;
  guard.Unlock();
  queued.NotifyOne();
  return Pushed::kQueued;
}

void OutboundQueue::WaitForRoom() {
  platform::MutexLock guard(lock);
  if (stopping || bytes < boundBytes) return;
  heldForCaller = 0;
  queued.NotifyOne();
  while (!stopping && bytes >= boundBytes) roomMade.Wait(guard);
}

void OutboundQueue::Acquire() {
  platform::MutexLock guard(lock);
  // A queued message part-way out is finished first, by the writer thread.
  queued.NotifyOne();
  while (wireHeld || (frontProgress.sent != 0 && !stopping)) wireFree.Wait(guard);
  wireHeld = true;
}

bool OutboundQueue::TryAcquire(Run* run) {
  platform::MutexLock guard(lock);
  heldForCaller = 0;
  // The writer holds the wire (and takes these messages next), or nothing waits.
  if (wireHeld || items.empty() || stopping) return false;
  TakeRun(run);
  return true;
}

bool OutboundQueue::AcquireWhenQueued(Run* run) {
  platform::MutexLock guard(lock);
  while (!stopping && (items.empty() || wireHeld)) queued.Wait(guard);
  if (stopping) return false;
  TakeRun(run);
  return true;
}

void OutboundQueue::TakeRun(Run* run) {
  wireHeld = true;
  run->client = items.front().client;
  run->progress = frontProgress;
  run->views.clear();
  size_t runBytes = 0;
  for (const Item& item : items) {
    const bool full = !run->views.empty() && runBytes + item.bytes.size() > kGatherBytes;
    if (item.client != run->client || full) break;
    run->views.push_back(
        platform::PipeMessageView{item.bytes.data(), static_cast<uint32_t>(item.bytes.size())});
    runBytes += item.bytes.size();
  }
}

void OutboundQueue::Release(size_t handled, platform::PipeWriteProgress progress) {
  platform::MutexLock guard(lock);
  for (size_t i = 0; i < handled && !items.empty(); ++i) {
    bytes -= items.front().bytes.size() + kItemOverheadBytes;
    items.pop_front();
  }
  frontProgress = progress;
  if (handled > 0) UpdateRoom();
  wireHeld = false;
  wireFree.NotifyAll();
  // Messages queued while another held the wire: the writer slept through
  // their queueing, seeing the wire held.
  if (!items.empty() && heldForCaller == 0) queued.NotifyOne();
}

void OutboundQueue::UpdateRoom() {
  const bool room = bytes < boundBytes;
  hasRoom.store(room);
  if (room) roomMade.NotifyAll();
  if (roomEvent == nullptr) return;
  // Set and reset under the lock, so that the event agrees with the count.
  if (room) {
    platform::SetEventObject(roomEvent);
  } else {
    platform::ResetEventObject(roomEvent);
  }
}

void OutboundQueue::Stop() {
  {
    platform::MutexLock guard(lock);
    stopping = true;
  }
  queued.NotifyAll();
  roomMade.NotifyAll();
  wireFree.NotifyAll();
}

void OutboundQueue::DropAll() {
  platform::MutexLock guard(lock);
  // The caller may be writing from the queue on its own thread right now.
  while (wireHeld) wireFree.Wait(guard);
  items.clear();
  bytes = 0;
  heldForCaller = 0;
  frontProgress = platform::PipeWriteProgress{};
  UpdateRoom();
  wireFree.NotifyAll();
}

void OutboundQueue::Reopen() {
  platform::MutexLock guard(lock);
  stopping = false;
}

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
