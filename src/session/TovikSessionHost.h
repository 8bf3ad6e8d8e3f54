// THostSide: the helped PC's half of a session. It asks for consent (or, for unattended access,
// checks the helper's password: session/TovikUnattended.h), captures the screen and sends
// it as frames, injects the helper's input once control is allowed, hides the wallpaper, and keeps
// the messages that arrive before consent until the person has answered.
//
// Ownership: owned by TTovikSession, which also owns the TSessionContext it works on (the context
// outlives the side). The side owns the screen, the injector, the consent prompt (shared with the
// program), the wallpaper keeper, the sound capture and the frame and input transports.
//
// Threads: GUI thread only, with two exceptions. With ADeps.CaptureWorker the screen belongs to a
// TCaptureWorker, which grabs and encodes tile updates on its own threads; the side asks it for one
// update at a time (the rest of a large change comes ahead unasked), takes the results in order in
// HandleTimeout once the frame window has room (the worker's ADeps.Wake call brings it there)
// and reaches the screen otherwise only through the worker's lock. A screen that reports its changes
// (IHostScreen::WatchChanges) calls from its watch thread a callback that only sets FScreenChanged
// (atomic) and calls ADeps.Wake. FTxLock is held only around calls on the frame sender, never while
// calling out of the side.
#pragma once

#include <atomic>
#include <bitset>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikTimed.h"
#include "session/TovikCaptureWorker.h"
#include "session/TovikSessionContext.h"
#include "session/TovikSessionEarly.h"
#include "session/TovikSessionRate.h"
#include "session/TovikSessionWire.h"
#include "session/TovikUnattended.h"
#include "session/TovikWallpaper.h"

namespace tovik {

// The helper's input is applied at most kInputPerTick events per kInputTickMs (12,500 a second, far
// more than a person makes), so that a flood cannot keep the GUI thread (and with it the Stop button)
// busy. What arrives faster waits in a queue of at most kInputQueueMax events, in which a pointer move
// replaces the move queued just before it; what finds the queue full is not acknowledged, so the
// helper's program sends it again later.
inline constexpr TTick kInputTickMs = 8;
inline constexpr int kInputPerTick = 100;
inline constexpr std::size_t kInputQueueMax = 1000;

// A screen that reports its changes is still grabbed at least this often (ms), for what it does not
// report: the pointer, which is drawn into the picture, moved by the person at the PC.
inline constexpr TTick kPointerPollMs = 40;

class THostSide {
 public:
  // Takes the host's parts out of ADeps. AOnHelperInfo and AOnAllowed are the owner's events, read
  // when they fire; both must outlive the side.
  THostSide(TSessionContext& ACtx, TSessionDeps& ADeps, bool AUnattended, const std::function<void()>& AOnHelperInfo,
            const std::function<void()>& AOnAllowed);
  ~THostSide();
  THostSide(const THostSide&) = delete;
  THostSide& operator=(const THostSide&) = delete;

  // The host's own screens for the tools; empty when there is no screen.
  std::function<std::vector<TScreenRect>()> ScreenLister();
  // Sets the tools' host events; called once the tools exist.
  void WireTools();

  // One delivered channel message: handled now, or kept until consent.
  void OnMessage(TChannelMsg AMsg);
  // Any other peer packet (input, frame acknowledgements, requests for a full picture).
  void OnData(TByteView APacket);

  // The host's schedule: CaptureTick every 8 ms, PumpPackets and ChannelTick every 10 ms, from the
  // time the side was made, and InputTick every kInputTickMs while input waits in the queue. A screen
  // that reports its changes is grabbed as soon as it reports one (and the capture pacing of
  // TCaptureBucket and the frame window allow), and only every kPointerPollMs without a report; a capture worker's result is taken
  // as soon as it is ready.
  // HandleTimeout runs what is due at ANow (FCtx.Now is already ANow) and logs what goes wrong in a
  // tick.
  TTick NextDeadline() const;
  void HandleTimeout(TTick ANow);

  // The named ticks, at FCtx.Now; they may raise (the caller logs). CaptureTick and PumpPackets do
  // nothing before consent; ChannelTick also starts consent 2000 ms after creation when the helper's
  // profile has not done it earlier, and asks the person at the PC when a helper asked for its
  // password gives no answer within kPasswordWaitMs.
  void CaptureTick();
  void PumpPackets();
  void ChannelTick();

