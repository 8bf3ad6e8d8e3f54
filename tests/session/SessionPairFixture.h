// Two sessions, host and viewer, in one process: connected by lossy in-memory peer-packet pipes under
// a manual clock, with the fakes of SessionFakes.h. The driver jumps virtual time to the next thing
// that happens (a packet arriving, a session's deadline, a link's silence time-out), lets it happen,
// and runs queued GUI work in between.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikClock.h"
#include "media/TovikCapture.h"
#include "tests/net/LossyPipe.h"
#include "session/TovikSession.h"
#include "session/TovikSessionAdapters.h"
#include "tests/support/SessionFakes.h"

namespace tovik::test {

// One side's end of the link. Sending goes into the pipe towards the partner while the link is up.
struct TPipeLink : ISessionLink {
  TLossyPipe* Out = nullptr;
  std::string Partner, Check = "123 456";
  TBytes Binding = TBytes(128, 0x5A);  // both ends of one link see the same keys
  bool Up = true;
  bool Relayed = false;  // through the server: no address, as the network client gives it
  bool DisconnectAsked = false;
  // Sees, and may change, every packet this end sends (a test plays an older program with it).
  std::function<void(TBytes&)> Tap;
  std::string PartnerID() const override { return Partner; }
  std::string PartnerName() const override { return "Partner PC"; }
  std::string CheckNumber() const override { return Check; }
  std::string PeerAddress() const override { return Relayed ? ":0" : "192.0.2.7:5000"; }
  bool ViaRelay() const override { return Relayed; }
  TBytes KeyBinding() const override { return Binding; }
  void SendData(TByteView d) override {
    if (!Up || !Out) return;
    TBytes p(d.begin(), d.end());
    if (Tap) Tap(p);
    Out->Send(std::move(p));
  }
  void Disconnect() override { DisconnectAsked = true; }
};

struct TPairOptions {
  TPipeConfig Pipe{};
  bool Unattended = false;
  std::optional<TConsentAnswer> AutoAnswer = caControl;
  int W = 320, H = 200;
  bool ViaRelay = false;    // the link goes through the server
  TToolsFactory HostTools;    // none: TSessionTools
  TToolsFactory ViewerTools;  // none: TSessionTools
  // The platform's screen and injector instead of the fakes (the X11 test passes the real ones).
  std::function<std::shared_ptr<IScreenBackend>()> RealScreen;
  std::function<std::unique_ptr<IInputInjector>()> RealInput;
  // The host's screen backend over the fake screen (none: TFakeBackend).
  std::function<std::shared_ptr<IScreenBackend>(std::shared_ptr<TFakeScreenState>)> FakeBackend;
  // The host grabs and encodes on a worker thread, which calls HostWake when it has a result.
  bool CaptureWorker = false;
  std::function<void()> HostWake;
  // Unattended access: the password the host keeps (none: no password set), the throttle its
  // program shares between sessions, and whether the helper's program can answer (an older one
  // cannot).
  std::optional<std::string> HostPassword;
  std::shared_ptr<TPasswordThrottle> Throttle = std::make_shared<TPasswordThrottle>();
  bool ViewerAnswersPasswords = true;
  TTick StartTick = 1'000'000;  // the program's time when the sessions are made
  // Sound on each side; none: the side has no sound devices.
  std::function<std::unique_ptr<ILoopbackCapture>()> SoundCapture;
  std::function<std::unique_ptr<IAudioPlayer>()> SoundPlayer;
  // H.264 on each side; none: tiles only.
  std::shared_ptr<IVideoCodecs> HostVideo = nullptr, ViewerVideo = nullptr;
};

// One verifier per password for the whole test program: PBKDF2 at the real work factor is slow.
inline const TPasswordVerifier& VerifierFor(const std::string& APassword) {
  static std::map<std::string, TPasswordVerifier> made;
  auto it = made.find(APassword);
  if (it == made.end()) it = made.emplace(APassword, MakePasswordVerifier(APassword, kPasswordMinIterations)).first;
  return it->second;
}

class TSessionPair {
 public:
  explicit TSessionPair(TPairOptions o = {})
      : Opt(std::move(o)), Clock(Opt.StartTick), ToViewer(Opt.Pipe), ToHost(WithSeed(Opt.Pipe, Opt.Pipe.Seed + 1)) {
    Screen->Resize(Opt.W, Opt.H);
    Screen->Paint(0, 0, Opt.W, Opt.H, 1);
    HostLink.Out = &ToViewer;
    HostLink.Partner = "111222333";
    HostLink.Relayed = ViewerLink.Relayed = Opt.ViaRelay;
    ViewerLink.Out = &ToHost;
    ViewerLink.Partner = "444555666";
    Consent->AutoAnswer = Opt.AutoAnswer;
    StartHost();
    StartViewer();
  }
  ~TSessionPair() {
    Viewer.reset();
    Host.reset();
  }

  static TPipeConfig WithSeed(TPipeConfig c, std::uint64_t s) {
    c.Seed = s;
    return c;
  }

