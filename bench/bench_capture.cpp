// Screen capture and tile codec at 1920 x 1080: grab per path, no-change scans, encode and decode.
// The X benchmarks are registered only when DISPLAY is set.
#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "media/TovikCapture.h"

using namespace tovik;

namespace {

constexpr int kW = 1920, kH = 1080;

// Photographic: smooth gradients with noise. Text-like: white page with dark glyph strokes.
void FillPhoto(TBitmap32& b, std::uint32_t seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      std::uint8_t* p = b.Row(y) + x * 4;
      const int n = static_cast<int>(rng() % 24);
      p[0] = static_cast<std::uint8_t>((x / 8 + n + static_cast<int>(seed)) & 0xFF);
      p[1] = static_cast<std::uint8_t>((y / 5 + x / 13 + n) & 0xFF);
      p[2] = static_cast<std::uint8_t>(((x + y) / 9 + n) & 0xFF);
      p[3] = 0;
    }
}

void FillText(TBitmap32& b, std::uint32_t seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < b.Height(); ++y) std::memset(b.Row(y), 0xFF, static_cast<std::size_t>(b.Width()) * 4);
  for (int line = 4; line + 12 < b.Height(); line += 18)
    for (int x = 8; x + 7 < b.Width(); x += 8) {
      const std::uint32_t glyph = rng();
      if ((glyph & 7) == 0) continue; // spaces
      for (int gy = 0; gy < 12; ++gy)
        for (int gx = 0; gx < 6; ++gx)
          if ((glyph >> ((gy * 6 + gx) % 29)) & 1) std::memset(b.Row(line + gy) + (x + gx) * 4, 0x20, 3);
    }
}

// Encodes the first 64 tiles of a fresh picture (one update of a sweep).
void EncodeFull64(benchmark::State& state, void (*fill)(TBitmap32&, std::uint32_t)) {
  TBitmap32 cur, prev;
  cur.SetSize(kW, kH);
  prev.SetSize(kW, kH);
  fill(cur, 1);
  std::size_t bytes = 0;
  for (auto _ : state) {
    TTileEncoder enc;
    auto r = enc.Encode(cur, prev, true);
    bytes = r.Data.size();
    benchmark::DoNotOptimize(r.Data.data());
  }
  state.counters["bytes_per_update"] = static_cast<double>(bytes);
}

void BM_Encode64TilesPhoto(benchmark::State& s) { EncodeFull64(s, FillPhoto); }
void BM_Encode64TilesText(benchmark::State& s) { EncodeFull64(s, FillText); }
BENCHMARK(BM_Encode64TilesPhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode64TilesText)->Unit(benchmark::kMillisecond);

void DecodeFull64(benchmark::State& state, void (*fill)(TBitmap32&, std::uint32_t)) {
  TBitmap32 cur, prev, view;
  cur.SetSize(kW, kH);
  prev.SetSize(kW, kH);
  fill(cur, 1);
  TTileEncoder enc;
  const TBytes update = enc.Encode(cur, prev, true).Data;
  for (auto _ : state) ApplyScreenUpdate(view, update);
  state.counters["bytes_per_update"] = static_cast<double>(update.size());
}
void BM_Decode64TilesPhoto(benchmark::State& s) { DecodeFull64(s, FillPhoto); }
void BM_Decode64TilesText(benchmark::State& s) { DecodeFull64(s, FillText); }
BENCHMARK(BM_Decode64TilesPhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode64TilesText)->Unit(benchmark::kMillisecond);

// The scan of an unchanged picture: every tile compared (no damage information), or none (damage
// says nothing changed).
void BM_NoChangeScan(benchmark::State& state) {
  TBitmap32 cur, prev;
  cur.SetSize(kW, kH);
  prev.SetSize(kW, kH);
  FillPhoto(cur, 2);
  TTileEncoder enc;
  enc.FTrackDamage = state.range(0) != 0;
  while (!enc.Encode(cur, prev, false).Data.empty()) {
  }
  for (auto _ : state) {
    auto r = enc.Encode(cur, prev, false);
    benchmark::DoNotOptimize(r.Tiles);
  }
}
BENCHMARK(BM_NoChangeScan)->ArgName("damage")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// ---- Against the X server in DISPLAY -------------------------------------------------------------

void BM_X11Grab(benchmark::State& state) {
  auto backend = IScreenBackend::Create();
  if (!backend) {
    state.SkipWithError("no X display");
    return;
  }
  const TRect area = PrimaryMonitor(backend->Monitors());
  std::unique_ptr<IScreenGrab> grab;
  try {
    grab = state.range(0) ? backend->CreateDup(area) : backend->CreatePlain(area);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  TBitmap32 b;
  b.SetSize(area.Width, area.Height);
  TGrabChanges ch;
  grab->CopyTo(b, false, {}, ch);
  // Another client repaints the whole root window before each grab, so that the shared-memory path
  // reads the complete picture from the server as the plain path always does.
  xcb_connection_t* painter = xcb_connect(nullptr, nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(painter)).data->root;
  for (auto _ : state) {
    state.PauseTiming();
    xcb_clear_area(painter, 0, root, 0, 0, 0, 0);
    free(xcb_get_input_focus_reply(painter, xcb_get_input_focus(painter), nullptr));
    state.ResumeTiming();
    if (grab->CopyTo(b, true, {}, ch) != TGrabStatus::gsOk) {
      state.SkipWithError("grab failed");
      break;
    }
  }
  xcb_disconnect(painter);
}

void BM_X11NoChangeFrame(benchmark::State& state) {
  TScreenCapturer cap;
  cap.FUseDamage = state.range(0) != 0;
  while (!cap.CaptureUpdate(false).empty()) {
  }
  for (auto _ : state) {
    auto u = cap.CaptureUpdate(false);
    benchmark::DoNotOptimize(u.data());
  }
  state.SetLabel(cap.FDiag);
}

const bool GXRegistered = [] {
  if (!std::getenv("DISPLAY")) return false;
  benchmark::RegisterBenchmark("BM_X11Grab", BM_X11Grab)->ArgName("shm")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_X11NoChangeFrame", BM_X11NoChangeFrame)
      ->ArgName("damage")
      ->Arg(0)
      ->Arg(1)
      ->Unit(benchmark::kMicrosecond);
  return true;
}();

}  // namespace
