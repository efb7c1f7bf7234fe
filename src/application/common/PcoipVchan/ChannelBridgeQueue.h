// A first-in-first-out queue that counts the bytes it holds and shows, through
// a manual-reset event, whether it has room. The queue itself never refuses
// an item and never drops one: it is the producers that look at the room
// before they take in more (a pipe server before it starts reading the next
// message, the receive thread before it reads the next datagram), and wait
// while there is none. So an item that was read is always accepted, control
// items (notices, departures, answers for the peer) always pass, and memory
// stays bounded by the bound plus what the producers had in hand when the
// room ran out.
//
// A worker takes every queued item in one hold of the lock (TakeAll) and
// gives their room back (GiveBack) as it handles them: until then the taken
// items still count against the bound, so what a batch holds is bounded as
// well as what waits behind it.
//
// Every operation but HasRoom and RoomEvent runs under the queue's own lock,
// held by the caller; the room event is set and reset under that lock too, so
// it always agrees with the count.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <string>
#include <utility>

#include "platform/event.h"

// What an item costs against the bound: its bytes and a fixed charge for the
// record, so that a flood of empty items is bounded as well.
constexpr size_t kQueueItemOverheadBytes = 64;

inline size_t QueuedBytesOf(const std::string& bytes) {
  return bytes.size() + kQueueItemOverheadBytes;
}

template <typename Item>
class ChannelBridgeQueue {
 public:
  explicit ChannelBridgeQueue(size_t boundBytes)
      : bound(boundBytes), roomEvent(platform::CreateEventObject(true, true)) {}
  ~ChannelBridgeQueue() {
    if (roomEvent != nullptr) platform::CloseEventObject(roomEvent);
  }
  ChannelBridgeQueue(const ChannelBridgeQueue&) = delete;
  ChannelBridgeQueue& operator=(const ChannelBridgeQueue&) = delete;

  // False when the room event could not be created; such a queue cannot
  // hold its producers back and the bridge refuses to start with it.
  bool Whole() const { return roomEvent != nullptr; }

  void push_back(Item item) {
    const size_t charge = QueuedBytesOf(item);
    items.push_back(std::move(item));
    charges.push_back(charge);
    bytes += charge;
    UpdateRoom();
  }
  Item& front() { return items.front(); }
  // The front item may have been moved out already: what it was charged is
  // remembered apart from it.
  void pop_front() {
    bytes -= charges.front();
    charges.pop_front();
    items.pop_front();
    UpdateRoom();
  }
  // Drops what is queued; a batch a worker has taken still counts until it
  // is given back.
  void clear() {
    items.clear();
    charges.clear();
    bytes = takenBytes;
    UpdateRoom();
  }
  // Moves every queued item, in order, to the end of `batch`; their charge
  // stays counted until GiveBack. Returns that charge.
  size_t TakeAll(std::deque<Item>* batch) {
    if (batch->empty()) {
      batch->swap(items);
    } else {
      for (Item& item : items) batch->push_back(std::move(item));
      items.clear();
    }
    charges.clear();
    const size_t taken = bytes - takenBytes;
    takenBytes = bytes;
    return taken;
  }
  // Moves queued items, in order, to the end of `batch` while their charge
  // adds up to no more than `budget` (perhaps none); their charge stays
  // counted until GiveBack. Returns that charge.
  // Only items that `keep` accepts are taken; the first it refuses ends the take.
  template <typename Keep>
  size_t TakeWithin(std::deque<Item>* batch, size_t budget, Keep keep) {
    size_t taken = 0;
    while (!items.empty() && taken + charges.front() <= budget && keep(items.front())) {
      taken += charges.front();
      batch->push_back(std::move(items.front()));
      items.pop_front();
      charges.pop_front();
    }
    takenBytes += taken;
    return taken;
  }
  // Gives back the room of taken items that have been handled.
  void GiveBack(size_t charge) {
    takenBytes -= charge;
    bytes -= charge;
    UpdateRoom();
  }
  // Exchanges the contents with a plain deque (tests take a queue's items).
  void swap(std::deque<Item>& other) {
    items.swap(other);
    charges.clear();
    bytes = takenBytes;
    for (const Item& item : items) {
      charges.push_back(QueuedBytesOf(item));
      bytes += charges.back();
    }
    UpdateRoom();
  }
  bool empty() const { return items.empty(); }
  size_t size() const { return items.size(); }
  typename std::deque<Item>::const_iterator begin() const { return items.begin(); }
  typename std::deque<Item>::const_iterator end() const { return items.end(); }
  size_t Bytes() const { return bytes; }

  // Without the lock: a producer's look before it takes in more.
  bool HasRoom() const { return room.load(); }
  // Signalled while the queue holds fewer bytes than its bound.
  platform::EventHandle RoomEvent() const { return roomEvent; }

 private:
  void UpdateRoom() {
    const bool hasRoom = bytes < bound;
    if (hasRoom == room.load()) return;
    room.store(hasRoom);
    if (roomEvent == nullptr) return;
    if (hasRoom) {
      platform::SetEventObject(roomEvent);
    } else {
      platform::ResetEventObject(roomEvent);
    }
  }

  std::deque<Item> items;
  std::deque<size_t> charges;
  size_t bytes = 0;       // queued and taken, against the bound
  size_t takenBytes = 0;  // taken by the worker, not yet given back
  const size_t bound;
  std::atomic<bool> room{true};
  platform::EventHandle roomEvent;
};
