// Input mapping: absolute scaling, desktop pixels, buttons, wheel notches and the key list.
#include <gtest/gtest.h>

#include "media/TovikInput.h"

using namespace tovik;

namespace {
const TRect kPrimary{0, 0, 1920, 1080};
const TRect kVirtual{0, 0, 3840, 1080};
const TRect kSecond{1920, 0, 1920, 1080};

using A = TSynthAction;
A Move(int x, int y) { return {A::saMove, x, y, 0, false, 0}; }
A Button(int b, bool down) { return {A::saButton, 0, 0, b, down, 0}; }
TInputEvent Wire(std::uint8_t kind, int x, int y, std::int32_t data) {
  return {1, kind, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), data};
}
}  // namespace

TEST(InputMapping, AbsoluteScaling) {
  struct Case { int X, Y; TRect Area; TAbsolutePoint Want; };
  const Case cases[] = {
      {1919, 1079, {}, {65535, 65535, false}},
      {0, 0, {}, {0, 0, false}},
      {960, 540, {}, {MulDiv(960, 65535, 1919), MulDiv(540, 65535, 1079), false}},
      {0, 0, kPrimary, {0, 0, true}},
      {0, 0, kSecond, {MulDiv(1920, 65535, 3839), 0, true}},
      {1919, 1079, kSecond, {65535, 65535, true}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(AbsoluteInputPoint(c.X, c.Y, c.Area, kPrimary, kVirtual), c.Want) << c.X << "," << c.Y;
  EXPECT_EQ(MulDiv(1920, 65535, 3839), 32776);
  EXPECT_EQ(MulDiv(1, 65535, 2), 32768);       // 32767.5 rounds up
  EXPECT_EQ(MulDiv(-1, 3, 2), -2);             // half away from zero
  EXPECT_EQ(MulDiv(5, 5, 0), -1);
}

TEST(InputMapping, PointerLandsOnTheCapturedMonitor) {
  const TRect primaryRight{1920, 0, 1920, 1080};
  EXPECT_EQ(ScreenPointOf(10, 20, {}, kPrimary, kVirtual), (TPoint{10, 20}));
  EXPECT_EQ(ScreenPointOf(10, 20, kSecond, kPrimary, kVirtual), (TPoint{1930, 20}));
  EXPECT_EQ(ScreenPointOf(10, 20, {}, primaryRight, kVirtual), (TPoint{1930, 20}));
  EXPECT_EQ(ScreenPointOf(-5, 5000, kSecond, kPrimary, kVirtual), (TPoint{1915, 1079}));
}

TEST(InputMapping, ButtonsWheelAndIgnoredEvents) {
  TInputMapper m;
  auto map = [&](std::uint8_t kind, std::int32_t data) {
    return m.Map(Wire(kind, 5, 6, data), kSecond, kPrimary, kVirtual);
  };
  EXPECT_EQ(map(ikMove, 0), (std::vector<A>{Move(1925, 6)}));
  EXPECT_EQ(map(ikButtonDown, 0), (std::vector<A>{Move(1925, 6), Button(1, true)}));
  EXPECT_EQ(map(ikButtonUp, 1), (std::vector<A>{Move(1925, 6), Button(3, false)}));
  EXPECT_EQ(map(ikButtonDown, 2), (std::vector<A>{Move(1925, 6), Button(2, true)}));
  EXPECT_EQ(map(ikButtonDown, 3), (std::vector<A>{Move(1925, 6)}));
  EXPECT_TRUE(map(7, 0).empty());
  EXPECT_TRUE(map(0, 0).empty());

  const std::vector<A> up{Move(1925, 6), Button(4, true), Button(4, false)};
  const std::vector<A> down{Move(1925, 6), Button(5, true), Button(5, false)};
  EXPECT_EQ(map(ikWheel, 120), up);
  EXPECT_EQ(map(ikWheel, 60), (std::vector<A>{Move(1925, 6)}));
  EXPECT_EQ(map(ikWheel, 60), up);              // two halves make a notch
  EXPECT_EQ(map(ikWheel, 90), (std::vector<A>{Move(1925, 6)}));
  EXPECT_EQ(map(ikWheel, -120), down);          // a turn back drops the rest
  EXPECT_EQ(map(ikWheel, -250).size(), 5u);     // two notches, 10 kept
  EXPECT_EQ(map(ikWheel, -110).size(), 3u);
  EXPECT_EQ(map(ikWheel, 0x7FFFFFFF).size(), 201u); // capped at 100 notches
}

TEST(InputMapping, KeysOfTheKeyListPassWithTheirExtendedFlag) {
  struct Case { std::uint16_t Vk; bool Extended; };
  const Case cases[] = {
      {162, false}, {163, true}, {17, false}, {164, false}, {165, true}, {160, false}, {161, false},
      {'A', false}, {'Z', false}, {'7', false}, {13, false}, {37, true}, {33, true}, {46, true},
      {44, true},   {91, true},  {93, true},  {111, true},  {144, true}, {106, false}, {96, false},
      {112, false}, {135, false}, {0xBA, false}, {0xE2, false}, {0x07, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsExtendedKey(c.Vk), c.Extended) << c.Vk;
  TInputMapper m;
  // The data field's upper half is not part of the key.
  const auto down = m.Map(Wire(ikKeyDown, 0, 0, 0x10000 | 163), {}, kPrimary, kVirtual);
  ASSERT_EQ(down.size(), 1u);
  EXPECT_EQ(down[0], (A{A::saKey, 0, 0, 0, true, 163}));
  const auto up = m.Map(Wire(ikKeyUp, 0, 0, 'A'), {}, kPrimary, kVirtual);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0], (A{A::saKey, 0, 0, 0, false, 'A'}));
  // Codes outside the key list are dropped.
  for (std::int32_t data : {0x07, 0, 0xFF, 0x1FFFF})
    EXPECT_TRUE(m.Map(Wire(ikKeyUp, 0, 0, data), {}, kPrimary, kVirtual).empty()) << data;
}

TEST(VirtualKeys, OneSortedListWithNamesAndUsCharacters) {
  const auto keys = VirtualKeys();
  ASSERT_FALSE(keys.empty());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(keys[i - 1].Code, keys[i].Code);
    }
    EXPECT_EQ(FindVirtualKey(keys[i].Code), &keys[i]);
    ASSERT_NE(keys[i].Name, nullptr);
    EXPECT_NE(keys[i].Name[0], '\0') << keys[i].Code;
  }
  for (int code : {-1, 0, 0x07, 0xFF, 0x100, 0x1A3}) EXPECT_EQ(FindVirtualKey(code), nullptr) << code;
  EXPECT_STREQ(FindVirtualKey(vk::RControl)->Name, "RCONTROL");
  EXPECT_STREQ(FindVirtualKey(vk::Oem1)->Name, "OEM_1");

  // Every printable ASCII character is typed by one key of a US keyboard, and that key's unshifted
  // character is the character itself or its unshifted partner.
  const std::pair<char, int> cases[] = {
      {'a', 'A'}, {'A', 'A'}, {'0', '0'}, {')', '0'}, {'!', '1'}, {' ', vk::Space}, {';', 0xBA}, {':', 0xBA},
      {'<', 0xBC}, {'_', 0xBD}, {'?', 0xBF}, {'~', 0xC0}, {'{', 0xDB}, {'|', 0xDC}, {'"', 0xDE}, {'\'', 0xDE},
  };
  for (auto [c, want] : cases) EXPECT_EQ(VirtualKeyOfUsChar(static_cast<std::uint8_t>(c)), want) << c;
  for (std::uint32_t c = 0x20; c < 0x7F; ++c) {
    const int code = VirtualKeyOfUsChar(c);
    ASSERT_NE(code, 0) << c;
    EXPECT_NE(UsCharOfVirtualKey(code), 0u) << c;
  }
  for (std::uint32_t c : {0u, 0x1Fu, 0x7Fu, 0xFCu, 0x263Au}) EXPECT_EQ(VirtualKeyOfUsChar(c), 0) << c;
  EXPECT_EQ(UsCharOfVirtualKey('Q'), static_cast<std::uint32_t>('q'));
  EXPECT_EQ(UsCharOfVirtualKey(0xDC), static_cast<std::uint32_t>('\\'));
  EXPECT_EQ(UsCharOfVirtualKey(vk::F1), 0u);
  EXPECT_EQ(UsCharOfVirtualKey(vk::Oem102), 0u);
}
