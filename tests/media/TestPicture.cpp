// Colour conversion BGRA <-> NV12 / I420 and its bands.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <utility>
#include <vector>

#include "media/TovikCapture.h"
#include "media/TovikPicture.h"

namespace tovik {
namespace {

struct TRgb {
  int R, G, B;
};

// Converts a W x H picture to NV12 and back; fills APicture with AFill(x, y).
struct TRoundTrip {
  int W, H, PadW, PadH;
  TBitmap32 Src, Back;
  std::vector<std::uint8_t> Nv12;

  TRoundTrip(int AW, int AH, int APadW, int APadH) : W(AW), H(AH), PadW(APadW), PadH(APadH) {
    Src.SetSize(W, H);
    Nv12.assign(static_cast<std::size_t>(PadW) * PadH * 3 / 2, 0xEE);
  }
  void Fill(TRgb (*AFill)(int, int)) {
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const TRgb c = AFill(x, y);
        std::uint8_t* p = Src.Row(y) + x * 4;
        p[0] = static_cast<std::uint8_t>(c.B);
        p[1] = static_cast<std::uint8_t>(c.G);
        p[2] = static_cast<std::uint8_t>(c.R);
      }
  }
  void Run() {
    BgraToNV12(Src.Row(0), Src.Stride(), W, H, Nv12.data(), PadW, PadH);
    Back.SetSize(W, H);
    NV12ToBgra(Nv12.data(), Nv12.data() + PadW * PadH, PadW, Back.Row(0), Back.Stride(), W, H);
  }
  std::uint8_t Y(int x, int y) const { return Nv12[static_cast<std::size_t>(y) * PadW + x]; }
  std::uint8_t U(int x, int y) const { return Nv12[static_cast<std::size_t>(PadW) * PadH + (y / 2) * PadW + (x / 2) * 2]; }
  int MaxDiff() const {
    int worst = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W * 4; ++x)
        if (x % 4 != 3) worst = std::max(worst, std::abs(int(Src.Row(y)[x]) - int(Back.Row(y)[x])));
    return worst;
  }
};

TEST(Picture, WhiteAndBlackAreExactBothWays) {
  struct TCase {
    TRgb Colour;
    int Y, U, V;
  };
  const TCase cases[] = {{{255, 255, 255}, 235, 128, 128}, {{0, 0, 0}, 16, 128, 128}};
  for (const TCase& c : cases) {
    static TRgb colour;
    colour = c.Colour;
    TRoundTrip t(6, 4, 6, 4);
    t.Fill([](int, int) { return colour; });
    t.Run();
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x) {
        EXPECT_EQ(t.Y(x, y), c.Y);
        EXPECT_EQ(t.U(x, y), c.U);
      }
    EXPECT_EQ(t.Nv12[6 * 4 + 1], c.V);
    EXPECT_EQ(t.MaxDiff(), 0) << c.Colour.R;
  }
}

// Flat 2 x 2 blocks of one colour come back within 2 levels per channel.
TEST(Picture, FlatBlocksComeBackWithinTwoLevels) {
  TRoundTrip t(64, 32, 64, 32);
  t.Fill([](int x, int y) {
    const int block = (y / 2) * 32 + x / 2;  // 512 blocks, each its own colour
    return TRgb{(block * 37) % 256, (block * 91 + 40) % 256, (block * 13 + 200) % 256};
  });
  t.Run();
  // Saturated colours lose a little more in limited range; stay within the formulas' rounding.
  int worst = 0;
  for (int y = 0; y < t.H; ++y)
    for (int x = 0; x < t.W; ++x) {
      const std::uint8_t* a = t.Src.Row(y) + x * 4;
      const std::uint8_t* b = t.Back.Row(y) + x * 4;
      // Colours inside the BT.601 gamut (the reconstructed value is not clamped) must be within 2.
      bool clamped = false;
      for (int ch = 0; ch < 3; ++ch) clamped |= b[ch] == 0 || b[ch] == 255;
      if (clamped) continue;
      for (int ch = 0; ch < 3; ++ch) worst = std::max(worst, std::abs(int(a[ch]) - int(b[ch])));
    }
  EXPECT_LE(worst, 2);
  EXPECT_EQ(t.Back.Row(0)[3], 0);  // X byte
}

