// The main window built for real (offscreen, or on X for the screenshots): its start state from the
// settings, its size, its client on the backend handed in and run by the one Qt driver, the status
// file of its test probe, and pictures of it in Day and Night for a person to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QTest>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "tests/base/TestTempDir.h"
#include "tests/app/TempSettingsPaths.h"
#include "app/ui/TovikButtons.h"
#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"
#include "tests/app/UiShotChecks.h"
#include "book/ui/TovikRecentPicker.h"
#include "tests/app/UiTestApp.h"
#include "app/TovikMainBook.h"
#include "app/TovikMainClient.h"
#include "app/TovikQtDriver.h"
#include "app/TovikMainRecords.h"
#include "app/TovikMainSession.h"
#include "app/TovikSessionTabs.h"
#include "session/ui/TovikViewer.h"
#include <QTabBar>
#include <QTabWidget>
#include "app/Unit2.h"
#include "records/ui/TovikRecordForms.h"
#include "crypto/TovikPassword.h"
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
  // A backend that goes nowhere and keeps what the client asked of it.
  struct TRecordingBackend final : TNullBackend {
    IRxSink* Sink = nullptr;
    int Sockets = 0;
    std::vector<std::string> Resolved;
    std::unique_ptr<IUdpSocket> CreateUdp(IRxSink& ASink) override {
      Sink = &ASink;
      ++Sockets;
      return TNullBackend::CreateUdp(ASink);
    }
    bool Resolve(const std::string& h, std::string& ip, std::string& e) override {
      Resolved.push_back(h);
      return TNullBackend::Resolve(h, ip, e);
    }
  };
  test::TTempDir Dir;
  TIniText BuiltIn;
  TSettingsStore Store;
  TLogWriter Log;
};

TEST_F(MainWindow, StartsFromTheSettingsAndKeepsItsStartSizeAsMinimum) {
  Store.WriteSwitch("Session", "Unattended", true);
  Store.WriteText("Session", "UnattendedPassword",
                  FormatPasswordVerifier(MakePasswordVerifier("correct horse", kPasswordMinIterations)));
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

// Saves the picture of the main window and checks it: the page in the look's colour at the window's
// edge, no text cut by its widget, and each of ATexts shown by a visible widget with ink where it is.
void CheckShot(TForm2& w, const QString& path, std::initializer_list<const char*> ATexts) {
  const QImage img = test::Shot(w);
  ASSERT_TRUE(img.save(path));
  const std::string name = path.toStdString();
  EXPECT_EQ(test::Rgb(img, 1, img.height() / 2), Ui().Page.rgb() & 0xFFFFFF) << name;
  for (const std::string& cut : test::ClippedTexts(w)) ADD_FAILURE() << name << ": " << cut;
  for (const char* text : ATexts) {
    QWidget* shown = nullptr;
    for (QWidget* c : w.findChildren<QWidget*>()) {
      if (!c->isVisibleTo(&w)) continue;
      const auto* l = qobject_cast<QLabel*>(c);
      const auto* b = qobject_cast<TUiButton*>(c);
      const auto* bb = qobject_cast<TBarButton*>(c);
      if ((l && l->text().contains(QString::fromUtf8(text))) || (b && b->Caption() == QString::fromUtf8(text)) ||
          (bb && bb->Caption() == QString::fromUtf8(text)))
        shown = c;
    }
    ASSERT_TRUE(shown) << name << ": no visible widget shows " << text;
    const QRect at(shown->mapTo(&w, QPoint(0, 0)), shown->size());
    const QRgb back = test::Rgb(img, at.left() + 1, at.top() + 1);
    EXPECT_GT(test::InkShare(img, at, back), 0.01) << name << ": " << text;
  }
}

// The relay asks for a session report: a checked request opens the form once per reference, a
// malformed one is logged and ignored, and a saved report waits in PendingReports.txt.
TEST_F(MainWindow, ReportRequestsFromTheRelayOpenTheReportForm) {
  TForm2 w(Store, Log, {}, Platform());
  w.Records().HandleReply("REPORTASK ../x 1700000000 1700000600 600 123456789");
  w.Records().HandleReply("REPORTASK 77 1700000000 1700000600 600 123456789");
  w.Records().HandleReply("REPORTASK 77 1700000000 1700000600 600 123456789");
  QCoreApplication::processEvents();
  TReportForm* form = w.Records().OpenReport();
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->Ask().Ref, "77");
  EXPECT_EQ(Store.ReadText("Reports", "Wanted"), "1");
  EXPECT_NE(test::ReadFile(Store.Paths().LogPath).find("Session report: request ignored: REPORTASK ../x"),
            std::string::npos);
  form->Customer()->setText("ACME");
  form->Save();
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(w.Records().OpenReport(), nullptr) << "the repeated reference was not queued";
  ASSERT_EQ(w.Records().Queue().Items().size(), 1u);
  EXPECT_NE(test::ReadFile(Store.Paths().UserFolder + "/PendingReports.txt").find("\t(none)\t"), std::string::npos);
  EXPECT_NE(test::ReadFile(Store.Paths().LogPath).find("Session report: saved for 123 456 789"), std::string::npos);
}

