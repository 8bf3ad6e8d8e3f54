// Base64 decoding of arbitrary text must never crash, and what decodes must encode back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/TovikBytes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto bytes = tovik::Base64Decode(text)) {
    if (tovik::Base64Encode(*bytes) != text) std::abort();
  }
  return 0;
}