  // Without the paced transport the host sends at most kPlainChunksPerPump chunks per pump, and frames
  // that start between two pumps share one more kPlainChunksPerPump, so a burst of small updates
  // cannot push more than twice that into one pump period.
  static constexpr int kPlainChunksPerPump = 40;

  // The session's end, first while the tools still exist: the broker is released, the messages kept
  // for consent and the input waiting for its turn are dropped, and the buttons and keys the helper
  // left down are released; then, once the tools are gone, the wallpaper comes back (its worker
  // finishes the job before EndWallpaper returns).
  void BeginDestroy();
  void EndWallpaper();

  bool Allowed() const { return FAllowed; }
  std::uint8_t Mode() const { return FMode; }
  bool WallpaperHidden() const { return FWallpaper && FWallpaper->Hidden(); }
  const TRateState& Rate() const { return FRate; }
  std::size_t EarlyCount() const { return FEarly.Count(); }
  std::int64_t FramesSent() const { return FFramesSent; }
  std::size_t InputQueued() const { return FInputQueue.size(); }

 private:
  void Dispatch(const TChannelMsg& AMsg);
  void KeepEarly(TChannelMsg AMsg);
  void StartConsent();
  void RunConsent();
  void AskPerson();
  bool StartPasswordCheck();
  void PasswordProof(const TBytes& AProof);
  void PostPasswordResult(TPasswordVerdict AVerdict, TTick AWaitMs);
  void ConsentAnswered(TConsentAnswer AAnswer);
  void CaptureAndSend(bool AFromAck);
  // Whether a frame may start now (the frame window has room); first drops the frames in flight when
  // the oldest has waited 2000 ms, and asks for a full picture.
  bool FrameRoom();
  // Sends the worker's next finished update, once the frame window has room.
  void TakeCapture();
  void SendFrame(const TBytes& ABlob);
  // Sends what the frame sender lets go now: the pacer's share, or (unpaced) a pump's chunks, or for a
  // frame that just started what is left of the frame-start share of this pump period.
  void SendQueued(bool AFrameStart);
  // Frames are H.264 video (encoded on this thread, not by the worker).
  bool VideoPath() const;
  TBytes BuildFrame(IHostScreen& AScreen);
  // The video part of BuildFrame: a video frame blob, or nothing (no change, held back, or failed).
  TBytes BuildVideoFrame(IHostScreen& AScreen);
  bool HasScreen() const { return FCapturer || FWorker; }
  // Runs AWork on the screen (after the worker's capture in flight, if any). Needs HasScreen.
  template <class F>
  decltype(auto) OnScreen(F&& AWork);
  // Whether the screen shows the normal desktop (the worker's answer as of its last capture).
  bool ScreenNormal();
  void RunRateStats();
  void SendStatus();
  void HideWallpaper();
  void RestoreWallpaper();
  void SoundPump();
  // Takes one new input event from the receiver: applied now while this tick's budget lasts and
  // nothing waits, else queued; false when the queue is full. AHandled counts the events handed to
  // ApplyInput.
  bool TakeInput(const TInputEvent& AEvent, int& AHandled);
  // Applies queued input within the budget.
  void InputTick();
  void RefillInputBudget();
  void ApplyInput(const TInputEvent& AEvent);
  // Whether an event may reach the desktop: pointer events on our own windows and keys while one of
  // them has the focus stay here. A release follows its press: a release whose press stayed here
  // stays too, and one whose press went on goes on (at the last point passed on when it is over our
  // window), so that no button or key is left down. May move AEvent's point.
  bool PassOwnWindows(TInputEvent& AEvent);
  // Injects the releases of the buttons and keys whose presses went on and were not released yet.
  void ReleaseHeldInput();
  void PickArea(const TRect& ARect);

  TSessionContext& FCtx;
  const std::function<void()>& FOnHelperInfo;
  const std::function<void()>& FOnAllowed;