// After extra sessions the program asks by itself, once a relay has asked for reports: only for
// sessions of at least 30 seconds, with the reference "-".
TEST_F(MainWindow, ExtraSessionsAskForALocalReportOnceReportsAreWanted) {
  {
    TForm2 w(Store, Log, {}, Platform());
    w.Records().AskLocalReport("123456789", 1700000000, 1700000600);
    QCoreApplication::processEvents();
    EXPECT_EQ(w.Records().OpenReport(), nullptr) << "no relay has asked for reports";
  }
  Store.WriteText("Reports", "Wanted", "1");
  TForm2 w(Store, Log, {}, Platform());
  w.Records().AskLocalReport("123456789", 1700000000, 1700000029);
  w.Records().AskLocalReport("", 1700000000, 1700000600);
  QCoreApplication::processEvents();
  EXPECT_EQ(w.Records().OpenReport(), nullptr) << "29 seconds, or no helped PC";
  w.Records().AskLocalReport("123456789", 1700000000, 1700000030);
  QCoreApplication::processEvents();
  TReportForm* form = w.Records().OpenReport();
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->Ask().Ref, "-");
  EXPECT_EQ(form->Ask().Seconds, 30);
  EXPECT_EQ(form->Ask().HelpedID, "123456789");
}

TEST_F(MainWindow, SavedPCsFromTheSettingsShowInThePickerAndFillThePartnerBox) {
  Store.WriteSection("Recent", {{"Count", "2"}, {"Id0", "123456789"}, {"Name0", "Shop"}, {"Id1", "987 654 321"}});
  TForm2 w(Store, Log, {}, Platform());
  ASSERT_NE(w.Picker(), nullptr);
  EXPECT_EQ(w.Book().List().Lines(), (std::vector<std::string>{"123456789=Shop", "987654321="}));
  EXPECT_TRUE(w.Picker()->isVisibleTo(&w));
  // Between the partner box and Connect, not over either.
  const QRect picker = w.Picker()->geometry();
  const QRect box = w.PartnerBox()->parentWidget()->geometry();
  const QRect connect = w.ConnectButton()->geometry();
  EXPECT_GE(picker.top(), box.bottom());
  EXPECT_LE(picker.bottom(), connect.top());
  EXPECT_EQ(w.Picker()->SyncText(), "Sync is off.");
  w.Picker()->Pick("987654321");
  EXPECT_EQ(w.PartnerBox()->text(), "987 654 321");
  // Connecting to an ID makes it the newest saved PC.
  ASSERT_TRUE(w.Logic().OnConnecting);
  w.Logic().OnConnecting("555666777");
  EXPECT_EQ(w.Book().List().Lines().front(), "555666777=");
  EXPECT_NE(test::ReadFile(Store.Paths().UserIni).find("Id0=555666777"), std::string::npos);
  // The window goes with its drop-down open.
  w.Picker()->DropDown();
  EXPECT_TRUE(w.Picker()->DroppedDown());
  EXPECT_EQ(w.Picker()->Popup()->parentWidget(), &w);
}

// A viewer's events that only note a close request (the session would then end and free the window).
struct TCloseNotes final : IViewerEvents {
  int Closes = 0;
  void OnInput(const TInputEvent&) override {}
  void OnUserClose() override { ++Closes; }
};

