// Rate control for the session transport: round-trip estimator and delivery-rate pacer.
#include "net/TovikFramesPacer.h"

#include <algorithm>

namespace tovik {

namespace {

constexpr double kStartupGain = 2.885;  // doubles the sending rate each round trip
constexpr std::array<double, 8> kCycleGains{1.25, 0.75, 1, 1, 1, 1, 1, 1};
constexpr TTick kMinRttWindowMs = 10'000;
constexpr std::uint64_t kPacketBytes = 1200;

}  // namespace

// ---------------------------------------------------------------------------------------------------
// TRttEstimator

void TRttEstimator::Sample(TTick ARttMs, TTick ANow) {
  const TTick rtt = std::max<TTick>(ARttMs, 1);
  const std::int64_t us = static_cast<std::int64_t>(rtt) * 1000;
  if (!FHas) {
    FSrttUs = us;
    FVarUs = us / 2;
    FHas = true;
  } else {
    const std::int64_t err = us > FSrttUs ? us - FSrttUs : FSrttUs - us;
    FVarUs += (err - FVarUs) / 4;
    FSrttUs += (us - FSrttUs) / 8;
  }
  if (FMin == 0 || rtt <= FMin || ANow - FMinAt > kMinRttWindowMs) {
    FMin = rtt;
    FMinAt = ANow;
  }
  FBackOff = 0;
}

TTick TRttEstimator::Rto() const {
  TTick rto = kRtoInitialMs;
  if (FHas) rto = static_cast<TTick>((FSrttUs + std::max<std::int64_t>(10'000, 4 * FVarUs)) / 1000);
  rto = std::clamp(rto, kRtoFloorMs, kRtoCeilingMs);
  for (int i = 0; i < FBackOff && rto < kRtoCeilingMs; ++i) rto *= 2;
  return std::min(rto, kRtoCeilingMs);
}

void TRttEstimator::BackOff() {
  if (FBackOff < 8) ++FBackOff;
}

// ---------------------------------------------------------------------------------------------------
// TRatePacer

double TRatePacer::Gain() const {
  switch (FPhase) {
    case TPhase::Startup: return kStartupGain;
    case TPhase::Drain: return 1.0 / kStartupGain;
    case TPhase::ProbeBw: return kCycleGains[static_cast<std::size_t>(FCycle)];
  }
  return 1;
}

std::uint64_t TRatePacer::PacingRate() const {
  const std::uint64_t base = FBtlBw ? FBtlBw : FInitialRate;
  return static_cast<std::uint64_t>(static_cast<double>(base) * Gain());
}

std::uint64_t TRatePacer::Bdp() const {
  const TTick rtt = FRtt.Min() ? FRtt.Min() : 20;
  const std::uint64_t rate = FBtlBw ? FBtlBw : FInitialRate;
  return rate * static_cast<std::uint64_t>(rtt) / 1000;
}

std::uint64_t TRatePacer::Window() const {
  const std::uint64_t w = FRestarted ? Bdp() : Bdp() * 2;
  return std::max(w, FMinWindow);
}

std::uint64_t TRatePacer::Allowance(TTick ANow, std::uint64_t AInFlight) {
  FInFlightSeen = AInFlight;
  // Sending again after a quiet spell of an application-limited sender: not in a round that drains
  // below the estimate.
  if (AInFlight == 0 && FAppLimitedUntil != 0 && FPhase == TPhase::ProbeBw &&
      kCycleGains[static_cast<std::size_t>(FCycle)] < 1) {
    FCycle = (FCycle + 1) % static_cast<int>(kCycleGains.size());
    FCycleAt = ANow;
  }
  if (FPhase == TPhase::Drain && AInFlight <= Bdp()) {
    FPhase = TPhase::ProbeBw;
    FCycle = 2;  // start in a neutral round, not with a probe right after draining
    FCycleAt = ANow;
  }
  if (FPhase == TPhase::ProbeBw) {
    const TTick round = std::max<TTick>(FRtt.Min(), 10);
    if (ANow - FCycleAt >= round) {
      FCycle = (FCycle + 1) % static_cast<int>(kCycleGains.size());
      FCycleAt = ANow;
    }
  }
  const double rate = static_cast<double>(PacingRate());
  const double cap = std::max(rate * 0.020, 16.0 * kPacketBytes);
  if (FCreditAt == 0) {
    FCredit = cap;
  } else if (ANow > FCreditAt) {
    FCredit += rate * static_cast<double>(ANow - FCreditAt) / 1000.0;
  }
  FCreditAt = ANow;
  FCredit = std::min(FCredit, cap);
  const std::uint64_t window = Window();
  const std::uint64_t room = AInFlight >= window ? 0 : window - AInFlight;
  const std::uint64_t credit = FCredit > 0 ? static_cast<std::uint64_t>(FCredit) : 0;
  return std::min(credit, room);
}

TRatePacer::TStamp TRatePacer::OnSend(std::uint32_t ABytes, bool AResent, TTick ANow) {
  // Nothing in flight after an application-limited spell: the delivery clock starts now, or the quiet
  // time before would count as time the link took; and the window stays at one bottleneck-delay
  // product until the link confirms the estimate.
  if (FDeliveredAt == 0 || (FInFlightSeen == 0 && FAppLimitedUntil != 0)) {
    FDeliveredAt = ANow;
    if (FBtlBw) FRestarted = true;
  }
  FInFlightSeen += ABytes;
  TStamp s;
  s.Sent = ANow;
  s.Delivered = FDelivered;
  s.DeliveredAt = FDeliveredAt;
  s.SentBefore = FSent;
  s.Bytes = ABytes;
  s.Resent = AResent;
  s.AppLimited = FAppLimitedUntil != 0;
  FSent += ABytes;
  FCredit -= ABytes;
  return s;
}

void TRatePacer::OnAppLimited(std::uint64_t AInFlight) {
  FAppLimitedUntil = std::max<std::uint64_t>(FDelivered + AInFlight, 1);
}

void TRatePacer::OnDelivered(const TStamp& AStamp, std::uint64_t ANewBytes, TTick ANow) {
  if (ANow < AStamp.Sent) return;
  FDelivered += ANewBytes;
  FDeliveredAt = ANow;
  if (FAppLimitedUntil != 0 && FDelivered > FAppLimitedUntil) FAppLimitedUntil = 0;
  if (!AStamp.Resent) FRtt.Sample(ANow - AStamp.Sent, ANow);

  // One round ends when a packet sent after the previous round's end is delivered. A round of an
  // application-limited sender says nothing about whether the estimate still grows.
  if (AStamp.Delivered >= FNextRoundDelivered) {
    FNextRoundDelivered = FDelivered;
    ++FRound;
    if (FPhase == TPhase::Startup && FBtlBw > 0 && !AStamp.AppLimited) {
      if (FBtlBw >= FFullBw + FFullBw / 4) {
        FFullBw = FBtlBw;
        FFullBwRounds = 0;
      } else if (++FFullBwRounds >= 3) {
        FPhase = TPhase::Drain;
      }
    }
  }

  const TTick interval = std::max<TTick>(ANow - AStamp.DeliveredAt, std::max<TTick>(FRtt.Min(), 1));
  if (FDelivered <= AStamp.Delivered) return;
  const std::uint64_t rate = (FDelivered - AStamp.Delivered) * 1000 / static_cast<std::uint64_t>(interval);
  if (AStamp.AppLimited && rate < FBtlBw) return;  // the sender, not the link, set this pace
  if (!AStamp.AppLimited) FRestarted = false;
  TakeRate(rate);
}

void TRatePacer::TakeRate(std::uint64_t ARate) {
  // The rounds since the latest sample leave the window now: after a quiet spell of ten rounds or
  // more, this sample alone is the estimate.
  const std::uint64_t size = FRoundMax.size();
  if (FRound - FMaxRound >= size) {
    FRoundMax.fill(0);
  } else {
    for (std::uint64_t r = FMaxRound + 1; r <= FRound; ++r) FRoundMax[r % size] = 0;
  }
  FMaxRound = FRound;
  std::uint64_t& slot = FRoundMax[FRound % size];
  slot = std::max(slot, ARate);
  FBtlBw = *std::max_element(FRoundMax.begin(), FRoundMax.end());
}

}  // namespace tovik
