// TForm2: the program's main window, the view. It puts together the network client with its backend
// (TMainClientHost, TovikMainClient.h), the primary session (TMainSessions), the window's logic
// (TMainLogic), the one timed driver that runs the client and the session (TQtTimedDriver) and the test
// hooks (TMainTestProbe), and shows them: the header with the status pill and the day/night switch, the
// get-help card with this PC's ID, the deliver-help card with the partner ID box and Connect, and the
// status bar.
//
// Session tabs: with [UI] TabbedSessions on, the window installs the viewer docking hook on its primary
// session and on every extra session, so each helped PC's viewer becomes a tab of the window's page
// control beside the home tab (TSessionTabs). The first tab enlarges the window; closing the last one
// puts it back. With tabs off every viewer is a window of its own ("Tovik - <ID> - ...").
//
// Test hooks, off unless their environment variable is set (for the end-to-end tests and the demo):
// TOVIK_TEST_STATUS=<file> (what the window shows, as "key=value" lines) and TOVIK_TEST_DUMP=<file>
// (the viewer's picture on request); see TMainTestProbe in TovikTestProbe.h.
//
// Threads: GUI thread only.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>
#include <string>

#include "app/TovikMainLogic.h"
#include "app/TovikPlatform.h"
#include "app/TovikRunModes.h"
#include "app/TovikSettings.h"
#include "app/TovikSettingsApply.h"
#include "base/TovikLog.h"

class QLabel;
class QLineEdit;
class QScrollArea;
class QSystemTrayIcon;
class QMenu;
class QTabWidget;
class QAction;

namespace tovik {

class TDiagForm;
class THistoryForm;
class TMainRecords;
class TMainBook;
class TMainClientHost;
class TRecentPicker;
class TMainSessions;
class TMainTestProbe;
class TQtTimedDriver;
class TThemeSwitch;
class TUpdater;
class IUpdateSystem;
class TUiButton;
class TUiCard;
class TUiField;
class TUiLogoTile;
class TUiPill;
class TUiSegmented;
class TUiStatusBar;
class TUiToggle;
class TUiBubble;
class TServerBrand;
class TSessionTabs;
class TViewerForm;
class THelperLink;
class TPlainBrandFiles;
class IAutostart;
class IUpdaterPort;

// Work the window does after the current event handler has returned.
enum TDeferredAction { daSyncDialog, daTheme };

class TForm2 final : public QMainWindow, public IMainView {
  Q_OBJECT
 public:
  // AStore and ALog must outlive the window. APlatform: the backends the composition root picked.
  TForm2(const TSettingsStore& AStore, const TLogWriter& ALog, const TRunSwitches& ASwitches,
         TPlatformServices APlatform);
  ~TForm2() override;