// With tabs on (the default) a helper's viewer becomes a tab of the main window: through the session
// core for the primary session, captioned with the saved name; the first tab enlarges the window and
// the last one leaving puts it back, also after it was maximized in between; a middle click asks only
// that tab's viewer to close.
TEST_F(MainWindow, ViewersDockAsTabsAndTheWindowReturnsAfterTheLast) {
  Store.WriteSection("Recent", {{"Count", "1"}, {"Id0", "315770204"}, {"Name0", "Anna's laptop"}});
  TForm2 w(Store, Log, {}, Platform());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  ASSERT_TRUE(w.Tabbed());
  EXPECT_FALSE(w.Pages()->tabBar()->isVisible()) << "no tab row without session tabs";
  const QRect before = w.geometry();

  // The primary session's viewer, made by the session core, goes to the hook instead of a window.
  w.Sessions().Create(true, std::nullopt);
  QPointer<TViewerForm> primary = w.Sessions().Viewer().Form;
  ASSERT_TRUE(primary);
  EXPECT_FALSE(primary->isWindow());
  EXPECT_EQ(w.Tabs()->Count(), 1);
  EXPECT_EQ(w.Tabs()->ActiveViewer(), primary.data());
  EXPECT_TRUE(w.Pages()->tabBar()->isVisible());
  const QRect work = w.screen()->availableGeometry();
  EXPECT_GE(w.width(), std::min(work.width() - 40, 1400));
  EXPECT_GE(w.height(), std::min(work.height() - 40, 920));

  // A second helped PC, docked by the hook with its saved name.
  TCloseNotes notes;
  QPointer<TViewerForm> second = new TViewerForm(QStringLiteral("Tovik - 315 770 204"));
  second->SetEvents(&notes);
  w.DockViewer(*second, "315 770 204");
  ASSERT_EQ(w.Pages()->count(), 3);
  EXPECT_EQ(w.Pages()->tabText(2), "  Anna's laptop (315 770 204)  ");
  EXPECT_EQ(w.Pages()->currentIndex(), 2);
  QTest::qWait(20);
  EXPECT_EQ(second->size(), w.Pages()->currentWidget()->size()) << "the viewer fills its tab";

  // Middle click on the second tab: only its viewer is asked to close.
  QTabBar* bar = w.Pages()->tabBar();
  QTest::mouseClick(bar, Qt::MiddleButton, {}, bar->tabRect(2).center());
  EXPECT_EQ(notes.Closes, 1);
  EXPECT_EQ(w.Tabs()->Count(), 2);
  second->SetEvents(nullptr);
  second->FreeSafely();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !second; }, 5000));
  EXPECT_EQ(w.Tabs()->Count(), 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return w.Pages()->count() == 2; }, 5000)) << "its tab sheet goes too";

  // The last tab goes while the window is maximized: it returns to where it was.
  w.showMaximized();
  QTest::qWait(20);
  w.Sessions().Free();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !primary; }, 5000));
  EXPECT_EQ(w.Tabs()->Count(), 0);
  EXPECT_FALSE(w.Pages()->tabBar()->isVisible());
  EXPECT_EQ(w.Pages()->currentWidget(), w.HomeTab());
  EXPECT_FALSE(w.isMaximized());
  EXPECT_TRUE(QTest::qWaitFor([&] { return w.geometry() == before; }, 5000))
      << w.geometry().width() << "x" << w.geometry().height() << " instead of " << before.width() << "x"
      << before.height();
}

