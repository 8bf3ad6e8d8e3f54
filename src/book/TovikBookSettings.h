// The [Book] settings of the sync engine in an INI file, with the secret only ever in protected form.
//
// Threads: the engine's thread.
#pragma once

#include <functional>
#include <string>

#include "book/TovikBook.h"
#include "book/TovikProtect.h"

namespace tovik {

class TBookSettingsFile final : public IBookSettings {
 public:
  using TLog = std::function<void(const std::string&)>;
  // AProtector must outlive this object.
  TBookSettingsFile(std::string AIniPath, ISecretProtector& AProtector, TLog ALog)
      : FIni(std::move(AIniPath)), FProtector(AProtector), FLog(std::move(ALog)) {}

  // [Book] Secret read back (plain values are taken as they are; AMigrate tells that it must be
  // written again in protected form) and [Book] Stamp.
  std::string ReadSecret(bool* AMigrate = nullptr);
  std::int64_t ReadStamp();

  std::string NewName() override;
  // When the secret cannot be protected it is kept in memory only: "Could not save the sync setting
  // Secret" is logged and any value in the file is cleared.
  void SaveSecret(const std::string& ASecret) override;
  void SaveStamp(std::int64_t AStamp) override;
  void SaveNewName(const std::string& AName) override;

 private:
  void Write(const char* AKey, const std::string& AValue);
  std::string FIni;
  ISecretProtector& FProtector;
  TLog FLog;
};

}  // namespace tovik
