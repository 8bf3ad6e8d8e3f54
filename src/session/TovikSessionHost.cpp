#include "session/TovikSessionHost.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "media/TovikInput.h"
#include "session/TovikCaptureWorker.h"

namespace tovik {

namespace {
const char* TF(bool b) { return b ? "True" : "False"; }
constexpr const char* kNoH264 = "no H.264 codec in this build";
constexpr const char* kNoSound = "no sound device support in this build";
}  // namespace

THostSide::THostSide(TSessionContext& ACtx, TSessionDeps& ADeps, bool AUnattended,
                     const std::function<void()>& AOnHelperInfo, const std::function<void()>& AOnAllowed)
    : FCtx(ACtx),
      FOnHelperInfo(AOnHelperInfo),
      FOnAllowed(AOnAllowed),
      FCapturer(std::move(ADeps.Screen)),
      FInjector(std::move(ADeps.Injector)),
      FConsent(std::move(ADeps.Consent)),
      FPassword(std::move(ADeps.UnattendedPassword)),
      FAdminAvailable(std::move(ADeps.AdminAvailable)),
      FUseBroker(std::move(ADeps.UseBroker)),
      FStopwatch(std::move(ADeps.Stopwatch)),
      FUnattended(AUnattended),
      FCreated(ACtx.Now),
      FRate(InitialRate(ACtx.Now)),
      FInputBudgetSince(ACtx.Now) {
  FFrameTx.SetMaxInFlight(4);
  FWake = std::move(ADeps.Wake);
  if (FCapturer) {
    FChangeWatch = FCapturer->WatchChanges([this] {
      FScreenChanged = true;
      if (FWake) FWake();
    });
    FNormalDesktop = FCapturer->IsNormalDesktop();
    if (ADeps.CaptureWorker)
      FWorker = std::make_unique<TCaptureWorker>(std::move(FCapturer), FWake, FStopwatch);
  }
  FMakeSoundCapture = std::move(ADeps.MakeSoundCapture);
  FVideo = std::move(ADeps.Video);
  if (ADeps.Wallpaper) FWallpaper = std::make_unique<TWallpaperKeeper>(std::move(ADeps.Wallpaper));
  FCaptureTimer.Start(FCreated);
  FPumpTimer.Start(FCreated);
  FChannelTimer.Start(FCreated);
}

THostSide::~THostSide() {
  FChangeWatch.reset();  // its thread calls into this side
}

bool THostSide::ScreenNormal() {
  if (FWorker) return FNormalDesktop;  // as of the last capture
  return FNormalDesktop = !FCapturer || FCapturer->IsNormalDesktop();
}

void THostSide::BeginDestroy() {
  if (FAllowed && FUseBroker) FUseBroker(false);
  FEarly.Clear();
  ReleaseHeldInput();
}

void THostSide::ReleaseHeldInput() {
  FInputQueue.clear();
  if (!FInjector || (FButtonsDown == 0 && FKeysDown.none())) return;
  for (int b = 0; b <= 2; ++b)
    if (FButtonsDown & (1u << b))
      FInjector->InjectInput(TInputEvent{0, ikButtonUp, static_cast<std::int16_t>(FLastPointer.X),
                                         static_cast<std::int16_t>(FLastPointer.Y), b});
  for (std::size_t k = 0; k < FKeysDown.size(); ++k)
    if (FKeysDown[k]) FInjector->InjectInput(TInputEvent{0, ikKeyUp, 0, 0, static_cast<std::int32_t>(k)});
  FButtonsDown = 0;
  FKeysDown.reset();
  FInjector->Flush();
}

void THostSide::EndWallpaper() {
  RestoreWallpaper();
  FWallpaper.reset();  // finishes the restore on its worker
}

std::function<std::vector<TScreenRect>()> THostSide::ScreenLister() {
  if (!HasScreen()) return {};
  return [this] { return OnScreen([](IHostScreen& s) { return s.Screens(); }); };
}

void THostSide::WireTools() {
  FCtx.Tools->OnPickMonitor = [this](const TRect& r) { PickArea(r); };
  FCtx.Tools->OnProfile = [this] {
    StartConsent();
    if (FOnHelperInfo) FOnHelperInfo();
  };
}

// ---- time ---------------------------------------------------------------------------------------

TTick THostSide::NextDeadline() const {
  TTick due = std::min({FCaptureTimer.Due(), FPumpTimer.Due(), FChannelTimer.Due(), FInputTimer.Due()});
  // A finished result goes as soon as the frame window has room (an acknowledgement makes it).
  if (FWorker && FWorker->Ready() && !FBlocked) return FCtx.Now;
  // A reported change (or the rest of a large picture) is grabbed at once, as far as the capture
  // pacing allows, unless the frame window is full (an acknowledgement then starts the capture) or
  // the worker is still busy (its result does).
  if (FAllowed && (FScreenChanged || FMoreWaiting) && !FBlocked && (!FWorker || FWorker->Idle())) {
    const TTick at = FMoreWaiting ? FCtx.Now : CaptureAllowedAt(FCaptureBucket, FRate.FFrameGapMs);
    due = std::min(due, std::max(at, FCtx.Now));
  }
  return due;
}

void THostSide::HandleTimeout(TTick ANow) {
  // Input first, so that the frame shows it; a frame is captured before the packets go out.
  if (FInputTimer.Fire(ANow)) FCtx.RunLogged("InputTick", [this] { InputTick(); });
  if (FWorker && FWorker->Ready() && !FBlocked) FCtx.RunLogged("CaptureTick", [this] { TakeCapture(); });
  if (FCaptureTimer.Fire(ANow))
    FCtx.RunLogged("CaptureTick", [this] { CaptureTick(); });
  else if (FAllowed && (FScreenChanged || FMoreWaiting) && !FBlocked)
    FCtx.RunLogged("CaptureTick", [this] { CaptureAndSend(false); });
  if (FPumpTimer.Fire(ANow)) FCtx.RunLogged("PumpPackets", [this] { PumpPackets(); });
  if (FChannelTimer.Fire(ANow)) FCtx.RunLogged("ChannelTick", [this] { ChannelTick(); });
}

// ---- messages -----------------------------------------------------------------------------------

void THostSide::OnMessage(TChannelMsg AMsg) {
  if (FAllowed || HandledBeforeConsent(AMsg.Kind))
    Dispatch(AMsg);
  else
    KeepEarly(std::move(AMsg));
}

void THostSide::KeepEarly(TChannelMsg AMsg) {
  if (FEarlyOverflow) return;
  if (FEarly.Push(std::move(AMsg))) return;
  // The partner sends more than any person waiting for the dialog needs: end the session.
  FEarlyOverflow = true;
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "too many messages before consent (%zu messages, %zu bytes buffered); ending the session",
                FEarly.Count(), FEarly.Bytes());
  FCtx.Log(buf);
  FEarly.Clear();
  FCtx.DisconnectLater();
}

