// Compact tile updates: round trips of the per-tile codings and of scrolls, the shared deflate
// context across updates and its recovery, the old format kept for viewers without them, and the
// decoder's bounds on hand-made updates.
#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <random>

#include "media/TovikCapture.h"
#include "media/TovikRowHashes.h"
#include "tests/support/PictureChecks.h"

using namespace tovik;

namespace {

using test::SameBgr;

void SetPixel(TBitmap32& b, int x, int y, std::uint32_t bgr) {
  for (int i = 0; i < 3; ++i) b.Row(y)[x * 4 + i] = static_cast<std::uint8_t>(bgr >> (8 * i));
  b.Row(y)[x * 4 + 3] = 0;
}

void FillRandom(TBitmap32& b, std::uint32_t seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) SetPixel(b, x, y, rng() & 0xFFFFFF);
}

// Lines of "text": 6 x 12 cells of glyphs drawn from a small set, two colours on a light ground,
// one line per 12 rows, each line different (its number is spelled in glyphs).
void FillText(TBitmap32& b, std::uint32_t seed, int firstLine = 0) {
  std::mt19937 rng(seed);
  std::vector<std::array<std::uint16_t, 12>> glyphs(40);
  for (auto& g : glyphs)
    for (auto& row : g) row = static_cast<std::uint16_t>(rng() & 0x3F);
  for (int y = 0; y < b.Height(); ++y) {
    const unsigned line = static_cast<unsigned>(firstLine + y / 12);
    for (int x = 0; x < b.Width(); ++x) {
      const int cell = x / 6;
      const unsigned pick = (line * 2654435761u) ^ (static_cast<unsigned>(cell) * 40503u + seed);
      const auto& g = glyphs[(pick ^ (pick >> 13)) % glyphs.size()];
      const bool ink = x < b.Width() * 3 / 4 && ((g[static_cast<std::size_t>(y % 12)] >> (x % 6)) & 1);
      SetPixel(b, x, y, ink ? (cell % 7 == 0 ? 0x2020C0u : 0x101010u) : 0xF0F0F0u);
    }
  }
}

// Moves rows [top, top + h) of the picture by ADy rows (negative: up), new rows from AFresh.
void Scroll(TBitmap32& b, const TRect& ARect, int ADy, const TBitmap32& AFresh) {
  TBitmap32 old = b;
  for (int y = ARect.Top; y < ARect.Bottom(); ++y) {
    const int from = y - ADy;
    const TBitmap32& src = from >= ARect.Top && from < ARect.Bottom() ? old : AFresh;
    const int sy = from >= ARect.Top && from < ARect.Bottom() ? from : y;
    std::memcpy(b.Row(y) + ARect.Left * 4, src.Row(sy) + ARect.Left * 4, static_cast<std::size_t>(ARect.Width) * 4);
  }
}

// A host encoder and a viewer's picture; Sync sends updates until nothing is left to send.
struct TPair {
  TBitmap32 Cur, Prev;
  TTileEncoder Enc;
  TScreenPicture View;
  std::size_t Bytes = 0;
  std::vector<TBytes> Sent;

  explicit TPair(int w, int h, bool compact = true) {
    Cur.SetSize(w, h);
    Prev.SetSize(w, h);
    Enc.FCompact = compact;
  }
  // Returns the number of updates.
  int Sync(bool full = false) {
    int n = 0;
    for (;; ++n) {
      auto r = Enc.Encode(Cur, Prev, full && n == 0);
      if (r.Data.empty()) break;
      Bytes += r.Data.size();
      Sent.push_back(r.Data);
      View.Apply(r.Data);
      if (n > 1000) ADD_FAILURE() << "no end of updates";
    }
    return n;
  }
};

}  // namespace