  std::unique_ptr<IHostScreen> FCapturer;  // null once the worker owns it
  std::unique_ptr<TCaptureWorker> FWorker;
  std::function<void()> FWake;  // any thread
  std::unique_ptr<IHostInput> FInjector;
  std::shared_ptr<IConsentPrompt> FConsent;
  std::optional<TUnattendedPassword> FPassword;
  std::function<bool()> FAdminAvailable;
  std::function<void(bool)> FUseBroker;
  std::unique_ptr<TWallpaperKeeper> FWallpaper;
  TFrameWindowSender FFrameTx;
  std::mutex FTxLock;  // held only around calls on FFrameTx
  TInputReceiver FInputRx;
  std::function<TTick()> FStopwatch;
  const bool FUnattended;
  const TTick FCreated;
  TPeriodicTick FCaptureTimer{8};
  TPeriodicTick FPumpTimer{10};
  TPeriodicTick FChannelTimer{10};
  TPeriodicTick FInputTimer{kInputTickMs};  // runs while input waits

  bool FAllowed = false;
  std::uint8_t FMode = 0;
  bool FConsentStarted = false;
  std::uint8_t FViewerCaps = 0;
  bool FTransportSent = false;  // mkTransport posted (the viewer announced kCapsPaced)
  // The password exchange of an unattended session: the challenge sent and not yet answered.
  std::optional<TPasswordChallenge> FChallenge;
  TTick FChallengeSent = 0;
  bool FChannelOpen = false;  // messages of the exchange may leave before consent
  bool FPasswordPassed = false;
  TTick FEndAt = 0;  // after a wrong password: when the session ends
  static constexpr TTick kVerdictGraceMs = 1000;
  TEarlyBuffer<TChannelMsg> FEarly;
  bool FEarlyOverflow = false;
  bool FWantFull = false;
  std::int32_t FModeTicks = 0;
  bool FWasSecure = false;
  std::int64_t FFramesSent = 0;
  std::int64_t FInputsRx = 0;
  // Input kept away from our own windows: buttons (bit per button 0..2) and keys (by virtual key)
  // whose press went on or stayed here, and the last pointer point passed on.
  std::uint8_t FButtonsDown = 0;
  std::uint8_t FButtonsKept = 0;
  std::bitset<65536> FKeysDown;
  std::bitset<65536> FKeysKept;
  TPoint FLastPointer;
  bool FOwnWindowsLogged = false;
  TTick FLastCapture = 0;
  TCaptureBucket FCaptureBucket;  // new changes (not the rest of a picture) within the frame rate
  TRateState FRate;
  bool FVideoWanted = false;
  bool FVideoFailed = false;
  std::shared_ptr<IVideoCodecs> FVideo;   // none: tiles only
  std::unique_ptr<TH264Encoder> FEncoder;  // for FEncW x FEncH at the current rate
  int FEncW = 0, FEncH = 0;
  // The encoder held the last picture back: offer the current picture again on the next tick even
  // when the screen has not changed, so that the viewer never stays on an old one.
  bool FVideoPending = false;
  bool FOnSecureDesktop = false;
  bool FAudioOn = false;
  bool FAudioFailed = false;
  std::function<std::unique_ptr<ILoopbackCapture>()> FMakeSoundCapture;
  std::unique_ptr<ILoopbackCapture> FAudioCap;  // while sound is wanted after consent
  std::uint32_t FAudioSeq = 0;                  // of the last sound packet sent
  bool FKeepWallpaper = false;
  // Input waiting for its turn, and what may still be applied before the next refill.
  std::deque<TInputEvent> FInputQueue;
  int FInputBudget = kInputPerTick;
  TTick FInputBudgetSince;
  bool FInputFloodLogged = false;
  // Capture scheduling: a change reported since the last capture; the last update had no room for
  // every changed tile; the frame window was full at the last try.
  std::atomic<bool> FScreenChanged{false};
  bool FMoreWaiting = false;
  int FFrameStartBudget = kPlainChunksPerPump;  // unpaced: what frames starting before the next pump may send
  bool FBlocked = false;
  bool FNormalDesktop = true;
  std::string FScreenDiag;  // the worker's last Diag
  std::unique_ptr<IChangeWatch> FChangeWatch;  // last: its thread uses the fields above
};

template <class F>
decltype(auto) THostSide::OnScreen(F&& AWork) {
  if (FWorker) return FWorker->WithScreen(std::forward<F>(AWork));
  return AWork(*FCapturer);
}

}  // namespace tovik
