#include "media/TovikThumbs.h"

#include <algorithm>

#include "base/TovikOwnWindows.h"

namespace tovik {

TBytes ScaleToBgr24(const TBitmap32& ASrc, int ADstW, int ADstH) {
  const int sw = ASrc.Width(), sh = ASrc.Height();
  if (ADstW < 1 || ADstH < 1 || sw < 1 || sh < 1) return {};
  TBytes out(static_cast<std::size_t>(ADstW) * ADstH * 3);
  std::vector<std::uint32_t> sums(static_cast<std::size_t>(ADstW) * 3);
  // Large areas are averaged over every step-th row and column (at least 4 x 4 samples per pixel).
  const int stepX = std::max(1, sw / ADstW / 4), stepY = std::max(1, sh / ADstH / 4);
  std::vector<int> x0(ADstW + 1);
  for (int dx = 0; dx <= ADstW; ++dx) x0[dx] = static_cast<int>(static_cast<std::int64_t>(dx) * sw / ADstW);
  for (int dy = 0; dy < ADstH; ++dy) {
    const int ya = static_cast<int>(static_cast<std::int64_t>(dy) * sh / ADstH);
    const int yb = std::max(ya + 1, static_cast<int>(static_cast<std::int64_t>(dy + 1) * sh / ADstH));
    std::fill(sums.begin(), sums.end(), 0);
    const std::uint32_t rows = static_cast<std::uint32_t>((yb - ya + stepY - 1) / stepY);
    for (int y = ya; y < yb; y += stepY) {
      const std::uint8_t* row = ASrc.Row(y);
      for (int dx = 0; dx < ADstW; ++dx) {
        const int xb = std::max(x0[dx] + 1, x0[dx + 1]);
        std::uint32_t b = 0, g = 0, r = 0;
        for (int x = x0[dx]; x < xb; x += stepX) {
          b += row[x * 4];
          g += row[x * 4 + 1];
          r += row[x * 4 + 2];
        }
        sums[dx * 3] += b;
        sums[dx * 3 + 1] += g;
        sums[dx * 3 + 2] += r;
      }
    }
    std::uint8_t* dst = out.data() + static_cast<std::size_t>(dy) * ADstW * 3;
    for (int dx = 0; dx < ADstW; ++dx) {
      const int cols = (std::max(x0[dx] + 1, x0[dx + 1]) - x0[dx] + stepX - 1) / stepX;
      const std::uint32_t n = rows * static_cast<std::uint32_t>(cols);
      for (int c = 0; c < 3; ++c) dst[dx * 3 + c] = static_cast<std::uint8_t>((sums[dx * 3 + c] + n / 2) / n);
    }
  }
  return out;
}

TBytes GrabThumbnail(IScreenBackend& ABackend, const TRect& AScreen, int AW, int AH) {
  if (AScreen.Width < 1 || AScreen.Height < 1 || AScreen.Width > kMaxScreenSide || AScreen.Height > kMaxScreenSide)
    return {};
  auto grab = ABackend.CreatePlain(AScreen);
  if (!grab) return {};
  TBitmap32 bmp;
  bmp.SetSize(AScreen.Width, AScreen.Height);
  TGrabChanges changed;
  if (grab->CopyTo(bmp, false, {}, changed) != TGrabStatus::gsOk) return {};
  BlankOwnWindows(bmp.Row(0), bmp.Width(), bmp.Height(), static_cast<int>(bmp.Stride()), AScreen.Left, AScreen.Top,
                  OwnWindowRects(), kOwnWindowBlankPixel);
  return ScaleToBgr24(bmp, AW, AH);
}

}  // namespace tovik
