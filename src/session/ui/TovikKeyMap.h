// Keyboard codes between the local window system and the wire. Keys travel as Windows virtual-key
// codes; on X11 a key arrives as a keysym plus a hardware keycode (evdev code + 8), and Qt adds its own
// key number. These tables turn each of them into a virtual key and a virtual key back into a keysym
// for injection. Pure functions, any thread.
#pragma once

#include <cstdint>

namespace tovik {

// Virtual key of an X keysym: function, editing, modifier, keypad and media keys, Latin letters and
// digits, and the punctuation of the US layout. 0 when the keysym has no virtual key.
int VkFromKeysym(std::uint32_t keysym);

// Virtual key of the key at an X hardware keycode (evdev code + 8), by its position on a US keyboard.
// 0 when unknown.
int VkFromXKeycode(std::uint32_t keycode);

// Virtual key of a Qt key number (Qt::Key), for platforms without native key data; `keypad` is set
// when the event carried the keypad modifier. 0 when unknown.
int VkFromQtKey(int qtKey, bool keypad);

// The virtual key for one key event. Non-printing keys, letters and digits go by keysym (the layout's
// meaning); other printable keys (punctuation, national letters) go by position so the other PC's
// layout gives them their meaning; Qt's key number is the last resort. 0 when nothing matches.
int VkFromKeyEvent(std::uint32_t keysym, std::uint32_t xkeycode, int qtKey, bool keypad);

// The keysym that types a virtual key on an X server (left-hand variants for the generic modifier
// keys, unshifted US symbols for the punctuation keys). 0 when there is none.
std::uint32_t KeysymFromVk(int vk);

// Keys injected with the extended-key flag on Windows (navigation, right-hand modifiers, ...).
bool IsExtendedVk(int vk);

// Virtual-key numbers used by the program itself.
namespace vk {
constexpr int Back = 0x08, Tab = 0x09, Return = 0x0D, Shift = 0x10, Control = 0x11, Menu = 0x12,
              Escape = 0x1B, Space = 0x20, Left = 0x25, Delete = 0x2E, LWin = 0x5B, Numpad0 = 0x60,
              F1 = 0x70, F11 = 0x7A, F24 = 0x87, LShift = 0xA0, RShift = 0xA1, LControl = 0xA2,
              RControl = 0xA3, LMenu = 0xA4, RMenu = 0xA5, Oem1 = 0xBA, Oem102 = 0xE2;
}  // namespace vk

}  // namespace tovik
