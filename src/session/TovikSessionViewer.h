// TViewerSide: the helper's half of a session. It shows the frames it receives in the viewer window,
// sends the window's input while control is allowed, asks again for pictures that went missing, and
// answers the window's events (IViewerEvents).
//
// Ownership: owned by TTovikSession, which also owns the TSessionContext it works on (the context
// outlives the side). The side owns the viewer window through TViewerWindowPtr (FreeSafely), the
// sound player and the frame and input transports.
//
// Threads: GUI thread only; the window calls the events on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikTimed.h"
#include "session/TovikSessionContext.h"
#include "session/TovikSessionWire.h"
#include "session/TovikUnattended.h"

namespace tovik {

class TViewerSide final : public IViewerEvents {
 public:
  // Makes the window (through ADeps.MakeViewer) and asks the host for a full picture.
  TViewerSide(TSessionContext& ACtx, TSessionDeps& ADeps);
  // Frees the window with FreeSafely.
  ~TViewerSide() override;
  TViewerSide(const TViewerSide&) = delete;
  TViewerSide& operator=(const TViewerSide&) = delete;

  // Sets the tools' viewer events and announces what this viewer has; called once the tools exist.
  void Start();

  // One delivered channel message.
  void OnMessage(const TChannelMsg& AMsg);
  // Any other peer packet (frame chunks, input acknowledgements, host status, sound).
  void OnData(TByteView APacket);

  // The viewer's schedule: ChannelTick and NackTick every 10 ms, ViewerTick every 100 ms, from the
  // time the side was made. HandleTimeout runs what is due at ANow (FCtx.Now is already ANow) and
  // logs what goes wrong in a tick.
  TTick NextDeadline() const;
  void HandleTimeout(TTick ANow);

  // The named ticks, at FCtx.Now; they may raise (the caller logs).
  void ChannelTick();
  void ViewerTick();
  void NackTick();

  // The host's mode from its last status: -1 before any, 0 view only, 1 control.
  int ViewerMode() const { return FViewerMode; }
  // Frees the window now (the session's end).
  void FreeWindow() { FViewer.reset(); }

  // IViewerEvents.
  void OnInput(const TInputEvent& AEvent) override;
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

 private:
  void PasswordChallenge(const TBytes& ABody);
  void PasswordAnswered(const TPasswordChallenge& AChallenge, std::optional<std::string>& APassword);
  void PasswordResult(const TBytes& ABody);
  void ShowFrame(TByteView ABlob);
  // Decodes one video frame into the window; false while no whole picture can be shown (waiting for
  // a key frame, or the decoder failed and the session went back to tiles). Throws for damaged data.
  bool ShowVideo(const TFrameBlob& ABlob);
  void VideoFailed();
  void PollNacks();
  void PlaySound(TByteView APacket);
  void SetInfo(const std::string& AState);
  void SwitchAtEdge(int ADir, double AFracY);
  void FullPictureRequest();

  TSessionContext& FCtx;
  TSessionSettings FSettings;
  std::shared_ptr<IPasswordPrompt> FPasswordPrompt;
  bool FPasswordAsked = false;
  std::uint8_t FCaps = kCapsWindowed;
  TPeriodicTick FChannelTimer{10};
  TPeriodicTick FNackTimer{10};
  TPeriodicTick FViewerTimer{100};
  TFrameReceiver FFrameRx;
  TFrameWindowReceiver FFrameRx2;
  TInputSender FInputTx;
  TViewerWindowPtr FViewer;
  std::string FViewerCaption;
  int FViewerMode = -1;
  bool FGotFrame = false;
  bool FFeedback = false;  // the host paces frames: report what arrives (mkTransport)
  std::int32_t FViewerTicks = 0;
  TTick FLastFrameTick = 0;
  TTick FLastEdgeSwitch = 0;
  bool FMuted = false;
  bool FPlayerFailed = false;
  std::shared_ptr<IVideoCodecs> FVideo;     // none: this viewer cannot show H.264
  std::unique_ptr<IH264Decoder> FDecoder;    // for FDecW x FDecH
  int FDecW = 0, FDecH = 0;
  bool FAwaitKey = true;  // the decoder shows nothing until the next key frame
  std::function<std::unique_ptr<IAudioPlayer>()> FMakeSoundPlayer;
  std::unique_ptr<IAudioPlayer> FPlayer;  // made with the first sound packet
  std::optional<std::uint32_t> FLastSoundSeq;  // of the last sound packet played
};

}  // namespace tovik
