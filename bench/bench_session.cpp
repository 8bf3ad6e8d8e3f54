// The session's own latency: from a change on the host's picture to the viewer's picture holding it,
// host and viewer sessions in one process over a pipe with zero delay and no loss. Two figures per
// case: simulated milliseconds (timer pacing: 8 ms capture tick, 14 ms gap at 60 a second) and the
// real time the two sessions spend on it (capture, tile encoding, chunking, reassembly, decoding).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "tests/session/SessionPairFixture.h"

using namespace tovik;
using namespace tovik::test;

namespace {

double Pct(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

void RunLatency(benchmark::State& state, int w, int h, bool full) {
  TPairOptions o;
  o.Pipe.DelayMs = 0;
  o.W = w;
  o.H = h;
  TSessionPair pair(o);
  if (!pair.RunUntilSame(20000)) {
    state.SkipWithError("the pair never converged");
    return;
  }
  std::vector<double> sim, wall;
  std::uint32_t seed = 10;
  for (auto _ : state) {
    ++seed;
    if (full)
      pair.Screen->Paint(0, 0, w, h, seed);
    else
      pair.Screen->Paint(100, 100, 40, 20, seed);
    const TTick start = pair.Clock.Now();
    int updates = pair.Window->Updates;
    bool same = false;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20000 && !same; ++i) {
      pair.StepMs();
      if (pair.Window->Updates != updates) {
        updates = pair.Window->Updates;
        same = pair.Same();
      }
    }
    auto t1 = std::chrono::steady_clock::now();
    const double secs = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(secs);
    sim.push_back(static_cast<double>(pair.Clock.Now() - start));
    wall.push_back(secs * 1000);
    if (!same) {
      state.SkipWithError("the change never reached the viewer");
      return;
    }
    pair.Run(static_cast<TTick>(seed % 7));  // vary the phase against the capture tick
  }
  state.counters["sim_p50_ms"] = Pct(sim, 0.5);
  state.counters["sim_p95_ms"] = Pct(sim, 0.95);
  state.counters["real_p50_ms"] = Pct(wall, 0.5);
  state.counters["real_p95_ms"] = Pct(wall, 0.95);
}

void BM_SessionLatencySmallChange(benchmark::State& state) { RunLatency(state, 1920, 1080, false); }
void BM_SessionLatencyFullChange1080p(benchmark::State& state) { RunLatency(state, 1920, 1080, true); }

}  // namespace

BENCHMARK(BM_SessionLatencySmallChange)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK(BM_SessionLatencyFullChange1080p)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