TEST(CompactTiles, RoundTripsPicturesAndChanges) {
  struct TCase {
    const char* Name;
    bool Text;
    int Dy;       // scroll of the middle region; 0 for none
    bool Others;  // other changes beside the scroll
  };
  std::vector<TCase> cases = {{"random", false, 0, false}, {"text", true, 0, false}};
  for (int dy : {1, 2, 5, 12, 63, 64, 65, 200, -1, -3, -12, -64, -130})
    for (bool others : {false, true}) cases.push_back({"scroll", true, dy, others});
  cases.push_back({"random scroll", false, -24, true});
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + " dy=" + std::to_string(c.Dy) + (c.Others ? " with other changes" : ""));
    TPair p(333, 470);
    if (c.Text)
      FillText(p.Cur, 5);
    else
      FillRandom(p.Cur, 5);
    p.Sync(true);
    ASSERT_TRUE(SameBgr(p.View.Picture(), p.Cur));
    const std::size_t fullBytes = p.Bytes;
    TBitmap32 fresh(p.Cur);
    if (c.Text)
      FillText(fresh, 5, 1000);
    else
      FillRandom(fresh, 6);
    const TRect region{10, 30, 300, 400};
    p.Bytes = 0;
    if (c.Dy != 0) Scroll(p.Cur, region, c.Dy, fresh);
    if (c.Others) {
      for (int x = 0; x < 333; ++x) SetPixel(p.Cur, x, 5, 0x00FF00u);        // above the region
      for (int y = 0; y < 470; ++y) SetPixel(p.Cur, 320, y, 0x0000FFu);      // beside it, every row
      for (int x = 50; x < 90; ++x) SetPixel(p.Cur, x, 200, 0xFF0000u);      // inside it
    }
    p.Sync();
    EXPECT_TRUE(SameBgr(p.View.Picture(), p.Cur));
    EXPECT_TRUE(SameBgr(p.Prev, p.Cur));
    // A scroll of text by a line or more costs a copy and the tiles of the new rows, not the region.
    if (c.Text && !c.Others && std::abs(c.Dy) >= 12 && std::abs(c.Dy) <= 64) {
      EXPECT_LT(p.Bytes * 3, fullBytes);
    }
  }
}

// Updates of mostly raw pixels (photographs) go in the old format, which compresses them faster; the
// compact stream goes on around them, and restarts after one that took a restart's place.
TEST(CompactTiles, PhotoUpdatesGoInTheOldFormatAndTheCompactStreamGoesOnAroundThem) {
  struct TStep {
    const char* Name;
    bool Full;     // a full picture
    bool Photo;    // random pixels, else text
    bool Compact;  // the first update is a compact one
    bool Reset;    // ... that restarts the stream
  } steps[] = {
      {"full text", true, false, true, true},
      {"a photo region", false, true, false, false},
      {"text continues the stream", false, false, true, false},
      {"full photo", true, true, false, false},
      {"text after it restarts the stream", false, false, true, true},
      {"full text again", true, false, true, true},
  };
  TPair p(320, 256);
  std::uint32_t seed = 1;
  for (const TStep& st : steps) {
    SCOPED_TRACE(st.Name);
    ++seed;
    if (st.Photo && st.Full) {
      FillRandom(p.Cur, seed);
    } else if (st.Photo) {
      TBitmap32 fresh(p.Cur);
      FillRandom(fresh, seed);
      for (int y = 64; y < 192; ++y) std::memcpy(p.Cur.Row(y), fresh.Row(y), 320 * 4);
    } else {
      FillText(p.Cur, seed);
    }
    const std::size_t at = p.Sent.size();
    p.Sync(st.Full);
    ASSERT_GT(p.Sent.size(), at);
    TCompactHeader h;
    EXPECT_EQ(ReadCompactHeader(p.Sent[at], h), st.Compact);
    if (st.Compact) {
      EXPECT_EQ(h.Reset, st.Reset);
    }
    EXPECT_TRUE(SameBgr(p.View.Picture(), p.Cur));
  }
}

TEST(CompactTiles, TextCostsFarLessThanTheOldFormat) {
  TPair compact(640, 480), old(640, 480, false);
  FillText(compact.Cur, 9);
  FillText(old.Cur, 9);
  compact.Sync(true);
  old.Sync(true);
  EXPECT_TRUE(SameBgr(compact.View.Picture(), compact.Cur));
  EXPECT_LT(compact.Bytes * 2, old.Bytes);
}