void THostSide::Dispatch(const TChannelMsg& AMsg) {
  switch (AMsg.Kind) {
    case mkViewerCaps: {
      if (AMsg.Data.empty()) return;
      const std::uint8_t f = AMsg.Data[0];
      FViewerCaps = f;
      FVideoWanted = (f & kCapsH264) != 0;
      if (!FVideoWanted) FEncoder.reset();  // tiles from now on
      if (HasScreen()) OnScreen([f](IHostScreen& s) { s.SetCompact((f & kCapsCompact) != 0); });
      {
        std::lock_guard<std::mutex> l(FTxLock);
        FFrameTx.SetLegacy((f & kCapsWindowed) == 0);
        FFrameTx.SetPaced((f & kCapsPaced) != 0);
      }
      FWantFull = true;
      FCtx.Log(std::string("helper can show H.264: ") + TF(f & kCapsH264) +
               ", several frames in flight: " + TF(f & kCapsWindowed));
      if (f & kCapsCompact) FCtx.Log("helper reads compact tiles");
      if (f & kCapsPaced) FCtx.Log("helper paces frames by feedback");
      return;
    }
    case mkWallpaper:
      if (AMsg.Data.empty()) return;
      FKeepWallpaper = AMsg.Data[0] == 0;
      if (FAllowed) {
        if (FKeepWallpaper)
          RestoreWallpaper();
        else
          HideWallpaper();
      }
      return;
    case mkSoundSwitch:
      if (AMsg.Data.empty()) return;
      FAudioOn = AMsg.Data[0] != 0;
      if (!FAudioOn) FAudioCap.reset();
      return;
    case mkPasswordProof:
      PasswordProof(AMsg.Data);
      return;
    case mkRestart:
    case mkElevate:
      if (FMode != 1) return;
      break;
    default:
      break;
  }
  if (!HostReceives(AMsg.Kind)) return;
  FCtx.Tools->HandleMessage(AMsg);
}

