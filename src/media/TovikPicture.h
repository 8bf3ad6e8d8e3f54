// Colour conversion between the 32-bit pictures of the capturer and the viewer (blue, green, red, X)
// and the 4:2:0 pictures of H.264 (NV12: a Y plane and one interleaved U, V plane; I420: three
// planes). BT.601 limited range in integer arithmetic, the same formulas in both directions on every
// platform, so that a picture converted here and back differs only by the chroma subsampling.
//
// Large pictures (at least kBandMinPixels) are converted in horizontal bands in parallel on a small
// pool of threads that lives as long as the process (TBandPool); the calls block until every band is
// done, so callers see plain functions. Bands write disjoint rows. Any thread may call; calls from
// two threads at once are safe (the second one converts on its own thread while the pool is busy).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tovik {

// Pictures with at least this many pixels are converted in parallel bands.
inline constexpr std::int64_t kBandMinPixels = 307200;
// At most this many bands (threads, the caller's included).
inline constexpr int kMaxBands = 8;

// A fixed set of worker threads, started on first use, that run the bands of one conversion. Owned
// by the process (Shared()); the threads end at exit.
class TBandPool {
 public:
  // The pool of this process, with min(processors, kMaxBands) - 1 workers.
  static TBandPool& Shared();
  explicit TBandPool(int AThreads);
  ~TBandPool();
  TBandPool(const TBandPool&) = delete;
  TBandPool& operator=(const TBandPool&) = delete;

  // Threads that run bands, the caller's included (1 = no workers).
  int Threads() const { return FThreads; }
  // Runs AWork(0) .. AWork(ABands - 1), each once, on the workers and the calling thread, and returns
  // when all are done. AWork must not raise. While another Run is in progress (another thread's),
  // every band runs on the calling thread.
  void Run(int ABands, const std::function<void(int)>& AWork);

 private:
  struct TState;
  int FThreads;
  TState* FState;
};

// Band height for AH rows split into AThreads bands: ceil(AH / AThreads), rounded up to even when
// AEven (a converter that works on row pairs).
int BandRows(int AH, int AThreads, bool AEven);

// AW x AH 32-bit pixels (row 0 at ASrc, rows ASrcStride bytes apart, may be negative) into an NV12
// picture of ADstW x ADstH with stride ADstW: the Y plane at ADst, the UV plane right after it.
// ADstW and ADstH are even and at least AW and AH; the padding repeats the last column and row.
void BgraToNV12(const std::uint8_t* ASrc, std::ptrdiff_t ASrcStride, int AW, int AH, std::uint8_t* ADst, int ADstW,
                int ADstH);
// The same into separate planes with their own strides (a library's frame buffers).
void BgraToNV12Planes(const std::uint8_t* ASrc, std::ptrdiff_t ASrcStride, int AW, int AH, std::uint8_t* AY,
                      std::ptrdiff_t AYStride, std::uint8_t* AUV, std::ptrdiff_t AUVStride, int ADstW, int ADstH);

// The top-left AW x AH of an NV12 picture (Y and UV planes, both with AStride) into 32-bit pixels
// (X = 0) at ADest, rows ADestStride bytes apart. For odd AW the last pixel takes its pair's U, V.
void NV12ToBgra(const std::uint8_t* AY, const std::uint8_t* AUV, std::ptrdiff_t AStride, std::uint8_t* ADest,
                std::ptrdiff_t ADestStride, int AW, int AH);
// The same from I420 (separate U and V planes of half width, AUVStride bytes per row).
void I420ToBgra(const std::uint8_t* AY, std::ptrdiff_t AYStride, const std::uint8_t* AU, const std::uint8_t* AV,
                std::ptrdiff_t AUVStride, std::uint8_t* ADest, std::ptrdiff_t ADestStride, int AW, int AH);

}  // namespace tovik
