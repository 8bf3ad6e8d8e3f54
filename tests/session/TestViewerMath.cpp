// Placement, input mapping, panning, tool-bar layout and small counters of the viewer window.
#include <gtest/gtest.h>

#include <cstdlib>

#include "session/TovikViewerMath.h"

namespace tovik {
namespace {

TEST(ViewerPlacement, FitAndOriginalSize) {
  struct TCase {
    int Mode, PicW, PicH, ClientW, ClientH, Bar;
    TVPoint Scroll;
    TVRect Want;
    TVPoint WantScroll;
    const char* What;
  } cases[] = {
      {0, 1920, 1080, 1280, 760, 56, {}, {14, 56, 1252, 704}, {}, "fit, limited by height"},
      {1, 1920, 1080, 1280, 1000, 56, {}, {0, 168, 1280, 720}, {}, "fit sharp, limited by width"},
      {0, 320, 200, 1280, 760, 56, {}, {77, 56, 1126, 704}, {}, "a small picture is enlarged"},
      {2, 800, 600, 1280, 760, 56, {40, 40}, {240, 108, 800, 600}, {0, 0}, "1:1 smaller than the area: centred"},
      {2, 2560, 1440, 1280, 760, 56, {5000, -3}, {-1280, 56, 2560, 1440}, {1280, 0}, "1:1 scroll clamped"},
      {2, 2560, 1440, 1280, 760, 0, {100, 200}, {-100, -200, 2560, 1440}, {100, 200}, "1:1 without tool bar"},
      {0, 0, 0, 1280, 760, 56, {}, {}, {}, "no picture"},
      {0, 100, 100, 1280, 56, 56, {}, {}, {}, "no area"},
  };
  for (const TCase& c : cases) {
    TVPoint scroll = c.Scroll;
    EXPECT_EQ(PlacePicture(c.Mode, c.PicW, c.PicH, c.ClientW, c.ClientH, c.Bar, scroll), c.Want) << c.What;
    EXPECT_EQ(scroll, c.WantScroll) << c.What;
  }
}

// A click on the picture maps to the host pixel drawn there: exactly at 1:1 and when enlarged, and
// within one pixel when the picture is shrunk (a window pixel then covers more than one host pixel).
TEST(ViewerPlacement, ClicksMapToTheHostPixel) {
  struct TCase {
    int Mode, PicW, PicH, Tolerance;
  } cases[] = {{0, 1920, 1080, 1}, {1, 1920, 1080, 1}, {2, 1920, 1080, 0}, {0, 640, 352, 0}, {1, 320, 176, 0}};
  for (const TCase& c : cases) {
    TVPoint scroll{300, 100};
    const TVRect d = PlacePicture(c.Mode, c.PicW, c.PicH, 1280, 760, 56, scroll);
    for (TVPoint p : {TVPoint{0, 0}, TVPoint{c.PicW - 1, c.PicH - 1}, TVPoint{c.PicW / 2, c.PicH / 2},
                      TVPoint{c.PicW * 3 / 4, c.PicH / 3}, TVPoint{c.PicW / 7, c.PicH * 5 / 7}}) {
      const double cx = d.Left + (p.X + 0.5) * d.Width / c.PicW, cy = d.Top + (p.Y + 0.5) * d.Height / c.PicH;
      if (cx < 0 || cx >= 1280 || cy < 56 || cy >= 760) continue;  // scrolled out of view in 1:1
      const TVPoint got = MapToPicture(d, c.PicW, c.PicH, static_cast<int>(cx), static_cast<int>(cy));
      EXPECT_LE(std::abs(got.X - p.X), c.Tolerance) << "mode " << c.Mode << " pixel " << p.X << "," << p.Y;
      EXPECT_LE(std::abs(got.Y - p.Y), c.Tolerance) << "mode " << c.Mode << " pixel " << p.X << "," << p.Y;
    }
  }
  const int picW = 1920, picH = 1080;
  const TVRect d{14, 56, 1252, 704};
  EXPECT_EQ(MapToPicture(d, picW, picH, -50, 0), (TVPoint{0, 0}));          // left of and above the picture
  EXPECT_EQ(MapToPicture(d, picW, picH, 5000, 5000), (TVPoint{1919, 1079}));  // beyond it
  EXPECT_EQ(MapToPicture(d, picW, picH, d.Right() - 1, d.Bottom() - 1), (TVPoint{1919, 1079}));
  EXPECT_EQ(MapToPicture({}, picW, picH, 10, 10), (TVPoint{0, 0}));
}

TEST(ViewerPlacement, Edges) {
  const TVRect d{100, 56, 800, 600};
  EXPECT_EQ(EdgeAt(d, 898), 1);
  EXPECT_EQ(EdgeAt(d, 897), 0);
  EXPECT_EQ(EdgeAt(d, 101), -1);
  EXPECT_EQ(EdgeAt(d, 102), 0);
  EXPECT_DOUBLE_EQ(EdgeFraction(d, 56 + 300), 0.5);
  EXPECT_DOUBLE_EQ(EdgeFraction(d, 0), 0.0);
  EXPECT_DOUBLE_EQ(EdgeFraction(d, 2000), 1.0);
}

TEST(ViewerPanning, SpeedGrowsTowardTheEdge) {
  EXPECT_EQ(PanDistance(0, 400, 1280, 760, 56), (TVPoint{-28, 0}));
  EXPECT_EQ(PanDistance(27, 400, 1280, 760, 56), (TVPoint{-1, 0}));
  EXPECT_EQ(PanDistance(28, 400, 1280, 760, 56), (TVPoint{0, 0}));
  EXPECT_EQ(PanDistance(1279, 56, 1280, 760, 56), (TVPoint{28, -28}));
  EXPECT_EQ(PanDistance(1252, 759, 1280, 760, 56), (TVPoint{1, 28}));
  const std::pair<int, int> steps[] = {{0, 0}, {1, 2}, {-1, -2}, {2, 3}, {3, 3}, {28, 16}, {-28, -16}, {-5, -4}};
  for (auto [d, step] : steps) EXPECT_EQ(PanStep(d), step) << d;
}

// Realistic widths of the tool-bar items: full and compact.
std::vector<TBarItemSize> Items(bool thumbs) {
  return {
      {false, true, 125, 36}, {false, true, 106, 36}, {true, true, 2, 2},      {false, true, 130, 130},
      {false, true, 124, 36}, {false, true, 116, 36}, {true, true, 2, 2},      {false, true, 105, 36},
      {false, true, 129, 36}, {false, true, 116, 36}, {false, true, 96, 36},   {false, thumbs, 133, 36},
  };
}

TEST(ViewerToolBar, PassesAtSeveralWidths) {
  struct TCase {
    int Width;
    bool Thumbs;
    int Xfer;
    int WantPass;
  } cases[] = {
      {1800, false, 0, 0}, {1800, true, 0, 0}, {1700, true, 0, 1}, {1800, false, 360, 1},
      {900, false, 0, 1},  {700, false, 0, 2}, {300, false, 0, 2},
  };
  for (const TCase& c : cases) {
    const TBarLayout l = LayoutBar(Items(c.Thumbs), c.Width, 121, 36, c.Xfer);
    EXPECT_EQ(l.Pass, c.WantPass) << c.Width << " thumbs " << c.Thumbs << " xfer " << c.Xfer;
    EXPECT_EQ(l.InfoW, l.Pass == 2 ? 0 : 250);
    EXPECT_EQ(l.Compact, l.Pass > 0);
  }
  // Pass 0 at 1800: positions and trays.
  const TBarLayout l = LayoutBar(Items(false), 1800, 121, 36, 0);
  EXPECT_EQ(l.Pass, 0);
  EXPECT_EQ(l.Lefts[0], 269);
  EXPECT_EQ(l.Lefts[1], 269 + 129);
  EXPECT_EQ(l.Lefts[2], -1);
  EXPECT_EQ(l.Lefts[3], 269 + 129 + 110 + 10);
  EXPECT_EQ(l.Lefts[11], -1);  // hidden
  ASSERT_EQ(l.Trays.size(), 3u);
  EXPECT_EQ(l.Trays[0], (TVRect{264, 9, 269 + 129 + 110 + 1 - 264, 38}));
  EXPECT_EQ(l.Trays[1].Left, l.Lefts[3] - 5);
  EXPECT_EQ(l.Trays[2].Right(), l.EndX + 1);
  // Too narrow even without captions: what does not fit is left out, the rest stays in trays.
  const TBarLayout narrow = LayoutBar(Items(true), 760, 121, 36, 360);
  EXPECT_EQ(narrow.Pass, 2);
  EXPECT_LE(narrow.EndX, 760 - 36 - 112 - 360);
  EXPECT_GE(narrow.Lefts[0], 0);
  EXPECT_EQ(narrow.Lefts[11], -2);
  for (const TVRect& t : narrow.Trays) EXPECT_LE(t.Right(), narrow.EndX + 1);
  // The thumbs button takes part only when visible.
  EXPECT_EQ(LayoutBar(Items(true), 1800, 121, 36, 0).EndX, l.EndX + 137);
}

TEST(ViewerCounters, FpsRecordSizeAndFullScreenBar) {
  EXPECT_EQ(FpsAfterTick(-1, 0), -1);
  EXPECT_EQ(FpsAfterTick(-1, 3), 3);
  EXPECT_EQ(FpsAfterTick(25, 0), 0);
  EXPECT_EQ(RecordSize(2560, 1440), (TVPoint{1920, 1080}));
  EXPECT_EQ(RecordSize(1920, 1200), (TVPoint{1920, 1200}));
  EXPECT_EQ(RecordSize(3000, 1001), (TVPoint{1920, 641}));
  const TVRect bar{500, 0, 280, 36};
  EXPECT_TRUE(FullScreenBarNear(10, 3, 1280, 0, false, bar));
  EXPECT_FALSE(FullScreenBarNear(10, 4, 1280, 0, false, bar));
  EXPECT_TRUE(FullScreenBarNear(600, 47, 1280, 0, true, bar));
  EXPECT_FALSE(FullScreenBarNear(600, 48, 1280, 0, true, bar));
  EXPECT_FALSE(FullScreenBarNear(600, 47, 1280, 0, false, bar));
}

}  // namespace
}  // namespace tovik
