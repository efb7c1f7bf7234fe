#include "src/application/common/PcoipVchan/PcoipVchanPacer.h"

#include <algorithm>

namespace {

// The cycle of gains once the link has been seen full: probe, drain, cruise.
constexpr double kCycleGains[] = {1.25, 0.85, 1, 1, 1, 1, 1, 1};
constexpr size_t kCyclePhases = sizeof kCycleGains / sizeof kCycleGains[0];
// Until then: twice the product, so that the limit catches up with a rate
// that grows within a few round trips.
constexpr double kStartGain = 2.0;
// A phase lasts a round trip, but never less than this.
constexpr uint64_t kLeastPhaseUs = 10 * 1000;
// The link counts as full once three phases that were held at the limit
// brought less than a quarter more rate.
constexpr int kPhasesToCallFull = 3;
// Not held at the limit for this long: the rate seen since may be only what
// the applications had to send, so the next bulk starts with the start gain.
constexpr uint64_t kPauseUs = 1000 * 1000;
// A rate sample spans at least a round trip and never less than this, so
// that a burst of reports does not read as a burst of rate.
constexpr uint64_t kLeastRateSpanUs = 4 * 1000;
// Records kept of what was sent; sends closer together than this share one.
constexpr size_t kMostSendRecords = 16384;
constexpr uint64_t kSendRecordUs = 250;
constexpr uint64_t kSendRecordBytes = 16 * 1024;
constexpr size_t kMostReports = 4096;

uint64_t AtRate(uint64_t bytesPerSecond, double us) {
  return static_cast<uint64_t>(static_cast<double>(bytesPerSecond) * us / 1e6);
}

}  // namespace

void LinkPacer::Restart(uint64_t nowUs, bool forgetLink) {
  handed_ = takenIn_ = lost_ = movedUpTo_ = 0;
  waitingSinceUs_ = 0;
  lastReportUs_ = nowUs;
  sends_.clear();
  reports_.clear();
  if (!forgetLink) return;
  rates_.clear();
  minRttUs_ = minRttAtUs_ = freshMinRttUs_ = smoothedRttUs_ = 0;
  phase_ = 0;
  phaseStartUs_ = nowUs;
  linkFull_ = limitedThisPhase_ = false;
  rateAtLastGrowth_ = 0;
  phasesWithoutGrowth_ = 0;
  lastLimitedUs_ = 0;
}

void LinkPacer::OnSent(uint64_t bytes, uint64_t nowUs) {
  if (bytes == 0) return;
  const bool afterPause = InFlight() == 0;
  if (afterPause) waitingSinceUs_ = nowUs;
  const uint64_t from = handed_;
  handed_ += bytes;
  // A record says when its last byte went: the round trip is timed from
  // there. Sends close together share one, up to a size; the first after a
  // pause has its own, as it alone may find the link's queue empty.
  if (!afterPause && !sends_.empty() && nowUs - sends_.back().atUs < kSendRecordUs &&
      sends_.back().end - sends_.back().start < kSendRecordBytes) {
    sends_.back().end = handed_;
    sends_.back().atUs = nowUs;
    return;
  }
  sends_.push_back(Sent{from, handed_, nowUs});
  if (sends_.size() > kMostSendRecords) sends_.pop_front();
}

void LinkPacer::OnFeedback(uint64_t takenIn, uint64_t nowUs) {
  if (takenIn < takenIn_) return;
  // Never more than was handed on; beyond what was handed on less what was
  // written off, some of that came after all.
  takenIn = std::min(takenIn, handed_);
  if (takenIn > handed_ - lost_) lost_ = handed_ - takenIn;
  lastReportUs_ = nowUs;
  if (takenIn > takenIn_) waitingSinceUs_ = nowUs;
  takenIn_ = takenIn;
  bool covered = false;
  uint64_t sentAtUs = 0;
  while (!sends_.empty() && sends_.front().end - lost_ <= takenIn) {
    covered = sends_.front().end > movedUpTo_;
    sentAtUs = sends_.front().atUs;
    sends_.pop_front();
  }
  if (covered) TakeRttSample(std::max<uint64_t>(nowUs - sentAtUs, 1), nowUs);
  reports_.push_back(Report{nowUs, takenIn});
  if (reports_.size() > kMostReports) reports_.pop_front();
  TakeRateSample(nowUs);
  AdvanceCycle(nowUs);
}

