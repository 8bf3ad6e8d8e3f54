// X11 keysyms and keycodes of the virtual keys.
#include "platform/linux/TovikKeys_x11.h"

#include <iterator>

#include "media/TovikKeys.h"

namespace tovik {

namespace {

// How an entry is used: kRead turns the keysym into the virtual key when a key event is read; kType
// types the virtual key with the keysym. Where several entries read as one virtual key, the first is
// the one KeysymFromVk returns; the first typing entry of a key is the one the injector types.
enum : std::uint8_t { kRead = 1, kType = 2, kBoth = kRead | kType };

struct TSymVk {
  std::uint32_t Sym;
  std::uint8_t Vk;
  std::uint8_t Use;
};

// Non-printing keys. Letters, digits, function keys and US punctuation go by their ranges and by the
// virtual-key list's US characters instead.
constexpr TSymVk kKeysyms[] = {
    {0xFF6B, 0x03, kType},                                     // Cancel -> Break
    {0xFF08, 0x08, kBoth}, {0xFF09, 0x09, kBoth}, {0xFE20, 0x09, kRead},  // BackSpace, Tab, ISO_Left_Tab
    {0xFF0B, 0x0C, kBoth}, {0xFF9D, 0x0C, kRead},              // Clear, KP_Begin (keypad 5 without Num Lock)
    {0xFF0D, 0x0D, kBoth}, {0xFF8D, 0x0D, kRead}, {0xFF0A, 0x0D, kRead},  // Return, KP_Enter, Linefeed
    {0xFF13, 0x13, kBoth}, {0xFF6B, 0x13, kRead},              // Pause, Break
    {0xFFE5, 0x14, kBoth},                                     // Caps_Lock
    {0xFF2E, 0x15, kRead}, {0xFF31, 0x15, kBoth}, {0xFF2D, 0x15, kRead},  // Kana_Shift, Hangul, Kana_Lock
    {0xFF38, 0x17, kBoth},                                     // Hangul_Jeonja (junja)
    {0xFF39, 0x18, kRead},                                     // Hangul_End (final)
    {0xFF34, 0x19, kBoth}, {0xFF21, 0x19, kRead},              // Hangul_Hanja, Kanji
    {0xFF1B, 0x1B, kBoth},                                     // Escape
    {0xFF23, 0x1C, kBoth}, {0xFF22, 0x1D, kBoth},              // Henkan (convert), Muhenkan (non-convert)
    {0xFF7E, 0x1F, kBoth},                                     // Mode_switch (mode change)
    {0x0020, 0x20, kBoth}, {0xFF80, 0x20, kRead},              // space, KP_Space
    {0xFF55, 0x21, kBoth}, {0xFF9A, 0x21, kRead},              // Prior, KP_Prior
    {0xFF56, 0x22, kBoth}, {0xFF9B, 0x22, kRead},              // Next, KP_Next
    {0xFF57, 0x23, kBoth}, {0xFF9C, 0x23, kRead},              // End, KP_End
    {0xFF50, 0x24, kBoth}, {0xFF95, 0x24, kRead},              // Home, KP_Home
    {0xFF51, 0x25, kBoth}, {0xFF96, 0x25, kRead},              // Left, KP_Left
    {0xFF52, 0x26, kBoth}, {0xFF97, 0x26, kRead},              // Up, KP_Up
    {0xFF53, 0x27, kBoth}, {0xFF98, 0x27, kRead},              // Right, KP_Right
    {0xFF54, 0x28, kBoth}, {0xFF99, 0x28, kRead},              // Down, KP_Down
    {0xFF60, 0x29, kBoth},                                     // Select
    {0xFF61, 0x2A, kType},                                     // Print
    {0xFF61, 0x2C, kBoth}, {0xFF15, 0x2C, kRead},              // Print, Sys_Req (print screen)
    {0xFF62, 0x2B, kBoth},                                     // Execute
    {0xFF63, 0x2D, kBoth}, {0xFF9E, 0x2D, kRead},              // Insert, KP_Insert
    {0xFFFF, 0x2E, kBoth}, {0xFF9F, 0x2E, kRead},              // Delete, KP_Delete
    {0xFF6A, 0x2F, kBoth},                                     // Help
    {0xFFEB, 0x5B, kBoth}, {0xFFE7, 0x5B, kRead},              // Super_L, Meta_L
    {0xFFEC, 0x5C, kBoth}, {0xFFE8, 0x5C, kRead},              // Super_R, Meta_R
    {0xFF67, 0x5D, kBoth},                                     // Menu (applications key)
    {0x1008FF2F, 0x5F, kBoth},                                 // XF86Sleep
    {0xFFB0, 0x60, kBoth}, {0xFFB1, 0x61, kBoth}, {0xFFB2, 0x62, kBoth}, {0xFFB3, 0x63, kBoth},  // KP_0..KP_3
    {0xFFB4, 0x64, kBoth}, {0xFFB5, 0x65, kBoth}, {0xFFB6, 0x66, kBoth}, {0xFFB7, 0x67, kBoth},  // KP_4..KP_7
    {0xFFB8, 0x68, kBoth}, {0xFFB9, 0x69, kBoth},                                                // KP_8, KP_9
    {0xFFAA, 0x6A, kBoth}, {0xFFAB, 0x6B, kBoth}, {0xFFAC, 0x6C, kBoth},  // KP_Multiply, Add, Separator
    {0xFFAD, 0x6D, kBoth}, {0xFFAE, 0x6E, kBoth}, {0xFFAF, 0x6F, kBoth},  // KP_Subtract, Decimal, Divide
    {0xFF7F, 0x90, kBoth}, {0xFF14, 0x91, kBoth},              // Num_Lock, Scroll_Lock
    {0xFFBD, 0x92, kRead},                                     // KP_Equal
    {0xFFE1, 0xA0, kBoth}, {0xFFE2, 0xA1, kBoth},              // Shift_L, Shift_R
    {0xFFE3, 0xA2, kBoth}, {0xFFE4, 0xA3, kBoth},              // Control_L, Control_R
    {0xFFE9, 0xA4, kBoth}, {0xFFEA, 0xA5, kBoth}, {0xFE03, 0xA5, kRead},  // Alt_L, Alt_R, ISO_Level3_Shift
    {0x1008FF26, 0xA6, kBoth}, {0x1008FF27, 0xA7, kBoth}, {0x1008FF29, 0xA8, kBoth},  // XF86Back, Forward, Refresh
    {0x1008FF28, 0xA9, kBoth}, {0x1008FF1B, 0xAA, kBoth}, {0x1008FF30, 0xAB, kBoth},  // XF86Stop, Search, Favorites
    {0x1008FF18, 0xAC, kBoth},                                                        // XF86HomePage
    {0x1008FF12, 0xAD, kBoth}, {0x1008FF11, 0xAE, kBoth}, {0x1008FF13, 0xAF, kBoth},  // XF86AudioMute, Lower, Raise
    {0x1008FF17, 0xB0, kBoth}, {0x1008FF16, 0xB1, kBoth}, {0x1008FF15, 0xB2, kBoth},  // XF86AudioNext, Prev, Stop
    {0x1008FF14, 0xB3, kBoth}, {0x1008FF31, 0xB3, kRead},      // XF86AudioPlay, AudioPause
    {0x1008FF19, 0xB4, kBoth}, {0x1008FF32, 0xB5, kBoth},      // XF86Mail, AudioMedia
    {0x1008FF33, 0xB6, kRead}, {0x1008FF5D, 0xB6, kType},      // XF86MyComputer, Explorer
    {0x1008FF1D, 0xB7, kBoth},                                 // XF86Calculator
    {0xFF20, 0xE5, kRead},                                     // Multi_key: process key
    {0xFF2A, 0xF3, kRead},                                     // Zenkaku_Hankaku
    {0xFF27, 0xF2, kRead},                                     // Hiragana_Katakana
    {0x1008FF31, 0xFA, kType},                                 // Play -> XF86AudioPause
};

// evdev codes (X keycode - 8) to virtual keys, by position on a US keyboard.
constexpr std::uint8_t kEvdev[] = {
    0,    0x1B, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x30, 0xBD, 0xBB, 0x08, 0x09,  // 0-15
    0x51, 0x57, 0x45, 0x52, 0x54, 0x59, 0x55, 0x49, 0x4F, 0x50, 0xDB, 0xDD, 0x0D, 0xA2, 0x41, 0x53,  // 16-31
    0x44, 0x46, 0x47, 0x48, 0x4A, 0x4B, 0x4C, 0xBA, 0xDE, 0xC0, 0xA0, 0xDC, 0x5A, 0x58, 0x43, 0x56,  // 32-47
    0x42, 0x4E, 0x4D, 0xBC, 0xBE, 0xBF, 0xA1, 0x6A, 0xA4, 0x20, 0x14, 0x70, 0x71, 0x72, 0x73, 0x74,  // 48-63
    0x75, 0x76, 0x77, 0x78, 0x79, 0x90, 0x91, 0x67, 0x68, 0x69, 0x6D, 0x64, 0x65, 0x66, 0x6B, 0x61,  // 64-79
    0x62, 0x63, 0x60, 0x6E, 0,    0,    0xE2, 0x7A, 0x7B, 0,    0,    0,    0,    0,    0,    0,     // 80-95
    0x0D, 0xA3, 0x6F, 0x2C, 0xA5, 0,    0x24, 0x26, 0x21, 0x25, 0x27, 0x23, 0x28, 0x22, 0x2D, 0x2E,  // 96-111
    0,    0xAD, 0xAE, 0xAF, 0,    0x92, 0,    0x13, 0,    0x6E, 0,    0,    0,    0x5B, 0x5C, 0x5D,  // 112-127
};
constexpr std::uint32_t kFirstKeycode = 8;  // X keycode of evdev code 0

int VkOfSym(std::uint32_t sym) {
  for (const TSymVk& e : kKeysyms)
    if (e.Sym == sym && (e.Use & kRead)) return e.Vk;
  return 0;
}

std::uint32_t SymOfVk(int vk, std::uint8_t use) {
  for (const TSymVk& e : kKeysyms)
    if (e.Vk == vk && (e.Use & use)) return e.Sym;
  return 0;
}

// Letters, digits and the function keys by their keysym ranges.
int VkFromRanges(std::uint32_t s) {
  if (s >= 'a' && s <= 'z') return static_cast<int>(s - 'a' + 'A');
  if (s >= 'A' && s <= 'Z') return static_cast<int>(s);
  if (s >= '0' && s <= '9') return static_cast<int>(s);
  if (s >= 0xFFBE && s <= 0xFFD5) return static_cast<int>(0x70 + (s - 0xFFBE));  // F1..F24
  return 0;
}

std::uint32_t SymFromRanges(int v) {
  if (v >= 'A' && v <= 'Z') return static_cast<std::uint32_t>(v - 'A' + 'a');  // the lower-case keysym
  if (v >= '0' && v <= '9') return static_cast<std::uint32_t>(v);
  if (v >= 0x70 && v <= 0x87) return static_cast<std::uint32_t>(0xFFBE + (v - 0x70));  // F1..F24
  return 0;
}

// The punctuation of the US layout: Latin-1 keysyms of ASCII characters are the characters.
int VkOfUsPunctuation(std::uint32_t sym) {
  if (sym >= 0x7F || (sym >= 'a' && sym <= 'z') || (sym >= 'A' && sym <= 'Z') || (sym >= '0' && sym <= '9') ||
      sym == ' ')
    return 0;
  return VirtualKeyOfUsChar(sym);
}

// The generic modifier keys and the extra ISO key, which have no entry of their own.
std::uint32_t SymOfGenericKey(int v, bool ext) {
  switch (v) {
    case 0x10: return 0xFFE1;                   // Shift -> Shift_L
    case 0x11: return ext ? 0xFFE4 : 0xFFE3;    // Control -> Control_R / Control_L
    case 0x12: return ext ? 0xFFEA : 0xFFE9;    // Menu -> Alt_R / Alt_L
    case 0xE2: return 0x3C;                     // the extra ISO key left of Z: "<" on most layouts
    default: return 0;
  }
}

}  // namespace

int VkFromKeysym(std::uint32_t keysym) {
  if (int v = VkFromRanges(keysym)) return v;
  if (int v = VkOfSym(keysym)) return v;
  return VkOfUsPunctuation(keysym);
}

int VkFromXKeycode(std::uint32_t keycode) {
  if (keycode < kFirstKeycode || keycode - kFirstKeycode >= std::size(kEvdev)) return 0;
  return kEvdev[keycode - kFirstKeycode];
}

int VkFromXKeyEvent(std::uint32_t keysym, std::uint32_t xkeycode) {
  if (keysym) {
    if (int v = VkFromRanges(keysym)) return v;
    if (int v = VkOfSym(keysym)) return v;
  }
  if (int v = VkFromXKeycode(xkeycode)) return v;
  return keysym ? VkOfUsPunctuation(keysym) : 0;
}

std::uint32_t KeysymFromVk(int v) {
  if (std::uint32_t s = SymFromRanges(v)) return s;
  if (std::uint32_t s = SymOfGenericKey(v, false)) return s;
  if (std::uint32_t s = SymOfVk(v, kRead)) return s;
  return v >= 0xBA ? UsCharOfVirtualKey(v) : 0;  // unshifted punctuation
}

std::uint32_t KeysymOfVirtualKey(int v, std::uint32_t AFlags) {
  const bool ext = (AFlags & kInputExtended) != 0;
  if (v == 0x0D) return ext ? 0xFF8D : 0xFF0D;  // KP_Enter / Return
  if (std::uint32_t s = SymFromRanges(v)) return s;
  if (std::uint32_t s = SymOfGenericKey(v, ext)) return s;
  if (std::uint32_t s = SymOfVk(v, kType)) return s;
  return v >= 0xBA ? UsCharOfVirtualKey(v) : 0;  // unshifted punctuation
}

std::uint32_t AlternateKeysym(std::uint32_t AKeysym) {
  switch (AKeysym) {
    case 0xFFEA: return 0xFE03;  // Alt_R -> ISO_Level3_Shift
    case 0xFF61: return 0xFF15;  // Print -> Sys_Req
    case 0xFF13: return 0xFF6B;  // Pause -> Break
    default: return 0;
  }
}

std::uint8_t FallbackKeycodeOfVirtualKey(int v) {
  // Only the punctuation keys (and the ISO key) have a position worth typing blindly.
  if (v < 0xBA || v > 0xE2) return 0;
  for (std::size_t i = 0; i < std::size(kEvdev); ++i)
    if (kEvdev[i] == v) return static_cast<std::uint8_t>(i + kFirstKeycode);
  return 0;
}

}  // namespace tovik