  void StartHost() {
    TSessionDeps d;
    d.Link = &HostLink;
    d.Post = [this](std::function<void()> f) { Queue.push_back(std::move(f)); };
    d.Log = [this](const std::string& s) { HostLog.push_back(s); };
    auto in = std::make_unique<TRecordingInput>();
    Injected = in->Events;
    Own = in->Own;
    if (Opt.RealScreen) {
      d.Screen = MakeCapturerScreen(Opt.RealScreen());
      d.Injector = MakeHostInput(Opt.RealInput());
    } else {
      d.Screen = MakeCapturerScreen(Opt.FakeBackend ? Opt.FakeBackend(Screen) : std::make_shared<TFakeBackend>(Screen));
      d.Injector = std::move(in);
    }
    d.Consent = Consent;
    if (Opt.HostPassword) d.UnattendedPassword = TUnattendedPassword{VerifierFor(*Opt.HostPassword), Opt.Throttle};
    d.MakeTools = Opt.HostTools;
    d.Identity = {"HOSTPC", "helped", "Linux 6.1"};
    d.MakeSoundCapture = Opt.SoundCapture;
    d.Video = Opt.HostVideo;
    d.CaptureWorker = Opt.CaptureWorker;
    d.Wake = Opt.HostWake;
    Host = std::make_unique<TTovikSession>(std::move(d), false, Opt.Unattended, Clock.Now());
  }
  void StartViewer() {
    TSessionDeps d;
    d.Link = &ViewerLink;
    d.Post = [this](std::function<void()> f) { Queue.push_back(std::move(f)); };
    d.Log = [this](const std::string& s) { ViewerLog.push_back(s); };
    d.MakeViewer = [this](IViewerEvents& e, const std::string&) {
      return TViewerWindowPtr(new TFakeViewer(Window, e));
    };
    if (Opt.ViewerAnswersPasswords) d.PasswordPrompt = Prompt;
    d.MakeSoundPlayer = Opt.SoundPlayer;
    d.MakeTools = Opt.ViewerTools;
    d.Video = Opt.ViewerVideo;
    Viewer = std::make_unique<TTovikSession>(std::move(d), true, false, Clock.Now());
  }

  // The next moment something happens: a packet arrives, a session's tick falls due, or a link has
  // been silent for too long.
  TTick NextEvent() const {
    TTick next = std::min({ToViewer.NextDue(), ToHost.NextDue(), NextSessionDeadline(Host.get(), Viewer.get())});
    if (Host) next = std::min(next, HostLastRx + kSilenceMs + 1);
    if (Viewer) next = std::min(next, ViewerLastRx + kSilenceMs + 1);
    return next;
  }
  // One step of both programs, never past AUntil: time jumps to the next event, then packets, due
  // ticks, queued GUI work and link ends.
  void Step(TTick AUntil) {
    const TTick next = std::min(NextEvent(), AUntil);
    if (next > Clock.Now()) Clock.Advance(next - Clock.Now());
    for (auto& p : ToViewer.Receive())
      if (Viewer && ViewerLink.Up) {
        ViewerLastRx = Clock.Now();
        Viewer->OnPeerData(p);
      }
    for (auto& p : ToHost.Receive())
      if (Host && HostLink.Up) {
        HostLastRx = Clock.Now();
        Host->OnPeerData(p);
      }
    RunDueSessions(Host.get(), Viewer.get(), Clock.Now());
    RunQueue();
    EndLinks();
  }
  // AMs of virtual time.
  void Run(TTick AMs) {
    const TTick end = Clock.Now() + AMs;
    while (Clock.Now() < end) Step(end);
  }
  // Runs until the viewer's picture equals the host's screen, at most AMaxMs; true when it does.
  bool RunUntilSame(TTick AMaxMs) {
    return RunUntil([this] { return Same(); }, AMaxMs);
  }
  // Runs until APred holds (looked at every 50 ms), at most AMaxMs; true when it does.
  bool RunUntil(const std::function<bool()>& APred, TTick AMaxMs) {
    const TTick end = Clock.Now() + AMaxMs;
    TTick look = Clock.Now();
    while (Clock.Now() < end) {
      Step(std::min(end, std::max(look, Clock.Now() + 1)));
      if (Clock.Now() >= look) {
        if (APred()) return true;
        look = Clock.Now() + 50;
      }
    }
    return APred();
  }
  void RunQueue() {
    while (!HoldQueue && !Queue.empty()) {
      auto f = std::move(Queue.front());
      Queue.pop_front();
      f();
    }
  }
  // What the clients do: a BYE ends both sides, and so do 35 s of silence from the partner.
  void EndLinks() {
    if (HostLink.DisconnectAsked || ViewerLink.DisconnectAsked) {
      HostLink.Up = ViewerLink.Up = false;
      Host.reset();
      Viewer.reset();
    }
    if (Host && Clock.Now() - HostLastRx > kSilenceMs) {
      HostLink.Up = false;
      Host.reset();
    }
    if (Viewer && Clock.Now() - ViewerLastRx > kSilenceMs) {
      ViewerLink.Up = false;
      Viewer.reset();
    }
  }

  bool Same() const { return SamePicture(Window->Picture, *Screen); }
  static bool Has(const std::vector<std::string>& log, const std::string& line) { return HasLine(log, line); }

  static constexpr TTick kSilenceMs = 35000;

  TPairOptions Opt;
  TManualClock Clock;
  TLossyPipe ToViewer, ToHost;
  TPipeLink HostLink, ViewerLink;
  std::shared_ptr<TFakeScreenState> Screen = std::make_shared<TFakeScreenState>();
  std::shared_ptr<TFakeViewerState> Window = std::make_shared<TFakeViewerState>();
  std::shared_ptr<TFakeConsent> Consent = std::make_shared<TFakeConsent>();
  std::shared_ptr<TFakePasswordPrompt> Prompt = std::make_shared<TFakePasswordPrompt>();
  std::shared_ptr<std::vector<TInputEvent>> Injected;
  std::shared_ptr<TFakeOwnWindows> Own;  // the host's own windows, as its fake injector reports them
  std::deque<std::function<void()>> Queue;
  bool HoldQueue = false;  // leaves queued GUI work queued
  std::vector<std::string> HostLog, ViewerLog;
  std::unique_ptr<TTovikSession> Host, Viewer;
  TTick HostLastRx = Clock.Now(), ViewerLastRx = Clock.Now();
};

}  // namespace tovik::test
