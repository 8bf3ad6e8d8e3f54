// The application-wide tracker under the offscreen platform: every top-level window the program
// shows (plain windows, dialogs, message boxes, menus) is in the own-window list while shown, with its
// window handle; inner widgets are not windows of their own.
#include <gtest/gtest.h>

#include <QDialog>
#include <QMenu>
#include <QMessageBox>

#include <functional>
#include <memory>

#include "base/TovikOwnWindows.h"
#include "session/ui/TovikOwnWindowTracker.h"
#include "tests/app/UiTestApp.h"

namespace tovik {
namespace {

TEST(AppWindowTracker, EveryShownTopLevelWindowIsOursUntilHiddenOrGone) {
  QApplication* app = test::EnsureApp();
  // A window shown before the tracker exists counts too.
  auto early = std::make_unique<QWidget>();
  early->setGeometry(700, 600, 50, 50);
  early->show();
  QApplication::processEvents();
  TAppWindowTracker tracker(app);
  EXPECT_TRUE(PointOnOwnWindow(720, 620));
  EXPECT_TRUE(OwnWindowRects().empty()) << "the tracker's windows are not blanked in captures";

  QWidget main;
  main.setGeometry(100, 100, 400, 300);
  main.show();
  struct TCase {
    const char* Name;
    std::function<QWidget*()> Make;  // shown by the test at (1000, 200) 120 x 80
  } cases[] = {
      {"a plain window", [] { return new QWidget; }},
      {"a dialog of the main window", [&] { return new QDialog(&main); }},
      {"a message box", [&] { return new QMessageBox(QMessageBox::Warning, "Tovik", "Text", QMessageBox::Ok, &main); }},
      {"a menu", [&] { return new QMenu(&main); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    QWidget* w = c.Make();
    w->setGeometry(1000, 200, 120, 80);
    w->show();
    w->setGeometry(1000, 200, 120, 80);  // some kinds pick their own size when shown
    QApplication::processEvents();
    EXPECT_TRUE(PointOnOwnWindow(1010, 210));
    EXPECT_TRUE(IsOwnWindowHandle(w->winId()));
    w->move(1300, 200);
    QApplication::processEvents();
    EXPECT_FALSE(PointOnOwnWindow(1010, 210)) << "moved away";
    EXPECT_TRUE(PointOnOwnWindow(1310, 210));
    w->hide();
    EXPECT_FALSE(PointOnOwnWindow(1310, 210)) << "hidden";
    const std::size_t tracked = tracker.Count();
    delete w;
    EXPECT_EQ(tracker.Count(), tracked - 1) << "gone";
  }

  // The main window is ours; a widget inside it is not a window of its own.
  EXPECT_TRUE(PointOnOwnWindow(110, 110));
  const std::size_t tracked = tracker.Count();
  auto* inner = new QWidget(&main);
  inner->setGeometry(10, 10, 50, 50);
  inner->show();
  EXPECT_EQ(tracker.Count(), tracked);
  EXPECT_FALSE(PointOnOwnWindow(5000, 5000));
}

}  // namespace
}  // namespace tovik
