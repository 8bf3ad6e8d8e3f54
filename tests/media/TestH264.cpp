// H.264: the encoder's own logic over fake engines, and the libavcodec encoder and decoder for real.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <functional>

#include "media/TovikCapture.h"
#include "media/TovikMF.h"
#include "media/ffmpeg/TovikMF_ffmpeg.h"
#include "media/ffmpeg/TovikOpenH264.h"
#include "tests/support/SyntheticScreen.h"

namespace tovik {
namespace {

// ---- byte streams -------------------------------------------------------------------------------------

TEST(H264Stream, FindNals) {
  struct TCase {
    const char* Name;
    TBytes Data;
    std::vector<TNal> Want;
  } const cases[] = {
      {"three- and four-byte start codes", {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 9},
       {{4, 3, 7}, {10, 2, 8}, {16, 2, 5}}},
      {"empty units are skipped", {0, 0, 1, 0, 0, 1, 0x41, 7}, {{6, 2, 1}}},
      {"no start code", {1, 2, 3, 4, 5}, {}},
      {"start code at the very end", {0x09, 0, 0, 1}, {}},
      {"emulation prevention is not a start code", {0, 0, 1, 0x61, 0, 0, 3, 1, 0}, {{3, 6, 1}}},
  };
  for (const TCase& c : cases) {
    const auto got = FindNals(c.Data);
    ASSERT_EQ(got.size(), c.Want.size()) << c.Name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].Start, c.Want[i].Start) << c.Name;
      EXPECT_EQ(got[i].Len, c.Want[i].Len) << c.Name;
      EXPECT_EQ(got[i].Kind, c.Want[i].Kind) << c.Name;
    }
  }
}

// ---- encoder logic over fake engines --------------------------------------------------------------------

// A scripted engine: each Encode answers with the next entry of its script (the last one repeats).
struct TFakeScript {
  std::deque<TBytes> Outputs;
  int Calls = 0;
  std::vector<bool> Keys;
};

class TFakeEngine final : public IH264Engine {
 public:
  TFakeEngine(TFakeScript& AScript, const TEncoderParams& AParams)
      : FScript(AScript), FBuf(static_cast<std::size_t>(AParams.PadW) * AParams.PadH * 3 / 2), FW(AParams.PadW),
        FH(AParams.PadH) {}
  TNV12Target Input() override { return {FBuf.data(), FW, FBuf.data() + FW * FH, FW}; }
  TBytes Encode(bool AKey) override {
    ++FScript.Calls;
    FScript.Keys.push_back(AKey);
    TBytes out = FScript.Outputs.front();
    if (FScript.Outputs.size() > 1) FScript.Outputs.pop_front();
    return out;
  }

 private:
  TFakeScript& FScript;
  TBytes FBuf;
  int FW, FH;
};

const TBytes kSlice = {0, 0, 0, 1, 0x41, 0x9A};
const TBytes kIdrWithHeaders = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88};
const TBytes kAudIdr = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x65, 0x88};

TEngineChoice Fake(const char* AName, bool AHardware, TFakeScript& AScript) {
  return {AName, AHardware, [&AScript](const TEncoderParams& p) { return std::make_unique<TFakeEngine>(AScript, p); }};
}

struct TEncoderFixture : ::testing::Test {
  TFakeScript Hw, Sw;
  TBitmap32 Pic;
  void SetUp() override { Pic.SetSize(40, 40); }
  TBytes Encode(TH264Encoder& e, bool AKey = false) { return e.Encode(Pic.Row(0), Pic.Stride(), AKey); }
};

