#include "app/TovikMainSession.h"

#include "app/TovikPictures.h"

#include <QCoreApplication>
#include <QImage>
#include <QStandardPaths>
#include <QMetaObject>

#include "app/TovikQtDriver.h"
#include "base/TovikLog.h"
#include "base/TovikTimed.h"
#include "media/TovikThumbs.h"
#include "session/ui/TovikConsent.h"
#include "session/ui/TovikPasswordForm.h"
#include "session/ui/TovikToolsForm.h"
#include "session/TovikSessionTools.h"
#include "session/TovikSessionAdapters.h"
#include "session/ui/TovikViewer.h"
#include "session/TovikWallpaper.h"

namespace tovik {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The consent dialog as the session's prompt. The dialog answers once. When the session ends first,
// the dialog stays until the person answers it (or its countdown does), and that answer is ignored: a
// dialog vanishing under the pointer could turn a click meant for it into a click on what lies below.
// A new request replaces an older dialog.
class TQtConsent final : public IConsentPrompt {
 public:
  ~TQtConsent() override { *FLive = false; }
  void Ask(const TConsentRequest& ARequest, std::function<void(TConsentAnswer)> AAnswer) override {
    AbandonConsent(FForm);
    *FLive = false;
    FLive = std::make_shared<bool>(true);
    FForm = AskConsent(Q(ARequest.Helper), Q(ARequest.Address), Q(ARequest.CheckNumber), PictureImage(ARequest.Picture),
                       [live = FLive, answer = std::move(AAnswer)](TConsentAnswer A) {
                         if (*live) answer(A);
                       });
  }

 private:
  QPointer<TConsentForm> FForm;
  std::shared_ptr<bool> FLive = std::make_shared<bool>(false);
};

// The password prompt as the helper's side of unattended access; like the consent dialog, it closes
// without an answer when the session (its owner) ends first.
class TQtPasswordPrompt final : public IPasswordPrompt {
 public:
  ~TQtPasswordPrompt() override { AbandonPassword(FForm); }
  void Ask(const std::string& APartner, std::function<void(std::optional<std::string>)> AAnswer) override {
    AbandonPassword(FForm);
    FForm = AskPassword(Q(APartner), std::move(AAnswer));
  }

 private:
  QPointer<TPasswordPromptForm> FForm;
};

// The viewer window's operations for the session: strings and pictures in Qt's terms, the program's
// picture counters and [Viewer] settings. The window raises the session's events itself. Owned by the
// session through FreeSafely, which detaches the window, lets it free itself and deletes this adapter.
class TQtViewer final : public IViewerWindow {
 public:
  TQtViewer(IViewerEvents& AEvents, const std::string& ACaption, const TSettingsStore& AStore, TViewerStats& AStats,
            std::shared_ptr<const IViewerKeys> AKeys, std::function<void()> AOnFirst)
      : FStats(AStats), FOnFirst(std::move(AOnFirst)) {
    int mode = AStore.ReadInt("Viewer", "Scale");
    if (mode < 0 || mode > 2) mode = 0;
    FForm = new TViewerForm(Q(ACaption), mode);
    FForm->SetRecordFolder(Q(AStore.ReadText("Session", "RecordFolder")));
    FForm->OnViewMode = [&AStore](int AMode) { AStore.WriteInt("Viewer", "Scale", AMode); };
    FForm->SetEvents(&AEvents);
    FForm->SetKeys(std::move(AKeys));
    FStats = TViewerStats{};
    FStats.Form = FForm;
  }

