// The relay's BRAND and LOGO lines (one per input line) and picture headers: whatever arrives, the
// logo is only ever stored at our own two paths, bounded in size and in the pixels its header states,
// and the stored name stays short and free of control characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "app/TovikServerBrand.h"

namespace {
struct TSettings final : tovik::IBrandSettings {
  std::map<std::string, std::string> Keys;
  std::string Read(const std::string& k) const override {
    auto it = Keys.find(k);
    return it == Keys.end() ? std::string() : it->second;
  }
  void Write(const std::string& k, const std::string& v) override { Keys[k] = v; }
};
struct TFiles final : tovik::IBrandFiles {
  std::map<std::string, tovik::TBytes> Files;
  bool Exists(const std::string& p) const override { return Files.count(p) != 0; }
  std::string Write(const std::string& p, tovik::TByteView d) override {
    Files[p] = tovik::TBytes(d.begin(), d.end());
    return {};
  }
  void Remove(const std::string& p) override { Files.erase(p); }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovik;
  (void)PictureHeaderSize(TByteView(data, size));
  TSettings settings;
  TFiles files;
  int sent = 0;
  TServerBrand brand(settings, files, "/u", nullptr, [&sent](const std::string&) { ++sent; });
  const std::string text(reinterpret_cast<const char*>(data), size);
  TTick now = 0;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    brand.HandleLine(std::string_view(text).substr(start, end - start), now);
    now += 2000;
    brand.Tick(now);
    start = end + 1;
  }
  for (const auto& [path, bytes] : files.Files) {
    if (path != "/u/ServerLogo.jpg" && path != "/u/ServerLogo.png") std::abort();
    const auto px = PictureHeaderSize(bytes);
    if (bytes.size() > kMaxLogoBytes || !px || px->W > kMaxLogoSide || px->H > kMaxLogoSide) std::abort();
  }
  const std::string name = brand.Name();
  if (Utf8Length(name) > kMaxBrandNameChars) std::abort();
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) std::abort();
  return 0;
}
