// The main window's shell decisions without Qt: how it shows at start and what closing does in tray
// mode, the faces of the admin button, and the restart parameters of an update.
//
// A desktop without a notification area (stock GNOME has none) cannot show the tray icon: a window
// hidden there could never be reached again, so tray mode then starts minimized and closing ends the
// program.
#pragma once

#include <cstdint>
#include <string>

#include "app/TovikRunModes.h"

namespace tovik {

enum class TStartShow { ssShown, ssMinimized, ssHidden };

TStartShow StartShowing(const TRunSwitches& ASwitches, bool ATrayAvailable);
// Closing hides the window instead of ending the program.
bool CloseHides(bool ATrayMode, bool ATrayAvailable, bool AReallyExit);
// The restart switches as the window is now: RestartParameters in app/TovikMainUpdates.h.

enum class TAdminFaceKind {
  afElevated,       // the process runs as administrator
  afServiceReady,   // the support service's broker answers
  afNotReady,       // restart with administrator rights on click
  afDesktopReaches, // this desktop lets a helper's input reach admin prompts anyway
};

struct TAdminFace {
  TAdminFaceKind Kind;
  std::string Caption;
  char16_t Glyph = 0;
  bool Success = false;  // success look, else secondary
  bool Clickable = false;
  std::string Tip;
  std::string Hint;  // the get-help hint under the card's title
};

// The face for the current state. AElevated is decided once at start; a change of the service's
// readiness replaces any face.
TAdminFace AdminFace(bool AElevated, bool AServiceReady, bool ADesktopReaches);

}  // namespace tovik
