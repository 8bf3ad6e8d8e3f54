// Compact screen updates from the network, several in a row so that the shared inflate context is
// carried from one to the next. Random bytes seldom survive inflate, so for an even first byte the
// harness deflates the rest as the operations (continuing its own stream as a host would, restarted
// when the update says so) behind a header it fills from the input, and the decoder's own checks of
// the operations are reached; an odd first byte hands the rest in as it is. The picture must apply an
// update whole or not at all.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/TovikBytes.h"
#include "media/TovikCapture.h"
#include "tests/support/PictureChecks.h"

namespace {

using namespace tovik;

constexpr int kFuzzMaxPixels = 512 * 512;


struct THostStream {
  z_stream Z{};
  THostStream() {
    if (deflateInit2(&Z, 1, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  }
  ~THostStream() { deflateEnd(&Z); }
  TBytes Piece(const std::uint8_t* AData, std::size_t ASize, bool AReset) {
    if (AReset) deflateReset(&Z);
    TBytes out(ASize + ASize / 2 + 64);
    Z.next_in = const_cast<Bytef*>(AData);
    Z.avail_in = static_cast<uInt>(ASize);
    Z.next_out = out.data();
    Z.avail_out = static_cast<uInt>(out.size());
    // No input after a flush makes no progress: Z_BUF_ERROR, and an empty piece.
    const int rc = deflate(&Z, Z_SYNC_FLUSH);
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || Z.avail_in != 0) std::abort();
    out.resize(out.size() - Z.avail_out);
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxCompactBytes) return 0;
  TScreenPicture picture;
  THostStream host;
  std::uint32_t seq = 0;
  // Updates are separated by the four bytes "UPD!".
  std::size_t at = 0;
  while (at < size) {
    std::size_t end = at;
    while (end < size && !(size - end >= 4 && data[end] == 'U' && data[end + 1] == 'P' && data[end + 2] == 'D' &&
                           data[end + 3] == '!'))
      ++end;
    const std::uint8_t* p = data + at;
    const std::size_t n = end - at;
    at = end + 4;
    if (n < 1) continue;
    TBytes update;
    if (p[0] % 2 == 0 && n >= 6) {
      // Header from the input: flags, width, height, operation count; the rest are the operations.
      const bool reset = (p[1] & 1) != 0;
      const int w = GetU16LE(p + 2) % 600, h = GetU16LE(p + 4) % 600;
      if (static_cast<std::int64_t>(w) * h > kFuzzMaxPixels) continue;
      const std::size_t ops = n > 6 ? p[6] : 0;
      const std::uint8_t* raw = p + 7;
      const std::size_t rawSize = n > 7 ? n - 7 : 0;
      if (reset) seq = 0;
      TBytes body = host.Piece(raw, rawSize, reset);
      update.resize(kCompactHeader);
      update[0] = kCompactMagic;
      update[1] = reset ? kCompactReset : 0;
      for (int i = 0; i < 4; ++i) update[2 + i] = static_cast<std::uint8_t>(seq >> (8 * i));
      update[6] = static_cast<std::uint8_t>(w), update[7] = static_cast<std::uint8_t>(w >> 8);
      update[8] = static_cast<std::uint8_t>(h), update[9] = static_cast<std::uint8_t>(h >> 8);
      update[10] = static_cast<std::uint8_t>(ops), update[11] = 0;
      for (int i = 0; i < 4; ++i) update[12 + i] = static_cast<std::uint8_t>(rawSize >> (8 * i));
      update.insert(update.end(), body.begin(), body.end());
      ++seq;
    } else {
      update.assign(p + 1, p + n);
      if (update.size() >= 10 && static_cast<std::int64_t>(GetU16LE(update.data() + 6)) * GetU16LE(update.data() + 8) > kFuzzMaxPixels)
        continue;
    }
    test::ApplyOrLeaveUnchanged(picture, update);
  }
  return 0;
}
