// H.264 video at 1920 x 1080: the colour conversions alone, encoding a changed screen picture
// (conversion included), decoding into a 32-bit picture (conversion included), and the recorder's
// AddFrame on the caller's thread.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

#include "media/TovikCapture.h"
#include "media/TovikMF.h"
#include "media/TovikPicture.h"
#include "media/ffmpeg/TovikMF_ffmpeg.h"
#include "tests/support/SyntheticScreen.h"

namespace tovik {
namespace {

constexpr int kW = 1920, kH = 1080;

TBitmap32 Desktop(int AFrame) {
  TBitmap32 pic;
  pic.SetSize(kW, kH);
  test::PaintDesktop(pic.Row(0), pic.Stride(), kW, kH, AFrame);
  return pic;
}

void BM_BgraToNV12_1080p(benchmark::State& state) {
  const TBitmap32 pic = Desktop(0);
  std::vector<std::uint8_t> nv12(static_cast<std::size_t>(kW) * 1088 * 3 / 2);
  for (auto _ : state) {
    BgraToNV12(pic.Row(0), pic.Stride(), kW, kH, nv12.data(), kW, 1088);
    benchmark::DoNotOptimize(nv12.data());
  }
}
BENCHMARK(BM_BgraToNV12_1080p)->Unit(benchmark::kMillisecond);

void BM_I420ToBgra_1080p(benchmark::State& state) {
  std::vector<std::uint8_t> y(static_cast<std::size_t>(kW) * kH, 120), u(y.size() / 4, 100), v(y.size() / 4, 150);
  TBitmap32 out;
  out.SetSize(kW, kH);
  for (auto _ : state) {
    I420ToBgra(y.data(), kW, u.data(), v.data(), kW / 2, out.Row(0), out.Stride(), kW, kH);
    benchmark::DoNotOptimize(out.Row(0));
  }
}
BENCHMARK(BM_I420ToBgra_1080p)->Unit(benchmark::kMillisecond);

// One changed picture (a block moves over a desktop) per iteration at the session's 60-a-second
// settings.
void BM_EncodeChangedPicture_1080p60(benchmark::State& state) {
  auto codecs = CreateFfmpegCodecs();
  auto enc = codecs->CreateEncoder(kW, kH, 60, 9953);
  std::vector<TBitmap32> pics;
  for (int i = 0; i < 8; ++i) pics.push_back(Desktop(i));
  std::size_t bytes = 0, n = 0;
  for (auto _ : state) {
    const TBitmap32& p = pics[n % pics.size()];
    bytes += enc->Encode(p.Row(0), p.Stride(), n == 0).size();
    ++n;
  }
  state.counters["bytes_per_picture"] = n ? double(bytes) / double(n) : 0;
}
BENCHMARK(BM_EncodeChangedPicture_1080p60)->Unit(benchmark::kMillisecond);

void BM_DecodePicture_1080p(benchmark::State& state) {
  auto codecs = CreateFfmpegCodecs();
  auto enc = codecs->CreateEncoder(kW, kH, 60, 9953);
  std::vector<TBytes> stream;
  for (int i = 0; i < 60; ++i) {
    const TBitmap32 p = Desktop(i);
    stream.push_back(enc->Encode(p.Row(0), p.Stride(), i == 0));
  }
  auto dec = codecs->CreateDecoder(kW, kH, 7680LL * 4320);
  TBitmap32 out;
  out.SetSize(kW, kH);
  std::size_t n = 0;
  for (auto _ : state) {
    if (n % stream.size() == 0) {
      state.PauseTiming();
      dec = codecs->CreateDecoder(kW, kH, 7680LL * 4320);
      state.ResumeTiming();
    }
    if (dec->Decode(stream[n % stream.size()], out.Row(0), out.Stride()) != TDecodeResult::drPicture)
      state.SkipWithError("no picture");
    ++n;
  }
}
BENCHMARK(BM_DecodePicture_1080p)->Unit(benchmark::kMillisecond);

// Ten seconds of a 720p screen on which a video plays (a 640 x 360 area changing every picture) at the
// session's 30-a-second settings: the bytes sent (the bit rate cap bounds them).
void BM_VideoPlaying720p30_TenSeconds(benchmark::State& state) {
  constexpr int w = 1280, h = 720, fps = 30;
  auto codecs = CreateFfmpegCodecs();
  TBitmap32 pic;
  pic.SetSize(w, h);
  test::PaintDesktop(pic.Row(0), pic.Stride(), w, h, 0);
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto enc = codecs->CreateEncoder(w, h, fps, 3318);  // Round(1280 x 720 x 30 x 0.12 / 1000)
    bytes = 0;
    for (int n = 0; n < 10 * fps; ++n) {
      for (int y = 0; y < 360; ++y)
        for (int x = 0; x < 640; ++x) {
          std::uint8_t* p = pic.Row(200 + y) + (320 + x) * 4;
          const int v = (x * 3 + y * 2 + n * 7) ^ ((x / 16 + n) * (y / 16 + 3));
          p[0] = static_cast<std::uint8_t>(v);
          p[1] = static_cast<std::uint8_t>(v + x / 4 + n);
          p[2] = static_cast<std::uint8_t>(y / 2 + n * 3);
        }
      bytes += enc->Encode(pic.Row(0), pic.Stride(), n == 0).size();
    }
  }
  state.counters["MB_per_10s"] = double(bytes) / 1e6;
}
BENCHMARK(BM_VideoPlaying720p30_TenSeconds)->Unit(benchmark::kMillisecond)->Iterations(1);

// What the viewer's GUI thread spends per recorded picture (the worker encodes beside it).
void BM_RecorderAddFrame_1080p(benchmark::State& state) {
  auto codecs = CreateFfmpegCodecs();
  const auto path = std::filesystem::temp_directory_path() / "tovik-bench-recording.mp4";
  std::filesystem::remove(path);
  auto rec = codecs->CreateRecorder(path.string(), kW, kH, 15);
  const TBitmap32 pic = Desktop(0);
  std::int64_t t = 0;
  for (auto _ : state) {
    rec->AddFrame(pic.Row(0), pic.Stride(), t);
    t += 67;
  }
  rec->Finish();  // after the timed loop
  std::filesystem::remove(rec->Path());
}
BENCHMARK(BM_RecorderAddFrame_1080p)->Unit(benchmark::kMillisecond)->Iterations(60);

}  // namespace
}  // namespace tovik
