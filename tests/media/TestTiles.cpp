// Tile update codec: sweep and scan order, tile geometry, decoder bounds, round trips.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "media/TovikCapture.h"
#include "tests/support/PictureChecks.h"

using namespace tovik;

namespace {

struct TTile {
  int X, Y, W, H;
  bool operator==(const TTile&) const = default;
};

// Inflates an update with plain zlib and reads its tiles' headers: an independent reading of the layout.
struct TParsed {
  int W = 0, H = 0, N = 0;
  std::vector<TTile> Tiles;
  TBytes Raw;
};

TParsed Parse(const TBytes& AUpdate) {
  TParsed p;
  p.Raw.resize(kMaxUpdateBytes);
  uLongf len = p.Raw.size();
  EXPECT_EQ(uncompress(p.Raw.data(), &len, AUpdate.data(), AUpdate.size()), Z_OK);
  p.Raw.resize(len);
  p.W = p.Raw[0] | p.Raw[1] << 8;
  p.H = p.Raw[2] | p.Raw[3] << 8;
  p.N = p.Raw[4] | p.Raw[5] << 8;
  std::size_t at = 6;
  for (int i = 0; i < p.N; ++i) {
    const std::uint8_t* q = p.Raw.data() + at;
    TTile t{q[0] | q[1] << 8, q[2] | q[3] << 8, q[4] | q[5] << 8, q[6] | q[7] << 8};
    p.Tiles.push_back(t);
    at += 8 + static_cast<std::size_t>(t.W) * t.H * 3;
  }
  EXPECT_EQ(at, p.Raw.size());
  return p;
}

void Fill(TBitmap32& b, std::uint32_t seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width() * 4; ++x) b.Row(y)[x] = static_cast<std::uint8_t>(rng());
}

void SetPixel(TBitmap32& b, int x, int y, std::uint32_t bgrx) {
  for (int i = 0; i < 4; ++i) b.Row(y)[x * 4 + i] = static_cast<std::uint8_t>(bgrx >> (8 * i));
}

using test::SameBgr;

TBytes Compress(const TBytes& raw, int level = 1) {
  TBytes out(compressBound(raw.size()));
  uLongf len = out.size();
  EXPECT_EQ(compress2(out.data(), &len, raw.data(), raw.size(), level), Z_OK);
  out.resize(len);
  return out;
}

void Put16(TBytes& b, int v) { PutU16LE(b, static_cast<std::uint16_t>(v)); }

// A raw update with the given header and tiles filled with one colour.
TBytes RawUpdate(int w, int h, int n, const std::vector<TTile>& tiles, std::uint8_t colour = 0x80) {
  TBytes raw;
  Put16(raw, w);
  Put16(raw, h);
  Put16(raw, n);
  for (const TTile& t : tiles) {
    Put16(raw, t.X);
    Put16(raw, t.Y);
    Put16(raw, t.W);
    Put16(raw, t.H);
    raw.insert(raw.end(), static_cast<std::size_t>(t.W) * t.H * 3, colour);
  }
  return raw;
}

std::string ApplyError(TBitmap32& b, const TBytes& update) {
  try {
    ApplyScreenUpdate(b, update);
  } catch (const EScreenUpdate& e) {
    return e.what();
  }
  return "";
}

struct TCodec {
  TBitmap32 Cur, Prev, Viewer;
  TTileEncoder Enc;
  explicit TCodec(int w, int h) {
    Cur.SetSize(w, h);
    Prev.SetSize(w, h);
  }
  TParsed Step(bool full = false) {
    auto r = Enc.Encode(Cur, Prev, full);
    if (r.Data.empty()) return {};
    ApplyScreenUpdate(Viewer, r.Data);
    TParsed p = Parse(r.Data);
    EXPECT_EQ(p.N, r.Tiles);
    return p;
  }
};

}  // namespace

TEST(TileEncoder, FullSweepOfFullHdTakesEightUpdates) {
  TCodec c(1920, 1080);
  Fill(c.Cur, 1);
  std::vector<int> counts;
  for (int i = 0; i < 9; ++i) counts.push_back(c.Step(i == 0).N);
  EXPECT_EQ(counts, (std::vector<int>{64, 64, 64, 64, 64, 64, 64, 62, 0}));
  EXPECT_TRUE(SameBgr(c.Viewer, c.Cur));
  EXPECT_FALSE(c.Enc.FForceAll);
}