void LinkPacer::TakeRttSample(uint64_t rttUs, uint64_t nowUs) {
  smoothedRttUs_ = smoothedRttUs_ == 0 ? rttUs : (7 * smoothedRttUs_ + rttUs) / 8;
  if (minRttUs_ == 0 || rttUs <= minRttUs_) {
    minRttUs_ = rttUs;
    minRttAtUs_ = nowUs;
    freshMinRttUs_ = 0;
    return;
  }
  if (freshMinRttUs_ == 0 || rttUs < freshMinRttUs_) freshMinRttUs_ = rttUs;
  // The shortest round trip has aged: the link may have changed, and the
  // shortest seen since stands in for it.
  if (nowUs - minRttAtUs_ > kMinRttWindowUs) {
    minRttUs_ = freshMinRttUs_;
    minRttAtUs_ = nowUs;
    freshMinRttUs_ = 0;
  }
}

void LinkPacer::TakeRateSample(uint64_t nowUs) {
  const uint64_t span = std::max(minRttUs_, kLeastRateSpanUs);
  // The oldest report kept is the newest one at least a span old.
  while (reports_.size() >= 2 && nowUs - reports_[1].atUs >= span) reports_.pop_front();
  const Report& from = reports_.front();
  if (nowUs - from.atUs < span) return;
  const uint64_t rate = (takenIn_ - from.takenIn) * 1000000 / (nowUs - from.atUs);
  while (!rates_.empty() && rates_.back().rate <= rate) rates_.pop_back();
  rates_.push_back(RateSample{nowUs, rate});
  while (nowUs - rates_.front().atUs > kRateWindowUs) rates_.pop_front();
}

void LinkPacer::AdvanceCycle(uint64_t nowUs) {
  if (nowUs - phaseStartUs_ < std::max(minRttUs_, kLeastPhaseUs)) return;
  phaseStartUs_ = nowUs;
  const uint64_t rate = RateBytesPerSecond();
  if (linkFull_) {
    phase_ = (phase_ + 1) % kCyclePhases;
    if (lastLimitedUs_ != 0 && nowUs - lastLimitedUs_ > kPauseUs) {
      linkFull_ = false;
      rateAtLastGrowth_ = 0;
      phasesWithoutGrowth_ = 0;
    }
  } else if (limitedThisPhase_) {
    if (rate >= rateAtLastGrowth_ + rateAtLastGrowth_ / 4 && rate > 0) {
      rateAtLastGrowth_ = rate;
      phasesWithoutGrowth_ = 0;
    } else if (++phasesWithoutGrowth_ >= kPhasesToCallFull) {
      linkFull_ = true;
      phase_ = 2;  // cruise first: what the start gain queued drains by itself
    }
  }
  limitedThisPhase_ = false;
}

uint64_t LinkPacer::Limit() const {
  const uint64_t rate = RateBytesPerSecond();
  if (rate == 0 || minRttUs_ == 0) return kNoLimit;
  const double gain = linkFull_ ? kCycleGains[phase_] : kStartGain;
  const uint64_t limit = AtRate(rate, gain * static_cast<double>(minRttUs_) + kMarginUs);
  return std::max(limit, kFloorBytes);
}

uint64_t LinkPacer::FeedbackTimeoutUs() const {
  return std::max(kFeedbackTimeoutUs, 4 * minRttUs_);
}

bool LinkPacer::FeedbackStopped(uint64_t nowUs) const {
  if (InFlight() == 0) return false;
  return nowUs - std::max(waitingSinceUs_, lastReportUs_) > FeedbackTimeoutUs();
}

void LinkPacer::ForgetLost(uint64_t nowUs) {
  if (minRttUs_ == 0) return;
  const uint64_t lossAfterUs =
      std::max({4 * minRttUs_, 2 * smoothedRttUs_, minRttUs_ + kLossGraceUs});
  while (!sends_.empty() && nowUs - sends_.front().atUs > lossAfterUs) {
    // Unreported so long after it went: what of it the peer has not
    // reported never reached it.
    const uint64_t place = sends_.front().end - lost_;
    sends_.pop_front();
    if (place <= takenIn_) continue;
    lost_ += place - takenIn_;
    movedUpTo_ = handed_;
  }
}

uint64_t LinkPacer::Room(uint64_t nowUs) {
  ForgetLost(nowUs);
  const uint64_t limit = Limit();
  if (limit == kNoLimit || FeedbackStopped(nowUs)) return kNoLimit;
  if (InFlight() >= limit) {
    limitedThisPhase_ = true;
    lastLimitedUs_ = nowUs;
    return 0;
  }
  return limit - InFlight();
}

uint64_t LinkPacer::UsUntilLookAgain(uint64_t nowUs) const {
  const uint64_t due = std::max(waitingSinceUs_, lastReportUs_) + FeedbackTimeoutUs() + 1;
  return due > nowUs ? due - nowUs : 1;
}

size_t LinkPacer::TurnBytes() const {
  const uint64_t rate = RateBytesPerSecond();
  if (rate == 0) return kMostTurnBytes;
  return static_cast<size_t>(
      std::min<uint64_t>(std::max<uint64_t>(AtRate(rate, kTurnUs), kLeastTurnBytes), kMostTurnBytes));
}
