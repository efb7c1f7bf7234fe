// A batch a worker takes keeps counting against the queue's bound until its
// room is given back, and comes out in queue order.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "src/application/common/PcoipVchan/ChannelBridgeQueue.h"

TEST(ChannelBridgeQueueTest, TakenBatchKeepsOrderAndCountsUntilGivenBack) {
  const std::string item(100, 'x');
  const size_t charge = QueuedBytesOf(item);
  ChannelBridgeQueue<std::string> queue(2 * charge);
  ASSERT_TRUE(queue.Whole());
  queue.push_back("first");
  queue.push_back(item);
  queue.push_back(item + "third");
  EXPECT_FALSE(queue.HasRoom());

  std::deque<std::string> batch;
  const size_t taken = queue.TakeAll(&batch);
  EXPECT_TRUE(queue.empty());
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[0], "first");
  EXPECT_EQ(batch[2], item + "third");
  EXPECT_EQ(taken, QueuedBytesOf(std::string("first")) + charge + QueuedBytesOf(item + "third"));
  // Taken but not handled: still no room for the producers.
  EXPECT_EQ(queue.Bytes(), taken);
  EXPECT_FALSE(queue.HasRoom());

  // An item queued behind the batch, and the queue dropped while the batch is
  // out: the batch still counts, and giving it back leaves nothing owed.
  queue.push_back(item);
  queue.clear();
  EXPECT_EQ(queue.Bytes(), taken);
  queue.GiveBack(taken - charge);
  EXPECT_EQ(queue.Bytes(), charge);
  EXPECT_TRUE(queue.HasRoom());
  EXPECT_EQ(platform::WaitForEvent(queue.RoomEvent(), 0), platform::kWaitObject0);
  queue.GiveBack(charge);
  EXPECT_EQ(queue.Bytes(), 0u);

  // A second batch appended after what is still in hand keeps the order.
  batch = {"held"};
  queue.push_back("next");
  queue.TakeAll(&batch);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch.back(), "next");
}
