#include "app/TovikServerBrand.h"

#include <sys/stat.h>
#include <unistd.h>

#include "app/TovikSettings.h"
#include "base/TovikFiles.h"
#include "base/TovikIni.h"
#include "crypto/TovikCrypto.h"
#include "net/TovikWire.h"

namespace tovik {

std::string CleanBrandName(std::string_view AUtf8) {
  const std::string text = Utf8Sanitize(AUtf8);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) continue;
    // C1 controls (U+0080..U+009F) are C2 80..C2 9F in UTF-8.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      ++i;
      continue;
    }
    out += static_cast<char>(c);
  }
  return Utf8Left(Trim(out), kMaxBrandNameChars);
}

std::optional<TPictureSize> PictureHeaderSize(TByteView d) {
  auto be16 = [&](std::size_t i) { return (d[i] << 8) | d[i + 1]; };
  auto be32 = [&](std::size_t i) {
    return (static_cast<std::uint32_t>(d[i]) << 24) | (static_cast<std::uint32_t>(d[i + 1]) << 16) |
           (static_cast<std::uint32_t>(d[i + 2]) << 8) | d[i + 3];
  };
  static constexpr std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (d.size() >= 24 && std::equal(kPng, kPng + 8, d.begin())) {
    if (d[12] != 'I' || d[13] != 'H' || d[14] != 'D' || d[15] != 'R') return std::nullopt;
    const std::uint32_t w = be32(16), h = be32(20);
    if (w == 0 || h == 0 || w > 0x7FFFFFFF || h > 0x7FFFFFFF) return std::nullopt;
    return TPictureSize{static_cast<int>(w), static_cast<int>(h)};
  }
  if (d.size() >= 4 && d[0] == 0xFF && d[1] == 0xD8) {
    std::size_t i = 2;
    while (i + 4 <= d.size()) {
      if (d[i] != 0xFF) return std::nullopt;
      const std::uint8_t m = d[i + 1];
      if (m == 0xFF) {  // fill byte
        ++i;
        continue;
      }
      if (m == 0xD8 || (m >= 0xD0 && m <= 0xD7) || m == 0x01) {  // markers without a length
        i += 2;
        continue;
      }
      const std::size_t len = static_cast<std::size_t>(be16(i + 2));
      if (len < 2) return std::nullopt;
      // Start of frame: every SOFn except DHT (C4), JPG (C8) and DAC (CC).
      if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
        if (i + 9 > d.size() || len < 7) return std::nullopt;
        const int h = be16(i + 5), w = be16(i + 7);
        if (w == 0 || h == 0) return std::nullopt;
        return TPictureSize{w, h};
      }
      if (m == 0xD9 || m == 0xDA) return std::nullopt;  // end, or scan data before any frame header
      i += 2 + len;
    }
  }
  return std::nullopt;
}