TEST(TileEncoder, TilingOfAnOddSizedPicture) {
  TCodec c(100, 70);
  Fill(c.Cur, 2);
  const TParsed p = c.Step(true);
  EXPECT_EQ(p.W, 100);
  EXPECT_EQ(p.H, 70);
  EXPECT_EQ(p.Tiles, (std::vector<TTile>{{0, 0, 64, 64}, {64, 0, 36, 64}, {0, 64, 64, 6}, {64, 64, 36, 6}}));
  EXPECT_TRUE(SameBgr(c.Viewer, c.Cur));
}

TEST(TileEncoder, ChangeOfTheXByteAloneSendsTheTile) {
  TCodec c(200, 130);
  Fill(c.Cur, 3);
  c.Step(true);
  ASSERT_EQ(c.Step().N, 0);
  c.Cur.Row(70)[130 * 4 + 3] ^= 0xFF; // tile (2, 1)
  const TParsed p = c.Step();
  EXPECT_EQ(p.Tiles, (std::vector<TTile>{{128, 64, 64, 64}}));
  EXPECT_EQ(c.Step().N, 0);
}

TEST(TileEncoder, ManyChangedTilesFollowInLaterUpdatesWithoutStarving) {
  TCodec c(1920, 1080);
  c.Step(true);
  while (c.Step().N) {
  }
  // 100 tiles change once: 64, then the other 36.
  for (int t = 0; t < 100; ++t) {
    const TRect r = TileRect(t, 1920, 1080);
    SetPixel(c.Cur, r.Left, r.Top, 0x00112233u + t);
  }
  EXPECT_EQ(c.Step().N, 64);
  EXPECT_EQ(c.Step().N, 36);
  EXPECT_EQ(c.Step().N, 0);
  EXPECT_TRUE(SameBgr(c.Viewer, c.Cur));

  // 200 tiles keep changing: every one is sent within four updates, not only the first 64.
  std::vector<int> lastSent(200, -1);
  for (int step = 0; step < 8; ++step) {
    for (int t = 0; t < 200; ++t) {
      const TRect r = TileRect(t, 1920, 1080);
      SetPixel(c.Cur, r.Left + 1, r.Top, 0x00010203u * static_cast<std::uint32_t>(step + 1) + t);
    }
    const TParsed p = c.Step();
    ASSERT_EQ(p.N, 64);
    for (const TTile& t : p.Tiles) lastSent[static_cast<std::size_t>(t.Y / 64 * 30 + t.X / 64)] = step;
  }
  for (int t = 0; t < 200; ++t) EXPECT_GE(lastSent[static_cast<std::size_t>(t)], 4) << "tile " << t;
}

TEST(TileEncoder, DamageMarksGiveTheSameBytesAsComparingEveryTile) {
  // Two encoders see the same pictures; one compares every tile, the other only the tiles marked.
  const int w = 700, h = 450;
  TBitmap32 cur, prevA, prevB;
  cur.SetSize(w, h);
  prevA.SetSize(w, h);
  prevB.SetSize(w, h);
  Fill(cur, 4);
  TTileEncoder plain, marked;
  marked.FTrackDamage = true;
  std::mt19937 rng(5);
  for (int step = 0; step < 60; ++step) {
    const int changes = step % 7 == 0 ? 120 : static_cast<int>(rng() % 5);
    for (int i = 0; i < changes; ++i) {
      const TRect r{static_cast<int>(rng() % w), static_cast<int>(rng() % h), 1 + static_cast<int>(rng() % 90),
                    1 + static_cast<int>(rng() % 40)};
      const TRect c = Intersect(r, {0, 0, w, h});
      const std::uint8_t v = static_cast<std::uint8_t>(rng());
      for (int y = c.Top; y < c.Bottom(); ++y)
        for (int x = c.Left * 4; x < c.Right() * 4; ++x) cur.Row(y)[x] = v;
      marked.MarkDirty(r, w, h);
    }
    const bool full = step == 0 || step == 30;
    const auto a = plain.Encode(cur, prevA, full);
    const auto b = marked.Encode(cur, prevB, full);
    ASSERT_EQ(a.Data, b.Data) << "step " << step;
  }
}

