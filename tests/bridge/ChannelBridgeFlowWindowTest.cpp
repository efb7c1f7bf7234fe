// Credit per channel, without threads: the windows, the records that carry
// them, and two ledgers joined by a link that loses what it is told to.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "src/application/common/PcoipVchan/ChannelBridgeFlowLedger.h"

namespace {

using flow::CreditRecord;
using flow::kInitialWindowBytes;
using flow::RecordKind;

TEST(FlowWindowTest, SenderStaysWithinAbsoluteGrantsAndLargeMessagesWaitForTheWholeWindow) {
  flow::SendWindow send;
  EXPECT_TRUE(send.MayCarry(kInitialWindowBytes));
  send.OnSent(kInitialWindowBytes - 100);
  EXPECT_TRUE(send.MayCarry(100));
  EXPECT_FALSE(send.MayCarry(101));
  // A message larger than the window waits until the whole window is open.
  EXPECT_FALSE(send.MayCarry(kInitialWindowBytes * 3));
  send.OnGrant(kInitialWindowBytes + 1000, kInitialWindowBytes);
  EXPECT_TRUE(send.MayCarry(1100));
  EXPECT_FALSE(send.MayCarry(kInitialWindowBytes * 3));
  // Grants are totals: a late, smaller one takes nothing back.
  send.OnGrant(kInitialWindowBytes, kInitialWindowBytes);
  EXPECT_EQ(send.Limit(), kInitialWindowBytes + 1000);
  send.OnGrant(send.Sent() + kInitialWindowBytes, kInitialWindowBytes);
  EXPECT_TRUE(send.MayCarry(kInitialWindowBytes * 3));
  flow::SendWindow afterSmallOnes;  // not credited back yet, and no matter
  afterSmallOnes.OnSent(flow::kWholeWindowSlackBytes);
  EXPECT_TRUE(afterSmallOnes.MayCarry(kInitialWindowBytes * 3));
  afterSmallOnes.OnSent(1);
  EXPECT_FALSE(afterSmallOnes.MayCarry(kInitialWindowBytes * 3));

  // Asks again only after waiting kAskAgainMs, and then once per period.
  send.OnBlocked(5000, 100);
  EXPECT_FALSE(send.ShouldAsk(5000 + flow::kAskAgainMs - 1));
  EXPECT_TRUE(send.ShouldAsk(5000 + flow::kAskAgainMs));
  send.OnAsked(5000 + flow::kAskAgainMs);
  EXPECT_FALSE(send.ShouldAsk(5000 + flow::kAskAgainMs + 1));
  send.OnUnblocked();
  EXPECT_FALSE(send.ShouldAsk(100000));
  // One larger than the window asks at once: only an ask brings the whole
  // window, once the application has taken everything.
  send.OnBlocked(200000, kInitialWindowBytes * 3);
  EXPECT_TRUE(send.ShouldAsk(200000));

  flow::ReceiveWindow receive;
  receive.OnArrived(kInitialWindowBytes);
  receive.OnConsumed(kInitialWindowBytes / 4 - 1);
  EXPECT_FALSE(receive.GrantDue());
  receive.OnConsumed(1);
  ASSERT_TRUE(receive.GrantDue());
  EXPECT_EQ(receive.TakeGrant(), kInitialWindowBytes / 4 + kInitialWindowBytes);
  EXPECT_FALSE(receive.GrantDue());
  EXPECT_EQ(receive.Held(), kInitialWindowBytes * 3 / 4);
  // The sender says it sent more than arrived: the rest was lost and counts
  // as taken, and it hears at once.
  receive.OnSenderTotal(kInitialWindowBytes + 5000);
  EXPECT_EQ(receive.Held(), kInitialWindowBytes * 3 / 4);
  ASSERT_TRUE(receive.GrantDue());
  EXPECT_EQ(receive.TakeGrant(), kInitialWindowBytes / 4 + 5000 + kInitialWindowBytes);

  // A sender that asked, perhaps for the whole window, hears as soon as its
  // data is all taken, however little that is.
  flow::ReceiveWindow waiting;
  waiting.OnArrived(100);
  waiting.OnSenderTotal(100);
  EXPECT_EQ(waiting.TakeGrant(), kInitialWindowBytes);
  waiting.OnConsumed(100);
  ASSERT_TRUE(waiting.GrantDue());
  EXPECT_EQ(waiting.TakeGrant(), 100 + kInitialWindowBytes);
  EXPECT_FALSE(waiting.GrantDue());

  // A window its sender fills while the application keeps up grows, to a bound.
  flow::ReceiveWindow fast;
  for (int round = 0; round < 4; ++round) {
    const int64_t used = fast.Window() - 100;
    fast.OnArrived(used);
    fast.OnConsumed(used);
    fast.TakeGrant();
  }
  EXPECT_EQ(fast.Window(), flow::kLargestWindowBytes);
  EXPECT_GT(flow::kLargestWindowBytes, kInitialWindowBytes);
}

TEST(FlowWindowTest, RecordsRoundTripAndEpochsKeepOldCountsOut) {
  std::string payload;
  flow::AppendRecord({RecordKind::kGrant, 7, -3, int64_t{1} << 40, 123}, &payload);
  payload += std::string(4, '\x09') + std::string(24, '\0');  // a kind of a later version
  flow::AppendRecord({RecordKind::kAsk, 8, 5, 99, 0}, &payload);
  payload += "xyz";  // not a whole record
  const auto records =
      flow::ReadRecords(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].kind, RecordKind::kGrant);
  EXPECT_EQ(records[0].epoch, 7u);
  EXPECT_EQ(records[0].channelId, -3);
  EXPECT_EQ(records[0].total, int64_t{1} << 40);
  EXPECT_EQ(records[0].window, 123u);
  EXPECT_EQ(records[1].kind, RecordKind::kAsk);
  EXPECT_EQ(records[1].total, 99);

