// Two sessions, host and viewer, in one process: connected by lossy in-memory peer-packet pipes under
// a manual clock, with a fake screen that draws a changing picture, a recording injector, a fake
// consent prompt and a fake viewer window that decodes tile updates into its own picture. The driver
// runs every timer at its period, one millisecond at a time, and runs queued GUI work in between.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikClock.h"
#include "media/TovikCapture.h"
#include "tests/net/LossyPipe.h"
#include "session/TovikSession.h"
#include "session/TovikSessionAdapters.h"

namespace tovik::test {

// The host's screen: a BGRX picture the test paints.
struct TFakeScreenState {
  int W = 0, H = 0;
  std::vector<std::uint8_t> Px;  // W * H * 4
  void Resize(int w, int h) {
    W = w;
    H = h;
    Px.assign(static_cast<std::size_t>(w) * h * 4, 0);
  }
  // Fills a rectangle with a pattern that depends on the seed and the position.
  void Paint(int x0, int y0, int w, int h, std::uint32_t seed) {
    for (int y = y0; y < y0 + h && y < H; ++y)
      for (int x = x0; x < x0 + w && x < W; ++x) {
        std::uint8_t* p = &Px[(static_cast<std::size_t>(y) * W + x) * 4];
        std::uint32_t v = (static_cast<std::uint32_t>(x) * 2654435761u) ^ (static_cast<std::uint32_t>(y) * 40503u) ^ seed * 97u;
        p[0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
        p[2] = static_cast<std::uint8_t>(v >> 16);
        p[3] = 0;
      }
  }
};

class TFakeGrab : public IScreenGrab {
 public:
  explicit TFakeGrab(std::shared_ptr<TFakeScreenState> s) : S(std::move(s)) {}
  TGrabStatus CopyTo(TBitmap32& B, bool, std::span<const TRect>, TGrabChanges& C) override {
    if (B.Width() != S->W || B.Height() != S->H) return TGrabStatus::gsLost;
    for (int y = 0; y < S->H; ++y) std::memcpy(B.Row(y), &S->Px[static_cast<std::size_t>(y) * S->W * 4], static_cast<std::size_t>(S->W) * 4);
    C.All = true;
    return TGrabStatus::gsOk;
  }
  std::shared_ptr<TFakeScreenState> S;
};

class TFakeBackend : public IScreenBackend {
 public:
  explicit TFakeBackend(std::shared_ptr<TFakeScreenState> s) : S(std::move(s)) {}
  std::vector<TMonitorInfo> Monitors() override { return {TMonitorInfo{"fake", TRect{0, 0, S->W, S->H}, true}}; }
  std::unique_ptr<IScreenGrab> CreateDup(const TRect&) override { return nullptr; }
  std::unique_ptr<IScreenGrab> CreatePlain(const TRect&) override { return std::make_unique<TFakeGrab>(S); }
  bool GetPointer(TPointerImage&) override { return false; }
  std::shared_ptr<TFakeScreenState> S;
};

struct TRecordingInput : IHostInput {
  std::shared_ptr<std::vector<TInputEvent>> Events = std::make_shared<std::vector<TInputEvent>>();
  void InjectInput(const TInputEvent& e) override { Events->push_back(e); }
};

// Answers as told: at once, or held until the test answers (a time-out answers caDeny).
struct TFakeConsent : IConsentPrompt {
  std::optional<TConsentAnswer> AutoAnswer;
  std::vector<TConsentRequest> Requests;
  std::function<void(TConsentAnswer)> Pending;
  void Ask(const TConsentRequest& r, std::function<void(TConsentAnswer)> a) override {
    Requests.push_back(r);
    if (AutoAnswer)
      a(*AutoAnswer);
    else
      Pending = std::move(a);
  }
  void Answer(TConsentAnswer a) {
    auto p = std::move(Pending);
    Pending = nullptr;
    if (p) p(a);
  }
};

struct TFakeViewerState {
  TBitmap32 Picture;
  std::string Caption, Title, Line, Notice;
  int Updates = 0, BadUpdates = 0;
  IViewerEvents* Events = nullptr;
  bool Freed = false;
};

class TFakeViewer : public IViewerWindow {
 public:
  TFakeViewer(std::shared_ptr<TFakeViewerState> s, IViewerEvents& e) : S(std::move(s)) { S->Events = &e; }
  void SetCaption(const std::string& c) override { S->Caption = c; }
  std::string Caption() const override { return S->Caption; }
  void SetSessionInfo(const std::string& t, const std::string& l) override {
    S->Title = t;
    S->Line = l;
  }
  void SetNotice(const std::string& n) override { S->Notice = n; }
  void ShowUpdate(TByteView u) override {
    try {
      ApplyScreenUpdate(S->Picture, u);
      ++S->Updates;
    } catch (...) {
      ++S->BadUpdates;
      throw;
    }
  }
  bool VideoTarget(int, int, std::uint8_t*&, std::ptrdiff_t&) override { return false; }
  void VideoDone() override {}
  void SetScreens(int, int) override {}
  void SelectScreen(int) override {}
  void WarpToEdge(int, double) override {}
  void ThumbChanged(int) override {}
  void SetTransfer(const std::string&, std::int64_t, std::int64_t, int) override {}
  int CurrentScreen() const override { return 0; }
  void Show() override {}
  void FreeSafely() override {
    S->Events = nullptr;
    S->Freed = true;
    delete this;
  }
  std::shared_ptr<TFakeViewerState> S;
};

// One side's end of the link. Sending goes into the pipe towards the partner while the link is up.
struct TPipeLink : ISessionLink {
  TLossyPipe* Out = nullptr;
  std::string Partner, Check = "123 456";
  bool Up = true;
  bool DisconnectAsked = false;
  std::string PartnerID() const override { return Partner; }
  std::string PartnerName() const override { return "Partner PC"; }
  std::string CheckNumber() const override { return Check; }
  std::string PeerAddress() const override { return "192.0.2.7:5000"; }
  bool ViaRelay() const override { return false; }
  void SendData(TByteView d) override {
    if (Up && Out) Out->Send(TBytes(d.begin(), d.end()));
  }
  void Disconnect() override { DisconnectAsked = true; }
};

struct TPairOptions {
  TPipeConfig Pipe{};
  bool Unattended = false;
  std::optional<TConsentAnswer> AutoAnswer = caControl;
  int W = 320, H = 200;
  TToolsFactory HostTools;  // none: TBasicSessionTools
  bool RealDesktop = false;  // the platform's capturer and injector instead of the fakes
};

class TSessionPair {
 public:
  explicit TSessionPair(TPairOptions o = {})
      : Opt(std::move(o)), ToViewer(Opt.Pipe), ToHost(WithSeed(Opt.Pipe, Opt.Pipe.Seed + 1)) {
    Screen->Resize(Opt.W, Opt.H);
    Screen->Paint(0, 0, Opt.W, Opt.H, 1);
    HostLink.Out = &ToViewer;
    HostLink.Partner = "111222333";
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
    if (Opt.RealDesktop) {
      d.Screen = MakeCapturerScreen();
      d.Injector = MakeHostInput();
    } else {
      d.Screen = MakeCapturerScreen(std::make_shared<TFakeBackend>(Screen));
      d.Injector = std::move(in);
    }
    d.Consent = Consent;
    d.MakeTools = Opt.HostTools;
    Host = std::make_unique<TTovikSession>(std::move(d), false, Opt.Unattended);
  }
  void StartViewer() {
    TSessionDeps d;
    d.Link = &ViewerLink;
    d.Post = [this](std::function<void()> f) { Queue.push_back(std::move(f)); };
    d.Log = [this](const std::string& s) { ViewerLog.push_back(s); };
    d.MakeViewer = [this](IViewerEvents& e, const std::string&) {
      return TViewerWindowPtr(new TFakeViewer(Window, e));
    };
    Viewer = std::make_unique<TTovikSession>(std::move(d), true, false);
  }

