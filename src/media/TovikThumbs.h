// Screen thumbnails: one monitor grabbed through the plain screen copy, our own windows blanked, and
// scaled down by area averaging to rows of blue, green, red. GUI thread (the caller's); no state.
#pragma once

#include "base/TovikBytes.h"
#include "media/TovikCapture.h"

namespace tovik {

// ASrc scaled to ADstW x ADstH (each at least 1): every pixel the average of the source area it
// covers (of every few rows and columns of a large area, at least 4 x 4 samples); rows top to bottom, 3 bytes per pixel (blue, green, red), no padding.
TBytes ScaleToBgr24(const TBitmap32& ASrc, int ADstW, int ADstH);

// A thumbnail of the desktop rectangle AScreen at AW x AH; empty when it could not be grabbed.
TBytes GrabThumbnail(IScreenBackend& ABackend, const TRect& AScreen, int AW, int AH);

}  // namespace tovik
