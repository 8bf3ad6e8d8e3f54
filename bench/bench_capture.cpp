// Screen capture and tile codec at 1920 x 1080: grab per path, no-change scans, encode and decode.
// The X benchmarks are registered only when DISPLAY is set.
#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "media/TovikCapture.h"
#include "session/TovikCaptureWorker.h"

using namespace tovik;

namespace {

constexpr int kW = 1920, kH = 1080;

// Noisy photographic: gradients with strong per-pixel noise on every channel (harsher than a real
// photo: almost nothing repeats and every byte differs from its neighbour).
void FillNoisyPhoto(TBitmap32& b, std::uint32_t seed) {
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

// Photo wallpaper: smooth sky-like gradients next to areas of moderate texture (brightness patches a
// few pixels wide, like foliage or rock, plus a little sensor grain). Both kinds of area occur in
// every band of tile rows. Neighbouring pixels are close but rarely equal, as in a decoded photo.
void FillPhoto(TBitmap32& b, std::uint32_t seed) {
  std::mt19937 rng(seed);
  constexpr int kCell = 5;
  const int lw = b.Width() / kCell + 2, lh = b.Height() / kCell + 2;
  std::vector<float> lattice(static_cast<std::size_t>(lw) * lh);
  for (float& v : lattice) v = static_cast<float>(rng() % 25) - 12.0f;
  auto at = [&](int lx, int ly) { return lattice[static_cast<std::size_t>(ly) * lw + lx]; };
  const float h = static_cast<float>(b.Height()), w = static_cast<float>(b.Width());
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const float fy = y / h, fx = x / w;
      // Bilinear value noise on a kCell-pixel lattice.
      const int lx = x / kCell, ly = y / kCell;
      const float tx = static_cast<float>(x % kCell) / kCell, ty = static_cast<float>(y % kCell) / kCell;
      const float noise = (at(lx, ly) * (1 - tx) + at(lx + 1, ly) * tx) * (1 - ty) +
                          (at(lx, ly + 1) * (1 - tx) + at(lx + 1, ly + 1) * tx) * ty;
      const float texture = std::clamp(1.3f * std::sin(fx * 9.0f + fy * 5.0f), 0.0f, 1.0f);
      const float grain = texture > 0 ? static_cast<float>(static_cast<int>(rng() % 5) - 2) : 0.0f;
      const float shade = noise * texture * 1.5f + grain;
      const float sky = 1.0f - texture;
      const float bl = 90 + 140 * sky + 40 * std::sin(fx * 3.1f + seed) * texture + shade;
      const float gr = 110 + 80 * sky + 50 * std::sin(fx * 5.3f + fy * 2.0f) * texture + shade;
      const float rd = 60 + 70 * sky + 60 * fy * texture + 20 * std::cos(fx * 7.0f) + shade;
      std::uint8_t* p = b.Row(y) + x * 4;
      p[0] = static_cast<std::uint8_t>(std::clamp(bl, 0.0f, 255.0f));
      p[1] = static_cast<std::uint8_t>(std::clamp(gr, 0.0f, 255.0f));
      p[2] = static_cast<std::uint8_t>(std::clamp(rd, 0.0f, 255.0f));
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

// Encodes the first 64 tiles of a fresh picture (the first update of a sweep), with one encoder kept
// across updates as the capturer keeps it.
void EncodeFull64(benchmark::State& state, void (*fill)(TBitmap32&, std::uint32_t)) {
  TBitmap32 cur, prev;
  cur.SetSize(kW, kH);
  prev.SetSize(kW, kH);
  fill(cur, 1);
  std::size_t bytes = 0;
  TTileEncoder enc;
  enc.FCompact = state.range(0) != 0;
  for (auto _ : state) {
    auto r = enc.Encode(cur, prev, true);
    bytes = r.Data.size();
    benchmark::DoNotOptimize(r.Data.data());
  }
  state.counters["bytes_per_update"] = static_cast<double>(bytes);
}

void BM_Encode64TilesText(benchmark::State& s) { EncodeFull64(s, FillText); }
void BM_Encode64TilesPhoto(benchmark::State& s) { EncodeFull64(s, FillPhoto); }
void BM_Encode64TilesNoisyPhoto(benchmark::State& s) { EncodeFull64(s, FillNoisyPhoto); }
// compact:0 is the zlib update every viewer reads, compact:1 the compact update, side by side.
BENCHMARK(BM_Encode64TilesText)->ArgName("compact")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode64TilesPhoto)->ArgName("compact")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode64TilesNoisyPhoto)->ArgName("compact")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void DecodeFull64(benchmark::State& state, void (*fill)(TBitmap32&, std::uint32_t)) {
  TBitmap32 cur, prev, view;
  cur.SetSize(kW, kH);
  prev.SetSize(kW, kH);
  fill(cur, 1);
  TTileEncoder enc;
  enc.FCompact = state.range(0) != 0;
  const TBytes update = enc.Encode(cur, prev, true).Data;
  // A photo-like compact update goes as a zlib update, which the compact decoder does not read.
  if (!update.empty() && update[0] == kCompactMagic) {
    // Each round starts the shared context afresh, as the first update of a full picture does.
    for (auto _ : state) {
      TCompactDecoder dec;
      dec.Apply(view, update);
    }
  } else {
    for (auto _ : state) ApplyScreenUpdate(view, update);
  }
  state.counters["bytes_per_update"] = static_cast<double>(update.size());
}
void BM_Decode64TilesText(benchmark::State& s) { DecodeFull64(s, FillText); }
void BM_Decode64TilesPhoto(benchmark::State& s) { DecodeFull64(s, FillPhoto); }
void BM_Decode64TilesNoisyPhoto(benchmark::State& s) { DecodeFull64(s, FillNoisyPhoto); }
BENCHMARK(BM_Decode64TilesText)->ArgName("compact")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode64TilesPhoto)->ArgName("compact")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode64TilesNoisyPhoto)->ArgName("compact")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A whole 1080p change of noisy photo (about 510 tiles, 8 updates) through the host's capture worker,
// from the request until the last update is taken: deflater:0 compresses every update on the worker
// thread, deflater:1 also on the second thread, while the worker picks the next update. Counts the
// bytes of the whole change.
class TBitmapScreen final : public IHostScreen {
 public:
  TBitmapScreen() {
    for (int k = 0; k < 2; ++k) {
      Pics[k].SetSize(kW, kH);
      FillNoisyPhoto(Pics[k], static_cast<std::uint32_t>(k + 1));
    }
    Prev.SetSize(kW, kH);
    Enc.FCompact = true;
  }
  TBytes CaptureUpdate(bool AFull) override {
    auto r = Enc.Encode(Pics[Shown], Prev, AFull);
    Unfinished = r.Unfinished;
    return std::move(r.Data);
  }
  bool MoreWaiting() const override { return Enc.FMore; }
  bool DeferDeflate(bool AOn) override {
    Enc.FDeferDeflate = AOn;
    return true;
  }
  bool LastUnfinished() const override { return Unfinished; }
  void SetArea(const TRect&) override {}
  std::string Diag() const override { return {}; }
  TBitmap32 Pics[2];
  TBitmap32 Prev;
  TTileEncoder Enc;
  int Shown = 0;
  bool Unfinished = false;
};

