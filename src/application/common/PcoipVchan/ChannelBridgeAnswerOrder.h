// The order of the pipe queue, as far as the answers for the peer need it.
//
// Every item queued on the pipe queue, an application's message on its lane
// or an answer the PCoIP worker has for the peer, takes a stamp: its place in
// the order of everything queued. The rule the stamps keep:
//
//   An answer for the peer waits until every item queued before it that may
//   change the table (a connect or disconnect request, a departure) has been
//   handled.
//
// Then the answer's last look at the table, just before it is sent, sees what
// the peer will have heard by then. This class keeps, per lane, the stamps of
// the items that may change the table and are not handled yet, oldest first;
// the oldest of them all is where the answers stop.
//
// A client known to have left while its last messages are still being read
// has its departure's place reserved at once (ReserveDeparture): answers
// queued from then on wait for the departure, and the messages read after it
// share its stamp, since they were written before it.
//
// Not thread-safe: the bridge keeps it under pipeQueueLock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class AnswerOrder {
 public:
  // Later than every stamp: no item that holds answers back.
  static constexpr uint64_t kNone = ~uint64_t{0};

  // What handling an item on a lane may do to the table.
  enum class TableEffect { kNone, kMayChange, kDeparture };

  explicit AnswerOrder(size_t laneCount) : lanes(laneCount) {}

  // The stamp of an item queued on `lane` now.
  uint64_t StampLaneItem(size_t lane, TableEffect effect);
  // The stamp of an answer queued for the peer now.
  uint64_t StampAnswer() { return nextStamp++; }
  // The lane's client has gone while its last messages are still being read:
  // its departure's place is taken now. Once per departure.
  void ReserveDeparture(size_t lane);

  // Answers stamped before this may go; kNone when nothing holds them back.
  uint64_t OldestUnhandledTableChange() const;
  // The pipe worker has handled the lane's oldest `count` items that may
  // change the table.
  void TableChangesHandled(size_t lane, size_t count);

  void Clear();

 private:
  struct Lane {
    // Stamps of the items that may change the table, not handled yet.
    std::deque<uint64_t> tableChanges;
    // The stamp reserved for a departure that has not been queued yet; 0: none.
    uint64_t reservedDeparture = 0;
  };
  std::vector<Lane> lanes;
  uint64_t nextStamp = 0;
};
