#include "media/TovikPicture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TOVIK_PICTURE_SSE2 1
#endif

namespace tovik {

// ---- band pool ------------------------------------------------------------------------------------

struct TBandPool::TState {
  std::mutex Busy;  // held by the thread whose Run is in progress
  std::mutex Lock;  // guards the fields below
  std::condition_variable Wake;
  std::condition_variable Done;
  const std::function<void(int)>* Work = nullptr;
  int Bands = 0;
  std::atomic<int> Next{0};
  int Finished = 0;
  int Active = 0;  // workers between taking up a Run and counting their bands
  std::uint64_t Generation = 0;
  bool Stop = false;
  std::vector<std::thread> Workers;

  // Runs bands until none is left; returns how many this thread ran.
  int Drain(const std::function<void(int)>& AWork, int ABands) {
    int ran = 0;
    for (int b = Next.fetch_add(1); b < ABands; b = Next.fetch_add(1)) {
      AWork(b);
      ++ran;
    }
    return ran;
  }

  void WorkerLoop() {
    std::uint64_t seen = 0;
    for (;;) {
      const std::function<void(int)>* work;
      int bands;
      {
        std::unique_lock<std::mutex> l(Lock);
        Wake.wait(l, [&] { return Stop || Generation != seen; });
        if (Stop) return;
        seen = Generation;
        if (!Work) continue;  // woke after that Run had ended
        work = Work;
        bands = Bands;
        ++Active;
      }
      const int ran = Drain(*work, bands);
      std::lock_guard<std::mutex> l(Lock);
      Finished += ran;
      --Active;
      Done.notify_all();
    }
  }
};

TBandPool& TBandPool::Shared() {
  static TBandPool pool(std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, kMaxBands));
  return pool;
}

TBandPool::TBandPool(int AThreads) : FThreads(std::clamp(AThreads, 1, kMaxBands)), FState(new TState) {
  for (int i = 1; i < FThreads; ++i) FState->Workers.emplace_back([s = FState] { s->WorkerLoop(); });
}

TBandPool::~TBandPool() {
  {
    std::lock_guard<std::mutex> l(FState->Lock);
    FState->Stop = true;
  }
  FState->Wake.notify_all();
  for (auto& t : FState->Workers) t.join();
  delete FState;
}

void TBandPool::Run(int ABands, const std::function<void(int)>& AWork) {
  if (ABands <= 0) return;
  std::unique_lock<std::mutex> busy(FState->Busy, std::try_to_lock);
  if (FThreads == 1 || ABands == 1 || !busy.owns_lock()) {
    for (int b = 0; b < ABands; ++b) AWork(b);
    return;
  }
  {
    std::lock_guard<std::mutex> l(FState->Lock);
    FState->Work = &AWork;
    FState->Bands = ABands;
    FState->Next.store(0);
    FState->Finished = 0;
    ++FState->Generation;
  }
  FState->Wake.notify_all();
  const int ran = FState->Drain(AWork, ABands);
  std::unique_lock<std::mutex> l(FState->Lock);
  FState->Finished += ran;
  // Every band has run and no worker still holds AWork; a worker that wakes later finds no work.
  FState->Done.wait(l, [&] { return FState->Finished == ABands && FState->Active == 0; });
  FState->Work = nullptr;
}

int BandRows(int AH, int AThreads, bool AEven) {
  if (AThreads < 1) AThreads = 1;
  int rows = (AH + AThreads - 1) / AThreads;
  if (AEven) rows += rows & 1;
  return std::max(rows, 1);
}

