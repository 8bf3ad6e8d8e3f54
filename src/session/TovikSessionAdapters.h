// The host's real screen and input objects behind the session's interfaces.
#pragma once

#include <memory>

#include "media/TovikCapture.h"
#include "media/TovikInput.h"
#include "session/TovikSessionIntf.h"

namespace tovik {

// The session's screen over a TScreenCapturer on ABackend (nullptr: the platform's own backend).
// Returns nullptr when there is no screen backend at all.
std::unique_ptr<IHostScreen> MakeCapturerScreen(std::shared_ptr<IScreenBackend> ABackend = nullptr);

// The session's input over a platform injector (nullptr: IInputInjector::Create()). Returns nullptr
// when nothing can inject on this desktop.
std::unique_ptr<IHostInput> MakeHostInput(std::unique_ptr<IInputInjector> AInjector = nullptr);

}  // namespace tovik
