// The main window's shell: tray mode with and without a tray, the day/night switch with its bubble and
// colours, the settings dialog (tabs, checks, what it stores and what the window applies) and the
// about box, with pictures of them in Day and Night.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>

#include "app/TovikAutostart.h"
#include "app/TovikMainSession.h"
#include "app/TovikSettingsForm.h"
#include "app/TovikSessionTabs.h"
#include <QTabBar>
#include "session/ui/TovikConsent.h"
#include "app/Unit2.h"
#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"
#include "tests/app/TempSettingsPaths.h"
#include "tests/app/UiShotChecks.h"
#include "tests/app/UiTestApp.h"
#include "tests/base/TestTempDir.h"
#include "tests/support/NullNetBackend.h"

namespace tovik {
namespace {

class ShellWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
    test::EnsureApp();
  }
  ShellWindow() : Store(test::TempSettingsPaths(Dir.Path()), BuiltIn) {
    Store.EnsureUserFolder();
    Store.WriteText("Relay", "Host", "127.0.0.1");
    Store.WriteText("Relay", "Port", "9");
    Log.SetPath(Store.Paths().LogPath);
  }
  ~ShellWindow() override { ApplyTheme(false); }
  TPlatformServices Platform(bool ATray) {
    TPlatformServices p;
    p.NetBackend = [] { return std::make_unique<TNullBackend>(); };
    p.TrayAvailable = [ATray] { return ATray; };
    p.Autostart = [this](const std::string&, const std::string& AProgram) -> std::unique_ptr<IAutostart> {
      return std::make_unique<TXdgAutostart>(Dir.Path() + "/autostart", AProgram);
    };
    p.AdminPromptsReachable = true;
    return p;
  }
  static TRunSwitches TraySwitches() {
    TRunSwitches sw;
    sw.Tray = true;
    return sw;
  }
  test::TTempDir Dir;
  TIniText BuiltIn;
  TSettingsStore Store;
  TLogWriter Log;
};

// With a tray: no window at start, closing hides it, the tray's "Exit" ends the program.
TEST_F(ShellWindow, TrayModeHidesTheWindowAndItsExitEndsTheProgram) {
  TForm2 w(Store, Log, TraySwitches(), Platform(true));
  int closed = 0;
  w.OnClosedForGood = [&closed] { ++closed; };
  w.ShowAtStart();
  ASSERT_NE(w.Tray(), nullptr);
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(w.Tray()->toolTip(), "Tovik");
  ASSERT_NE(w.TrayMenu(), nullptr);
  const QList<QAction*> items = w.TrayMenu()->actions();
  ASSERT_EQ(items.size(), 2);
  EXPECT_EQ(items[0]->text(), "&Open Tovik");
  EXPECT_EQ(w.TrayMenu()->defaultAction(), items[0]);
  EXPECT_EQ(items[1]->text(), "E&xit");

  items[0]->trigger();
  EXPECT_TRUE(w.isVisible());
  w.close();
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(closed, 0) << "closing only hides the window in tray mode";
  items[1]->trigger();
  EXPECT_EQ(closed, 1);
}

// Without a tray (stock GNOME): tray mode starts minimized and closing ends the program, so the window
// can always be reached.
TEST_F(ShellWindow, TrayModeWithoutATrayStartsMinimizedAndClosingQuits) {
  TForm2 w(Store, Log, TraySwitches(), Platform(false));
  int closed = 0;
  w.OnClosedForGood = [&closed] { ++closed; };
  w.ShowAtStart();
  EXPECT_EQ(w.Tray(), nullptr);
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(w.windowState() & Qt::WindowMinimized);
  EXPECT_FALSE(w.CloseHidesWindow());
  w.close();
  EXPECT_EQ(closed, 1);
}

TEST_F(ShellWindow, AQuitRequestIsLoggedAndEndsEvenTrayMode) {
  TForm2 w(Store, Log, TraySwitches(), Platform(true));
  int closed = 0;
  w.OnClosedForGood = [&closed] { ++closed; };
  w.ShowWindow();
  w.QuitRequested();
  EXPECT_EQ(closed, 1);
  EXPECT_NE(test::ReadFile(Store.Paths().LogPath).find("Closed by the setup (update)"), std::string::npos);
}

