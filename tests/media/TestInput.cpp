// Input mapping: absolute scaling, desktop pixels, buttons, wheel notches and the key table.
#include <gtest/gtest.h>

#include "media/TovikInput.h"

using namespace tovik;

namespace {
const TRect kPrimary{0, 0, 1920, 1080};
const TRect kVirtual{0, 0, 3840, 1080};
const TRect kSecond{1920, 0, 1920, 1080};

using A = TSynthAction;
A Move(int x, int y) { return {A::saMove, x, y, 0, false, 0, 0}; }
A Button(int b, bool down) { return {A::saButton, 0, 0, b, down, 0, 0}; }
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
    return m.Map(TInjectInput::FromWire(kind, 5, 6, data), kSecond, kPrimary, kVirtual);
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

TEST(InputMapping, KeysKeepSidesAndExtendedFlag) {
  struct Case { std::uint16_t Vk; std::uint32_t Flags; std::uint32_t Keysym; bool Extended; };
  const Case cases[] = {
      {162, 0, 0xFFE3, false},       // left Ctrl
      {163, 0, 0xFFE4, true},        // right Ctrl
      {17, 0, 0xFFE3, false},        {17, kInputExtended, 0xFFE4, false},
      {164, 0, 0xFFE9, false},       {165, 0, 0xFFEA, true},
      {160, 0, 0xFFE1, false},       {161, 0, 0xFFE2, false},
      {'A', 0, 'a', false},          {'Z', 0, 'z', false},          {'7', 0, '7', false},
      {13, 0, 0xFF0D, false},        {13, kInputExtended, 0xFF8D, false},
      {37, 0, 0xFF51, true},         {33, 0, 0xFF55, true},         {46, 0, 0xFFFF, true},
      {44, 0, 0xFF61, true},         {91, 0, 0xFFEB, true},         {93, 0, 0xFF67, true},
      {111, 0, 0xFFAF, true},        {144, 0, 0xFF7F, true},        {106, 0, 0xFFAA, false},
      {96, 0, 0xFFB0, false},        {112, 0, 0xFFBE, false},       {135, 0, 0xFFD5, false},
      {0xBA, 0, ';', false},         {0xE2, 0, '<', false},         {0x07, 0, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KeysymOfVirtualKey(c.Vk, c.Flags), c.Keysym) << c.Vk;
    EXPECT_EQ(IsExtendedKey(c.Vk), c.Extended) << c.Vk;
  }
  TInputMapper m;
  const auto down = m.Map(TInjectInput::FromWire(ikKeyDown, 0, 0, 0x10000 | 163), {}, kPrimary, kVirtual);
  ASSERT_EQ(down.size(), 1u);
  EXPECT_EQ(down[0], (A{A::saKey, 0, 0, 0, true, 163, 0xFFE4}));
  EXPECT_TRUE(m.Map(TInjectInput::FromWire(ikKeyUp, 0, 0, 0x07), {}, kPrimary, kVirtual).empty());
}
