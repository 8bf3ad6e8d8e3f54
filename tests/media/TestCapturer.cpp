// Screen capturer over a fake screen: source choice and back-off, sizes, areas, the pointer.
#include <gtest/gtest.h>

#include <cstring>

#include "base/TovikOwnWindows.h"
#include "media/TovikCapture.h"

using namespace tovik;

namespace {

// A desktop picture with damage bookkeeping, shared by the fake grabs.
struct TFakeScreen {
  TBitmap32 Desk;
  std::vector<TRect> Damage; // desktop coordinates, since the dup's last copy
  std::vector<TMonitorInfo> Mons;
  TPointerImage Pointer;
  bool HavePointer = false;
  bool DupWorks = true;
  bool DupLoses = false;
  int DupCreated = 0;

  void Paint(const TRect& r, std::uint8_t v) {
    const TRect c = Intersect(r, {0, 0, Desk.Width(), Desk.Height()});
    for (int y = c.Top; y < c.Bottom(); ++y) std::memset(Desk.Row(y) + c.Left * 4, v, static_cast<std::size_t>(c.Width) * 4);
    Damage.push_back(r);
  }
};

void CopyArea(const TBitmap32& from, const TRect& area, const TRect& r, TBitmap32& to) {
  for (int y = r.Top; y < r.Bottom(); ++y)
    std::memcpy(to.Row(y) + r.Left * 4, from.Row(area.Top + y) + (area.Left + r.Left) * 4, static_cast<std::size_t>(r.Width) * 4);
}

class TFakeGrab : public IScreenGrab {
 public:
  TFakeGrab(TFakeScreen& s, const TRect& a, bool dup) : S(s), Area(a), Dup(dup) {}
  TGrabStatus CopyTo(TBitmap32& b, bool keep, std::span<const TRect> refresh, TGrabChanges& ch) override {
    ch = {};
    if (Dup && S.DupLoses) return TGrabStatus::gsLost;
    const TRect whole{0, 0, Area.Width, Area.Height};
    if (!Dup || !keep) {
      CopyArea(S.Desk, Area, whole, b);
      ch.All = true;
    } else {
      for (const TRect& d : S.Damage) {
        const TRect r = Intersect({d.Left - Area.Left, d.Top - Area.Top, d.Width, d.Height}, whole);
        if (!r.Empty()) {
          CopyArea(S.Desk, Area, r, b);
          ch.Rects.push_back(r);
        }
      }
      for (const TRect& r : refresh) CopyArea(S.Desk, Area, Intersect(r, whole), b);
    }
    if (Dup) S.Damage.clear();
    return TGrabStatus::gsOk;
  }
  TFakeScreen& S;
  TRect Area;
  bool Dup;
};

class TFakeBackend : public IScreenBackend {
 public:
  explicit TFakeBackend(TFakeScreen& s) : S(s) {}
  std::vector<TMonitorInfo> Monitors() override { return S.Mons; }
  std::unique_ptr<IScreenGrab> CreateDup(const TRect& a) override {
    ++S.DupCreated;
    if (!S.DupWorks) throw std::runtime_error("No MIT-SHM");
    S.Damage.clear();
    return std::make_unique<TFakeGrab>(S, a, true);
  }
  std::unique_ptr<IScreenGrab> CreatePlain(const TRect& a) override { return std::make_unique<TFakeGrab>(S, a, false); }
  bool GetPointer(TPointerImage& p) override {
    p = S.Pointer;
    return S.HavePointer;
  }
  TFakeScreen& S;
};

class CapturerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Screen.Desk.SetSize(3840, 1080);
    for (int y = 0; y < 1080; ++y)
      for (int x = 0; x < 3840 * 4; ++x) Screen.Desk.Row(y)[x] = static_cast<std::uint8_t>(x * 7 + y * 13);
    Screen.Mons = {{"B", {1920, 0, 1920, 1080}, false}, {"A", {0, 0, 1920, 1080}, true}};
    // A 4 x 4 pointer: opaque white with a transparent corner, hot spot (1, 1).
    Screen.Pointer = {100, 50, 1, 1, 4, 4, std::vector<std::uint32_t>(16, 0xFFFFFFFFu)};
    Screen.Pointer.Pixels[15] = 0;
  }
  std::shared_ptr<IScreenBackend> Backend() { return std::make_shared<TFakeBackend>(Screen); }

  TManualClock Clock;
  TFakeScreen Screen;
};


}  // namespace

TEST_F(CapturerTest, SweepsThenReportsNoChange) {
  TScreenCapturer cap(Backend());
  int updates = 0;
  while (!cap.CaptureUpdate(false).empty()) ++updates;
  EXPECT_EQ(updates, 8);
  EXPECT_EQ(cap.FDiag, "gpu, no change (W=1920 H=1080)");
  Screen.DupWorks = false;
  TScreenCapturer gdi(Backend());
  gdi.CaptureUpdate(false);
  EXPECT_EQ(gdi.FDiag, "gdi, sent 64 tiles (W=1920 H=1080)");
  while (!gdi.CaptureUpdate(false).empty()) {
  }
  EXPECT_EQ(gdi.FDiag, "gdi, no change (W=1920 H=1080)");
}