void THostSide::ChannelTick() {
  if (!FConsentStarted && FCtx.Now - FCreated >= 2000) StartConsent();
  if (FEndAt != 0 && FCtx.Now >= FEndAt) {
    FEndAt = 0;
    FCtx.DisconnectLater();
  }
  if (FChallenge && FCtx.Now - FChallengeSent >= kPasswordWaitMs) {
    FChallenge.reset();
    FCtx.Log("Unattended access: no password from " + FormatID(FCtx.Link->PartnerID()) +
             " in time; asking the person at this PC");
    AskPerson();
  }
  // Before consent a host lets only acknowledgements out, and the messages of the password exchange:
  // nothing else it has reaches the viewer until access is allowed. Held messages go out with the
  // next resend after consent.
  if ((FViewerCaps & kCapsPaced) && !FTransportSent && (FAllowed || FChannelOpen)) {
    // Selective from the first message the viewer can get; it answers in kind once it has this one.
    FTransportSent = true;
    FCtx.Channel.SetSelective(true);
    FCtx.Channel.Post(mkTransport, {}, false);
  }
  FCtx.PollChannel(FAllowed, FAllowed || FChannelOpen);
  if (FAllowed) SoundPump();
}

// ---- consent ------------------------------------------------------------------------------------

void THostSide::StartConsent() {
  if (FConsentStarted) return;
  FConsentStarted = true;
  FCtx.Post(Guarded(FCtx.Guard, [this] { RunConsent(); }));
}

void THostSide::RunConsent() {
  // Unattended access needs the password; whenever it cannot be checked, the person at the PC
  // decides, exactly as without unattended access.
  if (FUnattended && StartPasswordCheck()) return;
  AskPerson();
}

bool THostSide::StartPasswordCheck() {
  const std::string from = FormatID(FCtx.Link->PartnerID());
  const TBytes binding = FCtx.Link->KeyBinding();
  if (!FPassword || !FPassword->Throttle || binding.empty()) {
    FCtx.Log("Unattended access: no password is set; asking the person at this PC");
    return false;
  }
  if ((FViewerCaps & kCapsPassword) == 0) {
    FCtx.Log("Unattended access: the helper's program at " + from +
             " cannot answer a password; asking the person at this PC");
    return false;
  }
  TPasswordThrottle& throttle = *FPassword->Throttle;
  if (throttle.Paused(FCtx.Now)) {
    const TTick left = throttle.PauseLeft(FCtx.Now);
    FCtx.Log("Unattended access: passwords are refused for " + std::to_string((left + 999) / 1000) +
             " more seconds after wrong ones; asking the person at this PC");
    PostPasswordResult(pvPaused, left);
    return false;
  }
  FChallenge = MakePasswordChallenge(FPassword->Verifier);
  FChallengeSent = FCtx.Now;
  FChannelOpen = true;
  FCtx.Channel.Post(mkPasswordChallenge, EncodePasswordChallenge(*FChallenge), false);
  FCtx.Log("Unattended access: asking " + from + " for the password");
  return true;
}

void THostSide::PasswordProof(const TBytes& AProof) {
  // Only the answer to a challenge of this session counts, and only once.
  if (!FChallenge || FAllowed) return;
  const TPasswordChallenge challenge = std::move(*FChallenge);
  FChallenge.reset();
  const std::string from = FormatID(FCtx.Link->PartnerID());
  if (AProof.empty()) {
    FCtx.Log("Unattended access: " + from + " gave no password; asking the person at this PC");
    AskPerson();
    return;
  }
  TPasswordThrottle& throttle = *FPassword->Throttle;
  if (CheckPasswordProof(FPassword->Verifier, challenge, FCtx.Link->KeyBinding(), AProof)) {
    throttle.Passed();
    PostPasswordResult(pvAccepted, 0);
    FCtx.Log("Unattended access: password accepted from " + from);
    FPasswordPassed = true;
    ConsentAnswered(caControl);
    return;
  }
  throttle.Failed(FCtx.Now);
  FCtx.Log("Unattended access: wrong password from " + from);
  PostPasswordResult(pvWrong, throttle.PauseLeft(FCtx.Now));
  // The session ends once the verdict has had time to reach the helper (resent if lost); no further
  // answer is taken meanwhile.
  FEarly.Clear();
  FEndAt = FCtx.Now + kVerdictGraceMs;
}

