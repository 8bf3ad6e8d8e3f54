#include <benchmark/benchmark.h>

#include "base/TovikBytes.h"

namespace {
void BM_Base64RoundTrip(benchmark::State& state) {
  tovik::TBytes data(static_cast<std::size_t>(state.range(0)));
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
  for (auto _ : state) {
    auto text = tovik::Base64Encode(data);
    auto back = tovik::Base64Decode(text);
    benchmark::DoNotOptimize(back);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64RoundTrip)->Arg(900)->Arg(64 * 1024);
}  // namespace
