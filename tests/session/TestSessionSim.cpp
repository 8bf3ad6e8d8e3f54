// A host session and a viewer session over two real network clients in the simulator, with the real
// relay core between them: each side makes its session when its client reports the partner linked
// and frees it when the client reports the partner gone, as the main window does.
#include <gtest/gtest.h>

#include <deque>

#include "session/TovikSessionAdapters.h"
#include "session/TovikSessionLink.h"
#include "sim/TovikSimClient.h"
#include "sim/TovikSimRelayCore.h"
#include "tests/session/SessionFakes.h"

using namespace tovik;
using namespace tovik::sim;
using namespace tovik::test;

namespace {

constexpr std::uint16_t KRelayPort = 47800;
const char* const KRelayIP = "203.0.113.1";

struct TSimOptions {
  TNatKind HostNat = TNatKind::PortRestricted;
  TNatKind ViewerNat = TNatKind::FullCone;
  std::optional<TConsentAnswer> AutoAnswer = caControl;
  int W = 320, H = 200;
  std::uint32_t Seed = 3;
};

class TSimSessions {
 public:
  explicit TSimSessions(TSimOptions o = {}) : Opt(o), Net(o.Seed), RelayHost(Net.AddHost(KRelayIP)) {
    TcpPortsText = "8443,443,80";
    TcpPortsChanged = false;
    Net.AddName("relay.test", KRelayIP);
    Relay = std::make_unique<TSimRelayCore>(Net, RelayHost, KRelayPort, std::vector<std::uint16_t>{8443, 443, 80});
    HostPC = std::make_unique<TSimPC>(Net, Net.AddHost("192.168.1.10", &Net.AddNat("198.51.100.1", Opt.HostNat)),
                                      "relay.test", KRelayPort);
    ViewerPC = std::make_unique<TSimPC>(
        Net, Net.AddHost("192.168.2.10", &Net.AddNat("198.51.100.2", Opt.ViewerNat)), "relay.test", KRelayPort);
    HostLink = std::make_unique<TClientSessionLink>(HostPC->C());
    ViewerLink = std::make_unique<TClientSessionLink>(ViewerPC->C());
    Screen->Resize(Opt.W, Opt.H);
    Screen->Paint(0, 0, Opt.W, Opt.H, 1);
    Consent->AutoAnswer = Opt.AutoAnswer;
    Wire(*HostPC, false);
    Wire(*ViewerPC, true);
    FPoller = Net.AddPoller([this] { Tick(); });
    HostPC->Start();
    ViewerPC->Start();
    Net.RunUntil([&] { return HostPC->C().State() == rsRegistered && ViewerPC->C().State() == rsRegistered; }, 5000);
  }
  ~TSimSessions() {
    Net.RemovePoller(FPoller);
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
      Viewer = std::make_unique<TTovikSession>(std::move(d), true, false);
      ++ViewerSessions;
    } else {
      auto in = std::make_unique<TRecordingInput>();
      in->Events = Injected;
      d.Screen = MakeCapturerScreen(std::make_shared<TFakeBackend>(Screen));
      d.Injector = std::move(in);
      d.Consent = Consent;
      Host = std::make_unique<TTovikSession>(std::move(d), false, false);
      ++HostSessions;
    }
    AttachSession(AClient, AIsViewer ? *Viewer : *Host);
  }
  // The session timers at their periods, then the queued GUI work (which may end a link and so free
  // a session through the client's OnDisconnected).
  void Tick() {
    ++FMs;
    if (Host) {
      if (FMs % 8 == 0) Host->CaptureTick();
      if (FMs % 10 == 0) {
        Host->PumpPackets();
        Host->ChannelTick();
      }
    }
    if (Viewer) {
      if (FMs % 10 == 0) {
        Viewer->ChannelTick();
        Viewer->NackTick();
      }
      if (FMs % 100 == 0) Viewer->ViewerTick();
    }
    while (!FQueue.empty()) {
      auto f = std::move(FQueue.front());
      FQueue.pop_front();
      f();
    }
  }

  std::deque<std::function<void()>> FQueue;
  TTick FMs = 0;
  int FPoller = 0;
};

// Sends 40 input events through the viewer window's events; returns what the host should inject.
std::vector<TInputEvent> SendInput(TSimSessions& s) {
  std::vector<TInputEvent> sent;
  for (int i = 0; i < 40; ++i) {
    const auto kind = static_cast<std::uint8_t>(1 + i % 6);
    if (s.Window->Events)
      s.Window->Events->OnInput(kind, static_cast<std::int16_t>(i), static_cast<std::int16_t>(2 * i), i * 3);
    sent.push_back(TInputEvent{static_cast<std::uint32_t>(i + 1), kind, static_cast<std::int16_t>(i),
                               static_cast<std::int16_t>(2 * i), i * 3});
    s.Run(3);
  }
  s.Run(2000);
  return sent;
}

std::string BaseCaption(TSimSessions& s) {
  return "Tovik - " + FormatPartnerID(s.HostPC->C().MyID()) + " - check number " + s.ViewerPC->C().CheckNumber();
}

struct TLinkCase {
  const char* Name;
  TNatKind HostNat, ViewerNat;
  double Loss;
  bool ViaRelay;
};

class SessionSimLink : public ::testing::TestWithParam<TLinkCase> {};