void THostSide::PostPasswordResult(TPasswordVerdict AVerdict, TTick AWaitMs) {
  FChannelOpen = true;
  FCtx.Channel.Post(mkPasswordResult, MakePasswordResult(AVerdict, static_cast<std::uint32_t>((AWaitMs + 999) / 1000)),
                    false);
}

void THostSide::AskPerson() {
  if (!FConsent) {
    ConsentAnswered(caDeny);
    return;
  }
  TConsentRequest req;
  const std::string name = FCtx.Tools->HelperName(), company = FCtx.Tools->HelperCompany();
  if (!name.empty())
    req.Helper = company.empty() ? name : name + ", " + company;
  else
    req.Helper = FCtx.Link->PartnerName();
  if (!FCtx.Link->ViaRelay()) req.Address = FCtx.Link->PeerAddress();
  req.CheckNumber = FCtx.Link->CheckNumber();
  req.Picture = FCtx.Tools->HelperPicture();
  // The prompt may answer long after this returns; its answer holds only the token.
  FConsent->Ask(req, [g = FCtx.Guard, this](TConsentAnswer a) {
    if (g->IsAlive()) ConsentAnswered(a);
  });
}

void THostSide::ConsentAnswered(TConsentAnswer AAnswer) {
  if (FAllowed) return;
  switch (AAnswer) {
    case caViewOnly:
      FMode = 0;
      FCtx.Log("consent: view only");
      break;
    case caControl:
      FMode = 1;
      FCtx.Log(FPasswordPassed ? "consent: unattended access, control" : "consent: control allowed");
      break;
    default:
      FCtx.Log("consent: denied");
      FEarly.Clear();
      FCtx.DisconnectLater();
      return;
  }
  FAllowed = true;
  if (FUseBroker) FUseBroker(true);
  if (HasScreen())
    FCtx.Log(std::string(FChangeWatch ? "screen: grabbed when the display reports drawing"
                                      : "screen: grabbed every 8 ms") +
             (FWorker ? ", encoded on a worker thread" : ""));
  FWantFull = true;
  SendStatus();
  if (FOnAllowed) FOnAllowed();
  if (!FCtx.Guard->IsAlive()) return;
  FCtx.Tools->Announce();
  for (auto& m : FEarly.Take()) {
    if (!FCtx.Guard->IsAlive()) return;
    Dispatch(m);
  }
  if (!FKeepWallpaper) HideWallpaper();
}

// ---- packets, capture, sending --------------------------------------------------------------------

void THostSide::OnData(TByteView APacket) {
  const std::uint8_t kind = APacket[0];
  if (kind == pkInput) {
    // Input is acknowledged in every state, so the viewer stops resending it, but injected only
    // after consent to control.
    ++FInputsRx;
    TBytes ack;
    if (FAllowed && FMode == 1) {
      int handled = 0;
      ack = FInputRx.HandleInput(APacket, [this, &handled](const TInputEvent& e) { return TakeInput(e, handled); });
      if (handled && FInjector) {
        FInjector->Flush();
        if (FChangeWatch) FScreenChanged = true;  // the pointer may have moved, which is no drawing
      }
    } else {
      ack = FInputRx.HandleInput(APacket, [](const TInputEvent&) { return true; });
    }
    FCtx.Send(ack);
    return;
  }
  if (!FAllowed) return;
  switch (kind) {
    case pkFrameAck: {
      std::uint32_t ms = 0;
      bool acked, can;
      {
        std::lock_guard<std::mutex> l(FTxLock);
        acked = FFrameTx.HandleAck(APacket, ms, FCtx.Now);
        can = FFrameTx.CanStart();
      }
      if (acked) ++FRate.FStatAcked;
      if (can) FBlocked = false;
      if (can) CaptureAndSend(true);
      break;
    }
    case pkFrameNack: {
      std::lock_guard<std::mutex> l(FTxLock);
      FFrameTx.HandleNack(APacket);
      break;
    }
    case pkFrameFeedback: {
      bool paced;
      {
        std::lock_guard<std::mutex> l(FTxLock);
        FFrameTx.HandleFeedback(APacket, FCtx.Now);
        paced = FFrameTx.Paced();
      }
      // What arrived opened the window: the next chunks leave now, not at the next pump, so that a
      // short round trip is not held to one window per pump period.
      if (paced) SendQueued(false);
      break;
    }
    case pkFullPicture:
      FWantFull = true;
      break;
    default:
      break;
  }
}

