// X11 keys and virtual keys: keysyms and keycodes of the viewer's key events to virtual keys, and the
// keysyms the injector types. Pure tables, no X server.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "media/TovikKeys.h"
#include "platform/linux/TovikKeys_x11.h"
#include "session/ui/TovikKeyMap.h"

namespace tovik {
namespace {

TEST(X11Keys, KeysymsToVirtualKeys) {
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

TEST(X11Keys, VirtualKeysBackToKeysyms) {
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

TEST(X11Keys, KeyEventsPreferMeaningForLettersAndPositionForSymbols) {
  struct TCase {
    std::uint32_t Sym, Code;
    int Want;
    const char* What;
  } cases[] = {
      {'q', 38, 'Q', "AZERTY: the key at US 'A' types q"},
      {'&', 10, '1', "AZERTY: unshifted 1 key"},
      {'!', 10, '1', "US shift+1"},
      {0xFC, 34, 0xDB, "German u-umlaut by position"},
      {0xE9, 0, 0, "unknown national letter without keycode"},
      {'<', 94, 0xE2, "ISO key left of Z"},
      {0xFFE4, 105, 0xA3, "right control"},
      {0, 0, 0, "no native data: Qt's key number decides"},
  };
  const auto keys = IViewerKeys::Create();
  ASSERT_TRUE(keys);
  for (const TCase& c : cases) {
    EXPECT_EQ(VkFromXKeyEvent(c.Sym, c.Code), c.Want) << c.What;
    EXPECT_EQ(keys->VirtualKeyOf(c.Sym, c.Code), c.Want) << c.What;
  }
  EXPECT_EQ(VkFromXKeycode(7), 0);
  EXPECT_EQ(VkFromXKeycode(100000), 0);
}

TEST(X11Keys, InjectedKeysKeepSidesAndExtendedVariants) {
  struct Case { int Vk; std::uint32_t Flags; std::uint32_t Keysym; };
  const Case cases[] = {
      {162, 0, 0xFFE3},   {163, 0, 0xFFE4},  {17, 0, 0xFFE3},   {17, kInputExtended, 0xFFE4},
      {164, 0, 0xFFE9},   {165, 0, 0xFFEA},  {18, kInputExtended, 0xFFEA},
      {160, 0, 0xFFE1},   {161, 0, 0xFFE2},  {'A', 0, 'a'},     {'Z', 0, 'z'},   {'7', 0, '7'},
      {13, 0, 0xFF0D},    {13, kInputExtended, 0xFF8D},
      {37, 0, 0xFF51},    {33, 0, 0xFF55},   {46, 0, 0xFFFF},   {44, 0, 0xFF61}, {91, 0, 0xFFEB},
      {93, 0, 0xFF67},    {111, 0, 0xFFAF},  {144, 0, 0xFF7F},  {106, 0, 0xFFAA}, {96, 0, 0xFFB0},
      {112, 0, 0xFFBE},   {135, 0, 0xFFD5},  {0xBA, 0, ';'},    {0xE2, 0, '<'},  {0x07, 0, 0},
      {0x03, 0, 0xFF6B},  {0x2A, 0, 0xFF61}, {0x15, 0, 0xFF31}, {0xB6, 0, 0x1008FF5D}, {0xFA, 0, 0x1008FF31},
      {0x92, 0, 0},       {0x20, 0, 0x20},   {0xDC, 0, '\\'},
  };
  for (const Case& c : cases) EXPECT_EQ(KeysymOfVirtualKey(c.Vk, c.Flags), c.Keysym) << c.Vk;

  EXPECT_EQ(AlternateKeysym(0xFFEA), 0xFE03u);
  EXPECT_EQ(AlternateKeysym(0xFF61), 0xFF15u);
  EXPECT_EQ(AlternateKeysym(0xFF13), 0xFF6Bu);
  EXPECT_EQ(AlternateKeysym('a'), 0u);

  // The punctuation keys fall back to their US position (X keycode = evdev code + 8).
  const std::pair<int, int> fallback[] = {{0xBA, 47}, {0xBB, 21}, {0xBC, 59}, {0xBD, 20}, {0xBE, 60},
                                          {0xBF, 61}, {0xC0, 49}, {0xDB, 34}, {0xDC, 51}, {0xDD, 35},
                                          {0xDE, 48}, {0xE2, 94}, {'A', 0},   {0x0D, 0},  {0xDF, 0}};
  for (auto [code, want] : fallback) EXPECT_EQ(FallbackKeycodeOfVirtualKey(code), want) << std::hex << code;
}

TEST(X11Keys, EveryKeyOfTheX11TablesIsInTheKeyList) {
  // What the viewer reads must be a key the injector knows, and the other way round.
  for (std::uint32_t code = 8; code < 8 + 128; ++code)
    if (int v = VkFromXKeycode(code)) {
      EXPECT_NE(FindVirtualKey(v), nullptr) << "keycode " << code;
    }
  for (int code = 1; code < 256; ++code) {
    if (KeysymFromVk(code)) {
      EXPECT_NE(FindVirtualKey(code), nullptr) << std::hex << code;
    }
    const bool typed = KeysymOfVirtualKey(code) != 0 || FallbackKeycodeOfVirtualKey(code) != 0;
    if (typed) {
      EXPECT_NE(FindVirtualKey(code), nullptr) << std::hex << code;
    }
  }
  // Every key of the list can be typed, except a few the viewer reads but the injector leaves alone.
  std::vector<int> untyped;
  for (const TVirtualKey& k : VirtualKeys())
    if (!KeysymOfVirtualKey(k.Code) && !FallbackKeycodeOfVirtualKey(k.Code)) untyped.push_back(k.Code);
  EXPECT_EQ(untyped, (std::vector<int>{0x18, 0x92, 0xE5, 0xF2, 0xF3}));
}

}  // namespace
}  // namespace tovik