// Segments Day, Auto, Night in that order; choosing one stores [UI] Theme, applies the look, and the
// bubble names it over the chosen segment.
TEST_F(ShellWindow, ThemeSwitchSegmentsStoreTheModeAndShowTheBubble) {
  TForm2 w(Store, Log, {}, Platform(false));
  w.show();
  TUiSegmented* seg = w.ThemeSwitch();
  ASSERT_EQ(seg->Count(), 3);
  struct TCase {
    int Segment;
    int Mode;
    const char* Bubble;
    bool Dark;
  } cases[] = {{2, tmNight, "Night: always the dark look", true}, {0, tmDay, "Day: always the light look", false}};
  for (const TCase& c : cases) {
    QTest::mouseClick(seg, Qt::LeftButton, {}, seg->SegmentRect(c.Segment).center());
    EXPECT_EQ(Store.ReadInt("UI", "Theme"), c.Mode);
    // The look is applied after the click's handler returns (a deferred call): wait for it, bounded.
    EXPECT_TRUE(QTest::qWaitFor([&] { return IsDark() == c.Dark && w.ThemeBubble()->isVisible(); }, 5000));
    EXPECT_EQ(IsDark(), c.Dark);
    EXPECT_TRUE(w.ThemeBubble()->isVisible());
    EXPECT_EQ(w.ThemeBubble()->Text(), c.Bubble);
    // The bubble's arrow points at the chosen segment.
    const QRect target(seg->mapTo(&w, seg->SegmentRect(c.Segment).topLeft()), seg->SegmentRect(c.Segment).size());
    EXPECT_NEAR(w.ThemeBubble()->x() + w.ThemeBubble()->ArrowX(), target.center().x(), 2);
  }
  EXPECT_EQ(seg->ItemIndex(), 0);
  w.SetThemeMode(tmAuto);
  EXPECT_EQ(seg->ItemIndex(), 1);
}

// In Night the ID number is the accent blended 40% with white; the status bar's dots follow a switch
// back to Day at once.
TEST_F(ShellWindow, NightColoursOfTheIdAndTheStatusDots) {
  TForm2 w(Store, Log, {}, Platform(false));
  w.show();
  IMainView& v = w;
  v.ShowID("482 913 507");
  v.SetSessionDisplay(KColGreen, "Connected", "tip");
  w.SetThemeMode(tmNight);
  QLabel* id = nullptr;
  for (QLabel* l : w.findChildren<QLabel*>())
    if (l->text() == "482 913 507") id = l;
  ASSERT_TRUE(id);
  EXPECT_EQ(id->palette().color(QPalette::WindowText).rgb() & 0xFFFFFF, Blend(Accent(), Qt::white, 40).rgb() & 0xFFFFFF);
  w.SetThemeMode(tmDay);
  EXPECT_EQ(id->palette().color(QPalette::WindowText), Accent());
  // The status bar's middle dot is drawn in the Day green again.
  const QImage img = test::Shot(w);
  auto* bar = w.findChild<TUiStatusBar*>();
  ASSERT_TRUE(bar);
  const QRect part = bar->PartRect(1).translated(bar->mapTo(&w, QPoint(0, 0)));
  bool green = false;
  for (int y = part.top(); y <= part.bottom() && !green; ++y)
    for (int x = part.left(); x <= part.right() && !green; ++x) green = test::Rgb(img, x, y) == KColGreen;
  EXPECT_TRUE(green) << "no day-green dot in the status bar after switching back to Day";
}

// Every glyph the main window's buttons name has an icon in the icon font (the Connect button had none).
TEST_F(ShellWindow, TheWindowsGlyphsAllHaveIcons) {
  if (!HasIconFont()) GTEST_SKIP() << "no icon font on this system";
  for (char16_t g : {glyph::Connect, glyph::Cancel, glyph::Check, glyph::Shield, glyph::Sun, glyph::Moon, glyph::Copy})
    EXPECT_FALSE(IconText(g).isEmpty()) << std::hex << int(g);
}