TEST_F(CapturerTest, TooSmallMonitorIsSkipped) {
  Screen.Mons = {{"thin", {0, 0, 1, 768}, true}};
  TScreenCapturer cap(Backend());
  EXPECT_TRUE(cap.CaptureUpdate(true).empty());
  EXPECT_EQ(cap.FDiag, "skip: bad size");
  const std::uint8_t* bits = nullptr;
  std::ptrdiff_t stride = 0;
  int w = 0, h = 0;
  EXPECT_FALSE(cap.CaptureVideo(true, bits, stride, w, h));
}

TEST_F(CapturerTest, FailedOrLostDupIsRetriedAfterItsBackOff) {
  Screen.DupWorks = false;
  TScreenCapturer cap(Backend());
  cap.CaptureUpdate(false);
  EXPECT_EQ(cap.FSource, "gdi");
  EXPECT_EQ(Screen.DupCreated, 1);
  Clock.Advance(4999);
  cap.CaptureUpdate(false);
  EXPECT_EQ(Screen.DupCreated, 1);
  Screen.DupWorks = true;
  Clock.Advance(1);
  cap.CaptureUpdate(false);
  EXPECT_EQ(Screen.DupCreated, 2);
  EXPECT_EQ(cap.FSource, "gpu");

  Screen.DupLoses = true;
  cap.CaptureUpdate(false);
  EXPECT_EQ(cap.FSource, "gdi");
  Screen.DupLoses = false;
  Clock.Advance(499);
  cap.CaptureUpdate(false);
  EXPECT_EQ(Screen.DupCreated, 2);
  Clock.Advance(1);
  cap.CaptureUpdate(false);
  EXPECT_EQ(Screen.DupCreated, 3);
  EXPECT_EQ(cap.FSource, "gpu");
}

TEST_F(CapturerTest, SecondMonitorAreaRestartsTheSweepAndShiftsThePointer) {
  TScreenCapturer cap(Backend());
  while (!cap.CaptureUpdate(false).empty()) {
  }
  EXPECT_EQ(CaptureOrigin(), (TPoint{0, 0}));
  cap.SetArea({1920, 0, 1920, 1080});
  EXPECT_EQ(CaptureArea(), (TRect{1920, 0, 1920, 1080}));
  EXPECT_EQ(CaptureOrigin(), (TPoint{1920, 0}));
  Screen.HavePointer = true;
  Screen.Pointer.X = 1920 + 300;
  Screen.Pointer.Y = 200;
  int updates = 0;
  while (!cap.CaptureUpdate(false).empty()) ++updates;
  EXPECT_EQ(updates, 8);
  // The pointer sits at (300 - 1, 200 - 1) of the picture, over the second monitor's pixels.
  EXPECT_EQ(cap.FCur.Row(199)[299 * 4], 0xFF);
  EXPECT_EQ(cap.FCur.Row(202)[302 * 4], Screen.Desk.Row(202)[(1920 + 302) * 4]); // transparent corner
  EXPECT_EQ(cap.FCur.Row(198)[299 * 4], Screen.Desk.Row(198)[(1920 + 299) * 4]);
}

TEST_F(CapturerTest, PrimaryMonitorAwayFromTheOrigin) {
  Screen.Mons = {{"A", {0, 0, 1920, 1080}, false}, {"B", {1920, 0, 1920, 1080}, true}};
  TScreenCapturer cap(Backend());
  cap.CaptureUpdate(true);
  EXPECT_EQ(CaptureArea(), TRect{});
  EXPECT_EQ(CaptureOrigin(), (TPoint{1920, 0}));
  EXPECT_EQ(cap.FCur.Row(5)[40], Screen.Desk.Row(5)[1920 * 4 + 40]);
}

TEST_F(CapturerTest, DamageAndPointerMovesGiveTheSameUpdatesAsFullComparison) {
  TScreenCapturer withDamage(Backend());
  Screen.HavePointer = true;
  // The plain capturer sees the same screen through a second fake whose damage list is not used.
  TFakeScreen& s = Screen;
  struct TNoDamage : TFakeBackend {
    using TFakeBackend::TFakeBackend;
    std::unique_ptr<IScreenGrab> CreateDup(const TRect& a) override { return std::make_unique<TFakeGrab>(S, a, false); }
  };
  TScreenCapturer plain(std::make_shared<TNoDamage>(s));
  plain.FUseDamage = false;
  const TRect moves[] = {{0, 0, 0, 0}, {10, 10, 0, 0}, {70, 60, 0, 0}, {70, 60, 0, 0}, {1900, 1070, 0, 0}, {5, 1079, 0, 0}};
  for (int step = 0; step < 40; ++step) {
    const TRect& m = moves[step % 6];
    s.Pointer.X = m.Left + step;
    s.Pointer.Y = m.Top;
    if (step % 5 == 0) s.Paint({step * 37 % 1900, step * 23 % 1000, 90, 30}, static_cast<std::uint8_t>(step));
    const TBytes b = plain.CaptureUpdate(step == 0);
    const TBytes a = withDamage.CaptureUpdate(step == 0);
    ASSERT_EQ(a, b) << "step " << step;
  }
  EXPECT_EQ(withDamage.FSource, "gpu");
}

