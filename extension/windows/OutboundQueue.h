// The pipe server's outbound queue: the messages that wait to be written to
// its client, the room they leave (a bound on their bytes, told to the
// server's reader thread by an event), and the wire. Whoever writes to the
// pipe holds the wire, so that messages go out whole and in order; only the
// holder takes messages off the queue.
//
// The wire is taken in one of three ways and always given back by Release:
//
//   Acquire            for a message of the caller's own (Send): waits until
//                      the wire is free and no queued message is part-way
//                      out (the writer thread finishes that one first).
//   TryAcquire         for the caller's own write of what it queued: takes
//                      the wire only if it is free and a message waits;
//                      never waits.
//   AcquireWhenQueued  for the writer thread: waits until a message waits
//                      and the wire is free; false once the queue stops.
//
// The last two hand the holder a run to write: the first queued messages,
// all for one client, up to kGatherBytes (or one longer message). The
// messages stay where they are until Release takes them off (a deque keeps
// its elements in place while others are added behind them), so the holder
// writes them without the queue's lock.
//
// Thread-safe. The queue's lock is innermost: nothing else is taken under it
// but the room event's own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/named_pipe.h"
#include "platform/thread_annotations.h"

namespace Orvane {
namespace Extension {
namespace Windows {

class CAPABILITY("wire") OutboundQueue {
 public:
  // Each message counts its bytes and this many more against the bound.
  static constexpr size_t kItemOverheadBytes = 64;
  // A run takes at most this many bytes (or one longer message), so that
  // room comes back to the queue as its messages go.
  static constexpr size_t kGatherBytes = size_t{256} << 10;

  // What a message does when the queue is full: its caller waits for room,
  // or it passes (one more whole message may come while there is room).
  enum class WhenFull : uint8_t { kWait, kPass };
  // Who writes a message: the writer thread (woken for it), or the caller,
  // which calls TryAcquire once it has no more at hand.
  enum class WriteBy : uint8_t { kWriterThread, kCaller };
  // What Push did with a message.
  enum class Pushed : uint8_t {
    kQueued,    // queued; the writer thread has been woken, or the caller writes it later
    kWriteNow,  // queued for the caller, and a run's worth of its messages waits: write now
    kFull,      // WhenFull::kWait and no room: nothing queued; WaitForRoom, then push again
    kStopped,   // the queue is stopped: nothing queued
  };

  // What the holder of the wire writes.
  struct Run {
    uint64_t client = 0;
    std::vector<platform::PipeMessageView> views;
    // How far the wire got into the first message (a write that was not to
    // wait stopped inside it); the next write goes on from there.
    platform::PipeWriteProgress progress;
  };

  // At most `boundBytes` queued before WhenFull::kWait waits. The room event
  // is made here; without it the room is still kept, only not told.
  explicit OutboundQueue(size_t boundBytes);
  ~OutboundQueue();
  OutboundQueue(const OutboundQueue&) = delete;
  OutboundQueue& operator=(const OutboundQueue&) = delete;

  // Queues `*message` (taken only when it is queued) for `client`.
  Pushed Push(uint64_t client, std::string* message, WhenFull whenFull, WriteBy writeBy)
      EXCLUDES(lock);
  // Waits while the queue is full, until the writer has made room or the
  // queue stops. What the caller kept for its own write goes to the writer
  // thread first: writing it is what makes room.
  void WaitForRoom() EXCLUDES(lock);
  // Whether there is room, read without the lock.
  bool HasRoom() const { return hasRoom.load(); }
  // A manual-reset event, set while there is room (null if it could not be
  // made).
  platform::EventHandle RoomEvent() const { return roomEvent; }

  void Acquire() ACQUIRE() EXCLUDES(lock);
  bool TryAcquire(Run* run) TRY_ACQUIRE(true) EXCLUDES(lock);
  bool AcquireWhenQueued(Run* run) TRY_ACQUIRE(true) EXCLUDES(lock);
  // Gives the wire back, taking the first `handled` messages off the queue
  // (written, or dropped with their client) and keeping how far the wire got
  // into the next one. What is left, unless the caller keeps it for its own
  // write, is the writer thread's: it is woken for it.
  void Release(size_t handled, platform::PipeWriteProgress progress) RELEASE() EXCLUDES(lock);

  // Stop refuses messages and ends every wait (the writer's with false).
  // Once the writer thread has ended, DropAll waits until nobody holds the
  // wire and drops what the queue holds; Reopen takes messages again.
  void Stop() EXCLUDES(lock);
  void DropAll() EXCLUDES(lock);
  void Reopen() EXCLUDES(lock);

 private:
  struct Item {
    uint64_t client = 0;
    std::string bytes;
  };
  // Hands the wire and the first run to the caller.
  void TakeRun(Run* run) REQUIRES(lock);
  // The room changed: tells the event and the waiters.
  void UpdateRoom() REQUIRES(lock);

  const size_t boundBytes;
  const platform::EventHandle roomEvent;
  // bytes < boundBytes, for HasRoom.
  std::atomic<bool> hasRoom{true};

  platform::Mutex lock;
  std::deque<Item> items GUARDED_BY(lock);
  // The items' bytes with their overhead, queued and in the holder's hands.
  size_t bytes GUARDED_BY(lock) = 0;
  // Bytes queued with WriteBy::kCaller since the caller last took the wire
  // for them; while there are any, the writer thread is not woken for them.
  size_t heldForCaller GUARDED_BY(lock) = 0;
  bool wireHeld GUARDED_BY(lock) = false;
  platform::PipeWriteProgress frontProgress GUARDED_BY(lock);
  bool stopping GUARDED_BY(lock) = false;
  platform::ConditionVariable queued;    // for the writer thread: a message to write
  platform::ConditionVariable roomMade;  // for WaitForRoom
  platform::ConditionVariable wireFree;  // for Acquire and DropAll
};

}  // namespace Windows
}  // namespace Extension
}  // namespace Orvane
