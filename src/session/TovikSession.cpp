#include "session/TovikSession.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "session/TovikSessionTools.h"

namespace tovik {

namespace {
const char* TF(bool b) { return b ? "True" : "False"; }
constexpr const char* kNoH264 = "no H.264 codec in this build";
constexpr const char* kNoSound = "no sound device support in this build";
constexpr bool kHavePlayer = false;
}  // namespace


// ---- construction and destruction -------------------------------------------------------------

TTovikSession::TTovikSession(TSessionDeps ADeps, bool AIsViewer, bool AUnattended)
    : FClient(ADeps.Link),
      FIsViewer(AIsViewer),
      FGuard(std::make_shared<TSessionGuard>()),
      FPost(std::move(ADeps.Post)),
      FLog(std::move(ADeps.Log)),
      FSettings(std::move(ADeps.Settings)) {
  FCreated = TickMs();
  if (!FIsViewer) {
    FCapturer = std::move(ADeps.Screen);
    FInjector = std::move(ADeps.Injector);
    FConsent = std::move(ADeps.Consent);
    FAdminAvailable = std::move(ADeps.AdminAvailable);
    FUseBroker = std::move(ADeps.UseBroker);
    FUnattended = AUnattended;
    FFrameTx = std::make_unique<TFrameWindowSender>();
    FFrameTx->SetMaxInFlight(4);
    FRate = InitialRate(FCreated);
    FInputRx = std::make_unique<TInputReceiver>();
    if (ADeps.Wallpaper) FWallpaper = std::make_unique<TWallpaperKeeper>(std::move(ADeps.Wallpaper));
  } else {
    FViewerMode = -1;
    FFrameRx = std::make_unique<TFrameReceiver>();
    FFrameRx2 = std::make_unique<TFrameWindowReceiver>();
    FInputTx = std::make_unique<TInputSender>();
    const std::string id = FormatID(FClient->PartnerID());
    FViewerCaption = "Tovik - " + id + " - check number " + FClient->CheckNumber();
    if (ADeps.MakeViewer) FViewer = ADeps.MakeViewer(*this, FViewerCaption + " - waiting for permission");
    if (FViewer) {
      FViewer->SetCaption(FViewerCaption + " - waiting for permission");
      SetInfo("waiting for permission");
      if (FSettings.DockViewer)
        FSettings.DockViewer(*FViewer, id);
      else
        FViewer->Show();
    }
    FLastFrameTick = TickMs();
    SendPacket(MakeFullPicture());
  }

  TToolsContext ctx{&FChannel, FIsViewer, FClient->PartnerID(), FClient->PartnerName(), FLog, {}, ADeps.Identity};
  if (FCapturer) ctx.ListScreens = [this] { return FCapturer->Screens(); };
  FTools = ADeps.MakeTools ? ADeps.MakeTools(ctx) : std::make_unique<TBasicSessionTools>(ctx);
  WireTools();

  if (FIsViewer) {
    // Announce only what this viewer really has: windowed frames, no H.264 decoder, no sound player.
    const std::uint8_t caps = kCapsWindowed;
    FChannel.Post(mkViewerCaps, TBytes{caps}, false);
    FChannel.Post(mkSoundSwitch, TBytes{0}, false);
    FTools->PostProfile();
    FChannel.Post(mkWallpaper, TBytes{static_cast<std::uint8_t>(FSettings.HideWallpaper ? 1 : 0)}, false);
  }
  SessionLog(std::string("session created (viewer=") + TF(FIsViewer) + ")");
}

TTovikSession::~TTovikSession() {
  SessionLog("destroy begin");
  if (!FIsViewer && FAllowed && FUseBroker) FUseBroker(false);
  FGuard->Kill();
  FEarly.Clear();
  FTools.reset();
  RestoreWallpaper();
  FWallpaper.reset();  // finishes the restore on its worker
  SessionLog("destroy: freeing viewer/capturer");
  FViewer.reset();  // FreeSafely
  FCapturer.reset();
  FInjector.reset();
  FFrameTx.reset();
  FInputRx.reset();
  FFrameRx.reset();
  FFrameRx2.reset();
  FInputTx.reset();
  SessionLog("destroy end");
}

void TTovikSession::WireTools() {
  if (FIsViewer) {
    FTools->OnMonitors = [this] {
      if (!FViewer) return;
      auto mons = FTools->Monitors();
      int primary = 0;
      for (std::size_t i = 0; i < mons.size(); ++i)
        if (mons[i].Primary) primary = static_cast<int>(i);
      FViewer->SetScreens(static_cast<int>(mons.size()), primary);
    };
    FTools->OnThumb = [this](int i) {
      if (FViewer) FViewer->ThumbChanged(i);
    };
    FTools->OnSendProgress = [this](const std::string& n, std::int64_t d, std::int64_t t, int l) {
      if (FViewer) FViewer->SetTransfer(n, d, t, l);
    };
  } else {
    FTools->OnPickMonitor = [this](const TRect& r) { PickArea(r); };
    FTools->OnProfile = [this] {
      StartConsent();
      if (OnHelperInfo) OnHelperInfo();
    };
  }
}

// ---- both roles ---------------------------------------------------------------------------------

void TTovikSession::SendPacket(TByteView AData) {
  if (!AData.empty() && FClient) FClient->SendData(AData);
}

void TTovikSession::SessionLog(const std::string& AText) {
  if (!FLog) return;
  try {
    FLog(AText);
  } catch (...) {
  }
}

void TTovikSession::DisconnectLater() {
  ISessionLink* link = FClient;
  FPost(Guarded(FGuard, [link] { link->Disconnect(); }));
}

void TTovikSession::OnPeerData(TByteView APacket) {
  if (APacket.empty()) return;
  try {
    switch (APacket[0]) {
      case pkChannelAck:
        FChannel.HandleAck(APacket);
        return;
      case pkChannelMsg: {
        auto msgs = FChannel.HandleMsg(APacket);
        for (auto& m : msgs) {
          if (!FGuard->IsAlive()) return;
          if (FIsViewer || FAllowed || HandledBeforeConsent(m.Kind))
            DispatchMessage(m);
          else
            KeepEarly(std::move(m));
        }
        return;
      }
      default:
        if (FIsViewer)
          ViewerData(APacket);
        else
          HostData(APacket);
    }
  } catch (const std::exception& e) {
    SessionLog(std::string("packet dropped: ") + e.what());
  }
}

void TTovikSession::KeepEarly(TChannelMsg AMsg) {
  if (FEarlyOverflow) return;
  if (FEarly.Push(std::move(AMsg))) return;
  // The partner sends more than any person waiting for the dialog needs: end the session.
  FEarlyOverflow = true;
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "too many messages before consent (%zu messages, %zu bytes buffered); ending the session",
                FEarly.Count(), FEarly.Bytes());
  SessionLog(buf);
  FEarly.Clear();
  DisconnectLater();
}