TEST(CompactTiles, AViewerWithoutThemGetsTheOldFormatByteForByte) {
  // An encoder that wrote compact updates and is switched back writes what one never switched does.
  TPair once(300, 200), never(300, 200, false);
  FillRandom(once.Cur, 3);
  FillRandom(never.Cur, 3);
  once.Sync(true);
  never.Sync(true);
  once.Enc.FCompact = false;
  for (auto* p : {&once, &never}) {
    p->Sent.clear();
    FillText(p->Cur, 4);
    p->Sync(true);
  }
  ASSERT_EQ(once.Sent.size(), never.Sent.size());
  for (std::size_t i = 0; i < once.Sent.size(); ++i) {
    EXPECT_EQ(once.Sent[i], never.Sent[i]);
    EXPECT_NE(once.Sent[i].at(0), kCompactMagic);
  }
  EXPECT_TRUE(SameBgr(once.View.Picture(), once.Cur));
}

TEST(CompactTiles, AMissedUpdateIsRefusedUntilAFullPictureRestartsTheContext) {
  TPair p(256, 192);
  FillText(p.Cur, 1);
  p.Sync(true);
  // Two updates; the viewer misses the first.
  FillText(p.Cur, 1, 40);
  auto lost = p.Enc.Encode(p.Cur, p.Prev, false);
  ASSERT_FALSE(lost.Data.empty());
  for (int x = 0; x < 256; ++x) SetPixel(p.Cur, x, 100, 0x123456u);
  auto next = p.Enc.Encode(p.Cur, p.Prev, false);
  ASSERT_FALSE(next.Data.empty());
  TBitmap32 before = p.View.Picture();
  EXPECT_THROW(p.View.Apply(next.Data), EScreenUpdate);
  EXPECT_TRUE(SameBgr(p.View.Picture(), before));
  // The viewer asks for a full picture; its first update restarts the shared context.
  const std::size_t at = p.Sent.size();
  p.Sync(true);
  ASSERT_GT(p.Sent.size(), at);
  TCompactHeader h;
  ASSERT_TRUE(ReadCompactHeader(p.Sent[at], h));
  EXPECT_TRUE(h.Reset);
  EXPECT_EQ(h.Seq, 0u);
  EXPECT_TRUE(SameBgr(p.View.Picture(), p.Cur));
  // ... and the updates after it follow on.
  for (int x = 0; x < 256; ++x) SetPixel(p.Cur, x, 150, 0x654321u);
  p.Sync();
  EXPECT_TRUE(SameBgr(p.View.Picture(), p.Cur));
}

namespace {

// A hand-made compact update: header plus AOps deflated as the first piece of a fresh stream.
TBytes Hand(int w, int h, int nops, const TBytes& AOps, bool reset = true, std::uint32_t seq = 0,
            std::int64_t rawSize = -1) {
  TBytes out(kCompactHeader);
  out[0] = kCompactMagic;
  out[1] = reset ? kCompactReset : 0;
  for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<std::uint8_t>(seq >> (8 * i));
  out[6] = static_cast<std::uint8_t>(w), out[7] = static_cast<std::uint8_t>(w >> 8);
  out[8] = static_cast<std::uint8_t>(h), out[9] = static_cast<std::uint8_t>(h >> 8);
  out[10] = static_cast<std::uint8_t>(nops), out[11] = static_cast<std::uint8_t>(nops >> 8);
  const std::uint32_t raw = rawSize < 0 ? static_cast<std::uint32_t>(AOps.size()) : static_cast<std::uint32_t>(rawSize);
  for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<std::uint8_t>(raw >> (8 * i));
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  TBytes buf(AOps.size() + 1024);
  z.next_in = const_cast<Bytef*>(AOps.data());
  z.avail_in = static_cast<uInt>(AOps.size());
  z.next_out = buf.data();
  z.avail_out = static_cast<uInt>(buf.size());
  EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
  buf.resize(buf.size() - z.avail_out);
  deflateEnd(&z);
  out.insert(out.end(), buf.begin(), buf.end());
  return out;
}

void Op(TBytes& b, int op, int x, int y, int w, int h) {
  b.push_back(static_cast<std::uint8_t>(op));
  for (int v : {x, y, w, h}) PutU16LE(b, static_cast<std::uint16_t>(v));
}

}  // namespace

