// Screen thumbnails: area-averaged scaling to blue, green, red rows, and our own windows blanked in
// the grab before it is scaled.
#include <gtest/gtest.h>

#include "base/TovikOwnWindows.h"
#include "media/TovikThumbs.h"

using namespace tovik;

namespace {

// Left half one colour, right half another (blue, green, red).
void Paint(TBitmap32& b, int w, int h) {
  b.SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = b.Row(y) + x * 4;
      const bool left = x < w / 2;
      p[0] = left ? 10 : 200;
      p[1] = left ? 20 : 100;
      p[2] = left ? 30 : 50;
    }
}

struct TGrab : IScreenGrab {
  TGrabStatus CopyTo(TBitmap32& b, bool, std::span<const TRect>, TGrabChanges&) override {
    Paint(b, b.Width(), b.Height());
    return TGrabStatus::gsOk;
  }
};
struct TBackend : IScreenBackend {
  std::vector<TMonitorInfo> Monitors() override { return {}; }
  std::unique_ptr<IScreenGrab> CreateDup(const TRect&) override { return nullptr; }
  std::unique_ptr<IScreenGrab> CreatePlain(const TRect&) override { return std::make_unique<TGrab>(); }
  bool GetPointer(TPointerImage&) override { return false; }
};

}  // namespace

TEST(Thumbs, ScalingAveragesTheAreaEachPixelCovers) {
  TBitmap32 b;
  Paint(b, 400, 200);
  const TBytes t = ScaleToBgr24(b, 4, 2);
  ASSERT_EQ(t.size(), 4u * 2 * 3);
  EXPECT_EQ((TBytes{t.begin(), t.begin() + 3}), (TBytes{10, 20, 30}));
  EXPECT_EQ((TBytes{t.begin() + 9, t.begin() + 12}), (TBytes{200, 100, 50}));
  // One pixel for the whole picture: the average of both halves.
  const TBytes one = ScaleToBgr24(b, 1, 1);
  EXPECT_EQ(one, (TBytes{105, 60, 40}));
  // Larger than the source: pixels repeat.
  EXPECT_EQ(ScaleToBgr24(b, 800, 400).size(), 800u * 400 * 3);
  EXPECT_TRUE(ScaleToBgr24(b, 0, 10).empty());
}

TEST(Thumbs, OurOwnWindowsAreBlankedBeforeScaling) {
  TBackend backend;
  const int id = RegisterOwnWindow();
  // Our window covers the left half of the second screen (which starts at x = 1000).
  SetOwnWindow(id, {1000, 0, 200, 200}, true);
  const TBytes t = GrabThumbnail(backend, {1000, 0, 400, 200}, 2, 1);
  UnregisterOwnWindow(id);
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ((TBytes{t.begin(), t.begin() + 3}), (TBytes{0x30, 0x30, 0x30}));
  EXPECT_EQ((TBytes{t.begin() + 3, t.end()}), (TBytes{200, 100, 50}));
  EXPECT_TRUE(GrabThumbnail(backend, {0, 0, 0, 10}, 2, 1).empty());
}