TEST_F(ShellWindow, AdminButtonSaysThatAdminPromptsWorkOnThisDesktop) {
  TForm2 w(Store, Log, {}, Platform(false));
  ASSERT_TRUE(w.AdminButton());
  EXPECT_EQ(w.AdminButton()->Caption(), "Admin prompts OK");
  EXPECT_EQ(w.AdminButton()->Kind(), ubSuccess);
  EXPECT_FALSE(w.windowTitle().contains("(administrator)"));
  // The service's broker answering changes the face at the next check.
  TPlatformServices p = Platform(false);
  bool ready = false;
  p.BrokerAvailable = [&ready] { return ready; };
  p.Elevated = [] { return true; };
  TForm2 w2(Store, Log, {}, p);
  EXPECT_EQ(w2.AdminButton()->Caption(), "Admin mode on");
  EXPECT_TRUE(w2.windowTitle().endsWith("(administrator)"));
  ready = true;
  w2.CheckService();
  EXPECT_EQ(w2.AdminButton()->Caption(), "Admin support ready");
}

// The record the window prepares, the dialog's tabs and checks, and what OK stores.
TEST_F(ShellWindow, SettingsDialogShowsTheRecordChecksOkAndStores) {
  TForm2 w(Store, Log, {}, Platform(false));
  TTovikSettings s = w.PrepareSettings("updates");
  EXPECT_EQ(s.RelayHost, "127.0.0.1");
  EXPECT_EQ(s.RelayPort, 9);
  EXPECT_FALSE(s.StartWithDesktop);
  TSettingsForm f(s, BuiltIn, &w);
  QStringList warnings;
  f.WarnFn = [&warnings](const QString& t) { warnings << t; };
  ASSERT_EQ(f.Pages()->count(), 4);
  EXPECT_EQ(f.Pages()->tabText(f.Pages()->currentIndex()), "Updates") << "the start page is found in any case";
  EXPECT_EQ(f.UpdateText()->text(), "Updates are not available.");
  EXPECT_FALSE(f.InstallButton()->isEnabled());

  f.PortBox()->setText("70000");
  f.Pages()->setCurrentIndex(0);
  f.accept();
  EXPECT_EQ(f.result(), QDialog::Rejected);
  EXPECT_EQ(warnings, QStringList{"The port must be a number from 1 to 65535."});
  EXPECT_EQ(f.Pages()->tabText(f.Pages()->currentIndex()), "Network");

  f.DefaultServerButton()->click();
  EXPECT_EQ(f.HostBox()->text().toStdString(), kDefaultRelayHost);
  EXPECT_EQ(f.PortBox()->text(), "47800");
  f.AutoStartBox()->setChecked(true);
  f.NameBox()->setText("  Anna Berg ");
  f.accept();
  EXPECT_EQ(f.result(), QDialog::Accepted);
  TTovikSettings after = s;
  f.Store(after);
  EXPECT_EQ(after.ProfileName, "Anna Berg");
  EXPECT_TRUE(after.StartWithDesktop);
  EXPECT_FALSE(after.Unattended) << "the dialog itself never turns unattended access on";
  EXPECT_EQ(after.RelayHost, kDefaultRelayHost);

  // The window applies it: the autostart entry, and a question before unattended access (declined).
  QStringList asked;
  w.AskFn = [&asked](const QString& t) {
    asked << t;
    return false;
  };
  w.ApplySettingsRecord(s, after);
  EXPECT_TRUE(test::ReadFile(Dir.Path() + "/autostart/tovik.desktop").find("/tray") != std::string::npos);
  EXPECT_EQ(Store.ReadText("Profile", "Name"), "Anna Berg");
  EXPECT_EQ(Store.ReadText("Relay", "Host"), kDefaultRelayHost);
  EXPECT_FALSE(w.Logic().Unattended());
  ASSERT_EQ(asked.size(), 2);
  EXPECT_EQ(asked[0].toStdString(), kAskUnattendedWithAutostart);
  EXPECT_EQ(asked[1].toStdString(), kAskRestartForServer);
  EXPECT_TRUE(w.PrepareSettings("").StartWithDesktop);
}

// A huge or broken picture never shows; a normal one shows scaled to the 64-pixel box.
TEST_F(ShellWindow, ProfilePictureIsReadScaledAndBounded) {
  const std::string good = Dir.Path() + "/me.png";
  QImage(400, 200, QImage::Format_RGB32).save(QString::fromStdString(good));
  test::WriteFile(Dir.Path() + "/broken.png", "not a picture");
  TTovikSettings s;
  s.PicturePath = good;
  TSettingsForm f(s, BuiltIn, nullptr);
  const QPixmap shown = f.PictureView()->pixmap();
  EXPECT_LE(shown.width(), f.PictureView()->width());
  EXPECT_GT(shown.width(), 0);
  f.SetPicturePath(QString::fromStdString(Dir.Path() + "/broken.png"));
  EXPECT_TRUE(f.PictureView()->pixmap().isNull());
}