TEST_F(CapturerTest, VideoPathSendsChangedOrForcedPictures) {
  TScreenCapturer cap(Backend());
  const std::uint8_t* bits = nullptr;
  std::ptrdiff_t stride = 0;
  int w = 0, h = 0;
  ASSERT_TRUE(cap.CaptureVideo(false, bits, stride, w, h));
  EXPECT_EQ(cap.FDiag, "gpu, video frame (W=1920 H=1080)");
  EXPECT_EQ(bits, cap.FCur.Row(0));
  EXPECT_EQ(stride, 1920 * 4);
  EXPECT_FALSE(cap.CaptureVideo(false, bits, stride, w, h));
  EXPECT_EQ(cap.FDiag, "gpu, video, no change (W=1920 H=1080)");
  EXPECT_TRUE(cap.CaptureVideo(true, bits, stride, w, h));
  Screen.Paint({5, 5, 1, 1}, 1);
  EXPECT_TRUE(cap.CaptureVideo(false, bits, stride, w, h));
  // The tile path after a video frame has nothing to send.
  EXPECT_TRUE(cap.CaptureUpdate(false).empty());
}

// Our own windows (viewer, stop bar) are blanked in every picture, and what lies under them comes
// back when they go, although X reports no damage there.
TEST_F(CapturerTest, OwnWindowsAreBlankedAndTheDesktopReturnsWhenTheyGo) {
  Screen.Mons = {{"A", {0, 0, 1920, 1080}, true}};
  TScreenCapturer cap(Backend());
  const int id = RegisterOwnWindow();
  const TRect win{1800, 1000, 300, 200};  // partly off the monitor
  SetOwnWindow(id, {win.Left, win.Top, win.Width, win.Height}, true);
  auto blanked = [&](int x, int y) {
    const std::uint8_t* p = cap.FCur.Row(y) + x * 4;
    return p[0] == 0x30 && p[1] == 0x30 && p[2] == 0x30;
  };
  auto desktop = [&](int x, int y) { return std::memcmp(cap.FCur.Row(y) + x * 4, Screen.Desk.Row(y) + x * 4, 3) == 0; };
  const std::uint8_t* bits = nullptr;
  std::ptrdiff_t stride = 0;
  int w = 0, h = 0;
  ASSERT_TRUE(cap.CaptureVideo(true, bits, stride, w, h));
  EXPECT_TRUE(blanked(1800, 1000));
  EXPECT_TRUE(blanked(1919, 1079));
  EXPECT_TRUE(desktop(1799, 1000));
  EXPECT_TRUE(desktop(1800, 999));
  // The tile path sends the blanked picture too, and then nothing while nothing changes.
  while (!cap.CaptureUpdate(false).empty()) {
  }
  SetOwnWindow(id, {win.Left, win.Top, win.Width, win.Height}, false);
  EXPECT_FALSE(cap.CaptureUpdate(false).empty());
  EXPECT_TRUE(desktop(1800, 1000));
  EXPECT_TRUE(desktop(1919, 1079));
  UnregisterOwnWindow(id);
}

TEST(DrawPointer, BlendsPremultipliedPixelsAndClips) {
  TBitmap32 b;
  b.SetSize(8, 8);
  for (int y = 0; y < 8; ++y) std::memset(b.Row(y), 200, 32);
  // 2 x 2: opaque red, half-transparent black, fully transparent, half white (premultiplied 0x80).
  TPointerImage p{0, 0, 0, 0, 2, 2, {0xFFFF0000u, 0x80000000u, 0x00000000u, 0x80808080u}};
  p.X = 7;
  p.Y = 6;
  const TRect r = DrawPointer(b, p, {0, 0});
  EXPECT_EQ(r, (TRect{7, 6, 1, 2}));
  EXPECT_EQ(TBytes(b.Row(6) + 28, b.Row(6) + 32), (TBytes{0, 0, 255, 200}));
  EXPECT_EQ(TBytes(b.Row(7) + 28, b.Row(7) + 32), (TBytes{200, 200, 200, 200}));
  p.X = 3;
  p.Y = 3;
  DrawPointer(b, p, {0, 0});
  EXPECT_EQ(b.Row(3)[4 * 4], 100);       // 0 + 200 * 127 / 255
  EXPECT_EQ(b.Row(4)[4 * 4], 128 + 100); // 0x80 + 200 * 127 / 255
  EXPECT_TRUE(DrawPointer(b, p, {100, 100}).Empty());
}
