// Host and viewer sessions over two network clients and the real relay core in the simulator: consent,
// picture, input, and the ends of a session.
#include <gtest/gtest.h>

#include "tests/session/SessionSimFixture.h"

using namespace tovik;
using namespace tovik::sim;
using namespace tovik::test;

namespace {

// Sends 40 input events through the viewer window's events; returns what the host should inject.
std::vector<TInputEvent> SendInput(TSimSessions& s) {
  std::vector<TInputEvent> sent;
  for (int i = 0; i < 40; ++i) {
    const auto kind = static_cast<std::uint8_t>(1 + i % 6);
    if (s.Window->Events)
      s.Window->Events->OnInput(WindowInput(kind, static_cast<std::int16_t>(i), static_cast<std::int16_t>(2 * i), i * 3));
    sent.push_back(TInputEvent{static_cast<std::uint32_t>(i + 1), kind, static_cast<std::int16_t>(i),
                               static_cast<std::int16_t>(2 * i), i * 3});
    s.Run(3);
  }
  s.Run(2000);
  return sent;
}

std::string BaseCaption(TSimSessions& s) {
  return "Tovik - " + FormatID(s.HostPC->C().MyID()) + " - check number " + s.ViewerPC->C().CheckNumber();
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

  // The client's view of the partner reaches the consent prompt (no address through the server) and
  // the viewer window.
  ASSERT_EQ(s.Consent->Requests.size(), 1u);
  EXPECT_EQ(s.Consent->Requests[0].Address, c.ViaRelay ? std::string() : s.HostPC->C().PeerAddress());
  EXPECT_EQ(s.Consent->Requests[0].CheckNumber, s.HostPC->C().CheckNumber());
  EXPECT_EQ(s.Window->Caption.rfind(BaseCaption(s) + " - you have control", 0), 0u) << s.Window->Caption;
  EXPECT_EQ(s.Window->Title, FormatID(s.HostPC->C().MyID()));
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