  flow::SendLedger send;
  send.StartEpoch(2);
  send.OnGrant({RecordKind::kGrant, 1, 4, kInitialWindowBytes * 10, 0});
  send.OnSent(4, kInitialWindowBytes);
  send.BeginPass();
  EXPECT_FALSE(send.MayCarry(4, 1, 0)) << "a grant of another epoch counted";
  send.EndPass();

  flow::ReceiveLedger receive;
  receive.StartEpoch(2);
  const uint32_t tag = receive.OnArrived(4, 100);
  receive.StartEpoch(3);
  EXPECT_FALSE(receive.OnConsumed(4, 100, tag));
  EXPECT_EQ(receive.Held(4), 0);
  // An ask of an epoch whose start never arrived starts it here.
  EXPECT_TRUE(receive.OnAsk({RecordKind::kAsk, 9, 4, 500, 0}));
  std::string grants;
  receive.TakeGrants(&grants);
  const auto granted =
      flow::ReadRecords(reinterpret_cast<const uint8_t*>(grants.data()), grants.size());
  ASSERT_EQ(granted.size(), 1u);
  EXPECT_EQ(granted[0].epoch, 9u);
  EXPECT_EQ(granted[0].total, 500 + kInitialWindowBytes);
}

// Two ledgers and a link that loses every 7th data message and every 3rd
// credit datagram: the window never shuts for good, and the receiving end
// never holds more than the largest window plus one message.
TEST(FlowWindowTest, LossesNeverShutAWindowForGood) {
  constexpr int64_t kChannel = 11;
  constexpr int64_t kMessage = 300 * 1024;
  flow::SendLedger sender;
  flow::ReceiveLedger receiver;
  sender.StartEpoch(1);
  receiver.StartEpoch(1);
  std::deque<std::pair<int64_t, uint32_t>> held;  // what the application has yet to take
  int64_t delivered = 0;
  int dataSent = 0, creditSent = 0;
  uint64_t nowMs = 0;
  auto carry = [&](const std::string& payload, bool toSender) {
    if (payload.empty() || ++creditSent % 3 == 0) return;
    for (const CreditRecord& record :
         flow::ReadRecords(reinterpret_cast<const uint8_t*>(payload.data()), payload.size())) {
      if (toSender) {
        sender.OnGrant(record);
      } else {
        receiver.OnAsk(record);
      }
    }
  };
  for (int step = 0; step < 20000 && delivered < 64 * kInitialWindowBytes; ++step, nowMs += 50) {
    sender.BeginPass();
    if (sender.MayCarry(kChannel, kMessage, nowMs)) {
      sender.OnSent(kChannel, kMessage);
      if (++dataSent % 7 != 0) held.emplace_back(kMessage, receiver.OnArrived(kChannel, kMessage));
    }
    sender.EndPass();
    ASSERT_LE(receiver.Held(kChannel), flow::kLargestWindowBytes + kMessage);
    if (step % 2 == 0 && !held.empty()) {  // the application reads at half the pace
      receiver.OnConsumed(kChannel, held.front().first, held.front().second);
      delivered += held.front().first;
      held.pop_front();
    }
    std::string grants, asks;
    receiver.TakeGrants(&grants);
    carry(grants, true);
    sender.AppendDueAsks(nowMs, &asks);
    carry(asks, false);
  }
  EXPECT_GE(delivered, 64 * kInitialWindowBytes) << "the window shut after " << dataSent
                                                 << " messages";
}

}  // namespace