TEST(TileEncoder, RoundTripsRandomPicturesWithEitherStrideSign) {
  struct Case { int W, H, PadCur; bool UpCur; int PadView; bool UpView; };
  const Case cases[] = {{2, 2, 0, false, 0, false}, {65, 129, 4, true, 0, false},
                        {300, 200, 0, false, 12, true}, {1000, 70, 8, true, 8, true}};
  for (const Case& k : cases) {
    TBitmap32 cur, prev, view;
    cur.SetSize(k.W, k.H, k.PadCur, k.UpCur);
    prev.SetSize(k.W, k.H, k.PadCur, !k.UpCur);
    view.SetSize(5, 5, k.PadView, k.UpView);
    EXPECT_EQ(cur.Stride() < 0, k.UpCur);
    Fill(cur, static_cast<std::uint32_t>(k.W));
    TTileEncoder enc;
    for (int i = 0; i < 20; ++i) {
      auto r = enc.Encode(cur, prev, i == 0);
      if (r.Data.empty()) break;
      ApplyScreenUpdate(view, r.Data);
    }
    EXPECT_TRUE(SameBgr(view, cur)) << k.W << "x" << k.H;
    EXPECT_EQ(view.Stride() < 0, k.UpView);
    for (int y = 0; y < k.H; ++y)
      for (int x = 0; x < k.W; ++x) ASSERT_EQ(view.Row(y)[x * 4 + 3], 0);
  }
}

TEST(ApplyScreenUpdate, PaintsAHandMadeUpdate) {
  // A zlib stream of the documented layout, built here without the encoder.
  TBytes raw;
  Put16(raw, 4);
  Put16(raw, 3);
  Put16(raw, 1);
  Put16(raw, 1);
  Put16(raw, 1);
  Put16(raw, 2);
  Put16(raw, 2);
  for (std::uint8_t v : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}) raw.push_back(v);
  raw.push_back(0xEE); // bytes after the last tile are ignored
  // Any zlib stream will do: stored blocks, any level, and bytes after the stream's end are ignored.
  TBytes trailing = Compress(raw);
  trailing.push_back(0x42);
  struct Case { const char* Name; TBytes Body; };
  const Case cases[] = {{"level 1", Compress(raw)}, {"stored", Compress(raw, 0)}, {"level 9", Compress(raw, 9)},
                        {"bytes after the stream", trailing}};
  for (const Case& k : cases) {
    TBitmap32 b;
    ASSERT_EQ(ApplyError(b, k.Body), "") << k.Name;
    ASSERT_EQ(b.Width(), 4) << k.Name;
    ASSERT_EQ(b.Height(), 3) << k.Name;
    EXPECT_EQ(TBytes(b.Row(1) + 4, b.Row(1) + 12), (TBytes{1, 2, 3, 0, 4, 5, 6, 0})) << k.Name;
    EXPECT_EQ(TBytes(b.Row(2) + 4, b.Row(2) + 12), (TBytes{7, 8, 9, 0, 10, 11, 12, 0})) << k.Name;
    EXPECT_EQ(TBytes(b.Row(0), b.Row(0) + 16), TBytes(16, 0)) << k.Name;
  }
}

TEST(ApplyScreenUpdate, ResizesToBlackOrKeepsTheUntouchedArea) {
  const TBytes one = Compress(RawUpdate(100, 70, 1, {{0, 0, 2, 2}}, 0x40));
  TBitmap32 same;
  same.SetSize(100, 70);
  SetPixel(same, 99, 69, 0x00FFFFFF);
  ApplyScreenUpdate(same, one);
  EXPECT_EQ(same.Row(69)[99 * 4], 0xFF);
  EXPECT_EQ(same.Row(0)[0], 0x40);

  TBitmap32 other;
  other.SetSize(50, 50);
  SetPixel(other, 10, 10, 0x00FFFFFF);
  ApplyScreenUpdate(other, one);
  EXPECT_EQ(other.Width(), 100);
  EXPECT_EQ(other.Row(10)[40], 0);
  EXPECT_EQ(other.Row(1)[4], 0x40);
}