// The padding repeats the last column and row; odd widths take the pair's chroma.
TEST(Picture, PaddingRepeatsTheEdgeAndOddWidthsWork) {
  TRoundTrip t(5, 3, 8, 4);
  t.Fill([](int x, int y) { return TRgb{x * 50, y * 80, 100}; });
  t.Run();
  for (int y = 0; y < 4; ++y)
    for (int x = 5; x < 8; ++x) EXPECT_EQ(t.Y(x, y), t.Y(4, std::min(y, 2)));
  for (int x = 0; x < 8; ++x) EXPECT_EQ(t.Y(x, 3), t.Y(x, 2));
  // The last (odd) column of the picture decodes with the chroma of its pair: a flat bottom-right
  // pair keeps its colour.
  TRoundTrip flat(3, 2, 4, 2);
  flat.Fill([](int, int) { return TRgb{200, 30, 90}; });
  flat.Run();
  EXPECT_LE(flat.MaxDiff(), 2);
}

// A bottom-up source (negative stride) converts like a top-down one.
TEST(Picture, NegativeStrideSourceAndTarget) {
  TBitmap32 up, down;
  up.SetSize(4, 4, 0, true);
  down.SetSize(4, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 16; ++x) up.Row(y)[x] = down.Row(y)[x] = static_cast<std::uint8_t>(y * 40 + x * 7);
  std::vector<std::uint8_t> a(24), b(24);
  BgraToNV12(up.Row(0), up.Stride(), 4, 4, a.data(), 4, 4);
  BgraToNV12(down.Row(0), down.Stride(), 4, 4, b.data(), 4, 4);
  EXPECT_EQ(a, b);
  TBitmap32 back;
  back.SetSize(4, 4, 0, true);
  NV12ToBgra(a.data(), a.data() + 16, 4, back.Row(0), back.Stride(), 4, 4);
  TBitmap32 back2;
  back2.SetSize(4, 4);
  NV12ToBgra(a.data(), a.data() + 16, 4, back2.Row(0), back2.Stride(), 4, 4);
  for (int y = 0; y < 4; ++y) EXPECT_EQ(0, std::memcmp(back.Row(y), back2.Row(y), 16));
}

// I420 (what the H.264 decoder gives) converts like the same picture in NV12.
TEST(Picture, I420MatchesNV12) {
  TRoundTrip t(6, 4, 6, 4);
  t.Fill([](int x, int y) { return TRgb{x * 40, 255 - y * 60, (x + y) * 20}; });
  t.Run();
  std::vector<std::uint8_t> u(6), v(6);
  for (int i = 0; i < 6; ++i) {
    u[i] = t.Nv12[24 + i * 2];
    v[i] = t.Nv12[24 + i * 2 + 1];
  }
  TBitmap32 back;
  back.SetSize(6, 4);
  I420ToBgra(t.Nv12.data(), 6, u.data(), v.data(), 3, back.Row(0), back.Stride(), 6, 4);
  for (int y = 0; y < 4; ++y) EXPECT_EQ(0, std::memcmp(back.Row(y), t.Back.Row(y), 24));
}

// The formulas written out pixel by pixel (edges repeated), against which every width is checked:
// the fast paths work on eight columns at a time and must agree byte for byte, at the picture's
// edges and in its padding too.
int RefY(int r, int g, int b) { return ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16; }
int RefClamp(int v) { return std::clamp(v, 0, 255); }
int RefFloorDiv256(int v) { return v >= 0 ? v / 256 : -((-v + 255) / 256); }

