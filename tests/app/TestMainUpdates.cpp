// The main window's update decisions: when a ready build may install by itself, and the switches the
// new program gets.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/TovikMainUpdates.h"

namespace tovik {
namespace {

TEST(MainUpdates, InstallsOnlyWhenIdleAndNotLookedAt) {
  TIdleFacts idle;
  idle.ClientExists = true;
  idle.State = TTovikState::rsRegistered;
  struct Case {
    const char* What;
    std::function<void(TIdleFacts&)> Change;
    bool Handed;
    bool May;
  };
  const Case cases[] = {
      {"idle, window in the background", [](TIdleFacts&) {}, false, true},
      {"the user looks at the window", [](TIdleFacts& f) { f.WindowLookedAt = true; }, false, false},
      {"looked at, but the service has it", [](TIdleFacts& f) { f.WindowLookedAt = true; }, true, true},
      {"no client", [](TIdleFacts& f) { f.ClientExists = false; }, false, false},
      {"punching", [](TIdleFacts& f) { f.State = TTovikState::rsPunching; }, false, false},
      {"connected", [](TIdleFacts& f) { f.State = TTovikState::rsConnected; }, true, false},
      {"offline is idle", [](TIdleFacts& f) { f.State = TTovikState::rsOffline; }, false, true},
      {"a session", [](TIdleFacts& f) { f.Session = true; }, false, false},
      {"an extra session", [](TIdleFacts& f) { f.ExtraLinks = true; }, false, false},
      {"a reconnection pending", [](TIdleFacts& f) { f.ReconnectPending = true; }, false, false},
      {"a dialog open", [](TIdleFacts& f) { f.ModalOpen = true; }, true, false},
  };
  for (const Case& c : cases) {
    TIdleFacts f = idle;
    c.Change(f);
    EXPECT_EQ(UpdateMayInstall(f, c.Handed), c.May) << c.What;
  }
}

TEST(MainUpdates, RestartParametersAndDevelopmentCopies) {
  EXPECT_EQ(RestartParameters(false, true, false), "");
  EXPECT_EQ(RestartParameters(false, true, true), "/min");
  EXPECT_EQ(RestartParameters(true, false, false), "/tray");
  EXPECT_EQ(RestartParameters(true, true, false), "/tray /show");
  EXPECT_EQ(RestartParameters(true, true, true), "/tray /show /min");
  EXPECT_EQ(RestartParameters(false, false, true), "");

  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/tovik-dev-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  fs::create_directories(dir / "a/b/c/d");
  EXPECT_FALSE(IsDevelopmentCopy((dir / "a/b/c/d/tovik").string()));
  std::ofstream(dir / "a/CMakeCache.txt") << "";
  EXPECT_TRUE(IsDevelopmentCopy((dir / "a/b/c/d/tovik").string()));  // three folders above
  EXPECT_TRUE(IsDevelopmentCopy((dir / "a/tovik").string()));
  fs::create_directories(dir / "a/b/c/d/e");
  EXPECT_FALSE(IsDevelopmentCopy((dir / "a/b/c/d/e/tovik").string()));  // four: too far
  fs::remove_all(dir);

  const TEnvLookup env = [](const char* name) -> std::optional<std::string> {
    if (std::string(name) == "HOME") return std::string("/home/u");
    return std::nullopt;
  };
  EXPECT_EQ(UpdateDownloadFolder(env), "/home/u/.cache/Tovik/TovikUpdate");
}

}  // namespace
}  // namespace tovik
