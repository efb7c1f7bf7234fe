// What the sending end keeps in flight between two of our ends, against an
// emulated link: close to rate x round trip, never binding on a fast link,
// lifted when reports stop, and not shut by losses; and the receiving end's
// reassembly of messages that arrive in pieces, interleaved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <utility>

#include "src/application/common/PcoipVchan/PcoipVchanPacer.h"
#include "src/application/common/PcoipVchan/PcoipVchanPieceReassembler.h"

namespace {

// A bottleneck of `rate` bytes per second and a one-way delay, fed by a
// sender that hands it 16 KiB whenever the pacer has room; the far end
// reports what it took in every 4 ms, and its reports take the delay back.
struct EmulatedLink {
  EmulatedLink(uint64_t bytesPerSecond, uint64_t oneWayUs) : rate(bytesPerSecond), delayUs(oneWayUs) {}
  uint64_t rate;
  uint64_t delayUs;
  // Every `loseEvery`th send never arrives (0: none is lost).
  uint64_t loseEvery = 0;
  // The most the sending end can hand on per second (0: no bound).
  uint64_t senderRate = 0;
  bool reportsStopped = false;

  uint64_t nowUs = 0;
  uint64_t wireFreeUs = 0;
  uint64_t sends = 0;
  uint64_t takenIn = 0;
  uint64_t lastReportUs = 0;
  uint64_t longestQueueUs = 0;
  bool limitBound = false;
  std::deque<std::pair<uint64_t, uint64_t>> arriving;  // at, bytes
  std::deque<std::pair<uint64_t, uint64_t>> reports;   // at, takenIn

