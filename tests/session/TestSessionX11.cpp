// The host and viewer pair over the real X11 capturer and XTest injector (run under Xvfb).
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/session/SessionPairFixture.h"
#include "tests/support/PictureChecks.h"

using namespace tovik;
using namespace tovik::test;

namespace {
// What the display shows now, with the pointer drawn in as the capturer does.
bool GrabDisplay(IScreenBackend& b, TBitmap32& out) {
  const TRect area = PrimaryMonitor(b.Monitors());
  auto grab = b.CreatePlain(area);
  if (!grab) return false;
  out.SetSize(area.Width, area.Height);
  TGrabChanges ch;
  if (grab->CopyTo(out, false, {}, ch) != TGrabStatus::gsOk) return false;
  TPointerImage ptr;
  if (b.GetPointer(ptr)) DrawPointer(out, ptr, TPoint{area.Left, area.Top});
  return true;
}

}  // namespace

TEST(SessionX11, ViewerShowsWhatTheDisplayShowsAndInputMovesThePointer) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) GTEST_SKIP() << "no X display; scripts/test runs this under Xvfb";
  auto backend = IScreenBackend::Create();
  ASSERT_TRUE(backend) << "cannot open DISPLAY=" << display;
  TPairOptions o;
  o.RealScreen = [] { return IScreenBackend::Create(); };
  o.RealInput = [] { return IInputInjector::Create(); };
  TSessionPair pair(o);
  TBitmap32 shown;
  bool same = false;
  for (int i = 0; i < 40 && !same; ++i) {
    pair.Run(500);
    same = GrabDisplay(*backend, shown) && test::SameBgr(shown, pair.Window->Picture);
  }
  EXPECT_TRUE(same);

  // A pointer move from the viewer lands on the display.
  ASSERT_TRUE(pair.Window->Events);
  pair.Window->Events->OnInput(WindowInput(1, 37, 29, 0));
  pair.Run(200);
  TPointerImage ptr;
  ASSERT_TRUE(backend->GetPointer(ptr));
  const TRect area = PrimaryMonitor(backend->Monitors());
  EXPECT_EQ(ptr.X, area.Left + 37);
  EXPECT_EQ(ptr.Y, area.Top + 29);

  // And the viewer's picture follows the pointer's new place.
  same = false;
  for (int i = 0; i < 40 && !same; ++i) {
    pair.Run(500);
    same = GrabDisplay(*backend, shown) && test::SameBgr(shown, pair.Window->Picture);
  }
  EXPECT_TRUE(same);
}