// "Show helped PCs as tabs" off: stored, said in the get-help card, and the next viewer is a window of
// its own; on again, the next one is a tab.
TEST_F(MainWindow, TabsOffGiveTheNextViewerItsOwnWindow) {
  TForm2 w(Store, Log, {}, Platform());
  ASSERT_TRUE(w.TabsMenuItem());
  EXPECT_TRUE(w.TabsMenuItem()->isChecked());
  w.TabsMenuItem()->trigger();
  EXPECT_FALSE(w.Tabbed());
  EXPECT_EQ(Store.ReadUserText("UI", "TabbedSessions", "<none>"), "0");
  bool said = false;
  for (const QLabel* l : w.findChildren<QLabel*>()) said |= l->text() == "This applies to the next PC you help.";
  EXPECT_TRUE(said);
  w.Sessions().Create(true, std::nullopt);
  ASSERT_TRUE(w.Sessions().Viewer().Form);
  EXPECT_TRUE(w.Sessions().Viewer().Form->isWindow());
  EXPECT_EQ(w.Tabs()->Count(), 0);
  w.Sessions().Free();
  w.TabsMenuItem()->trigger();
  EXPECT_EQ(Store.ReadUserText("UI", "TabbedSessions", "<none>"), "1");
  w.Sessions().Create(true, std::nullopt);
  ASSERT_TRUE(w.Sessions().Viewer().Form);
  EXPECT_FALSE(w.Sessions().Viewer().Form->isWindow());
  EXPECT_EQ(w.Tabs()->Count(), 1);
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
    CheckShot(w, dir + (mode == 1 ? "/main-day.png" : "/main-night.png"), {"482 913 507", "Valid for 9:41."});
    v.SetToolsButton(true);
    v.SetConnectCaption("Disconnect");
    v.SetHostState("Anna Berg is helping this PC.");
    v.SetHint("Enter the 9-digit ID of the other PC.", KColRed);
    v.SetSessionDisplay(KColGreen, "Connected to 315 770 204  |  Check number 482 913",
                        "Anna Berg is helping this PC. Direct link, AES-256 encrypted.");
    QTest::qWait(50);
    CheckShot(w, dir + (mode == 1 ? "/main-session-day.png" : "/main-session-night.png"),
              {"Anna Berg is helping this PC.", "Disconnect"});
    v.SetToolsButton(false);
    v.SetConnectCaption("Connect");
  }
  ApplyTheme(false);
}

// Pictures of the window with the home tab and two helped PCs docked, in Day and Night: every tab
// caption is drawn and fits its tab, the active tab shows its own viewer's picture where the viewer
// places it (the dark picture background around it), and the tab row and the home page take the look.
TEST_F(MainWindow, ScreenshotsWithTwoSessionTabs) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "screenshots are taken on an X display (QT_QPA_PLATFORM=xcb)";
  const QString dir = QStringLiteral(TOVIK_SHOT_DIR);
  QDir().mkpath(dir);
  Store.WriteSection("Recent", {{"Count", "1"}, {"Id0", "315770204"}, {"Name0", "Anna's laptop"}});
  TForm2 w(Store, Log, {}, Platform());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  // Two helped PCs with pictures of their own colours (a 16:10 and a 4:3 screen).
  const QRgb colours[2] = {qRgb(0xE0, 0x70, 0x20), qRgb(0x20, 0x90, 0x60)};
  const QSize sizes[2] = {QSize(1280, 800), QSize(1024, 768)};
  QPointer<TViewerForm> viewers[2];
  for (int i = 0; i < 2; ++i) {
    viewers[i] = new TViewerForm(QStringLiteral("Tovik - viewer"));
    QImage pic(sizes[i], QImage::Format_RGB32);
    pic.fill(colours[i]);
    viewers[i]->ShowPicture(pic);
    viewers[i]->SetSessionInfo(QStringLiteral("Connected"), QStringLiteral("Allow control"));
    w.DockViewer(*viewers[i], i == 0 ? "315 770 204" : "482 913 507");
  }
  ASSERT_EQ(w.Pages()->count(), 3);
  QTabBar* bar = w.Pages()->tabBar();
  for (int mode : {tmDay, tmNight}) {
    const bool dark = mode == tmNight;
    w.SetThemeMode(mode);
    for (int tab : {2, 1}) {
      w.Pages()->setCurrentIndex(tab);
      QTest::qWait(60);
      const QImage img = test::Shot(w);
      const QString name = dir + "/main-tabs-" + QString::number(tab) + (dark ? "-night.png" : "-day.png");
      ASSERT_TRUE(img.save(name));
      const std::string n = name.toStdString();
      // Captions: drawn, and as wide as their text.
      for (int i = 0; i < bar->count(); ++i) {
        const QString text = bar->tabText(i).trimmed();
        EXPECT_GE(bar->tabRect(i).width(), QFontMetrics(bar->font()).horizontalAdvance(text)) << n << ": " << text.toStdString();
        const QRect r = bar->tabRect(i).translated(bar->mapTo(&w, QPoint(0, 0)));
        EXPECT_GT(test::InkShare(img, r.adjusted(4, 4, -4, -4), img.pixel(r.left() + 2, r.top() + 2)), 0.02)
            << n << ": " << text.toStdString();
      }
      EXPECT_EQ(bar->tabText(1), "  Anna's laptop (315 770 204)  ");
      // The tab row beside the tabs is in the look's page colour family.
      const QPoint beside = bar->mapTo(&w, QPoint(bar->width() - 3, bar->height() / 2));
      EXPECT_EQ(qGray(img.pixel(beside)) < 128, dark) << n << ": the tab row";
      // The active tab's viewer: its picture where it places it, the picture background around it.
      TViewerForm* v = viewers[tab - 1];
      ASSERT_TRUE(v && v->isVisible()) << n;
      EXPECT_EQ(w.Tabs()->ActiveViewer(), v);
      const TVRect d = v->Dest();
      ASSERT_FALSE(d.Empty()) << n;
      const QPoint origin = v->mapTo(&w, QPoint(0, 0));
      const QRect picture(origin + QPoint(d.Left, d.Top), QSize(d.Width, d.Height));
      EXPECT_TRUE(QRect(QPoint(0, 0), w.size()).contains(picture)) << n << ": the picture is cut by the window";
      EXPECT_EQ(test::Rgb(img, picture.center().x(), picture.center().y()), colours[tab - 1] & 0xFFFFFF) << n;
      EXPECT_GT(1.0 - test::InkShare(img, picture.adjusted(2, 2, -2, -2), colours[tab - 1]), 0.99) << n;
      // The 4:3 picture leaves dark bands beside it in the wide tab.
      if (picture.left() - origin.x() > 4) {
        EXPECT_LT(qGray(img.pixel(origin.x() + 2, picture.center().y())), 64) << n << ": the picture background";
      }
      // The viewer fills its tab: the page's far corner is the viewer's dark picture background.
      QWidget* page = w.Pages()->currentWidget();
      const QPoint corner = page->mapTo(&w, QPoint(page->width() - 3, page->height() - 3));
      EXPECT_LT(qGray(img.pixel(corner)), 64) << n << ": the viewer does not fill its tab";
      // The viewer's tool bar with its captions.
      for (const std::string& cut : test::ClippedTexts(*v)) ADD_FAILURE() << n << ": " << cut;
    }
  }
  ApplyTheme(false);
}

