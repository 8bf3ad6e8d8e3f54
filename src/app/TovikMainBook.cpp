#include "app/TovikMainBook.h"

namespace tovik {

TMainBook::TMainBook(TTovikClient& AClient, const TSettingsStore& AStore, TLog ALog,
                     std::unique_ptr<ISecretProtector> AProtector)
    : FLog(std::move(ALog)),
      FRecentStore(AStore),
      FList(FRecentStore),
      FProtector(AProtector ? std::move(AProtector)
                            : std::make_unique<TKeyFileProtector>(TKeyFileProtector::DefaultKeyFile())),
      FSettings(AStore.Paths().UserIni, *FProtector, FLog),
      FRelay(AClient) {
  FList.OnLog = FLog;
  FList.Load();
  FSync = std::make_unique<TBookSync>(FRelay, FClock, FSettings, AStore.Paths().UserFolder + "/BookSync.txt");
  FSync->SetLocal(FList.Lines());
  bool migrate = false;
  const std::string secret = FSettings.ReadSecret(&migrate);
  const std::int64_t stamp = FSettings.ReadStamp();
  FSync->SetSecret(secret, stamp);
  FSync->SettingsOnFile(secret, stamp);
  // A secret found in clear is written again in protected form (or taken out of the file).
  if (migrate) FSettings.SaveSecret(FSync->Secret());

  FList.OnUpload = [this](const std::vector<std::string>& ALines) {
    if (FSync->IsOn())
      FSync->Upload(ALines);
    else
      FSync->SetLocal(ALines);
  };
  FSync->OnBook = [this](const std::vector<std::string>& ALines, std::int64_t) {
    if (FList.ApplyFromSync(ALines) && OnListChanged) OnListChanged();
  };
  FSync->OnEmpty = [this] {
    if (FList.Count() > 0) FSync->Upload(FList.Lines());
  };
  FSync->OnStatus = [this] {
    if (OnStatus) OnStatus();
  };
}

void TMainBook::Tick() {
  FList.Tick();
  FSync->Tick();
}

}  // namespace tovik