  // One millisecond of both programs: packets, timers, queued GUI work, link ends.
  void StepMs() {
    Clock.Advance(1);
    ++Ms;
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
    if (Host) {
      if (Ms % 8 == 0) Host->CaptureTick();
      if (Ms % 10 == 0) {
        Host->PumpPackets();
        Host->ChannelTick();
      }
    }
    if (Viewer) {
      if (Ms % 10 == 0) {
        Viewer->ChannelTick();
        Viewer->NackTick();
      }
      if (Ms % 100 == 0) Viewer->ViewerTick();
    }
    RunQueue();
    EndLinks();
  }
  void Run(TTick ms) {
    for (TTick i = 0; i < ms; ++i) StepMs();
  }
  // Runs until the viewer's picture equals the host's screen, at most AMaxMs; true when it does.
  bool RunUntilSame(TTick AMaxMs) {
    for (TTick i = 0; i < AMaxMs; ++i) {
      StepMs();
      if (i % 50 == 0 && Same()) return true;
    }
    return Same();
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
    if (Host && Clock.Now() - HostLastRx > 35000) {
      HostLink.Up = false;
      Host.reset();
    }
    if (Viewer && Clock.Now() - ViewerLastRx > 35000) {
      ViewerLink.Up = false;
      Viewer.reset();
    }
  }

  bool Same() const {
    const TBitmap32& b = Window->Picture;
    if (b.Width() != Screen->W || b.Height() != Screen->H) return false;
    for (int y = 0; y < b.Height(); ++y) {
      const std::uint8_t* v = b.Row(y);
      const std::uint8_t* h = &Screen->Px[static_cast<std::size_t>(y) * Screen->W * 4];
      for (int x = 0; x < b.Width(); ++x)
        if (v[x * 4] != h[x * 4] || v[x * 4 + 1] != h[x * 4 + 1] || v[x * 4 + 2] != h[x * 4 + 2]) return false;
    }
    return true;
  }

  static bool Has(const std::vector<std::string>& log, const std::string& line) {
    for (auto& l : log)
      if (l == line) return true;
    return false;
  }

  TManualClock Clock;
  TPairOptions Opt;
  TLossyPipe ToViewer, ToHost;
  TPipeLink HostLink, ViewerLink;
  std::shared_ptr<TFakeScreenState> Screen = std::make_shared<TFakeScreenState>();
  std::shared_ptr<TFakeViewerState> Window = std::make_shared<TFakeViewerState>();
  std::shared_ptr<TFakeConsent> Consent = std::make_shared<TFakeConsent>();
  std::shared_ptr<std::vector<TInputEvent>> Injected;
  std::deque<std::function<void()>> Queue;
  bool HoldQueue = false;  // leaves queued GUI work queued
  std::vector<std::string> HostLog, ViewerLog;
  std::unique_ptr<TTovikSession> Host, Viewer;
  TTick Ms = 0;
  TTick HostLastRx = Clock.Now(), ViewerLastRx = Clock.Now();
};

}  // namespace tovik::test