namespace {

// Splits AH rows into bands (or one band for small pictures) and runs ARows(first, end) on each.
void InBands(std::int64_t APixels, int AH, bool AEven, const std::function<void(int, int)>& ARows) {
  TBandPool& pool = TBandPool::Shared();
  const int t = pool.Threads();
  if (t < 2 || APixels < kBandMinPixels) {
    ARows(0, AH);
    return;
  }
  const int band = BandRows(AH, t, AEven);
  pool.Run(t, [&](int b) {
    const int first = b * band;
    const int end = std::min((b + 1) * band, AH);
    if (first < end) ARows(first, end);
  });
}

// ---- BGRA -> 4:2:0 --------------------------------------------------------------------------------

inline std::uint8_t LumaOf(const std::uint8_t* p) {
  return static_cast<std::uint8_t>(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
}

#ifdef TOVIK_PICTURE_SSE2
// Sums of neighbouring 32-bit lanes: [a0+a1, a2+a3, b0+b1, b2+b3].
inline __m128i PairSums(__m128i a, __m128i b) {
  const __m128i sa = _mm_shuffle_epi32(a, _MM_SHUFFLE(3, 1, 2, 0));
  const __m128i sb = _mm_shuffle_epi32(b, _MM_SHUFFLE(3, 1, 2, 0));
  return _mm_add_epi32(_mm_unpacklo_epi64(sa, sb), _mm_unpackhi_epi64(sa, sb));
}

// Y of four pixels (32-bit lanes) by the same formula as LumaOf.
inline __m128i Luma4(__m128i APixels) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i k = _mm_setr_epi16(25, 129, 66, 0, 25, 129, 66, 0);
  const __m128i sums = PairSums(_mm_madd_epi16(_mm_unpacklo_epi8(APixels, zero), k),
                                _mm_madd_epi16(_mm_unpackhi_epi8(APixels, zero), k));
  return _mm_add_epi32(_mm_srli_epi32(_mm_add_epi32(sums, _mm_set1_epi32(128)), 8), _mm_set1_epi32(16));
}

// Eight Y values of one source row.
inline void Luma8(const std::uint8_t* ASrc, std::uint8_t* AY) {
  const __m128i a = Luma4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ASrc)));
  const __m128i b = Luma4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ASrc + 16)));
  const __m128i y16 = _mm_packs_epi32(a, b);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(AY), _mm_packus_epi16(y16, y16));
}

// Sums over the 2 x 2 blocks of two pixel pairs: 16-bit [b g r x] of the first block, then the second.
inline __m128i BlockSums(__m128i ATop, __m128i ABottom, bool AHigh) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i v = AHigh ? _mm_add_epi16(_mm_unpackhi_epi8(ATop, zero), _mm_unpackhi_epi8(ABottom, zero))
                          : _mm_add_epi16(_mm_unpacklo_epi8(ATop, zero), _mm_unpacklo_epi8(ABottom, zero));
  return _mm_add_epi16(v, _mm_srli_si128(v, 8));  // lanes 0..3: the block of this pair
}

// Two rows of eight pixels: sixteen Y values and four U, V pairs (the scalar formulas, lane by lane).
inline void NV12Block8(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0, std::uint8_t* y1,
                       std::uint8_t* uv) {
  Luma8(s0, y0);
  Luma8(s1, y1);
  const __m128i t0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s0));
  const __m128i t1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s0 + 16));
  const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s1));
  const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s1 + 16));
  const __m128i q01 = _mm_unpacklo_epi64(BlockSums(t0, b0, false), BlockSums(t0, b0, true));
  const __m128i q23 = _mm_unpacklo_epi64(BlockSums(t1, b1, false), BlockSums(t1, b1, true));
  const __m128i ku = _mm_setr_epi16(112, -74, -38, 0, 112, -74, -38, 0);
  const __m128i kv = _mm_setr_epi16(-18, -94, 112, 0, -18, -94, 112, 0);
  const __m128i round = _mm_set1_epi32(131584);
  const __m128i u = _mm_srai_epi32(
      _mm_add_epi32(PairSums(_mm_madd_epi16(q01, ku), _mm_madd_epi16(q23, ku)), round), 10);
  const __m128i v = _mm_srai_epi32(
      _mm_add_epi32(PairSums(_mm_madd_epi16(q01, kv), _mm_madd_epi16(q23, kv)), round), 10);
  const __m128i uv16 = _mm_packs_epi32(u, v);  // U0..U3 V0..V3
  const __m128i mixed = _mm_unpacklo_epi16(uv16, _mm_srli_si128(uv16, 8));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(uv), _mm_packus_epi16(mixed, mixed));
}
#endif