TEST_P(SessionSimLink, PictureConvergesAndInputIsAppliedInOrder) {
  const TLinkCase c = GetParam();
  TSimSessions s({.HostNat = c.HostNat, .ViewerNat = c.ViewerNat});
  ASSERT_TRUE(s.Connect());
  ASSERT_EQ(s.HostPC->C().ViaRelay(), c.ViaRelay);
  s.Net.Link.Loss = c.Loss;
  ASSERT_TRUE(s.RunUntilSame(15'000));

  // The client's view of the partner reaches the consent prompt and the viewer window.
  ASSERT_EQ(s.Consent->Requests.size(), 1u);
  EXPECT_EQ(s.Consent->Requests[0].Address, s.HostPC->C().PeerAddress());
  EXPECT_EQ(s.Consent->Requests[0].CheckNumber, s.HostPC->C().CheckNumber());
  EXPECT_EQ(s.Window->Caption.rfind(BaseCaption(s) + " - you have control", 0), 0u) << s.Window->Caption;
  EXPECT_EQ(s.Window->Title, FormatPartnerID(s.HostPC->C().MyID()));
  EXPECT_NE(s.Window->Line.find(c.ViaRelay ? "through the server" : "direct"), std::string::npos);

  // A stream of changes, small and large; afterwards the picture converges exactly.
  for (std::uint32_t round = 2; round < 8; ++round) {
    s.Screen->Paint(static_cast<int>(round * 13), static_cast<int>(round * 7), 40, 30, round);
    s.Run(30);
    if (round % 3 == 0) s.Screen->Paint(0, 0, s.Opt.W, s.Opt.H, round * 100);
  }
  EXPECT_TRUE(s.RunUntilSame(20'000));

  EXPECT_EQ(SendInput(s), *s.Injected);
  EXPECT_EQ(s.Window->BadUpdates, 0);
  EXPECT_EQ(s.HostSessions, 1);
  EXPECT_EQ(s.ViewerSessions, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SessionSimLink,
    ::testing::Values(TLinkCase{"Direct", TNatKind::PortRestricted, TNatKind::FullCone, 0.0, false},
                      TLinkCase{"DirectLoss10", TNatKind::PortRestricted, TNatKind::FullCone, 0.10, false},
                      TLinkCase{"RelayedLoss10", TNatKind::Symmetric, TNatKind::Symmetric, 0.10, true}),
    [](const auto& info) { return std::string(info.param.Name); });

// Every answer of the person at the helped PC, and a prompt nobody answers until its count-down
// denies it.
TEST(SessionSim, ConsentAnswers) {
  struct TCase {
    const char* Name;
    std::optional<TConsentAnswer> Answer;  // none: held for 30 s, then denied
    bool Picture;
    bool Injects;
    const char* Suffix;
  } cases[] = {
      {"control", caControl, true, true, " - you have control"},
      {"view only", caViewOnly, true, false, " - view only"},
      {"deny", caDeny, false, false, ""},
      {"time-out", std::nullopt, false, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TSimSessions s({.AutoAnswer = c.Answer});
    ASSERT_TRUE(s.Connect());
    if (!c.Answer) {
      s.Run(30'000);
      ASSERT_EQ(s.Consent->Requests.size(), 1u);
      ASSERT_TRUE(s.Host && s.Viewer);  // the link stays up while the person decides
      EXPECT_EQ(s.Window->Caption, BaseCaption(s) + " - waiting for permission");
      s.Consent->Answer(caDeny);
    }
    if (c.Picture) {
      ASSERT_TRUE(s.RunUntilSame(10'000));
      EXPECT_EQ(s.Window->Caption.rfind(BaseCaption(s) + c.Suffix, 0), 0u) << s.Window->Caption;
      const auto sent = SendInput(s);
      EXPECT_EQ(*s.Injected, c.Injects ? sent : std::vector<TInputEvent>{});
      EXPECT_TRUE(s.Host && s.Viewer);
    } else {
      s.Run(3000);
      EXPECT_FALSE(s.Host);
      EXPECT_FALSE(s.Viewer);
      EXPECT_TRUE(HasLine(s.HostLog, "consent: denied"));
      EXPECT_TRUE(s.Window->Freed);
      EXPECT_EQ(s.Window->Updates, 0);
      EXPECT_TRUE(s.Injected->empty());
      EXPECT_EQ(s.HostPC->C().State(), rsRegistered);
      EXPECT_EQ(s.ViewerPC->C().State(), rsRegistered);
    }
    EXPECT_EQ(s.Consent->Requests.size(), 1u);
  }
}

TEST(SessionSim, ByeAndPartnerSilenceEndBothSides) {
  {
    // The helper closes the viewer window: BYE goes out and both sessions end.
    TSimSessions s;
    ASSERT_TRUE(s.Connect());
    ASSERT_TRUE(s.RunUntilSame(5000));
    s.Window->Events->OnUserClose();
    s.Run(500);
    EXPECT_FALSE(s.Viewer);
    EXPECT_FALSE(s.Host);
    EXPECT_TRUE(s.HostPC->Logged("Partner disconnected"));
    EXPECT_TRUE(HasLine(s.HostLog, "destroy end"));
    EXPECT_TRUE(HasLine(s.ViewerLog, "destroy end"));
  }
  {
    // The network goes away: both clients give up after 35 s of silence, and both sessions end.
    TSimSessions s;
    ASSERT_TRUE(s.Connect());
    ASSERT_TRUE(s.RunUntilSame(5000));
    s.Run(20'000);
    ASSERT_TRUE(s.Host && s.Viewer);  // a quiet picture still keeps both alive
    s.Net.Link.Loss = 1.0;
    s.Run(33'000);
    EXPECT_TRUE(s.Host && s.Viewer);
    s.Run(3500);
    EXPECT_FALSE(s.Host);
    EXPECT_FALSE(s.Viewer);
    EXPECT_TRUE(s.HostPC->Logged("The other PC stopped answering; the session has ended."));
    EXPECT_TRUE(s.ViewerPC->Logged("The other PC stopped answering; the session has ended."));
  }
}

}  // namespace
