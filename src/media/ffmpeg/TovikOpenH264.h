// OpenH264 as an encoder engine, loaded at run time from libopenh264 (see TovikOpenH264.cpp).
#pragma once

#include "media/TovikMF.h"

namespace tovik {

// The engine choice; setting it up raises ETovikMF when the library is missing or of another
// version. Each engine is used by one thread.
TEngineChoice OpenH264Engine();
// Whether a usable libopenh264 was found (loaded on the first call, kept for the process).
bool OpenH264Present();

}  // namespace tovik
