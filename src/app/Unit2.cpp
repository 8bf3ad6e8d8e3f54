#include "app/Unit2.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSysInfo>
#include <QDateTime>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/TovikMainBook.h"
#include "app/TovikMainClient.h"
#include "app/TovikMainRecords.h"
#include "app/TovikMainSession.h"
#include "app/TovikMainUpdates.h"
#include "app/TovikQtDriver.h"
#include "app/TovikSettingsForm.h"
#include "app/TovikPictures.h"
#include "app/TovikServerBrand.h"
#include "app/TovikSessionTabs.h"
#include "session/ui/TovikViewer.h"
#include "session/TovikHelperLink.h"
#include "session/ui/TovikConsent.h"
#include "app/TovikTrayMode.h"
#include "app/TovikUpdaterPort.h"
#include "app/ui/TovikGuiPost.h"
#include "crypto/TovikCrypto.h"
#include "app/TovikTestProbe.h"
#include "app/ui/TovikTheme.h"
#include "book/ui/TovikRecentPicker.h"
#include "book/ui/TovikSyncDialog.h"
#include "book/TovikRecent.h"
#include "session/TovikSessionHistory.h"
#include "app/ui/TovikUi.h"
#include "net/TovikNet.h"
#include "net/TovikSocket.h"
#include "update/TovikUpdate.h"
#include "diag/ui/TovikDiagForm.h"
#include "records/ui/TovikHistoryForm.h"
#include "session/ui/TovikPasswordForm.h"

namespace tovik {

namespace {

constexpr int kColumn = 768;     // the header's and the cards' column
constexpr int kHeaderH = 92;
constexpr int kStatusH = 28;
constexpr int kCardsH = 332;
constexpr int kCardW = 350, kCardH = 300;
constexpr std::uint32_t kPage = 0xEEF1F6, kEditBack = 0xF1F4F8;
constexpr char16_t kGlyphConnect = glyph::Connect, kGlyphDisconnect = 0xE711;
// The theme switch's segments from left to right, and the [UI] Theme value of each.
constexpr int kSegmentMode[3] = {tmDay, tmAuto, tmNight};
int SegmentOf(int AMode) {
  for (int i = 0; i < 3; ++i)
    if (kSegmentMode[i] == AMode) return i;
  return 1;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }
QColor Rgb(std::uint32_t c) { return QColor(QRgb(c)); }

// A label with a fixed place inside its parent (logical pixels), its font and its day ink.
QLabel* MakeLabel(QWidget* parent, const QString& text, int px, bool semibold, std::uint32_t ink, bool wrap = false) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);
  l->setFont(UiFont(px, semibold, parent));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, Rgb(ink));
  l->setPalette(p);
  l->setWordWrap(wrap);
  l->setAlignment(Qt::AlignLeft | (wrap ? Qt::AlignTop : Qt::AlignVCenter));
  return l;
}

void Place(QWidget* w, int x, int y, int width, int height) {
  QWidget* ref = w->parentWidget() ? w->parentWidget() : w;
  w->setGeometry(Px(ref, x), Px(ref, y), Px(ref, width), Px(ref, height));
}

// Children of a card are placed relative to the card's body, inside its shadow inset.
void PlaceInCard(QWidget* w, int x, int y, int width, int height) {
  Place(w, x + TUiCard::Inset, y + TUiCard::Inset, width, height);
}

void SetInk(QLabel* l, const QColor& c) {
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, c);
  l->setPalette(p);
}

}  // namespace

// The [ServerBrand] keys in the per-user settings file.
class TForm2::TBrandSettings final : public IBrandSettings {
 public:
  explicit TBrandSettings(const TSettingsStore& AStore) : FStore(AStore) {}
  std::string Read(const std::string& AKey) const override { return FStore.ReadText("ServerBrand", AKey); }
  void Write(const std::string& AKey, const std::string& AValue) override {
    FStore.WriteText("ServerBrand", AKey, AValue);
  }

 private:
  const TSettingsStore& FStore;
};

// ---- construction ---------------------------------------------------------------------------------