// Rows [AFirst, AEnd) of the destination (AFirst even).
void NV12Rows(const std::uint8_t* ASrc, std::ptrdiff_t ASrcStride, int AW, int AH, std::uint8_t* AY,
              std::ptrdiff_t AYStride, std::uint8_t* AUV, std::ptrdiff_t AUVStride, int ADstW, int AFirst, int AEnd) {
  for (int r = AFirst; r < AEnd; r += 2) {
    const std::uint8_t* s0 = ASrc + std::min(r, AH - 1) * ASrcStride;
    const std::uint8_t* s1 = ASrc + std::min(r + 1, AH - 1) * ASrcStride;
    std::uint8_t* y0 = AY + r * AYStride;
    std::uint8_t* y1 = y0 + AYStride;
    std::uint8_t* uv = AUV + (r / 2) * AUVStride;
    int c = 0;
#ifdef TOVIK_PICTURE_SSE2
    // Inside the source (both rows real, eight columns real) without the edge clamps.
    if (r + 1 < AH)
      for (; c + 8 <= AW; c += 8) NV12Block8(s0 + c * 4, s1 + c * 4, y0 + c, y1 + c, uv + c);
#endif
    for (; c < ADstW; c += 2) {
      const int x0 = std::min(c, AW - 1) * 4;
      const int x1 = std::min(c + 1, AW - 1) * 4;
      const std::uint8_t* a = s0 + x0;
      const std::uint8_t* b = s0 + x1;
      const std::uint8_t* d = s1 + x0;
      const std::uint8_t* e = s1 + x1;
      y0[c] = LumaOf(a);
      y0[c + 1] = LumaOf(b);
      y1[c] = LumaOf(d);
      y1[c + 1] = LumaOf(e);
      const int sb = a[0] + b[0] + d[0] + e[0];
      const int sg = a[1] + b[1] + d[1] + e[1];
      const int sr = a[2] + b[2] + d[2] + e[2];
      uv[c] = static_cast<std::uint8_t>((112 * sb - 38 * sr - 74 * sg + 131584) >> 10);
      uv[c + 1] = static_cast<std::uint8_t>((112 * sr - 94 * sg - 18 * sb + 131584) >> 10);
    }
  }
}

// ---- 4:2:0 -> BGRA --------------------------------------------------------------------------------

struct TYuvTables {
  std::array<int, 256> Y{};   // 298 (Y - 16) + 128 + 1024 * 256
  std::array<int, 256> RV{};  // 409 (V - 128)
  std::array<int, 256> GU{};  // -100 (U - 128)
  std::array<int, 256> GV{};  // -208 (V - 128)
  std::array<int, 256> BU{};  // 516 (U - 128)
  std::array<std::uint8_t, 2048> Clamp{};  // [sum >> 8] = clamp(i - 1024, 0, 255)

  TYuvTables() {
    for (int i = 0; i < 256; ++i) {
      Y[i] = 298 * (i - 16) + 128 + 1024 * 256;
      RV[i] = 409 * (i - 128);
      GU[i] = -100 * (i - 128);
      GV[i] = -208 * (i - 128);
      BU[i] = 516 * (i - 128);
    }
    for (int i = 0; i < 2048; ++i) Clamp[i] = static_cast<std::uint8_t>(std::clamp(i - 1024, 0, 255));
  }
};

const TYuvTables& Tables() {
  static const TYuvTables t;
  return t;
}