TEST(ApplyScreenUpdate, RejectsMalformedUpdates) {
  TBytes huge(kMaxUpdateBytes + 1, 0);
  huge[0] = 100;
  huge[2] = 100;
  TBytes cut = Compress(RawUpdate(10, 10, 0, {}));
  cut.resize(cut.size() - 3);
  TBytes badSum = Compress(RawUpdate(10, 10, 0, {}));
  badSum.back() ^= 1;
  TBytes badWindow = Compress(RawUpdate(10, 10, 0, {}));
  badWindow[0] = 0x88; // a 64 KiB window, more than deflate allows
  badWindow[1] = 0x1C; // header check still right
  struct Case { const char* Name; TBytes Body; const char* Error; };
  const Case cases[] = {
      {"empty body", {}, "buffer error"},
      {"not zlib", BytesOf("hello, world"), "incorrect header check"},
      {"cut zlib stream", cut, "buffer error"},
      {"wrong checksum", badSum, "incorrect data check"},
      {"window too large", badWindow, "invalid window size"},
      {"five bytes", Compress(TBytes{10, 0, 10, 0, 0}), "Screen update too short"},
      {"width 1", Compress(RawUpdate(1, 10, 0, {})), "Bad screen size"},
      {"height 0", Compress(RawUpdate(10, 0, 0, {})), "Bad screen size"},
      {"width beyond limit", Compress(RawUpdate(kMaxScreenSide + 1, 10, 0, {})), "Bad screen size"},
      {"area beyond limit", Compress(RawUpdate(kMaxScreenSide, kMaxScreenSide, 0, {})), "Bad screen size"},
      {"tile past right edge", Compress(RawUpdate(100, 70, 1, {{64, 0, 37, 64}})), "Bad tile in screen update"},
      {"tile past bottom", Compress(RawUpdate(100, 70, 1, {{0, 64, 64, 7}})), "Bad tile in screen update"},
      {"header without pixels", Compress(TBytes{100, 0, 70, 0, 1, 0, 0, 0, 0, 0, 2, 0, 2, 0, 1, 2, 3}),
       "Bad tile in screen update"},
      {"inflates past the largest update", Compress(huge), "Screen update too large"},
  };
  for (const Case& k : cases) {
    TBitmap32 b;
    EXPECT_EQ(ApplyError(b, k.Body), k.Error) << k.Name;
  }
  // The largest update the encoder can make is accepted.
  std::vector<TTile> tiles;
  for (int t = 0; t < 64; ++t) tiles.push_back({(t % 8) * 64, (t / 8) * 64, 64, 64});
  const TBytes largest = RawUpdate(512, 512, 64, tiles);
  ASSERT_EQ(largest.size(), kMaxUpdateBytes);
  TBitmap32 b;
  EXPECT_EQ(ApplyError(b, Compress(largest)), "");
}

TEST(ApplyScreenUpdate, CutShortAfterPaintingTheTilesBefore) {
  TBitmap32 b;
  const TBytes body = Compress(RawUpdate(100, 70, 3, {{0, 0, 64, 64}, {64, 0, 36, 64}}, 0x55));
  EXPECT_EQ(ApplyError(b, body), "Screen update cut short");
  EXPECT_EQ(b.Row(63)[99 * 4], 0x55);
  EXPECT_EQ(b.Row(69)[0], 0);
  // An empty tile paints nothing.
  TBitmap32 c;
  EXPECT_EQ(ApplyError(c, Compress(RawUpdate(100, 70, 1, {{100, 70, 0, 0}}))), "");
}

// The viewer's picture follows a stream of updates exactly as painting each one in place would,
// across size changes and with bad updates in between (which change nothing), so the scratch picture
// is always brought up to date before it is painted.
TEST(ScreenPicture, FollowsTheUpdatesAcrossSizeChangesAndBadUpdates) {
  std::mt19937 rng(7);
  TScreenPicture pic;
  TBitmap32 plain;  // the same good updates painted in place
  const TBytes bad = Compress(RawUpdate(300, 200, 2, {{0, 0, 64, 64}, {290, 0, 64, 64}}, 0x99));
  for (const auto& [w, h] : {std::pair{700, 450}, std::pair{300, 200}, std::pair{300, 200}, std::pair{130, 70}}) {
    TBitmap32 cur, prev;
    cur.SetSize(w, h);
    prev.SetSize(w, h);
    Fill(cur, static_cast<std::uint32_t>(w + h));
    TTileEncoder enc;
    for (int step = 0; step < 40; ++step) {
      for (int i = 0; i < static_cast<int>(rng() % 6); ++i)
        SetPixel(cur, static_cast<int>(rng() % w), static_cast<int>(rng() % h), static_cast<std::uint32_t>(rng()));
      const auto r = enc.Encode(cur, prev, step == 0);
      if (!r.Data.empty()) {
        ApplyScreenUpdate(plain, r.Data);
        pic.Apply(r.Data);
      }
      if (step % 9 == 4) {
        EXPECT_THROW(pic.Apply(bad), EScreenUpdate);
      }
      ASSERT_TRUE(SameBgr(pic.Picture(), plain)) << w << "x" << h << " step " << step;
    }
    EXPECT_TRUE(SameBgr(pic.Picture(), cur)) << w << "x" << h;
  }
}