  TMainLogic& Logic() { return *FLogic; }
  TMainRecords& Records() { return *FRecords; }
  // The primary session's owner (for tests).
  TMainSessions& Sessions() { return *FSession; }
  // The client with its backend, and the driver that runs the client and the session (for tests).
  TMainClientHost& ClientHost() { return *FClientHost; }
  TQtTimedDriver& Driver() { return *FDriver; }
  // The partner ID box and the Connect button, for tests and screenshots.
  QLineEdit* PartnerBox() const { return EdtPartnerID; }
  TUiButton* ConnectButton() const { return BtnConnect; }
  // The saved PCs with their sync, and their picker in the deliver-help card.
  TMainBook& Book() { return *FBook; }
  TRecentPicker* Picker() const { return FPicker; }
  // The updater (null when this build has none): its StatusText, CheckNow and Install serve the
  // settings dialog's Updates page.
  TUpdater* Updater() const { return FUpdater.get(); }
  // Applies the look of a theme mode (0 Auto, 1 Day, 2 Night) without storing it.
  void SetThemeMode(int AMode);
  // The theme switch in the header (segments Day, Auto, Night) and the bubble after a change.
  TUiSegmented* ThemeSwitch() const { return FThemeSwitch; }
  TUiBubble* ThemeBubble() const { return FBubble; }
  // Shows the window as the run switches ask (tray mode without a tray starts minimized).
  void ShowAtStart();
  // Shows the window: leaves the minimized state, raises and activates it.
  void ShowWindow();
  // The tray icon (null when the desktop has none) and whether closing only hides the window.
  QSystemTrayIcon* Tray() const { return FTray; }
  QMenu* TrayMenu() const { return FTrayMenu; }
  bool CloseHidesWindow() const;
  // A quit request from outside (SIGTERM, SIGINT, SIGHUP): logs it and closes for good.
  Q_INVOKABLE void QuitRequested();
  // Raised once when the window has closed for good (the entry ends the event loop).
  std::function<void()> OnClosedForGood;
  // The updater (not owned; null: "Updates are not available.").
  void SetUpdater(IUpdaterPort* AUpdater) { FUpdaterPort = AUpdater; }
  // The settings dialog's record as the window prepares it, and its application (after OK).
  TTovikSettings PrepareSettings(const std::string& AStartPage) const;
  void ApplySettingsRecord(const TTovikSettings& ABefore, const TTovikSettings& AAfter);
  // "&Settings..." (no start page) and "Check for &updates..." ("Updates").
  void OpenSettings(const std::string& AStartPage);
  // The admin button in the get-help card, and its face after a readiness check.
  TUiButton* AdminButton() const { return BtnAdmin; }
  void CheckService();
  // The relay's branding (BRAND and LOGO lines), and the name and logo the header shows.
  TServerBrand& ServerBrand() { return *FBrand; }
  QLabel* BrandPicture() const { return FBrandImg; }
  QString BrandName() const;
  void ApplyBranding();
  // The extra helped PCs (THelperLink), each with its own client and viewer session.
  std::size_t ExtraCount() const { return FLinks.size(); }
  void OpenExtraSession(const std::string& AID);
  // Session tabs: the page control (home tab first), the tabs object, and [UI] TabbedSessions.
  QTabWidget* Pages() const { return FPages; }
  QWidget* HomeTab() const { return FHome; }
  TSessionTabs* Tabs() const { return FTabs; }
  bool Tabbed() const { return FTabbed; }
  // What "Show helped PCs as &tabs" does: installs or removes the docking hook for the sessions that
  // start from now on, stores the setting and says so in the get-help card.
  void SetTabbed(bool AOn);
  // The viewer docking hook: the viewer becomes a tab captioned with the saved name and the ID, or the
  // ID alone; the window comes to the front.
  void DockViewer(TViewerForm& AViewer, const std::string& ACaption);
  QAction* TabsMenuItem() const { return FTabsItem; }
  // Yes/No questions of the window; tests replace it.
  std::function<bool(const QString&)> AskFn;

 protected:
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  bool eventFilter(QObject* o, QEvent* e) override;

 private:
  // IMainView.
  void ShowID(const std::string& AFormatted) override;
  void SetConnectEnabled(bool AOn) override;
  void SetConnectCaption(const std::string& ACaption) override;
  void SetStatus(std::uint32_t AColour, const std::string& AText) override;
  void SetSessionDisplay(std::uint32_t ADot, const std::string& AText, const std::string& ATip) override;
  void SetHint(const std::string& AText, std::uint32_t AColour) override;
  void SetHostState(const std::string& AText) override;
  void SetKeepID(bool AChecked) override;
  void SetKeepIDEnabled(bool AOn) override;
  void SetUnattendedSwitch(bool AChecked) override;
  void SetToolsButton(bool AOn) override;
  void ShowHelperPicture(const std::optional<TPicture24>& APicture) override;
  void FocusPartnerBox() override;
  bool CopyText(const std::string& AText) override;
  void MinimizeApp() override;
  std::optional<std::string> AskNewPassword() override;

  void BuildMenu();
  void BuildLayout();
  void LayoutHeader();
  void LayoutBody();
  void ApplyColours();
  void Log(std::string_view AText) const { FLogFile.Line(AText); }
  // A message box shown after the current event handler has returned.
  void Tell(const QString& AText, bool AWarning = false);
  void NotYet(const QString& AFeature);
  // The session history window, created on first use and kept (a child of this window).
  void OpenHistory();
  // The connection test window (at most one; freed when closed).
  void OpenConnectionTest();
  void StartClient();
  void UiTick();
  // Sets up the updater and removes what an earlier update left beside the program file.
  void StartUpdater();
  // Installs a ready build by itself when the PC is idle; true when this program is closing for it.
  bool UpdateTick();
  void ConnectClicked();
  void BuildSavedPCs();
  void Defer(TDeferredAction AAction);
  void BuildTray();
  void TabsCountChanged(int ACount);
  // The docking hook for a session owner while tabs are on, else none.
  void InstallDockHook(TMainSessions& ASessions);
  void ApplyAdminFace();
  void AdminClicked();
  void InstallNow();
  class TSettingsEffects;
  friend class TSettingsEffects;