  void SetCaption(const std::string& ACaption) override {
    if (FForm) FForm->setWindowTitle(Q(ACaption));
  }
  std::string Caption() const override { return FForm ? FForm->windowTitle().toStdString() : std::string(); }
  void SetSessionInfo(const std::string& ATitle, const std::string& ALine) override {
    if (FForm) FForm->SetSessionInfo(Q(ATitle), Q(ALine));
  }
  void SetNotice(const std::string& AText) override {
    if (FForm) FForm->SetNotice(Q(AText));
  }
  void ShowUpdate(TByteView AUpdate) override {
    if (!FForm) return;
    FForm->ShowUpdate(AUpdate);  // throws on a bad update: the session asks for a full picture
    CountPicture();
  }
  bool VideoTarget(int AW, int AH, std::uint8_t*& ABits, std::ptrdiff_t& AStride) override {
    if (!FForm) return false;
    int stride = 0;
    FForm->VideoTarget(AW, AH, ABits, stride);
    AStride = stride;
    return ABits != nullptr;
  }
  void VideoDone() override {
    if (!FForm) return;
    FForm->VideoDone();
    CountPicture();
  }
  void SetScreens(int ACount, int APrimary) override {
    if (FForm) FForm->SetScreens(ACount, APrimary);
  }
  void SelectScreen(int AIndex) override {
    if (FForm) FForm->SelectScreen(AIndex);
  }
  void WarpToEdge(int ADir, double AFracY) override {
    if (FForm) FForm->WarpToEdge(ADir, AFracY);
  }
  void ThumbChanged(int AIndex) override {
    if (FForm) FForm->ThumbChanged(AIndex);
  }
  void SetTransfer(const std::string& AName, std::int64_t ADone, std::int64_t ATotal, int ALeft) override {
    if (FForm) FForm->SetTransfer(Q(AName), ADone, ATotal, ALeft);
  }
  int CurrentScreen() const override { return FForm ? FForm->CurrentScreen() : 0; }
  void Show() override {
    if (!FForm) return;
    FForm->show();
    FForm->raise();
    FForm->activateWindow();
    FForm->FocusPicture();
  }
  void FreeSafely() override {
    FStats.Form = nullptr;
    if (FForm) FForm->FreeSafely();  // detaches the session's events first
    delete this;
  }

 private:
  ~TQtViewer() override = default;

  // One more picture shown (a tile update or a decoded video picture).
  void CountPicture() {
    ++FStats.Frames;
    if (FStats.FirstPicture == 0) {
      FStats.FirstPicture = TickMs();
      if (FOnFirst) FOnFirst();
    }
  }

  TViewerStats& FStats;
  std::function<void()> FOnFirst;
  QPointer<TViewerForm> FForm;
};

// The viewer window's recording over the program's MP4 recorder.
class TViewerRecording final : public IViewerRecorder {
 public:
  explicit TViewerRecording(std::unique_ptr<IMP4Recorder> ARec) : FRec(std::move(ARec)) {}
  std::string AddFrame(const TPictureView& APicture, std::int64_t ATimeMs) override {
    if (!APicture.Bits || APicture.Width < FRec->Width() || APicture.Height < FRec->Height())
      return "the picture to record has the wrong size";
    return FRec->AddFrame(APicture.Bits, APicture.Stride, ATimeMs);
  }
  std::string Finish() override { return FRec->Finish(); }
  std::string Path() const override { return FRec->Path(); }

 private:
  std::unique_ptr<IMP4Recorder> FRec;
};

TRecorderFactory RecorderFactory(std::shared_ptr<IVideoCodecs> AVideo) {
  return [AVideo](const std::string& APath, int AW, int AH, int AFps, std::string& AError)
             -> std::unique_ptr<IViewerRecorder> {
    try {
      return std::make_unique<TViewerRecording>(AVideo->CreateRecorder(APath, AW, AH, AFps));
    } catch (const std::exception& e) {
      AError = e.what();
      return nullptr;
    }
  };
}

}  // namespace

TViewerWindowPtr MakeViewerWindow(IViewerEvents& AEvents, const std::string& ACaption, const TSettingsStore& AStore,
                                  TViewerStats& AStats, std::shared_ptr<const IViewerKeys> AKeys,
                                  std::function<void()> AOnFirst) {
  return TViewerWindowPtr(new TQtViewer(AEvents, ACaption, AStore, AStats, std::move(AKeys), std::move(AOnFirst)));
}

TMainSessions::TMainSessions(TTovikClient& AClient, const TSettingsStore& AStore, std::string ALogPath,
                             TPlatformServices APlatform, TQtTimedDriver& ADriver, QObject* parent)
    : QObject(parent), FClient(AClient), FStore(AStore), FLogPath(std::move(ALogPath)), FPlatform(std::move(APlatform)),
      FLink(AClient), FDriver(ADriver) {}

TMainSessions::~TMainSessions() { Free(); }

void TMainSessions::SessionLog(const std::string& AText) const { AppendSessionLine(FLogPath, AText); }

std::optional<TPicture24> TMainSessions::HelperPicture() const {
  return FSession ? FSession->HelperPicture() : std::nullopt;
}