// The window's client sits on the backend the platform services hand in (no real socket), starts at
// once, and is run by the window's one driver: at its main tick, and at once when data arrives.
TEST_F(MainWindow, ClientRunsOnTheInjectedBackendThroughTheQtDriver) {
  TRecordingBackend* backend = nullptr;
  TPlatformServices p;
  p.NetBackend = [&backend] {
    auto b = std::make_unique<TRecordingBackend>();
    backend = b.get();
    return b;
  };
  TForm2 w(Store, Log, {}, p);
  ASSERT_NE(backend, nullptr);
  EXPECT_EQ(&w.ClientHost().Backend(), backend);
  EXPECT_EQ(backend->Sockets, 1);
  EXPECT_EQ(backend->Resolved, std::vector<std::string>{"127.0.0.1"});
  TTovikClient& c = w.ClientHost().Client();
  EXPECT_TRUE(c.Started());
  EXPECT_EQ(c.LocalPort(), 50000);
  EXPECT_TRUE(w.Driver().Drives(c));
  EXPECT_TRUE(w.Driver().Armed());
  EXPECT_LE(w.Driver().NextDeadline(), c.NextDeadline());

  // A datagram from the socket's thread: the client is due at once and the driver runs it.
  ASSERT_NE(backend->Sink, nullptr);
  std::thread rx([&] { backend->Sink->PushRx(TRxPacket{BytesOf("x"), "198.51.100.9", 1}); });
  rx.join();
  EXPECT_TRUE(c.RxWaiting());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !c.RxWaiting(); }, 1000));
}

