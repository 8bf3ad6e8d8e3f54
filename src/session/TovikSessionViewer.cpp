#include "session/TovikSessionViewer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>

namespace tovik {

namespace {
constexpr const char* kDamagedVideo = "damaged H.264 picture; nothing new is shown until the next key frame";
constexpr const char* kNoSound = "no sound device support in this build";
constexpr const char* kWrongPasswordNotice = "The other PC did not accept the password.";
constexpr const char* kPausedPasswordNotice =
    "The other PC takes no password for now after wrong ones; the person there is asked to allow the session.";
}  // namespace

TViewerSide::TViewerSide(TSessionContext& ACtx, TSessionDeps& ADeps)
    : FCtx(ACtx),
      FSettings(std::move(ADeps.Settings)),
      FPasswordPrompt(std::move(ADeps.PasswordPrompt)),
      FLastFrameTick(ACtx.Now) {
  const std::string id = FormatID(FCtx.Link->PartnerID());
  FViewerCaption = "Tovik - " + id + " - check number " + FCtx.Link->CheckNumber();
  if (ADeps.MakeViewer) FViewer = ADeps.MakeViewer(*this, FViewerCaption + " - waiting for permission");
  if (FViewer) {
    FViewer->SetCaption(FViewerCaption + " - waiting for permission");
    SetInfo("waiting for permission");
    if (FSettings.DockViewer)
      FSettings.DockViewer(*FViewer, id);
    else
      FViewer->Show();
  }
  FMakeSoundPlayer = std::move(ADeps.MakeSoundPlayer);
  FVideo = std::move(ADeps.Video);
  FCtx.Send(MakeFullPicture());
  FChannelTimer.Start(FCtx.Now);
  FNackTimer.Start(FCtx.Now);
  FViewerTimer.Start(FCtx.Now);
}

TViewerSide::~TViewerSide() = default;

void TViewerSide::Start() {
  ISessionTools& tools = *FCtx.Tools;
  tools.OnMonitors = [this] {
    if (!FViewer) return;
    auto mons = FCtx.Tools->Monitors();
    int primary = 0;
    for (std::size_t i = 0; i < mons.size(); ++i)
      if (mons[i].Primary) primary = static_cast<int>(i);
    FViewer->SetScreens(static_cast<int>(mons.size()), primary);
  };
  tools.OnThumb = [this](int i) {
    if (FViewer) FViewer->ThumbChanged(i);
  };
  tools.OnSendProgress = [this](const std::string& n, std::int64_t d, std::int64_t t, int l) {
    if (FViewer) FViewer->SetTransfer(n, d, t, l);
  };
  // Announce only what this viewer really has: windowed frames, H.264 when it can decode, and answers
  // to a password challenge when it can ask its user. Sound is on from the start.
  const bool h264 = FVideo && FVideo->CanDecode();
  FCaps = static_cast<std::uint8_t>(kCapsWindowed | (FSettings.CompactTiles ? kCapsCompact : 0) | (h264 ? kCapsH264 : 0) | (FPasswordPrompt ? kCapsPassword : 0) | kCapsPaced);
  FCtx.Channel.Post(mkViewerCaps, TBytes{FCaps}, false);
  FCtx.Channel.Post(mkSoundSwitch, TBytes{1}, false);
  tools.PostProfile();
  FCtx.Channel.Post(mkWallpaper, TBytes{static_cast<std::uint8_t>(FSettings.HideWallpaper ? 1 : 0)}, false);
}

// ---- packets ------------------------------------------------------------------------------------

void TViewerSide::OnMessage(const TChannelMsg& AMsg) {
  if (!ViewerReceives(AMsg.Kind)) return;
  if (AMsg.Kind == mkPasswordChallenge) return PasswordChallenge(AMsg.Data);
  if (AMsg.Kind == mkPasswordResult) return PasswordResult(AMsg.Data);
  if (AMsg.Kind == mkTransport) {
    FCtx.Channel.SetSelective(true);
    FFeedback = true;
    return;
  }
  FCtx.Tools->HandleMessage(AMsg);
}

// ---- unattended access ----------------------------------------------------------------------------

void TViewerSide::PasswordChallenge(const TBytes& ABody) {
  // One prompt per session: a host that asks again gets no second answer.
  if (FPasswordAsked || !FPasswordPrompt) return;
  FPasswordAsked = true;
  auto challenge = DecodePasswordChallenge(ABody);
  if (!challenge) {
    FCtx.Log("the other PC asked for a password in a form this program does not accept");
    FCtx.Channel.Post(mkPasswordProof, TBytes{}, false);
    return;
  }
  FCtx.Log("the other PC asks for its unattended-access password");
  SetInfo("waiting for the password");
  // The prompt may answer after the session is gone; the answer then does nothing.
  FPasswordPrompt->Ask(FormatID(FCtx.Link->PartnerID()),
                       [g = FCtx.Guard, this, c = std::move(*challenge)](std::optional<std::string> APassword) {
                         if (!g->IsAlive()) {
                           if (APassword) WipeText(*APassword);
                           return;
                         }
                         PasswordAnswered(c, APassword);
                       });
}

void TViewerSide::PasswordAnswered(const TPasswordChallenge& AChallenge, std::optional<std::string>& APassword) {
  if (!APassword) {
    FCtx.Log("no password given; the person at the other PC is asked instead");
    SetInfo("waiting for permission");
    FCtx.Channel.Post(mkPasswordProof, TBytes{}, false);
    return;
  }
  TBytes proof;
  try {
    proof = MakePasswordProof(*APassword, AChallenge, FCtx.Link->KeyBinding());
  } catch (const std::exception& e) {
    FCtx.Log(std::string("the password proof could not be made: ") + e.what());
  }
  WipeText(*APassword);
  SetInfo("checking the password");
  FCtx.Channel.Post(mkPasswordProof, proof, false);
}

void TViewerSide::PasswordResult(const TBytes& ABody) {
  auto r = ParsePasswordResult(ABody);
  if (!r) return;
  switch (r->Verdict) {
    case pvAccepted:
      FCtx.Log("the other PC accepted the password");
      if (FViewer) FViewer->SetNotice("");
      break;
    case pvWrong:
      FCtx.Log("the other PC did not accept the password");
      SetInfo("wrong password");
      if (FViewer) FViewer->SetNotice(kWrongPasswordNotice);
      break;
    case pvPaused:
      FCtx.Log("the other PC takes no password for " + std::to_string(r->WaitSeconds) +
               " seconds; the person there is asked instead");
      if (FViewer) FViewer->SetNotice(kPausedPasswordNotice);
      break;
  }
}

void TViewerSide::FullPictureRequest() { FCtx.Send(MakeFullPicture()); }

void TViewerSide::OnData(TByteView APacket) {
  switch (APacket[0]) {
    case pkFrameChunk: {
      TBytes blob, reply;
      const bool done = FFrameRx.HandleChunk(APacket, blob, reply, FCtx.Now);
      FCtx.Send(reply);
      if (done) ShowFrame(blob);
      break;
    }
    case pkWindowChunk: {
      TBytes reply;
      auto frames = FFrameRx2.HandleChunk(APacket, reply, FCtx.Now);
      if (FFeedback && FFrameRx2.ChunksSinceFeedback() >= kFeedbackEvery) FCtx.Send(FFrameRx2.TakeFeedback());
      bool sent = false;
      for (auto& f : frames) {
        if (!sent) {
          FCtx.Send(reply);
          sent = true;
        }
        ShowFrame(f);
        if (!FCtx.Guard->IsAlive()) return;
      }
      if (!sent) FCtx.Send(reply);
      break;
    }
    case pkInputAck:
      FInputTx.HandleAck(APacket);
      break;
    case pkHostStatus: {
      auto s = ParseHostStatus(APacket);
      if (!s) return;
      FViewerMode = s->Mode;
      // The host reports its status only once access is allowed.
      FCtx.Tools->AccessGranted();
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

void TViewerSide::ShowFrame(TByteView ABlob) {
  if (ABlob.empty()) return;
  try {
    auto blob = ParseFrameBlob(ABlob);
    if (!blob) throw std::runtime_error("Bad frame");
    if (blob->Kind == TBlobKind::Video) {
      // While the decoder waits for a key frame the picture is not whole: the viewer tick keeps
      // asking for a complete one.
      if (!ShowVideo(*blob)) return;
    } else {
      // The picture size comes from the network: refuse it before the window allocates anything.
      const std::string bad = CheckTileUpdate(blob->Payload);
      if (!bad.empty()) throw std::runtime_error(bad);
      if (FViewer) FViewer->ShowUpdate(blob->Payload);
    }
    FGotFrame = true;
    FLastFrameTick = FCtx.Now;
  } catch (const std::exception& e) {
    FCtx.Log(std::string("frame not shown, asking for a full picture: ") + e.what());
    FGotFrame = false;
    FullPictureRequest();
  }
}

bool TViewerSide::ShowVideo(const TFrameBlob& ABlob) {
  // Not announced (any more): a frame still in flight from before, or a host that did not listen.
  if (!FVideo || (FCaps & kCapsH264) == 0) throw std::runtime_error("H.264 frame while tiles were asked for");
  if (!FDecoder || ABlob.Width != FDecW || ABlob.Height != FDecH) {
    FDecoder.reset();
    try {
      FDecoder = FVideo->CreateDecoder(ABlob.Width, ABlob.Height, static_cast<std::int64_t>(kMaxPicturePixels));
      FDecW = ABlob.Width;
      FDecH = ABlob.Height;
    } catch (const std::exception& e) {
      FCtx.Log(std::string("No H.264 decoder: ") + e.what());
      VideoFailed();
      return false;
    }
    FAwaitKey = true;
  }
  std::uint8_t* bits = nullptr;
  std::ptrdiff_t stride = 0;
  if (!FViewer || !FViewer->VideoTarget(ABlob.Width, ABlob.Height, bits, stride)) return true;
  TDecodeResult r;
  try {
    r = FDecoder->Decode(ABlob.Payload, bits, stride);
  } catch (const std::exception& e) {
    FCtx.Log(std::string("H.264 decode failed: ") + e.what());
    VideoFailed();
    return false;
  }
  if (r == TDecodeResult::drPicture) {
    FAwaitKey = false;
    FViewer->VideoDone();
  }
  // Damaged or refused data: the decoder shows nothing until the next key frame, which the request
  // for a complete picture (ShowFrame) makes the host send.
  if (r == TDecodeResult::drBroken) {
    FAwaitKey = true;
    throw std::runtime_error(kDamagedVideo);
  }
  return !FAwaitKey;
}

void TViewerSide::VideoFailed() {
  FDecoder.reset();
  FCaps = static_cast<std::uint8_t>(FCaps & ~kCapsH264);
  FCtx.Channel.Post(mkViewerCaps, TBytes{FCaps}, false);
  FullPictureRequest();
}

// ---- ticks --------------------------------------------------------------------------------------

TTick TViewerSide::NextDeadline() const {
  return std::min({FChannelTimer.Due(), FNackTimer.Due(), FViewerTimer.Due()});
}

void TViewerSide::HandleTimeout(TTick ANow) {
  // The channel and the missing chunks before the picture upkeep.
  if (FChannelTimer.Fire(ANow)) FCtx.RunLogged("ChannelTick", [this] { ChannelTick(); });
  if (FNackTimer.Fire(ANow)) FCtx.RunLogged("NackTick", [this] { NackTick(); });
  if (FViewerTimer.Fire(ANow)) FCtx.RunLogged("ViewerTick", [this] { ViewerTick(); });
}

void TViewerSide::ChannelTick() { FCtx.PollChannel(true, true); }

void TViewerSide::PollNacks() {
  TBytes nack;
  if (FFrameRx.PendingNack(nack, 20, FCtx.Now)) FCtx.Send(nack);
  for (auto& n : FFrameRx2.PendingNacks(20, FCtx.Now)) FCtx.Send(n);
  if (FFeedback) FCtx.Send(FFrameRx2.TakeFeedback());
}

void TViewerSide::ViewerTick() {
  ++FViewerTicks;
  const TTick now = FCtx.Now;
  if (FViewerTicks % 20 == 0) {
    char buf[120];
    std::snprintf(buf, sizeof buf, "viewer heartbeat tick=%d, since last picture=%lld ms", FViewerTicks,
                  static_cast<long long>(now - FLastFrameTick));
    FCtx.Log(buf);
  }
  if (!FGotFrame && FViewerTicks % 10 == 0) FullPictureRequest();
  PollNacks();
  FCtx.Send(FInputTx.Packet());
}

void TViewerSide::NackTick() { PollNacks(); }

// ---- the rest -----------------------------------------------------------------------------------

void TViewerSide::PlaySound(TByteView APacket) {
  if (FMuted || FPlayerFailed) return;
  const auto payload = SoundPayload(APacket);
  if (!payload) return;
  // A duplicated or reordered datagram would repeat or click: only newer packets play.
  const std::uint32_t seq = SoundSequence(APacket);
  if (FLastSoundSeq && !SoundSeqNewer(seq, *FLastSoundSeq)) return;
  if (!FPlayer) {
    try {
      if (FMakeSoundPlayer) FPlayer = FMakeSoundPlayer();
      if (!FPlayer) throw std::runtime_error(kNoSound);
    } catch (const std::exception& e) {
      FCtx.Log(std::string("cannot play sound: ") + e.what());
      FPlayerFailed = true;
      FCtx.Channel.Post(mkSoundSwitch, TBytes{0}, false);
      return;
    }
  }
  FLastSoundSeq = seq;
  FPlayer->Play(*payload);
}

void TViewerSide::SetInfo(const std::string& AState) {
  if (!FViewer) return;
  const std::string dot = "  \xC2\xB7  ";
  const std::string line = "Check " + FCtx.Link->CheckNumber() + dot +
                           (FCtx.Link->ViaRelay() ? "through the server" : "direct") + dot + AState;
  FViewer->SetSessionInfo(FormatID(FCtx.Link->PartnerID()), line);
}

void TViewerSide::SwitchAtEdge(int ADir, double AFracY) {
  if (!FSettings.EdgeSwitch || !FViewer) return;
  const TTick now = FCtx.Now;
  if (FLastEdgeSwitch != 0 && now - FLastEdgeSwitch < 700) return;
  const auto mons = FCtx.Tools->Monitors();
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
  FCtx.Tools->PickMonitor(best);
  FViewer->WarpToEdge(ADir, f);
}

// ---- window events ------------------------------------------------------------------------------

void TViewerSide::OnInput(const TInputEvent& AEvent) {
  if (FViewerMode != 1) return;
  FInputTx.Add(AEvent.Kind, AEvent.X, AEvent.Y, AEvent.Data);
  FCtx.Send(FInputTx.Packet());
}

void TViewerSide::OnUserClose() { FCtx.DisconnectLater(); }
void TViewerSide::OnChat() { FCtx.Tools->ShowTools(); }
void TViewerSide::OnSendFiles(const std::vector<std::string>& AFiles) { FCtx.Tools->SendFiles(AFiles); }
void TViewerSide::OnPickScreen(int AIndex) { FCtx.Tools->PickMonitor(AIndex); }
void TViewerSide::OnRestart() { FCtx.Tools->RequestRestart(); }

void TViewerSide::OnMute(bool AValue) {
  FMuted = AValue;
  if (FMuted && FPlayer) FPlayer->Clear();
  // A player that could not be made keeps sound off for the session.
  const bool on = !FMuted && !FPlayerFailed;
  FCtx.Channel.Post(mkSoundSwitch, TBytes{static_cast<std::uint8_t>(on ? 1 : 0)}, false);
}

void TViewerSide::OnShowThumbs(bool AValue) {
  FCtx.Channel.Post(mkThumbsSwitch, TBytes{static_cast<std::uint8_t>(AValue ? 1 : 0)}, false);
}

std::optional<TPicture24> TViewerSide::OnGetThumb(int AIndex) { return FCtx.Tools->Thumb(AIndex); }
void TViewerSide::OnCancelSend() { FCtx.Tools->CancelSend(); }
void TViewerSide::OnEdge(int ADir, double AFracY) { SwitchAtEdge(ADir, AFracY); }
void TViewerSide::OnElevate() { FCtx.Tools->RequestElevate(); }

}  // namespace tovik
