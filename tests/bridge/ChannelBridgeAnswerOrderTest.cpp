// The ordering rule of the pipe queue: an answer for the peer waits until
// every item queued before it that may change the table has been handled.
#include <gtest/gtest.h>

#include "src/application/common/PcoipVchan/ChannelBridgeAnswerOrder.h"

namespace {

using Effect = AnswerOrder::TableEffect;

// Whether an answer with this stamp may be sent now.
bool MayGo(const AnswerOrder& order, uint64_t answer) {
  return answer < order.OldestUnhandledTableChange();
}

TEST(AnswerOrderTest, AnAnswerWaitsForEveryTableChangeQueuedBeforeItOnAnyLane) {
  AnswerOrder order(3);
  EXPECT_EQ(order.OldestUnhandledTableChange(), AnswerOrder::kNone);

  const uint64_t early = order.StampAnswer();
  order.StampLaneItem(0, Effect::kNone);  // data holds no answer back
  order.StampLaneItem(1, Effect::kMayChange);
  order.StampLaneItem(2, Effect::kMayChange);
  const uint64_t late = order.StampAnswer();
  order.StampLaneItem(0, Effect::kMayChange);  // queued after it: not waited for
  EXPECT_TRUE(MayGo(order, early));
  EXPECT_FALSE(MayGo(order, late));

  // Each lane's changes are handled in its own order; the answer goes once
  // both lanes have handled theirs.
  order.TableChangesHandled(1, 1);
  EXPECT_FALSE(MayGo(order, late));
  order.TableChangesHandled(2, 1);
  EXPECT_TRUE(MayGo(order, late));

  // A client known to have gone: answers queued from now on wait for its
  // departure, though its last messages and the departure itself are read
  // only later; they take the place reserved for the departure.
  order.TableChangesHandled(0, 1);
  order.ReserveDeparture(1);
  const uint64_t afterLeaving = order.StampAnswer();
  const uint64_t lastMessage = order.StampLaneItem(1, Effect::kMayChange);
  const uint64_t departure = order.StampLaneItem(1, Effect::kDeparture);
  EXPECT_LT(lastMessage, afterLeaving);
  EXPECT_EQ(departure, lastMessage);
  EXPECT_FALSE(MayGo(order, afterLeaving));
  order.TableChangesHandled(1, 2);  // the last message and the departure
  EXPECT_TRUE(MayGo(order, afterLeaving));
  EXPECT_GT(order.StampLaneItem(1, Effect::kMayChange), afterLeaving)
      << "the lane's next client stamps afresh";

  order.Clear();
  EXPECT_EQ(order.OldestUnhandledTableChange(), AnswerOrder::kNone);
}

}  // namespace