TEST_F(TEncoderFixture, SizesRatesAndBadInput) {
  struct TCase {
    int W, H, Fps, Kbps, PadW, PadH, WantFps, WantKbps;
  } const cases[] = {{1366, 768, 30, 3000, 1376, 768, 30, 3000}, {40, 40, 0, 50, 64, 64, 1, 100},
                     {1920, 1080, 500, 300000, 1920, 1088, 120, 200000}};
  Sw.Outputs = {kSlice};
  for (const TCase& c : cases) {
    TEngineList list;
    list.Software.push_back(Fake("soft", false, Sw));
    TH264Encoder e(c.W, c.H, c.Fps, c.Kbps, list);
    EXPECT_EQ(e.Params().PadW, c.PadW);
    EXPECT_EQ(e.Params().PadH, c.PadH);
    EXPECT_EQ(e.Params().Fps, c.WantFps);
    EXPECT_EQ(e.Params().Kbps, c.WantKbps);
  }
  TEngineList list;
  list.Software.push_back(Fake("soft", false, Sw));
  try {
    TH264Encoder bad(0, 10, 30, 1000, list);
    ADD_FAILURE();
  } catch (const ETovikMF& e) {
    EXPECT_STREQ(e.what(), "Bad picture size 0 x 10");
  }
  TH264Encoder e(40, 40, 30, 1000, list);
  EXPECT_THROW(e.Encode(nullptr, 160, false), ETovikMF);
  TEngineList none;
  none.Software.push_back({"broken", false, [](const TEncoderParams&) -> std::unique_ptr<IH264Engine> {
                             throw ETovikMF("SetInputType failed (0xc00d36b4)");
                           }});
  try {
    TH264Encoder bad(40, 40, 30, 1000, none);
    ADD_FAILURE();
  } catch (const ETovikMF& e) {
    EXPECT_STREQ(e.what(), "No H.264 encoder could be set up: broken: SetInputType failed (0xc00d36b4)");
  }
}

// A hardware encoder that never gives output is dropped on the second picture, which the software
// encoder then encodes in the same call as a key frame; one that stops after working goes after 10.
TEST_F(TEncoderFixture, HardwareWithoutOutputGivesWayToSoftware) {
  struct TCase {
    const char* Name;
    std::deque<TBytes> HwScript;
    int CallsBeforeDrop;  // Encode calls that still used the hardware encoder alone
  } const cases[] = {{"never any output", {TBytes{}}, 1}, {"output, then none", {kIdrWithHeaders, TBytes{}}, 10}};
  for (const TCase& c : cases) {
    Hw = {};
    Sw = {};
    Hw.Outputs = c.HwScript;
    Sw.Outputs = {kIdrWithHeaders, kSlice};
    TEngineList list;
    list.Hardware.push_back(Fake("GPU", true, Hw));
    list.Software.push_back(Fake("soft", false, Sw));
    TH264Encoder e(40, 40, 30, 1000, list);
    EXPECT_TRUE(e.IsHardware());
    for (int i = 0; i < c.CallsBeforeDrop; ++i) Encode(e);
    EXPECT_EQ(Sw.Calls, 0) << c.Name;
    const TBytes out = Encode(e);  // the miss that drops the hardware encoder
    EXPECT_EQ(out, kIdrWithHeaders) << c.Name;
    EXPECT_FALSE(e.IsHardware()) << c.Name;
    ASSERT_EQ(Sw.Keys.size(), 1u);
    EXPECT_TRUE(Sw.Keys[0]) << c.Name;
    EXPECT_EQ(e.EncoderName(), "soft - hardware encoder dropped: GPU: no output") << c.Name;
    Encode(e);
    EXPECT_EQ(Hw.Calls, c.CallsBeforeDrop + 1) << "never back to the hardware encoder: " << c.Name;
  }
}

// Key frames: the first picture after set-up and every forced one; the parameter sets go in front of
// every IDR (after the access unit delimiter) when the engine gave them only once.
TEST_F(TEncoderFixture, KeyFramesCarryTheParameterSets) {
  Sw.Outputs = {kIdrWithHeaders, kSlice, kAudIdr};
  TEngineList list;
  list.HwNote = "no hardware H.264 encoder on this PC (graphics driver or virtual machine)";
  list.Software.push_back(Fake("soft", false, Sw));
  TH264Encoder e(40, 40, 30, 1000, list);
  EXPECT_EQ(e.EncoderName(), "soft - no hardware H.264 encoder on this PC (graphics driver or virtual machine)");
  EXPECT_EQ(Encode(e), kIdrWithHeaders);
  EXPECT_EQ(Encode(e), kSlice);
  const TBytes key = Encode(e, true);
  const TBytes want = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88};
  EXPECT_EQ(key, want);
  EXPECT_EQ(Sw.Keys, (std::vector<bool>{true, false, true}));
}

// ---- libavcodec --------------------------------------------------------------------------------------