void TTovikSession::DispatchMessage(const TChannelMsg& AMsg) {
  if (!FIsViewer) {
    switch (AMsg.Kind) {
      case mkViewerCaps: {
        if (AMsg.Data.empty()) return;
        const std::uint8_t f = AMsg.Data[0];
        FVideoWanted = (f & kCapsH264) != 0;
        {
          std::lock_guard<std::mutex> l(FTxLock);
          FFrameTx->SetLegacy((f & kCapsWindowed) == 0);
        }
        FWantFull = true;
        SessionLog(std::string("helper can show H.264: ") + TF(f & kCapsH264) +
                   ", several frames in flight: " + TF(f & kCapsWindowed));
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
        return;
      case mkRestart:
      case mkElevate:
        if (FMode != 1) return;
        break;
      default:
        break;
    }
    if (!HostReceives(AMsg.Kind)) return;
  } else {
    if (!ViewerReceives(AMsg.Kind)) return;
  }
  FTools->HandleMessage(AMsg);
}

void TTovikSession::ChannelTick() {
  try {
    const bool live = FIsViewer || FAllowed;
    if (!FIsViewer && !FConsentStarted && TickMs() - FCreated >= 2000) StartConsent();
    if (live) FTools->Tick();
    for (auto& p : FChannel.Poll()) {
      // Before consent a host lets only acknowledgements out: nothing it has reaches the viewer
      // until the person has allowed it. Held messages go out with the next resend after consent.
      if (!live && !p.empty() && p[0] == pkChannelMsg) continue;
      SendPacket(p);
    }
    if (!FIsViewer && FAllowed) SoundPump();
  } catch (...) {
  }
}

void TTovikSession::ShowTools() { FTools->ShowTools(); }
bool TTovikSession::RestartAsked() const { return FTools->RestartAsked(); }
std::string TTovikSession::HelperName() const { return FTools->HelperName(); }
std::optional<TPicture24> TTovikSession::HelperPicture() const { return FTools->HelperPicture(); }

// ---- host: consent ----------------------------------------------------------------------------

void TTovikSession::StartConsent() {
  if (FIsViewer || FConsentStarted) return;
  FConsentStarted = true;
  FPost(Guarded(FGuard, [this] { RunConsent(); }));
}

void TTovikSession::RunConsent() {
  if (FUnattended) {
    ConsentAnswered(caControl);
    return;
  }
  if (!FConsent) {
    ConsentAnswered(caDeny);
    return;
  }
  TConsentRequest req;
  const std::string name = FTools->HelperName(), company = FTools->HelperCompany();
  if (!name.empty())
    req.Helper = company.empty() ? name : name + ", " + company;
  else
    req.Helper = FClient->PartnerName();
  req.Address = FClient->PeerAddress();
  req.CheckNumber = FClient->CheckNumber();
  req.Picture = FTools->HelperPicture();
  // The prompt may answer long after this returns; its answer holds only the token.
  FConsent->Ask(req, [g = FGuard, this](TConsentAnswer a) {
    if (g->IsAlive()) ConsentAnswered(a);
  });
}

void TTovikSession::ConsentAnswered(TConsentAnswer AAnswer) {
  if (FAllowed) return;
  switch (AAnswer) {
    case caViewOnly:
      FMode = 0;
      SessionLog("consent: view only");
      break;
    case caControl:
      FMode = 1;
      SessionLog(FUnattended ? "consent: unattended access, control" : "consent: control allowed");
      break;
    default:
      SessionLog("consent: denied");
      FEarly.Clear();
      DisconnectLater();
      return;
  }
  FAllowed = true;
  if (FUseBroker) FUseBroker(true);
  FWantFull = true;
  SendStatus();
  if (OnAllowed) OnAllowed();
  if (!FGuard->IsAlive()) return;
  FTools->Announce();
  for (auto& m : FEarly.Take()) {
    if (!FGuard->IsAlive()) return;
    DispatchMessage(m);
  }
  if (!FKeepWallpaper) HideWallpaper();
}

// ---- host: packets, capture, sending -----------------------------------------------------------

void TTovikSession::HostData(TByteView APacket) {
  const std::uint8_t kind = APacket[0];
  if (kind == pkInput) {
    // Input is acknowledged in every state, so the viewer stops resending it, but injected only
    // after consent to control.
    ++FInputsRx;
    TBytes ack;
    if (FAllowed && FMode == 1)
      ack = FInputRx->HandleInput(APacket, [this](const TInputEvent& e) { ApplyInput(e); });
    else
      ack = FInputRx->HandleInput(APacket, [](const TInputEvent&) {});
    SendPacket(ack);
    return;
  }
  if (!FAllowed) return;
  switch (kind) {
    case pkFrameAck: {
      std::uint32_t ms = 0;
      bool acked, can;
      {
        std::lock_guard<std::mutex> l(FTxLock);
        acked = FFrameTx->HandleAck(APacket, ms);
        can = FFrameTx->CanStart();
      }
      if (acked) ++FRate.FStatAcked;
      if (can) CaptureAndSend(true);
      break;
    }
    case pkFrameNack: {
      std::lock_guard<std::mutex> l(FTxLock);
      FFrameTx->HandleNack(APacket);
      break;
    }
    case pkFullPicture:
      FWantFull = true;
      break;
    default:
      break;
  }
}

void TTovikSession::CaptureTick() {
  if (FIsViewer || !FAllowed) return;
  try {
    ++FModeTicks;
    if (FModeTicks % 250 == 0) {
      int inflight;
      {
        std::lock_guard<std::mutex> l(FTxLock);
        inflight = FFrameTx->Count();
      }
      char buf[200];
      std::snprintf(buf, sizeof buf, "host heartbeat tick=%d sent=%lld inputs=%lld inflight=%d fps=%d mode=%d [",
                    FModeTicks, static_cast<long long>(FFramesSent), static_cast<long long>(FInputsRx),
                    inflight, FRate.F60 ? 60 : 30, FMode);
      SessionLog(buf + (FCapturer ? FCapturer->Diag() : std::string()) + "] (" + FRate.FRateWhy + ")");
    }
    RunRateStats();
    const bool normal = !FCapturer || FCapturer->IsNormalDesktop();
    if (FWasSecure && normal) {
      FWantFull = true;
      std::lock_guard<std::mutex> l(FTxLock);
      FFrameTx->Cancel();
    }
    if (FModeTicks % 200 == 0 || FWasSecure == normal) SendStatus();
    CaptureAndSend(false);
  } catch (...) {
  }
}

void TTovikSession::RunRateStats() {
  TRateStep r = RateStats(FRate, TickMs());
  FRate = std::move(r.Next);
  if (r.Changed) SessionLog(r.Log);  // the encoder, when there is one, is rebuilt on the next frame
}

void TTovikSession::CaptureAndSend(bool AFromAck) {
  const TTick now = TickMs();
  if (FLastCapture != 0 && now - FLastCapture < FRate.FFrameGapMs) return;
  bool can;
  {
    std::lock_guard<std::mutex> l(FTxLock);
    if (FFrameTx->InFlight() && now - FFrameTx->OldestStarted() > 2000) {
      FFrameTx->Cancel();
      FWantFull = true;
      can = true;
    } else {
      can = FFrameTx->CanStart();
    }
  }
  if (!AFromAck) {
    ++FRate.FStatWanted;
    if (!can) ++FRate.FStatBlocked;
  }
  if (!can) return;
  FLastCapture = now;
  TBytes blob = BuildFrame();
  FWantFull = false;
  if (blob.empty()) return;
  ++FRate.FStatCaptures;
  FRate.FStatEncodeMs += static_cast<std::uint32_t>(TickMs() - now);
  bool started;
  {
    std::lock_guard<std::mutex> l(FTxLock);
    started = FFrameTx->Start(blob);
  }
  if (started) {
    ++FFramesSent;
    PumpPackets();
  } else {
    SessionLog("frame too large for the frame transport, dropped");
    FWantFull = true;
  }
}

TBytes TTovikSession::BuildFrame() {
  if (!FCapturer) return {};
  const bool video = FVideoWanted && !FVideoFailed;
  if (video) {
    const bool secure = !FCapturer->IsNormalDesktop();
    if (secure != FOnSecureDesktop) {
      FOnSecureDesktop = secure;
      FWantFull = true;
      SessionLog(secure ? "secure desktop: tiles through the support service" : "normal desktop again: H.264 video");
    }
    if (!FOnSecureDesktop) {
      // No encoder is built into this program yet: fall back to tiles for the rest of the session.
      SessionLog(std::string("No H.264 encoder, using tiles: ") + kNoH264);
      FVideoFailed = true;
      FWantFull = true;
    }
  }
  TBytes update = FCapturer->CaptureUpdate(FWantFull);
  if (update.empty()) return {};
  return MakeTileBlob(update);
}

void TTovikSession::PumpPackets() {
  if (FIsViewer || !FAllowed) return;
  try {
    std::vector<TBytes> packets;
    {
      std::lock_guard<std::mutex> l(FTxLock);
      packets = FFrameTx->NextPackets(40);
    }
    for (auto& p : packets) SendPacket(p);
  } catch (...) {
  }
}

void TTovikSession::SendStatus() {
  const bool secure = FCapturer && !FCapturer->IsNormalDesktop();
  const bool admin = FAdminAvailable && FAdminAvailable();
  SendPacket(MakeHostStatus(FMode, admin, secure));
  FWasSecure = secure;
}

void TTovikSession::HideWallpaper() {
  if (FWallpaper) FWallpaper->Hide();
}

void TTovikSession::RestoreWallpaper() {
  if (FWallpaper) FWallpaper->Restore();
}

void TTovikSession::SoundPump() {
  if (!FAudioOn || FAudioFailed) return;
  // No sound capture is built into this program yet.
  SessionLog(std::string("no sound to send: ") + kNoSound);
  FAudioFailed = true;
}

void TTovikSession::ApplyInput(const TInputEvent& AEvent) {
  if (!FInjector) return;
  if (AEvent.Kind == 2) {
    const TPoint o = FCapturer ? FCapturer->Origin() : TPoint{};
    if (FInjector->IsOwnWindowAt(TPoint{o.X + AEvent.X, o.Y + AEvent.Y})) {
      FHeldDown = AEvent;
      FHasHeldDown = true;
      return;
    }
  } else if (AEvent.Kind == 1 && FHasHeldDown) {
    return;
  } else if (AEvent.Kind == 3 && FHasHeldDown) {
    FHasHeldDown = false;
    FInjector->InjectInput(FHeldDown);
  }
  FInjector->InjectInput(AEvent);
}

void TTovikSession::PickArea(const TRect& ARect) {
  {
    std::lock_guard<std::mutex> l(FTxLock);
    FFrameTx->Cancel();
  }
  if (FCapturer) FCapturer->SetArea(ARect);
  FWantFull = true;
}

// ---- viewer --------------------------------------------------------------------------------------

void TTovikSession::FullPictureRequest() { SendPacket(MakeFullPicture()); }

void TTovikSession::ViewerData(TByteView APacket) {
  switch (APacket[0]) {
    case pkFrameChunk: {
      TBytes blob, reply;
      const bool done = FFrameRx->HandleChunk(APacket, blob, reply);
      SendPacket(reply);
      if (done) ShowFrame(blob);
      break;
    }
    case pkWindowChunk: {
      TBytes reply;
      auto frames = FFrameRx2->HandleChunk(APacket, reply);
      bool sent = false;
      for (auto& f : frames) {
        if (!sent) {
          SendPacket(reply);
          sent = true;
        }
        ShowFrame(f);
        if (!FGuard->IsAlive()) return;
      }
      if (!sent) SendPacket(reply);
      break;
    }
    case pkInputAck:
      FInputTx->HandleAck(APacket);
      break;
    case pkHostStatus: {
      auto s = ParseHostStatus(APacket);
      if (!s) return;
      FViewerMode = s->Mode;
      SetInfo(StatusState(s->Mode));
      if (FViewer) {
        const std::string caption = FViewerCaption + StatusCaptionSuffix(*s);
        if (FViewer->Caption() != caption) FViewer->SetCaption(caption);
        FViewer->SetNotice(s->HasSecure && s->Secure ? kSecureNotice : "");
      }
      break;
    }
    case pkSound:
      PlaySound(APacket);
      break;
    default:
      break;
  }
}

void TTovikSession::ShowFrame(TByteView ABlob) {
  if (ABlob.empty()) return;
  try {
    auto blob = ParseFrameBlob(ABlob);
    if (!blob) throw std::runtime_error("Bad frame");
    if (blob->Kind == TBlobKind::Video) {
      ShowVideo(*blob);
    } else {
      // The picture size comes from the network: refuse it before the window allocates anything.
      const std::string bad = CheckTileUpdate(blob->Payload);
      if (!bad.empty()) throw std::runtime_error(bad);
      if (FViewer) FViewer->ShowUpdate(blob->Payload);
    }
    FGotFrame = true;
    FLastFrameTick = TickMs();
  } catch (const std::exception&) {
    FGotFrame = false;
    FullPictureRequest();
  }
}

void TTovikSession::ShowVideo(const TFrameBlob&) {
  // No decoder is built into this program yet; this viewer never announced H.264.
  SessionLog(std::string("No H.264 decoder: ") + kNoH264);
  VideoFailed();
}

void TTovikSession::VideoFailed() {
  FChannel.Post(mkViewerCaps, TBytes{kCapsWindowed}, false);
  FullPictureRequest();
}

void TTovikSession::PollNacks() {
  TBytes nack;
  if (FFrameRx && FFrameRx->PendingNack(nack, 20)) SendPacket(nack);
  if (FFrameRx2)
    for (auto& n : FFrameRx2->PendingNacks(20)) SendPacket(n);
}

void TTovikSession::ViewerTick() {
  if (!FIsViewer) return;
  try {
    ++FViewerTicks;
    const TTick now = TickMs();
    if (FViewerTicks % 20 == 0) {
      char buf[120];
      std::snprintf(buf, sizeof buf, "viewer heartbeat tick=%d, since last picture=%lld ms", FViewerTicks,
                    static_cast<long long>(now - FLastFrameTick));
      SessionLog(buf);
    }
    if (!FGotFrame && FViewerTicks % 10 == 0) FullPictureRequest();
    PollNacks();
    SendPacket(FInputTx->Packet());
  } catch (...) {
  }
}

void TTovikSession::NackTick() {
  if (!FIsViewer) return;
  try {
    PollNacks();
  } catch (...) {
  }
}

void TTovikSession::PlaySound(TByteView APacket) {
  if (FMuted || FPlayerFailed || !SoundPayload(APacket)) return;
  SessionLog(std::string("cannot play sound: ") + kNoSound);
  FPlayerFailed = true;
  FChannel.Post(mkSoundSwitch, TBytes{0}, false);
}

void TTovikSession::SetInfo(const std::string& AState) {
  if (!FViewer) return;
  const std::string dot = "  \xC2\xB7  ";
  const std::string line = "Check " + FClient->CheckNumber() + dot +
                           (FClient->ViaRelay() ? "through the server" : "direct") + dot + AState;
  FViewer->SetSessionInfo(FormatID(FClient->PartnerID()), line);
}

void TTovikSession::SwitchAtEdge(int ADir, double AFracY) {
  if (!FSettings.EdgeSwitch || !FViewer) return;
  const TTick now = TickMs();
  if (FLastEdgeSwitch != 0 && now - FLastEdgeSwitch < 700) return;
  const auto mons = FTools->Monitors();
  const int cur = FViewer->CurrentScreen();
  if (mons.size() < 2 || cur < 0 || cur >= static_cast<int>(mons.size())) return;
  const TRect& c = mons[static_cast<std::size_t>(cur)].Rect;
  const double f = std::min(1.0, std::max(0.0, AFracY));
  const long long y = std::llround((c.Height - 1) * f) + c.Top;
  int best = -1;
  long long bestDist = 0;
  for (std::size_t i = 0; i < mons.size(); ++i) {
    if (static_cast<int>(i) == cur) continue;
    const TRect& s = mons[i].Rect;
    long long dist;
    if (ADir > 0) {
      if (s.Left < c.Right() - 16) continue;
      dist = static_cast<long long>(s.Left) - c.Right();
    } else {
      if (s.Right() > c.Left + 16) continue;
      dist = static_cast<long long>(c.Left) - s.Right();
    }
    if (y < s.Top || y >= s.Bottom()) dist += 100000;
    if (best < 0 || dist < bestDist) {
      best = static_cast<int>(i);
      bestDist = dist;
    }
  }
  if (best < 0) return;
  FLastEdgeSwitch = now;
  FViewer->SelectScreen(best);
  FTools->PickMonitor(best);
  FViewer->WarpToEdge(ADir, f);
}

// ---- viewer window events -------------------------------------------------------------------------

void TTovikSession::OnInput(std::uint8_t AKind, std::int16_t AX, std::int16_t AY, std::int32_t AData) {
  if (FViewerMode != 1) return;
  FInputTx->Add(AKind, AX, AY, AData);
  SendPacket(FInputTx->Packet());
}

void TTovikSession::OnUserClose() { DisconnectLater(); }
void TTovikSession::OnChat() { FTools->ShowTools(); }
void TTovikSession::OnSendFiles(const std::vector<std::string>& AFiles) { FTools->SendFiles(AFiles); }
void TTovikSession::OnPickScreen(int AIndex) { FTools->PickMonitor(AIndex); }
void TTovikSession::OnRestart() { FTools->RequestRestart(); }

void TTovikSession::OnMute(bool AValue) {
  FMuted = AValue;
  // Sound can only be switched on when this viewer can play it.
  const bool on = kHavePlayer && !FMuted && !FPlayerFailed;
  FChannel.Post(mkSoundSwitch, TBytes{static_cast<std::uint8_t>(on ? 1 : 0)}, false);
}

void TTovikSession::OnShowThumbs(bool AValue) {
  FChannel.Post(mkThumbsSwitch, TBytes{static_cast<std::uint8_t>(AValue ? 1 : 0)}, false);
}

std::optional<TPicture24> TTovikSession::OnGetThumb(int AIndex) { return FTools->Thumb(AIndex); }
void TTovikSession::OnCancelSend() { FTools->CancelSend(); }
void TTovikSession::OnEdge(int ADir, double AFracY) { SwitchAtEdge(ADir, AFracY); }
void TTovikSession::OnElevate() { FTools->RequestElevate(); }

}  // namespace tovik
