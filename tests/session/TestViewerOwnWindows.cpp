// The list of our own windows and the blanking of their areas in a captured picture.
#include <gtest/gtest.h>

#include <vector>

#include "base/TovikOwnWindows.h"

namespace tovik {
namespace {

TEST(OwnWindows, RegistryShowsOnlyShownWindows) {
  const int a = RegisterOwnWindow(), b = RegisterOwnWindow();
  EXPECT_NE(a, 0);
  EXPECT_NE(a, b);
  SetOwnWindow(a, {10, 20, 300, 200}, true);
  SetOwnWindow(b, {0, 0, 50, 50}, false);
  SetOwnWindow(9999, {0, 0, 5, 5}, true);  // unknown id: ignored
  auto rects = OwnWindowRects();
  ASSERT_EQ(rects.size(), 1u);
  EXPECT_EQ(rects[0], (TOwnWindowRect{10, 20, 300, 200}));
  SetOwnWindow(b, {0, 0, 50, 50}, true);
  EXPECT_EQ(OwnWindowRects().size(), 2u);
  UnregisterOwnWindow(a);
  UnregisterOwnWindow(b);
  EXPECT_TRUE(OwnWindowRects().empty());
}

// Every shown entry keeps injected input out, blanked or not; only blanked entries are left out of
// captures; window handles are known while registered.
TEST(OwnWindows, InputOnlyEntriesCountForInputButAreNotBlanked) {
  const int blank = RegisterOwnWindow(), input = RegisterOwnWindow(TOwnWindowUse::InputOnly),
            far = RegisterOwnWindow(TOwnWindowUse::InputOnly);
  SetOwnWindow(blank, {10, 20, 300, 200}, true);
  SetOwnWindow(input, {-100, 500, 50, 40}, true);
  SetOwnWindow(far, {2147483000, 0, 2000, 10}, true);
  SetOwnWindowHandle(input, 0x400007);
  EXPECT_EQ(OwnWindowRects(), (std::vector<TOwnWindowRect>{{10, 20, 300, 200}}));
  struct TCase {
    int X, Y;
    bool Own;
  } cases[] = {
      {10, 20, true},   {309, 219, true}, {310, 100, false}, {100, 19, false},  // the blanked one's edges
      {-100, 500, true}, {-51, 539, true}, {-50, 520, false}, {-80, 540, false},  // the input-only one
      {2147483647, 5, true},  // inside the far one, with no overflow
  };
  for (const TCase& c : cases) EXPECT_EQ(PointOnOwnWindow(c.X, c.Y), c.Own) << c.X << "," << c.Y;
  EXPECT_TRUE(IsOwnWindowHandle(0x400007));
  EXPECT_FALSE(IsOwnWindowHandle(0x400008));
  EXPECT_FALSE(IsOwnWindowHandle(0));  // entries without a handle match nothing
  SetOwnWindow(input, {-100, 500, 50, 40}, false);
  EXPECT_FALSE(PointOnOwnWindow(-100, 500));  // hidden
  for (int id : {blank, input, far}) UnregisterOwnWindow(id);
  EXPECT_FALSE(IsOwnWindowHandle(0x400007));
  EXPECT_FALSE(PointOnOwnWindow(10, 20));
}

// A capture of a monitor that starts at (1920, 0) holding a viewer window: the window's area is blank,
// so the helper does not see the viewer inside the viewer.
TEST(OwnWindows, BlankingClipsToThePictureAndItsOrigin) {
  const int w = 8, h = 6;
  std::vector<std::uint32_t> pic(w * h, 0x11111111);
  auto* bits = reinterpret_cast<std::uint8_t*>(pic.data());
  const std::vector<TOwnWindowRect> rects = {
      {1920 + 6, 4, 100, 100},     // runs past the right and bottom edges
      {1920 - 50, -10, 51, 12},    // starts left of and above the monitor
      {0, 0, 1000, 1000},          // on another monitor entirely
      {1920 + 3, 1, 0, 5},         // empty
      {2147483000, 0, 2000, 10},   // far away: no overflow
  };
  BlankOwnWindows(bits, w, h, w * 4, 1920, 0, rects, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool blank = (x >= 6 && y >= 4) || (x == 0 && y <= 1);
      EXPECT_EQ(pic[y * w + x], blank ? 0u : 0x11111111u) << x << "," << y;
    }
}

TEST(OwnWindows, BlankingBottomUpPicture) {
  const int w = 4, h = 3;
  std::vector<std::uint32_t> pic(w * h, 7);
  // Row 0 is the last row in memory; the stride is negative.
  auto* row0 = reinterpret_cast<std::uint8_t*>(pic.data() + (h - 1) * w);
  BlankOwnWindows(row0, w, h, -w * 4, 0, 0, {{1, 0, 2, 1}}, 0);
  EXPECT_EQ(pic[(h - 1) * w + 1], 0u);
  EXPECT_EQ(pic[(h - 1) * w + 2], 0u);
  EXPECT_EQ(pic[1], 7u);
}

}  // namespace
}  // namespace tovik
