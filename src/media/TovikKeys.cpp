// The virtual-key list and the US-keyboard characters of its keys.
#include "media/TovikKeys.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tovik {

namespace {

// Code, name, extended, US characters. Sorted by code.
constexpr TVirtualKey kKeys[] = {
    {0x03, "CANCEL", false, ""},
    {0x08, "BACK", false, ""},
    {0x09, "TAB", false, ""},
    {0x0C, "CLEAR", false, ""},
    {0x0D, "RETURN", false, ""},
    {0x10, "SHIFT", false, ""},
    {0x11, "CONTROL", false, ""},
    {0x12, "MENU", false, ""},
    {0x13, "PAUSE", false, ""},
    {0x14, "CAPITAL", false, ""},
    {0x15, "KANA", false, ""},
    {0x17, "JUNJA", false, ""},
    {0x18, "FINAL", false, ""},
    {0x19, "KANJI", false, ""},
    {0x1B, "ESCAPE", false, ""},
    {0x1C, "CONVERT", false, ""},
    {0x1D, "NONCONVERT", false, ""},
    {0x1F, "MODECHANGE", false, ""},
    {0x20, "SPACE", false, " "},
    {0x21, "PRIOR", true, ""},
    {0x22, "NEXT", true, ""},
    {0x23, "END", true, ""},
    {0x24, "HOME", true, ""},
    {0x25, "LEFT", true, ""},
    {0x26, "UP", true, ""},
    {0x27, "RIGHT", true, ""},
    {0x28, "DOWN", true, ""},
    {0x29, "SELECT", false, ""},
    {0x2A, "PRINT", false, ""},
    {0x2B, "EXECUTE", false, ""},
    {0x2C, "SNAPSHOT", true, ""},
    {0x2D, "INSERT", true, ""},
    {0x2E, "DELETE", true, ""},
    {0x2F, "HELP", false, ""},
    {0x30, "0", false, "0)"},
    {0x31, "1", false, "1!"},
    {0x32, "2", false, "2@"},
    {0x33, "3", false, "3#"},
    {0x34, "4", false, "4$"},
    {0x35, "5", false, "5%"},
    {0x36, "6", false, "6^"},
    {0x37, "7", false, "7&"},
    {0x38, "8", false, "8*"},
    {0x39, "9", false, "9("},
    {0x41, "A", false, "aA"},
    {0x42, "B", false, "bB"},
    {0x43, "C", false, "cC"},
    {0x44, "D", false, "dD"},
    {0x45, "E", false, "eE"},
    {0x46, "F", false, "fF"},
    {0x47, "G", false, "gG"},
    {0x48, "H", false, "hH"},
    {0x49, "I", false, "iI"},
    {0x4A, "J", false, "jJ"},
    {0x4B, "K", false, "kK"},
    {0x4C, "L", false, "lL"},
    {0x4D, "M", false, "mM"},
    {0x4E, "N", false, "nN"},
    {0x4F, "O", false, "oO"},
    {0x50, "P", false, "pP"},
    {0x51, "Q", false, "qQ"},
    {0x52, "R", false, "rR"},
    {0x53, "S", false, "sS"},
    {0x54, "T", false, "tT"},
    {0x55, "U", false, "uU"},
    {0x56, "V", false, "vV"},
    {0x57, "W", false, "wW"},
    {0x58, "X", false, "xX"},
    {0x59, "Y", false, "yY"},
    {0x5A, "Z", false, "zZ"},
    {0x5B, "LWIN", true, ""},
    {0x5C, "RWIN", true, ""},
    {0x5D, "APPS", true, ""},
    {0x5F, "SLEEP", false, ""},
    {0x60, "NUMPAD0", false, ""},
    {0x61, "NUMPAD1", false, ""},
    {0x62, "NUMPAD2", false, ""},
    {0x63, "NUMPAD3", false, ""},
    {0x64, "NUMPAD4", false, ""},
    {0x65, "NUMPAD5", false, ""},
    {0x66, "NUMPAD6", false, ""},
    {0x67, "NUMPAD7", false, ""},
    {0x68, "NUMPAD8", false, ""},
    {0x69, "NUMPAD9", false, ""},
    {0x6A, "MULTIPLY", false, ""},
    {0x6B, "ADD", false, ""},
    {0x6C, "SEPARATOR", false, ""},
    {0x6D, "SUBTRACT", false, ""},
    {0x6E, "DECIMAL", false, ""},
    {0x6F, "DIVIDE", true, ""},
    {0x70, "F1", false, ""},
    {0x71, "F2", false, ""},
    {0x72, "F3", false, ""},
    {0x73, "F4", false, ""},
    {0x74, "F5", false, ""},
    {0x75, "F6", false, ""},
    {0x76, "F7", false, ""},
    {0x77, "F8", false, ""},
    {0x78, "F9", false, ""},
    {0x79, "F10", false, ""},
    {0x7A, "F11", false, ""},
    {0x7B, "F12", false, ""},
    {0x7C, "F13", false, ""},
    {0x7D, "F14", false, ""},
    {0x7E, "F15", false, ""},
    {0x7F, "F16", false, ""},
    {0x80, "F17", false, ""},
    {0x81, "F18", false, ""},
    {0x82, "F19", false, ""},
    {0x83, "F20", false, ""},
    {0x84, "F21", false, ""},
    {0x85, "F22", false, ""},
    {0x86, "F23", false, ""},
    {0x87, "F24", false, ""},
    {0x90, "NUMLOCK", true, ""},
    {0x91, "SCROLL", false, ""},
    {0x92, "OEM_NEC_EQUAL", false, ""},
    {0xA0, "LSHIFT", false, ""},
    {0xA1, "RSHIFT", false, ""},
    {0xA2, "LCONTROL", false, ""},
    {0xA3, "RCONTROL", true, ""},
    {0xA4, "LMENU", false, ""},
    {0xA5, "RMENU", true, ""},
    {0xA6, "BROWSER_BACK", false, ""},
    {0xA7, "BROWSER_FORWARD", false, ""},
    {0xA8, "BROWSER_REFRESH", false, ""},
    {0xA9, "BROWSER_STOP", false, ""},
    {0xAA, "BROWSER_SEARCH", false, ""},
    {0xAB, "BROWSER_FAVORITES", false, ""},
    {0xAC, "BROWSER_HOME", false, ""},
    {0xAD, "VOLUME_MUTE", false, ""},
    {0xAE, "VOLUME_DOWN", false, ""},
    {0xAF, "VOLUME_UP", false, ""},
    {0xB0, "MEDIA_NEXT_TRACK", false, ""},
    {0xB1, "MEDIA_PREV_TRACK", false, ""},
    {0xB2, "MEDIA_STOP", false, ""},
    {0xB3, "MEDIA_PLAY_PAUSE", false, ""},
    {0xB4, "LAUNCH_MAIL", false, ""},
    {0xB5, "LAUNCH_MEDIA_SELECT", false, ""},
    {0xB6, "LAUNCH_APP1", false, ""},
    {0xB7, "LAUNCH_APP2", false, ""},
    {0xBA, "OEM_1", false, ";:"},
    {0xBB, "OEM_PLUS", false, "=+"},
    {0xBC, "OEM_COMMA", false, ",<"},
    {0xBD, "OEM_MINUS", false, "-_"},
    {0xBE, "OEM_PERIOD", false, ".>"},
    {0xBF, "OEM_2", false, "/?"},
    {0xC0, "OEM_3", false, "`~"},
    {0xDB, "OEM_4", false, "[{"},
    {0xDC, "OEM_5", false, "\\|"},
    {0xDD, "OEM_6", false, "]}"},
    {0xDE, "OEM_7", false, "'\""},
    {0xE2, "OEM_102", false, ""},
    {0xE5, "PROCESSKEY", false, ""},
    {0xF2, "OEM_COPY", false, ""},
    {0xF3, "OEM_AUTO", false, ""},
    {0xFA, "PLAY", false, ""},
};

constexpr bool Sorted() {
  for (std::size_t i = 1; i < std::size(kKeys); ++i)
    if (kKeys[i - 1].Code >= kKeys[i].Code) return false;
  return true;
}
static_assert(Sorted(), "the key list is looked up by binary search");

}  // namespace

std::span<const TVirtualKey> VirtualKeys() { return kKeys; }

const TVirtualKey* FindVirtualKey(int ACode) {
  if (ACode <= 0 || ACode > 0xFF) return nullptr;
  const auto it = std::lower_bound(std::begin(kKeys), std::end(kKeys), ACode,
                                   [](const TVirtualKey& k, int code) { return k.Code < code; });
  return it != std::end(kKeys) && it->Code == ACode ? &*it : nullptr;
}

bool IsExtendedKey(int AVirtualKey) {
  const TVirtualKey* k = FindVirtualKey(AVirtualKey);
  return k && k->Extended;
}

int VirtualKeyOfUsChar(std::uint32_t AChar) {
  if (AChar < 0x20 || AChar >= 0x7F) return 0;
  for (const TVirtualKey& k : kKeys)
    if (std::strchr(k.UsChars, static_cast<int>(AChar))) return k.Code;
  return 0;
}

std::uint32_t UsCharOfVirtualKey(int AVirtualKey) {
  const TVirtualKey* k = FindVirtualKey(AVirtualKey);
  return k && k->UsChars[0] ? static_cast<std::uint8_t>(k->UsChars[0]) : 0;
}

}  // namespace tovik
