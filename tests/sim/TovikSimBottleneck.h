// A bottleneck link for the simulator: one direction of a path with a rate (bit/s), a drop-tail queue
// in front of it, a one-way delay behind it and random loss, on virtual time.
//
// A packet sent at ANow is lost at random first (Loss), then dropped when the queue cannot take its
// bytes, else queued; it leaves the queue when the link has sent everything before it (size x 8 / rate
// after the one before, or after ANow when the queue was empty) and arrives DelayMs later. Times are
// kept in microseconds inside, so that a 1,200-byte packet at 100 Mbit/s (96 us) is not rounded away.
// The queue delay a packet meets (its departure minus its arrival at the queue) is recorded.
//
// Deterministic for a seed; everything runs on the caller's thread; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"

namespace tovik::sim {

struct TBottleneckParams {
  std::uint64_t RateBps = 100'000'000;  // bits per second through the bottleneck
  TTick DelayMs = 10;                   // one-way delay after the bottleneck
  std::size_t QueueBytes = 250'000;     // drop-tail queue in front of it
  double Loss = 0;                      // probability that a packet is lost (before the queue)
  std::uint32_t Seed = 1;
};

class TSimBottleneck {
 public:
  explicit TSimBottleneck(TBottleneckParams AParams) : FP(AParams), FRng(AParams.Seed) {}

  // Hands a packet to the link at ANow.
  void Send(TBytes APacket, TTick ANow);
  // The packets that have arrived by ANow, in arrival order.
  std::vector<TBytes> Receive(TTick ANow);
  // The tick at which the next packet arrives; kNoArrival when none is on its way.
  TTick NextArrival() const;
  static constexpr TTick kNoArrival = ~TTick(0) >> 1;

  // Bytes waiting in the queue at ANow (sent into it and not yet on the wire).
  std::size_t QueuedBytes(TTick ANow);
  std::uint64_t SentPackets() const { return FSent; }
  std::uint64_t Lost() const { return FLost; }
  std::uint64_t TailDrops() const { return FTailDrops; }
  std::uint64_t DeliveredBytes() const { return FDeliveredBytes; }
  // Queue delay in milliseconds: the largest any packet met, and the mean over packets queued.
  double MaxQueueDelayMs() const { return static_cast<double>(FMaxQueueUs) / 1000.0; }
  double MeanQueueDelayMs() const {
    return FQueued ? static_cast<double>(FSumQueueUs) / 1000.0 / static_cast<double>(FQueued) : 0;
  }
  const TBottleneckParams& Params() const { return FP; }
  // A new rate for packets sent from now on (a path whose bottleneck changes).
  void SetRate(std::uint64_t ABps) { FP.RateBps = ABps; }

 private:
  void Drain(std::int64_t ANowUs);

  TBottleneckParams FP;
  std::mt19937 FRng;
  std::int64_t FLinkFreeUs = 0;                           // when the link has sent all queued so far
  std::deque<std::pair<std::int64_t, std::size_t>> FInQueue;  // (departure us, bytes) not yet departed
  std::size_t FQueueBytes = 0;
  std::multimap<std::int64_t, TBytes> FOnWire;            // arrival us -> packet
  std::uint64_t FSent = 0, FLost = 0, FTailDrops = 0, FDeliveredBytes = 0, FQueued = 0;
  std::int64_t FMaxQueueUs = 0, FSumQueueUs = 0;
};

}  // namespace tovik::sim