// The session ends while its consent dialog is open: the dialog stays until answered, and the answer
// goes nowhere.
TEST_F(ShellWindow, TheConsentDialogOutlivesItsSessionAndItsAnswerIsIgnored) {
  std::shared_ptr<IConsentPrompt> prompt = MakeConsentPrompt();
  int answers = 0;
  prompt->Ask({"Anna Berg", "", "482 913", std::nullopt}, [&answers](TConsentAnswer) { ++answers; });
  QPointer<TConsentForm> form;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* f = qobject_cast<TConsentForm*>(w); f && f->isVisible()) form = f;
  ASSERT_TRUE(form);
  prompt.reset();  // the session ended
  QTest::qWait(20);
  ASSERT_TRUE(form);
  EXPECT_TRUE(form->isVisible());
  form->Choose(caControl);
  QTest::qWait(20);
  EXPECT_EQ(answers, 0);
}

// Viewers docked as tabs: captions, middle click and the context menu end only their own session, and
// a tab goes when its viewer goes.
TEST_F(ShellWindow, SessionTabsCloseOnlyTheirOwnViewer) {
  QTabWidget pages;
  auto* home = new QWidget;
  pages.addTab(home, "  Tovik  ");
  pages.resize(900, 500);
  pages.show();
  TSessionTabs tabs(&pages, home, &pages);
  std::vector<int> counts;
  tabs.OnCountChanged = [&counts](int n) { counts.push_back(n); };
  std::vector<std::string> asked;
  auto* a = new QWidget;
  auto* b = new QWidget;
  tabs.AddViewer(a, "315 770 204", [&asked] { asked.push_back("a"); });
  tabs.AddViewer(b, "", [&asked] { asked.push_back("b"); });
  ASSERT_EQ(pages.count(), 3);
  EXPECT_EQ(pages.tabText(1), "  315 770 204  ");
  EXPECT_EQ(pages.tabText(2), "  PC  ");
  EXPECT_EQ(pages.currentIndex(), 2);
  EXPECT_EQ(tabs.Count(), 2);
  QTabBar* bar = pages.tabBar();
  QTest::mouseClick(bar, Qt::MiddleButton, {}, bar->tabRect(0).center());
  EXPECT_TRUE(asked.empty()) << "the home tab has no session";
  QTest::mouseClick(bar, Qt::MiddleButton, {}, bar->tabRect(1).center());
  EXPECT_EQ(asked, std::vector<std::string>{"a"});
  // Right click on the inactive tab 1, then "Disconnect this PC": tab 1's viewer, not tab 2's.
  asked.clear();
  QTest::mousePress(bar, Qt::RightButton, {}, bar->tabRect(1).center());
  EXPECT_EQ(pages.currentIndex(), 1);
  emit tabs.Menu()->aboutToShow();
  EXPECT_TRUE(tabs.CloseItem()->isEnabled());
  tabs.CloseItem()->trigger();
  EXPECT_EQ(asked, std::vector<std::string>{"a"});
  pages.setCurrentIndex(0);
  emit tabs.Menu()->aboutToShow();
  EXPECT_FALSE(tabs.CloseItem()->isEnabled());
  // The session frees its viewer: the tab goes.
  delete a;
  QTest::qWait(10);
  EXPECT_EQ(pages.count(), 2);
  EXPECT_EQ(tabs.Count(), 1);
  EXPECT_EQ(counts, (std::vector<int>{1, 2, 1}));
  asked.clear();
  tabs.CloseAll();
  EXPECT_EQ(asked, std::vector<std::string>{"b"});
}

