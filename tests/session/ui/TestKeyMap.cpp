// Virtual-key tables: X keysyms, X keycodes and Qt keys to virtual keys, and virtual keys back.
#include <gtest/gtest.h>

#include <Qt>

#include "session/ui/TovikKeyMap.h"

namespace tovik {
namespace {

TEST(KeyMap, KeysymsToVirtualKeys) {
  const std::pair<std::uint32_t, int> cases[] = {
      {'a', 'A'},     {'Z', 'Z'},     {'0', '0'},     {0xFF0D, 0x0D}, {0xFF8D, 0x0D},  // Return, KP_Enter
      {0xFF1B, 0x1B}, {0xFF09, 0x09}, {0xFE20, 0x09},                                  // Escape, Tab, ISO_Left_Tab
      {0xFFBE, 0x70}, {0xFFC8, 0x7A}, {0xFFD5, 0x87},                                  // F1, F11, F24
      {0xFFE1, 0xA0}, {0xFFE2, 0xA1}, {0xFFE3, 0xA2}, {0xFFE4, 0xA3},                  // shifts, controls
      {0xFFE9, 0xA4}, {0xFFEA, 0xA5}, {0xFE03, 0xA5},                                  // Alt_L, Alt_R, AltGr
      {0xFFEB, 0x5B}, {0xFFEC, 0x5C}, {0xFF67, 0x5D},                                  // Super, Menu
      {0xFF51, 0x25}, {0xFF54, 0x28}, {0xFF55, 0x21}, {0xFF56, 0x22},                  // arrows, page keys
      {0xFFB0, 0x60}, {0xFFB9, 0x69}, {0xFFAF, 0x6F}, {0xFFAE, 0x6E},                  // keypad
      {0xFF96, 0x25}, {0xFF9D, 0x0C},                  // keypad without Num Lock
      {0xFF61, 0x2C}, {0xFF63, 0x2D}, {0xFFFF, 0x2E},  // Print, Insert, Delete
      {0xFF7F, 0x90}, {0xFF14, 0x91}, {0xFF13, 0x13}, {0xFFE5, 0x14},
      {';', 0xBA},    {':', 0xBA},    {'=', 0xBB},    {',', 0xBC},    {'-', 0xBD},    {'.', 0xBE},
      {'/', 0xBF},    {'`', 0xC0},    {'[', 0xDB},    {'\\', 0xDC},   {']', 0xDD},    {'\'', 0xDE},
      {'!', '1'},     {'(', '9'},     {')', '0'},
      {0x1008FF12, 0xAD}, {0x1008FF13, 0xAF}, {0x1008FF14, 0xB3},  // mute, volume up, play
      {0x00FC, 0},    {0x12345678, 0},                             // no table entry
  };
  for (auto [sym, want] : cases) EXPECT_EQ(VkFromKeysym(sym), want) << std::hex << sym;
}

TEST(KeyMap, VirtualKeysBackToKeysyms) {
  const std::pair<int, std::uint32_t> cases[] = {
      {'A', 'a'},     {'5', '5'},     {0x0D, 0xFF0D}, {0x70, 0xFFBE}, {0x87, 0xFFD5}, {0x10, 0xFFE1},
      {0x11, 0xFFE3}, {0x12, 0xFFE9}, {0xA5, 0xFFEA}, {0x60, 0xFFB0}, {0x6E, 0xFFAE}, {0xBA, ';'},
      {0xBB, '='},    {0xDE, '\''},   {0xC0, '`'},    {0xE2, '<'},    {0x2E, 0xFFFF}, {0x5D, 0xFF67},
      {0x00, 0},      {0xFF, 0},
  };
  for (auto [code, want] : cases) EXPECT_EQ(KeysymFromVk(code), want) << std::hex << code;

  // Every virtual key that has a keysym maps back to itself (the generic modifiers and the ISO key
  // come back as their specific or positional forms).
  int mapped = 0;
  for (int code = 1; code < 256; ++code) {
    const std::uint32_t sym = KeysymFromVk(code);
    if (!sym || code == 0x10 || code == 0x11 || code == 0x12 || code == 0xE2) continue;
    ++mapped;
    EXPECT_EQ(VkFromKeysym(sym), code) << std::hex << code;
  }
  // The keys of a full-size keyboard all have a way back.
  for (int code : {0x08, 0x09, 0x0D, 0x13, 0x14, 0x1B, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,
                   0x2C, 0x2D, 0x2E, 0x5B, 0x5C, 0x5D, 0x6A, 0x6B, 0x6D, 0x6F, 0x90, 0x91, 0xA0, 0xA1, 0xA2,
                   0xA3, 0xA4, 0xA5, 0xBC, 0xBD, 0xBE, 0xBF, 0xDB, 0xDC, 0xDD})
    EXPECT_NE(KeysymFromVk(code), 0u) << std::hex << code;
  EXPECT_GT(mapped, 0);
}

TEST(KeyMap, KeyEventsPreferMeaningForLettersAndPositionForSymbols) {
  struct TCase {
    std::uint32_t Sym, Code;
    int QtKey;
    bool Keypad;
    int Want;
    const char* What;
  } cases[] = {
      {'q', 38, Qt::Key_Q, false, 'Q', "AZERTY: the key at US 'A' types q"},
      {'&', 10, Qt::Key_Ampersand, false, '1', "AZERTY: unshifted 1 key"},
      {'!', 10, Qt::Key_Exclam, false, '1', "US shift+1"},
      {0xFC, 34, 0, false, 0xDB, "German u-umlaut by position"},
      {0xE9, 0, 0, false, 0, "unknown national letter without keycode"},
      {'<', 94, Qt::Key_Less, false, 0xE2, "ISO key left of Z"},
      {0xFFE4, 105, Qt::Key_Control, false, 0xA3, "right control"},
      {0, 0, Qt::Key_F5, false, 0x74, "offscreen: Qt key only"},
      {0, 0, Qt::Key_7, true, 0x67, "offscreen keypad 7"},
      {0, 0, Qt::Key_Slash, true, 0x6F, "offscreen keypad divide"},
      {0, 0, Qt::Key_Slash, false, 0xBF, "offscreen slash"},
      {0, 0, Qt::Key_Left, false, 0x25, "offscreen arrow"},
      {0, 0, Qt::Key_Shift, false, 0xA0, "offscreen shift"},
      {0, 0, Qt::Key_unknown, false, 0, "nothing known"},
  };
  for (const TCase& c : cases) EXPECT_EQ(VkFromKeyEvent(c.Sym, c.Code, c.QtKey, c.Keypad), c.Want) << c.What;
  EXPECT_EQ(VkFromXKeycode(7), 0);
  EXPECT_EQ(VkFromXKeycode(100000), 0);
}

TEST(KeyMap, ExtendedKeys) {
  for (int code : {33, 40, 44, 46, 91, 93, 111, 144, 163, 165}) EXPECT_TRUE(IsExtendedVk(code)) << code;
  for (int code : {32, 41, 47, 90, 94, 110, 162, 164, 13}) EXPECT_FALSE(IsExtendedVk(code)) << code;
}

}  // namespace
}  // namespace tovik