void PaintScreen(TBitmap32& APic, int AFrame) {
  test::PaintDesktop(APic.Row(0), APic.Stride(), APic.Width(), APic.Height(), AFrame);
}

double Psnr(const TBitmap32& A, const TBitmap32& B) {
  double se = 0;
  std::int64_t n = 0;
  for (int y = 0; y < A.Height(); ++y)
    for (int x = 0; x < A.Width() * 4; ++x) {
      if (x % 4 == 3) continue;
      const double d = double(A.Row(y)[x]) - double(B.Row(y)[x]);
      se += d * d;
      ++n;
    }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * double(n) / se);
}

// dB over the whole synthetic desktop: its text is readable above about 30; libx264 here gives 34 to 40.
constexpr double kRoundTripPsnr = 32.0;

int Kbps30(int W, int H) { return std::clamp(static_cast<int>(std::lround(W * H * 30 * 0.12 / 1000)), 2000, 20000); }

struct TCodecFixture : ::testing::Test {
  std::shared_ptr<IVideoCodecs> Codecs = CreateFfmpegCodecs();
  TBitmap32 Pic, Out;
};

// Pictures survive the round trip at the usual screen sizes, with the first software encoder
// (libx264) and with the last (OpenH264, when only it is left); every Encode(n) gives picture n's
// slices, and a forced key frame starts with SPS + PPS and decodes on its own.
TEST_F(TCodecFixture, RoundTripAtScreenSizes) {
  ASSERT_TRUE(Codecs->CanDecode());
  ASSERT_TRUE(OpenH264Present()) << "scripts/setup installs libopenh264";
  struct TCase {
    int W, H;
    const char* Engine;
  } const cases[] = {{1366, 768, "libx264"}, {1920, 1080, "libx264"}, {1366, 768, "OpenH264"}, {1920, 1080, "OpenH264"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H) + " " + c.Engine);
    TEngineList openh264;
    openh264.Software.push_back(OpenH264Engine());
    auto enc = std::string(c.Engine) == "libx264"
                   ? Codecs->CreateEncoder(c.W, c.H, 30, Kbps30(c.W, c.H))
                   : std::make_unique<TH264Encoder>(c.W, c.H, 30, Kbps30(c.W, c.H), openh264);
    auto dec = Codecs->CreateDecoder(c.W, c.H, 7680LL * 4320);
    EXPECT_NE(enc->EncoderName().find(c.Engine), std::string::npos) << enc->EncoderName();
    Pic.SetSize(c.W, c.H);
    Out.SetSize(c.W, c.H, 0, true);  // a bottom-up target, like a window bitmap may be
    TBytes key;
    for (int n = 0; n < 8; ++n) {
      PaintScreen(Pic, n);
      const TBytes data = enc->Encode(Pic.Row(0), Pic.Stride(), n == 6);
      ASSERT_FALSE(data.empty()) << "picture " << n << " held back";
      if (n == 0 || n == 6) {
        const auto nals = FindNals(data);
        std::vector<int> kinds;
        for (const auto& u : nals) kinds.push_back(u.Kind);
        const std::size_t first = kinds[0] == kNalAud ? 1 : 0;
        ASSERT_GE(kinds.size(), first + 3);
        EXPECT_EQ(kinds[first], kNalSps);
        EXPECT_EQ(kinds[first + 1], kNalPps);
        EXPECT_TRUE(HasNal(data, kNalIdr));
      } else {
        EXPECT_FALSE(HasNal(data, kNalIdr)) << "GOP of 600: no key frame unless asked, picture " << n;
      }
      if (n == 6) key = data;
      ASSERT_EQ(dec->Decode(data, Out.Row(0), Out.Stride()), TDecodeResult::drPicture) << "picture " << n;
      EXPECT_GT(Psnr(Pic, Out), kRoundTripPsnr) << "picture " << n;
    }
    // The key frame alone, into a fresh decoder.
    auto fresh = Codecs->CreateDecoder(c.W, c.H, 7680LL * 4320);
    Out.SetSize(c.W, c.H);
    PaintScreen(Pic, 6);
    ASSERT_EQ(fresh->Decode(key, Out.Row(0), Out.Stride()), TDecodeResult::drPicture);
    EXPECT_GT(Psnr(Pic, Out), kRoundTripPsnr);
  }
}