inline void PutPixel(const TYuvTables& t, std::uint8_t* d, int y, int bu, int guv, int rv) {
  const int base = t.Y[y];
  d[0] = t.Clamp[(base + bu) >> 8];
  d[1] = t.Clamp[(base + guv) >> 8];
  d[2] = t.Clamp[(base + rv) >> 8];
  d[3] = 0;
}

#ifdef TOVIK_PICTURE_SSE2
// Four pixels of BGRX from 32-bit sums B, G, R (already shifted): clamped to 0..255 as the table does.
inline __m128i Pack4(__m128i ABlue, __m128i AGreen, __m128i ARed) {
  const __m128i b = _mm_packs_epi32(ABlue, ABlue);
  const __m128i g = _mm_packs_epi32(AGreen, AGreen);
  const __m128i r = _mm_packs_epi32(ARed, ARed);
  const __m128i bg = _mm_unpacklo_epi16(b, g);
  const __m128i rx = _mm_unpacklo_epi16(r, _mm_setzero_si128());
  return _mm_packus_epi16(_mm_unpacklo_epi32(bg, rx), _mm_unpackhi_epi32(bg, rx));
}

// Eight pixels from eight Y values and four U, V pairs given as 16-bit [U0 V0 U1 V1 U2 V2 U3 V3].
inline void Bgra8(const std::uint8_t* AY, __m128i AUV, std::uint8_t* ADest) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i y = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(AY)), zero),
                                  _mm_set1_epi16(16));
  const __m128i uv = _mm_sub_epi16(AUV, _mm_set1_epi16(128));
  __m128i u = _mm_shufflelo_epi16(uv, _MM_SHUFFLE(2, 2, 0, 0));
  u = _mm_shufflehi_epi16(u, _MM_SHUFFLE(2, 2, 0, 0));  // U0 U0 U1 U1 U2 U2 U3 U3
  __m128i v = _mm_shufflelo_epi16(uv, _MM_SHUFFLE(3, 3, 1, 1));
  v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(3, 3, 1, 1));  // V0 V0 V1 V1 ...
  const __m128i one = _mm_set1_epi16(1);
  const __m128i kb = _mm_setr_epi16(298, 516, 298, 516, 298, 516, 298, 516);
  const __m128i kg = _mm_setr_epi16(298, -100, 298, -100, 298, -100, 298, -100);
  const __m128i ky = _mm_setr_epi16(298, 0, 298, 0, 298, 0, 298, 0);
  const __m128i kgv = _mm_setr_epi16(-208, 128, -208, 128, -208, 128, -208, 128);
  const __m128i krv = _mm_setr_epi16(409, 128, 409, 128, 409, 128, 409, 128);
  const __m128i c128 = _mm_set1_epi32(128);
  for (int half = 0; half < 2; ++half) {
    const __m128i yu = half ? _mm_unpackhi_epi16(y, u) : _mm_unpacklo_epi16(y, u);
    const __m128i v1 = half ? _mm_unpackhi_epi16(v, one) : _mm_unpacklo_epi16(v, one);
    const __m128i b = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yu, kb), c128), 8);
    const __m128i g = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yu, kg), _mm_madd_epi16(v1, kgv)), 8);
    const __m128i r = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yu, ky), _mm_madd_epi16(v1, krv)), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(ADest + half * 16), Pack4(b, g, r));
  }
}

// Four U, V pairs as 16-bit [U0 V0 U1 V1 ...] from an interleaved plane (AStep 2) or two planes.
inline __m128i LoadUV4(const std::uint8_t* AU, const std::uint8_t* AV, int AStep) {
  const __m128i zero = _mm_setzero_si128();
  if (AStep == 2) return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(AU)), zero);
  int u, v;
  std::memcpy(&u, AU, 4);
  std::memcpy(&v, AV, 4);
  return _mm_unpacklo_epi8(_mm_unpacklo_epi8(_mm_cvtsi32_si128(u), _mm_cvtsi32_si128(v)), zero);
}
#endif

