// A synthetic desktop for the video tests: a gradient background, windows with title bars and lines of
// "text", and a coloured block whose place depends on AFrame, so that consecutive pictures differ the
// way a screen does (mostly the same, some of it changed).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovik::test {

// Paints AW x AH 32-bit pixels (blue, green, red, X) at APixels, rows AStride bytes apart.
inline void PaintDesktop(std::uint8_t* APixels, std::ptrdiff_t AStride, int AW, int AH, int AFrame) {
  for (int y = 0; y < AH; ++y) {
    std::uint8_t* row = APixels + y * AStride;
    for (int x = 0; x < AW; ++x) {
      std::uint8_t* p = row + x * 4;
      p[0] = static_cast<std::uint8_t>(120 + y * 100 / AH);
      p[1] = static_cast<std::uint8_t>(60 + x * 60 / AW);
      p[2] = 40;
      p[3] = 0;
      const int wx = x % 600, wy = y % 400;
      if (wx > 40 && wx < 560 && wy > 30 && wy < 370) {
        const bool title = wy < 58;
        // Lines of 8 x 18 character cells; each character a few strokes picked by its cell number.
        const int cell = (wx / 8) * 31 + (wy / 18) * 17, cx = wx % 8, cy = wy % 18;
        const bool stroke = (cx == 1 && (cell & 1)) || (cx == 5 && (cell & 2)) || (cy == 6 && (cell & 4)) ||
                            (cy == 13 && (cell & 8)) || (cx == 3 && cy > 9 && (cell & 16));
        const bool text = !title && cy > 4 && cy < 15 && cx > 0 && cx < 7 && (wx / 8) % 9 != 8 && stroke;
        const std::uint8_t v = title ? 70 : text ? 20 : 245;
        p[0] = p[1] = p[2] = v;
        if (title) p[0] = 180;
      }
    }
  }
  const int size = AW < 128 || AH < 128 ? 8 : 64;
  const int bx = (AFrame * 23) % (AW - size), by = (AFrame * 11) % (AH - size);
  for (int y = by; y < by + size; ++y)
    for (int x = bx; x < bx + size; ++x) {
      std::uint8_t* p = APixels + y * AStride + x * 4;
      p[0] = 30;
      p[1] = 200;
      p[2] = 230;
    }
}

}  // namespace tovik::test
