// Tile update codec: encoder with sweep and round-robin change scan, bounded decoder.
//
// Updates are standard zlib streams. libdeflate makes and reads them (several times faster than
// zlib on whole buffers); zlib's inflate is kept to report why a stream libdeflate refused is bad,
// with zlib's own words.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <memory>

#include "media/TovikCapture.h"

namespace tovik {

TRect Intersect(const TRect& a, const TRect& b) {
  const int l = std::max(a.Left, b.Left), t = std::max(a.Top, b.Top);
  const int r = std::min(a.Right(), b.Right()), btm = std::min(a.Bottom(), b.Bottom());
  if (r <= l || btm <= t) return {};
  return {l, t, r - l, btm - t};
}

void TBitmap32::SetSize(int AW, int AH, int APad, bool ABottomUp) {
  const int w = std::max(AW, 0), h = std::max(AH, 0), pad = std::max(APad, 0);
  // The pixels first: when they cannot be had, the picture stays as it was.
  FData.assign(static_cast<std::size_t>(w * 4 + pad) * static_cast<std::size_t>(h), 0);
  FW = w;
  FH = h;
  FPad = pad;
  FBottomUp = ABottomUp;
}

std::ptrdiff_t TBitmap32::Stride() const {
  const std::ptrdiff_t s = FW * 4 + FPad;
  return FBottomUp ? -s : s;
}

int TilesAcross(int AW) { return (AW + kTileSize - 1) / kTileSize; }
int TilesDown(int AH) { return (AH + kTileSize - 1) / kTileSize; }

TRect TileRect(int ATile, int AW, int AH) {
  const int a = TilesAcross(AW);
  const int x = (ATile % a) * kTileSize, y = (ATile / a) * kTileSize;
  return {x, y, std::min(kTileSize, AW - x), std::min(kTileSize, AH - y)};
}

// ---- Encoder ------------------------------------------------------------------------------------

void TTileEncoder::TCompressorFree::operator()(libdeflate_compressor* p) const { libdeflate_free_compressor(p); }

void TTileEncoder::Restart() {
  FPrevHashes.Clear();
  FForceAll = true;
  FSweep = 0;
  FScanFrom = 0;
  FAllDirty = true;
}

void TTileEncoder::FitMarks(int ATiles) {
  if (FDirty.size() != static_cast<std::size_t>(ATiles)) {
    FDirty.assign(static_cast<std::size_t>(ATiles), 1);
    FAllDirty = true;
  }
}

void TTileEncoder::MarkDirty(const TRect& ARect, int AW, int AH) {
  const TRect r = Intersect(ARect, {0, 0, AW, AH});
  if (r.Empty()) return;
  const int a = TilesAcross(AW), d = TilesDown(AH);
  FitMarks(a * d);
  if (AW != FMarkW || AH != FMarkH) {
    FMarkW = AW;
    FMarkH = AH;
    FAllDirty = true;
  }
  for (int ty = r.Top / kTileSize; ty <= (r.Bottom() - 1) / kTileSize; ++ty)
    for (int tx = r.Left / kTileSize; tx <= (r.Right() - 1) / kTileSize; ++tx)
      FDirty[static_cast<std::size_t>(ty * a + tx)] = 1;
}

void TTileEncoder::MarkSent() {
  FPrevHashes.Clear();  // the caller wrote APrev
  std::fill(FDirty.begin(), FDirty.end(), 0);
  FAllDirty = false;
  FForceAll = false;
  FMore = false;
  FSweep = 0;
  FScanFrom = 0;
}

bool TileDiffers(const TBitmap32& ACur, const TBitmap32& APrev, const TRect& t) {
  const std::size_t bytes = static_cast<std::size_t>(t.Width) * 4;
  const std::size_t off = static_cast<std::size_t>(t.Left) * 4;
  for (int r = 0; r < t.Height; ++r)
    if (std::memcmp(ACur.Row(t.Top + r) + off, APrev.Row(t.Top + r) + off, bytes) != 0) return true;
  return false;
}

// Each pixel is moved as one 4-byte word whose fourth byte the next pixel overwrites; the last pixel
// is moved as three bytes.
void PackRow(const std::uint8_t* ASrc, std::uint8_t* ADst, int AN) {
  if (AN <= 0) return;
  for (int c = 0; c < AN - 1; ++c, ASrc += 4, ADst += 3) std::memcpy(ADst, ASrc, 4);
  std::memcpy(ADst, ASrc, 3);
}

namespace {

// Zlib updates are mostly photo-like pixels, which harder levels hardly shrink.
constexpr int kPlainLevel = 1;

// Compresses ARaw into AOut (grown as needed); returns the size, 0 on failure.
std::size_t PlainDeflate(libdeflate_compressor& AComp, TByteView ARaw, TBytes& AOut) {
  const std::size_t bound = libdeflate_zlib_compress_bound(&AComp, ARaw.size());
  if (AOut.size() < bound) AOut.resize(bound);
  return libdeflate_zlib_compress(&AComp, ARaw.data(), ARaw.size(), AOut.data(), AOut.size());
}

void PutU16(std::uint8_t* p, int v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
}

}  // namespace

int TTileEncoder::PickTiles(const TBitmap32& ACur, TBitmap32& APrev, const std::function<void(const TRect&)>& ASend) {
  const int w = ACur.Width(), h = ACur.Height();
  const int total = TilesAcross(w) * TilesDown(h);
  int count = 0;
  int lastSent = -1;
  auto sendTile = [&](int t, const TRect& r) {
    ASend(r);
    const std::size_t off = static_cast<std::size_t>(r.Left) * 4, bytes = static_cast<std::size_t>(r.Width) * 4;
    for (int row = 0; row < r.Height; ++row) std::memcpy(APrev.Row(r.Top + row) + off, ACur.Row(r.Top + row) + off, bytes);
    FPrevHashes.Changed(r);
    FDirty[static_cast<std::size_t>(t)] = 0;
    lastSent = t;
    ++count;
  };

  if (FForceAll) {
    int t = FSweep;
    for (; t < total && count < kMaxTilesPerUpdate; ++t) sendTile(t, TileRect(t, w, h));
    if (t < total) {
      FSweep = t;
    } else {
      FForceAll = false;
      FSweep = 0;
    }
    FScanFrom = 0;
  } else {
    // Scan every tile once, starting after the last tile sent by a capped scan, so that tiles after
    // the 64th are not starved when more than 64 keep changing.
    for (int i = 0; i < total && count < kMaxTilesPerUpdate; ++i) {
      const int t = (FScanFrom + i) % total;
      if (!FDirty[static_cast<std::size_t>(t)]) continue;
      const TRect r = TileRect(t, w, h);
      if (TileDiffers(ACur, APrev, r))
        sendTile(t, r);
      else
        FDirty[static_cast<std::size_t>(t)] = 0;
    }
    FScanFrom = count >= kMaxTilesPerUpdate ? (lastSent + 1) % total : 0;
  }
  FMore = FForceAll || count >= kMaxTilesPerUpdate;
  return count;
}

TTileEncoder::TResult TTileEncoder::Encode(const TBitmap32& ACur, TBitmap32& APrev, bool AFull) {
  TResult res;
  FMore = false;
  const int w = ACur.Width(), h = ACur.Height();
  if (w < 1 || h < 1 || APrev.Width() != w || APrev.Height() != h) return res;
  const int total = TilesAcross(w) * TilesDown(h);
  if (w != FMarkW || h != FMarkH) {
    FMarkW = w;
    FMarkH = h;
    FAllDirty = true;
    FPrevHashes.Clear();
  }
  FitMarks(total);
  if (FAllDirty || !FTrackDamage) {
    std::fill(FDirty.begin(), FDirty.end(), 1);
    FAllDirty = false;
  }
  if (AFull) {
    FForceAll = true;
    FSweep = 0;
  }
  if (FSweep < 0 || FSweep >= total) FSweep = 0;
  if (FScanFrom < 0 || FScanFrom >= total) FScanFrom = 0;

  if (FCompact) return EncodeCompact(ACur, APrev);
  FStreamLive = false;  // a later switch to compact updates starts with a restart

  FPicked.clear();
  PickTiles(ACur, APrev, [this](const TRect& r) { FPicked.push_back(r); });
  return EncodePlain(ACur, FPicked);
}

TTileEncoder::TResult TTileEncoder::EncodePlain(const TBitmap32& ACur, const std::vector<TRect>& ATiles) {
  TResult res;
  const int count = static_cast<int>(ATiles.size());
  if (count == 0) return res;
  // Sized once for the largest update; `used` is how much of it this update fills.
  if (FRaw.size() < kMaxUpdateBytes) FRaw.resize(kMaxUpdateBytes);
  std::size_t used = 6;
  PutU16(FRaw.data(), ACur.Width());
  PutU16(FRaw.data() + 2, ACur.Height());
  for (const TRect& r : ATiles) {
    std::uint8_t* out = FRaw.data() + used;
    used += 8 + static_cast<std::size_t>(r.Width) * static_cast<std::size_t>(r.Height) * 3;
    PutU16(out, r.Left);
    PutU16(out + 2, r.Top);
    PutU16(out + 4, r.Width);
    PutU16(out + 6, r.Height);
    out += 8;
    for (int row = 0; row < r.Height; ++row, out += static_cast<std::size_t>(r.Width) * 3)
      PackRow(ACur.Row(r.Top + row) + static_cast<std::size_t>(r.Left) * 4, out, r.Width);
  }
  PutU16(FRaw.data() + 4, count);
  if (FDeferDeflate) {
    res.Data.assign(FRaw.begin(), FRaw.begin() + static_cast<std::ptrdiff_t>(used));
    res.Tiles = count;
    res.Unfinished = true;
    return res;
  }
  if (!FCompressor) FCompressor.reset(libdeflate_alloc_compressor(kPlainLevel));
  const std::size_t outLen = FCompressor ? PlainDeflate(*FCompressor, {FRaw.data(), used}, FOut) : 0;
  if (outLen == 0) {
    // Only an allocation failure gets here; the tiles are in APrev, so send a full picture next.
    Restart();
    return res;
  }
  res.Data.assign(FOut.begin(), FOut.begin() + static_cast<std::ptrdiff_t>(outLen));
  res.Tiles = count;
  return res;
}

TBytes FinishPlainUpdate(TByteView ARaw) {
  struct TFree {
    void operator()(libdeflate_compressor* p) const { libdeflate_free_compressor(p); }
  };
  thread_local std::unique_ptr<libdeflate_compressor, TFree> comp{libdeflate_alloc_compressor(kPlainLevel)};
  if (!comp) return {};
  TBytes out;
  const std::size_t n = PlainDeflate(*comp, ARaw, out);
  out.resize(n);
  return out;
}

// ---- Decoder ------------------------------------------------------------------------------------

namespace {

struct TInflater {
  z_stream S{};
  bool Open = false;
  ~TInflater() {
    if (Open) inflateEnd(&S);
  }
};

// Inflates a zlib stream with zlib into AOut, refusing output beyond kMaxUpdateBytes: AOut has room
// for one byte more, and a stream that fills it is too large. Returns the size. Used only to tell
// why a stream is bad.
std::size_t InflateBounded(TByteView AIn, std::uint8_t* AOut) {
  TInflater z;
  if (inflateInit(&z.S) != Z_OK) throw EScreenUpdate(zError(Z_MEM_ERROR));
  z.Open = true;
  z.S.next_in = const_cast<Bytef*>(AIn.data());
  z.S.avail_in = static_cast<uInt>(AIn.size());
  z.S.next_out = AOut;
  z.S.avail_out = static_cast<uInt>(kMaxUpdateBytes + 1);
  for (;;) {
    const int rc = inflate(&z.S, Z_NO_FLUSH);
    if (z.S.avail_out == 0) throw EScreenUpdate("Screen update too large");
    if (rc == Z_STREAM_END) break;
    if (rc == Z_OK) continue;
    throw EScreenUpdate(z.S.msg ? z.S.msg : zError(rc == Z_NEED_DICT ? Z_DATA_ERROR : rc));
  }
  return kMaxUpdateBytes + 1 - z.S.avail_out;
}

struct TDecompressorFree {
  void operator()(libdeflate_decompressor* p) const { libdeflate_free_decompressor(p); }
};

// The decompressed update: at most kMaxUpdateBytes, plus a few spare bytes so that pixels can be
// read four bytes at a time up to the very last one. One per decoding thread, kept for the next
// update together with the decompressor: decoding is per frame, and fresh ones cost page faults.
struct TDecodeScratch {
  static constexpr std::size_t kSpare = 8; // at least 1, for InflateBounded
  std::unique_ptr<std::uint8_t[]> Data = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxUpdateBytes + kSpare);
  std::unique_ptr<libdeflate_decompressor, TDecompressorFree> Decompressor{libdeflate_alloc_decompressor()};
};

// Blue, green, red of AN pixels from 3-byte to 4-byte form with 0 in the X byte. Reads one byte past
// the last pixel, which the caller's buffer must allow.
void ExpandRow(const std::uint8_t* ASrc, std::uint8_t* ADst, int AN) {
  if constexpr (std::endian::native == std::endian::little) {
    for (int c = 0; c < AN; ++c, ASrc += 3, ADst += 4) {
      std::uint32_t v;
      std::memcpy(&v, ASrc, 4);
      v &= 0x00FFFFFFu;
      std::memcpy(ADst, &v, 4);
    }
  } else {
    for (int c = 0; c < AN; ++c, ASrc += 3, ADst += 4) {
      ADst[0] = ASrc[0];
      ADst[1] = ASrc[1];
      ADst[2] = ASrc[2];
      ADst[3] = 0;
    }
  }
}

// Decompresses AIn into AScratch.Data; returns the decompressed size.
std::size_t Decompress(TDecodeScratch& AScratch, TByteView AIn) {
  std::size_t size = 0;
  if (AScratch.Decompressor &&
      libdeflate_zlib_decompress(AScratch.Decompressor.get(), AIn.data(), AIn.size(), AScratch.Data.get(),
                                 kMaxUpdateBytes, &size) == LIBDEFLATE_SUCCESS)
    return size;
  // Refused (bad stream, or more than kMaxUpdateBytes): zlib says why, or decodes it after all.
  return InflateBounded(AIn, AScratch.Data.get());
}

// The tiles of a decompressed zlib update. Checking (APaint false) reads them all and throws for the
// first bad one without touching ABitmap; painting (APaint true) is for tiles that passed the check.
template <bool APaint>
void RunTiles(TBitmap32& ABitmap, const std::uint8_t* data, std::size_t size, int w, int h, int n,
              std::vector<TRect>* APainted) {
  std::size_t p = 6;
  for (int i = 0; i < n; ++i) {
    if (!APaint && size - p < 8) throw EScreenUpdate("Screen update cut short");
    const int x = GetU16LE(data + p), y = GetU16LE(data + p + 2);
    const int tw = GetU16LE(data + p + 4), th = GetU16LE(data + p + 6);
    p += 8;
    const std::size_t bytes = static_cast<std::size_t>(tw) * static_cast<std::size_t>(th) * 3;
    if (!APaint && (x + tw > w || y + th > h || bytes > size - p)) throw EScreenUpdate("Bad tile in screen update");
    if constexpr (APaint) {
      const std::uint8_t* src = data + p;
      for (int r = 0; r < th; ++r, src += static_cast<std::size_t>(tw) * 3)
        ExpandRow(src, ABitmap.Row(y + r) + static_cast<std::size_t>(x) * 4, tw);
      if (APainted && tw > 0 && th > 0) APainted->push_back({x, y, tw, th});
    }
    p += bytes;
  }
}

// Decompresses a zlib update and reads its size; returns the decompressed data.
const std::uint8_t* OpenPlain(TByteView AUpdate, std::size_t& ASize, int& AW, int& AH, int& AN) {
  thread_local TDecodeScratch scratch;
  ASize = Decompress(scratch, AUpdate);
  const std::uint8_t* const data = scratch.Data.get();
  if (ASize < 6) throw EScreenUpdate("Screen update too short");
  AW = GetU16LE(data);
  AH = GetU16LE(data + 2);
  AN = GetU16LE(data + 4);
  if (AW < 2 || AH < 2 || AW > kMaxScreenSide || AH > kMaxScreenSide ||
      static_cast<std::int64_t>(AW) * AH > kMaxScreenPixels)
    throw EScreenUpdate("Bad screen size");
  return data;
}

// ApplyScreenUpdate that checks the whole update before it paints: when it throws, ABitmap is as it was.
void ApplyScreenUpdateWhole(TBitmap32& ABitmap, TByteView AUpdate, std::vector<TRect>* APainted) {
  std::size_t size = 0;
  int w = 0, h = 0, n = 0;
  const std::uint8_t* data = OpenPlain(AUpdate, size, w, h, n);
  RunTiles<false>(ABitmap, data, size, w, h, n, nullptr);
  if (ABitmap.Width() != w || ABitmap.Height() != h) ABitmap.Resize(w, h);
  ++ABitmap.FChangeCount;
  RunTiles<true>(ABitmap, data, size, w, h, n, APainted);
}

}  // namespace

