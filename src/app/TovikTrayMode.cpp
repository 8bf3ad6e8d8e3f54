#include "app/TovikTrayMode.h"

namespace tovik {

TStartShow StartShowing(const TRunSwitches& ASwitches, bool ATrayAvailable) {
  if (ASwitches.Tray && !ASwitches.Show) return ATrayAvailable ? TStartShow::ssHidden : TStartShow::ssMinimized;
  return ASwitches.Min ? TStartShow::ssMinimized : TStartShow::ssShown;
}

bool CloseHides(bool ATrayMode, bool ATrayAvailable, bool AReallyExit) {
  return ATrayMode && ATrayAvailable && !AReallyExit;
}

TAdminFace AdminFace(bool AElevated, bool AServiceReady, bool ADesktopReaches) {
  if (AServiceReady)
    return {TAdminFaceKind::afServiceReady, "Admin support ready", 0xE73E, true, false,
            "Tovik Support Agent is ready. After you allow a session, your helper can work with administrator "
            "prompts.",
            "Admin support is on automatically. Allow the session when Tovik asks"};
  if (AElevated)
    return {TAdminFaceKind::afElevated, "Admin mode on", 0xE73E, true, false,
            "Tovik runs as administrator, so your helper can also work in admin windows",
            "Your helper can also work in admin windows"};
  if (ADesktopReaches)
    return {TAdminFaceKind::afDesktopReaches, "Admin prompts OK", 0xE73E, true, false,
            "On this desktop your helper's mouse and keyboard also reach administrator prompts, once you allow "
            "the session. Nothing to restart.",
            "Give this ID to the person who helps you"};
  return {TAdminFaceKind::afNotReady, "Allow admin tasks", 0xEA18, false, true,
          "Restart Tovik with administrator rights, so your helper can work in admin windows",
          "Give this ID to the person who helps you"};
}

}  // namespace tovik
