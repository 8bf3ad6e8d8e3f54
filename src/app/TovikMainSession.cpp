#include "app/TovikMainSession.h"

#include <QImage>
#include <QMetaObject>

#include "app/TovikQtDriver.h"
#include "base/TovikLog.h"
#include "base/TovikTimed.h"
#include "session/ui/TovikConsent.h"
#include "session/TovikSessionAdapters.h"
#include "session/ui/TovikViewer.h"
#include "session/TovikWallpaper.h"

namespace tovik {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QImage ImageOf(const std::optional<TPicture24>& APic) {
  if (!APic || APic->Width <= 0 || APic->Height <= 0 ||
      APic->Pixels.size() != static_cast<std::size_t>(APic->Width) * APic->Height * 3)
    return QImage();
  QImage img(APic->Width, APic->Height, QImage::Format_RGB32);
  for (int y = 0; y < APic->Height; ++y) {
    const std::uint8_t* s = APic->Pixels.data() + static_cast<std::size_t>(y) * APic->Width * 3;
    auto* d = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < APic->Width; ++x) d[x] = qRgb(s[x * 3 + 2], s[x * 3 + 1], s[x * 3]);
  }
  return img;
}

// The consent dialog as the session's prompt. The dialog answers once; when the session ends first,
// the prompt (owned by the session) closes the dialog without an answer.
class TQtConsent final : public IConsentPrompt {
 public:
  ~TQtConsent() override { AbandonConsent(FForm); }
  void Ask(const TConsentRequest& ARequest, std::function<void(TConsentAnswer)> AAnswer) override {
    AbandonConsent(FForm);
    FForm = AskConsent(Q(ARequest.Helper), Q(ARequest.Address), Q(ARequest.CheckNumber), ImageOf(ARequest.Picture),
                       std::move(AAnswer));
  }

 private:
  QPointer<TConsentForm> FForm;
};

// The viewer window as the session sees it. Owned by the session through FreeSafely, which detaches
// the window, lets it free itself and deletes this adapter.
class TQtViewer final : public IViewerWindow, public IViewerHost {
 public:
  TQtViewer(IViewerEvents& AEvents, const std::string& ACaption, const TSettingsStore& AStore, TViewerStats& AStats,
            std::function<void()> AOnFirst)
      : FEvents(AEvents), FStore(AStore), FStats(AStats), FOnFirst(std::move(AOnFirst)) {
    int mode = AStore.ReadInt("Viewer", "Scale");
    if (mode < 0 || mode > 2) mode = 0;
    FForm = new TViewerForm(Q(ACaption), mode);
    FForm->SetRecordFolder(Q(AStore.ReadText("Session", "RecordFolder")));
    FForm->SetHost(this);
    FStats = TViewerStats{};
    FStats.Picture = &FPicture;
  }

  // IViewerWindow.
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
    ApplyScreenUpdate(FPicture, AUpdate);  // throws on a bad update: the session asks for a full picture
    ++FStats.Frames;
    if (FForm && FPicture.Width() > 0) {
      const QImage view(FPicture.Row(0), FPicture.Width(), FPicture.Height(), static_cast<qsizetype>(FPicture.Stride()),
                        QImage::Format_RGB32);
      FForm->ShowPicture(view);
    }
    if (FStats.FirstPicture == 0) {
      FStats.FirstPicture = TickMs();
      if (FOnFirst) FOnFirst();
    }
  }
  bool VideoTarget(int AW, int AH, std::uint8_t*& ABits, std::ptrdiff_t& AStride) override {
    if (!FForm) return false;
    int stride = 0;
    FForm->VideoTarget(AW, AH, ABits, stride);
    AStride = stride;
    return ABits != nullptr;
  }
  void VideoDone() override {
    if (FForm) FForm->VideoDone();
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
    FStats.Picture = nullptr;
    if (FForm) {
      FForm->SetHost(nullptr);
      FForm->FreeSafely();
    }
    delete this;
  }

  // IViewerHost.
  void OnInput(const TViewerInput& e) override { FEvents.OnInput(e.Kind, e.X, e.Y, e.Data); }
  void OnUserClose() override { FEvents.OnUserClose(); }
  void OnChat() override { FEvents.OnChat(); }
  void OnSendFiles(const std::vector<std::string>& files) override { FEvents.OnSendFiles(files); }
  void OnPickScreen(int index) override { FEvents.OnPickScreen(index); }
  void OnRestart() override { FEvents.OnRestart(); }
  void OnMute(bool muted) override { FEvents.OnMute(muted); }
  void OnShowThumbs(bool visible) override { FEvents.OnShowThumbs(visible); }
  bool OnGetThumb(int index, TPictureView& picture) override {
    FThumb = ImageOf(FEvents.OnGetThumb(index));
    if (FThumb.isNull()) return false;
    picture.Bits = FThumb.constBits();
    picture.Width = FThumb.width();
    picture.Height = FThumb.height();
    picture.Stride = static_cast<int>(FThumb.bytesPerLine());
    return true;
  }
  void OnCancelSend() override { FEvents.OnCancelSend(); }
  void OnEdge(int dir, double fracY) override { FEvents.OnEdge(dir, fracY); }
  void OnElevate() override { FEvents.OnElevate(); }
  void OnViewMode(int mode) override { FStore.WriteInt("Viewer", "Scale", mode); }

 private:
  ~TQtViewer() override = default;

  IViewerEvents& FEvents;
  const TSettingsStore& FStore;
  TViewerStats& FStats;
  std::function<void()> FOnFirst;
  QPointer<TViewerForm> FForm;
  TBitmap32 FPicture;
  QImage FThumb;
};

}  // namespace

