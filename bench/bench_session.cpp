// The session's own latency: from a change on the host's picture to the viewer's picture holding it,
// host and viewer sessions in one process with zero delay and no loss, over a pipe and over two real
// network clients and the relay core in the simulator (sealing, the clients' 5 ms receive timer). Two
// figures per case: simulated milliseconds (timer pacing: 8 ms capture tick, 14 ms gap at 60 a second)
// and the real time spent on it (capture, tile encoding, chunking, sealing, reassembly, decoding).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "tests/session/SessionPairFixture.h"
#ifdef TOVIK_BENCH_SIM
#include "tests/session/SessionSimFixture.h"
#endif

using namespace tovik;
using namespace tovik::test;

namespace {

double Pct(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Times one change per iteration on a converged pair (a TSessionPair or a TSimSessions: both step
// 1 ms with Run(1) and expose Screen and Window).
template <class TPair>
void MeasureLatency(benchmark::State& state, TPair& pair, int w, int h, bool full) {
  std::vector<double> sim, wall;
  std::uint32_t seed = 10;
  for (auto _ : state) {
    ++seed;
    if (full)
      pair.Screen->Paint(0, 0, w, h, seed);
    else
      pair.Screen->Paint(100, 100, 40, 20, seed);
    const TTick start = TickMs();
    int updates = pair.Window->Updates;
    bool same = false;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20000 && !same; ++i) {
      pair.Run(1);
      if (pair.Window->Updates != updates) {
        updates = pair.Window->Updates;
        same = SamePicture(pair.Window->Picture, *pair.Screen);
      }
    }
    auto t1 = std::chrono::steady_clock::now();
    const double secs = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(secs);
    sim.push_back(static_cast<double>(TickMs() - start));
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
  MeasureLatency(state, pair, w, h, full);
}

void BM_SessionLatencySmallChange(benchmark::State& state) { RunLatency(state, 1920, 1080, false); }
void BM_SessionLatencyFullChange1080p(benchmark::State& state) { RunLatency(state, 1920, 1080, true); }

#ifdef TOVIK_BENCH_SIM
void RunSimLatency(benchmark::State& state, int w, int h, bool full) {
  TSimSessions pair({.W = w, .H = h});
  pair.Net.Link.DelayMs = 0;
  if (!pair.Connect() || !pair.RunUntilSame(20000)) {
    state.SkipWithError("the pair never converged");
    return;
  }
  MeasureLatency(state, pair, w, h, full);
}

void BM_SessionSimLatencySmallChange(benchmark::State& state) { RunSimLatency(state, 1920, 1080, false); }
void BM_SessionSimLatencyFullChange1080p(benchmark::State& state) { RunSimLatency(state, 1920, 1080, true); }
#endif

}  // namespace

BENCHMARK(BM_SessionLatencySmallChange)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK(BM_SessionLatencyFullChange1080p)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
#ifdef TOVIK_BENCH_SIM
BENCHMARK(BM_SessionSimLatencySmallChange)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK(BM_SessionSimLatencyFullChange1080p)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
#endif
