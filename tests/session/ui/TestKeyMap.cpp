// The viewer's key events to virtual keys: Qt key numbers, the native data through the window
// system's backend, and the extended keys of the key list. (The X11 tables are tested in
// tests/platform/TestX11Keys.cpp.)
#include <gtest/gtest.h>

#include <Qt>

#include <map>
#include <utility>

#include "session/ui/TovikKeyMap.h"

namespace tovik {
namespace {

// A window system whose native data is a table: (native key, scan code) -> virtual key.
class TFakeViewerKeys final : public IViewerKeys {
 public:
  std::map<std::pair<std::uint32_t, std::uint32_t>, int> Keys;
  int VirtualKeyOf(std::uint32_t ANativeKey, std::uint32_t AScanCode) const override {
    auto it = Keys.find({ANativeKey, AScanCode});
    return it == Keys.end() ? 0 : it->second;
  }
};

TEST(KeyMap, QtKeysWithoutNativeData) {
  struct TCase {
    int QtKey;
    bool Keypad;
    int Want;
    const char* What;
  } cases[] = {
      {Qt::Key_F5, false, 0x74, "offscreen: Qt key only"},
      {Qt::Key_7, true, 0x67, "offscreen keypad 7"},
      {Qt::Key_Slash, true, 0x6F, "offscreen keypad divide"},
      {Qt::Key_Slash, false, 0xBF, "offscreen slash"},
      {Qt::Key_Left, false, 0x25, "offscreen arrow"},
      {Qt::Key_Shift, false, 0xA0, "offscreen shift"},
      {Qt::Key_unknown, false, 0, "nothing known"},
      {Qt::Key_Q, false, 'Q', "letter"},
      {Qt::Key_Exclam, false, '1', "shifted digit"},
      {Qt::Key_Space, false, 0x20, "space"},
      {Qt::Key_QuoteDbl, false, 0xDE, "shifted punctuation"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(VkFromKeyEvent(nullptr, 0, 0, c.QtKey, c.Keypad), c.Want) << c.What;
    EXPECT_EQ(VkFromQtKey(c.QtKey, c.Keypad), c.Want) << c.What;
  }
}

TEST(KeyMap, NativeDataComesFirstAndQtKeysAreTheLastResort) {
  TFakeViewerKeys keys;
  keys.Keys[{'q', 38}] = 'Q';        // AZERTY: the key at US 'A' types q
  keys.Keys[{0xFFE4, 105}] = 0xA3;   // right control: Qt only says "Control"
  EXPECT_EQ(VkFromKeyEvent(&keys, 'q', 38, Qt::Key_A, false), 'Q');
  EXPECT_EQ(VkFromKeyEvent(&keys, 0xFFE4, 105, Qt::Key_Control, false), 0xA3);
  EXPECT_EQ(VkFromKeyEvent(&keys, 0xE9, 0, Qt::Key_F5, false), 0x74);  // native data unknown
  EXPECT_EQ(VkFromKeyEvent(&keys, 0xE9, 0, 0, false), 0);
}

TEST(KeyMap, EveryQtKeyGivesAKeyOfTheList) {
  // Latin-1 keys, then Qt's own numbers (0x01000000 and up, up to past the Korean and Japanese keys).
  int mapped = 0;
  for (auto [from, to] : {std::pair{0, 0x200}, std::pair{0x01000000, 0x01001200}})
    for (int k = from; k < to; ++k)
      for (bool keypad : {false, true})
        if (const int v = VkFromQtKey(k, keypad)) {
          ++mapped;
          EXPECT_NE(FindVirtualKey(v), nullptr) << std::hex << k;
        }
  EXPECT_GT(mapped, 100);
}

TEST(KeyMap, ExtendedKeys) {
  for (int code : {33, 40, 44, 46, 91, 93, 111, 144, 163, 165}) EXPECT_TRUE(IsExtendedKey(code)) << code;
  for (int code : {32, 41, 47, 90, 94, 110, 162, 164, 13}) EXPECT_FALSE(IsExtendedKey(code)) << code;
}

}  // namespace
}  // namespace tovik