TEST(Picture, EveryWidthMatchesTheFormulasByteForByte) {
  std::srand(7);
  for (const int w : {1, 2, 7, 8, 9, 15, 16, 17, 24, 31, 33, 67}) {
    for (const int h : {1, 2, 3, 6}) {
      const int padW = (w + 1) / 2 * 2 + 2, padH = (h + 1) / 2 * 2 + 2;
      TBitmap32 src;
      src.SetSize(w, h);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 4; ++x) src.Row(y)[x] = static_cast<std::uint8_t>(std::rand());
      std::vector<std::uint8_t> nv12(static_cast<std::size_t>(padW) * padH * 3 / 2);
      BgraToNV12(src.Row(0), src.Stride(), w, h, nv12.data(), padW, padH);
      const auto px = [&](int x, int y) { return src.Row(std::min(y, h - 1)) + std::min(x, w - 1) * 4; };
      for (int y = 0; y < padH; ++y)
        for (int x = 0; x < padW; ++x) {
          const std::uint8_t* p = px(x, y);
          ASSERT_EQ(nv12[y * padW + x], RefY(p[2], p[1], p[0])) << w << "x" << h << " at " << x << "," << y;
        }
      for (int y = 0; y < padH; y += 2)
        for (int x = 0; x < padW; x += 2) {
          int sb = 0, sg = 0, sr = 0;
          for (const auto& [dx, dy] : {std::pair{0, 0}, {1, 0}, {0, 1}, {1, 1}}) {
            const std::uint8_t* p = px(x + dx, y + dy);
            sb += p[0], sg += p[1], sr += p[2];
          }
          const std::uint8_t* uv = nv12.data() + padW * padH + (y / 2) * padW + x;
          ASSERT_EQ(uv[0], (112 * sb - 38 * sr - 74 * sg + 131584) >> 10) << w << "x" << h << " U at " << x;
          ASSERT_EQ(uv[1], (112 * sr - 94 * sg - 18 * sb + 131584) >> 10) << w << "x" << h << " V at " << x;
        }

      // Back from random planes, NV12 and the same chroma as I420.
      for (auto& b : nv12) b = static_cast<std::uint8_t>(std::rand());
      const std::uint8_t* yPlane = nv12.data();
      const std::uint8_t* uvPlane = nv12.data() + padW * padH;
      std::vector<std::uint8_t> u(padW / 2 * padH / 2), v(u.size());
      for (int y = 0; y < padH / 2; ++y)
        for (int x = 0; x < padW / 2; ++x) {
          u[y * (padW / 2) + x] = uvPlane[y * padW + x * 2];
          v[y * (padW / 2) + x] = uvPlane[y * padW + x * 2 + 1];
        }
      TBitmap32 a, b;
      a.SetSize(w, h);
      b.SetSize(w, h);
      NV12ToBgra(yPlane, uvPlane, padW, a.Row(0), a.Stride(), w, h);
      I420ToBgra(yPlane, padW, u.data(), v.data(), padW / 2, b.Row(0), b.Stride(), w, h);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const int yy = yPlane[y * padW + x] - 16;
          const int uu = uvPlane[(y / 2) * padW + (x / 2) * 2] - 128;
          const int vv = uvPlane[(y / 2) * padW + (x / 2) * 2 + 1] - 128;
          const int want[4] = {RefClamp(RefFloorDiv256(298 * yy + 516 * uu + 128)),
                               RefClamp(RefFloorDiv256(298 * yy - 100 * uu - 208 * vv + 128)),
                               RefClamp(RefFloorDiv256(298 * yy + 409 * vv + 128)), 0};
          for (int ch = 0; ch < 4; ++ch) {
            ASSERT_EQ(a.Row(y)[x * 4 + ch], want[ch]) << w << "x" << h << " NV12 at " << x << "," << y;
            ASSERT_EQ(b.Row(y)[x * 4 + ch], want[ch]) << w << "x" << h << " I420 at " << x << "," << y;
          }
        }
    }
  }
}

// Band heights: 1920 x 1088 on three processors gives 364-row bands; odd heights round up to even
// for the row-pair converter.
TEST(Picture, BandRows) {
  struct TCase {
    int H, Threads;
    bool Even;
    int Rows;
  } const cases[] = {{1088, 3, true, 364}, {1088, 3, false, 363}, {1080, 8, true, 136}, {7, 4, true, 2},
                     {7, 4, false, 2},     {1, 8, false, 1}};
  for (const TCase& c : cases) EXPECT_EQ(BandRows(c.H, c.Threads, c.Even), c.Rows) << c.H << "/" << c.Threads;
}

// A large picture converted in parallel bands gives the same bytes as band by band on one thread, and
// the pool runs every band exactly once, again and again.
TEST(Picture, ParallelBandsMatchOneThread) {
  TRoundTrip t(1000, 700, 1008, 704);
  t.Fill([](int x, int y) { return TRgb{(x * 3 + y) % 256, (x ^ y) % 256, (y * 5) % 256}; });
  t.Run();  // parallel when this PC has several processors
  std::vector<std::uint8_t> serial(t.Nv12.size());
  const int band = BandRows(704, 3, true);
  for (int b = 0; b < 3; ++b) {
    // Convert each band alone through the plane entry on a sub-picture: rows [b*band, ...).
    const int first = b * band, end = std::min((b + 1) * band, 704);
    TBitmap32 part;
    part.SetSize(1000, end - first);
    for (int y = first; y < end; ++y) std::memcpy(part.Row(y - first), t.Src.Row(std::min(y, 699)), 4000);
    BgraToNV12Planes(part.Row(0), part.Stride(), 1000, end - first, serial.data() + first * 1008, 1008,
                     serial.data() + 1008 * 704 + (first / 2) * 1008, 1008, 1008, end - first);
  }
  EXPECT_EQ(serial, t.Nv12);

  TBandPool pool(4);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::atomic<int>> runs(7);
    pool.Run(7, [&](int b) { runs[b].fetch_add(1); });
    for (auto& r : runs) ASSERT_EQ(r.load(), 1);
  }
}

}  // namespace
}  // namespace tovik
