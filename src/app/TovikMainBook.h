// The main window's saved PCs: the list in the per-user settings file, the sync engine with its
// protected secret and state file, and the adapters that connect the engine to the network client
// and the clock. Qt-free; the window shows the list in a TRecentPicker and opens the sync dialog.
//
// Ownership: TMainBook owns the list, the engine and their stores; the client and the settings store
// must outlive it. Threads: GUI thread only (the window's one-second tick calls Tick).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/TovikSettings.h"
#include "app/TovikBookAdapters.h"
#include "book/TovikBook.h"
#include "book/TovikBookSettings.h"
#include "book/TovikProtect.h"
#include "book/TovikRecent.h"

namespace tovik {

// [Recent] of the per-user file through the settings store (which keeps a file that holds secrets
// private).
class TSettingsRecentStore final : public IRecentStore {
 public:
  explicit TSettingsRecentStore(const TSettingsStore& AStore) : FStore(AStore) {}
  std::optional<TIniPairs> ReadSection() override { return IniReadSection(FStore.Paths().UserIni, "Recent"); }
  TFileResult WriteSection(const TIniPairs& AKeys) override { return FStore.WriteSection("Recent", AKeys); }
  std::string Path() const override { return FStore.Paths().UserIni; }

 private:
  const TSettingsStore& FStore;
};

class TMainBook {
 public:
  using TLog = std::function<void(const std::string&)>;
  // AProtector: how the secret is kept (the key file by default).
  TMainBook(TTovikClient& AClient, const TSettingsStore& AStore, TLog ALog,
            std::unique_ptr<ISecretProtector> AProtector = nullptr);

  TRecentList& List() { return FList; }
  TBookSync& Sync() { return *FSync; }
  // The window connects to AID: it goes to the top of the saved PCs.
  void Connecting(std::string_view AID) { FList.Add(AID); }
  // Once a second: retries a failed save, runs the engine's timers.
  void Tick();

  // The list changed because of the sync (the picker refreshes); the status text changed.
  std::function<void()> OnListChanged;
  std::function<void()> OnStatus;

 private:
  TLog FLog;
  TSettingsRecentStore FRecentStore;
  TRecentList FList;
  std::unique_ptr<ISecretProtector> FProtector;
  TBookSettingsFile FSettings;
  TClientBookRelay FRelay;
  TProgramBookClock FClock;
  std::unique_ptr<TBookSync> FSync;
};

}  // namespace tovik
