// TTovikSession: one support session between two PCs over an established peer link, in the host role
// (the helped PC: consent, capture, input injection) or the viewer role (the helper's PC: pictures,
// input, the viewer window). Both roles share one reliable message channel and the session tools.
//
// Ownership: the session owns its per-role objects (frame sender or receivers, input receiver or
// sender, channel, tools, viewer window, screen, injector, wallpaper keeper). The link (ISessionLink)
// is not owned and must outlive the session.
//
// Threads: everything runs on the GUI thread. The owner feeds the link's binary packets into
// OnPeerData and calls the timer methods at their periods:
//   host:   CaptureTick every 8 ms, PumpPackets every 10 ms (both do nothing before consent);
//   both:   ChannelTick every 10 ms (on a host it also starts consent 2000 ms after creation);
//   viewer: ViewerTick every 100 ms, NackTick every 10 ms.
// Deferred work (consent start, disconnect) goes through the injected TPostToGui function and holds
// the session's alive token, never the session; after the destructor has run it does nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/TovikClock.h"
#include "session/TovikSessionEarly.h"
#include "session/TovikSessionGuard.h"
#include "session/TovikSessionIntf.h"
#include "session/TovikSessionRate.h"
#include "session/TovikSessionWire.h"
#include "session/TovikWallpaper.h"

namespace tovik {

// Settings shared by every session of the program ([Session] EdgeSwitch, HideWallpaper, and the
// tabbed-sessions docking hook).
struct TSessionSettings {
  bool EdgeSwitch = true;
  bool HideWallpaper = true;
  // When set, a new viewer window is handed to it (with the grouped partner ID) instead of shown.
  std::function<void(IViewerWindow&, const std::string&)> DockViewer;
};

// Everything a session is built from.
struct TSessionDeps {
  ISessionLink* Link = nullptr;  // required; not owned
  TPostToGui Post;               // required
  TLogFn Log;                    // session log lines; none = not logged
  TSessionSettings Settings;
  TToolsFactory MakeTools;       // none = TBasicSessionTools
  // Host.
  std::unique_ptr<IHostScreen> Screen;
  std::unique_ptr<IHostInput> Injector;
  std::shared_ptr<IConsentPrompt> Consent;  // none = every request is denied
  std::unique_ptr<IWallpaperBackend> Wallpaper;
  std::function<bool()> AdminAvailable;     // none = false
  std::function<void(bool)> UseBroker;      // none = no desktop broker
  THostIdentity Identity;                   // told to the viewer (THostIdentity::Local() in the program)
  // Viewer.
  TViewerWindowFactory MakeViewer;          // required for a viewer
};

class TTovikSession final : private IViewerEvents {
 public:
  TTovikSession(TSessionDeps ADeps, bool AIsViewer, bool AUnattended);
  ~TTovikSession() override;
  TTovikSession(const TTovikSession&) = delete;
  TTovikSession& operator=(const TTovikSession&) = delete;

  // Every binary peer packet the link delivers.
  void OnPeerData(TByteView APacket);

  // Timers (see the header comment).
  void CaptureTick();
  void PumpPackets();
  void ChannelTick();
  void ViewerTick();
  void NackTick();

  void ShowTools();
  bool RestartAsked() const;
  std::string HelperName() const;
  std::optional<TPicture24> HelperPicture() const;

  std::function<void()> OnHelperInfo;  // host: the helper's profile is complete
  std::function<void()> OnAllowed;     // host: consent was given

  // State, for the owner's status display and for tests.
  bool IsViewer() const { return FIsViewer; }
  bool Allowed() const { return FAllowed; }
  std::uint8_t Mode() const { return FMode; }
  int ViewerMode() const { return FViewerMode; }
  bool WallpaperHidden() const { return FWallpaper && FWallpaper->Hidden(); }
  const TRateState& Rate() const { return FRate; }
  std::size_t EarlyCount() const { return FEarly.Count(); }
  std::int64_t FramesSent() const { return FFramesSent; }
  ISessionTools& Tools() { return *FTools; }
  TSessionGuardRef Guard() const { return FGuard; }

