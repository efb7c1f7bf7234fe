// How much this end hands the host ahead of what the peer reports taken in.
//
// A host's send call takes every datagram it has room for, so a sender that
// hands it all it has keeps the link's bottleneck queue full, and every other
// application's message waits behind that queue. Between two of our ends the
// receiving end reports, in feedback datagrams, how many bytes of this end's
// messages it has read; from those reports the pacer learns the rate at which
// the link delivers and its shortest round trip, and lets this end have in
// flight (handed to the host, not yet reported) about their product, with a
// small margin. What it does not let through waits in the applications' lanes,
// where the pipe worker's turns choose who goes next.
//
// The limit follows a cycle of a few round trips: one round a quarter above
// the product (to find rate that has become free), one below it (to drain
// what that probe queued), the rest at it. Until the link is seen full, it
// doubles the product instead (a start, or a return from a long pause).
// Nothing limits before the first measurement, nor after feedback has stopped
// for a while: then this end hands the host everything, as without feedback,
// until a report comes again.
//
// A plain class with the time passed in; the plug-in keeps one under a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

class LinkPacer {
 public:
  static constexpr uint64_t kNoLimit = ~uint64_t{0};
  // The least the limit ever is, so that a link of a few hundred kbit/s or a
  // round trip of a millisecond still carries a message or two at once.
  static constexpr uint64_t kFloorBytes = 64 * 1024;
  // Beyond rate x round trip: what the receiving end may hold before it
  // reports (its reports are a few milliseconds apart), as time at the rate.
  static constexpr uint64_t kMarginUs = 6000;
  // Feedback silent this long (or four round trips, if longer) while bytes
  // are in flight: the limit is lifted until feedback comes again.
  static constexpr uint64_t kFeedbackTimeoutUs = 1000 * 1000;
  // Bytes sent this long unreported (or four shortest round trips, or two
  // recent ones, if longer) were
  // lost on the way: the peer will never count them, and the limit must not
  // either.
  static constexpr uint64_t kLossGraceUs = 200 * 1000;
  // How long the shortest round trip and the highest rate are remembered.
  static constexpr uint64_t kMinRttWindowUs = 10 * 1000 * 1000;
  static constexpr uint64_t kRateWindowUs = 3 * 1000 * 1000;
  // The pipe worker's turn: about this much of the link's time, within the
  // bounds below, so that one turn of bulk is never itself a long wait.
  static constexpr uint64_t kTurnUs = 2000;
  static constexpr size_t kLeastTurnBytes = 4 * 1024;
  static constexpr size_t kMostTurnBytes = 256 * 1024;

  // Counting starts afresh (a new epoch of this end's sending: the peer
  // counts from there too). What was learnt of the link is kept unless
  // `forgetLink` (a new opening may be a different link).
  void Restart(uint64_t nowUs, bool forgetLink);
  // This end handed the host `bytes` of its messages' datagrams.
  void OnSent(uint64_t bytes, uint64_t nowUs);
  // The peer reports `takenIn` bytes of what this end sent since the restart.
  // A report that goes back is ignored; one beyond what was sent (bytes
  // taken for lost that came after all) is believed.
  void OnFeedback(uint64_t takenIn, uint64_t nowUs);

  // Bytes that may be handed to the host now; kNoLimit when nothing limits.
  uint64_t Room(uint64_t nowUs);
  // While Room is 0: the longest the caller should wait for a report before
  // it looks again (the feedback time-out may lift the limit by then).
  uint64_t UsUntilLookAgain(uint64_t nowUs) const;
  // The bytes of one of the pipe worker's turns at the measured rate.
  size_t TurnBytes() const;

  uint64_t InFlight() const { return handed_ - lost_ - takenIn_; }
  uint64_t LostBytes() const { return lost_; }
  uint64_t RateBytesPerSecond() const { return rates_.empty() ? 0 : rates_.front().rate; }
  uint64_t MinRttUs() const { return minRttUs_; }
  // The limit as it stands (kNoLimit before the first measurement).
  uint64_t Limit() const;
  bool FeedbackStopped(uint64_t nowUs) const;

 private:
  // What was handed to the host, counted as handed (lost bytes included):
  // a record's place in what the peer counts is its end less lost_.
  struct Sent {
    uint64_t start;
    uint64_t end;  // bytes handed up to and with this record
    uint64_t atUs;
  };
  struct Report {
    uint64_t atUs;
    uint64_t takenIn;
  };
  struct RateSample {
    uint64_t atUs;
    uint64_t rate;
  };
  void TakeRttSample(uint64_t rttUs, uint64_t nowUs);
  void ForgetLost(uint64_t nowUs);
  void TakeRateSample(uint64_t nowUs);
  void AdvanceCycle(uint64_t nowUs);
  uint64_t FeedbackTimeoutUs() const;

  uint64_t handed_ = 0;
  uint64_t takenIn_ = 0;
  // Bytes written off as lost. The records that were kept when bytes were
  // written off (up to movedUpTo_) are reported early if those bytes came
  // after all, so they time nothing.
  uint64_t lost_ = 0;
  uint64_t movedUpTo_ = 0;
  // Since when bytes have been in flight without a report (0: none are).
  uint64_t waitingSinceUs_ = 0;
  uint64_t lastReportUs_ = 0;
  std::deque<Sent> sends_;
  std::deque<Report> reports_;
  // Highest rate first: a falling sequence of the window's samples.
  std::deque<RateSample> rates_;

  uint64_t minRttUs_ = 0;
  uint64_t minRttAtUs_ = 0;
  // The round trip of late, smoothed: a queue that has grown long delays
  // reports, and that is no loss.
  uint64_t smoothedRttUs_ = 0;
  // The shortest round trip seen since the remembered one began to age, to
  // take its place when it expires.
  uint64_t freshMinRttUs_ = 0;

  // The cycle of gains, and the look for a full link.
  size_t phase_ = 0;
  uint64_t phaseStartUs_ = 0;
  bool linkFull_ = false;
  bool limitedThisPhase_ = false;
  uint64_t rateAtLastGrowth_ = 0;
  int phasesWithoutGrowth_ = 0;
  uint64_t lastLimitedUs_ = 0;
};
