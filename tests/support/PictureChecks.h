// Checks on 32-bit pictures shared by the tile tests and the picture fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "media/TovikCapture.h"

namespace tovik::test {

// True when both pictures show the same blue, green and red everywhere (the X byte is not compared).
inline bool SameBgr(const TBitmap32& a, const TBitmap32& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x)
      for (int c = 0; c < 3; ++c)
        if (a.Row(y)[x * 4 + c] != b.Row(y)[x * 4 + c]) return false;
  return true;
}

// Every byte of the picture's rows, padding left out.
inline std::vector<std::uint8_t> Pixels(const TBitmap32& ABitmap) {
  std::vector<std::uint8_t> all;
  for (int y = 0; y < ABitmap.Height(); ++y)
    all.insert(all.end(), ABitmap.Row(y), ABitmap.Row(y) + static_cast<std::size_t>(ABitmap.Width()) * 4);
  return all;
}

// Applies AUpdate; an update that is refused must leave the picture exactly as it was (aborts
// otherwise, which a fuzzer reports). True when it was applied.
template <typename TUpdate>
bool ApplyOrLeaveUnchanged(TScreenPicture& APicture, const TUpdate& AUpdate) {
  const int w0 = APicture.Picture().Width(), h0 = APicture.Picture().Height();
  const std::vector<std::uint8_t> before = Pixels(APicture.Picture());
  try {
    APicture.Apply(AUpdate);
  } catch (const EScreenUpdate&) {
    if (APicture.Picture().Width() != w0 || APicture.Picture().Height() != h0 || Pixels(APicture.Picture()) != before)
      std::abort();
    return false;
  }
  return true;
}

}  // namespace tovik::test