// The session's five ticks as one timed object for the window's driver, at the periods its QTimers
// had: capture 8 ms, pump 10 ms, channel 10 ms, NACK 10 ms, viewer 100 ms; a host session runs
// capture, pump and channel, a viewer channel, NACK and viewer. A tick that frees the session (through
// the client's events) ends the round.
// Until the session schedules its own ticks.
class TSessionTicks final : public ITimedObject {
 public:
  explicit TSessionTicks(const std::unique_ptr<TTovikSession>& ASession) : FSession(ASession) {}

  void Start(bool AIsViewer, TTick ANow) {
    Stop();
    FChannel.Start(ANow);
    if (AIsViewer) {
      FNack.Start(ANow);
      FViewer.Start(ANow);
    } else {
      FCapture.Start(ANow);
      FPump.Start(ANow);
    }
  }
  void Stop() {
    for (TPeriodicTick* t : {&FCapture, &FPump, &FChannel, &FNack, &FViewer}) t->Stop();
  }

  TTick NextDeadline() const override {
    return EarliestDeadline({FCapture.Due(), FPump.Due(), FChannel.Due(), FNack.Due(), FViewer.Due()});
  }
  void HandleTimeout(TTick ANow) override {
    const std::pair<TPeriodicTick*, void (TTovikSession::*)()> ticks[] = {
        {&FCapture, &TTovikSession::CaptureTick}, {&FPump, &TTovikSession::PumpPackets},
        {&FChannel, &TTovikSession::ChannelTick}, {&FNack, &TTovikSession::NackTick},
        {&FViewer, &TTovikSession::ViewerTick}};
    for (const auto& [tick, run] : ticks) {
      if (!FSession) return;
      if (tick->Fire(ANow)) (FSession.get()->*run)();
    }
  }

 private:
  const std::unique_ptr<TTovikSession>& FSession;
  TPeriodicTick FCapture{8}, FPump{10}, FChannel{10}, FNack{10}, FViewer{100};
};

TMainSessions::TMainSessions(TTovikClient& AClient, const TSettingsStore& AStore, std::string ALogPath,
                             TPlatformServices APlatform, TQtTimedDriver& ADriver, QObject* parent)
    : QObject(parent), FClient(AClient), FStore(AStore), FLogPath(std::move(ALogPath)), FPlatform(std::move(APlatform)),
      FLink(AClient), FDriver(ADriver), FTicks(std::make_unique<TSessionTicks>(FSession)) {
  FDriver.Add(*FTicks);
}

TMainSessions::~TMainSessions() {
  Free();
  FDriver.Remove(*FTicks);
}

void TMainSessions::SessionLog(const std::string& AText) const { AppendSessionLine(FLogPath, AText); }

std::optional<TPicture24> TMainSessions::HelperPicture() const {
  return FSession ? FSession->HelperPicture() : std::nullopt;
}

bool TMainSessions::StopBarShown() const { return FStopBar && FStopBar->isVisible(); }

void TMainSessions::Create(bool AIsViewer, bool AUnattended) {
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
  if (AIsViewer) {
    deps.MakeViewer = [this](IViewerEvents& AEvents, const std::string& ACaption) {
      return TViewerWindowPtr(new TQtViewer(AEvents, ACaption, FStore, FStats, [this] {
        if (OnFirstPicture) OnFirstPicture();
      }));
    };
  } else {
    if (FPlatform.Screen) deps.Screen = MakeCapturerScreen(FPlatform.Screen());
    if (FPlatform.Injector) deps.Injector = MakeHostInput(FPlatform.Injector());
    deps.Consent = std::make_shared<TQtConsent>();
    if (FPlatform.Wallpaper) deps.Wallpaper = FPlatform.Wallpaper([this](const std::string& s) { SessionLog(s); });
    if (!deps.Screen) SessionLog("no screen to capture on this desktop");
    if (!deps.Injector) SessionLog("no input injection on this desktop");
  }
  FSession = std::make_unique<TTovikSession>(std::move(deps), AIsViewer, AUnattended);
  AttachSession(FClient, *FSession);
  FSession->OnHelperInfo = [this] {
    if (OnHelperInfo) OnHelperInfo();
  };
  FSession->OnAllowed = [this] {
    ShowStopBar();
    if (OnAllowed) OnAllowed();
  };
  FTicks->Start(AIsViewer, TickMs());
  FDriver.Rearm();
}

void TMainSessions::ShowStopBar() {
  if (!FSession || FSession->IsViewer()) return;
  std::string who = FSession->HelperName();
  if (who.empty()) who = FClient.PartnerName();
  if (who.empty()) who = FormatID(FClient.PartnerID());
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
  FTicks->Stop();
  if (FStopBar) {
    FStopBar->hide();
    FStopBar->deleteLater();
  }
  FStopBar.clear();
  if (!FSession) return;
  FClient.OnData = nullptr;
  FSession.reset();
  FStats.Picture = nullptr;
}

}  // namespace tovik
