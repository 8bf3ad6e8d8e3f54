// Screen updates from the network: ApplyScreenUpdate must reject anything malformed without crashing.
#include <cstddef>
#include <cstdint>

#include "media/TovikCapture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tovik::TBitmap32 bitmap;
  try {
    tovik::ApplyScreenUpdate(bitmap, tovik::TByteView(data, size));
  } catch (const tovik::EScreenUpdate&) {
  }
  return 0;
}
