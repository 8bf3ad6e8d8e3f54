// Protected setting values: the "dpapi:" form in which the sync secret is kept in the settings file.
//
// A protected value is "dpapi:" + Base64 of what the platform's protection made of the UTF-8 text. On
// Linux the protection is AES-256-GCM under a random 32-byte key that belongs to the user and lives
// outside the settings folder (TKeyFileProtector: $XDG_DATA_HOME/Tovik/SettingsKey, mode 0600), so a
// copied settings file alone does not give the secret away. A value without the prefix is read as it
// is (once, to migrate it); a value that cannot be unprotected reads as empty.
//
// Threads: a protector is used by one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/TovikBytes.h"

namespace tovik {

class ISecretProtector {
 public:
  virtual ~ISecretProtector() = default;
  // nullopt when the value cannot be protected (then it must not be stored at all).
  virtual std::optional<TBytes> Protect(TByteView APlain) = 0;
  virtual std::optional<TBytes> Unprotect(TByteView AProtected) = 0;
};

// AES-256-GCM under a per-user key file: nonce (12) || tag (16) || ciphertext, with a fixed 22-byte
// additional text. The key is made (WritePrivateFile, 0600) on the first Protect; Unprotect never
// makes one.
class TKeyFileProtector final : public ISecretProtector {
 public:
  explicit TKeyFileProtector(std::string AKeyFile) : FKeyFile(std::move(AKeyFile)) {}
  // $XDG_DATA_HOME/Tovik/SettingsKey, else $HOME/.local/share/Tovik/SettingsKey; empty when neither is set.
  static std::string DefaultKeyFile();
  std::optional<TBytes> Protect(TByteView APlain) override;
  std::optional<TBytes> Unprotect(TByteView AProtected) override;

 private:
  std::optional<TBytes> LoadKey(bool ACreate);
  std::string FKeyFile;
};

// "" for "", else "dpapi:" + Base64, or nullopt when protection failed.
std::optional<std::string> ProtectText(ISecretProtector& AProtector, std::string_view AText);
// The stored value (trimmed) read back; prefixed values that do not unprotect give "".
std::string UnprotectText(ISecretProtector& AProtector, std::string_view AStored);
// Whether a stored value is in the protected form.
bool IsProtectedText(std::string_view AStored);

}  // namespace tovik
