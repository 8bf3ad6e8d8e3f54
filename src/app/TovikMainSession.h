// The main window's primary session with its Qt parts: the session core over the network client,
// its ticks, the consent dialog, the viewer window and the stop bar, behind the IMainSessions seam
// of the window's logic.
//
//   TMainSessions  - creates and frees the one TTovikSession, adds it to the window's timed driver
//                    while it lives (the session schedules its own ticks) and shows the stop bar on
//                    the helped PC for every allowed session, unattended ones included.
//   TQtConsent     - IConsentPrompt over the consent dialog (TConsentForm); an unanswered dialog is
//                    closed without an answer when the session ends.
//   TQtViewer      - IViewerWindow over TViewerForm: tile updates go to the window, which owns the
//                    one picture; the form calls the session's IViewerEvents itself.
//
// Ownership: TMainSessions owns the session, the link and the stop bar; the session owns the consent
// prompt and the viewer window (freed through FreeSafely). The client and the driver must outlive
// TMainSessions.
// Threads: GUI thread only; the session's deferred calls are queued to the Qt event loop.
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/TovikMainLogic.h"
#include "app/TovikPlatform.h"
#include "session/TovikToolsPorts.h"
#include "app/TovikSettings.h"
#include "media/TovikCapture.h"
#include "net/TovikNet.h"
#include "session/TovikSession.h"
#include "session/TovikSessionLink.h"

namespace tovik {

class TQtTimedDriver;
class TStopBar;
class TViewerForm;

// What the viewer side reports for the window's status display (and the test hook).
struct TViewerStats {
  std::int64_t Frames = 0;       // tile updates painted
  TTick FirstPicture = 0;        // tick of the first painted update, 0 before it
  QPointer<TViewerForm> Form;    // the viewer window while the session has one (it owns the picture)
};

// The window of a helper's session (what TMainSessions makes for a viewer session): a TViewerForm
// behind the session's IViewerWindow, with the [Viewer] settings of AStore. AStats is reset and then
// kept up to date; AOnFirst runs at the first painted update. AStore and AStats must outlive the
// window's adapter (it goes with FreeSafely).
TViewerWindowPtr MakeViewerWindow(IViewerEvents& AEvents, const std::string& ACaption, const TSettingsStore& AStore,
                                  TViewerStats& AStats, std::shared_ptr<const IViewerKeys> AKeys,
                                  std::function<void()> AOnFirst);

// The consent dialog as a session's prompt (see TovikMainSession.cpp).
std::shared_ptr<IConsentPrompt> MakeConsentPrompt();

class TMainSessions final : public QObject, public IMainSessions {
  Q_OBJECT
 public:
  // AClient and ADriver must outlive this object. ALogPath: the main log, where session lines go.
  // APlatform: where the host's screen, input and wallpaper backends come from. ADriver runs the
  // session's ticks.
  TMainSessions(TTovikClient& AClient, const TSettingsStore& AStore, std::string ALogPath,
                TPlatformServices APlatform, TQtTimedDriver& ADriver, QObject* parent = nullptr);
  ~TMainSessions() override;

  void Create(bool AIsViewer, const std::optional<TPasswordVerifier>& AUnattended) override;
  void Free() override;
  bool Exists() const override { return FSession != nullptr; }
  bool RestartAsked() const override { return FSession && FSession->RestartAsked(); }
  std::string HelperName() const override { return FSession ? FSession->HelperName() : std::string(); }
  std::optional<TPicture24> HelperPicture() const override;
  void ShowTools() override {
    if (FSession) FSession->ShowTools();
  }

  TTovikSession* Session() const { return FSession.get(); }
  const TViewerStats& Viewer() const { return FStats; }
  bool StopBarShown() const;
  // The stop bar's Stop button while the bar is shown, else null (for the test hooks).
  const QWidget* StopButton() const;

  // The viewer docking hook: when set as a viewer session starts, its window is handed to it with the
  // partner ID as shown instead of being shown as a window of its own. Changing it affects only the
  // sessions created afterwards.
  std::function<void(TViewerForm& AViewer, const std::string& ACaption)> Dock;

  // Raised from the session (helped PC): the helper's profile arrived; consent was given.
  std::function<void()> OnHelperInfo;
  std::function<void()> OnAllowed;
  // Raised when the viewer painted its first picture of a session.
  std::function<void()> OnFirstPicture;

 private:
  // What the session tools of a new session use: this desktop's clipboard, files, tools window,
  // history, restart and the helper's profile from [Profile].
  TToolsServices ToolsServices(bool AIsViewer) const;
  void ShowStopBar();
  void SessionLog(const std::string& AText) const;

  TTovikClient& FClient;
  const TSettingsStore& FStore;
  std::string FLogPath;
  TPlatformServices FPlatform;
  TClientSessionLink FLink;
  std::unique_ptr<TTovikSession> FSession;
  QPointer<TStopBar> FStopBar;
  TViewerStats FStats;
  TQtTimedDriver& FDriver;
  // Wrong unattended-access passwords, counted across all sessions of the program.
  std::shared_ptr<TPasswordThrottle> FThrottle = std::make_shared<TPasswordThrottle>();
};

}  // namespace tovik