bool TMainSessions::StopBarShown() const { return FStopBar && FStopBar->isVisible(); }

const QWidget* TMainSessions::StopButton() const { return StopBarShown() ? FStopBar->StopButton() : nullptr; }

namespace {
// The helper's picture from [Profile] Picture: 96 px on its longer side, rows of blue, green, red.
std::optional<TPicture24> ProfilePicture(const std::string& APath) {
  if (APath.empty()) return std::nullopt;
  // Decoded at about the size it is sent, so a huge picture never lands in memory whole.
  const QImage img = ReadPictureScaled(Q(APath), 96);
  if (img.isNull() || img.width() < 1 || img.height() < 1) return std::nullopt;
  const bool tall = img.width() < img.height();
  const int w = tall ? std::max(1, qRound(96.0 * img.width() / img.height())) : 96;
  const int h = tall ? 96 : std::max(1, qRound(96.0 * img.height() / img.width()));
  const QImage small = img.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_RGB888);
  TPicture24 pic{w, h, TBytes(static_cast<std::size_t>(w) * h * 3)};
  for (int y = 0; y < h; ++y) {
    const uchar* row = small.constScanLine(y);
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &pic.Pixels[(static_cast<std::size_t>(y) * w + x) * 3];
      p[0] = row[x * 3 + 2];
      p[1] = row[x * 3 + 1];
      p[2] = row[x * 3];
    }
  }
  return pic;
}
}  // namespace

std::shared_ptr<IConsentPrompt> MakeConsentPrompt() { return std::make_shared<TQtConsent>(); }

TToolsServices TMainSessions::ToolsServices(bool AIsViewer) const {
  TToolsServices s;
  const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + "/Tovik";
  s.Clipboard = std::make_shared<TQtClipboard>();
  if (FPlatform.TransferFiles) s.Files = FPlatform.TransferFiles(downloads.toStdString());
  s.MakeWindow = MakeToolsWindows(downloads);
  if (FPlatform.SessionHistory) s.History = FPlatform.SessionHistory(FStore.Paths().UserFolder + "/Sessions.csv");
  s.WallNow = FPlatform.WallNow;
  if (AIsViewer) {
    std::string name = FStore.ReadText("Profile", "Name");
    if (name.empty()) name = qEnvironmentVariable("USER").toStdString();
    s.Profile = {name, FStore.ReadText("Profile", "Company"), FStore.ReadText("Profile", "Email"),
                 FStore.ReadText("Profile", "Phone"), ProfilePicture(FStore.ReadText("Profile", "Picture"))};
  } else {
    if (FPlatform.Restart) s.Restart = FPlatform.Restart(QCoreApplication::applicationFilePath().toStdString());
    // On X11 the helper's injected input already reaches the desktop's administrator prompts.
    s.AdminReachable = [] { return true; };
    // Thumbnails through a screen backend of their own, made when the helper first asks for them.
    if (FPlatform.Screen)
      s.GrabThumb = [make = FPlatform.Screen, backend = std::shared_ptr<IScreenBackend>()](
                        const TRect& AScreen, int AW, int AH) mutable -> std::optional<TPicture24> {
        if (!backend) backend = make();
        if (!backend) return std::nullopt;
        TBytes rows = GrabThumbnail(*backend, AScreen, AW, AH);
        if (rows.empty()) return std::nullopt;
        return TPicture24{AW, AH, std::move(rows)};
      };
  }
  return s;
}

