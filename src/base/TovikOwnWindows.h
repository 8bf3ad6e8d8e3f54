// Process-wide list of the screen rectangles of our own windows that must not appear in a screen
// capture (the viewer window and the stop bar). X11 has no way to exclude a window from capture, so
// the capturer blanks these areas in every captured picture; a helper connected to a PC that is itself
// showing a viewer then sees a blank area instead of an endless mirror.
//
// Thread-safe: windows register on the GUI thread, the capturer may read from any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace tovik {

// The colour a capture shows in place of our windows (blue, green, red, unused).
inline constexpr std::uint32_t kOwnWindowBlankPixel = 0x00303030;

// A rectangle in desktop (root window) pixels.
struct TOwnWindowRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const TOwnWindowRect&) const = default;
};

// Adds an entry (hidden, empty) and returns its id (never 0).
int RegisterOwnWindow();
// Sets an entry's rectangle and whether it is shown; unknown ids are ignored.
void SetOwnWindow(int id, const TOwnWindowRect& rect, bool shown);
// Removes an entry; unknown ids are ignored.
void UnregisterOwnWindow(int id);
// The rectangles of the shown entries.
std::vector<TOwnWindowRect> OwnWindowRects();

// Fills the parts of `rects` that fall on a 32-bit picture with `pixel`. The picture shows the desktop
// area starting at (originX, originY); `stride` is the byte distance between rows (may be negative
// for bottom-up pictures when `bits` points at row 0). Rectangles are clipped to the picture.
void BlankOwnWindows(std::uint8_t* bits, int width, int height, int stride, int originX, int originY,
                     const std::vector<TOwnWindowRect>& rects, std::uint32_t pixel);

}  // namespace tovik