void THostSide::CaptureTick() {
  if (!FAllowed) return;
  ++FModeTicks;
  if (FModeTicks % 250 == 0) {
    int inflight;
    {
      std::lock_guard<std::mutex> l(FTxLock);
      inflight = FFrameTx.Count();
    }
    char buf[200];
    std::snprintf(buf, sizeof buf, "host heartbeat tick=%d sent=%lld inputs=%lld inflight=%d fps=%d mode=%d [",
                  FModeTicks, static_cast<long long>(FFramesSent), static_cast<long long>(FInputsRx), inflight,
                  FRate.F60 ? 60 : 30, FMode);
    const std::string diag = FWorker ? FScreenDiag : FCapturer ? FCapturer->Diag() : std::string();
    FCtx.Log(buf + diag + "] (" + FRate.FRateWhy + ")");
  }
  RunRateStats();
  const bool normal = ScreenNormal();
  if (FWasSecure && normal) {
    FWantFull = true;
    std::lock_guard<std::mutex> l(FTxLock);
    FFrameTx.Cancel();
  }
  if (FModeTicks % 200 == 0 || FWasSecure == normal) SendStatus();
  // A screen that reports its changes is grabbed when it reports one (NextDeadline); the tick still
  // grabs now and then for what it does not report (the pointer moved by the person at this PC).
  // Off the normal desktop the pictures come from elsewhere: the report says nothing about them.
  if (FChangeWatch && normal && !FScreenChanged && !FMoreWaiting && FCtx.Now - FLastCapture < kPointerPollMs) return;
  CaptureAndSend(false);
}

void THostSide::RunRateStats() {
  TRateStep r = RateStats(FRate, FCtx.Now);
  FRate = std::move(r.Next);
  if (!r.Changed) return;
  FCtx.Log(r.Log);
  FEncoder.reset();  // rebuilt for the new rate with the next video frame, starting with a key frame
}

bool THostSide::FrameRoom() {
  const TTick now = FCtx.Now;
  std::lock_guard<std::mutex> l(FTxLock);
  // Frames are stamped with this session's time, which never moves back; the guard keeps the
  // unsigned difference safe all the same.
  const TTick oldest = FFrameTx.InFlight() ? FFrameTx.OldestStarted() : now;
  if (FFrameTx.InFlight() && now > oldest && now - oldest > 2000) {
    FFrameTx.Cancel();
    FWantFull = true;
    return true;
  }
  return FFrameTx.CanStart();
}

