// X11 keys and virtual keys, both ways. On X a key arrives as a keysym plus a hardware keycode (evdev
// code + 8); keys travel as Windows virtual-key codes (media/TovikKeys.h). The viewer's backend reads
// key events with the first group, the XTest injector types virtual keys with the second.
// One table of keysyms with their virtual keys serves both. Pure functions, any thread.
#pragma once

#include <cstdint>

namespace tovik {

// --- Reading: the viewer's key events -------------------------------------------------------------

// Virtual key of an X keysym: function, editing, modifier, keypad and media keys, Latin letters and
// digits, and the punctuation of the US layout. 0 when the keysym has no virtual key.
int VkFromKeysym(std::uint32_t keysym);

// Virtual key of the key at an X hardware keycode (evdev code + 8), by its position on a US keyboard.
// 0 when unknown.
int VkFromXKeycode(std::uint32_t keycode);

// The virtual key for one X key event. Non-printing keys, letters and digits go by keysym (the layout's
// meaning); other printable keys (punctuation, national letters) go by position so the other PC's
// layout gives them their meaning. 0 when neither says anything (the caller may try Qt's key number).
int VkFromXKeyEvent(std::uint32_t keysym, std::uint32_t xkeycode);

// The keysym that reading maps back to a virtual key (left-hand variants for the generic modifier keys,
// unshifted US symbols for the punctuation keys). 0 when there is none.
std::uint32_t KeysymFromVk(int vk);

// --- Typing: the injector -------------------------------------------------------------------------

// X keysym to type a virtual key (0 when it has none). AFlags may carry kInputExtended.
std::uint32_t KeysymOfVirtualKey(int AVirtualKey, std::uint32_t AFlags = 0);
// Keysym to try when the first is not in the layout (Alt_R -> ISO_Level3_Shift, ...); 0 for none.
std::uint32_t AlternateKeysym(std::uint32_t AKeysym);
// evdev keycode of the US position of the punctuation keys, for layouts that lack their US keysym.
std::uint8_t FallbackKeycodeOfVirtualKey(int AVirtualKey);

}  // namespace tovik
