#include "media/TovikRowHashes.h"

#include <algorithm>
#include <cstring>

#include "media/TovikCapture.h"

namespace tovik {

// Four independent lanes of 64-bit words, each word multiplied once and added into a rotating lane
// (several times the speed of a byte-serial hash); the lanes and the tail are mixed at the end.
std::uint64_t RowHash(const TBitmap32& APic, int AY, int ALeft, int AWidth) {
  const std::uint8_t* p = APic.Row(AY) + static_cast<std::size_t>(ALeft) * 4;
  const std::size_t n = static_cast<std::size_t>(AWidth) * 4;
  constexpr std::uint64_t k1 = 0x9E3779B185EBCA87ull, k2 = 0xC2B2AE3D27D4EB4Full;
  const auto round = [](std::uint64_t acc, std::uint64_t w) {
    acc += w * k2;
    acc = (acc << 31) | (acc >> 33);
    return acc * k1;
  };
  const auto lane = [](std::uint64_t acc, std::uint64_t w) {
    acc += w * k2;
    return (acc << 31) | (acc >> 33);
  };
  std::uint64_t l[4] = {k1 + k2, k2, 0, 0 - k1};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32)
    for (int j = 0; j < 4; ++j) {
      std::uint64_t w;
      std::memcpy(&w, p + i + 8 * j, 8);
      l[j] = lane(l[j], w);
    }
  for (std::uint64_t& v : l) v *= k1;
  std::uint64_t h = ((l[0] << 1) | (l[0] >> 63)) + ((l[1] << 7) | (l[1] >> 57)) + ((l[2] << 12) | (l[2] >> 52)) +
                    ((l[3] << 18) | (l[3] >> 46)) + n;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = round(h, w);
  }
  for (; i < n; ++i) h = (h ^ p[i]) * k1;
  h ^= h >> 33;
  h *= k2;
  return h ^ (h >> 29);
}

const std::uint64_t* TRowHashes::Rows(const TBitmap32& APic, const TRect& ABox) {
  const auto rows = static_cast<std::size_t>(std::max(APic.Height(), 0));
  if (ABox.Left != FLeft || ABox.Width != FWidth || FHash.size() != rows) {
    FLeft = ABox.Left;
    FWidth = ABox.Width;
    FHash.assign(rows, 0);
    FKnown.assign(rows, 0);
  }
  for (int y = ABox.Top; y < ABox.Bottom(); ++y) {
    const auto i = static_cast<std::size_t>(y);
    if (FKnown[i]) continue;
    FHash[i] = RowHash(APic, y, FLeft, FWidth);
    FKnown[i] = 1;
  }
  return FHash.data() + ABox.Top;
}

void TRowHashes::Changed(const TRect& ARect) {
  if (ARect.Empty() || ARect.Right() <= FLeft || ARect.Left >= FLeft + FWidth) return;
  const int top = std::max(ARect.Top, 0), bottom = std::min(ARect.Bottom(), static_cast<int>(FKnown.size()));
  if (top < bottom) std::fill(FKnown.begin() + top, FKnown.begin() + bottom, std::uint8_t{0});
}

void TRowHashes::Moved(const TRect& ADst, int ASrcTop) {
  if (ADst.Empty()) return;
  const int n = static_cast<int>(FKnown.size());
  if (ADst.Left != FLeft || ADst.Width != FWidth || ADst.Top < 0 || ASrcTop < 0 || ADst.Bottom() > n ||
      ASrcTop + ADst.Height > n) {
    Changed(ADst);
    return;
  }
  const auto count = static_cast<std::size_t>(ADst.Height);
  std::memmove(FHash.data() + ADst.Top, FHash.data() + ASrcTop, count * sizeof(std::uint64_t));
  std::memmove(FKnown.data() + ADst.Top, FKnown.data() + ASrcTop, count);
}

void TRowHashes::Learn(const TRect& ABox, const std::uint64_t* AHashes) {
  if (ABox.Empty() || ABox.Left != FLeft || ABox.Width != FWidth || ABox.Top < 0 ||
      ABox.Bottom() > static_cast<int>(FHash.size()))
    return;
  std::copy(AHashes, AHashes + ABox.Height, FHash.begin() + ABox.Top);
  std::fill(FKnown.begin() + ABox.Top, FKnown.begin() + ABox.Bottom(), std::uint8_t{1});
}

void TRowHashes::Clear() {
  FLeft = FWidth = 0;
  FHash.clear();
  FKnown.clear();
}

}  // namespace tovik