void THostSide::CaptureAndSend(bool AFromAck) {
  const TTick now = FCtx.Now;
  // The worker's next result (of a change it captures ahead) goes before anything new is grabbed.
  if (FWorker && FWorker->Ready()) {
    TakeCapture();
    return;
  }
  // The rest of a picture too large for one update follows at once; a new change waits for its turn
  // in the capture pacing.
  if (!FMoreWaiting && now < CaptureAllowedAt(FCaptureBucket, FRate.FFrameGapMs)) return;
  // One capture at a time: the worker's result asks for the next.
  if (FWorker && !FWorker->Idle()) return;
  // An acknowledgement makes room for a frame; a watched screen has one only after a change.
  if (AFromAck && FChangeWatch && FNormalDesktop && !FScreenChanged && !FMoreWaiting) return;
  const bool can = FrameRoom();
  if (!AFromAck) {
    ++FRate.FStatWanted;
    if (!can) ++FRate.FStatBlocked;
  }
  FBlocked = !can;
  if (!can) return;
  if (!FMoreWaiting) CaptureStarted(FCaptureBucket, now, FRate.FFrameGapMs);
  FLastCapture = now;
  FScreenChanged = false;  // what changes from here on is seen by a later capture
  if (FChangeWatch) FChangeWatch->Rearm();
  FMoreWaiting = false;
  if (FWorker && !VideoPath()) {
    FWorker->Request(FWantFull);
    FWantFull = false;
    return;
  }
  const TTick started = FStopwatch ? FStopwatch() : 0;
  TBytes blob = FWorker ? FWorker->WithScreen([this](IHostScreen& s) { return BuildFrame(s); })
                        : FCapturer ? BuildFrame(*FCapturer) : TBytes{};
  FWantFull = false;
  if (FCapturer) FMoreWaiting = FCapturer->MoreWaiting();
  if (blob.empty()) return;
  ++FRate.FStatCaptures;
  if (FStopwatch) FRate.FStatEncodeMs += static_cast<std::uint32_t>(FStopwatch() - started);
  SendFrame(blob);
}

void THostSide::TakeCapture() {
  if (!FWorker->Ready()) return;
  // A result captured ahead may find the frame window full: it waits there, as a capture would.
  FBlocked = !FrameRoom();
  if (FBlocked) return;
  std::optional<TCaptureWorker::TResult> r = FWorker->Take();
  if (!r) return;
  FNormalDesktop = r->NormalDesktop;
  FScreenDiag = std::move(r->Diag);
  FMoreWaiting = r->More;
  if (!r->Error.empty()) FCtx.Log("CaptureTick failed: " + r->Error);
  if (r->Update.empty()) {
    if (r->Full) FWantFull = true;  // the full picture asked for did not come
    return;
  }
  if (!FAllowed) return;
  ++FRate.FStatCaptures;
  FRate.FStatEncodeMs += static_cast<std::uint32_t>(r->EncodeMs);
  SendFrame(MakeTileBlob(r->Update));
}

bool THostSide::VideoPath() const { return FVideoWanted && !FVideoFailed && !FOnSecureDesktop; }

void THostSide::SendFrame(const TBytes& blob) {
  bool queued;
  {
    std::lock_guard<std::mutex> l(FTxLock);
    queued = FFrameTx.Start(blob, FCtx.Now);
  }
  if (queued) {
    ++FFramesSent;
    SendQueued(true);
  } else {
    FCtx.Log("frame too large for the frame transport, dropped");
    FWantFull = true;
  }
}

TBytes THostSide::BuildFrame(IHostScreen& AScreen) {
  if (FVideoWanted && !FVideoFailed) {
    const bool secure = !AScreen.IsNormalDesktop();
    if (secure != FOnSecureDesktop) {
      FOnSecureDesktop = secure;
      FWantFull = true;
      FCtx.Log(secure ? "secure desktop: tiles through the support service" : "normal desktop again: H.264 video");
    }
    if (!FOnSecureDesktop) {
      TBytes blob = BuildVideoFrame(AScreen);
      if (!FVideoFailed) return blob;
      // The encoder failed: tiles within the same call, and for the rest of the session.
    }
  }
  TBytes update = AScreen.CaptureUpdate(FWantFull);
  if (update.empty()) return {};
  return MakeTileBlob(update);
}

