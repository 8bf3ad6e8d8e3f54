#include "session/ui/TovikKeyMap.h"

#include <Qt>

#include <iterator>

namespace tovik {

namespace {

struct TSymVk {
  std::uint32_t Sym;
  int Vk;
};

// Non-printing keys. Where several keysyms give one virtual key, the first is the one KeysymFromVk
// returns.
constexpr TSymVk kSpecial[] = {
    {0xFF08, 0x08}, {0xFF09, 0x09}, {0xFE20, 0x09},  // BackSpace, Tab, ISO_Left_Tab
    {0xFF0B, 0x0C}, {0xFF9D, 0x0C},                  // Clear, KP_Begin (keypad 5 without Num Lock)
    {0xFF0D, 0x0D}, {0xFF8D, 0x0D}, {0xFF0A, 0x0D},  // Return, KP_Enter, Linefeed
    {0xFF13, 0x13}, {0xFF6B, 0x13},                  // Pause, Break
    {0xFFE5, 0x14},                                  // Caps_Lock
    {0xFF2E, 0x15}, {0xFF31, 0x15}, {0xFF2D, 0x15},  // Kana_Shift, Hangul, Kana_Lock
    {0xFF38, 0x17},                                  // Hangul_Jeonja (junja)
    {0xFF39, 0x18},                                  // Hangul_End (final)
    {0xFF34, 0x19}, {0xFF21, 0x19},                  // Hangul_Hanja, Kanji
    {0xFF1B, 0x1B},                                  // Escape
    {0xFF23, 0x1C}, {0xFF22, 0x1D},                  // Henkan (convert), Muhenkan (non-convert)
    {0xFF7E, 0x1F},                                  // Mode_switch (mode change)
    {0x0020, 0x20}, {0xFF80, 0x20},                  // space, KP_Space
    {0xFF55, 0x21}, {0xFF9A, 0x21},                  // Prior, KP_Prior
    {0xFF56, 0x22}, {0xFF9B, 0x22},                  // Next, KP_Next
    {0xFF57, 0x23}, {0xFF9C, 0x23},                  // End, KP_End
    {0xFF50, 0x24}, {0xFF95, 0x24},                  // Home, KP_Home
    {0xFF51, 0x25}, {0xFF96, 0x25},                  // Left, KP_Left
    {0xFF52, 0x26}, {0xFF97, 0x26},                  // Up, KP_Up
    {0xFF53, 0x27}, {0xFF98, 0x27},                  // Right, KP_Right
    {0xFF54, 0x28}, {0xFF99, 0x28},                  // Down, KP_Down
    {0xFF60, 0x29},                                  // Select
    {0xFF61, 0x2C}, {0xFF15, 0x2C},                  // Print, Sys_Req (print screen)
    {0xFF62, 0x2B},                                  // Execute
    {0xFF63, 0x2D}, {0xFF9E, 0x2D},                  // Insert, KP_Insert
    {0xFFFF, 0x2E}, {0xFF9F, 0x2E},                  // Delete, KP_Delete
    {0xFF6A, 0x2F},                                  // Help
    {0xFFEB, 0x5B}, {0xFFE7, 0x5B},                  // Super_L, Meta_L
    {0xFFEC, 0x5C}, {0xFFE8, 0x5C},                  // Super_R, Meta_R
    {0xFF67, 0x5D},                                  // Menu (applications key)
    {0x1008FF2F, 0x5F},                              // XF86Sleep
    {0xFFB0, 0x60}, {0xFFB1, 0x61}, {0xFFB2, 0x62}, {0xFFB3, 0x63}, {0xFFB4, 0x64},  // KP_0..KP_4
    {0xFFB5, 0x65}, {0xFFB6, 0x66}, {0xFFB7, 0x67}, {0xFFB8, 0x68}, {0xFFB9, 0x69},  // KP_5..KP_9
    {0xFFAA, 0x6A}, {0xFFAB, 0x6B}, {0xFFAC, 0x6C}, {0xFFAD, 0x6D},  // KP_Multiply, Add, Separator, Subtract
    {0xFFAE, 0x6E}, {0xFFAF, 0x6F},                                  // KP_Decimal, KP_Divide
    {0xFF7F, 0x90}, {0xFF14, 0x91},                                  // Num_Lock, Scroll_Lock
    {0xFFBD, 0x92},                                                  // KP_Equal
    {0xFFE1, 0xA0}, {0xFFE2, 0xA1},                                  // Shift_L, Shift_R
    {0xFFE3, 0xA2}, {0xFFE4, 0xA3},                                  // Control_L, Control_R
    {0xFFE9, 0xA4}, {0xFFEA, 0xA5}, {0xFE03, 0xA5},                  // Alt_L, Alt_R, ISO_Level3_Shift
    {0x1008FF26, 0xA6}, {0x1008FF27, 0xA7}, {0x1008FF29, 0xA8},      // XF86Back, Forward, Refresh
    {0x1008FF28, 0xA9}, {0x1008FF1B, 0xAA}, {0x1008FF30, 0xAB},      // XF86Stop, Search, Favorites
    {0x1008FF18, 0xAC},                                              // XF86HomePage
    {0x1008FF12, 0xAD}, {0x1008FF11, 0xAE}, {0x1008FF13, 0xAF},      // XF86AudioMute, LowerVolume, RaiseVolume
    {0x1008FF17, 0xB0}, {0x1008FF16, 0xB1}, {0x1008FF15, 0xB2},      // XF86AudioNext, Prev, Stop
    {0x1008FF14, 0xB3}, {0x1008FF31, 0xB3},                          // XF86AudioPlay, AudioPause
    {0x1008FF19, 0xB4}, {0x1008FF32, 0xB5},                          // XF86Mail, AudioMedia
    {0x1008FF33, 0xB6}, {0x1008FF1D, 0xB7},                          // XF86MyComputer, Calculator
    {0xFF20, 0xE5},                                                  // Multi_key: process key
    {0xFF2A, 0xF3},                                                  // Zenkaku_Hankaku
    {0xFF27, 0xF2},                                                  // Hiragana_Katakana
};

// Punctuation of the US layout, shifted and unshifted keysyms alike.
constexpr TSymVk kUsPunct[] = {
    {0x3B, 0xBA}, {0x3A, 0xBA},  // semicolon colon
    {0x3D, 0xBB}, {0x2B, 0xBB},  // equal plus
    {0x2C, 0xBC}, {0x3C, 0xBC},  // comma less
    {0x2D, 0xBD}, {0x5F, 0xBD},  // minus underscore
    {0x2E, 0xBE}, {0x3E, 0xBE},  // period greater
    {0x2F, 0xBF}, {0x3F, 0xBF},  // slash question
    {0x60, 0xC0}, {0x7E, 0xC0},  // grave asciitilde
    {0x5B, 0xDB}, {0x7B, 0xDB},  // bracketleft braceleft
    {0x5C, 0xDC}, {0x7C, 0xDC},  // backslash bar
    {0x5D, 0xDD}, {0x7D, 0xDD},  // bracketright braceright
    {0x27, 0xDE}, {0x22, 0xDE},  // apostrophe quotedbl
    {0x21, 0x31}, {0x40, 0x32}, {0x23, 0x33}, {0x24, 0x34}, {0x25, 0x35},  // ! @ # $ %
    {0x5E, 0x36}, {0x26, 0x37}, {0x2A, 0x38}, {0x28, 0x39}, {0x29, 0x30},  // ^ & * ( )
};

// evdev codes (X keycode - 8) to virtual keys, by position on a US keyboard.
constexpr int kEvdev[] = {
    0,    0x1B, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x30, 0xBD, 0xBB, 0x08, 0x09,  // 0-15
    0x51, 0x57, 0x45, 0x52, 0x54, 0x59, 0x55, 0x49, 0x4F, 0x50, 0xDB, 0xDD, 0x0D, 0xA2, 0x41, 0x53,  // 16-31
    0x44, 0x46, 0x47, 0x48, 0x4A, 0x4B, 0x4C, 0xBA, 0xDE, 0xC0, 0xA0, 0xDC, 0x5A, 0x58, 0x43, 0x56,  // 32-47
    0x42, 0x4E, 0x4D, 0xBC, 0xBE, 0xBF, 0xA1, 0x6A, 0xA4, 0x20, 0x14, 0x70, 0x71, 0x72, 0x73, 0x74,  // 48-63
    0x75, 0x76, 0x77, 0x78, 0x79, 0x90, 0x91, 0x67, 0x68, 0x69, 0x6D, 0x64, 0x65, 0x66, 0x6B, 0x61,  // 64-79
    0x62, 0x63, 0x60, 0x6E, 0,    0,    0xE2, 0x7A, 0x7B, 0,    0,    0,    0,    0,    0,    0,     // 80-95
    0x0D, 0xA3, 0x6F, 0x2C, 0xA5, 0,    0x24, 0x26, 0x21, 0x25, 0x27, 0x23, 0x28, 0x22, 0x2D, 0x2E,  // 96-111
    0,    0xAD, 0xAE, 0xAF, 0,    0x92, 0,    0x13, 0,    0x6E, 0,    0,    0,    0x5B, 0x5C, 0x5D,  // 112-127
};

int Lookup(const TSymVk* begin, const TSymVk* end, std::uint32_t sym) {
  for (const TSymVk* p = begin; p != end; ++p)
    if (p->Sym == sym) return p->Vk;
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

}  // namespace

int VkFromKeysym(std::uint32_t keysym) {
  if (int v = VkFromRanges(keysym)) return v;
  if (int v = Lookup(std::begin(kSpecial), std::end(kSpecial), keysym)) return v;
  return Lookup(std::begin(kUsPunct), std::end(kUsPunct), keysym);
}

int VkFromXKeycode(std::uint32_t keycode) {
  if (keycode < 8 || keycode - 8 >= std::size(kEvdev)) return 0;
  return kEvdev[keycode - 8];
}

int VkFromQtKey(int k, bool keypad) {
  if (keypad) {
    if (k >= Qt::Key_0 && k <= Qt::Key_9) return 0x60 + (k - Qt::Key_0);
    switch (k) {
      case Qt::Key_Asterisk: return 0x6A;
      case Qt::Key_Plus: return 0x6B;
      case Qt::Key_Minus: return 0x6D;
      case Qt::Key_Period:
      case Qt::Key_Comma: return 0x6E;
      case Qt::Key_Slash: return 0x6F;
      case Qt::Key_Equal: return 0x92;
      default: break;
    }
  }
  if ((k >= Qt::Key_A && k <= Qt::Key_Z) || (k >= Qt::Key_0 && k <= Qt::Key_9)) return k;
  if (k >= Qt::Key_F1 && k <= Qt::Key_F24) return 0x70 + (k - Qt::Key_F1);
  if (k >= 0x20 && k < 0x7F) return VkFromKeysym(static_cast<std::uint32_t>(k));
  switch (k) {
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 0x09;
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 0x0D;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_Pause: return 0x13;
    case Qt::Key_Print:
    case Qt::Key_SysReq: return 0x2C;
    case Qt::Key_Clear: return 0x0C;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_Shift: return 0xA0;
    case Qt::Key_Control: return 0xA2;
    case Qt::Key_Meta:
    case Qt::Key_Super_L: return 0x5B;
    case Qt::Key_Super_R: return 0x5C;
    case Qt::Key_Alt: return 0xA4;
    case Qt::Key_AltGr: return 0xA5;
    case Qt::Key_CapsLock: return 0x14;
    case Qt::Key_NumLock: return 0x90;
    case Qt::Key_ScrollLock: return 0x91;
    case Qt::Key_Menu: return 0x5D;
    case Qt::Key_Help: return 0x2F;
    case Qt::Key_Select: return 0x29;
    case Qt::Key_Execute: return 0x2B;
    case Qt::Key_Sleep: return 0x5F;
    case Qt::Key_Back: return 0xA6;
    case Qt::Key_Forward: return 0xA7;
    case Qt::Key_Refresh: return 0xA8;
    case Qt::Key_Stop: return 0xA9;
    case Qt::Key_Search: return 0xAA;
    case Qt::Key_Favorites: return 0xAB;
    case Qt::Key_HomePage: return 0xAC;
    case Qt::Key_VolumeMute: return 0xAD;
    case Qt::Key_VolumeDown: return 0xAE;
    case Qt::Key_VolumeUp: return 0xAF;
    case Qt::Key_MediaNext: return 0xB0;
    case Qt::Key_MediaPrevious: return 0xB1;
    case Qt::Key_MediaStop: return 0xB2;
    case Qt::Key_MediaPlay:
    case Qt::Key_MediaTogglePlayPause: return 0xB3;
    case Qt::Key_LaunchMail: return 0xB4;
    case Qt::Key_LaunchMedia: return 0xB5;
    case Qt::Key_Launch0: return 0xB6;
    case Qt::Key_Calculator: return 0xB7;
    case Qt::Key_Henkan: return 0x1C;
    case Qt::Key_Muhenkan: return 0x1D;
    case Qt::Key_Kanji: return 0x19;
    case Qt::Key_Hangul: return 0x15;
    case Qt::Key_Hangul_Hanja: return 0x19;
    case Qt::Key_Multi_key: return 0xE5;
    case Qt::Key_Zenkaku_Hankaku: return 0xF3;
    case Qt::Key_Hiragana_Katakana: return 0xF2;
    default: return 0;
  }
}

int VkFromKeyEvent(std::uint32_t keysym, std::uint32_t xkeycode, int qtKey, bool keypad) {
  if (keysym) {
    if (int v = VkFromRanges(keysym)) return v;
    if (int v = Lookup(std::begin(kSpecial), std::end(kSpecial), keysym)) return v;
  }
  if (int v = VkFromXKeycode(xkeycode)) return v;
  if (keysym)
    if (int v = Lookup(std::begin(kUsPunct), std::end(kUsPunct), keysym)) return v;
  return VkFromQtKey(qtKey, keypad);
}

std::uint32_t KeysymFromVk(int v) {
  if (v >= 'A' && v <= 'Z') return static_cast<std::uint32_t>(v - 'A' + 'a');
  if (v >= '0' && v <= '9') return static_cast<std::uint32_t>(v);
  if (v >= 0x70 && v <= 0x87) return static_cast<std::uint32_t>(0xFFBE + (v - 0x70));
  switch (v) {
    case 0x10: return 0xFFE1;  // generic shift, control and alt: the left-hand keys
    case 0x11: return 0xFFE3;
    case 0x12: return 0xFFE9;
    case 0xE2: return 0x3C;  // the extra ISO key left of Z: "<" on most layouts
    case 0xDF: return 0;
    default: break;
  }
  for (const TSymVk& e : kSpecial)
    if (e.Vk == v) return e.Sym;
  for (const TSymVk& e : kUsPunct)  // unshifted symbol: the first keysym listed for the key
    if (e.Vk == v && e.Vk >= 0xBA) return e.Sym;
  return 0;
}

bool IsExtendedVk(int v) {
  return (v >= 33 && v <= 40) || (v >= 44 && v <= 46) || (v >= 91 && v <= 93) || v == 111 || v == 144 ||
         v == 163 || v == 165;
}

}  // namespace tovik