  const TSettingsStore& FStore;
  const TLogWriter& FLogFile;
  TPlatformServices FPlatform;
  std::string FBuild;

  // Header.
  QWidget* PnlHeader = nullptr;
  TUiLogoTile* FLogoTile = nullptr;
  QLabel* LblTitle = nullptr;
  QLabel* LblSubtitle = nullptr;
  TUiPill* FStatusPill = nullptr;
  TUiSegmented* FThemeSwitch = nullptr;
  TUiButton* BtnTools = nullptr;
  TUiBubble* FBubble = nullptr;
  QLabel* FBrandImg = nullptr;
  TLocalBranding FLocalBrand;
  std::unique_ptr<TPlainBrandFiles> FBrandFiles;
  class TBrandSettings;
  std::unique_ptr<TBrandSettings> FBrandSettings;
  std::unique_ptr<TServerBrand> FBrand;
  // Pages: the home tab (header and body) and one tab per docked viewer.
  QTabWidget* FPages = nullptr;
  QWidget* FHome = nullptr;
  TSessionTabs* FTabs = nullptr;
  bool FTabbed = true;
  bool FGrown = false;   // the window was enlarged for tabs
  QRect FHomeRect;       // its bounds before that
  QAction* FTabsItem = nullptr;
  // Body.
  QScrollArea* FHomeBody = nullptr;
  QWidget* FHomeFill = nullptr;
  QWidget* FHomeCards = nullptr;
  TUiCard* PnlGetHelp = nullptr;
  TUiCard* PnlDeliverHelp = nullptr;
  QLabel* LblIDNumber = nullptr;
  TUiButton* BtnCopyID = nullptr;
  TUiButton* BtnAdmin = nullptr;
  QLabel* LblGetHelpHint = nullptr;
  QLabel* LblHostState = nullptr;
  QLabel* ImgHelper = nullptr;
  TUiToggle* ChkKeepID = nullptr;
  TUiToggle* ChkUnattended = nullptr;
  QLabel* LblDeliverHint = nullptr;
  TUiField* PnlPartnerEdit = nullptr;
  QLineEdit* EdtPartnerID = nullptr;
  TUiButton* BtnConnect = nullptr;
  TUiStatusBar* FStatusBar = nullptr;
  THistoryForm* FHistory = nullptr;
  QPointer<TDiagForm> FDiag;

  std::uint32_t FHintInk = KColMuted;
  std::uint32_t FStatusColour = KColAmber;
  std::uint32_t FSessColour = KColGrey;
  QString FSessText, FSessTip;
  bool FSettingKeepID = false;
  bool FSettingUnattended = false;
  bool FReallyExit = false;
  bool FClosedForGood = false;
  // Tray and start.
  TRunSwitches FSwitches;
  bool FTrayMode = false;
  bool FTrayAvailable = false;
  QSystemTrayIcon* FTray = nullptr;
  QMenu* FTrayMenu = nullptr;
  std::unique_ptr<IAutostart> FAutostart;
  // Administrator rights: elevated at start, the service's readiness and its next check.
  bool FElevated = false;
  bool FServiceReady = false;
  TTick FServiceCheckAt = 0;
  IUpdaterPort* FUpdaterPort = nullptr;  // the updater as the settings dialog sees it (may be a test's)
  bool FInstallAfterSettings = false;
  int FThemeMode = 0;
  TThemeSwitch* FTheme = nullptr;

  QTimer FUiTimer;  // the window's one-second tick (the logic's hints, reconnection, the status file)

  // The driver first: it outlives what it drives.
  std::unique_ptr<TQtTimedDriver> FDriver;
  std::unique_ptr<TMainClientHost> FClientHost;
  std::unique_ptr<TMainSessions> FSession;
  std::unique_ptr<TMainLogic> FLogic;
  std::unique_ptr<TMainTestProbe> FProbe;
  std::unique_ptr<TMainRecords> FRecords;
  std::unique_ptr<TMainBook> FBook;  // after the client host: freed before the client
  std::vector<std::unique_ptr<THelperLink>> FLinks;  // freed before the driver
  TRecentPicker* FPicker = nullptr;
  std::unique_ptr<IUpdateSystem> FUpdateSystem;
  std::unique_ptr<TUpdater> FUpdater;  // after its system: freed first
  std::unique_ptr<IUpdaterPort> FOwnUpdaterPort;  // FUpdater as an IUpdaterPort; freed before it
};

}  // namespace tovik
