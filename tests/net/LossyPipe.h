// A one-way packet pipe for tests and benchmarks under a manual clock: each packet sent is delayed,
// and may be lost, duplicated or overtaken by later ones, all decided by a seeded generator so that a
// run repeats exactly.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"

namespace tovik::test {

struct TPipeConfig {
  TTick DelayMs = 10;       // base one-way delay
  TTick JitterMs = 0;       // extra random delay 0..JitterMs; packets overtake each other within it
  double Loss = 0;          // probability that a packet is lost
  double Duplicate = 0;     // probability that a packet arrives twice (the copy with its own delay)
  std::uint64_t Seed = 1;
};

class TLossyPipe {
 public:
  explicit TLossyPipe(TPipeConfig cfg) : FCfg(cfg), FRng(cfg.Seed) {}

  // Sends a packet at the current tick.
  void Send(TBytes packet) {
    ++FSent;
    const int copies = Chance(FCfg.Duplicate) ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
      if (Chance(FCfg.Loss)) {
        ++FLost;
        continue;
      }
      TTick due = TickMs() + FCfg.DelayMs;
      if (FCfg.JitterMs > 0) due += std::uniform_int_distribution<TTick>(0, FCfg.JitterMs)(FRng);
      if (i + 1 < copies)
        FQueue.emplace(std::make_pair(due, FOrder++), packet);
      else
        FQueue.emplace(std::make_pair(due, FOrder++), std::move(packet));
    }
  }
  template <class TList>
  void SendAll(TList&& packets) {
    for (auto& p : packets) Send(std::move(p));
  }

  // Takes every packet due by now, in arrival order.
  std::vector<TBytes> Receive() {
    std::vector<TBytes> out;
    const TTick now = TickMs();
    while (!FQueue.empty() && FQueue.begin()->first.first <= now) {
      out.push_back(std::move(FQueue.begin()->second));
      FQueue.erase(FQueue.begin());
    }
    return out;
  }

  bool Empty() const { return FQueue.empty(); }
  // The tick at which the next packet arrives; the largest tick when none is on its way.
  TTick NextDue() const { return FQueue.empty() ? std::numeric_limits<TTick>::max() : FQueue.begin()->first.first; }
  std::uint64_t Sent() const { return FSent; }
  std::uint64_t Lost() const { return FLost; }

 private:
  bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(FRng) < p; }

  TPipeConfig FCfg;
  std::mt19937_64 FRng;
  std::map<std::pair<TTick, std::uint64_t>, TBytes> FQueue;  // (due tick, send order) -> packet
  std::uint64_t FOrder = 0;
  std::uint64_t FSent = 0;
  std::uint64_t FLost = 0;
};

}  // namespace tovik::test
