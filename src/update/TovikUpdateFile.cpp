// Parsing and signature check of the update file.
#include "update/TovikUpdateFile.h"

#include <charconv>
#include <optional>
#include <vector>

#include "crypto/TovikCrypto.h"
#include "update/TovikVersion.h"

namespace tovik {

namespace {

constexpr std::string_view kMagic = "TOVIKUPDATE1";

// Removes control characters and blanks (everything up to the space character) at both ends.
std::string_view TrimControls(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> SplitLines(std::string_view AText) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] != '\r' && AText[i] != '\n') continue;
    lines.push_back(AText.substr(start, i - start));
    if (AText[i] == '\r' && i + 1 < AText.size() && AText[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < AText.size()) lines.push_back(AText.substr(start));
  return lines;
}

// A plain decimal number (digits only) that fits the type; anything else counts as 0.
template <typename T>
T ParseDecimal(std::string_view s) {
  T v = 0;
  if (s.empty()) return 0;
  for (char c : s)
    if (c < '0' || c > '9') return 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return 0;
  return v;
}

}  // namespace

std::string UpdateSignedMessage(const TUpdateInfo& AInfo) {
  return std::string(kMagic) + "|" + std::to_string(AInfo.Build) + "|" + std::to_string(AInfo.Size) +
         "|" + AsciiLower(AInfo.Sha256) + "|" + AInfo.Url;
}

TBytes BuiltInUpdateKey() { return OwnUpdateKey(); }

bool ParseUpdateFile(std::string_view AText, TByteView AVendorKey, TUpdateInfo& AInfo,
                     std::string& AReason) {
  AInfo = TUpdateInfo{};
  AReason.clear();
  std::vector<std::string_view> lines = SplitLines(AText);
  if (lines.empty() || TrimControls(lines[0]) != kMagic) {
    AReason = "not a Tovik update file";
    return false;
  }

  // The first line with a given name wins.
  std::optional<std::string_view> build, size, sha, url, sig;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = line.substr(0, eq);
    std::string_view value = TrimControls(line.substr(eq + 1));
    for (auto [key, slot] : {std::pair{"build", &build}, std::pair{"size", &size},
                             std::pair{"sha256", &sha}, std::pair{"url", &url},
                             std::pair{"sig", &sig}}) {
      if (!*slot && SameTextAscii(name, key)) *slot = value;
    }
  }

  TUpdateInfo info;
  info.Build = build ? ParseDecimal<int>(*build) : 0;
  info.Size = size ? ParseDecimal<std::int64_t>(*size) : 0;
  info.Sha256 = sha ? AsciiLower(*sha) : std::string();
  info.Url = url ? std::string(*url) : std::string();
  if (info.Build <= 0 || info.Size <= 0 || info.Sha256.size() != 64 ||
      !SameTextAscii(std::string_view(info.Url).substr(0, 8), "https://")) {
    AReason = "the update file is incomplete";
    return false;
  }

  TBytes signature = sig ? HexToBytes(*sig) : TBytes();
  if (signature.empty()) {
    AReason = "the update file is not signed";
    return false;
  }

  bool valid = false;
  if (signature.size() == kSignatureSize) {
    try {
      TEcdsaKey key = TEcdsaKey::CreateFromPublic(AVendorKey);
      valid = key.Verify(Utf8Bytes(UpdateSignedMessage(info)), signature);
    } catch (const ETovikCrypto&) {
      valid = false;  // no usable vendor key in this build
    } catch (const std::bad_alloc&) {
      valid = false;
    }
  }
  if (!valid) {
    AReason = "the signature of the update file is not valid";
    return false;
  }
  AInfo = std::move(info);
  return true;
}

std::string SignUpdateFile(const TUpdateInfo& AInfo, const TEcdsaKey& AVendorKey) {
  TUpdateInfo info = AInfo;
  info.Sha256 = AsciiLower(info.Sha256);
  const TBytes sig = AVendorKey.Sign(Utf8Bytes(UpdateSignedMessage(info)));
  return std::string(kMagic) + "\r\nbuild=" + std::to_string(info.Build) + "\r\nsize=" + std::to_string(info.Size) +
         "\r\nsha256=" + info.Sha256 + "\r\nurl=" + info.Url + "\r\nsig=" + BytesToHex(sig) + "\r\n";
}

bool ParseUpdateFile(std::string_view AText, TUpdateInfo& AInfo, std::string& AReason) {
  TBytes key = BuiltInUpdateKey();
  return ParseUpdateFile(AText, key, AInfo, AReason);
}

}  // namespace tovik