bool TPlainBrandFiles::Exists(const std::string& APath) const {
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string TPlainBrandFiles::Write(const std::string& APath, TByteView AData) {
  const TFileResult r =
      WriteFileAtomic(APath, std::string_view(reinterpret_cast<const char*>(AData.data()), AData.size()));
  return r ? std::string() : r.Error;
}

void TPlainBrandFiles::Remove(const std::string& APath) { ::unlink(APath.c_str()); }

TServerBrand::TServerBrand(IBrandSettings& ASettings, IBrandFiles& AFiles, std::string AUserFolder, TLogSink ALog,
                           std::function<void(const std::string&)> ASend)
    : FSettings(ASettings),
      FFiles(AFiles),
      FUserFolder(std::move(AUserFolder)),
      FLog(std::move(ALog)),
      FSend(std::move(ASend)) {}

std::string TServerBrand::LogoPath(bool AJpeg) const {
  return FUserFolder + (AJpeg ? "/ServerLogo.jpg" : "/ServerLogo.png");
}

std::string TServerBrand::Name() const { return CleanBrandName(Trim(FSettings.Read("Name"))); }

std::string TServerBrand::LogoFile() const {
  const std::string f = Trim(FSettings.Read("LogoFile"));
  return !f.empty() && FFiles.Exists(f) ? f : std::string();
}

void TServerBrand::HandleLine(std::string_view ALine, TTick ANow) {
  const std::vector<std::string_view> w = SplitLine(ALine);
  if (w.empty()) return;
  if (w[0] == "BRAND" && w.size() >= 4) Brand(w, ANow);
  if (w[0] == "LOGO" && w.size() >= 5) Logo(w);
}

void TServerBrand::Brand(const std::vector<std::string_view>& w, TTick ANow) {
  std::string name;
  if (w[3] != "-")
    if (const auto bytes = Base64Decode(w[3]); bytes && bytes->size() <= 4 * kMaxBrandNameChars * 4)
      name = CleanBrandName(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  FSettings.Write("Name", name);
  if (w[1] == "-") {
    FSettings.Write("LogoHash", "");
    FSettings.Write("LogoFile", "");
    // Only our own stored copies; the settings file's path is never deleted.
    FFiles.Remove(LogoPath(true));
    FFiles.Remove(LogoPath(false));
    FParts.clear();
  }
  const int parts = ParseIniInt(w[2], 0);
  const std::string stored = Trim(FSettings.Read("LogoHash"));
  const bool wanted = w[1] != "-" && w[1].size() <= 64 &&
                      (!SameTextAscii(stored, w[1]) || LogoFile().empty()) && parts >= 1 && parts <= kMaxLogoParts;
  if (wanted) {
    FLogoHash = std::string(w[1]);
    FParts.assign(static_cast<std::size_t>(parts), std::string());
    FTries = 0;
    Ask(ANow);
  }
  if (OnChanged) OnChanged();
}

void TServerBrand::Ask(TTick ANow) {
  ++FTries;
  FLogoAsked = ANow;
  if (FSend) FSend("LOGOGET");
}

void TServerBrand::Logo(const std::vector<std::string_view>& w) {
  if (FParts.empty() || !SameTextAscii(w[1], FLogoHash)) return;
  const int index = ParseIniInt(w[2], -1), count = ParseIniInt(w[3], -1);
  if (count != static_cast<int>(FParts.size()) || index < 0 || index >= count) return;
  if (w[4].empty() || w[4].size() > kMaxLogoPartChars) return;
  FParts[static_cast<std::size_t>(index)] = std::string(w[4]);
  for (const std::string& p : FParts)
    if (p.empty()) return;

  std::string text;
  for (const std::string& p : FParts) text += p;
  FParts.clear();
  const std::optional<TBytes> bytes = Base64Decode(text);
  if (!bytes || bytes->empty() || bytes->size() > kMaxLogoBytes) return;
  const std::string hash = BytesToHex(Sha256(*bytes)).substr(0, 16);
  if (!SameTextAscii(hash, FLogoHash)) return;
  // The picture's own header must say a bounded size before anything decodes it.
  const std::optional<TPictureSize> size = PictureHeaderSize(*bytes);
  if (!size || size->W > kMaxLogoSide || size->H > kMaxLogoSide) return;
  const bool jpeg = (*bytes)[0] == 0xFF && (*bytes)[1] == 0xD8;
  const std::string path = LogoPath(jpeg);
  if (const std::string error = FFiles.Write(path, *bytes); !error.empty()) {
    if (FLog) FLog(SaveFailureLine(TSaveFailure::sfServerLogo, "", "", error));
    return;
  }
  FFiles.Remove(LogoPath(!jpeg));
  FSettings.Write("LogoHash", FLogoHash);
  FSettings.Write("LogoFile", path);
  if (FLog) FLog("Server logo received");
  if (OnChanged) OnChanged();
}

void TServerBrand::Tick(TTick ANow) {
  if (FParts.empty() || ANow - FLogoAsked <= kLogoRetryMs) return;
  if (FTries >= kMaxLogoRequests) {
    FParts.clear();
    return;
  }
  Ask(ANow);
}

}  // namespace tovik
