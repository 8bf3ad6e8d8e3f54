// Screen updates from the network. Random bytes seldom survive inflate, so the harness compresses
// what it is given (first byte even) and the decoder's own checks of the tile layout are reached; an
// odd first byte hands the rest in as it is, for the decompression path. The picture must apply an
// update whole or not at all: a refused update leaves it exactly as it was, and an accepted one has
// the size the update names.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/TovikBytes.h"
#include "media/TovikCapture.h"
#include "tests/support/PictureChecks.h"

namespace {

using namespace tovik;

// Pictures above this many pixels are skipped: they are valid, but each would cost the fuzzer a
// large allocation per run and teach it nothing the smaller ones do not.
constexpr std::int64_t kFuzzMaxPixels = 512 * 512;

TBytes Compress(TByteView APlain) {
  uLongf size = compressBound(static_cast<uLong>(APlain.size()));
  TBytes out(size);
  if (compress2(out.data(), &size, APlain.data(), static_cast<uLong>(APlain.size()), 1) != Z_OK) std::abort();
  out.resize(size);
  return out;
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TScreenPicture picture;
  if (size < 1 || size > kMaxUpdateBytes) return 0;
  const TByteView rest(data + 1, size - 1);
  const bool compress = data[0] % 2 == 0;
  if (compress && rest.size() >= 4) {
    const std::int64_t w = GetU16LE(rest.data()), h = GetU16LE(rest.data() + 2);
    if (w * h > kFuzzMaxPixels && w <= kMaxScreenSide && h <= kMaxScreenSide) return 0;
  }
  const TBytes update = compress ? Compress(rest) : TBytes(rest.begin(), rest.end());
  if (!test::ApplyOrLeaveUnchanged(picture, update)) return 0;
  if (compress &&
      (rest.size() < 4 || picture.Picture().Width() != GetU16LE(rest.data()) ||
       picture.Picture().Height() != GetU16LE(rest.data() + 2)))
    std::abort();
  return 0;
}