void ApplyScreenUpdate(TBitmap32& ABitmap, TByteView AUpdate, std::vector<TRect>* APainted) {
  std::size_t size = 0;
  int w = 0, h = 0, n = 0;
  const std::uint8_t* data = OpenPlain(AUpdate, size, w, h, n);
  if (ABitmap.Width() != w || ABitmap.Height() != h) ABitmap.Resize(w, h);
  ++ABitmap.FChangeCount;
  std::size_t p = 6;
  for (int i = 0; i < n; ++i) {
    if (size - p < 8) throw EScreenUpdate("Screen update cut short");
    const int x = GetU16LE(data + p), y = GetU16LE(data + p + 2);
    const int tw = GetU16LE(data + p + 4), th = GetU16LE(data + p + 6);
    p += 8;
    const std::size_t bytes = static_cast<std::size_t>(tw) * static_cast<std::size_t>(th) * 3;
    if (x + tw > w || y + th > h || bytes > size - p) throw EScreenUpdate("Bad tile in screen update");
    const std::uint8_t* src = data + p;
    for (int r = 0; r < th; ++r, src += static_cast<std::size_t>(tw) * 3)
      ExpandRow(src, ABitmap.Row(y + r) + static_cast<std::size_t>(x) * 4, tw);
    p += bytes;
    if (APainted && tw > 0 && th > 0) APainted->push_back({x, y, tw, th});
  }
}

// ---- The viewer's picture -------------------------------------------------------------------------

void TScreenPicture::Apply(TByteView AUpdate) {
  FPainted.clear();
  if (!AUpdate.empty() && AUpdate[0] == kCompactMagic)
    FCompact.Apply(FPicture, AUpdate, &FPainted);
  else
    ApplyScreenUpdateWhole(FPicture, AUpdate, &FPainted);
}

TBitmap32& TScreenPicture::Replace(int AW, int AH) {
  if (FPicture.Width() != AW || FPicture.Height() != AH) FPicture.Resize(AW, AH);
  FPainted.clear();
  return FPicture;
}

}  // namespace tovik