TBytes THostSide::BuildVideoFrame(IHostScreen& AScreen) {
  if (!FVideo) {
    FCtx.Log(std::string("No H.264 encoder, using tiles: ") + kNoH264);
    FVideoFailed = true;
    FWantFull = true;
    return {};
  }
  const std::uint8_t* bits = nullptr;
  std::ptrdiff_t stride = 0;
  int w = 0, h = 0;
  const TTick grabStart = FStopwatch ? FStopwatch() : 0;
  if (!AScreen.CaptureVideo(FWantFull || FVideoPending, bits, stride, w, h)) return {};
  if (FStopwatch) FRate.FStatGrabMs += static_cast<std::uint32_t>(FStopwatch() - grabStart);
  bool key = FWantFull;
  if (!FEncoder || w != FEncW || h != FEncH) {
    FEncoder.reset();
    try {
      const int fps = FRate.F60 ? 60 : 30;
      FEncoder = FVideo->CreateEncoder(w, h, fps, static_cast<int>(H264BitrateKbps(w, h, FRate.F60)));
      FEncW = w;
      FEncH = h;
      key = true;
      FCtx.Log("H.264 encoder: " + FEncoder->EncoderName());
    } catch (const std::exception& e) {
      FCtx.Log(std::string("No H.264 encoder, using tiles: ") + e.what());
      FVideoFailed = true;
      FWantFull = true;
      return {};
    }
  }
  TBytes data;
  try {
    data = FEncoder->Encode(bits, stride, key);
  } catch (const std::exception& e) {
    FCtx.Log(std::string("H.264 encode failed, using tiles: ") + e.what());
    FEncoder.reset();
    FVideoFailed = true;
    FWantFull = true;
    return {};
  }
  // Nothing came out for this picture (the encoder held it back): the current picture is offered
  // again on the next tick, changed or not, until output comes. A key frame asked for here has
  // already been asked of the encoder.
  FVideoPending = data.empty();
  if (data.empty()) return {};
  return MakeVideoBlob(static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), data);
}

void THostSide::PumpPackets() {
  if (!FAllowed) return;
  FFrameStartBudget = kPlainChunksPerPump;
  SendQueued(false);
}

void THostSide::SendQueued(bool AFrameStart) {
  if (!FAllowed) return;
  std::vector<TBytes> packets;
  {
    std::lock_guard<std::mutex> l(FTxLock);
    if (FFrameTx.Paced()) {
      packets = FFrameTx.NextPacedPackets(FCtx.Now);
    } else if (!AFrameStart) {
      packets = FFrameTx.NextPackets(kPlainChunksPerPump, FCtx.Now);
    } else if (FFrameStartBudget > 0) {
      packets = FFrameTx.NextPackets(FFrameStartBudget, FCtx.Now);
      FFrameStartBudget -= static_cast<int>(packets.size());
    }
  }
  FCtx.SendBatch(packets);
}

void THostSide::SendStatus() {
  const bool secure = !ScreenNormal();
  const bool admin = FAdminAvailable && FAdminAvailable();
  FCtx.Send(MakeHostStatus(FMode, admin, secure));
  FWasSecure = secure;
}

void THostSide::HideWallpaper() {
  if (FWallpaper) FWallpaper->Hide();
}

void THostSide::RestoreWallpaper() {
  if (FWallpaper) FWallpaper->Restore();
}

void THostSide::SoundPump() {
  if (!FAudioOn || FAudioFailed) return;
  if (!FAudioCap) {
    try {
      if (FMakeSoundCapture) FAudioCap = FMakeSoundCapture();
      if (!FAudioCap) throw std::runtime_error(kNoSound);
    } catch (const std::exception& e) {
      FCtx.Log(std::string("no sound to send: ") + e.what());
      FAudioFailed = true;
      return;
    }
    FCtx.Log("sound: recording the speakers");
  }
  std::vector<TBytes> packets;
  try {
    packets = FAudioCap->Poll();
  } catch (const std::exception& e) {
    FCtx.Log(std::string("sound stopped: ") + e.what());
    FAudioCap.reset();
    return;
  }
  for (const TBytes& p : packets) FCtx.Send(MakeSoundPacket(++FAudioSeq, p));
}

void THostSide::RefillInputBudget() {
  if (FCtx.Now - FInputBudgetSince < kInputTickMs) return;
  FInputBudgetSince = FCtx.Now;
  FInputBudget = kInputPerTick;
}

bool THostSide::TakeInput(const TInputEvent& AEvent, int& AHandled) {
  RefillInputBudget();
  if (FInputQueue.empty() && FInputBudget > 0) {
    --FInputBudget;
    ++AHandled;
    ApplyInput(AEvent);
    return true;
  }
  if (!FInputTimer.Active()) FInputTimer.Start(FCtx.Now);
  bool taken = true, merged = false;
  if (AEvent.Kind == ikMove && !FInputQueue.empty() && FInputQueue.back().Kind == ikMove) {
    FInputQueue.back() = AEvent;  // only the pointer's latest place matters
    merged = true;
  } else if (FInputQueue.size() < kInputQueueMax) {
    FInputQueue.push_back(AEvent);
  } else {
    taken = false;
  }
  if ((merged || !taken) && !FInputFloodLogged) {
    FInputFloodLogged = true;
    FCtx.Log("input arrives faster than it can be applied: pointer moves are merged, the rest waits for the "
             "helper to send it again");
  }
  return taken;
}

