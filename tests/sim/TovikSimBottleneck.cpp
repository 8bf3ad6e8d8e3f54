// The simulator's bottleneck link: rate, drop-tail queue, delay and loss on virtual time.
#include "tests/sim/TovikSimBottleneck.h"

#include <algorithm>

namespace tovik::sim {

void TSimBottleneck::Drain(std::int64_t ANowUs) {
  while (!FInQueue.empty() && FInQueue.front().first <= ANowUs) {
    FQueueBytes -= FInQueue.front().second;
    FInQueue.pop_front();
  }
}

void TSimBottleneck::Send(TBytes APacket, TTick ANow) {
  ++FSent;
  if (FP.Loss > 0 && std::uniform_real_distribution<double>(0, 1)(FRng) < FP.Loss) {
    ++FLost;
    return;
  }
  const std::int64_t nowUs = static_cast<std::int64_t>(ANow) * 1000;
  Drain(nowUs);
  const std::size_t size = APacket.size();
  if (FQueueBytes + size > FP.QueueBytes) {
    ++FTailDrops;
    return;
  }
  const std::int64_t start = std::max(nowUs, FLinkFreeUs);
  const std::int64_t wire = static_cast<std::int64_t>(size * 8 * 1'000'000 / std::max<std::uint64_t>(FP.RateBps, 1));
  FLinkFreeUs = start + std::max<std::int64_t>(wire, 1);
  FInQueue.emplace_back(FLinkFreeUs, size);
  FQueueBytes += size;
  const std::int64_t waited = start - nowUs;
  FMaxQueueUs = std::max(FMaxQueueUs, waited);
  FSumQueueUs += waited;
  ++FQueued;
  FOnWire.emplace(FLinkFreeUs + static_cast<std::int64_t>(FP.DelayMs) * 1000, std::move(APacket));
}

std::vector<TBytes> TSimBottleneck::Receive(TTick ANow) {
  std::vector<TBytes> out;
  const std::int64_t nowUs = static_cast<std::int64_t>(ANow) * 1000;
  while (!FOnWire.empty() && FOnWire.begin()->first <= nowUs) {
    FDeliveredBytes += FOnWire.begin()->second.size();
    out.push_back(std::move(FOnWire.begin()->second));
    FOnWire.erase(FOnWire.begin());
  }
  return out;
}

TTick TSimBottleneck::NextArrival() const {
  if (FOnWire.empty()) return kNoArrival;
  return static_cast<TTick>((FOnWire.begin()->first + 999) / 1000);
}

std::size_t TSimBottleneck::QueuedBytes(TTick ANow) {
  Drain(static_cast<std::int64_t>(ANow) * 1000);
  return FQueueBytes;
}

}  // namespace tovik::sim
