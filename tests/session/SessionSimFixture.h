// A host session and a viewer session over two real network clients in the simulator, with the real
// relay core between them and the fakes of SessionFakes.h around them. Each side makes its session when
// its client reports the partner linked and frees it when the client reports the partner gone, as the
// main window does. Everything runs on the test's thread in virtual time.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session/TovikSessionAdapters.h"
#include "session/TovikSessionLink.h"
#include "sim/TovikSimClient.h"
#include "sim/TovikSimRelayCore.h"
#include "tests/support/SessionFakes.h"

namespace tovik::test {

using sim::TNatKind;
using sim::TSimHost;
using sim::TSimNet;
using sim::TSimPC;
using sim::TSimRelayCore;

inline constexpr std::uint16_t KSimRelayPort = 47800;
inline constexpr const char* KSimRelayIP = "203.0.113.1";

struct TSimOptions {
  TNatKind HostNat = TNatKind::PortRestricted;
  TNatKind ViewerNat = TNatKind::FullCone;
  std::optional<TConsentAnswer> AutoAnswer = caControl;
  int W = 320, H = 200;
  std::uint32_t Seed = 3;
  // H.264 on each side; none: tiles only.
  std::shared_ptr<IVideoCodecs> HostVideo = nullptr, ViewerVideo = nullptr;
};

class TSimSessions {
 public:
  explicit TSimSessions(TSimOptions o = {}) : Opt(o), Net(o.Seed), RelayHost(Net.AddHost(KSimRelayIP)) {
    TcpPortsText = "8443,443,80";
    TcpPortsChanged = false;
    Net.AddName("relay.test", KSimRelayIP);
    Relay = std::make_unique<TSimRelayCore>(Net, RelayHost, KSimRelayPort, std::vector<std::uint16_t>{8443, 443, 80});
    HostPC = std::make_unique<TSimPC>(Net, Net.AddHost("192.168.1.10", &Net.AddNat("198.51.100.1", Opt.HostNat)),
                                      "relay.test", KSimRelayPort);
    ViewerPC = std::make_unique<TSimPC>(
        Net, Net.AddHost("192.168.2.10", &Net.AddNat("198.51.100.2", Opt.ViewerNat)), "relay.test", KSimRelayPort);
    HostLink = std::make_unique<TClientSessionLink>(HostPC->C());
    ViewerLink = std::make_unique<TClientSessionLink>(ViewerPC->C());
    Screen->Resize(Opt.W, Opt.H);
    Screen->Paint(0, 0, Opt.W, Opt.H, 1);
    Consent->AutoAnswer = Opt.AutoAnswer;
    Wire(*HostPC, false);
    Wire(*ViewerPC, true);
    Net.AddTimed(FTimed);
    HostPC->Start();
    ViewerPC->Start();
    Net.RunUntil([&] { return HostPC->C().State() == rsRegistered && ViewerPC->C().State() == rsRegistered; }, 5000);
  }
  ~TSimSessions() {
    Net.RemoveTimed(FTimed);
    for (TSimPC* pc : {HostPC.get(), ViewerPC.get()}) {
      pc->C().OnConnected = nullptr;
      pc->C().OnDisconnected = nullptr;
      pc->C().OnData = nullptr;
    }
    Viewer.reset();
    Host.reset();
  }

  // The helper calls the helped PC; true when both sessions exist.
  bool Connect() {
    ViewerPC->C().ConnectTo(HostPC->C().MyID());
    return Net.RunUntil([&] { return Host && Viewer; }, 11'000);
  }
  bool RunUntilSame(TTick AMaxMs) {
    return Net.RunUntil([&] { return SamePicture(Window->Picture, *Screen); }, AMaxMs);
  }
  void Run(TTick AMs) { Net.RunFor(AMs); }

  TSimOptions Opt;
  TSimNet Net;
  TSimHost& RelayHost;
  std::unique_ptr<TSimRelayCore> Relay;
  std::unique_ptr<TSimPC> HostPC, ViewerPC;
  std::unique_ptr<TClientSessionLink> HostLink, ViewerLink;
  std::shared_ptr<TFakeScreenState> Screen = std::make_shared<TFakeScreenState>();
  std::shared_ptr<TFakeViewerState> Window = std::make_shared<TFakeViewerState>();
  std::shared_ptr<TFakeConsent> Consent = std::make_shared<TFakeConsent>();
  std::shared_ptr<std::vector<TInputEvent>> Injected = std::make_shared<std::vector<TInputEvent>>();
  std::vector<std::string> HostLog, ViewerLog;
  int HostSessions = 0, ViewerSessions = 0;
  std::unique_ptr<TTovikSession> Host, Viewer;

 private:
  // The owner's part: a session per linked partner, freed when the client reports the partner gone.
  void Wire(TSimPC& APC, bool AIsViewer) {
    TTovikClient& c = APC.C();
    c.OnConnected = [this, &APC, AIsViewer, prev = c.OnConnected] {
      prev();
      MakeSession(APC.C(), AIsViewer);
    };
    c.OnDisconnected = [this, &APC, AIsViewer, prev = c.OnDisconnected] {
      prev();
      APC.C().OnData = nullptr;
      (AIsViewer ? Viewer : Host).reset();
    };
  }
  void MakeSession(TTovikClient& AClient, bool AIsViewer) {
    TSessionDeps d;
    d.Link = AIsViewer ? ViewerLink.get() : HostLink.get();
    d.Post = [this](std::function<void()> f) { FQueue.push_back(std::move(f)); };
    auto& log = AIsViewer ? ViewerLog : HostLog;
    d.Log = [&log](const std::string& s) { log.push_back(s); };
    if (AIsViewer) {
      d.MakeViewer = [this](IViewerEvents& e, const std::string&) {
        return TViewerWindowPtr(new TFakeViewer(Window, e));
      };
      d.Video = Opt.ViewerVideo;
      Viewer = std::make_unique<TTovikSession>(std::move(d), true, false, Net.Now());
      ++ViewerSessions;
    } else {
      auto in = std::make_unique<TRecordingInput>();
      in->Events = Injected;
      d.Screen = MakeCapturerScreen(std::make_shared<TFakeBackend>(Screen));
      d.Injector = std::move(in);
      d.Consent = Consent;
      d.Video = Opt.HostVideo;
      Host = std::make_unique<TTovikSession>(std::move(d), false, false, Net.Now());
      ++HostSessions;
    }
    AttachSession(AClient, AIsViewer ? *Viewer : *Host);
  }
  // What the sessions have due at the simulator's time, then the queued GUI work (which may end a link
  // and so free a session through the client's OnDisconnected).
  void Tick() {
    RunDueSessions(Host.get(), Viewer.get(), Net.Now());
    while (!FQueue.empty()) {
      auto f = std::move(FQueue.front());
      FQueue.pop_front();
      f();
    }
  }

  // The sessions and the queued GUI work as one timed object of the simulator: due at the sessions'
  // deadlines, and at once while GUI work waits.
  struct TSessionsTimed final : ITimedObject {
    explicit TSessionsTimed(TSimSessions& AOwner) : Owner(AOwner) {}
    TTick NextDeadline() const override {
      return Owner.FQueue.empty() ? NextSessionDeadline(Owner.Host.get(), Owner.Viewer.get()) : 0;
    }
    void HandleTimeout(TTick) override { Owner.Tick(); }
    TSimSessions& Owner;
  };

  std::deque<std::function<void()>> FQueue;
  TSessionsTimed FTimed{*this};
};

}  // namespace tovik::test
