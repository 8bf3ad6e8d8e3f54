// H.264 in a session: host and viewer over the simulator with the libavcodec codecs, and the ways back
// to tiles or to a key frame when something fails, with codecs that fail on purpose.
#include <gtest/gtest.h>

#include <set>

#include "media/ffmpeg/TovikMF_ffmpeg.h"
#include "tests/session/SessionPairFixture.h"
#include "tests/session/SessionSimFixture.h"
#include "tests/support/SyntheticScreen.h"

using namespace tovik;
using namespace tovik::sim;
using namespace tovik::test;

namespace {

constexpr double kMinPsnr = 30.0;  // dB: text stays readable well above this

void PaintDesktop(TFakeScreenState& AScreen, int AFrame) {
  tovik::test::PaintDesktop(AScreen.Px.data(), AScreen.W * 4, AScreen.W, AScreen.H, AFrame);
}

// ---- over the simulator ------------------------------------------------------------------------------

class SessionSimVideo : public ::testing::TestWithParam<double> {};

TEST_P(SessionSimVideo, PictureConvergesWithH264) {
  auto codecs = CreateFfmpegCodecs();
  TSimSessions s({.W = 640, .H = 400, .HostVideo = codecs, .ViewerVideo = codecs});
  PaintDesktop(*s.Screen, 0);
  ASSERT_TRUE(s.Connect());
  s.Net.Link.Loss = GetParam();
  auto close = [&] { return s.Window->VideoPictures > 0 && PicturePsnr(s.Window->Picture, *s.Screen) > kMinPsnr; };
  ASSERT_TRUE(s.Net.RunUntil(close, 15'000)) << PicturePsnr(s.Window->Picture, *s.Screen);

  // The screen keeps changing; afterwards the picture is close to the last one again (the picture
  // before it is far: the block moved).
  for (int frame = 1; frame < 40; ++frame) {
    PaintDesktop(*s.Screen, frame);
    s.Run(20);
  }
  EXPECT_TRUE(s.Net.RunUntil(close, 20'000))
      << PicturePsnr(s.Window->Picture, *s.Screen);
  EXPECT_TRUE(HasLine(s.HostLog, "helper can show H.264: True, several frames in flight: True"));
  bool named = false;
  for (const auto& l : s.HostLog) named |= l.rfind("H.264 encoder: libx264 (software)", 0) == 0;
  EXPECT_TRUE(named);
  for (const auto& l : s.HostLog) EXPECT_EQ(l.find("using tiles"), std::string::npos) << l;
  for (const auto& l : s.ViewerLog) EXPECT_EQ(l.find("H.264 decode failed"), std::string::npos) << l;
}

INSTANTIATE_TEST_SUITE_P(Loss, SessionSimVideo, ::testing::Values(0.0, 0.05),
                         [](const auto& info) { return info.param == 0.0 ? std::string("NoLoss") : "Loss5"; });

// ---- codecs that misbehave on purpose ------------------------------------------------------------------

// The libavcodec codecs, with an encoder that can drop the next pictures without output (as a
// hardware encoder that misses its time does), damage the next output, or not be there at all, and a
// decoder that may not be there.
struct TFaultyCodecs final : IVideoCodecs {
  std::shared_ptr<IVideoCodecs> Real = CreateFfmpegCodecs();
  bool NoEncoder = false, NoDecoder = false;
  int DropNext = 0;    // pictures to drop without output
  int DamageNext = 0;  // outputs to damage
  int KeyFrames = 0;   // outputs holding an IDR

  struct TEngine final : IH264Engine {
    TEngine(TFaultyCodecs& AOwner, std::unique_ptr<IH264Engine> AReal) : Owner(AOwner), Real(std::move(AReal)) {}
    TNV12Target Input() override { return Real->Input(); }
    TBytes Encode(bool AKey) override {
      if (Owner.DropNext > 0) {
        --Owner.DropNext;
        return {};
      }
      TBytes out = Real->Encode(AKey);
      if (HasNal(out, kNalIdr)) ++Owner.KeyFrames;
      if (Owner.DamageNext > 0 && !out.empty()) {
        --Owner.DamageNext;
        const TNal last = FindNals(out).back();
        for (int i = last.Start + 2; i < last.Start + last.Len; i += 5) out[static_cast<std::size_t>(i)] ^= 0x3C;
      }
      return out;
    }
    TFaultyCodecs& Owner;
    std::unique_ptr<IH264Engine> Real;
  };

  bool CanDecode() override { return true; }
  std::unique_ptr<TH264Encoder> CreateEncoder(int AW, int AH, int AFps, int AKbps) override {
    if (NoEncoder) throw ETovikMF("No H.264 encoder could be set up: test: SetInputType failed (0xc00d36b4)");
    TEngineList list = FfmpegEngines();
    for (auto& c : list.Software)
      c.Make = [this, make = c.Make](const TEncoderParams& p) { return std::make_unique<TEngine>(*this, make(p)); };
    return std::make_unique<TH264Encoder>(AW, AH, AFps, AKbps, list);
  }
  std::unique_ptr<IH264Decoder> CreateDecoder(int AW, int AH, std::int64_t AMax) override {
    if (NoDecoder) throw ETovikMF("No H.264 decoder on this PC");
    return Real->CreateDecoder(AW, AH, AMax);
  }
};

struct TVideoPair {
  std::shared_ptr<TFaultyCodecs> Codecs = std::make_shared<TFaultyCodecs>();
  std::unique_ptr<TSessionPair> Pair;
  int Frame = 0;

  explicit TVideoPair(bool AViewerVideo = true) {
    TPairOptions o;
    o.W = 320;
    o.H = 200;
    o.Pipe.DelayMs = 5;
    o.HostVideo = Codecs;
    if (AViewerVideo) o.ViewerVideo = Codecs;
    Pair = std::make_unique<TSessionPair>(o);
    PaintDesktop(*Pair->Screen, Frame);
  }
  bool Close() const { return PicturePsnr(Pair->Window->Picture, *Pair->Screen) > kMinPsnr; }
  bool RunUntilClose(TTick AMs) {
    return Pair->RunUntil([&] { return Pair->Window->VideoPictures > 0 && Close(); }, AMs);
  }
  void Change() { PaintDesktop(*Pair->Screen, ++Frame); }
  bool Logged(const std::vector<std::string>& ALog, const std::string& AStart) const {
    for (const auto& l : ALog)
      if (l.rfind(AStart, 0) == 0) return true;
    return false;
  }
};

// Without an encoder or a decoder the session falls back to tiles and still shows the exact picture.
TEST(SessionVideo, FailuresFallBackToTiles) {
  struct TCase {
    const char* Name;
    bool NoEncoder, NoDecoder, ViewerVideo;
    const char* HostLine;    // a host log line that starts so; empty = none expected
    const char* ViewerLine;  // the same for the viewer
  } const cases[] = {
      {"no encoder on the host", true, false, true,
       "No H.264 encoder, using tiles: No H.264 encoder could be set up: test: SetInputType failed (0xc00d36b4)", ""},
      {"no decoder on the viewer", false, true, true, "helper can show H.264: False", "No H.264 decoder: No H.264 decoder on this PC"},
      {"viewer without H.264", false, false, false, "helper can show H.264: False", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TVideoPair v(c.ViewerVideo);
    v.Codecs->NoEncoder = c.NoEncoder;
    v.Codecs->NoDecoder = c.NoDecoder;
    ASSERT_TRUE(v.Pair->RunUntilSame(10'000));
    v.Change();
    EXPECT_TRUE(v.Pair->RunUntilSame(10'000));
    EXPECT_EQ(v.Pair->Window->VideoPictures, 0);
    EXPECT_TRUE(v.Logged(v.Pair->HostLog, c.HostLine));
    if (*c.ViewerLine) {
      EXPECT_TRUE(v.Logged(v.Pair->ViewerLog, c.ViewerLine));
    }
  }
}

// A picture the encoder gives no output for is offered again until output comes, so the viewer does
// not stay on the picture before it when the screen then stays still.
TEST(SessionVideo, APictureHeldBackIsOfferedAgain) {
  TVideoPair v;
  ASSERT_TRUE(v.RunUntilClose(10'000));
  v.Codecs->DropNext = 3;
  v.Change();  // and then the screen stays as it is
  EXPECT_TRUE(v.Pair->RunUntil([&] { return v.Close(); }, 3'000))
      << "viewer still on the old picture: " << PicturePsnr(v.Pair->Window->Picture, *v.Pair->Screen);
  EXPECT_EQ(v.Codecs->DropNext, 0);
}

// A damaged video frame is not shown: the viewer asks for a complete picture, the host answers with a
// key frame, and the picture is right again.
TEST(SessionVideo, ADamagedFrameBringsAKeyFrame) {
  TVideoPair v;
  ASSERT_TRUE(v.RunUntilClose(10'000));
  const int keys = v.Codecs->KeyFrames;
  v.Codecs->DamageNext = 1;
  v.Change();
  v.Pair->Run(100);
  EXPECT_TRUE(v.Logged(v.Pair->ViewerLog, "frame not shown, asking for a full picture: damaged H.264 picture"));
  v.Change();
  EXPECT_TRUE(v.Pair->RunUntil([&] { return v.Codecs->KeyFrames > keys && v.Close(); }, 5'000));
  EXPECT_FALSE(v.Logged(v.Pair->HostLog, "H.264 encode failed"));
  EXPECT_FALSE(v.Logged(v.Pair->ViewerLog, "H.264 decode failed"));
}

}  // namespace