  void Run(LinkPacer& pacer, uint64_t untilUs) {
    for (; nowUs < untilUs; nowUs += 250) {
      while (!reports.empty() && reports.front().first <= nowUs) {
        pacer.OnFeedback(reports.front().second, nowUs);
        reports.pop_front();
      }
      // The host takes no more while its queue holds 80 ms.
      uint64_t handed = 0;
      for (uint64_t room = pacer.Room(nowUs);
           room != 0 && wireFreeUs < nowUs + 80000 && (senderRate == 0 || handed < senderRate / 4000);
           room = pacer.Room(nowUs)) {
        constexpr uint64_t kChunk = 16 * 1024;
        pacer.OnSent(kChunk, nowUs);
        handed += kChunk;
        wireFreeUs = std::max(wireFreeUs, nowUs);
        longestQueueUs = std::max(longestQueueUs, wireFreeUs - nowUs);
        wireFreeUs += kChunk * 1000000 / rate;
        if (loseEvery == 0 || ++sends % loseEvery != 0) arriving.emplace_back(wireFreeUs + delayUs, kChunk);
      }
      limitBound = limitBound || pacer.Room(nowUs) == 0;
      while (!arriving.empty() && arriving.front().first <= nowUs) {
        takenIn += arriving.front().second;
        arriving.pop_front();
      }
      if (!reportsStopped && nowUs - lastReportUs >= 4000) {
        reports.emplace_back(nowUs + delayUs, takenIn);
        lastReportUs = nowUs;
      }
    }
  }
};

TEST(PacerTest, KeepsTheLinksQueueShortAtItsRateAndNeverStallsForGood) {
  // 50 Mbit/s, 40 ms round trip.
  LinkPacer pacer;
  pacer.Restart(0, true);
  EXPECT_EQ(pacer.Room(0), LinkPacer::kNoLimit) << "nothing is known of the link yet";
  EmulatedLink link(6250000, 20000);
  link.Run(pacer, 3000000);
  const uint64_t takenAtThree = link.takenIn;
  link.longestQueueUs = 0;
  link.Run(pacer, 6000000);
  const double rate = static_cast<double>(link.takenIn - takenAtThree) / 3.0;
  EXPECT_GE(rate, 0.9 * 6250000) << "the limit starves the link";
  EXPECT_LE(link.longestQueueUs, 25000u) << "the link's queue stays long";
  EXPECT_NEAR(static_cast<double>(pacer.MinRttUs()), 40000, 5000);
  EXPECT_NEAR(static_cast<double>(pacer.RateBytesPerSecond()), 6250000, 625000);
  EXPECT_EQ(pacer.TurnBytes(), LinkPacer::kLeastTurnBytes) << "a turn at this rate is 2 ms";

  // Reports stop: the limit holds for a while, then is lifted, and comes
  // back once they do.
  link.reportsStopped = true;
  link.Run(pacer, 6500000);
  EXPECT_EQ(pacer.Room(link.nowUs), 0u);
  link.Run(pacer, 7200000);
  EXPECT_EQ(pacer.Room(link.nowUs), LinkPacer::kNoLimit) << "the sender stalls for good";
  link.reportsStopped = false;
  link.Run(pacer, 8000000);
  EXPECT_NE(pacer.Room(link.nowUs), LinkPacer::kNoLimit);

  // One send in 40 lost: the lost bytes are written off, and the link stays
  // busy rather than the limit filling up with them.
  link.loseEvery = 40;
  const uint64_t takenAtEight = link.takenIn;
  link.Run(pacer, 14000000);
  EXPECT_GE(static_cast<double>(link.takenIn - takenAtEight) / 6.0, 0.8 * 6250000);
  EXPECT_GT(pacer.LostBytes(), 0u);
  EXPECT_LT(pacer.InFlight(), 2 * 250000u);
}

TEST(PacerTest, OnALinkFasterThanThePlugInTheLimitNeverBinds) {
  // 8 Gbit/s and 50 us each way, as between two processes on one machine,
  // and an end that hands on 300 MB/s.
  LinkPacer pacer;
  pacer.Restart(0, true);
  EmulatedLink link(1000000000, 50);
  link.senderRate = 300000000;
  link.Run(pacer, 300000);
  link.limitBound = false;
  link.Run(pacer, 600000);
  EXPECT_FALSE(link.limitBound);
  EXPECT_EQ(pacer.TurnBytes(), LinkPacer::kMostTurnBytes);
}

// ---- Messages in pieces ----

VchanDatagram Piece(uint32_t number, uint32_t sequence, const std::string& bytes, bool last) {
  VchanDatagram dgram{};
  dgram.marker = kPieceMarker;
  dgram.sequence = sequence;
  dgram.payload_length = static_cast<uint32_t>(bytes.size());
  dgram.last_fragment = PieceTag(number, last);
  std::memcpy(dgram.payload, bytes.data(), bytes.size());
  return dgram;
}

uint32_t LengthOf(const VchanDatagram& dgram) { return kDatagramHeaderSize + dgram.payload_length; }

TEST(PieceReassemblerTest, InterleavedMessagesEachWholeOrNotAtAllWithinTheirBounds) {
  PieceReassembler pieces("test");
  std::string message;
  auto feed = [&](const VchanDatagram& dgram) {
    message.clear();
    return pieces.OnDatagram(dgram, LengthOf(dgram), 0, &message);
  };
  // Three messages interleaved; the second loses a piece and goes alone.
  EXPECT_FALSE(feed(Piece(7, 1, "a1", false)));
  EXPECT_FALSE(feed(Piece(8, 1, "b1", false)));
  EXPECT_FALSE(feed(Piece(9, 1, "c1", false)));
  EXPECT_FALSE(feed(Piece(7, 2, "a2", false)));
  EXPECT_FALSE(feed(Piece(8, 3, "b3", false)));  // b2 never came
  EXPECT_TRUE(feed(Piece(9, 2, "c2", true)));
  EXPECT_EQ(message, "c1c2");
  EXPECT_FALSE(feed(Piece(8, 4, "b4", true)));
  EXPECT_TRUE(feed(Piece(7, 3, "a3", true)));
  EXPECT_EQ(message, "a1a2a3");
  EXPECT_EQ(pieces.MessagesInProgress(), 0u);
  EXPECT_EQ(pieces.BytesInProgress(), 0u);

  // A number that begins again drops what it had; the rest of a message
  // whose beginning never came is let go.
  EXPECT_FALSE(feed(Piece(3, 1, "old", false)));
  EXPECT_FALSE(feed(Piece(3, 1, "new", false)));
  EXPECT_TRUE(feed(Piece(3, 2, "!", true)));
  EXPECT_EQ(message, "new!");
  EXPECT_FALSE(feed(Piece(4, 5, "tail", false)));
  EXPECT_FALSE(feed(Piece(4, 6, "end", true)));
  EXPECT_EQ(pieces.MessagesInProgress(), 0u);

  // Beyond the number at once, the one that waited longest is dropped; the
  // rest of it drops no other.
  for (uint32_t n = 100; n < 100 + PieceReassembler::kMostMessages + 1; ++n) {
    EXPECT_FALSE(feed(Piece(n, 1, "x", false)));
  }
  EXPECT_EQ(pieces.MessagesInProgress(), PieceReassembler::kMostMessages);
  EXPECT_FALSE(feed(Piece(100, 2, "y", true)));
  for (uint32_t n = 101; n < 100 + PieceReassembler::kMostMessages + 1; ++n) {
    EXPECT_TRUE(feed(Piece(n, 2, "y", true))) << n;
    EXPECT_EQ(message, "xy");
  }

  // A message never ended holds at most the largest message's bytes.
  pieces.Clear();
  const std::string full(kDatagramPayloadCapacity, 'z');
  uint32_t sequence = 1;
  for (uint64_t bytes = 0; bytes <= kMaxReassembledMessage; bytes += full.size()) {
    feed(Piece(55, sequence++, full, false));
  }
  EXPECT_EQ(pieces.BytesInProgress(), 0u);
  EXPECT_FALSE(feed(Piece(55, sequence, "end", true)));

  // A piece that claims more than was read is dropped with its message.
  EXPECT_FALSE(feed(Piece(60, 1, "p", false)));
  VchanDatagram bad = Piece(60, 2, "q", true);
  EXPECT_FALSE(pieces.OnDatagram(bad, kDatagramHeaderSize, 0, &message));
  EXPECT_FALSE(feed(Piece(60, 3, "r", true)));
}

}  // namespace
