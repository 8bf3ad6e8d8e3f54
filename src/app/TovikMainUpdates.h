// The main window's side of updates, without Qt: how the updater is set up from the settings and the
// program file, when a ready build may install by itself, and the switches the new program gets.
#pragma once

#include <string>

#include "app/TovikSettings.h"
#include "net/TovikNet.h"
#include "update/TovikUpdate.h"

namespace tovik {

// What the window knows at a tick, for the decision to install a ready build by itself.
struct TIdleFacts {
  bool ClientExists = false;
  TTovikState State = TTovikState::rsOffline;
  bool Session = false;           // a primary session exists
  bool ExtraLinks = false;        // an extra-session link exists
  bool ReconnectPending = false;
  bool ModalOpen = false;
  bool WindowLookedAt = false;    // visible, not minimized, and the active application
};

// The PC is idle and (unless the service has the install in hand) the user is not looking at the
// window.
bool UpdateMayInstall(const TIdleFacts& AFacts, bool AHanded);

// The window-state switches for the new program: "/tray", " /show" (tray mode and visible),
// " /min" (visible and minimized), trimmed.
std::string RestartParameters(bool ATrayMode, bool AVisible, bool AMinimized);

// A copy that runs from a build tree: "CMakeCache.txt" in the program's folder or up to three
// folders above it.
bool IsDevelopmentCopy(const std::string& AProgramFile);

// The private folder downloads go to: $XDG_CACHE_HOME/Tovik/TovikUpdate, else ~/.cache/Tovik/TovikUpdate.
std::string UpdateDownloadFolder(const TEnvLookup& AEnv);

// The updater's setup from the settings store and the program file on disk.
TUpdaterSetup MainUpdaterSetup(const TSettingsStore& AStore, const TEnvLookup& AEnv);

}  // namespace tovik
