// Extra sessions: a THelperLink with its own client on the simulated relay connects to a helped PC,
// runs its session, reports the end once; it times out after 45 s of silence on the virtual clock,
// refuses to start without the pinned relay key, and freeing one link leaves another one running.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "crypto/TovikCrypto.h"
#include "session/TovikHelperLink.h"
#include "sim/TovikSimClient.h"
#include "sim/TovikSimRelayCore.h"

namespace tovik {
namespace {

using sim::TSimNet;
using sim::TSimPC;

struct TCountedSession final : IExtraSession {
  explicit TCountedSession(int& ALive) : Live(ALive) { ++Live; }
  ~TCountedSession() override { --Live; }
  int& Live;
};

class HelperLink : public ::testing::Test {
 protected:
  HelperLink() : RelayHost(Net.AddHost("203.0.113.1")) {
    Net.AddName("relay.test", "203.0.113.1");
    Relay = std::make_unique<sim::TSimRelayCore>(Net, RelayHost, 47800, std::vector<std::uint16_t>{});
  }
  // A helped PC, registered.
  TSimPC& HelpedPC(const std::string& AIP) {
    PCs.push_back(std::make_unique<TSimPC>(Net, Net.AddHost(AIP), "relay.test", 47800));
    TSimPC& pc = *PCs.back();
    pc.Start();
    EXPECT_TRUE(Net.RunUntil([&] { return pc.C().State() == rsRegistered; }, 5000));
    return pc;
  }
  // A link from the helper's host to ATarget, with the relay key the main client would have pinned.
  std::unique_ptr<THelperLink> Link(const std::string& ATarget, const std::string& AKeyHex) {
    THelperLinkSetup s;
    s.Host = "relay.test";
    s.Port = 47800;
    s.KeyHex = AKeyHex;
    s.Target = ATarget;
    s.MakeSession = [this](TTovikClient&) -> std::unique_ptr<IExtraSession> {
      ++Made;
      return std::make_unique<TCountedSession>(Live);
    };
    s.Post = [this](std::function<void()> f) { Posted.push_back(std::move(f)); };
    s.WallNow = [this] { return static_cast<std::int64_t>(Net.Now()); };
    auto link = std::make_unique<THelperLink>(HelperHost.Backend(), std::move(s));
    link->OnFailed = [this](THelperLink&, const std::string& t) { Failures.push_back(t); };
    link->OnDone = [this](THelperLink& l) { Done.push_back(l.Target()); };
    link->OnSessionEnded = [this](const std::string& id, std::int64_t a, std::int64_t b) {
      Reports.push_back(id + " " + std::to_string(b - a));
    };
    Net.AddTimed(*link);
    Net.AddTimed(link->Client());
    return link;
  }
  void Free(std::unique_ptr<THelperLink>& ALink) {
    Net.RemoveTimed(ALink->Client());
    Net.RemoveTimed(*ALink);
    ALink.reset();
  }
  void RunPosted() {
    auto now = std::move(Posted);
    Posted.clear();
    for (auto& f : now) f();
  }
  std::string Key() const { return BytesToHex(Relay->SigningKey()); }

  TSimNet Net{9};
  sim::TSimHost& RelayHost;
  sim::TSimHost& HelperHost = Net.AddHost("192.0.2.50");
  std::unique_ptr<sim::TSimRelayCore> Relay;
  std::vector<std::unique_ptr<TSimPC>> PCs;
  std::vector<std::function<void()>> Posted;
  std::vector<std::string> Failures, Done, Reports;
  int Made = 0, Live = 0;
};

TEST_F(HelperLink, ConnectsRunsItsSessionAndFinishesOnceWhenThePCLeaves) {
  TSimPC& pc = HelpedPC("192.0.2.10");
  auto link = Link(pc.C().MyID(), Key());
  link->Go(Net.Now());
  ASSERT_TRUE(Net.RunUntil([&] { return link->Connected(); }, 15'000));
  EXPECT_EQ(Made, 1);
  EXPECT_EQ(Live, 1);
  EXPECT_EQ(pc.Connected, 1);
  Net.RunFor(40'000);
  pc.C().Disconnect();
  ASSERT_TRUE(Net.RunUntil([&] { return link->Done(); }, 10'000));
  EXPECT_EQ(Live, 0) << "the session is freed when the link ends";
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].substr(0, 10), pc.C().MyID() + " ");
  EXPECT_GE(std::stoll(Reports[0].substr(10)), 40'000);
  EXPECT_TRUE(Failures.empty());
  EXPECT_TRUE(Done.empty()) << "OnDone comes after the current event";
  RunPosted();
  EXPECT_EQ(Done, std::vector<std::string>{pc.C().MyID()});
  Free(link);
}

TEST_F(HelperLink, APCThatNeverAnswersTimesOutOnceAfter45Seconds) {
  Relay->Silent = true;
  auto link = Link("123456789", Key());
  const TTick start = Net.Now();
  link->Go(start);
  Net.RunFor(44'000);
  EXPECT_FALSE(link->Done());
  Net.RunFor(2'000);
  ASSERT_TRUE(link->Done());
  EXPECT_EQ(Failures, std::vector<std::string>{"That PC did not answer. Check the ID and that it is online."});
  Net.RunFor(60'000);
  EXPECT_EQ(Failures.size(), 1u);
  RunPosted();
  EXPECT_EQ(Done.size(), 1u);
  EXPECT_EQ(Made, 0);
  Free(link);
}

// A second client must not learn the relay's key by itself: without the key the main client pinned,
// the link does not even start its client.
TEST_F(HelperLink, RefusesToStartWithoutThePinnedRelayKey) {
  TSimPC& pc = HelpedPC("192.0.2.10");
  auto link = Link(pc.C().MyID(), "");
  link->Go(Net.Now());
  EXPECT_TRUE(link->Done());
  ASSERT_EQ(Failures.size(), 1u);
  EXPECT_EQ(Failures[0].rfind("The server's key is not known yet.", 0), 0u);
  Net.RunFor(5000);
  EXPECT_FALSE(link->Client().Started());
  Free(link);
}

// One helper, two helped PCs: closing one link (its tab) ends only that session.
TEST_F(HelperLink, FreeingOneLinkLeavesTheOtherSessionRunning) {
  TSimPC& a = HelpedPC("192.0.2.10");
  TSimPC& b = HelpedPC("192.0.2.20");
  auto la = Link(a.C().MyID(), Key());
  auto lb = Link(b.C().MyID(), Key());
  la->Go(Net.Now());
  lb->Go(Net.Now());
  ASSERT_TRUE(Net.RunUntil([&] { return la->Connected() && lb->Connected(); }, 15'000));
  EXPECT_EQ(Live, 2);
  Free(la);
  ASSERT_TRUE(Net.RunUntil([&] { return a.Disconnected == 1; }, 10'000));
  Net.RunFor(10'000);
  EXPECT_EQ(b.Disconnected, 0);
  EXPECT_EQ(b.C().State(), rsConnected);
  EXPECT_TRUE(lb->HasSession());
  EXPECT_EQ(Live, 1);
  Free(lb);
}

}  // namespace
}  // namespace tovik
