#include "media/TovikPicture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

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

// Rows [AFirst, AEnd) of the destination (AFirst even).
void NV12Rows(const std::uint8_t* ASrc, std::ptrdiff_t ASrcStride, int AW, int AH, std::uint8_t* AY,
              std::ptrdiff_t AYStride, std::uint8_t* AUV, std::ptrdiff_t AUVStride, int ADstW, int AFirst, int AEnd) {
  for (int r = AFirst; r < AEnd; r += 2) {
    const std::uint8_t* s0 = ASrc + std::min(r, AH - 1) * ASrcStride;
    const std::uint8_t* s1 = ASrc + std::min(r + 1, AH - 1) * ASrcStride;
    std::uint8_t* y0 = AY + r * AYStride;
    std::uint8_t* y1 = y0 + AYStride;
    std::uint8_t* uv = AUV + (r / 2) * AUVStride;
    for (int c = 0; c < ADstW; c += 2) {
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

// One output row from a Y row and the U, V values of its pairs (AU[i * AStep], AV[i * AStep]).
inline void BgraRow(const TYuvTables& t, const std::uint8_t* AY, const std::uint8_t* AU, const std::uint8_t* AV,
                    int AStep, std::uint8_t* ADest, int AW) {
  for (int c = 0; c < AW; c += 2) {
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