void THostSide::InputTick() {
  RefillInputBudget();
  int handled = 0;
  while (!FInputQueue.empty() && FInputBudget > 0) {
    const TInputEvent e = FInputQueue.front();
    FInputQueue.pop_front();
    --FInputBudget;
    ++handled;
    ApplyInput(e);
  }
  if (handled && FInjector) {
    FInjector->Flush();
    if (FChangeWatch) FScreenChanged = true;
  }
  if (FInputQueue.empty()) FInputTimer.Stop();
}

void THostSide::ApplyInput(const TInputEvent& AEvent) {
  if (!FInjector) return;
  TInputEvent e = AEvent;
  if (!PassOwnWindows(e)) {
    if (!FOwnWindowsLogged) {
      FOwnWindowsLogged = true;
      FCtx.Log("input to our own windows is not passed on");
    }
    return;
  }
  FInjector->InjectInput(e);
}

bool THostSide::PassOwnWindows(TInputEvent& AEvent) {
  const auto ownAt = [&] { return FInjector->IsOwnWindowAt(TPoint{AEvent.X, AEvent.Y}); };
  // Buttons 0..2 press and release; other numbers are plain moves (TInputMapper::Map).
  const bool button = (AEvent.Kind == ikButtonDown || AEvent.Kind == ikButtonUp) && AEvent.Data >= 0 && AEvent.Data <= 2;
  const std::uint8_t bit = button ? static_cast<std::uint8_t>(1u << AEvent.Data) : 0;
  switch (AEvent.Kind) {
    case ikMove:
    case ikWheel:
    case ikButtonDown: {
      if (ownAt()) {
        // A second press of a button that is down elsewhere is dropped like any other, but the
        // button's release must still go on.
        if (!(FButtonsDown & bit)) FButtonsKept |= bit;
        return false;
      }
      FButtonsKept &= static_cast<std::uint8_t>(~bit);
      FButtonsDown |= bit;
      FLastPointer = TPoint{AEvent.X, AEvent.Y};
      return true;
    }
    case ikButtonUp: {
      if (FButtonsDown & bit) {
        // The press went on: so does the release, where the pointer last went when this point is on
        // our window.
        FButtonsDown &= static_cast<std::uint8_t>(~bit);
        if (ownAt()) {
          AEvent.X = static_cast<std::int16_t>(FLastPointer.X);
          AEvent.Y = static_cast<std::int16_t>(FLastPointer.Y);
        } else {
          FLastPointer = TPoint{AEvent.X, AEvent.Y};
        }
        return true;
      }
      if (FButtonsKept & bit) {
        FButtonsKept &= static_cast<std::uint8_t>(~bit);  // its press stayed here: so does the release
        return false;
      }
      if (ownAt()) return false;
      FLastPointer = TPoint{AEvent.X, AEvent.Y};
      return true;
    }
    case ikKeyDown:
    case ikKeyUp: {
      const auto key = static_cast<std::uint16_t>(AEvent.Data & 0xFFFF);
      if (AEvent.Kind == ikKeyUp) {
        // A key that went down elsewhere is always released; one whose press stayed here stays too.
        if (FKeysDown[key]) {
          FKeysDown[key] = false;
          return true;
        }
        if (FKeysKept[key]) {
          FKeysKept[key] = false;
          return false;
        }
        return !FInjector->OwnWindowHasFocus();
      }
      if (FInjector->OwnWindowHasFocus()) {
        if (!FKeysDown[key]) FKeysKept[key] = true;
        return false;
      }
      FKeysKept[key] = false;
      FKeysDown[key] = true;
      return true;
    }
    default:
      return true;  // no step for the injector
  }
}

void THostSide::PickArea(const TRect& ARect) {
  {
    std::lock_guard<std::mutex> l(FTxLock);
    FFrameTx.Cancel();
  }
  if (HasScreen()) OnScreen([&ARect](IHostScreen& s) { s.SetArea(ARect); });
  FWantFull = true;
}

}  // namespace tovik
