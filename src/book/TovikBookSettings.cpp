#include "book/TovikBookSettings.h"

#include <cstdlib>

#include "base/TovikFiles.h"
#include "base/TovikIni.h"
#include "crypto/TovikCrypto.h"

namespace tovik {

namespace {
constexpr std::string_view kPrefix = "dpapi:";
constexpr std::string_view kEntropy = "Tovik saved PCs secret";  // 22 characters
}  // namespace

// --- The "dpapi:" form ----------------------------------------------------------------------------

bool IsProtectedText(std::string_view AStored) {
  const auto t = TrimView(AStored);
  return t.size() >= kPrefix.size() && SameTextAscii(t.substr(0, kPrefix.size()), kPrefix);
}

std::optional<std::string> ProtectText(ISecretProtector& AProtector, std::string_view AText) {
  if (AText.empty()) return std::string();
  const auto p = AProtector.Protect(Utf8Bytes(AText));
  if (!p) return std::nullopt;
  return std::string(kPrefix) + Base64Encode(*p);
}

std::string UnprotectText(ISecretProtector& AProtector, std::string_view AStored) {
  const auto t = TrimView(AStored);
  if (!IsProtectedText(t)) return std::string(t);
  const auto raw = Base64Decode(t.substr(kPrefix.size()));
  if (!raw) return {};
  const auto plain = AProtector.Unprotect(*raw);
  if (!plain) return {};
  const std::string s = StringOf(*plain);
  return IsValidUtf8(s) ? Trim(s) : std::string();
}

// --- The key file ---------------------------------------------------------------------------------

std::string TKeyFileProtector::DefaultKeyFile() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return std::string(data) + "/Tovik/SettingsKey";
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return std::string(home) + "/.local/share/Tovik/SettingsKey";
  return {};
}

std::optional<TBytes> TKeyFileProtector::LoadKey(bool ACreate) {
  if (FKeyFile.empty()) return std::nullopt;
  std::string text;
  const TFileResult r = ReadWholeFile(FKeyFile, text, 64);
  if (r && text.size() == kGcmKeySize) return BytesOf(text);
  if (!ACreate || (r.Errno != ENOENT && r)) return std::nullopt;
  if (r.Errno != 0 && r.Errno != ENOENT) return std::nullopt;
  const auto slash = FKeyFile.rfind('/');
  if (slash != std::string::npos && !MakeFolders(FKeyFile.substr(0, slash))) return std::nullopt;
  TBytes key = RandomBytes(static_cast<int>(kGcmKeySize));
  if (!WritePrivateFile(FKeyFile, StringOf(key))) return std::nullopt;
  return key;
}

std::optional<TBytes> TKeyFileProtector::Protect(TByteView APlain) {
  try {
    const auto key = LoadKey(true);
    if (!key) return std::nullopt;
    const TBytes nonce = RandomBytes(kGcmNonceSize);
    TBytes tag;
    const TBytes ct = TGcmKey(*key).Encrypt(nonce, Utf8Bytes(kEntropy), APlain, tag);
    return JoinBytes({nonce, tag, ct});
  } catch (const ETovikCrypto&) {
    return std::nullopt;
  }
}

std::optional<TBytes> TKeyFileProtector::Unprotect(TByteView AProtected) {
  if (AProtected.size() < kGcmNonceSize + kGcmTagSize) return std::nullopt;
  const auto key = LoadKey(false);
  if (!key) return std::nullopt;
  TBytes plain;
  if (!TGcmKey(*key).Decrypt(AProtected.subspan(0, 12), Utf8Bytes(kEntropy), AProtected.subspan(28),
                             AProtected.subspan(12, 16), plain))
    return std::nullopt;
  return plain;
}

// --- [Book] ---------------------------------------------------------------------------------------

std::string TBookSettingsFile::ReadSecret(bool* AMigrate) {
  const std::string stored = Trim(IniReadString(FIni, "Book", "Secret", ""));
  if (AMigrate) *AMigrate = !stored.empty() && !IsProtectedText(stored);
  return AsciiLower(UnprotectText(FProtector, stored));
}

std::int64_t TBookSettingsFile::ReadStamp() {
  return std::max<std::int64_t>(0, ParseIniInt64(IniReadString(FIni, "Book", "Stamp", "0"), 0));
}

std::string TBookSettingsFile::NewName() { return Trim(IniReadString(FIni, "Book", "NewName", "")); }

void TBookSettingsFile::Write(const char* AKey, const std::string& AValue) {
  const TFileResult r = IniWriteString(FIni, "Book", AKey, AValue);
  if (!r && FLog) FLog(std::string("Could not save the sync setting ") + AKey);
}

void TBookSettingsFile::SaveSecret(const std::string& ASecret) {
  const auto stored = ProtectText(FProtector, AsciiLower(ASecret));
  if (!stored) {
    if (FLog) FLog("Could not save the sync setting Secret");
    (void)IniWriteString(FIni, "Book", "Secret", "");
    return;
  }
  // The file holds a (protected) secret from now on: nobody else may read it.
  if (!stored->empty()) (void)RestrictToOwner(FIni);
  Write("Secret", *stored);
}

void TBookSettingsFile::SaveStamp(std::int64_t AStamp) { Write("Stamp", std::to_string(AStamp)); }

void TBookSettingsFile::SaveNewName(const std::string& AName) { Write("NewName", AName); }

}  // namespace tovik
