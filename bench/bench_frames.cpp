// Session transport speed: frames through the sender and the windowed receiver, and message-channel
// throughput over a simulated link (20 ms round trip, with and without loss) under a manual clock.
#include <benchmark/benchmark.h>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "net/TovikFrames.h"
#include "tests/net/LossyPipe.h"

namespace {

using namespace tovik;

TBytes Payload(std::size_t n) {
  TBytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  return b;
}

void SetFrameRate(benchmark::State& state, std::size_t frameBytes) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));  // frames
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameBytes));
}

// Sender: cut a frame into chunks, hand out every chunk (40 per call), take the acknowledgement.
void BM_FrameSender(benchmark::State& state) {
  TManualClock clock;
  const TBytes frame = Payload(static_cast<std::size_t>(state.range(0)));
  const std::size_t chunkCount = (frame.size() + kChunkData - 1) / kChunkData;
  TFrameWindowSender s;
  s.SetLegacy(false);
  s.SetMaxInFlight(4);
  for (auto _ : state) {
    s.Start(frame, TickMs());
    for (std::size_t n = 0; n < chunkCount;) {
      auto p = s.NextPackets(40, TickMs());
      n += p.size();
      benchmark::DoNotOptimize(p.data());
    }
    TBytes ack{pkFrameAck};
    PutU32LE(ack, s.LastID());
    std::uint32_t ms = 0;
    s.HandleAck(ack, ms, TickMs());
  }
  SetFrameRate(state, frame.size());
}
BENCHMARK(BM_FrameSender)->Arg(100 * 1000)->Arg(1000 * 1000);

// Windowed receiver: chunks arrive in order, the frame is joined and delivered.
void BM_FrameReceiver(benchmark::State& state) {
  TManualClock clock;
  const TBytes frame = Payload(static_cast<std::size_t>(state.range(0)));
  TFrameWindowSender s;
  s.SetLegacy(false);
  s.Start(frame, TickMs());
  std::vector<TBytes> chunks;
  for (auto p = s.NextPackets(40, TickMs()); !p.empty(); p = s.NextPackets(40, TickMs())) {
    for (auto& c : p) chunks.push_back(std::move(c));
    if (chunks.size() * kChunkData >= frame.size()) break;
  }
  TFrameWindowReceiver r;
  std::uint32_t id = 1;
  TBytes reply;
  for (auto _ : state) {
    for (auto& c : chunks) {  // renumber: frame id, oldest id
      for (int k = 0; k < 4; ++k) c[1 + k] = c[9 + k] = static_cast<std::uint8_t>(id >> (8 * k));
      auto out = r.HandleChunk(c, reply, TickMs());
      benchmark::DoNotOptimize(out.data());
    }
    ++id;
  }
  SetFrameRate(state, frame.size());
}
BENCHMARK(BM_FrameReceiver)->Arg(100 * 1000)->Arg(1000 * 1000);

// Both ends together without loss: four frames in flight, acknowledgements fed back.
void BM_FramePipeline(benchmark::State& state) {
  TManualClock clock;
  const TBytes frame = Payload(static_cast<std::size_t>(state.range(0)));
  TFrameWindowSender s;
  s.SetLegacy(false);
  s.SetMaxInFlight(4);
  TFrameWindowReceiver r;
  std::int64_t delivered = 0;
  TBytes reply;
  std::uint32_t ms = 0;
  for (auto _ : state) {
    while (s.CanStart()) s.Start(frame, TickMs());
    for (auto& p : s.NextPackets(40, TickMs())) {
      delivered += static_cast<std::int64_t>(r.HandleChunk(p, reply, TickMs()).size());
      if (!reply.empty() && reply[0] == pkFrameAck) s.HandleAck(reply, ms, TickMs());
    }
  }
  state.SetItemsProcessed(delivered);
  state.SetBytesProcessed(delivered * static_cast<std::int64_t>(frame.size()));
  state.counters["chunks"] = benchmark::Counter(static_cast<double>(state.iterations()) * 40,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FramePipeline)->Arg(100 * 1000)->Arg(1000 * 1000);

// Message channel: 2 MB posted as pieces (the backlog kept at about one window, as bulk transfers
// are), a poll every 10 ms on both sides, 10 ms each way. "sim_MB/s" is the throughput in simulated
// time, which the window and the 300 ms retransmission decide; the usual figures are the CPU cost.
void BM_ChannelThroughput(benchmark::State& state) {
  const double loss = static_cast<double>(state.range(0)) / 100.0;
  const TBytes data = Payload(2 * 1000 * 1000);
  double simSeconds = 0;
  std::uint64_t seed = 1;
  for (auto _ : state) {
    TManualClock clock;
    test::TLossyPipe ab({.DelayMs = 10, .JitterMs = 0, .Loss = loss, .Duplicate = 0, .Seed = seed});
    test::TLossyPipe ba({.DelayMs = 10, .JitterMs = 0, .Loss = loss, .Duplicate = 0, .Seed = seed + 1});
    seed += 2;
    TMsgChannel a, b;
    std::size_t posted = 0, received = 0;
    const TTick start = TickMs();
    while (received < data.size()) {
      while (posted < data.size() && a.Backlog() < 64) {
        const std::size_t n = std::min<std::size_t>(64 * kChannelPiece, data.size() - posted);
        a.PostBytes(1, TByteView(data).subspan(posted, n));
        posted += n;
      }
      ab.SendAll(a.Poll(TickMs()));
      ba.SendAll(b.Poll(TickMs()));
      clock.Advance(10);
      for (auto& p : ab.Receive())
        for (auto& m : b.HandleMsg(p)) received += m.Data.size();
      for (auto& p : ba.Receive()) a.HandleAck(p);
    }
    simSeconds += static_cast<double>(TickMs() - start) / 1000.0;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  state.counters["sim_MB/s"] =
      static_cast<double>(state.iterations() * data.size()) / 1e6 / simSeconds;
}
BENCHMARK(BM_ChannelThroughput)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond);

}  // namespace