// Pictures of the settings tabs, the about box and the tray menu in Day and Night: the page colour
// follows the look, no text is cut, and the captions are drawn.
TEST_F(ShellWindow, Screenshots) {
  if (QGuiApplication::platformName() != QLatin1String("xcb"))
    GTEST_SKIP() << "screenshots are taken on an X display (QT_QPA_PLATFORM=xcb)";
  const QString dir = QStringLiteral(TOVIK_SHOT_DIR);
  QDir().mkpath(dir);
  TForm2 w(Store, Log, TraySwitches(), Platform(true));
  w.show();
  for (int mode : {tmDay, tmNight}) {
    w.SetThemeMode(mode);
    const bool dark = mode == tmNight;
    const QString look = dark ? "night" : "day";
    TTovikSettings s = w.PrepareSettings("");
    s.ProfileName = "Anna Berg";
    TSettingsForm f(s, BuiltIn, &w);
    f.show();
    for (int i = 0; i < f.Pages()->count(); ++i) {
      f.Pages()->setCurrentIndex(i);
      QTest::qWait(30);
      const QImage img = test::Shot(f);
      const QString name = dir + "/settings-" + f.Pages()->tabText(i).toLower() + "-" + look + ".png";
      ASSERT_TRUE(img.save(name));
      for (const std::string& cut : test::ClippedTexts(*f.Pages()->currentWidget()))
        ADD_FAILURE() << name.toStdString() << ": " << cut;
      // The page behind the rows is light in Day and dark in Night.
      QWidget* page = f.Pages()->currentWidget();
      const QPoint corner = page->mapTo(&f, QPoint(page->width() - 4, page->height() - 4));
      EXPECT_EQ(qGray(img.pixel(corner)) < 128, dark) << name.toStdString();
      // The first row's caption has ink.
      const QList<QWidget*> kids = page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
      ASSERT_FALSE(kids.isEmpty());
      const QRect first(kids.front()->mapTo(&f, QPoint(0, 0)), kids.front()->size());
      EXPECT_GT(test::InkShare(img, first, img.pixel(corner)), 0.02) << name.toStdString();
    }

    TAboutBox about(QStringLiteral("Tovik"), QStringLiteral("20261211.1200"), QStringLiteral("- first"), &w);
    about.show();
    QTest::qWait(30);
    const QImage a = test::Shot(about);
    ASSERT_TRUE(a.save(dir + "/about-" + look + ".png"));
    for (const std::string& cut : test::ClippedTexts(about)) ADD_FAILURE() << "about: " << cut;
    EXPECT_EQ(test::Rgb(a, 2, 2), Accent().rgb() & 0xFFFFFF) << "the top panel is in the accent colour";
    EXPECT_EQ(qGray(a.pixel(a.width() - 3, a.height() - 3)) < 128, dark);
    ASSERT_TRUE(about.ChangesButton());
    EXPECT_LT(about.OkButton()->geometry().bottom(), about.height());
    EXPECT_GT(about.Description()->height(), 100);

    // A page control with the home tab and two helped PCs: every caption fits its tab and is drawn.
    {
      QTabWidget pages;
      auto* home = new QWidget;
      pages.addTab(home, "  Tovik  ");
      pages.resize(900, 300);
      TSessionTabs tabs(&pages, home, &pages);
      tabs.AddViewer(new QLabel("picture of 315 770 204"), "315 770 204", [] {});
      tabs.AddViewer(new QLabel("picture of 482 913 507"), "Anna's laptop", [] {});
      ThemeWindow(&pages);
      pages.show();
      QTest::qWait(30);
      const QImage t = test::Shot(pages);
      ASSERT_TRUE(t.save(dir + "/tabs-" + look + ".png"));
      QTabBar* bar = pages.tabBar();
      for (int i = 0; i < bar->count(); ++i) {
        EXPECT_GE(bar->tabRect(i).width(), QFontMetrics(bar->font()).horizontalAdvance(bar->tabText(i).trimmed()))
            << bar->tabText(i).toStdString();
        const QRect r = bar->tabRect(i).translated(bar->mapTo(&pages, QPoint(0, 0)));
        EXPECT_GT(test::InkShare(t, r.adjusted(4, 4, -4, -4), t.pixel(r.left() + 2, r.top() + 2)), 0.02) << i;
      }
    }

    ASSERT_TRUE(w.TrayMenu());
    w.TrayMenu()->popup(w.mapToGlobal(QPoint(40, 40)));
    QTest::qWait(50);
    const QImage m = test::Shot(*w.TrayMenu());
    ASSERT_TRUE(m.save(dir + "/tray-menu-" + look + ".png"));
    EXPECT_EQ(qGray(m.pixel(m.width() / 2, 2)) < 128, dark);
    EXPECT_GT(test::InkShare(m, m.rect(), m.pixel(m.width() - 2, m.height() / 2)), 0.01);
    w.TrayMenu()->hide();
  }
}

}  // namespace
}  // namespace tovik
