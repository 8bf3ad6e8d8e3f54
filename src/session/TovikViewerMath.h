// The arithmetic of the viewer window, kept apart from the window so it can be tested on its own:
// where the picture goes in each view mode, how a window point maps to a pixel of the other PC,
// edge panning, the tool-bar layout and the fps count. Pure functions, any thread.
#pragma once

#include <string>
#include <vector>

namespace tovik {

struct TVRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  int Right() const { return Left + Width; }
  int Bottom() const { return Top + Height; }
  bool Empty() const { return Width <= 0 || Height <= 0; }
  bool operator==(const TVRect&) const = default;
};

struct TVPoint {
  int X = 0, Y = 0;
  bool operator==(const TVPoint&) const = default;
};

enum TViewMode { vmFitSmooth = 0, vmFitSharp = 1, vmOriginal = 2 };

// Where the picture is drawn, in client coordinates. The picture area is the client area below the
// tool bar (barH). In original size `scroll` is clamped first. Empty without a picture or area.
TVRect PlacePicture(int mode, int picW, int picH, int clientW, int clientH, int barH, TVPoint& scroll);

// The picture pixel drawn at a client pixel (its centre), clamped to the picture.
TVPoint MapToPicture(const TVRect& dest, int picW, int picH, int cx, int cy);

// Edge of the placement under the pointer: +1 right, -1 left, 0 none; fracY is the relative height.
int EdgeAt(const TVRect& dest, int cx);
double EdgeFraction(const TVRect& dest, int cy);

// Edge panning: the distance into the 28-pixel border zones, then the scroll step for it
// (2 × sign(d) + d / 2, truncated toward zero).
TVPoint PanDistance(int x, int y, int clientW, int clientH, int barH);
int PanStep(int d);

// One tool-bar item for the layout.
struct TBarItemSize {
  bool Spacer = false;
  bool Visible = true;
  int FullWidth = 0, CompactWidth = 0;  // fit widths with and without captions
};

struct TBarLayout {
  int Pass = 0;         // 0 full, 1 compact, 2 compact without the info block
  bool Compact = false;
  int InfoW = 250;
  int EndX = 0;         // x after the last item
  std::vector<int> Lefts;    // per item; -1 for spacers and hidden items, -2 for items left out
  std::vector<TVRect> Trays;
};

// Lays the tool-bar items out left to right after the info block, in the first pass that fits; when
// none fits, the last pass leaves out the items that do not fit.
TBarLayout LayoutBar(const std::vector<TBarItemSize>& items, int barW, int closeFullW, int closeCompactW,
                     int xferW);

// The fps shown after a one-second tick: stays -1 until the first picture.
int FpsAfterTick(int fps, int frameCount);

// The recording size: the picture's, held to 1920 pixels wide.
TVPoint RecordSize(int picW, int picH);

// The full-screen bar timer's "pointer near" test.
bool FullScreenBarNear(int x, int y, int clientW, int barH, bool barShown, const TVRect& fsBar);

}  // namespace tovik