// One output row from a Y row and the U, V values of its pairs (AU[i * AStep], AV[i * AStep]).
inline void BgraRow(const TYuvTables& t, const std::uint8_t* AY, const std::uint8_t* AU, const std::uint8_t* AV,
                    int AStep, std::uint8_t* ADest, int AW) {
  int c = 0;
#ifdef TOVIK_PICTURE_SSE2
  for (; c + 8 <= AW; c += 8) Bgra8(AY + c, LoadUV4(AU + (c / 2) * AStep, AV + (c / 2) * AStep, AStep), ADest + c * 4);
#endif
  for (; c < AW; c += 2) {
    const int i = (c / 2) * AStep;
    const int u = AU[i], v = AV[i];
    const int bu = t.BU[u], guv = t.GU[u] + t.GV[v], rv = t.RV[v];
    PutPixel(t, ADest + c * 4, AY[c], bu, guv, rv);
    if (c + 1 < AW) PutPixel(t, ADest + (c + 1) * 4, AY[c + 1], bu, guv, rv);
  }
}

}  // namespace

void BgraToNV12Planes(const std::uint8_t* ASrc, std::ptrdiff_t ASrcStride, int AW, int AH, std::uint8_t* AY,
                      std::ptrdiff_t AYStride, std::uint8_t* AUV, std::ptrdiff_t AUVStride, int ADstW, int ADstH) {
  if (!ASrc || !AY || !AUV || AW <= 0 || AH <= 0 || ADstW < AW || ADstH < AH || (ADstW & 1) || (ADstH & 1)) return;
  InBands(std::int64_t{ADstW} * ADstH, ADstH, true, [&](int AFirst, int AEnd) {
    NV12Rows(ASrc, ASrcStride, AW, AH, AY, AYStride, AUV, AUVStride, ADstW, AFirst, AEnd);
  });
}

void BgraToNV12(const std::uint8_t* ASrc, std::ptrdiff_t ASrcStride, int AW, int AH, std::uint8_t* ADst, int ADstW,
                int ADstH) {
  if (!ADst) return;
  BgraToNV12Planes(ASrc, ASrcStride, AW, AH, ADst, ADstW, ADst + std::ptrdiff_t{ADstW} * ADstH, ADstW, ADstW,
                   ADstH);
}

void NV12ToBgra(const std::uint8_t* AY, const std::uint8_t* AUV, std::ptrdiff_t AStride, std::uint8_t* ADest,
                std::ptrdiff_t ADestStride, int AW, int AH) {
  if (!AY || !AUV || !ADest || AW <= 0 || AH <= 0) return;
  const TYuvTables& t = Tables();
  InBands(std::int64_t{AW} * AH, AH, false, [&](int AFirst, int AEnd) {
    for (int r = AFirst; r < AEnd; ++r) {
      const std::uint8_t* uv = AUV + (r / 2) * AStride;
      BgraRow(t, AY + r * AStride, uv, uv + 1, 2, ADest + r * ADestStride, AW);
    }
  });
}

void I420ToBgra(const std::uint8_t* AY, std::ptrdiff_t AYStride, const std::uint8_t* AU, const std::uint8_t* AV,
                std::ptrdiff_t AUVStride, std::uint8_t* ADest, std::ptrdiff_t ADestStride, int AW, int AH) {
  if (!AY || !AU || !AV || !ADest || AW <= 0 || AH <= 0) return;
  const TYuvTables& t = Tables();
  InBands(std::int64_t{AW} * AH, AH, false, [&](int AFirst, int AEnd) {
    for (int r = AFirst; r < AEnd; ++r)
      BgraRow(t, AY + r * AYStride, AU + (r / 2) * AUVStride, AV + (r / 2) * AUVStride, 1,
              ADest + r * ADestStride, AW);
  });
}

}  // namespace tovik
