// Compact tile updates: per-tile solid / palette / raw coding, vertical scrolls found by row hashes
// and sent as copies, and one deflate stream shared by the updates between two full pictures.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "media/TovikCapture.h"
#include "media/TovikRowHashes.h"

namespace tovik {

namespace {

enum : std::uint8_t { opCopy = 1, opSolid = 2, opPalette = 3, opRaw = 4 };

// Deflate works harder where it pays (text, few colours) and fast on updates mostly of raw pixels
// (photographs, video), whose bytes it hardly shrinks.
constexpr int kDeflateLevel = 6;
constexpr int kDeflateLevelRaw = 1;
constexpr int kMaxPalette = 16;

void Put16(std::vector<std::uint8_t>& AOut, int v) {
  AOut.push_back(static_cast<std::uint8_t>(v & 0xFF));
  AOut.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void PutRect(std::vector<std::uint8_t>& AOut, std::uint8_t AOp, const TRect& r) {
  AOut.push_back(AOp);
  Put16(AOut, r.Left);
  Put16(AOut, r.Top);
  Put16(AOut, r.Width);
  Put16(AOut, r.Height);
}

std::uint32_t Pixel(const std::uint8_t* p) { return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16; }

void PutPixel(std::vector<std::uint8_t>& AOut, std::uint32_t c) {
  AOut.push_back(static_cast<std::uint8_t>(c & 0xFF));
  AOut.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
  AOut.push_back(static_cast<std::uint8_t>((c >> 16) & 0xFF));
}

void Store32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

int PaletteBits(int n) { return n <= 2 ? 1 : n <= 4 ? 2 : 4; }

// Writes one tile as solid, palette or raw, whichever is smallest before deflate.
void PutTile(std::vector<std::uint8_t>& AOut, const TBitmap32& ACur, const TRect& r) {
  std::array<std::uint32_t, kMaxPalette> pal{};
  int n = 0;
  std::uint32_t last = 0xFFFFFFFFu;
  for (int y = 0; y < r.Height && n <= kMaxPalette; ++y) {
    const std::uint8_t* p = ACur.Row(r.Top + y) + static_cast<std::size_t>(r.Left) * 4;
    for (int x = 0; x < r.Width; ++x, p += 4) {
      const std::uint32_t c = Pixel(p);
      if (c == last) continue;
      last = c;
      if (std::find(pal.begin(), pal.begin() + n, c) != pal.begin() + n) continue;
      if (n == kMaxPalette) {
        n = kMaxPalette + 1;
        break;
      }
      pal[static_cast<std::size_t>(n++)] = c;
    }
  }
  if (n == 1) {
    PutRect(AOut, opSolid, r);
    PutPixel(AOut, pal[0]);
    return;
  }
  if (n <= kMaxPalette) {
    PutRect(AOut, opPalette, r);
    AOut.push_back(static_cast<std::uint8_t>(n));
    for (int i = 0; i < n; ++i) PutPixel(AOut, pal[static_cast<std::size_t>(i)]);
    const int bits = PaletteBits(n);
    std::uint32_t lastC = pal[0];
    int lastI = 0;
    for (int y = 0; y < r.Height; ++y) {
      const std::uint8_t* p = ACur.Row(r.Top + y) + static_cast<std::size_t>(r.Left) * 4;
      unsigned acc = 0;
      int fill = 0;
      for (int x = 0; x < r.Width; ++x, p += 4) {
        const std::uint32_t c = Pixel(p);
        if (c != lastC) {
          lastC = c;
          lastI = static_cast<int>(std::find(pal.begin(), pal.begin() + n, c) - pal.begin());
        }
        acc = acc << bits | static_cast<unsigned>(lastI);
        fill += bits;
        if (fill == 8) {
          AOut.push_back(static_cast<std::uint8_t>(acc));
          acc = 0;
          fill = 0;
        }
      }
      if (fill > 0) AOut.push_back(static_cast<std::uint8_t>(acc << (8 - fill)));
    }
    return;
  }
  PutRect(AOut, opRaw, r);
  const std::size_t at = AOut.size();
  // PackRow writes four bytes for the last pixel's three: one spare byte at the end.
  AOut.resize(at + static_cast<std::size_t>(r.Width) * static_cast<std::size_t>(r.Height) * 3 + 1);
  std::uint8_t* out = AOut.data() + at;
  for (int y = 0; y < r.Height; ++y, out += static_cast<std::size_t>(r.Width) * 3)
    PackRow(ACur.Row(r.Top + y) + static_cast<std::size_t>(r.Left) * 4, out, r.Width);
  AOut.pop_back();
}

// Moves the rows of ABox's columns: row y takes what row y + ADy held. Rows are visited so that a
// row is read before it is overwritten.
void CopyRows(TBitmap32& ABitmap, const TRect& ADst, int ASrcTop) {
  const std::size_t off = static_cast<std::size_t>(ADst.Left) * 4, bytes = static_cast<std::size_t>(ADst.Width) * 4;
  if (ASrcTop > ADst.Top) {
    for (int y = 0; y < ADst.Height; ++y) std::memmove(ABitmap.Row(ADst.Top + y) + off, ABitmap.Row(ASrcTop + y) + off, bytes);
  } else {
    for (int y = ADst.Height - 1; y >= 0; --y)
      std::memmove(ABitmap.Row(ADst.Top + y) + off, ABitmap.Row(ASrcTop + y) + off, bytes);
  }
}

}  // namespace

// ---- Encoder ------------------------------------------------------------------------------------

void TTileEncoder::TDeflateFree::operator()(z_stream_s* p) const {
  deflateEnd(p);
  delete p;
}

namespace {

// ABox narrowed to the columns where ACur and APrev differ (a scrolled window inside the tiles
// then hashes without its unmoved surroundings).
TRect ChangedColumns(const TBitmap32& ACur, const TBitmap32& APrev, const TRect& ABox) {
  int lo = ABox.Right(), hi = ABox.Left;
  const auto px = [](const std::uint8_t* row, int x) {
    std::uint32_t v;
    std::memcpy(&v, row + static_cast<std::size_t>(x) * 4, 4);
    return v;
  };
  for (int y = ABox.Top; y < ABox.Bottom(); ++y) {
    const std::uint8_t* c = ACur.Row(y);
    const std::uint8_t* p = APrev.Row(y);
    // Only the columns not yet known to differ: left of lo and right of hi.
    const int l = ABox.Left, r = ABox.Right();
    if (lo <= hi) {
      if (std::memcmp(c + l * 4, p + l * 4, static_cast<std::size_t>(lo - l) * 4) == 0 &&
          std::memcmp(c + (hi + 1) * 4, p + (hi + 1) * 4, static_cast<std::size_t>(r - hi - 1) * 4) == 0)
        continue;
    } else if (std::memcmp(c + l * 4, p + l * 4, static_cast<std::size_t>(r - l) * 4) == 0) {
      continue;  // the row is the same
    }
    int x = l;
    while (x < lo && px(c, x) == px(p, x)) ++x;
    if (x < lo) lo = x;
    int e = r - 1;
    while (e > hi && px(c, e) == px(p, e)) --e;
    if (e > hi) hi = e;
  }
  if (hi < lo) return {};
  return {lo, ABox.Top, hi + 1 - lo, ABox.Height};
}

// The fewest rows a scroll copy moves.
constexpr int kMinScrollRun = 16;

// Searches ABox (at least 2 x kMinScrollRun rows) for a vertical scroll between APrev and ACur: the row offset most changed rows agree
// on (counting only rows whose content occurs once in APrev), then the longest run of rows of ACur
// that APrev holds at that offset. True with ADst and ASrcTop when the run is worth a copy. AHp holds
// APrev's row hashes over ABox's columns, from ABox.Top on.
bool FindScroll(const TBitmap32& ACur, const TRect& ABox, std::vector<std::uint64_t>& AHc, const std::uint64_t* AHp,
                TRect& ADst, int& ASrcTop) {
  constexpr int kMinRun = kMinScrollRun;
  const int h = ABox.Height;
  AHc.resize(static_cast<std::size_t>(h));
  // APrev's rows by hash, -1 for a hash that occurs more than once; and the votes per offset, from
  // -(h - 1) to h - 1. Kept per thread: the search runs for every update.
  thread_local std::vector<std::pair<std::uint64_t, int>> where;
  thread_local std::vector<int> votes;
  where.clear();
  for (int y = 0; y < h; ++y) {
    AHc[static_cast<std::size_t>(y)] = RowHash(ACur, ABox.Top + y, ABox.Left, ABox.Width);
    where.emplace_back(AHp[y], y);
  }
  std::sort(where.begin(), where.end());
  for (std::size_t i = 1; i < where.size(); ++i)
    if (where[i].first == where[i - 1].first) where[i].second = where[i - 1].second = -1;
  votes.assign(static_cast<std::size_t>(2 * h - 1), 0);
  for (int y = 0; y < h; ++y) {
    const std::uint64_t hc = AHc[static_cast<std::size_t>(y)];
    if (hc == AHp[y]) continue;
    const auto it = std::lower_bound(where.begin(), where.end(), std::pair<std::uint64_t, int>{hc, -1});
    if (it == where.end() || it->first != hc || it->second < 0) continue;
    ++votes[static_cast<std::size_t>(it->second - y + h - 1)];
  }
  // The offset most rows agree on; of equals, the lowest.
  int best = 0, bestVotes = 0;
  for (int i = 0; i < 2 * h - 1; ++i)
    if (votes[static_cast<std::size_t>(i)] > bestVotes) {
      best = i - (h - 1);
      bestVotes = votes[static_cast<std::size_t>(i)];
    }
  if (best == 0 || bestVotes < 4) return false;
  int runTop = 0, runLen = 0;
  for (int y = std::max(0, -best); y < ABox.Height && y + best < ABox.Height;) {
    if (AHc[static_cast<std::size_t>(y)] != AHp[y + best]) {
      ++y;
      continue;
    }
    int e = y;
    while (e < ABox.Height && e + best < ABox.Height && AHc[static_cast<std::size_t>(e)] == AHp[e + best]) ++e;
    if (e - y > runLen) {
      runTop = y;
      runLen = e - y;
    }
    y = e;
  }
  if (runLen < kMinRun) return false;
  ADst = {ABox.Left, ABox.Top + runTop, ABox.Width, runLen};
  ASrcTop = ABox.Top + runTop + best;
  return true;
}

// The columns to search for a scroll: AChanged (the changed columns of the tiles' box ATiles), or the
// columns searched before when they hold AChanged and lie inside ATiles, so that the kept row hashes
// of the previous picture serve again (text of changing line lengths scrolling in one window).
TRect ScrollColumns(const TRect& AChanged, const TRect& ATiles, int AKeptLeft, int AKeptWidth) {
  if (AChanged.Empty() || AKeptWidth <= 0) return AChanged;
  const int keptRight = AKeptLeft + AKeptWidth;
  if (AKeptLeft <= AChanged.Left && AChanged.Right() <= keptRight && ATiles.Left <= AKeptLeft &&
      keptRight <= ATiles.Right())
    return {AKeptLeft, AChanged.Top, AKeptWidth, AChanged.Height};
  return AChanged;
}

}  // namespace

namespace {

// CopyRows(APrev, ADst, ASrcTop), telling for each row of ADst whether it then equals ACur's in the
// columns of the tiles that lie wholly inside ADst (compared as soon as the row is written, while it is
// still in the cache). ASame[i] is for row ADst.Top + i.
void CopyRowsComparing(TBitmap32& APrev, const TBitmap32& ACur, const TRect& ADst, int ASrcTop, std::vector<std::uint8_t>& ASame) {
  const int c0 = (ADst.Left + kTileSize - 1) / kTileSize * kTileSize, c1 = ADst.Right() / kTileSize * kTileSize;
  const std::size_t off = static_cast<std::size_t>(ADst.Left) * 4, bytes = static_cast<std::size_t>(ADst.Width) * 4;
  const std::size_t cmpOff = static_cast<std::size_t>(c0) * 4, cmpBytes = c1 > c0 ? static_cast<std::size_t>(c1 - c0) * 4 : 0;
  ASame.assign(static_cast<std::size_t>(ADst.Height), 0);
  const auto row = [&](int y) {
    std::uint8_t* d = APrev.Row(ADst.Top + y);
    std::memmove(d + off, APrev.Row(ASrcTop + y) + off, bytes);
    ASame[static_cast<std::size_t>(y)] = cmpBytes > 0 && std::memcmp(d + cmpOff, ACur.Row(ADst.Top + y) + cmpOff, cmpBytes) == 0;
  };
  if (ASrcTop > ADst.Top) {
    for (int y = 0; y < ADst.Height; ++y) row(y);
  } else {
    for (int y = ADst.Height - 1; y >= 0; --y) row(y);
  }
}

}  // namespace

// The tiles of ADst (just copied within APrev) may differ from ACur, except those that lie wholly
// inside it and whose rows ASame found equal.
void TTileEncoder::MarkCopied(const TRect& ADst, const std::vector<std::uint8_t>& ASame, int AW, int AH) {
  MarkDirty(ADst, AW, AH);
  const int a = TilesAcross(AW);
  const int tx0 = (ADst.Left + kTileSize - 1) / kTileSize, tx1 = ADst.Right() / kTileSize;
  const int ty0 = (ADst.Top + kTileSize - 1) / kTileSize, ty1 = ADst.Bottom() / kTileSize;
  for (int ty = ty0; ty < ty1; ++ty) {
    const auto first = ASame.begin() + (ty * kTileSize - ADst.Top);
    if (std::find(first, first + kTileSize, std::uint8_t{0}) != first + kTileSize) continue;
    for (int tx = tx0; tx < tx1; ++tx) FDirty[static_cast<std::size_t>(ty * a + tx)] = 0;
  }
}

TTileEncoder::TResult TTileEncoder::EncodeCompact(const TBitmap32& ACur, TBitmap32& APrev) {
  TResult res;
  const int w = ACur.Width(), h = ACur.Height();
  const int total = TilesAcross(w) * TilesDown(h);
  // Every full picture restarts the shared stream, and so does the first compact update.
  const bool reset = !FStreamLive || (FForceAll && FSweep == 0);
  FRaw.clear();
  int ops = 0;

  TRect hashed;  // the box whose rows of ACur were hashed into FHashCur
  if (!FForceAll) {
    // A vertical scroll inside the box of the changed tiles travels as one copy; the tiles it
    // leaves different are then sent as usual.
    TRect box;
    int changed = 0;
    for (int t = 0; t < total; ++t) {
      if (!FDirty[static_cast<std::size_t>(t)]) continue;
      const TRect r = TileRect(t, w, h);
      if (!TileDiffers(ACur, APrev, r)) {
        FDirty[static_cast<std::size_t>(t)] = 0;
        continue;
      }
      ++changed;
      if (box.Empty()) {
        box = r;
      } else {
        const int l = std::min(box.Left, r.Left), tp = std::min(box.Top, r.Top);
        box = {l, tp, std::max(box.Right(), r.Right()) - l, std::max(box.Bottom(), r.Bottom()) - tp};
      }
    }
    TRect dst;
    int srcTop = 0;
    bool found = false;
    if (changed >= 4) box = ScrollColumns(ChangedColumns(ACur, APrev, box), box, FPrevHashes.Left(), FPrevHashes.Width());
    if (changed >= 4 && !box.Empty() && box.Height >= kMinScrollRun * 2) {
      hashed = box;
      found = FindScroll(ACur, box, FHashCur, FPrevHashes.Rows(APrev, box), dst, srcTop);
    }
    if (found) {
      PutRect(FRaw, opCopy, dst);
      Put16(FRaw, srcTop);
      ++ops;
      CopyRowsComparing(APrev, ACur, dst, srcTop, FRowSame);
      FPrevHashes.Moved(dst, srcTop);
      MarkCopied(dst, FRowSame, w, h);
    }
  }
  std::size_t rawPixels = 0;
  FPicked.clear();
  const int tiles = PickTiles(ACur, APrev, [&](const TRect& r) {
    const std::size_t at = FRaw.size();
    PutTile(FRaw, ACur, r);
    if (FRaw[at] == opRaw) rawPixels += FRaw.size() - at;
    FPicked.push_back(r);
  });
  ops += tiles;
  // Every tile of the box that may have differed is now the same in APrev as in ACur (unless the
  // update was capped), so APrev's rows there hash as ACur's did.
  if (!hashed.Empty() && !FMore) FPrevHashes.Learn(hashed, FHashCur.data());
  if (ops == 0) return res;
  if (ops == tiles && rawPixels * 4 > FRaw.size() * 3) {
    if (reset) FStreamLive = false;  // the next compact update restarts the stream
    return EncodePlain(ACur, FPicked);
  }

  if (!FDeflate) {
    auto z = std::make_unique<z_stream_s>();
    if (deflateInit2(z.get(), kDeflateLevel, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) == Z_OK) FDeflate.reset(z.release());
    FStreamLevel = kDeflateLevel;
  }
  if (FDeflate && reset) {
    if (deflateReset(FDeflate.get()) != Z_OK) FDeflate.reset();
    FStreamSeq = 0;
  }
  const int level = rawPixels * 2 > FRaw.size() ? kDeflateLevelRaw : kDeflateLevel;
  if (!FDeflate) {
    // Only an allocation failure gets here; the tiles are in APrev, so send a full picture next.
    Restart();
    FStreamLive = false;
    return res;
  }
  FOut.resize(kCompactHeader);
  FOut[0] = kCompactMagic;
  FOut[1] = reset ? kCompactReset : 0;
  Store32(FOut.data() + 2, FStreamSeq);
  FOut[6] = static_cast<std::uint8_t>(w & 0xFF);
  FOut[7] = static_cast<std::uint8_t>(w >> 8);
  FOut[8] = static_cast<std::uint8_t>(h & 0xFF);
  FOut[9] = static_cast<std::uint8_t>(h >> 8);
  FOut[10] = static_cast<std::uint8_t>(ops & 0xFF);
  FOut[11] = static_cast<std::uint8_t>(ops >> 8);
  Store32(FOut.data() + 12, static_cast<std::uint32_t>(FRaw.size()));
  z_stream_s& z = *FDeflate;
  std::size_t used = kCompactHeader;
  int rc = Z_OK;
  FOut.resize(used + std::max<std::size_t>(FRaw.size() / 2, 65536));
  if (level != FStreamLevel) {
    // With no input pending, the change only ends the current (already flushed) block.
    z.next_in = FRaw.data();
    z.avail_in = 0;
    z.next_out = FOut.data() + used;
    z.avail_out = static_cast<uInt>(FOut.size() - used);
    rc = deflateParams(&z, level, Z_DEFAULT_STRATEGY);
    used = FOut.size() - z.avail_out;
    FStreamLevel = level;
  }
  z.next_in = FRaw.data();
  z.avail_in = static_cast<uInt>(FRaw.size());
  do {
    if (FOut.size() - used < 4096) FOut.resize(used + std::max<std::size_t>(FRaw.size() / 2, 65536));
    z.next_out = FOut.data() + used;
    z.avail_out = static_cast<uInt>(FOut.size() - used);
    rc = deflate(&z, Z_SYNC_FLUSH);
    used = FOut.size() - z.avail_out;
  } while (rc == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
  if (rc != Z_OK && rc != Z_BUF_ERROR) {
    FStreamLevel = -1;
    Restart();
    FStreamLive = false;
    return res;
  }
  FStreamLive = true;
  ++FStreamSeq;
  res.Data.assign(FOut.begin(), FOut.begin() + static_cast<std::ptrdiff_t>(used));
  res.Tiles = tiles;
  return res;
}

// ---- Decoder ------------------------------------------------------------------------------------

namespace {

// The operations of an inflated compact update. Checking (APaint false) reads them all and throws for
// the first bad one without touching ABitmap; painting (APaint true) is for operations that passed
// the check, into ABitmap of W x H.
template <bool APaint>
void RunOps(TBitmap32& ABitmap, const std::uint8_t* data, std::size_t size, int w, int h, int AOps,
            std::vector<TRect>* APainted) {
  std::size_t p = 0;
  auto need = [&](std::size_t n) {
    if (!APaint && size - p < n) throw EScreenUpdate("Screen update cut short");
  };
  for (int i = 0; i < AOps; ++i) {
    need(9);
    const std::uint8_t op = data[p];
    const TRect r{GetU16LE(data + p + 1), GetU16LE(data + p + 3), GetU16LE(data + p + 5), GetU16LE(data + p + 7)};
    p += 9;
    if (!APaint && (r.Right() > w || r.Bottom() > h)) throw EScreenUpdate("Bad tile in screen update");
    const std::size_t off = static_cast<std::size_t>(r.Left) * 4;
    switch (op) {
      case opCopy: {
        need(2);
        const int src = GetU16LE(data + p);
        p += 2;
        if (!APaint && src + r.Height > h) throw EScreenUpdate("Bad copy in screen update");
        if (APaint && !r.Empty()) CopyRows(ABitmap, r, src);
        break;
      }
      case opSolid: {
        need(3);
        std::uint8_t px[4] = {data[p], data[p + 1], data[p + 2], 0};
        p += 3;
        if constexpr (APaint)
          for (int y = 0; y < r.Height; ++y) {
            std::uint8_t* d = ABitmap.Row(r.Top + y) + off;
            for (int x = 0; x < r.Width; ++x, d += 4) std::memcpy(d, px, 4);
          }
        break;
      }
      case opPalette: {
        need(1);
        const int n = data[p++];
        if (!APaint && (n < 2 || n > kMaxPalette)) throw EScreenUpdate("Bad palette in screen update");
        need(static_cast<std::size_t>(n) * 3);
        std::array<std::array<std::uint8_t, 4>, kMaxPalette> pal{};
        for (int c = 0; c < n; ++c, p += 3) pal[static_cast<std::size_t>(c)] = {data[p], data[p + 1], data[p + 2], 0};
        const int bits = PaletteBits(n);
        const std::size_t rowBytes = (static_cast<std::size_t>(r.Width) * static_cast<std::size_t>(bits) + 7) / 8;
        need(rowBytes * static_cast<std::size_t>(r.Height));
        const unsigned mask = (1u << bits) - 1;
        // Indices past the palette can only be written where the palette does not fill its bits.
        const bool full = n == 1 << bits;
        if (APaint || !full)
          for (int y = 0; y < r.Height; ++y) {
            const std::uint8_t* row = data + p + static_cast<std::size_t>(y) * rowBytes;
            std::uint8_t* d = APaint ? ABitmap.Row(r.Top + y) + off : nullptr;
            for (int x = 0; x < r.Width; ++x) {
              const std::size_t bit = static_cast<std::size_t>(x) * static_cast<std::size_t>(bits);
              const unsigned idx = (row[bit / 8] >> (8 - bits - static_cast<int>(bit % 8))) & mask;
              if constexpr (APaint) {
                std::memcpy(d, pal[idx].data(), 4);
                d += 4;
              } else if (idx >= static_cast<unsigned>(n)) {
                throw EScreenUpdate("Bad palette in screen update");
              }
            }
          }
        p += rowBytes * static_cast<std::size_t>(r.Height);
        break;
      }
      case opRaw: {
        const std::size_t bytes = static_cast<std::size_t>(r.Width) * static_cast<std::size_t>(r.Height) * 3;
        need(bytes);
        if constexpr (APaint)
          for (int y = 0; y < r.Height; ++y) {
            std::uint8_t* d = ABitmap.Row(r.Top + y) + off;
            const std::uint8_t* s = data + p + static_cast<std::size_t>(y) * static_cast<std::size_t>(r.Width) * 3;
            for (int x = 0; x < r.Width; ++x, d += 4, s += 3) {
              d[0] = s[0];
              d[1] = s[1];
              d[2] = s[2];
              d[3] = 0;
            }
          }
        p += bytes;
        break;
      }
      default:
        throw EScreenUpdate("Bad tile in screen update");
    }
    if (APaint && APainted && !r.Empty()) APainted->push_back(r);
  }
}

}  // namespace

bool ReadCompactHeader(TByteView AUpdate, TCompactHeader& AHeader) {
  if (AUpdate.size() < kCompactHeader || AUpdate[0] != kCompactMagic) return false;
  const std::uint8_t* p = AUpdate.data();
  AHeader.Reset = (p[1] & kCompactReset) != 0;
  AHeader.Seq = GetU32LE(p + 2);
  AHeader.Width = GetU16LE(p + 6);
  AHeader.Height = GetU16LE(p + 8);
  AHeader.Ops = GetU16LE(p + 10);
  AHeader.RawBytes = GetU32LE(p + 12);
  return true;
}

void TCompactDecoder::TInflateFree::operator()(z_stream_s* p) const {
  inflateEnd(p);
  delete p;
}

TCompactDecoder::TCompactDecoder() = default;
TCompactDecoder::~TCompactDecoder() = default;

void TCompactDecoder::Apply(TBitmap32& ABitmap, TByteView AUpdate, std::vector<TRect>* APainted) {
  TCompactHeader hd;
  if (!ReadCompactHeader(AUpdate, hd)) throw EScreenUpdate("Screen update too short");
  const int w = hd.Width, h = hd.Height;
  if (w < 2 || h < 2 || w > kMaxScreenSide || h > kMaxScreenSide || static_cast<std::int64_t>(w) * h > kMaxScreenPixels)
    throw EScreenUpdate("Bad screen size");
  if (hd.RawBytes > kMaxCompactBytes) throw EScreenUpdate("Screen update too large");
  if (!hd.Reset && (!FReady || hd.Seq != FNextSeq)) throw EScreenUpdate("Screen update out of order");
  FReady = false;  // until this update has decoded whole
  if (!FZ) {
    auto z = std::make_unique<z_stream_s>();
    if (inflateInit2(z.get(), -15) != Z_OK) throw EScreenUpdate(zError(Z_MEM_ERROR));
    FZ.reset(z.release());
  } else if (hd.Reset && inflateReset(FZ.get()) != Z_OK) {
    throw EScreenUpdate(zError(Z_STREAM_ERROR));
  }
  // Inflate exactly RawBytes: one more byte of room shows a stream that says less than it holds.
  FRaw.resize(std::size_t{hd.RawBytes} + 1);
  z_stream_s& z = *FZ;
  z.next_in = const_cast<Bytef*>(AUpdate.data() + kCompactHeader);
  z.avail_in = static_cast<uInt>(AUpdate.size() - kCompactHeader);
  z.next_out = FRaw.data();
  z.avail_out = static_cast<uInt>(FRaw.size());
  while (z.avail_in > 0 && z.avail_out > 0) {
    const int rc = inflate(&z, Z_SYNC_FLUSH);
    if (rc == Z_OK) continue;
    if (rc == Z_BUF_ERROR) break;
    throw EScreenUpdate(rc == Z_STREAM_END ? "Screen update ends its stream" : z.msg ? z.msg : zError(rc));
  }
  if (z.avail_in > 0 || FRaw.size() - z.avail_out != hd.RawBytes) throw EScreenUpdate("Screen update cut short");

  // The whole update is checked before a pixel is painted, so that a bad one leaves ABitmap as it was.
  RunOps<false>(ABitmap, FRaw.data(), hd.RawBytes, w, h, hd.Ops, nullptr);
  if (ABitmap.Width() != w || ABitmap.Height() != h) ABitmap.Resize(w, h);
  ++ABitmap.FChangeCount;
  RunOps<true>(ABitmap, FRaw.data(), hd.RawBytes, w, h, hd.Ops, APainted);
  FNextSeq = hd.Seq + 1;
  FReady = true;
}

}  // namespace tovik