// The status file of TOVIK_TEST_STATUS: the same keys in the same order as the demo and the end-to-end
// tests read them.
TEST_F(MainWindow, TestProbeWritesTheStatusFile) {
  const std::string path = Dir / "status.txt";
  ::setenv("TOVIK_TEST_STATUS", path.c_str(), 1);
  {
    TForm2 w(Store, Log, {}, Platform());
    ::unsetenv("TOVIK_TEST_STATUS");
    const std::string text = test::ReadFile(path);
    std::vector<std::string> keys;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      keys.push_back(line.substr(0, line.find('=')));
      at = end == std::string::npos ? text.size() : end + 1;
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "id_shown", "state", "status", "session", "check", "detail",
                                              "hint", "hoststate", "caption", "viewer", "allowed", "frames",
                                              "first_picture_ms", "stopbar", "notice", "own_windows", "partner_xy",
                                              "connect_xy", "unattended_xy", "keepid_xy", "stop_xy", "chat_xy",
                                              "sendfiles_xy", "chat_last", "tabs", "tabs_xy", "active_viewer", "gui_frame_ms"}));
    EXPECT_NE(text.find("id=0\n"), std::string::npos);
    EXPECT_NE(text.find("state=offline\n"), std::string::npos);
    EXPECT_NE(text.find("status=Connecting to server...\n"), std::string::npos);
    EXPECT_NE(text.find("caption=Connect\n"), std::string::npos);
    EXPECT_NE(text.find("frames=0\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  ::unsetenv("TOVIK_TEST_STATUS");
}

// The hooks are in every build: they write nothing into a folder another user can change.
TEST_F(MainWindow, TestProbeRefusesAFolderOthersCanWrite) {
  const std::string shared = Dir / "shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  const std::string path = shared + "/status.txt";
  ::setenv("TOVIK_TEST_STATUS", path.c_str(), 1);
  {
    TForm2 w(Store, Log, {}, Platform());
    ::unsetenv("TOVIK_TEST_STATUS");
    EXPECT_FALSE(test::Exists(path));
  }
  ::unsetenv("TOVIK_TEST_STATUS");
}

// The Qt driver: one single-shot timer armed to the earliest deadline of its objects.
TEST(QtTimedDriver, ArmsToTheEarliestDeadlineAndWakesFromAnyThread) {
  test::EnsureApp();
  struct TTicker final : ITimedObject {
    explicit TTicker(TTick period) : Tick(period) {}
    TPeriodicTick Tick;
    int Runs = 0;
    TTick NextDeadline() const override { return Tick.Due(); }
    void HandleTimeout(TTick now) override {
      if (Tick.Fire(now)) ++Runs;
    }
  };
  TQtTimedDriver d;
  EXPECT_FALSE(d.Armed());
  TTicker fast(20), slow(60'000);
  fast.Tick.Start(TickMs());
  slow.Tick.Start(TickMs());
  d.Add(slow);
  d.Add(fast);
  EXPECT_TRUE(d.Armed());
  EXPECT_EQ(d.NextDeadline(), fast.Tick.Due());
  EXPECT_TRUE(QTest::qWaitFor([&] { return fast.Runs >= 3; }, 2000));
  EXPECT_EQ(slow.Runs, 0);
  d.Remove(fast);
  EXPECT_EQ(d.NextDeadline(), slow.Tick.Due());
  d.Remove(slow);
  EXPECT_FALSE(d.Armed());

  // A deadline moved by another thread (as data arriving does): Wake re-arms on the GUI thread.
  struct TFlag final : ITimedObject {
    std::atomic<bool> Due{false};
    std::atomic<int> Runs{0};
    TTick NextDeadline() const override { return Due ? 0 : kNoDeadline; }
    void HandleTimeout(TTick) override {
      Due = false;
      ++Runs;
    }
  } flag;
  d.Add(flag);
  EXPECT_FALSE(d.Armed());
  std::thread other([&] {
    flag.Due = true;
    for (int i = 0; i < 1000; ++i) d.Wake();  // a flood of datagrams
  });
  other.join();
  EXPECT_TRUE(QTest::qWaitFor([&] { return flag.Runs == 1; }, 1000));
  EXPECT_FALSE(d.Armed());
  EXPECT_EQ(d.WakesHandled(), 1u);  // folded into one posted event
  d.Remove(flag);
}

}  // namespace
}  // namespace tovik