void BM_FullChangeOnWorker(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  int done = 0;
  auto screen = std::make_unique<TBitmapScreen>();
  TCaptureWorker worker(std::move(screen), [&] {
    std::lock_guard<std::mutex> l(m);
    ++done;
    cv.notify_all();
  }, {}, state.range(0) != 0);
  const auto next = [&]() -> TCaptureWorker::TResult {
    for (;;) {
      int seen;
      {
        std::lock_guard<std::mutex> l(m);
        seen = done;
      }
      if (auto r = worker.Take()) return std::move(*r);
      std::unique_lock<std::mutex> l(m);
      cv.wait(l, [&] { return done > seen; });
    }
  };
  // The first picture, sent whole.
  worker.Request(true);
  while (next().More) {
  }
  std::size_t bytes = 0;
  int updates = 0;
  for (auto _ : state) {
    worker.WithScreen([](IHostScreen& AScreen) { static_cast<TBitmapScreen&>(AScreen).Shown ^= 1; });
    bytes = 0;
    updates = 0;
    worker.Request(false);
    for (;;) {
      TCaptureWorker::TResult r = next();
      bytes += r.Update.size();
      ++updates;
      if (!r.More) break;
    }
  }
  state.counters["bytes_per_change"] = static_cast<double>(bytes);
  state.counters["updates"] = updates;
}
BENCHMARK(BM_FullChangeOnWorker)->ArgName("deflater")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

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

