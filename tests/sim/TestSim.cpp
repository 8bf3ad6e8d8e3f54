// The simulator's own behaviour: NAT mappings and filters, link faults, UDP blocking, simulated TCP;
// and the drivers of timed objects it runs on (base/TovikTimed.h): the group, the virtual-time driver
// that jumps from deadline to deadline, and the real-time loop of the tools.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/TovikTimed.h"
#include "net/tools/TovikTimedLoop.h"
#include "sim/TovikSim.h"

#include "net/TovikWire.h"

using namespace tovik;
using namespace tovik::sim;

namespace {

struct TRecorder : IRxSink {
  std::vector<TRxPacket> Got;
  void PushRx(TRxPacket&& p) override { Got.push_back(std::move(p)); }
};

// One host behind a NAT and two public servers, so that mapping and filtering can be probed.
struct NatFixture {
  TSimNet Net{7};
  TSimNat* Nat;
  TSimHost* Inside;
  TSimHost* S1;
  TSimHost* S2;
  TSimHost* S3;
  std::vector<TRxPacket> AtS1, AtS2;
  TRecorder Rec;
  std::unique_ptr<IUdpSocket> Sock;

  explicit NatFixture(TNatKind kind) {
    Nat = &Net.AddNat("198.51.100.1", kind);
    Inside = &Net.AddHost("192.168.1.10", Nat);
    S1 = &Net.AddHost("203.0.113.1");
    S2 = &Net.AddHost("203.0.113.2");
    S3 = &Net.AddHost("203.0.113.3");
    S1->BindUdp(1000, [this](const TRxPacket& p) { AtS1.push_back(p); });
    S1->BindUdp(1001, [this](const TRxPacket& p) { AtS1.push_back(p); });
    S2->BindUdp(1000, [this](const TRxPacket& p) { AtS2.push_back(p); });
    Sock = Inside->Backend().CreateUdp(Rec);
    std::string err;
    Sock->Open(err);
  }
};

struct TNatCase {
  TNatKind Kind;
  bool SamePortForOtherServer;   // mapping is reused for another destination
  bool OtherPortSameIP;          // S1:1001 may answer to the mapping made for S1:1000
  bool Stranger;                 // a never-contacted address may send to the mapping
};

class NatKinds : public ::testing::TestWithParam<TNatCase> {};

TEST_P(NatKinds, MappingAndFilteringFollowTheKind) {
  const TNatCase c = GetParam();
  NatFixture f(c.Kind);
  f.Sock->SendTo("203.0.113.1", 1000, BytesOf("a"));
  f.Sock->SendTo("203.0.113.2", 1000, BytesOf("b"));
  f.Net.RunFor(50);
  ASSERT_EQ(f.AtS1.size(), 1u);
  ASSERT_EQ(f.AtS2.size(), 1u);
  EXPECT_EQ(f.AtS1[0].IP, "198.51.100.1");
  EXPECT_EQ(f.AtS1[0].Port == f.AtS2[0].Port, c.SamePortForOtherServer);

  const std::uint16_t mapped = f.AtS1[0].Port;
  // The contacted endpoint may always answer.
  f.S1->SendUdp(1000, "198.51.100.1", mapped, BytesOf("r1"));
  // Same server address, another port.
  f.S1->SendUdp(1001, "198.51.100.1", mapped, BytesOf("r2"));
  f.Net.RunFor(50);
  ASSERT_GE(f.Rec.Got.size(), 1u);
  EXPECT_EQ(StringOf(f.Rec.Got[0].Data), "r1");
  EXPECT_EQ(f.Rec.Got.size() == 2, c.OtherPortSameIP);

  // A stranger tries the mapping made for S1.
  f.Rec.Got.clear();
  f.S3->BindUdp(2000, [](const TRxPacket&) {});
  f.S3->SendUdp(2000, "198.51.100.1", mapped, BytesOf("x"));
  f.Net.RunFor(50);
  EXPECT_EQ(f.Rec.Got.size() == 1, c.Stranger);
}

INSTANTIATE_TEST_SUITE_P(Sim, NatKinds,
                         ::testing::Values(TNatCase{TNatKind::FullCone, true, true, true},
                                           TNatCase{TNatKind::AddressRestricted, true, true, false},
                                           TNatCase{TNatKind::PortRestricted, true, false, false},
                                           TNatCase{TNatKind::Symmetric, false, false, false}),
                         [](const auto& info) { return std::string(NatKindName(info.param.Kind)); });

TEST(Sim, UnsolicitedDatagramToNatIsDropped) {
  NatFixture f(TNatKind::FullCone);
  f.S1->SendUdp(1000, "198.51.100.1", 20000, BytesOf("x"));
  f.Net.RunFor(50);
  EXPECT_TRUE(f.Rec.Got.empty());
  EXPECT_EQ(f.Net.Dropped(), 1u);
}

TEST(Sim, UdpBlockedDropsOutsideTrafficButNotTheLan) {
  TSimNet net;
  TSimNat& nat = net.AddNat("198.51.100.1", TNatKind::FullCone);
  TSimHost& a = net.AddHost("192.168.1.10", &nat);
  TSimHost& b = net.AddHost("192.168.1.11", &nat);
  TSimHost& s = net.AddHost("203.0.113.1");
  a.UdpBlocked = true;
  int atServer = 0;
  s.BindUdp(1000, [&](const TRxPacket&) { ++atServer; });
  TRecorder rb;
  auto sb = b.Backend().CreateUdp(rb);
  std::string err;
  sb->Open(err);
  TRecorder ra;
  auto sa = a.Backend().CreateUdp(ra);
  sa->Open(err);
  sa->SendTo("203.0.113.1", 1000, BytesOf("x"));
  sa->SendTo("192.168.1.11", sb->LocalPort(), BytesOf("lan"));
  net.RunFor(50);
  EXPECT_EQ(atServer, 0);
  ASSERT_EQ(rb.Got.size(), 1u);
  EXPECT_EQ(rb.Got[0].IP, "192.168.1.10");
}

TEST(Sim, LossDuplicationAndReorderingAreSeededAndCounted) {
  auto run = [](std::uint32_t seed) {
    TSimNet net(seed);
    net.Link = TLinkParams{10, 5, 0.2, 0.2, 0.2};
    TSimHost& a = net.AddHost("203.0.113.1");
    TSimHost& b = net.AddHost("203.0.113.2");
    std::vector<int> order;
    b.BindUdp(1, [&](const TRxPacket& p) { order.push_back(p.Data[0]); });
    for (int i = 0; i < 200; ++i) {
      a.SendUdp(1, "203.0.113.2", 1, TBytes{static_cast<std::uint8_t>(i)});
      net.RunFor(1);
    }
    net.RunFor(200);
    return order;
  };
  const auto first = run(3);
  EXPECT_EQ(first, run(3));  // deterministic
  EXPECT_LT(first.size(), 240u);
  EXPECT_GT(first.size(), 120u);
  const bool reordered = !std::is_sorted(first.begin(), first.end());
  EXPECT_TRUE(reordered);
  std::set<int> distinct(first.begin(), first.end());
  EXPECT_LT(distinct.size(), first.size());  // duplicates arrived
}

TEST(Sim, TcpCarriesFramedDatagramsBothWaysAndReportsRefusal) {
  TSimNet net(5);
  TSimNat& nat = net.AddNat("198.51.100.1", TNatKind::Symmetric);
  TSimHost& pc = net.AddHost("192.168.1.10", &nat);
  TSimHost& srv = net.AddHost("203.0.113.1");
  std::shared_ptr<TSimTcpConn> server;
  TFrameDecoder atServer;
  std::vector<TBytes> got;
  srv.ListenTcp(8443, [&](std::shared_ptr<TSimTcpConn> c) {
    server = c;
    c->OnData = [&](TByteView d) {
      atServer.Feed(d);
      atServer.Drain([&](TBytes&& x) { got.push_back(std::move(x)); });
    };
  });
  TRecorder rec;
  auto link = pc.Backend().CreateTcp(rec, "203.0.113.1", 8443, "203.0.113.1", 47800);
  link->Send(BytesOf("early"), false);  // queued until connected
  EXPECT_FALSE(link->Connected());
  net.RunFor(30);
  ASSERT_TRUE(link->Connected());
  ASSERT_TRUE(server);
  EXPECT_EQ(server->Remote().IP, "198.51.100.1");
  TBytes big(3000, 0xAB);
  link->Send(big, true);
  server->Write(Framed(BytesOf("hi")));
  net.RunFor(30);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(StringOf(got[0]), "early");
  EXPECT_EQ(got[1], big);
  ASSERT_EQ(rec.Got.size(), 1u);
  EXPECT_EQ(rec.Got[0].IP, "203.0.113.1");
  EXPECT_EQ(rec.Got[0].Port, 47800);

  server->Close();
  net.RunFor(30);
  EXPECT_TRUE(link->Done());
  EXPECT_FALSE(link->Connected());

  auto refused = pc.Backend().CreateTcp(rec, "203.0.113.1", 443, "203.0.113.1", 47800);
  net.RunFor(30);
  EXPECT_TRUE(refused->Done());
  EXPECT_EQ(refused->Error(), "Connection refused");
}

// ---- Timed objects and their drivers ----------------------------------------------------------------

// A timed object with one periodic tick that records when it ran.
struct TTicker final : ITimedObject {
  explicit TTicker(TTick period) : Tick(period) {}
  TPeriodicTick Tick;
  std::vector<TTick> Ran;
  std::function<void()> OnRun;
  TTick NextDeadline() const override { return Tick.Due(); }
  void HandleTimeout(TTick now) override {
    if (!Tick.Fire(now)) return;
    Ran.push_back(now);
    if (OnRun) OnRun();
  }
};

TEST(Timed, PeriodicTickStartsFreshAndNeverFiresInABurst) {
  TPeriodicTick t(200);
  EXPECT_EQ(t.Due(), kNoDeadline);
  EXPECT_FALSE(t.Fire(5000));
  t.Start(1000);
  EXPECT_EQ(t.Due(), 1200u);
  EXPECT_FALSE(t.Fire(1199));
  EXPECT_TRUE(t.Fire(1200));
  EXPECT_EQ(t.Due(), 1400u);
  EXPECT_TRUE(t.Fire(2000));  // late: once, and the next one a period from now
  EXPECT_EQ(t.Due(), 2200u);
  t.Start(2100);  // a restart begins a fresh interval
  EXPECT_EQ(t.Due(), 2300u);
  t.Stop();
  EXPECT_EQ(t.Due(), kNoDeadline);
  EXPECT_EQ(EarliestDeadline({}), kNoDeadline);
  EXPECT_EQ(EarliestDeadline({kNoDeadline, 7, 3}), 3u);
}

TEST(Timed, GroupRunsDueObjectsInOrderAndSurvivesRemovalDuringARound) {
  TTicker a(10), b(10), c(30);
  std::vector<char> order;
  TTimedGroup g;
  g.Add(a);
  g.Add(b);
  g.Add(c);
  g.Add(a);  // already there
  EXPECT_EQ(g.Size(), 3u);
  EXPECT_EQ(g.NextDeadline(), kNoDeadline);
  a.Tick.Start(0);
  b.Tick.Start(0);
  c.Tick.Start(0);
  EXPECT_EQ(g.NextDeadline(), 10u);
  a.OnRun = [&] {
    order.push_back('a');
    g.Remove(b);  // b is due too, but no longer in the group
  };
  b.OnRun = [&] { order.push_back('b'); };
  c.OnRun = [&] { order.push_back('c'); };
  g.HandleTimeout(10);
  EXPECT_EQ(order, std::vector<char>{'a'});
  EXPECT_TRUE(b.Ran.empty());
  g.HandleTimeout(30);
  EXPECT_EQ(order, (std::vector<char>{'a', 'a', 'c'}));
  EXPECT_FALSE(g.Contains(b));
}

TEST(Timed, VirtualDriverJumpsFromDeadlineToDeadline) {
  TManualClock clock(1000);
  TVirtualTimeDriver d(clock);
  TTicker fast(7), slow(1000);
  fast.Tick.Start(1000);
  slow.Tick.Start(1000);
  d.Add(fast);
  d.Add(slow);
  d.RunFor(2000);
  EXPECT_EQ(clock.Now(), 3000u);
  EXPECT_EQ(TickMs(), 3000u) << "the manual clock is the process's clock";
  EXPECT_EQ(slow.Ran, (std::vector<TTick>{2000, 3000}));
  EXPECT_EQ(fast.Ran.size(), 2000u / 7);
  EXPECT_EQ(d.Rounds(), fast.Ran.size() + slow.Ran.size()) << "one round per deadline, not per millisecond";

  // RunUntil stops at the first moment the condition holds, or at the end.
  fast.Tick.Stop();
  EXPECT_TRUE(d.RunUntil([&] { return slow.Ran.size() == 4; }, 10'000));
  EXPECT_EQ(clock.Now(), 5000u);
  EXPECT_FALSE(d.RunUntil([] { return false; }, 500));
  EXPECT_EQ(clock.Now(), 5500u);

  // Nothing scheduled: time still moves by the whole amount, in one jump.
  slow.Tick.Stop();
  const auto rounds = d.Rounds();
  d.RunFor(1'000'000);
  EXPECT_EQ(clock.Now(), 1'005'500u);
  EXPECT_EQ(d.Rounds(), rounds);
}

TEST(Timed, VirtualDriverGivesUpOnADeadlineThatStaysInThePast) {
  struct TStuck final : ITimedObject {
    TTick NextDeadline() const override { return 0; }
    void HandleTimeout(TTick) override {}
  } stuck;
  TManualClock clock;
  TVirtualTimeDriver d(clock);
  d.Add(stuck);
  EXPECT_THROW(d.RunFor(10), std::logic_error);
}

// Real time (the io label): the tools' loop.
TEST(TimedLoop, SleepsUntilTheDeadlineAndWakesOnRequest) {
  TTicker t(20);
  TTimedLoop loop;
  loop.Add(t);
  t.Tick.Start(TickMs());
  t.OnRun = [&] {
    if (t.Ran.size() == 3) loop.Stop();
  };
  const TTick start = TickMs();
  loop.Run();
  EXPECT_EQ(t.Ran.size(), 3u);
  EXPECT_GE(TickMs() - start, 60u);

  // Nothing scheduled: the loop sleeps until another thread says that a deadline moved (as a client's
  // receive wake-up does), runs what is due, and sleeps again until it is stopped.
  struct TOnce final : ITimedObject {
    std::atomic<bool> Due{false};
    std::atomic<int> Runs{0};
    TTick NextDeadline() const override { return Due ? 0 : kNoDeadline; }
    void HandleTimeout(TTick) override {
      ++Runs;
      Due = false;
    }
  } once;
  TTimedLoop idle;
  idle.Add(once);
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    once.Due = true;
    idle.Wake();
    while (once.Runs == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    idle.Stop();
  });
  idle.Run();
  other.join();
  EXPECT_EQ(once.Runs, 1);
}

// The simulator: packet deliveries are deadlines too, so an idle network costs nothing and a delivery
// lands at its exact time.
TEST(Sim, RunForJumpsOverIdleTimeAndDeliversOnTime) {
  TSimNet net;
  TSimHost& a = net.AddHost("203.0.113.1");
  TSimHost& b = net.AddHost("203.0.113.2");
  std::vector<TTick> at;
  b.BindUdp(1, [&](const TRxPacket&) { at.push_back(net.Now()); });
  const TTick start = net.Now();
  a.SendUdp(1, "203.0.113.2", 1, BytesOf("x"));
  EXPECT_EQ(net.NextDeadline(), start + net.Link.DelayMs);
  net.RunFor(3'600'000);
  EXPECT_EQ(at, std::vector<TTick>{start + net.Link.DelayMs});
  EXPECT_EQ(net.Now(), start + 3'600'000);
  EXPECT_EQ(net.Rounds(), 1u);
}

}  // namespace