// A bad update leaves the picture as it was, in the same memory, whatever it did before it failed.
TEST(ScreenPicture, ABadUpdateChangesNothing) {
  struct Case { const char* Name; TBytes Body; };
  const Case cases[] = {
      {"larger, then a tile past the edge", Compress(RawUpdate(1920, 1080, 2, {{0, 0, 64, 64}, {1900, 0, 64, 64}}))},
      {"smaller, then a tile past the edge", Compress(RawUpdate(50, 40, 2, {{0, 0, 8, 8}, {0, 38, 4, 4}}))},
      {"same size, a good tile, then one past the edge", Compress(RawUpdate(100, 70, 2, {{0, 0, 8, 8}, {96, 0, 8, 8}}))},
      {"same size, cut short after a good tile", Compress(RawUpdate(100, 70, 2, {{0, 0, 8, 8}}))},
      {"bad size", Compress(RawUpdate(1, 70, 0, {}))},
      {"not zlib", BytesOf("hello, world")},
  };
  for (const Case& k : cases) {
    TScreenPicture pic;
    pic.Apply(Compress(RawUpdate(100, 70, 1, {{0, 0, 100, 70}}, 0x40)));
    const std::uint8_t* before = pic.Picture().Row(0);
    EXPECT_THROW(pic.Apply(k.Body), EScreenUpdate) << k.Name;
    ASSERT_EQ(pic.Picture().Width(), 100) << k.Name;
    ASSERT_EQ(pic.Picture().Height(), 70) << k.Name;
    EXPECT_EQ(pic.Picture().Row(0), before) << k.Name;
    for (int y = 0; y < 70; ++y)
      for (int x = 0; x < 100; ++x) ASSERT_EQ(pic.Picture().Row(y)[x * 4], 0x40) << k.Name << " at " << x << "," << y;
    // The next good update paints onto the picture as it was.
    pic.Apply(Compress(RawUpdate(100, 70, 1, {{10, 10, 2, 2}}, 0x77)));
    EXPECT_EQ(pic.Picture().Row(10)[10 * 4], 0x77) << k.Name;
    EXPECT_EQ(pic.Picture().Row(0)[0], 0x40) << k.Name;
    EXPECT_EQ(pic.Picture().Row(0)[12 * 4], 0x40) << k.Name;
  }
}

// A picture written in place (a decoded video frame) is the base of the next update.
TEST(ScreenPicture, APictureWrittenInPlaceIsTheBaseOfTheNextUpdate) {
  TScreenPicture pic;
  pic.Apply(Compress(RawUpdate(100, 70, 1, {{0, 0, 100, 70}}, 0x40)));
  pic.Apply(Compress(RawUpdate(100, 70, 1, {{0, 0, 2, 2}}, 0x41)));
  TBitmap32& target = pic.Replace(100, 70);
  for (int y = 0; y < 70; ++y) std::fill(target.Row(y), target.Row(y) + 400, std::uint8_t{0x55});
  pic.Apply(Compress(RawUpdate(100, 70, 1, {{50, 50, 2, 2}}, 0x66)));
  EXPECT_EQ(pic.Picture().Row(0)[0], 0x55);
  EXPECT_EQ(pic.Picture().Row(69)[99 * 4], 0x55);
  EXPECT_EQ(pic.Picture().Row(50)[50 * 4], 0x66);
  EXPECT_EQ(pic.Replace(20, 10).Row(9)[79], 0);  // a new size starts black
}