void TMainSessions::Create(bool AIsViewer, const std::optional<TPasswordVerifier>& AUnattended) {
  Free();
  TSessionDeps deps;
  deps.Link = &FLink;
  QPointer<TMainSessions> self(this);
  deps.Post = [self](std::function<void()> AWork) {
    if (self) QMetaObject::invokeMethod(self.data(), std::move(AWork), Qt::QueuedConnection);
  };
  deps.Log = [this](const std::string& s) { SessionLog(s); };
  deps.Settings.EdgeSwitch = FStore.ReadSwitch("Session", "EdgeSwitch");
  deps.Settings.HideWallpaper = FStore.ReadSwitch("Session", "HideWallpaper");
  deps.Video = FPlatform.Video;
  deps.Settings.CompactTiles = FPlatform.CompactTiles;
  if (AIsViewer) {
    deps.MakeViewer = [this](IViewerEvents& AEvents, const std::string& ACaption) {
      TViewerWindowPtr window = MakeViewerWindow(AEvents, ACaption, FStore, FStats, FPlatform.ViewerKeys, [this] {
        if (OnFirstPicture) OnFirstPicture();
      });
      if (FStats.Form && FPlatform.Video) FStats.Form->MakeRecorder = RecorderFactory(FPlatform.Video);
      return window;
    };
    if (Dock)
      deps.Settings.DockViewer = [this, dock = Dock](IViewerWindow& AWindow, const std::string& ACaption) {
        if (FStats.Form)
          dock(*FStats.Form, ACaption);
        else
          AWindow.Show();
      };
    deps.PasswordPrompt = std::make_shared<TQtPasswordPrompt>();
    deps.MakeSoundPlayer = FPlatform.SoundPlayer;
  } else {
    if (FPlatform.Screen) deps.Screen = MakeCapturerScreen(FPlatform.Screen());
    if (FPlatform.Injector) deps.Injector = MakeHostInput(FPlatform.Injector());
    if (const std::shared_ptr<TBrokerClient>& broker = FPlatform.Broker) {
      // Off this program's own desktop (the greeter, another user's session) pictures and input go
      // through the agent of the shown session, after consent.
      deps.Screen = MakeBrokerScreen(std::move(deps.Screen), broker, FPlatform.IsNormalDesktop);
      deps.Injector = MakeBrokerInput(std::move(deps.Injector), broker, FPlatform.IsNormalDesktop);
      deps.UseBroker = [broker](bool AOn) { broker->UseBroker(AOn); };
      deps.AdminAvailable = [broker] { return broker->BrokerAvailable(); };
    }
    if (FPlatform.HostIdentity) deps.Identity = FPlatform.HostIdentity();
    deps.Consent = MakeConsentPrompt();
    deps.MakeSoundCapture = FPlatform.SoundCapture;
    if (AUnattended) deps.UnattendedPassword = TUnattendedPassword{*AUnattended, FThrottle};
    if (FPlatform.Wallpaper) deps.Wallpaper = FPlatform.Wallpaper([this](const std::string& s) { SessionLog(s); });
    if (!deps.Screen) SessionLog("no screen to capture on this desktop");
    if (!deps.Injector) SessionLog("no input injection on this desktop");
  }
  deps.MakeTools = [this](const TToolsContext& AContext) {
    return std::make_unique<TSessionTools>(AContext, ToolsServices(AContext.IsViewer));
  };
  deps.Stopwatch = &TickMs;
  deps.Wake = [this] { FDriver.Wake(); };
  deps.CaptureWorker = true;
  FSession = std::make_unique<TTovikSession>(std::move(deps), AIsViewer, AUnattended.has_value(), TickMs());
  AttachSession(FClient, *FSession);
  FSession->OnHelperInfo = [this] {
    if (OnHelperInfo) OnHelperInfo();
  };
  FSession->OnAllowed = [this] {
    ShowStopBar();
    if (OnAllowed) OnAllowed();
  };
  // The session schedules its own ticks; the window's one driver runs it at its deadlines.
  FDriver.Add(*FSession);
  FDriver.Rearm();
}

void TMainSessions::ShowStopBar() {
  if (!FSession || FSession->IsViewer()) return;
  std::string who = FSession->HelperName();
  if (who.empty()) who = FClient.PartnerName();
  if (who.empty()) who = FormatID(FClient.PartnerID());
  who = Utf8Left(who, kMaxNameChars);
  const TConsentAnswer mode = FSession->Mode() == 0 ? caViewOnly : caControl;
  if (FStopBar) FStopBar->deleteLater();
  FStopBar = new TStopBar(QString::fromStdString(who), mode);
  // The session has no pause of its own yet; the bar offers Stop only.
  if (QWidget* pause = FStopBar->PauseButton()) pause->hide();
  FStopBar->OnStop = [this] {
    SessionLog("stop bar: Stop");
    FLink.Disconnect();
  };
  FStopBar->PlaceOnScreen();
  FStopBar->show();
}

void TMainSessions::Free() {
  if (FStopBar) {
    FStopBar->hide();
    FStopBar->deleteLater();
  }
  FStopBar.clear();
  if (!FSession) return;
  FClient.OnData = nullptr;
  FDriver.Remove(*FSession);
  FSession.reset();
  FStats.Form = nullptr;
}

}  // namespace tovik
