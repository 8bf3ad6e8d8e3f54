// Windows virtual-key codes: the one list of the keys the program knows. Keys travel on the wire as
// these codes; the viewer turns its window system's key events into them (session/ui/TovikKeyMap.h)
// and the host's injector turns them back into keys of its own window system (a platform backend).
// Both sides look keys up here, so a code one side produces is a code the other side knows.
//
// Constant tables and pure functions; any thread.
#pragma once

#include <cstdint>
#include <span>

namespace tovik {

struct TVirtualKey {
  std::uint16_t Code;
  const char* Name;     // the Windows name without "VK_" ("RCONTROL", "OEM_1", "A")
  bool Extended;        // injected with the extended-key flag on Windows (navigation, right-hand keys)
  const char* UsChars;  // what the key types on a US keyboard, unshifted then shifted; "" for none
};

// Every known key, in ascending order of code.
std::span<const TVirtualKey> VirtualKeys();
// The entry of a code; nullptr for a code the program does not know.
const TVirtualKey* FindVirtualKey(int ACode);

// Keys that the input service injects with the extended-key flag.
bool IsExtendedKey(int AVirtualKey);

// The key that types a printable ASCII character on a US keyboard (letters, digits, punctuation,
// shifted or not, and space); 0 for others.
int VirtualKeyOfUsChar(std::uint32_t AChar);
// The character a key types unshifted on a US keyboard (lower-case for letters); 0 for none.
std::uint32_t UsCharOfVirtualKey(int AVirtualKey);

// Flag: the key is the extended variant (right Ctrl/Alt for the generic codes, keypad Enter). The wire
// carries no such flag: the specific left/right codes say the side.
constexpr std::uint32_t kInputExtended = 1;

// Virtual-key numbers used by the program itself.
namespace vk {
constexpr int Back = 0x08, Tab = 0x09, Return = 0x0D, Shift = 0x10, Control = 0x11, Menu = 0x12,
              Escape = 0x1B, Space = 0x20, Left = 0x25, Delete = 0x2E, LWin = 0x5B, Numpad0 = 0x60,
              F1 = 0x70, F11 = 0x7A, F24 = 0x87, LShift = 0xA0, RShift = 0xA1, LControl = 0xA2,
              RControl = 0xA3, LMenu = 0xA4, RMenu = 0xA5, Oem1 = 0xBA, Oem102 = 0xE2;
}  // namespace vk

}  // namespace tovik