// A terminal window of 980 x 700 on a 1920 x 1080 picture scrolls by one line of text per frame, the
// new line written at its bottom; damage reports the window. side:0 times the host's encoding of one
// frame (compact updates, the scroll found and sent as a copy), side:1 the viewer's picture taking it.
void ScrollFrame(TBitmap32& ABitmap, int AFrame) {
  constexpr int kLeft = 20, kTop = 20, kWinW = 980, kWinH = 700, kLine = 18;
  for (int y = kTop; y < kTop + kWinH - kLine; ++y)
    std::memmove(ABitmap.Row(y) + kLeft * 4, ABitmap.Row(y + kLine) + kLeft * 4, kWinW * 4);
  std::mt19937 rng(static_cast<std::uint32_t>(AFrame));
  const int chars = 20 + static_cast<int>(rng() % 100);
  for (int y = kTop + kWinH - kLine; y < kTop + kWinH; ++y) std::memset(ABitmap.Row(y) + kLeft * 4, 0xFF, kWinW * 4);
  for (int c = 0; c < chars && 8 + c * 8 + 7 < kWinW; ++c) {
    const std::uint32_t glyph = rng();
    for (int gy = 0; gy < 12; ++gy)
      for (int gx = 0; gx < 6; ++gx)
        if ((glyph >> ((gy * 6 + gx) % 29)) & 1)
          std::memset(ABitmap.Row(kTop + kWinH - kLine + 3 + gy) + (kLeft + 8 + c * 8 + gx) * 4, 0x20, 3);
  }
}

void BM_ScrollText(benchmark::State& state) {
  constexpr int kFrames = 100;
  const TRect window{20, 20, 980, 700};
  TBitmap32 cur, prev;
  cur.SetSize(kW, kH);
  prev.SetSize(kW, kH);
  FillText(cur, 3);
  TTileEncoder enc;
  enc.FCompact = true;
  enc.FTrackDamage = true;
  std::vector<TBytes> start;
  for (bool first = true; first || enc.FMore; first = false) start.push_back(enc.Encode(cur, prev, first).Data);
  const bool host = state.range(0) == 0;
  std::vector<TBytes> frames;
  int frame = 0;
  std::size_t bytes = 0;
  if (host) {
    for (auto _ : state) {
      state.PauseTiming();
      ScrollFrame(cur, ++frame);
      enc.MarkDirty(window, kW, kH);
      state.ResumeTiming();
      const auto r = enc.Encode(cur, prev, false);
      bytes += r.Data.size();
      benchmark::DoNotOptimize(r.Data.data());
    }
    state.counters["bytes_per_frame"] = static_cast<double>(bytes) / static_cast<double>(frame);
    return;
  }
  for (int f = 1; f <= kFrames; ++f) {
    ScrollFrame(cur, f);
    enc.MarkDirty(window, kW, kH);
    frames.push_back(enc.Encode(cur, prev, false).Data);
  }
  for (auto _ : state) {
    state.PauseTiming();
    TScreenPicture pic;
    for (const TBytes& u : start) pic.Apply(u);
    state.ResumeTiming();
    for (const TBytes& u : frames) pic.Apply(u);
  }
  state.counters["frames"] = kFrames;
}
// Per frame: the time of side:1 divided by its 100 frames.
BENCHMARK(BM_ScrollText)->ArgName("side")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

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
  TScreenCapturer cap(IScreenBackend::Create());
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