TForm2::TForm2(const TSettingsStore& AStore, const TLogWriter& ALog, const TRunSwitches& ASwitches,
               TPlatformServices APlatform)
    : FStore(AStore), FLogFile(ALog), FPlatform(std::move(APlatform)), FSwitches(ASwitches) {
  FStore.EnsureUserFolder();
  FTrayMode = ASwitches.Tray;
  FTrayAvailable = FPlatform.TrayAvailable && FPlatform.TrayAvailable();
  FElevated = FPlatform.Elevated && FPlatform.Elevated();
  if (FPlatform.Autostart) FAutostart = FPlatform.Autostart(FStore.Paths().UserFolder, FStore.Paths().ProgramFile);
  AskFn = [this](const QString& AText) {
    return QMessageBox::question(this, windowTitle(), AText, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  };
  const TFileResult secrets = FStore.KeepSecretsPrivate();
  FBuild = BuildNumberText(FStore.Paths().ProgramFile);
  FLocalBrand = FStore.LocalBranding();
  const TLocalBranding& brand = FLocalBrand;
  setWindowTitle(Q(brand.CaptionName + " - Remote assistance - build " + FBuild +
                   (FElevated ? " (administrator)" : "")));
  Log("--- Tovik started (build " + FBuild + ") ---");
  if (!secrets) Log("Could not make the settings file private to this user: " + secrets.Error);
  SetAccent(Rgb(brand.Accent.Color), Rgb(brand.Accent.Darker));
  FThemeMode = FStore.Theme();
  FTabbed = FStore.ReadSwitch("UI", "TabbedSessions");

  FProbe = std::make_unique<TMainTestProbe>(TMainTestProbe::FromEnvironment());
  FProbe->StartPace();

  FUiTimer.setInterval(1000);
  connect(&FUiTimer, &QTimer::timeout, this, &TForm2::UiTick);

  BuildMenu();
  BuildLayout();
  BuildTray();

  // Size at start (also the smallest size): the column and the cards, never larger than the work area.
  QRect work(0, 0, 1920, 1080);
  if (QScreen* scr = QGuiApplication::primaryScreen()) work = scr->availableGeometry();
  const TSizeI size = StartWindowSize({work.width(), work.height()}, PxF(this, 1000) / 1000.0, 0,
                                      menuBar()->sizeHint().height());
  setMinimumSize(size.W, size.H);
  resize(size.W, size.H);

  FTheme = new TThemeSwitch(FPlatform.DesktopTheme ? FPlatform.DesktopTheme() : nullptr, this);
  FTheme->OnApplied = [this](bool) { ApplyColours(); };
  FThemeSwitch->SetItemIndex(SegmentOf(FThemeMode));

  // The relay endpoint, the pinned key and the TCP fallback ports, then the client and the session.
  const TRelayEndpoint relay = FStore.RelayEndpoint();
  TcpPortsText = FStore.TcpPortsText();
  const std::string server = relay.Host + ":" + std::to_string(relay.Port);
  Log("Server " + server + "; log file " + FLogFile.Path());
  FDriver = std::make_unique<TQtTimedDriver>();
  FClientHost = std::make_unique<TMainClientHost>(FPlatform.NetBackend ? FPlatform.NetBackend() : nullptr, relay);
  FSession =
      std::make_unique<TMainSessions>(FClientHost->Client(), FStore, FStore.Paths().LogPath, FPlatform, *FDriver);
  FLogic = std::make_unique<TMainLogic>(FStore, *this, [this](std::string_view l) { Log(l); });
  FLogic->Attach(&FClientHost->Seam(), FSession.get());
  FLogic->SetTabbed(FTabbed);
  InstallDockHook(*FSession);
  FProbe->Watch({&FClientHost->Client(), FLogic.get(), FSession.get(), LblIDNumber, LblHostState, EdtPartnerID,
                 BtnConnect, ChkUnattended, ChkKeepID, FTabs});
  FSession->OnHelperInfo = [this] { FLogic->OnHelperInfo(); };
  FSession->OnAllowed = [this] {
    FLogic->OnAllowed();
    FProbe->WriteStatus();
  };
  FSession->OnFirstPicture = [this] {
    FProbe->FirstPicture(TickMs());
    FProbe->WriteStatus();
  };
  FStatusBar->SetLeft(Q("Server " + server), QString(), Rgb(KColAmber));
  BuildSavedPCs();
  FLogic->Startup(server);
  StartClient();
  // Session reports and feedback: their relay lines, the report queue and the feedback sender.
  FRecords = std::make_unique<TMainRecords>(FClientHost->Client(), FStore, *FDriver,
                                            [this](const std::string& l) { Log(l); }, FBuild, this);
  FClientHost->Client().OnReply = [records = FRecords.get()](const std::string& line) { records->HandleReply(line); };
  StartUpdater();
  // The relay's branding: its name and logo in the header and on the consent dialog.
  FBrandFiles = std::make_unique<TPlainBrandFiles>();
  FBrandSettings = std::make_unique<TBrandSettings>(FStore);
  FBrand = std::make_unique<TServerBrand>(*FBrandSettings, *FBrandFiles, FStore.Paths().UserFolder,
                                          [this](std::string_view l) { Log(l); },
                                          [this](const std::string& ALine) {
                                            FClientHost->Client().SendBookCommand(ALine);  // any relay command of a feature
                                            FDriver->Rearm();
                                          });
  FBrand->OnChanged = [this] { ApplyBranding(); };
  FClientHost->Client().OnBrand = [this](const std::string& ALine) { FBrand->HandleLine(ALine, TickMs()); };
  ApplyBranding();
  FUiTimer.start();
  CheckService();

  SetThemeMode(FThemeMode);
  EdtPartnerID->setFocus();
  FProbe->WriteStatus();
}

TForm2::~TForm2() {
  FUiTimer.stop();
  FTabs->OnCountChanged = nullptr;
  FTabs->Detach();
  FSession->Dock = nullptr;
  FUpdaterPort = nullptr;
  FOwnUpdaterPort.reset();
  FUpdater.reset();  // a running check's outcome is dropped
  FLogic->SetClosing();
  FLogic->OnConnecting = nullptr;
  FClientHost->Client().OnBook = nullptr;
  delete FPicker;
  FPicker = nullptr;
  FBook.reset();
  FProbe->Watch({});
  for (auto& link : FLinks) {
    FDriver->Remove(link->Client());
    FDriver->Remove(*link);
  }
  FLinks.clear();  // ends the extra sessions (BYE to their PCs)
  FSession.reset();  // frees the session and takes its ticks off the driver
  FLogic->Attach(nullptr, nullptr);
  FClientHost->Client().OnReply = nullptr;
  FClientHost->Client().OnBrand = nullptr;
  FRecords.reset();  // takes the report queue and the feedback sender off the driver
  FDriver->Remove(FClientHost->Client());
  FClientHost.reset();  // detaches the client's events, then BYE to the partner and the relay
  FDriver.reset();
}

// Wires the client's events to the logic and the view, starts it and hands it to the driver; data
// that arrives makes the driver run the client at once.
void TForm2::StartClient() {
  TMainClientHost::THooks hooks;
  hooks.Changed = [this] { FProbe->WriteStatus(); };
  hooks.RelayStatus = [this] {
    FStatusBar->SetLeft(FStatusBar->LeftText(), Q(FLogic->ServerResult()), LookInk(Rgb(FStatusColour)));
  };
  hooks.Log = [this](const std::string& t) { Log(t); };
  FClientHost->Wire(*FLogic, std::move(hooks));
  FClientHost->Client().OnBook = [this](const std::string& ALine) { FBook->Sync().HandleLine(ALine); };
  FClientHost->Client().SetRxWake([driver = FDriver.get()] { driver->Wake(); });
  std::string error;
  if (!FClientHost->Start(TickMs(), error)) {
    FLogic->StartFailed(error);
    return;
  }
  FDriver->Add(FClientHost->Client());
}

// ---- menu -----------------------------------------------------------------------------------------

void TForm2::BuildMenu() {
  QMenu* sessions = menuBar()->addMenu(QStringLiteral("&Sessions"));
  QAction* another = sessions->addAction(QStringLiteral("Help &another PC..."));
  another->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
  connect(another, &QAction::triggered, this, [this] {
    if (!FLogic->Online()) {
      FLogic->HelpAnother(std::nullopt);
      return;
    }
    bool ok = false;
    const QString answer = QInputDialog::getText(this, QStringLiteral("Help another PC"),
                                                 QStringLiteral("ID of the other PC to help as well (9 digits):"),
                                                 QLineEdit::Normal, QString(), &ok);
    FLogic->HelpAnother(ok ? std::optional<std::string>(answer.toStdString()) : std::nullopt);
  });
  sessions->addSeparator();
  QAction* history = sessions->addAction(QStringLiteral("Session &history..."));
  history->setShortcut(QKeySequence(QStringLiteral("Ctrl+H")));
  connect(history, &QAction::triggered, this, [this] { OpenHistory(); });
  sessions->addSeparator();
  connect(sessions->addAction(QStringLiteral("E&xit")), &QAction::triggered, this, [this] {
    FReallyExit = true;
    close();
  });

  QMenu* options = menuBar()->addMenu(QStringLiteral("&Options"));
  QAction* settings = options->addAction(QStringLiteral("&Settings..."));
  settings->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
  connect(settings, &QAction::triggered, this, [this] { OpenSettings(""); });
  QAction* tabs = options->addAction(QStringLiteral("Show helped PCs as &tabs"));
  tabs->setCheckable(true);
  tabs->setChecked(FTabbed);
  FTabsItem = tabs;
  connect(tabs, &QAction::triggered, this, [this, tabs] { SetTabbed(tabs->isChecked()); });
  options->addSeparator();
  connect(options->addAction(QStringLiteral("S&ync saved PCs with my other PCs...")), &QAction::triggered, this,
          [this] { Defer(daSyncDialog); });

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  connect(help->addAction(QStringLiteral("Check for &updates...")), &QAction::triggered, this,
          [this] {
            if (FUpdaterPort) FUpdaterPort->CheckNow();
            OpenSettings("Updates");
          });
  connect(help->addAction(QStringLiteral("&Test the connection...")), &QAction::triggered, this,
          [this] { OpenConnectionTest(); });
  help->addSeparator();
  connect(help->addAction(QStringLiteral("Request a &feature...")), &QAction::triggered, this, [this] {
    if (FRecords)
      FRecords->OpenFeedback();
    else
      NotYet(QStringLiteral("Sending feedback"));
  });
  help->addSeparator();
  connect(help->addAction(QStringLiteral("&About...")), &QAction::triggered, this,
          [this] { TAboutBox::Execute(LblTitle->text(), Q(FBuild), QString(), this); });
}

void TForm2::OpenHistory() {
  if (!FHistory)
    FHistory = new THistoryForm(
        FStore.Paths().UserFolder + "/" + std::string(kSessionsFileName),
        [this] { return RecentNames(FBook->List().Lines()); }, nullptr, this);
  FHistory->Open();
}

void TForm2::OpenConnectionTest() {
  if (!FPlatform.DiagNet) return NotYet(QStringLiteral("The connection test"));
  if (FDiag) {
    FDiag->raise();
    FDiag->activateWindow();
    return;
  }
  const TTovikClient& c = FClientHost->Client();
  const TRelayEndpoint relay = FStore.RelayEndpoint();
  TDiagSetup setup;
  setup.Host = relay.Host;
  setup.UdpPort = static_cast<std::uint16_t>(relay.Port);
  setup.TcpPorts = c.TcpPorts();
  setup.KeyHex = c.RelayKey().empty() ? relay.Key : BytesToHex(c.RelayKey());
  setup.Build = FBuild;
  setup.System = QSysInfo::prettyProductName().toStdString() + " (" + QSysInfo::kernelVersion().toStdString() + ")";
  setup.UpdateUrl = FStore.UpdateUrl();
  if (const std::string stun = FStore.ReadText("Diag", "Stun1"); !stun.empty()) setup.Stun1 = stun;
  if (const std::string stun = FStore.ReadText("Diag", "Stun2"); !stun.empty()) setup.Stun2 = stun;
  setup.State = "State: " + c.RelayStatus() + (c.MyID() != "0" ? ", ID " + FormatID(c.MyID()) : std::string());
  if (!c.PeerAddress().empty()) setup.LastLink = c.Transport() + " " + c.PeerAddress();
  FDiag = new TDiagForm(std::move(setup), FPlatform.DiagNet, this);
  FDiag->setAttribute(Qt::WA_DeleteOnClose);
  FDiag->move(frameGeometry().center() - QPoint(FDiag->width() / 2, FDiag->height() / 2));
  FDiag->show();
  FDiag->Run();
}

void TForm2::NotYet(const QString& AFeature) {
  Tell(AFeature + QStringLiteral(" is not available in this version yet."));
}

void TForm2::Tell(const QString& AText, bool AWarning) {
  QTimer::singleShot(0, this, [this, AText, AWarning] {
    if (AWarning)
      QMessageBox::warning(this, windowTitle(), AText);
    else
      QMessageBox::information(this, windowTitle(), AText);
  });
}

// ---- layout ---------------------------------------------------------------------------------------

void TForm2::BuildLayout() {
  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  setCentralWidget(central);
  // The page control: the home tab (header and body) and, while helped PCs are docked, one tab each.
  // The tab row shows only while there are session tabs.
  FPages = new QTabWidget(central);
  FPages->setDocumentMode(true);
  FPages->tabBar()->hide();
  outer->addWidget(FPages, 1);
  FHome = new QWidget;
  auto* column = new QVBoxLayout(FHome);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  FPages->addTab(FHome, QStringLiteral("  Tovik  "));
  FTabs = new TSessionTabs(FPages, FHome, this);
  FTabs->OnCountChanged = [this](int ACount) { TabsCountChanged(ACount); };

  auto pagePanel = [](QWidget* w) {
    w->setAutoFillBackground(true);
    QPalette p = w->palette();
    p.setColor(QPalette::Window, Rgb(kPage));
    w->setPalette(p);
  };

  // Header.
  PnlHeader = new QWidget(FHome);
  pagePanel(PnlHeader);
  PnlHeader->setFixedHeight(Px(this, kHeaderH));
  column->addWidget(PnlHeader);
  FLogoTile = new TUiLogoTile(PnlHeader);
  FLogoTile->SetGlyph(0xE7F4);
  LblTitle = MakeLabel(PnlHeader, QStringLiteral("Tovik"), 22, true, KColInk);
  LblSubtitle = MakeLabel(PnlHeader, QStringLiteral("Remote assistance, encrypted end to end"), 12, false, KColMuted);
  FThemeSwitch = new TUiSegmented(PnlHeader);
  FThemeSwitch->AddItem({glyph::Sun, QString::fromUtf8("\u2600"), QString(),
                         QStringLiteral("Day: always the light look"), QColor(0xF5, 0x9E, 0x0B)});
  FThemeSwitch->AddItem({0, QString(), QStringLiteral("Auto"),
                         QStringLiteral("Auto: follows the desktop, light or dark (its appearance settings)"),
                         QColor()});
  FThemeSwitch->AddItem({glyph::Moon, QString::fromUtf8("\u263E"), QString(),
                         QStringLiteral("Night: always the dark look"), QColor(0x63, 0x66, 0xF1)});
  FThemeSwitch->OnChange = [this] {
    FThemeMode = kSegmentMode[std::clamp(FThemeSwitch->ItemIndex(), 0, 2)];
    const TFileResult r = FStore.WriteInt("UI", "Theme", FThemeMode);
    if (!r) Log(SaveFailureLine(TSaveFailure::sfTheme, "", "", r.Error));
    Defer(daTheme);
  };
  FStatusPill = new TUiPill(QStringLiteral("Connecting to server..."), PnlHeader);
  BtnTools = new TUiButton(QStringLiteral("Chat & files"), PnlHeader);
  BtnTools->SetGlyph(glyph::Chat);
  BtnTools->SetKind(ubSecondary);
  BtnTools->OnClick = [this] { FSession->ShowTools(); };
  BtnTools->hide();

  // Body.
  FHomeBody = new QScrollArea(FHome);
  FHomeBody->setFrameShape(QFrame::NoFrame);
  FHomeBody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FHomeBody->verticalScrollBar()->setSingleStep(Px(this, 24));
  FHomeBody->setWidgetResizable(false);
  pagePanel(FHomeBody->viewport());
  column->addWidget(FHomeBody, 1);
  FHomeBody->viewport()->installEventFilter(this);
  PnlHeader->installEventFilter(this);
  FHomeFill = new QWidget;
  pagePanel(FHomeFill);
  FHomeBody->setWidget(FHomeFill);
  FHomeCards = new QWidget(FHomeFill);
  pagePanel(FHomeCards);

  // Get-help card.
  PnlGetHelp = new TUiCard(FHomeCards);
  Place(PnlGetHelp, 24 - TUiCard::Inset, 8 - TUiCard::Inset, kCardW + 2 * TUiCard::Inset,
        kCardH + 2 * TUiCard::Inset);
  PlaceInCard(MakeLabel(PnlGetHelp, QStringLiteral("Get help"), 20, true, KColInk), 24, 20, 180, 30);
  LblGetHelpHint = MakeLabel(PnlGetHelp, QStringLiteral("Give this ID to the person who helps you"), 12, false,
                             KColMuted, true);
  PlaceInCard(LblGetHelpHint, 24, 58, 302, 34);
  BtnAdmin = new TUiButton(QStringLiteral("Allow admin tasks"), PnlGetHelp);
  BtnAdmin->SetKind(ubSecondary);
  PlaceInCard(MakeLabel(PnlGetHelp, QStringLiteral("YOUR ID"), 11, true, KColMuted), 24, 96, 200, 16);
  LblIDNumber = MakeLabel(PnlGetHelp, QStringLiteral("--- --- ---"), 44, true, Accent().rgb() & 0xFFFFFF);
  PlaceInCard(LblIDNumber, 24, 110, 258, 58);
  LblIDNumber->setCursor(Qt::PointingHandCursor);
  LblIDNumber->setToolTip(QStringLiteral("Click to copy"));
  LblIDNumber->installEventFilter(this);
  BtnCopyID = new TUiButton(QStringLiteral("Copy"), PnlGetHelp);
  BtnCopyID->SetGlyph(glyph::Copy);
  BtnCopyID->SetKind(ubGhost);
  BtnCopyID->SetIconOnly(true);
  BtnCopyID->setToolTip(QStringLiteral("Copy the ID to the clipboard"));
  BtnCopyID->OnClick = [this] { FLogic->CopyID(); };
  PlaceInCard(BtnCopyID, 290, 121, 36, 36);
  LblHostState = MakeLabel(PnlGetHelp, QStringLiteral("Waiting for the server..."), 12, false, KColMuted, true);
  PlaceInCard(LblHostState, 24, 170, 302, 34);
  ImgHelper = new QLabel(PnlGetHelp);
  ImgHelper->setAlignment(Qt::AlignCenter);
  PlaceInCard(ImgHelper, 290, 169, 36, 36);
  ImgHelper->hide();
  ChkKeepID = new TUiToggle(QStringLiteral("Keep this ID (does not expire)"), PnlGetHelp);
  ChkKeepID->setToolTip(QStringLiteral("Keep this ID for this PC, so it stays valid until you switch this off "
                                       "(instead of a new one-time ID every 10 minutes)"));
  ChkKeepID->OnClick = [this] {
    if (!FSettingKeepID) FLogic->KeepIDChanged(ChkKeepID->Checked());
  };
  PlaceInCard(ChkKeepID, 21, 212, 305, 28);
  ChkUnattended = new TUiToggle(QStringLiteral("Unattended (no confirmation needed)"), PnlGetHelp);
  ChkUnattended->setToolTip(QStringLiteral("Let a helper connect without anyone here clicking Allow. A red bar still "
                                           "shows the whole time and you can press Stop."));
  ChkUnattended->OnClick = [this] {
    if (!FSettingUnattended) FLogic->UnattendedChanged(ChkUnattended->Checked());
  };
  PlaceInCard(ChkUnattended, 21, 246, 305, 28);

  // Deliver-help card.
  PnlDeliverHelp = new TUiCard(FHomeCards);
  Place(PnlDeliverHelp, 394 - TUiCard::Inset, 8 - TUiCard::Inset, kCardW + 2 * TUiCard::Inset,
        kCardH + 2 * TUiCard::Inset);
  PlaceInCard(MakeLabel(PnlDeliverHelp, QStringLiteral("Deliver help"), 20, true, KColInk), 24, 20, 200, 30);
  auto* btnHistory = new TUiButton(QStringLiteral("History"), PnlDeliverHelp);
  btnHistory->SetGlyph(glyph::History);
  btnHistory->SetKind(ubGhost);
  btnHistory->SetIconOnly(true);
  btnHistory->setToolTip(QStringLiteral("Session history: who was helped, when and how long (Ctrl+H)"));
  btnHistory->OnClick = [this] { OpenHistory(); };
  PlaceInCard(btnHistory, 292, 18, 34, 34);
  LblDeliverHint = MakeLabel(PnlDeliverHelp, QString(), 12, false, KColMuted, true);
  PlaceInCard(LblDeliverHint, 24, 54, 302, 48);
  PlaceInCard(MakeLabel(PnlDeliverHelp, QStringLiteral("PARTNER ID"), 11, true, KColMuted), 24, 106, 200, 16);
  PnlPartnerEdit = new TUiField(PnlDeliverHelp);
  PlaceInCard(PnlPartnerEdit, 24, 124, 302, 48);
  EdtPartnerID = new QLineEdit(PnlPartnerEdit);
  EdtPartnerID->setFrame(false);
  EdtPartnerID->setMaxLength(11);
  EdtPartnerID->setPlaceholderText(QStringLiteral("123 456 789"));
  EdtPartnerID->setFont(UiFont(22, false, this));
  EdtPartnerID->setAccessibleName(QStringLiteral("Partner ID"));
  {
    QPalette p = EdtPartnerID->palette();
    p.setColor(QPalette::Base, Rgb(kEditBack));
    p.setColor(QPalette::Text, Rgb(KColInk));
    EdtPartnerID->setPalette(p);
    const int h = EdtPartnerID->sizeHint().height();
    EdtPartnerID->setGeometry(Px(this, 16), (PnlPartnerEdit->height() - h) / 2,
                              std::max(Px(this, 40), PnlPartnerEdit->width() - Px(this, 32)), h);
  }
  EdtPartnerID->installEventFilter(this);
  BtnConnect = new TUiButton(QStringLiteral("Connect"), PnlDeliverHelp);
  BtnConnect->SetGlyph(kGlyphConnect);
  BtnConnect->SetKind(ubPrimary);
  BtnConnect->OnClick = [this] { ConnectClicked(); };
  PlaceInCard(BtnConnect, 24, 224, 302, 48);

  // The bubble after a change of look floats over the whole window, below the switch.
  FBubble = new TUiBubble(this);
  FBubble->hide();

  // Status bar.
  FStatusBar = new TUiStatusBar(central);
  FStatusBar->setFixedHeight(Px(this, kStatusH));
  FStatusBar->SetRight(QStringLiteral("Build ") + Q(FBuild),
                       QStringLiteral("The version of Tovik (Help > Check for updates)"), Rgb(KColMuted));
  outer->addWidget(FStatusBar);
}

void TForm2::resizeEvent(QResizeEvent* e) {
  QMainWindow::resizeEvent(e);
  LayoutHeader();
  LayoutBody();
}

void TForm2::LayoutHeader() {
  if (!PnlHeader) return;
  const int off = std::max(0, (PnlHeader->width() - Px(this, kColumn)) / 2);
  auto at = [&](QWidget* w, int x, int y, int width, int height) {
    w->setGeometry(off + Px(this, x), Px(this, y), Px(this, width), Px(this, height));
  };
  at(FLogoTile, 24, 22, 44, 44);
  if (FBrandImg) at(FBrandImg, 24, 22, 44, 44);
  at(FThemeSwitch, 606, 22, 138, 32);
  const int pillW = std::min(FStatusPill->IdealWidth(), Px(this, 300));
  const int pillRight = FThemeSwitch->x() - Px(this, 12);
  FStatusPill->setGeometry(pillRight - pillW, Px(this, 24), pillW, Px(this, 28));
  int leftmost = FStatusPill->x();
  if (BtnTools->isVisible()) {
    const int bw = BtnTools->IdealWidth();
    BtnTools->setGeometry(FStatusPill->x() - Px(this, 12) - bw, Px(this, 22), bw, Px(this, 32));
    leftmost = BtnTools->x();
  }
  const int titleX = off + Px(this, 82);
  LblTitle->setGeometry(titleX, Px(this, 18), std::max(Px(this, 80), leftmost - Px(this, 16) - titleX), Px(this, 34));
  // The subtitle sits below the pill row, so it may run up to the theme switch.
  LblSubtitle->setGeometry(titleX, Px(this, 54),
                           std::max(Px(this, 80), FThemeSwitch->x() - Px(this, 16) - titleX), Px(this, 18));
}

void TForm2::LayoutBody() {
  if (!FHomeBody) return;
  const QSize view = FHomeBody->viewport()->size();
  const int cardsW = Px(this, kColumn), cardsH = Px(this, kCardsH);
  const int free = view.height() - cardsH;
  const int top = free > 0 ? std::min(Px(this, 56), free / 2) : 0;
  FHomeFill->resize(std::max(view.width(), cardsW), std::max(view.height(), cardsH + top));
  FHomeCards->setGeometry(std::max(0, (FHomeFill->width() - cardsW) / 2), top, cardsW, cardsH);
}

// ---- theme ----------------------------------------------------------------------------------------

void TForm2::SetThemeMode(int AMode) {
  FThemeMode = (AMode >= 0 && AMode <= 2) ? AMode : 0;
  FThemeSwitch->SetItemIndex(SegmentOf(FThemeMode));
  FTheme->SetMode(static_cast<TThemeMode>(FThemeMode));
}

// Colours that change with the state are set here again after each change of look.
void TForm2::ApplyColours() {
  // Night shows the ID in the accent blended with white, as the palette's accent text.
  SetInk(LblIDNumber, IsDark() ? Ui().AccentText : Accent());
  SetInk(LblDeliverHint, LookInk(Rgb(FHintInk)));
  FStatusPill->SetDotColor(LookInk(Rgb(FStatusColour)));
  FStatusBar->SetLeft(FStatusBar->LeftText(), Q(FLogic ? FLogic->ServerResult() : std::string()),
                      LookInk(Rgb(FStatusColour)));
  FStatusBar->SetMiddle(FSessText, FSessTip, LookInk(Rgb(FSessColour)));
  QPalette p = EdtPartnerID->palette();
  p.setColor(QPalette::Base, IsDark() ? MapDarkBackground(Rgb(kEditBack)) : Rgb(kEditBack));
  p.setColor(QPalette::Text, LookInk(Rgb(KColInk)));
  p.setColor(QPalette::PlaceholderText, LookInk(Rgb(KColGrey)));
  EdtPartnerID->setPalette(p);
  for (TUiCard* c : {PnlGetHelp, PnlDeliverHelp}) c->UpdateColors();
  PnlPartnerEdit->UpdateColors();
  update();
}

// ---- IMainView ------------------------------------------------------------------------------------

void TForm2::ShowID(const std::string& AFormatted) {
  // The number is as large as fits its place (44 pixels at most): digits of some fonts run wider.
  const QString text = Q(AFormatted);
  int px = 44;
  QFont f = UiFont(px, true, this);
  while (px > 24 && QFontMetrics(f).horizontalAdvance(text) > LblIDNumber->width()) f = UiFont(--px, true, this);
  LblIDNumber->setFont(f);
  LblIDNumber->setText(text);
  if (FTray) FTray->setToolTip(DigitsOf(AFormatted).empty() ? QStringLiteral("Tovik") : QStringLiteral("Tovik - ID ") + text);
}

void TForm2::SetConnectEnabled(bool AOn) { BtnConnect->setEnabled(AOn); }

void TForm2::SetConnectCaption(const std::string& ACaption) {
  BtnConnect->SetCaption(Q(ACaption));
  const bool hangUp = ACaption == "Disconnect";
  BtnConnect->SetKind(hangUp ? ubDanger : ubPrimary);
  BtnConnect->SetGlyph(hangUp ? kGlyphDisconnect : kGlyphConnect);
}

void TForm2::SetStatus(std::uint32_t AColour, const std::string& AText) {
  FStatusColour = AColour;
  FStatusPill->SetCaption(Q(AText));
  FStatusPill->SetDotColor(LookInk(Rgb(AColour)));
  FStatusPill->setToolTip(PlainToolTip(Q(AText)));
  FStatusBar->SetLeft(FStatusBar->LeftText(), Q(FLogic ? FLogic->ServerResult() : std::string()),
                      LookInk(Rgb(AColour)));
  LayoutHeader();
}

void TForm2::SetSessionDisplay(std::uint32_t ADot, const std::string& AText, const std::string& ATip) {
  FSessColour = ADot;
  FSessText = Q(AText);
  FSessTip = Q(ATip);
  FStatusBar->SetMiddle(FSessText, FSessTip, LookInk(Rgb(ADot)));
}

void TForm2::SetHint(const std::string& AText, std::uint32_t AColour) {
  FHintInk = AColour;
  LblDeliverHint->setText(Q(AText));
  LblDeliverHint->setToolTip(PlainToolTip(Q(AText)));
  SetInk(LblDeliverHint, LookInk(Rgb(AColour)));
}

void TForm2::SetHostState(const std::string& AText) { LblHostState->setText(Q(AText)); }

void TForm2::SetKeepID(bool AChecked) {
  FSettingKeepID = true;
  ChkKeepID->SetChecked(AChecked);
  FSettingKeepID = false;
}

void TForm2::SetKeepIDEnabled(bool AOn) { ChkKeepID->setEnabled(AOn); }

void TForm2::SetUnattendedSwitch(bool AChecked) {
  FSettingUnattended = true;
  ChkUnattended->SetChecked(AChecked);
  FSettingUnattended = false;
}

void TForm2::SetToolsButton(bool AOn) {
  BtnTools->setVisible(AOn);
  BtnTools->setEnabled(AOn);
  LayoutHeader();
}

void TForm2::ShowHelperPicture(const std::optional<TPicture24>& APicture) {
  QImage img;
  if (APicture && APicture->Width > 0 && APicture->Height > 0 &&
      APicture->Pixels.size() == static_cast<std::size_t>(APicture->Width) * APicture->Height * 3) {
    img = QImage(APicture->Pixels.data(), APicture->Width, APicture->Height, APicture->Width * 3,
                 QImage::Format_BGR888)
              .copy();
  }
  if (img.isNull()) {
    ImgHelper->hide();
    PlaceInCard(LblHostState, 24, 170, 302, 34);
    return;
  }
  ImgHelper->setPixmap(QPixmap::fromImage(
      img.scaled(ImgHelper->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  ImgHelper->show();
  PlaceInCard(LblHostState, 24, 170, 258, 34);
}

void TForm2::FocusPartnerBox() { EdtPartnerID->setFocus(); }

bool TForm2::CopyText(const std::string& AText) {
  QClipboard* clip = QGuiApplication::clipboard();
  if (!clip) return false;
  clip->setText(Q(AText));
  return clip->text() == Q(AText);
}

std::optional<std::string> TForm2::AskNewPassword() { return tovik::AskNewPassword(this); }

void TForm2::MinimizeApp() {
  if (isVisible()) showMinimized();
}

// ---- events ---------------------------------------------------------------------------------------

void TForm2::ConnectClicked() {
  const TTovikState before = FClientHost->Client().State();
  FLogic->ConnectClick(EdtPartnerID->text().toStdString());
  if (before != rsConnected && FLogic->IsViewer()) FProbe->ConnectClicked(TickMs());
  FDriver->Rearm();
  FProbe->WriteStatus();
}

bool TForm2::eventFilter(QObject* o, QEvent* e) {
  if (e->type() == QEvent::Resize) {
    if (o == PnlHeader) LayoutHeader();
    if (FHomeBody && o == FHomeBody->viewport()) LayoutBody();
  }
  if (o == EdtPartnerID && e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
      if (BtnConnect->isEnabled()) ConnectClicked();
      return true;
    }
  }
  if (o == LblIDNumber && e->type() == QEvent::MouseButtonRelease) {
    FLogic->CopyID();
    return true;
  }
  return QMainWindow::eventFilter(o, e);
}

bool TForm2::CloseHidesWindow() const { return CloseHides(FTrayMode, FTrayAvailable && FTray, FReallyExit); }

void TForm2::closeEvent(QCloseEvent* e) {
  // In tray mode closing only hides the window; without a tray it always ends the program, so the
  // program can always be reached.
  if (CloseHidesWindow()) {
    e->ignore();
    hide();
    return;
  }
  FReallyExit = true;
  FLogic->SetClosing();
  if (FTray) FTray->hide();
  e->accept();
  if (!FClosedForGood) {
    FClosedForGood = true;
    if (OnClosedForGood) OnClosedForGood();
  }
}

void TForm2::QuitRequested() {
  Log("Closed by the setup (update)");
  FReallyExit = true;
  close();
}

// ---- tray -----------------------------------------------------------------------------------------

void TForm2::BuildTray() {
  // The icon exists only in tray mode, and only where the desktop can show it.
  if (!FTrayMode || !FTrayAvailable) return;
  FTray = new QSystemTrayIcon(this);
  FTray->setIcon(windowIcon().isNull() ? style()->standardIcon(QStyle::SP_ComputerIcon) : windowIcon());
  FTray->setToolTip(QStringLiteral("Tovik"));
  FTrayMenu = new QMenu(this);
  QAction* open = FTrayMenu->addAction(QStringLiteral("&Open Tovik"));
  FTrayMenu->setDefaultAction(open);
  connect(open, &QAction::triggered, this, [this] { ShowWindow(); });
  connect(FTrayMenu->addAction(QStringLiteral("E&xit")), &QAction::triggered, this, [this] {
    FReallyExit = true;
    close();
  });
  FTray->setContextMenu(FTrayMenu);
  connect(FTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) ShowWindow();
  });
  FTray->show();
}

void TForm2::ShowAtStart() {
  switch (StartShowing(FSwitches, FTrayAvailable && FTray)) {
    case TStartShow::ssHidden: break;
    case TStartShow::ssMinimized: showMinimized(); break;
    case TStartShow::ssShown: show(); break;
  }
}

void TForm2::ShowWindow() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

// ---- administrator rights -------------------------------------------------------------------------

void TForm2::CheckService() {
  const bool ready = FPlatform.BrokerAvailable && FPlatform.BrokerAvailable();
  const bool first = FServiceCheckAt == 0;
  FServiceCheckAt = TickMs() + (ready ? 5000 : 1000);
  if (!first && ready == FServiceReady) return;
  FServiceReady = ready;
  ApplyAdminFace();
}

void TForm2::ApplyAdminFace() {
  const TAdminFace face = AdminFace(FElevated, FServiceReady, FPlatform.AdminPromptsReachable);
  BtnAdmin->SetCaption(Q(face.Caption));
  BtnAdmin->SetGlyph(face.Glyph);
  BtnAdmin->SetKind(face.Success ? ubSuccess : ubSecondary);
  BtnAdmin->setToolTip(Q(face.Tip));
  BtnAdmin->OnClick = face.Clickable ? std::function<void()>([this] { AdminClicked(); }) : nullptr;
  BtnAdmin->setCursor(face.Clickable ? Qt::PointingHandCursor : Qt::ArrowCursor);
  LblGetHelpHint->setText(Q(face.Hint));
  // The button may reach towards the card's title, which needs about 100 pixels.
  const int w = std::min(BtnAdmin->IdealWidth(), Px(this, 200));
  BtnAdmin->setGeometry(Px(this, 326 + TUiCard::Inset) - w, Px(this, 19 + TUiCard::Inset), w, Px(this, 32));
}

void TForm2::AdminClicked() {
  CheckService();
  if (FServiceReady) {
    FLogic->Notice("Admin support is ready. Give your Tovik ID to your helper and allow the session when Tovik asks.",
                   KColGreen);
    return;
  }
  const TTovikState st = FClientHost->Client().State();
  if (st == rsPunching || st == rsConnected) {
    SetHostState("End the session first, then allow admin tasks.");
    Log("End the session first, then allow admin tasks.");
    return;
  }
  // This desktop has no way to restart the window with administrator rights.
  SetHostState("Tovik was not restarted as administrator.");
  Log("Tovik was not restarted as administrator.");
}

// The saved PCs: the list and its sync, and the picker under the partner ID box.
void TForm2::BuildSavedPCs() {
  FBook = std::make_unique<TMainBook>(FClientHost->Client(), FStore, [this](const std::string& l) { Log(l); });
  FPicker = new TRecentPicker(FBook->List(), PnlDeliverHelp);
  FPicker->setToolTip(QStringLiteral("Your saved PCs: pick one to fill in its ID, rename it or forget it"));
  FPicker->SetAccent(Accent());
  PlaceInCard(FPicker, 24, 180, 302, 36);
  FPicker->show();
  FPicker->SetSyncText(FBook->Sync().StatusText());
  FPicker->OnPick = [this](const std::string& AID) {
    EdtPartnerID->setText(Q(FormatID(AID)));
    EdtPartnerID->setFocus();
  };
  FPicker->OnSync = [this] { Defer(daSyncDialog); };
  FBook->OnListChanged = [this] { FPicker->Refresh(); };
  FBook->OnStatus = [this] { FPicker->SetSyncText(FBook->Sync().StatusText()); };
  FLogic->HasExtra = [this](const std::string& AID) {
    return std::any_of(FLinks.begin(), FLinks.end(), [&](const auto& l) { return l->Target() == AID; });
  };
  FLogic->OpenExtra = [this](const std::string& AID) { OpenExtraSession(AID); };
  FLogic->OnConnecting = [this](const std::string& AID) {
    FBook->Connecting(AID);
    FPicker->Refresh();
  };
}

void TForm2::Defer(TDeferredAction AAction) {
  QTimer::singleShot(15, this, [this, AAction] {
    switch (AAction) {
      case daSyncDialog: ShowSyncDialog(this, FBook ? &FBook->Sync() : nullptr); break;
      case daTheme: {
        SetThemeMode(FThemeMode);
        QString text;
        switch (FThemeMode) {
          case tmDay: text = QStringLiteral("Day: always the light look"); break;
          case tmNight: text = QStringLiteral("Night: always the dark look"); break;
          default:
            text = IsDark() ? QStringLiteral("Auto: follows the desktop (dark now)")
                            : QStringLiteral("Auto: follows the desktop (light now)");
        }
        const QRect seg = FThemeSwitch->SegmentRect(FThemeSwitch->ItemIndex());
        FBubble->Popup(text, QRect(FThemeSwitch->mapTo(this, seg.topLeft()), seg.size()), 3500);
        break;
      }
    }
  });
}

namespace {

// The updater as the settings dialog and Install now use it, on the GUI thread's clock.
class TUpdaterPortOf final : public IUpdaterPort {
 public:
  explicit TUpdaterPortOf(TUpdater& AUpdater) : F(AUpdater) {}
  std::string StatusText() const override { return F.StatusText(TickMs()); }
  bool Ready() const override { return F.Ready(); }
  void CheckNow() override { F.CheckNow(TickMs()); }
  bool Install(const std::string& AParams) override { return F.Install(AParams, TickMs()); }

 private:
  TUpdater& F;
};

}  // namespace

void TForm2::StartUpdater() {
  if (!FPlatform.Http || !FPlatform.UpdateSystem) return;
  FUpdateSystem = FPlatform.UpdateSystem();
  if (!FUpdateSystem) return;
  const TUpdaterSetup setup = MainUpdaterSetup(FStore, ProcessEnv);
  if (!setup.PackageManaged) DeleteOldCopies(setup.ProgramFile);
  TUpdaterThreads threads;
  QPointer<TForm2> self(this);
  // The check's outcome comes back on the GUI thread; the updater's own token drops it once it is gone.
  InstallGuiPost();
  threads.Post = [self](std::function<void()> AFinish) {
    // On the check's worker: once the application object is gone (the program is ending) the outcome
    // has nowhere to go.
    PostToGui([self, AFinish = std::move(AFinish)] {
      if (self) AFinish();
    });
  };
  FUpdater = std::make_unique<TUpdater>(setup, FPlatform.Http(), *FUpdateSystem, std::move(threads),
                                        [this](const std::string& l) { Log(l); }, TickMs());
  FOwnUpdaterPort = std::make_unique<TUpdaterPortOf>(*FUpdater);
  FUpdaterPort = FOwnUpdaterPort.get();
  // Test hook (the end-to-end tests): TOVIK_TEST_UPDATE_NOW=1 checks at start instead of 2 minutes later.
  if (const char* now = std::getenv("TOVIK_TEST_UPDATE_NOW"); now && std::string_view(now) == "1")
    FUpdater->CheckNow(TickMs());
}

bool TForm2::UpdateTick() {
  if (!FUpdater) return false;
  const TTick now = TickMs();
  FUpdater->Tick(now);
  const bool packaged = FUpdater->PackageInstalled(now);
  if (!FUpdater->Ready() && !packaged) return false;
  TIdleFacts f;
  f.ClientExists = true;
  f.State = FClientHost->Client().State();
  f.Session = FSession->Exists();
  f.ReconnectPending = !FLogic->ReconnectID().empty();
  f.ModalOpen = QApplication::activeModalWidget() != nullptr;
  f.WindowLookedAt = isVisible() && !isMinimized() && QApplication::activeWindow() != nullptr;
  if (!UpdateMayInstall(f, FUpdater->Handed())) return false;
  const std::string params = RestartParameters(FTrayMode, isVisible(), isMinimized());
  if (packaged ? !FUpdater->RestartOnNewBuild(params) : !FUpdater->Install(params, now)) return false;
  FReallyExit = true;
  QMetaObject::invokeMethod(this, "close", Qt::QueuedConnection);
  return true;
}

void TForm2::UiTick() {
  if (UpdateTick()) return;
  if (TickMs() >= FServiceCheckAt) CheckService();
  FBrand->Tick(TickMs());
  FBook->Tick();
  FLogic->Tick();
  FDriver->Rearm();  // the logic may have asked the client for a reconnection
  FProbe->Dump();
  FProbe->WriteStatus();
}

// ---- settings dialog ------------------------------------------------------------------------------

// What applying the settings does outside the settings file, on this window.
class TForm2::TSettingsEffects final : public ISettingsEffects {
 public:
  explicit TSettingsEffects(TForm2& AForm) : F(AForm) {}
  void Log(const std::string& AText) override { F.Log(AText); }
  void Tell(const std::string& AText, bool AWarning) override { F.Tell(Q(AText), AWarning); }
  bool Ask(const std::string& AText) override { return F.AskFn && F.AskFn(Q(AText)); }
  std::string CopyFile(const std::string& AFrom, const std::string& ATo) override {
    QFile from(Q(AFrom));
    const QString temp = Q(ATo) + QStringLiteral(".new");
    QFile::remove(temp);
    if (!from.copy(temp)) return from.errorString().toStdString();
    QFile::remove(Q(ATo));
    if (!QFile::rename(temp, Q(ATo))) {
      QFile::remove(temp);
      return "the copy could not be put in place";
    }
    return {};
  }
  void SetRdpKeepDrawing(bool AOn) override {
    // This desktop has no Remote Desktop client setting of that kind.
    F.Log(std::string("Remote Desktop drawing when minimized: ") + (AOn ? "on" : "off") +
          " (not applicable on this system)");
  }
  void TurnKeepIDOn() override {
    if (F.FLogic->KeepIDOn()) return;
    F.SetKeepID(true);
    F.FLogic->KeepIDChanged(true);
  }
  std::string SetStartWithDesktop(bool AOn) override {
    if (!F.FAutostart) return "starting with the desktop is not available here";
    return F.FAutostart->SetEnabled(AOn);
  }
  void SetUnattended(bool AOn) override {
    F.SetUnattendedSwitch(AOn);
    F.FLogic->UnattendedChanged(AOn);
  }
  void RestartProgram() override {
    QProcess::startDetached(Q(F.FStore.Paths().ProgramFile), {});
    F.FReallyExit = true;
    F.close();
  }

 private:
  TForm2& F;
};

TTovikSettings TForm2::PrepareSettings(const std::string& AStartPage) const {
  TTovikSettings s;
  s.StartPage = AStartPage;
  s.EdgeSwitch = FStore.ReadSwitch("Session", "EdgeSwitch");
  s.HideWallpaper = FStore.ReadSwitch("Session", "HideWallpaper");
  s.RecordFolder = FStore.ReadText("Session", "RecordFolder");
  if (s.RecordFolder.empty())
    s.RecordFolder = (QStandardPaths::writableLocation(QStandardPaths::MoviesLocation) + QStringLiteral("/Tovik")).toStdString();
  s.Unattended = FLogic->Unattended();
  s.AutoElevate = FStore.ReadSwitch("Admin", "AutoElevate");
  s.StartWithDesktop = FAutostart && FAutostart->Enabled();
  const TRelayEndpoint relay = FStore.RelayEndpoint();
  s.RelayHost = relay.Host;
  s.RelayPort = relay.Port;
  const TTovikClient& c = FClientHost->Client();
  s.RelayStatus = FStatusBar->LeftText().toStdString() + " - " +
                  (FLogic->ServerResult().empty() ? FLogic->StatusText() : FLogic->ServerResult());
  if (c.RelaySecure()) s.RelayStatus += ". Server key " + KeyFingerprint(c.RelayKey());
  s.RdpKeepDrawing = false;
  s.ProfileName = FStore.ReadText("Profile", "Name");
  s.Company = FStore.ReadText("Profile", "Company");
  s.Email = FStore.ReadText("Profile", "Email");
  s.Phone = FStore.ReadText("Profile", "Phone");
  s.PicturePath = FStore.ReadText("Profile", "Picture");
  s.ComputerName = QSysInfo::machineHostName().toStdString();
  s.WindowsUser = qEnvironmentVariable("USER").toStdString();
  if (c.MyID() != "0") s.TovikID = FormatID(c.MyID());
  IUpdaterPort* up = FUpdaterPort;
  if (up) {
    s.UpdateStatus = [up] { return up->StatusText(); };
    s.UpdateReady = [up] { return up->Ready(); };
    s.OnCheckUpdate = [up] { up->CheckNow(); };
  } else {
    s.UpdateStatus = [] { return std::string("Updates are not available."); };
  }
  s.OnInstallUpdate = [this] { const_cast<TForm2*>(this)->FInstallAfterSettings = true; };
  return s;
}

void TForm2::ApplySettingsRecord(const TTovikSettings& ABefore, const TTovikSettings& AAfter) {
  TSettingsEffects effects(*this);
  ApplySettings(FStore, effects, ABefore, AAfter);
}

void TForm2::OpenSettings(const std::string& AStartPage) {
  const TTovikSettings before = PrepareSettings(AStartPage);
  TTovikSettings after = before;
  const bool ok = TSettingsForm::Execute(after, FStore.BuiltIn(), this);
  if (FInstallAfterSettings) {
    FInstallAfterSettings = false;
    InstallNow();
    return;
  }
  if (ok) ApplySettingsRecord(before, after);
}

void TForm2::InstallNow() {
  Log("Update: Install now clicked");
  if (!FUpdaterPort || !FUpdaterPort->Ready()) {
    const std::string status = FUpdaterPort ? FUpdaterPort->StatusText() : std::string("Updates are not available.");
    Log("Update: nothing ready to install: " + status);
    Tell(QStringLiteral("There is no checked new version to install yet.\r\n\r\n") + Q(status));
    return;
  }
  const TTovikState st = FClientHost->Client().State();
  if (st == rsPunching || st == rsConnected || FSession->Exists()) {
    Tell(QStringLiteral("End the help session first; then click Install now again (or let Tovik install it by "
                        "itself afterwards)."));
    return;
  }
  if (FUpdaterPort->Install(RestartParameters(FTrayMode, isVisible(), isMinimized()))) {
    FReallyExit = true;
    close();
  } else {
    Tell(QStringLiteral("The new version could not be installed now; Tovik.log says why."), true);
  }
}

// ---- branding -------------------------------------------------------------------------------------

QString TForm2::BrandName() const {
  std::string name = FLocalBrand.Name;
  if (name.empty()) name = FBrand->Name();
  if (name.empty()) name = FLocalBrand.BuiltInName;
  if (name.empty()) name = std::string(kStandardName);
  return Q(name);
}

void TForm2::ApplyBranding() {
  const QString name = BrandName();
  std::string logo;
  if (!FLocalBrand.LogoPath.empty() && FBrandFiles->Exists(FLocalBrand.LogoPath)) logo = FLocalBrand.LogoPath;
  if (logo.empty()) logo = FBrand->LogoFile();
  if (logo.empty() && !FLocalBrand.BuiltInLogo.empty() && FBrandFiles->Exists(FLocalBrand.BuiltInLogo))
    logo = FLocalBrand.BuiltInLogo;
  // The consent dialog's brand line names a brand only: the standard name without a logo adds nothing.
  SetConsentBrand(name == QLatin1String(kStandardName.data(), int(kStandardName.size())) ? QString() : name, Q(logo));
  LblTitle->setText(name);
  if (!name.trimmed().isEmpty()) FLogoTile->SetLetter(name.trimmed().left(1).toUpper());
  QImage img;
  if (!logo.empty())
    img = ReadPictureScaled(Q(logo), Px(this, 44) * 2,
                            {static_cast<std::int64_t>(kMaxLogoBytes), kMaxLogoSide});
  if (!img.isNull()) {
    if (!FBrandImg) {
      FBrandImg = new QLabel(PnlHeader);
      FBrandImg->setAlignment(Qt::AlignCenter);
    }
    const QSize box(Px(this, 44), Px(this, 44));
    FBrandImg->setPixmap(QPixmap::fromImage(img.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  } else if (FBrandImg) {
    FBrandImg->clear();
  }
  const bool shown = !img.isNull();
  if (FBrandImg) FBrandImg->setVisible(shown);
  FLogoTile->setVisible(!shown);
  LayoutHeader();
}

// ---- extra helped PCs -----------------------------------------------------------------------------

namespace {
// An extra PC's viewer session with its Qt parts, on the link's own client.
class TExtraSession final : public IExtraSession {
 public:
  explicit TExtraSession(std::unique_ptr<TMainSessions> ASessions) : FSessions(std::move(ASessions)) {}

 private:
  std::unique_ptr<TMainSessions> FSessions;
};
}  // namespace

void TForm2::OpenExtraSession(const std::string& AID) {
  if (!FPlatform.NetBackend) return;
  const TRelayEndpoint relay = FStore.RelayEndpoint();
  const TTovikClient& main = FClientHost->Client();
  THelperLinkSetup setup;
  setup.Host = relay.Host;
  setup.Port = static_cast<std::uint16_t>(relay.Port);
  // Only the key the main client pinned: empty until then, and the link refuses to start.
  setup.KeyHex = main.RelayKey().empty() ? std::string() : BytesToHex(main.RelayKey());
  setup.Target = AID;
  setup.MakeSession = [this](TTovikClient& AClient) -> std::unique_ptr<IExtraSession> {
    auto s = std::make_unique<TMainSessions>(AClient, FStore, FStore.Paths().LogPath, FPlatform, *FDriver);
    InstallDockHook(*s);
    s->Create(true, std::nullopt);
    return std::make_unique<TExtraSession>(std::move(s));
  };
  setup.Post = [this](std::function<void()> AWork) { QTimer::singleShot(0, this, std::move(AWork)); };
  setup.WallNow = [] { return QDateTime::currentMSecsSinceEpoch(); };
  auto backend = std::shared_ptr<INetBackend>(FPlatform.NetBackend());
  if (!backend) return;
  auto link = std::make_unique<THelperLink>(*backend, std::move(setup));
  THelperLink* raw = link.get();
  raw->OnLog = [this](THelperLink&, const std::string& ALine) { Log(ALine); };
  raw->OnFailed = [this](THelperLink& ALink, const std::string& AText) {
    Tell(Q("Could not help " + FormatID(ALink.Target()) + ": " + AText), true);
  };
  // A relay that asks for reports also gets one for each extra session that ran long enough.
  raw->OnSessionEnded = [this](const std::string& ATarget, std::int64_t AStartMs, std::int64_t AEndMs) {
    FRecords->AskLocalReport(ATarget, AStartMs / 1000, AEndMs / 1000);
  };
  raw->OnDone = [this, backend](THelperLink& ALink) {
    // Freed after this handler: the link (its client, then the backend in this closure) goes then.
    THelperLink* done = &ALink;
    QTimer::singleShot(0, this, [this, done] {
      for (auto it = FLinks.begin(); it != FLinks.end(); ++it)
        if (it->get() == done) {
          FDriver->Remove(done->Client());
          FDriver->Remove(*done);
          FLinks.erase(it);
          break;
        }
    });
  };
  raw->Client().SetRxWake([driver = FDriver.get()] { driver->Wake(); });
  FLinks.push_back(std::move(link));
  raw->Go(TickMs());
  if (!raw->Done()) {
    FDriver->Add(raw->Client());
    FDriver->Add(*raw);
  }
}

}  // namespace tovik

namespace tovik {

// ---- session tabs ---------------------------------------------------------------------------------

void TForm2::InstallDockHook(TMainSessions& ASessions) {
  if (!FTabbed) {
    ASessions.Dock = nullptr;
    return;
  }
  ASessions.Dock = [this](TViewerForm& AViewer, const std::string& ACaption) { DockViewer(AViewer, ACaption); };
}

void TForm2::SetTabbed(bool AOn) {
  FTabbed = AOn;
  if (FTabsItem) FTabsItem->setChecked(AOn);
  FLogic->SetTabbed(AOn);
  InstallDockHook(*FSession);  // extra sessions take the hook when they start
  const TFileResult r = FStore.WriteSwitch("UI", "TabbedSessions", AOn);
  if (!r) Log(SaveFailureLine(TSaveFailure::sfTabs, "", "", r.Error));
  SetHostState("This applies to the next PC you help.");
}

void TForm2::DockViewer(TViewerForm& AViewer, const std::string& ACaption) {
  if (isMinimized()) showNormal();
  const std::string name = FBook ? FBook->List().NameOf(DigitsOf(ACaption)) : std::string();
  const QString caption = name.empty() ? Q(ACaption) : Q(name) + " (" + Q(ACaption) + ")";
  QPointer<TViewerForm> viewer(&AViewer);
  FTabs->AddViewer(&AViewer, caption, [viewer] {
    if (viewer) viewer->RequestClose();
  });
  AViewer.FocusPicture();
  show();
  raise();
  activateWindow();
}

void TForm2::TabsCountChanged(int ACount) {
  FPages->tabBar()->setVisible(ACount > 0);
  if (FProbe) FProbe->WriteStatus();
  if (ACount > 0) {
    if (!FGrown && !isMaximized()) {
      FHomeRect = geometry();
      FGrown = true;
    }
    if (isMaximized()) return;
    QScreen* scr = screen() ? screen() : QGuiApplication::primaryScreen();
    const QRect work = scr ? scr->availableGeometry() : QRect(0, 0, 1920, 1080);
    const QRect g = geometry();
    const TRectI r = TabbedWindowRect({g.x(), g.y(), g.width(), g.height()},
                                      {work.x(), work.y(), work.width(), work.height()});
    if (r.W != g.width() || r.H != g.height()) setGeometry(r.X, r.Y, r.W, r.H);
    return;
  }
  FPages->setCurrentWidget(FHome);
  if (FGrown) {
    if (isMaximized() || isFullScreen()) showNormal();
    setGeometry(FHomeRect);
    FGrown = false;
  }
}

}  // namespace tovik
