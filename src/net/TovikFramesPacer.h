// Rate control for the session transport: a round-trip estimator for resend timers and a pacer that
// fills the path without building a queue at its bottleneck.
//
// TRttEstimator keeps the smoothed round trip, its variance and the minimum, and derives the resend
// time-out from them (smoothed + 4 x variance, within a floor and a ceiling, doubled per time-out in a
// row).
//
// TRatePacer estimates the bottleneck from delivery-rate samples, much like BBR: each packet sent is
// stamped with what had been delivered so far; when the peer reports the packet delivered, the bytes
// delivered since its stamp over the time since then is one rate sample. The bottleneck estimate is
// the largest sample of the last ten round trips, the round trip the smallest of the last ten seconds.
// The pacer sends at gain x bottleneck (2.89 while it starts up and the estimate still grows, then a
// drain phase at the inverse, then a cycle of 1.25, 0.75 and six rounds of 1) and holds the bytes in
// flight to two bottleneck-delay products, so that a slow link gets fewer packets, not a longer queue.
//
// A sender is application-limited when it has nothing to send: a still screen, or a chat line now and
// then. What it sends then, up to the delivery of what was in flight at that moment, is delivered as
// fast as it is sent, not as fast as the link could carry it: such samples may raise the estimate but
// never lower it, and rounds without any other sample do not age it. After ten rounds or more
// without a sample taken, the first sample of the busy sender is the estimate alone, so that a link
// that shrank meanwhile is noticed within a round trip or two. A sender held back by the window, the pacing rate or a limit of
// its own (the frame sender's frames in flight) is not application-limited. Sending again from such a
// spell with nothing in flight restarts the delivery clock, so that the quiet time before is not
// taken for a slow link, skips a round that would pace below the estimate, and holds the bytes in
// flight to one bottleneck-delay product until the first sample of the busy sender: a link that
// shrank meanwhile then gets one round of the old rate, not two products' worth, into its queue.
//
// Neither reads a clock or does I/O: times come in as ticks (milliseconds). Not thread-safe: the owner
// calls every method from one thread (or under its own lock).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/TovikClock.h"

namespace tovik {

inline constexpr TTick kRtoFloorMs = 40;      // no resend sooner than this after a send
inline constexpr TTick kRtoCeilingMs = 2000;  // nor later than this
inline constexpr TTick kRtoInitialMs = 300;   // before the first sample (the fixed resend time of old)

class TRttEstimator {
 public:
  // A round trip measured on a packet sent once (never on a resent one). Samples of 0 count as 1 ms.
  void Sample(TTick ARttMs, TTick ANow);
  // The resend time-out: kRtoInitialMs before the first sample, else smoothed + max(10, 4 x variance),
  // doubled per back-off, within kRtoFloorMs..kRtoCeilingMs.
  TTick Rto() const;
  // A time-out fired: the next one waits twice as long (up to the ceiling) until a new sample.
  void BackOff();

  bool HasSample() const { return FHas; }
  // Smoothed round trip in microseconds-precision milliseconds (integer ms, rounded down).
  TTick Smoothed() const { return FSrttUs / 1000; }
  // The smallest round trip of the last ten seconds; 0 before the first sample.
  TTick Min() const { return FMin; }

 private:
  bool FHas = false;
  std::int64_t FSrttUs = 0;
  std::int64_t FVarUs = 0;
  TTick FMin = 0;
  TTick FMinAt = 0;
  int FBackOff = 0;
};

class TRatePacer {
 public:
  // What a sent packet carries until it is reported delivered.
  struct TStamp {
    TTick Sent = 0;
    std::uint64_t Delivered = 0;    // bytes delivered when it was sent
    TTick DeliveredAt = 0;          // when that count last grew
    std::uint64_t SentBefore = 0;   // bytes sent before it
    std::uint32_t Bytes = 0;
    bool Resent = false;            // a repeat: no round-trip sample from it
    bool AppLimited = false;        // sent while the sender was application-limited
  };

  enum class TPhase { Startup, Drain, ProbeBw };

  // AInitialRate: bytes per second before the first sample; AMinWindow: the fewest bytes in flight
  // allowed, whatever the estimate says.
  explicit TRatePacer(std::uint64_t AInitialRate = 4'800'000, std::uint64_t AMinWindow = 40'000)
      : FInitialRate(AInitialRate), FMinWindow(AMinWindow) {}

  // Bytes the pacer lets go at ANow (pacing credit and room in the window). Credit accrues between
  // calls at the pacing rate and is capped at 20 ms worth (at least 16 packets of 1.2 KB).
  std::uint64_t Allowance(TTick ANow, std::uint64_t AInFlight);
  // A packet of ABytes leaves at ANow; returns its stamp.
  TStamp OnSend(std::uint32_t ABytes, bool AResent, TTick ANow);
  // The peer reports delivered, at ANow, ANewBytes more bytes; AStamp is the stamp of the latest
  // packet that report covers (it gives the rate sample and, unless resent, the round trip).
  void OnDelivered(const TStamp& AStamp, std::uint64_t ANewBytes, TTick ANow);
  // The sender has nothing more to send now, with AInFlight bytes in flight: what it sends until those
  // are delivered is application-limited. The owner calls it only when nothing but the lack of data
  // holds it back (not the window, the pacing credit or a limit of its own).
  void OnAppLimited(std::uint64_t AInFlight);
  bool AppLimited() const { return FAppLimitedUntil != 0; }

  // Bytes per second now allowed, and the estimate of the bottleneck (0 before any sample).
  std::uint64_t PacingRate() const;
  std::uint64_t Bottleneck() const { return FBtlBw; }
  // Bottleneck-delay product (the initial rate x 20 ms before samples).
  std::uint64_t Bdp() const;
  // The most bytes in flight allowed: 2 x Bdp, at least the minimum window; 1 x Bdp from sending
  // again after an application-limited spell until a sample of the busy sender confirms the estimate.
  std::uint64_t Window() const;
  TPhase Phase() const { return FPhase; }
  const TRttEstimator& Rtt() const { return FRtt; }
  TRttEstimator& Rtt() { return FRtt; }
  std::uint64_t DeliveredBytes() const { return FDelivered; }
  std::uint64_t SentBytes() const { return FSent; }

 private:
  double Gain() const;

  std::uint64_t FInitialRate;
  std::uint64_t FMinWindow;
  TRttEstimator FRtt;
  std::uint64_t FDelivered = 0;
  TTick FDeliveredAt = 0;
  std::uint64_t FSent = 0;
  void TakeRate(std::uint64_t ARate);

  // Largest rate sample per round trip for the ten rounds up to FMaxRound, the latest round with a
  // sample taken; the slots of the rounds after it are cleared when the next sample is taken.
  std::array<std::uint64_t, 10> FRoundMax{};
  std::uint64_t FMaxRound = 0;
  std::uint64_t FRound = 0;
  std::uint64_t FNextRoundDelivered = 0;
  std::uint64_t FBtlBw = 0;
  TPhase FPhase = TPhase::Startup;
  std::uint64_t FFullBw = 0;
  int FFullBwRounds = 0;
  int FCycle = 0;
  TTick FCycleAt = 0;
  std::uint64_t FInFlightSeen = 0;   // as the latest Allowance saw it, plus what was sent since
  std::uint64_t FAppLimitedUntil = 0;  // application-limited until more than this is delivered (0: not)
  bool FRestarted = false;             // sending again after such a spell, no busy sample since
  double FCredit = 0;
  TTick FCreditAt = 0;
};

}  // namespace tovik
