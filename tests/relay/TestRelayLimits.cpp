// The relay core's resource limits, each at its edge, on the virtual clock.
#include <gtest/gtest.h>

#include "RelayCoreFixture.h"
#include "TovikRelayRates.h"

namespace tovik::test {
namespace {

// Addresses in three /24 ranges.
constexpr std::uint32_t kRangeA = 0x0A000100, kRangeB = 0x0A000200, kRangeC = 0x0A000300;

class RelayLimitsTest : public RelayCoreTest {
 protected:
  std::uint16_t FNextPort = 1000;

  // A fresh client at AIp says hello: true when the relay answers it.
  bool Answered(std::uint32_t AIp) {
    TPc& pc = NewPc(AIp, FNextPort++);
    Send(pc, pc.C.Hello());
    return !pc.Raw.empty();
  }
  // How many of AN fresh hellos from the IPs AIpOf(0..AN-1) are answered.
  template <class F>
  int AnsweredOf(int AN, F AIpOf) {
    int n = 0;
    for (int i = 0; i < AN; ++i) n += Answered(AIpOf(i)) ? 1 : 0;
    return n;
  }
  void Configure(const std::function<void(TRelayConfig&)>& AChange) {
    AChange(FConfig);
    Restart();
  }
};

TEST_F(RelayLimitsTest, HandshakesPerSourcePerRangeAndInTotal) {
  Configure([](TRelayConfig& c) {
    c.HandshakesPerIPPer10s = 3;
    c.HandshakesPerRangePerSecond = 5;
    c.HandshakesPerSecond = 8;
  });
  // Per source: three in ten seconds, the fourth is not answered; another source is.
  EXPECT_EQ(AnsweredOf(4, [](int) { return kRangeA + 1; }), 3);
  // Refused hellos cost the range nothing: two more sources of the range fill its five.
  EXPECT_EQ(AnsweredOf(10, [](int) { return kRangeA + 1; }), 0);
  EXPECT_EQ(AnsweredOf(3, [](int i) { return kRangeA + 2 + static_cast<std::uint32_t>(i); }), 2);
  // The range is full, other ranges are not: three more from B make the total eight, then nobody.
  EXPECT_EQ(AnsweredOf(3, [](int i) { return kRangeB + 1 + static_cast<std::uint32_t>(i); }), 3);
  EXPECT_FALSE(Answered(kRangeC + 1));
  // A second later the range and total budgets are fresh; the first source's ten seconds are not.
  FClock.Advance(1000);
  EXPECT_FALSE(Answered(kRangeA + 1));
  EXPECT_TRUE(Answered(kRangeA + 9));
  EXPECT_TRUE(Answered(kRangeC + 1));
  FClock.Advance(8999);
  EXPECT_FALSE(Answered(kRangeA + 1));
  FClock.Advance(1);
  EXPECT_TRUE(Answered(kRangeA + 1));
}

// A flood from one range (spoofed sources, each under its own limit) leaves the total budget to
// everyone else.
TEST_F(RelayLimitsTest, AFloodFromOneRangeLeavesOthersTheirHandshakes) {
  Configure([](TRelayConfig& c) {
    c.HandshakesPerRangePerSecond = 4;
    c.HandshakesPerSecond = 6;
  });
  EXPECT_EQ(AnsweredOf(50, [](int i) { return kRangeA + static_cast<std::uint32_t>(i); }), 4);
  EXPECT_EQ(AnsweredOf(2, [](int i) { return kRangeB + static_cast<std::uint32_t>(i); }), 2);
}

TEST_F(RelayLimitsTest, SessionsPerSourceIP) {
  Configure([](TRelayConfig& c) { c.MaxSessionsPerIP = 2; });
  TPc& first = Online(kRangeA + 1, 5000);
  Online(kRangeA + 1, 5001);
  EXPECT_FALSE(Answered(kRangeA + 1));
  EXPECT_TRUE(Answered(kRangeA + 2));
  // A renewed handshake of a session that exists is not a new session.
  Send(first, first.C.Hello());
  EXPECT_FALSE(first.Raw.empty());
  Say(first, "BYE");
  EXPECT_TRUE(Answered(kRangeA + 1));
  EXPECT_EQ(FCore->Stats().SourcesWithSessions, 2u);
}

TEST_F(RelayLimitsTest, LinesUpToTheLimitAreRead) {
  TPc& pc = Online(kRangeA + 1, 5000);
  // Blanks pad a short CONNECT line (too few fields) to the size wanted.
  for (const auto& [size, answered] : {std::pair{std::size_t{8192}, true}, std::pair{std::size_t{8193}, false}}) {
    std::string line = "CONNECT 1";
    line.resize(size, ' ');
    Say(pc, line);
    EXPECT_EQ(Take(pc), answered ? "ERR CONNECT_BAD" : "(nothing)") << size;
  }
}

TEST_F(RelayLimitsTest, PinAndSessionLinesPerClient) {
  Configure([](TRelayConfig& c) {
    c.PinsPerMinute = 2;
    c.SessionLinesPerMinute = 3;
  });
  TPc& viewer = Online(kRangeA + 1, 5000);
  TPc& host = Online(kRangeA + 2, 5000);
  for (int i = 0; i < 2; ++i) {
    Say(viewer, "PIN 1 2");
    EXPECT_EQ(Take(viewer), "ERR PIN BAD");
  }
  // Over the rate the client is told to ask again later, which keeps its request.
  Say(viewer, "PIN " + viewer.ID + " " + std::string(64, 'A'));
  EXPECT_EQ(Take(viewer), "ERR PIN NOT_READY");
  EXPECT_FALSE(FStore->KeptHash(viewer.ID));
  FClock.Advance(60'000);
  Say(viewer, "PIN " + viewer.ID + " " + std::string(64, 'A'));
  EXPECT_EQ(Take(viewer), "PIN OK " + viewer.ID);
  viewer.Lines.clear();

  Say(viewer, "CONNECT " + host.ID + " 192.168.2.20 6001 " + viewer.C.CommitHex());
  for (int i = 0; i < 3; ++i) Say(viewer, i % 2 == 0 ? "SESSION START " + host.ID + " V" : std::string("SESSION END"));
  EXPECT_EQ(FStore->Usage(10).size(), 1u);
  // The fourth line in the minute (an END that would write a record) is ignored...
  Say(viewer, "SESSION END");
  EXPECT_EQ(FStore->Usage(10).size(), 1u);
  // ...and the minute after, lines count again.
  FClock.Advance(60'000);
  Say(viewer, "SESSION END");
  EXPECT_EQ(FStore->Usage(10).size(), 2u);
}

TEST_F(RelayLimitsTest, RateTablesStayWithinTheirCap) {
  Configure([](TRelayConfig& c) {
    c.MaxRateEntries = 6;
    c.HandshakesPerIPPer10s = 1;
  });
  // Each new source adds its own entry and one for its range: the table stays at six.
  for (std::uint32_t r = 0; r < 20; ++r) EXPECT_TRUE(Answered(0x0B000001 + (r << 8)));
  EXPECT_EQ(FCore->Stats().RateEntries, 6u);
  // The most recent sources are still counted.
  EXPECT_FALSE(Answered(0x0B000001 + (19u << 8)));
}

// Clients that fall silent are dropped once their time has passed: a client without HELLO sooner.
TEST_F(RelayLimitsTest, SilentClientsAreDroppedAfterTheirTime) {
  struct TCase {
    bool Helloed;
    TTick Limit;
  } cases[] = {{true, FConfig.SilentMs}, {false, FConfig.UnhelloedMs}};
  for (const TCase& c : cases) {
    Restart();
    Advance(0);
    TPc* pc = nullptr;
    if (c.Helloed) {
      pc = &Online(kRangeA + 1, 5000);
    } else {
      pc = &NewPc(kRangeA + 1, 5000);
      Secure(*pc);
    }
    Advance(c.Limit);
    EXPECT_EQ(FCore->Stats().Sessions, 1u) << c.Helloed;
    Advance(1000);
    EXPECT_EQ(FCore->Stats().Sessions, 0u) << c.Helloed;
  }
}

TEST(RelayCappedTable, ForgetsTheLeastRecentlyUsedAndIdleEntries) {
  TCappedTable<int> t(3);
  t.Touch(1, 100) = 10;
  t.Touch(2, 200) = 20;
  t.Touch(3, 300) = 30;
  t.Touch(1, 400);  // 1 is now the most recent, 2 the least
  t.Touch(4, 500) = 40;
  EXPECT_EQ(t.Size(), 3u);
  EXPECT_EQ(t.Find(2), nullptr);
  ASSERT_NE(t.Find(1), nullptr);
  EXPECT_EQ(*t.Find(1), 10);
  EXPECT_EQ(*t.Find(3), 30);
  // Idle: not used for more than 150 ms at 550 -> 3 (300) goes; 1 (400) stays at the edge.
  t.ForgetIdle(550, 150);
  EXPECT_EQ(t.Find(3), nullptr);
  EXPECT_NE(t.Find(1), nullptr);
  EXPECT_EQ(t.Size(), 2u);
  // A forgotten key comes back fresh.
  EXPECT_EQ(t.Touch(2, 600), 0);
}

}  // namespace
}  // namespace tovik::test
