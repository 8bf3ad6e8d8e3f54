// The main window built for real (offscreen, or on X for the screenshots): its start state from the
// settings, its size, and pictures of it in Day and Night for a person to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QTest>

#include "tests/base/TestTempDir.h"
#include "tests/app/TempSettingsPaths.h"
#include "app/ui/TovikButtons.h"
#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"
#include "tests/app/UiTestApp.h"
#include "app/Unit2.h"
#include "tests/support/NullNetBackend.h"

namespace tovik {
namespace {

class MainWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
    test::EnsureApp();
  }
  MainWindow() : Store(Paths(), BuiltIn) {
    Store.EnsureUserFolder();
    // A relay port on loopback where nothing answers: the window stays "Connecting to server...".
    Store.WriteText("Relay", "Host", "127.0.0.1");
    Store.WriteText("Relay", "Port", "9");
    Log.SetPath(Store.Paths().LogPath);
  }
  TSettingsPaths Paths() { return test::TempSettingsPaths(Dir.Path()); }
  // No real sockets, screen or input: the window's client talks to nothing.
  static TPlatformServices Platform() {
    TPlatformServices p;
    p.NetBackend = [] { return std::make_unique<TNullBackend>(); };
    return p;
  }
  test::TTempDir Dir;
  TIniText BuiltIn;
  TSettingsStore Store;
  TLogWriter Log;
};

TEST_F(MainWindow, StartsFromTheSettingsAndKeepsItsStartSizeAsMinimum) {
  Store.WriteSwitch("Session", "Unattended", true);
  Store.WriteText("ID", "Secret", std::string(64, 'C'));
  TForm2 w(Store, Log, {}, Platform());
  EXPECT_EQ(w.Logic().SessTitle(), "No active session");
  EXPECT_EQ(w.Logic().StatusText(), "Connecting to server...");
  EXPECT_TRUE(w.Logic().Unattended());
  EXPECT_TRUE(w.Logic().KeepIDOn());
  EXPECT_FALSE(w.ConnectButton()->isEnabled());
  EXPECT_EQ(w.PartnerBox()->maxLength(), 11);
  EXPECT_EQ(w.minimumSize(), w.size());
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    EXPECT_LE(w.width(), s->availableGeometry().width());
    EXPECT_LE(w.height(), s->availableGeometry().height());
  }
  // Enter in the box does nothing while Connect is disabled (not yet online).
  w.PartnerBox()->setText("123 456 789");
  QTest::keyClick(w.PartnerBox(), Qt::Key_Return);
  EXPECT_EQ(w.Logic().SessTitle(), "No active session");
  const std::string log = test::ReadFile(Store.Paths().LogPath);
  EXPECT_NE(log.find("--- Tovik started (build "), std::string::npos);
  EXPECT_NE(log.find("Server 127.0.0.1:9; log file " + Store.Paths().LogPath), std::string::npos);
  EXPECT_NE(log.find("Unattended access turned on"), std::string::npos);
}

// Pictures of the window as a helped PC sees it in a session and as an idle helper, in both looks.
TEST_F(MainWindow, Screenshots) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "screenshots are taken on an X display (QT_QPA_PLATFORM=xcb)";
  const QString dir = QStringLiteral(TOVIK_SHOT_DIR);
  QDir().mkpath(dir);
  TForm2 w(Store, Log, {}, Platform());
  w.show();
  IMainView& v = w;
  for (int mode : {1, 2}) {
    w.SetThemeMode(mode);
    v.ShowID("482 913 507");
    v.SetConnectEnabled(true);
    v.SetStatus(KColGreen, "Online, secure connection");
    v.SetHostState("Valid for 9:41. Give it to your helper; it works once.");
    v.SetHint("Type the ID of the PC you want to help, or pick a saved PC.", KColMuted);
    v.SetSessionDisplay(KColGrey, "No active session", "Sessions are encrypted end to end with AES-256");
    QTest::qWait(50);
    ASSERT_TRUE(w.grab().toImage().save(dir + (mode == 1 ? "/main-day.png" : "/main-night.png")));
    v.SetToolsButton(true);
    v.SetConnectCaption("Disconnect");
    v.SetHostState("Anna Berg is helping this PC.");
    v.SetHint("Enter the 9-digit ID of the other PC.", KColRed);
    v.SetSessionDisplay(KColGreen, "Connected to 315 770 204  |  Check number 482 913",
                        "Anna Berg is helping this PC. Direct link, AES-256 encrypted.");
    QTest::qWait(50);
    ASSERT_TRUE(w.grab().toImage().save(dir + (mode == 1 ? "/main-session-day.png" : "/main-session-night.png")));
    v.SetToolsButton(false);
    v.SetConnectCaption("Connect");
  }
  ApplyTheme(false);
}

}  // namespace
}  // namespace tovik
