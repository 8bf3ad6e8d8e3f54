// Update file parser under arbitrary text: never crashes, never raises, and never accepts a file
// that was not signed with the vendor key (the fuzzer cannot forge a signature).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crypto/TovikCrypto.h"
#include "update/TovikUpdateFile.h"

using namespace tovik;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TEcdsaKey kVendor = TEcdsaKey::CreateNew();
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TUpdateInfo info;
  std::string reason;
  if (ParseUpdateFile(text, kVendor.Public(), info, reason)) std::abort();
  if (reason.empty() || info.Build != 0 || !info.Url.empty()) std::abort();
  if (ParseUpdateFile(text, info, reason)) std::abort();
  return 0;
}
