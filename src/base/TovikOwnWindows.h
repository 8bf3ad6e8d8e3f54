// Process-wide list of the screen rectangles of our own windows. It serves two purposes:
// - Capture: X11 has no way to exclude a window from capture, so the capturer blanks the areas of the
//   entries made for it (the viewer window and the stop bar) in every captured picture; a helper
//   connected to a PC that is itself showing a viewer then sees a blank area instead of an endless
//   mirror.
// - Input: the helper's injected input must never operate this program's own windows (the main
//   window's switches, the stop bar, dialogs). Every shown entry, blanked or not, is a place where
//   injected pointer events are dropped, and the window handles of the entries tell the injector
//   whether the keyboard focus is on one of our windows.
//
// Thread-safe: windows register on the GUI thread, the capturer and the injector may read from any
// thread.
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

// What an entry is for: every entry keeps injected input out of its window; a blanked one is also
// left out of screen captures.
enum class TOwnWindowUse : std::uint8_t { Blank, InputOnly };

// Adds an entry (hidden, empty, no handle) and returns its id (never 0).
int RegisterOwnWindow(TOwnWindowUse AUse = TOwnWindowUse::Blank);
// Sets an entry's rectangle and whether it is shown; unknown ids are ignored.
void SetOwnWindow(int id, const TOwnWindowRect& rect, bool shown);
// Sets the window system's handle of an entry's window (an X window ID; 0 for none); unknown ids are
// ignored.
void SetOwnWindowHandle(int id, std::uint64_t handle);
// Removes an entry; unknown ids are ignored.
void UnregisterOwnWindow(int id);
// The rectangles of the shown entries that captures blank.
std::vector<TOwnWindowRect> OwnWindowRects();
// True when the desktop point lies in the rectangle of a shown entry (of either use).
bool PointOnOwnWindow(int x, int y);
// True when a registered entry has this handle (0 never matches).
bool IsOwnWindowHandle(std::uint64_t handle);

// Fills the parts of `rects` that fall on a 32-bit picture with `pixel`. The picture shows the desktop
// area starting at (originX, originY); `stride` is the byte distance between rows (may be negative
// for bottom-up pictures when `bits` points at row 0). Rectangles are clipped to the picture.
void BlankOwnWindows(std::uint8_t* bits, int width, int height, int stride, int originX, int originY,
                     const std::vector<TOwnWindowRect>& rects, std::uint32_t pixel);

}  // namespace tovik