TEST(CompactTiles, DecoderPaintsHandMadeOperations) {
  TBytes ops;
  Op(ops, 2, 0, 0, 8, 8);  // solid blue-ish
  ops.insert(ops.end(), {0x11, 0x22, 0x33});
  Op(ops, 3, 8, 0, 3, 2);  // palette of 3: 2 bits per index
  ops.insert(ops.end(), {3, 1, 1, 1, 2, 2, 2, 3, 3, 3});
  ops.insert(ops.end(), {0b00011000, 0b10010000});  // row 0: 0 1 2, row 1: 2 1 0
  Op(ops, 1, 0, 4, 8, 2);                            // copy rows 0..1 to 4..5
  PutU16LE(ops, 0);
  TBitmap32 b;
  TCompactDecoder d;
  std::vector<TRect> painted;
  d.Apply(b, Hand(16, 8, 3, ops), &painted);
  ASSERT_EQ(b.Width(), 16);
  EXPECT_EQ(b.Row(7)[7 * 4 + 0], 0x11);
  EXPECT_EQ(b.Row(5)[3 * 4 + 2], 0x33);  // copied
  EXPECT_EQ(b.Row(0)[8 * 4], 1);
  EXPECT_EQ(b.Row(0)[9 * 4], 2);
  EXPECT_EQ(b.Row(0)[10 * 4], 3);
  EXPECT_EQ(b.Row(1)[8 * 4], 3);
  EXPECT_EQ(b.Row(1)[10 * 4], 1);
  EXPECT_EQ(painted.size(), 3u);
}

