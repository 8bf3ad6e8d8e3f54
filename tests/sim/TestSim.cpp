// The simulator's own behaviour: NAT mappings and filters, link faults, UDP blocking, simulated TCP.
#include <gtest/gtest.h>

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

}  // namespace