  // A few messages the session posts itself; exposed for owners that drive the same channel.
  TMsgChannel& Channel() { return FChannel; }

 private:
  // Both roles.
  void SendPacket(TByteView AData);
  void SessionLog(const std::string& AText);
  void DisconnectLater();
  void DispatchMessage(const TChannelMsg& AMsg);
  void WireTools();

  // Host.
  void StartConsent();
  void RunConsent();
  void ConsentAnswered(TConsentAnswer AAnswer);
  void HostData(TByteView APacket);
  void CaptureAndSend(bool AFromAck);
  TBytes BuildFrame();
  void RunRateStats();
  void SendStatus();
  void HideWallpaper();
  void RestoreWallpaper();
  void SoundPump();
  void ApplyInput(const TInputEvent& AEvent);
  void PickArea(const TRect& ARect);
  void KeepEarly(TChannelMsg AMsg);

  // Viewer.
  void ViewerData(TByteView APacket);
  void ShowFrame(TByteView ABlob);
  void ShowVideo(const TFrameBlob& ABlob);
  void VideoFailed();
  void PollNacks();
  void PlaySound(TByteView APacket);
  void SetInfo(const std::string& AState);
  void SwitchAtEdge(int ADir, double AFracY);
  void FullPictureRequest();

  // IViewerEvents.
  void OnInput(std::uint8_t AKind, std::int16_t AX, std::int16_t AY, std::int32_t AData) override;
  void OnUserClose() override;
  void OnChat() override;
  void OnSendFiles(const std::vector<std::string>& AFiles) override;
  void OnPickScreen(int AIndex) override;
  void OnRestart() override;
  void OnMute(bool AValue) override;
  void OnShowThumbs(bool AValue) override;
  std::optional<TPicture24> OnGetThumb(int AIndex) override;
  void OnCancelSend() override;
  void OnEdge(int ADir, double AFracY) override;
  void OnElevate() override;

  ISessionLink* FClient;
  const bool FIsViewer;
  TSessionGuardRef FGuard;
  TPostToGui FPost;
  TLogFn FLog;
  TSessionSettings FSettings;

  // Host.
  std::unique_ptr<IHostScreen> FCapturer;
  std::unique_ptr<IHostInput> FInjector;
  std::shared_ptr<IConsentPrompt> FConsent;
  std::function<bool()> FAdminAvailable;
  std::function<void(bool)> FUseBroker;
  std::unique_ptr<TFrameWindowSender> FFrameTx;
  std::unique_ptr<TInputReceiver> FInputRx;
  std::mutex FTxLock;  // held only around calls on FFrameTx
  bool FUnattended = false;
  bool FAllowed = false;
  std::uint8_t FMode = 0;
  bool FWantFull = false;
  std::int32_t FModeTicks = 0;
  bool FWasSecure = false;
  std::unique_ptr<TWallpaperKeeper> FWallpaper;
  std::int64_t FFramesSent = 0;
  std::int64_t FInputsRx = 0;
  TInputEvent FHeldDown{};
  bool FHasHeldDown = false;
  TTick FLastCapture = 0;
  TRateState FRate;
  bool FVideoWanted = false;
  bool FVideoFailed = false;
  bool FOnSecureDesktop = false;
  bool FAudioOn = false;
  bool FAudioFailed = false;
  TTick FCreated = 0;
  bool FConsentStarted = false;
  TEarlyBuffer<TChannelMsg> FEarly;
  bool FEarlyOverflow = false;
  bool FKeepWallpaper = false;

  // Both.
  TMsgChannel FChannel;
  std::unique_ptr<ISessionTools> FTools;

  // Viewer.
  TViewerWindowPtr FViewer;
  std::string FViewerCaption;
  int FViewerMode = -1;
  std::unique_ptr<TFrameReceiver> FFrameRx;
  std::unique_ptr<TFrameWindowReceiver> FFrameRx2;
  std::unique_ptr<TInputSender> FInputTx;
  bool FGotFrame = false;
  std::int32_t FViewerTicks = 0;
  TTick FLastFrameTick = 0;
  TTick FLastEdgeSwitch = 0;
  bool FMuted = false;
  bool FPlayerFailed = false;
};


}  // namespace tovik
