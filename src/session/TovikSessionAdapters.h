// The host's real screen and input objects behind the session's interfaces.
#pragma once

#include <memory>

#include "media/TovikCapture.h"
#include "media/TovikInput.h"
#include "session/TovikSessionIntf.h"

namespace tovik {

// The session's screen over a TScreenCapturer on ABackend, which the composition root picks.
// Returns nullptr when ABackend is null (no screen on this desktop).
std::unique_ptr<IHostScreen> MakeCapturerScreen(std::shared_ptr<IScreenBackend> ABackend);

// The session's input over an injector that the composition root picks. Returns nullptr when
// AInjector is null (nothing can inject on this desktop).
std::unique_ptr<IHostInput> MakeHostInput(std::unique_ptr<IInputInjector> AInjector);

}  // namespace tovik