// Damaged or hostile streams ask for a complete picture, never show a damaged one, show nothing until
// the next key frame, and recover with it.
TEST_F(TCodecFixture, BrokenStreamsAskForAKeyFrame) {
  const int W = 320, H = 240;
  auto enc = Codecs->CreateEncoder(W, H, 30, 2000);
  Pic.SetSize(W, H);
  std::vector<TBytes> stream;
  for (int n = 0; n < 4; ++n) {
    PaintScreen(Pic, n);
    stream.push_back(enc->Encode(Pic.Row(0), Pic.Stride(), false));
  }
  PaintScreen(Pic, 4);
  const TBytes key = enc->Encode(Pic.Row(0), Pic.Stride(), true);
  const TBytes idr = stream[0];

  auto truncated = [](TBytes d) {
    d.resize(d.size() * 2 / 3);
    return d;
  };
  auto corrupted = [](TBytes d) {
    const auto nals = FindNals(d);
    const TNal& last = nals.back();
    for (int i = last.Start + 2; i < last.Start + last.Len; i += 3) d[static_cast<std::size_t>(i)] ^= 0x5A;
    return d;
  };
  auto garbage = [](TBytes) { return TBytes{0, 0, 0, 1, 0x65, 0xFF, 0xFF, 0xFF, 0x00, 0x12}; };
  struct TCase {
    const char* Name;
    std::function<TBytes(TBytes)> Damage;
    bool MissingPicture;  // the key frame arrives whole, then picture 1 goes missing
  } const cases[] = {{"truncated key frame", truncated, false},
                     {"corrupted key frame", corrupted, false},
                     {"garbage", garbage, false},
                     {"a lost picture", [](TBytes d) { return d; }, true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto dec = Codecs->CreateDecoder(W, H, 7680LL * 4320);
    Out.SetSize(W, H);
    EXPECT_EQ(dec->Decode(stream[1], Out.Row(0), Out.Stride()), TDecodeResult::drNone) << "no key frame yet";
    if (c.MissingPicture) {
      ASSERT_EQ(dec->Decode(idr, Out.Row(0), Out.Stride()), TDecodeResult::drPicture);
      EXPECT_EQ(dec->Decode(stream[2], Out.Row(0), Out.Stride()), TDecodeResult::drBroken);
    } else {
      EXPECT_EQ(dec->Decode(c.Damage(idr), Out.Row(0), Out.Stride()), TDecodeResult::drBroken);
    }
    EXPECT_EQ(dec->Decode(stream[2], Out.Row(0), Out.Stride()), TDecodeResult::drNone);
    EXPECT_EQ(dec->Decode(key, Out.Row(0), Out.Stride()), TDecodeResult::drPicture);
    EXPECT_GT(Psnr(Pic, Out), 30.0);
  }
}

// An SPS larger than the session allows is refused before a picture of that size is allocated; a
// stream smaller than the size in the frame header is refused too.
TEST_F(TCodecFixture, StreamsBeyondTheLimitsAreRefused) {
  auto enc = Codecs->CreateEncoder(640, 480, 30, 2000);
  Pic.SetSize(640, 480);
  PaintScreen(Pic, 0);
  const TBytes key = enc->Encode(Pic.Row(0), Pic.Stride(), true);
  struct TCase {
    const char* Name;
    int W, H;
    std::int64_t MaxPixels;
  } const cases[] = {{"SPS above the pixel limit", 640, 480, 320 * 240}, {"picture smaller than announced", 800, 600, 7680LL * 4320}};
  for (const TCase& c : cases) {
    auto dec = Codecs->CreateDecoder(c.W, c.H, c.MaxPixels);
    Out.SetSize(c.W, c.H);
    EXPECT_EQ(dec->Decode(key, Out.Row(0), Out.Stride()), TDecodeResult::drBroken) << c.Name;
  }
  EXPECT_THROW(Codecs->CreateDecoder(0, 480, 1000), ETovikMF);
  auto dec = Codecs->CreateDecoder(640, 480, 7680LL * 4320);
  EXPECT_EQ(dec->Decode({}, Out.Row(0), Out.Stride()), TDecodeResult::drNone);
}

}  // namespace
}  // namespace tovik