TEST(CompactTiles, DecoderRefusesMalformedUpdates) {
  TBytes solid;
  Op(solid, 2, 0, 0, 4, 4);
  solid.insert(solid.end(), {1, 2, 3});
  auto op = [](int kind, int x, int y, int w, int h, std::initializer_list<std::uint8_t> rest) {
    TBytes b;
    Op(b, kind, x, y, w, h);
    b.insert(b.end(), rest);
    return b;
  };
  struct TCase {
    const char* Name;
    TBytes Update;
  };
  TBytes cut = Hand(8, 8, 1, solid);
  cut.resize(kCompactHeader + (cut.size() - kCompactHeader) / 2);
  TBytes garbage = Hand(8, 8, 1, solid);
  for (std::size_t i = kCompactHeader; i < garbage.size(); ++i) garbage[i] ^= 0x5A;
  const std::vector<TCase> cases = {
      {"short header", TBytes{kCompactMagic, 1, 0, 0}},
      {"size 1", Hand(1, 8, 1, solid)},
      {"size too large", Hand(16385, 8, 1, solid)},
      {"raw size beyond the limit", Hand(8, 8, 1, solid, true, 0, static_cast<std::int64_t>(kMaxCompactBytes) + 1)},
      {"raw size larger than the data", Hand(8, 8, 1, solid, true, 0, static_cast<std::int64_t>(solid.size()) + 1)},
      {"raw size smaller than the data", Hand(8, 8, 1, solid, true, 0, static_cast<std::int64_t>(solid.size()) - 1)},
      {"deflate data cut", cut},
      {"deflate data garbage", garbage},
      {"more operations than data", Hand(8, 8, 2, solid)},
      {"tile outside", Hand(8, 8, 1, op(2, 6, 0, 4, 4, {1, 2, 3}))},
      {"unknown operation", Hand(8, 8, 1, op(9, 0, 0, 4, 4, {1, 2, 3}))},
      {"copy source outside", Hand(8, 8, 1, op(1, 0, 0, 8, 4, {5, 0}))},
      {"palette of one", Hand(8, 8, 1, op(3, 0, 0, 1, 1, {1, 0, 0, 0, 0}))},
      {"palette of seventeen", Hand(8, 8, 1, op(3, 0, 0, 1, 1, {17}))},
      {"palette index beyond", Hand(8, 8, 1, op(3, 0, 0, 1, 1, {3, 0, 0, 0, 1, 1, 1, 2, 2, 2, 0xC0}))},
      {"raw cut short", Hand(8, 8, 1, op(4, 0, 0, 2, 1, {1, 2, 3, 4, 5}))},
      {"not after a restart", Hand(8, 8, 1, solid, false, 0)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TScreenPicture pic;
    pic.Apply(Hand(8, 8, 1, solid));
    TBitmap32 before = pic.Picture();
    EXPECT_THROW(pic.Apply(c.Update), EScreenUpdate);
    EXPECT_TRUE(SameBgr(pic.Picture(), before));
  }
}

// The kept row hashes of a picture agree with hashes computed afresh, whatever was written, moved or
// learnt in between and whichever columns are asked for.
TEST(RowHashes, KeptHashesAgreeWithAFreshComputation) {
  struct TStep {
    const char* Name;
    char Kind;  // 'w' write ARect, 'm' move rows of ARect from ASrc, 'l' learn ARect's rows from a copy, 'r' resize
    TRect Rect;
    int Src = 0;
  };
  const TRect cols{16, 0, 200, 300};  // the columns asked for, all rows
  const TStep steps[] = {
      {"write inside the columns", 'w', {40, 10, 8, 3}},
      {"write the first and last row", 'w', {16, 0, 1, 1}},
      {"write the last row", 'w', {215, 299, 1, 1}},
      {"write left of the columns", 'w', {0, 50, 16, 20}},
      {"write right of the columns", 'w', {216, 60, 10, 20}},
      {"write across the left edge", 'w', {10, 80, 7, 2}},
      {"move up by 12", 'm', {16, 20, 200, 250}, 32},
      {"move down by 5", 'm', {16, 40, 200, 200}, 35},
      {"move down by one", 'm', {16, 1, 200, 299}, 0},
      {"move to the last rows", 'm', {16, 280, 200, 20}, 0},
      {"move in other columns", 'm', {0, 100, 240, 50}, 120},
      {"move narrower columns", 'm', {20, 100, 100, 50}, 90},
      {"learn rows copied from another picture", 'l', {16, 150, 200, 40}},
      {"write then move", 'w', {100, 130, 4, 4}},
      {"move over the written rows", 'm', {16, 120, 200, 30}, 126},
      {"resize", 'r', {0, 0, 240, 310}},
      {"write after the resize", 'w', {30, 305, 5, 5}},
  };
  std::mt19937 rng(11);
  TBitmap32 pic, other;
  pic.SetSize(240, 300);
  other.SetSize(240, 300);
  FillText(pic, 3);
  FillRandom(other, 4);
  TRowHashes kept;
  auto check = [&](const char* AName, const TRect& ACols) {
    const TRect box{ACols.Left, 0, ACols.Width, pic.Height()};
    const std::uint64_t* h = kept.Rows(pic, box);
    for (int y = 0; y < pic.Height(); ++y)
      ASSERT_EQ(h[y], RowHash(pic, y, box.Left, box.Width)) << AName << ", row " << y;
  };
  check("first", cols);
  for (const TStep& s : steps) {
    switch (s.Kind) {
      case 'w':
        for (int y = s.Rect.Top; y < s.Rect.Bottom(); ++y)
          for (int x = s.Rect.Left; x < s.Rect.Right(); ++x) SetPixel(pic, x, y, rng() & 0xFFFFFF);
        kept.Changed(s.Rect);
        break;
      case 'm': {
        const TBitmap32 before = pic;
        for (int y = 0; y < s.Rect.Height; ++y)
          std::memcpy(pic.Row(s.Rect.Top + y) + s.Rect.Left * 4, before.Row(s.Src + y) + s.Rect.Left * 4,
                      static_cast<std::size_t>(s.Rect.Width) * 4);
        kept.Moved(s.Rect, s.Src);
        break;
      }
      case 'l': {
        std::vector<std::uint64_t> h;
        for (int y = s.Rect.Top; y < s.Rect.Bottom(); ++y) {
          std::memcpy(pic.Row(y) + s.Rect.Left * 4, other.Row(y) + s.Rect.Left * 4, static_cast<std::size_t>(s.Rect.Width) * 4);
          h.push_back(RowHash(other, y, s.Rect.Left, s.Rect.Width));
        }
        kept.Learn(s.Rect, h.data());
        break;
      }
      case 'r': {
        TBitmap32 bigger;
        bigger.SetSize(s.Rect.Width, s.Rect.Height);
        FillText(bigger, 9);
        pic = bigger;
        break;
      }
    }
    check(s.Name, cols);
  }
  // Other columns forget what was kept; the hashes are still right.
  check("other columns", {0, 0, 100, 0});
  check("back to the first columns", cols);
}

// Text scrolling in a window frame after frame, its lines of changing lengths and other drawing
// beside it: every picture arrives exactly, and each frame costs a copy and its new line, not the
// window (the row hashes kept from frame to frame must stay right for the copy to be found).
TEST(CompactTiles, TextScrollingFrameAfterFrameStaysExactAndCheap) {
  for (bool damage : {false, true}) {
    SCOPED_TRACE(damage ? "with damage reports" : "every tile compared");
    TPair p(640, 480);
    p.Enc.FTrackDamage = damage;
    FillText(p.Cur, 5);
    p.Sync(true);
    const TRect window{40, 30, 500, 400};
    std::mt19937 rng(3);
    std::size_t most = 0;
    for (int frame = 0; frame < 30; ++frame) {
      TBitmap32 fresh(p.Cur);
      FillText(fresh, 5, 100 + frame);
      Scroll(p.Cur, window, -12, fresh);
      // The new line ends at a different column each frame.
      const int end = window.Left + 60 + static_cast<int>(rng() % 400);
      for (int y = window.Bottom() - 12; y < window.Bottom(); ++y)
        for (int x = end; x < window.Right(); ++x) SetPixel(p.Cur, x, y, 0xF0F0F0u);
      if (frame % 7 == 3)
        for (int y = 0; y < 480; ++y) SetPixel(p.Cur, 600, y, rng() & 0xFFFFFF);  // beside the window
      if (damage) {
        p.Enc.MarkDirty(window, 640, 480);
        p.Enc.MarkDirty({600, 0, 1, 480}, 640, 480);
      }
      p.Bytes = 0;
      p.Sync();
      ASSERT_TRUE(SameBgr(p.View.Picture(), p.Cur)) << "frame " << frame;
      ASSERT_TRUE(SameBgr(p.Prev, p.Cur)) << "frame " << frame;
      if (frame % 7 != 3) most = std::max(most, p.Bytes);
    }
    // The window's text sent again costs tens of kilobytes; a copy and one line a few kilobytes at most.
    EXPECT_LT(most, 4000u);
  }
}

// Equal row hashes are only a guess: rows that a scroll copy brings into the encoder's copy of the
// viewer's picture and that differ from the new picture after all (here rows of that copy written
// behind the encoder's back, so that the hashes it kept describe them wrongly) are compared and sent.
TEST(CompactTiles, RowsACopyBringsThatDifferAfterAllAreSent) {
  for (int dy : {-12, -64, 20}) {
    SCOPED_TRACE("dy=" + std::to_string(dy));
    TPair p(640, 480);
    p.Enc.FTrackDamage = true;  // as the capturer: only the window's tiles are compared
    FillText(p.Cur, 5);
    p.Sync(true);
    const TRect window{40, 30, 500, 400};
    for (int frame = 0; frame < 2; ++frame) {  // the second frame's hashes come from the first's update
      TBitmap32 fresh(p.Cur);
      FillText(fresh, 5, 100 + frame);
      Scroll(p.Cur, window, dy, fresh);
      p.Enc.MarkDirty(window, 640, 480);
      p.Sync();
      ASSERT_TRUE(SameBgr(p.Prev, p.Cur));
    }
    // Whole tiles' rows 192 .. 255 of the encoder's copy change; its kept hashes still say otherwise.
    for (int y = 192; y < 256; ++y)
      for (int x = 64; x < 448; ++x) SetPixel(p.Prev, x, y, 0x123456u ^ static_cast<std::uint32_t>(x * y));
    TBitmap32 fresh(p.Cur);
    FillText(fresh, 5, 300);
    Scroll(p.Cur, window, dy, fresh);
    p.Enc.MarkDirty(window, 640, 480);
    p.Sync();
    EXPECT_TRUE(SameBgr(p.Prev, p.Cur));
  }
}
