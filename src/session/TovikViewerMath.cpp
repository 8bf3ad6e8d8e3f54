#include "session/TovikViewerMath.h"

#include <algorithm>
#include <cmath>

namespace tovik {

TVRect PlacePicture(int mode, int picW, int picH, int clientW, int clientH, int barH, TVPoint& scroll) {
  const int areaW = std::max(0, clientW), areaH = std::max(0, clientH - barH);
  if (picW <= 0 || picH <= 0 || areaH <= 0 || areaW <= 0) return {};
  if (mode == vmOriginal) {
    scroll.X = std::clamp(scroll.X, 0, std::max(0, picW - areaW));
    scroll.Y = std::clamp(scroll.Y, 0, std::max(0, picH - areaH));
    const int left = picW > areaW ? -scroll.X : (areaW - picW) / 2;
    const int top = (picH > areaH ? -scroll.Y : (areaH - picH) / 2) + barH;
    return {left, top, picW, picH};
  }
  const double scale = std::min(static_cast<double>(areaH) / picH, static_cast<double>(areaW) / picW);
  const int w = static_cast<int>(std::lround(picW * scale)), h = static_cast<int>(std::lround(picH * scale));
  return {(areaW - w) / 2, barH + (areaH - h) / 2, w, h};
}

TVPoint MapToPicture(const TVRect& dest, int picW, int picH, int cx, int cy) {
  if (dest.Empty() || picW <= 0 || picH <= 0) return {};
  // The host pixel drawn at the centre of the window pixel: with a shrunk picture, mapping the
  // pixel's left edge instead would never reach the last host column and row.
  auto map = [](long long offset, long long size, long long pic) {
    const long long num = (2 * offset + 1) * pic, den = 2 * size;
    const long long v = num >= 0 ? num / den : -((-num + den - 1) / den);
    return static_cast<int>(std::clamp<long long>(v, 0, pic - 1));
  };
  return {map(cx - dest.Left, dest.Width, picW), map(cy - dest.Top, dest.Height, picH)};
}

int EdgeAt(const TVRect& dest, int cx) {
  if (dest.Empty()) return 0;
  if (cx >= dest.Right() - 2) return +1;
  if (cx <= dest.Left + 1) return -1;
  return 0;
}

double EdgeFraction(const TVRect& dest, int cy) {
  if (dest.Height <= 0) return 0;
  return std::clamp(static_cast<double>(cy - dest.Top) / dest.Height, 0.0, 1.0);
}

TVPoint PanDistance(int x, int y, int clientW, int clientH, int barH) {
  TVPoint d;
  if (x < 28) d.X = x - 28;
  else if (x >= clientW - 28) d.X = x - clientW + 29;
  if (y < barH + 28) d.Y = y - barH - 28;
  else if (y >= clientH - 28) d.Y = y - clientH + 29;
  return d;
}

int PanStep(int d) { return d == 0 ? 0 : (d > 0 ? 2 : -2) + d / 2; }

TBarLayout LayoutBar(const std::vector<TBarItemSize>& items, int barW, int closeFullW, int closeCompactW,
                     int xferW) {
  TBarLayout out;
  for (int pass = 0; pass < 3; ++pass) {
    TBarLayout l;
    l.Pass = pass;
    l.Compact = pass > 0;
    l.InfoW = pass < 2 ? 250 : 0;
    l.Lefts.assign(items.size(), -1);
    int x = l.InfoW + 19;
    int groupStart = -1;
    const int limit = barW - (l.Compact ? closeCompactW : closeFullW) - 112 - xferW;
    bool full = false;
    auto closeTray = [&] {
      if (groupStart < 0) return;
      l.Trays.push_back({groupStart - 5, 9, x + 1 - (groupStart - 5), 38});
      groupStart = -1;
    };
    for (size_t i = 0; i < items.size(); ++i) {
      const TBarItemSize& it = items[i];
      if (!it.Visible) continue;
      if (it.Spacer) {
        if (full) continue;
        closeTray();
        x += 10;
        continue;
      }
      const int w = l.Compact ? it.CompactWidth : it.FullWidth;
      // In the last pass, items that would run into the fps pill and what is right of it are left
      // out rather than drawn over them.
      if (pass == 2 && (full || x + w + 4 > limit)) {
        full = true;
        l.Lefts[i] = -2;
        continue;
      }
      if (groupStart < 0) groupStart = x;
      l.Lefts[i] = x;
      x += w + 4;
    }
    closeTray();
    l.EndX = x;
    out = l;
    if (limit >= x) break;
  }
  return out;
}

int FpsAfterTick(int fps, int frameCount) { return (fps >= 0 || frameCount > 0) ? frameCount : fps; }

TVPoint RecordSize(int picW, int picH) {
  if (picW <= 1920) return {picW, picH};
  return {1920, static_cast<int>(std::lround(static_cast<double>(picH) * 1920 / picW))};
}

bool FullScreenBarNear(int x, int y, int clientW, int barH, bool barShown, const TVRect& fsBar) {
  if (y >= 0 && y <= barH + 3 && x >= 0 && x < clientW) return true;
  return barShown && x >= fsBar.Left - 12 && x < fsBar.Right() + 12 && y >= fsBar.Top - 12 &&
         y < fsBar.Bottom() + 12;
}

}  // namespace tovik
