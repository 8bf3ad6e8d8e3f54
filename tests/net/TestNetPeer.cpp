// The peer link against a partner played by the test: packets are sealed with the partner's side of
// the channel and handed to DispatchPacket, and what the client sends is captured on simulated hosts.
#include <gtest/gtest.h>

#include "sim/TovikSimClient.h"

using namespace tovik;
using namespace tovik::sim;

namespace {

struct PeerFixture : ::testing::Test {
  TSimNet Net;
  TSimHost& Host = Net.AddHost("203.0.113.10");
  TSimHost& Partner = Net.AddHost("198.51.100.2");
  TSimHost& Elsewhere = Net.AddHost("198.51.100.77");
  std::unique_ptr<TSimPC> PC;
  TEcdhKey PartnerKey;
  std::unique_ptr<TSecureChannel> Chan;  // the partner's side
  std::vector<std::string> AtPartner, AtElsewhere;
  std::vector<TBytes> RawAtPartner;  // every packet the partner's public address received
  TBytes Mine;                       // the client's public key the last introduction was made for

  void SetUp() override {
    PC = std::make_unique<TSimPC>(Net, Host, "203.0.113.1", 47800);
    PC->Start();
    PC->C().HandleServerLine("ID 111111111 600", Net.Now());
    Partner.BindUdp(5000, [this](const TRxPacket& p) {
      RawAtPartner.push_back(p.Data);
      AtPartner.push_back(OpenText(p.Data));
    });
    Elsewhere.BindUdp(6000, [this](const TRxPacket& p) { AtElsewhere.push_back(OpenText(p.Data)); });
  }
  std::string OpenText(const TBytes& d) {
    TBytes plain;
    if (!Chan || !Chan->Open(d, plain)) return "?";
    return StringOf(plain);
  }
  // The relay introduces the partner (its commitment) and, unless told not to, passes its key on.
  // ANewKey = false: the partner keeps the key it had (or the relay's lines are replayed).
  void Introduce(const std::string& mark = "U", const std::string& id = "222222222", bool reveal = true,
                 bool ANewKey = true) {
    if (ANewKey) PartnerKey = TEcdhKey();
    Mine = PC->C().PeerPublicKey();
    const TBytes& mine = Mine;
    const TPeerKeys k = DerivePeerKeys(PartnerKey.SharedSecret(mine), PartnerKey.Public(), mine);
    Chan = std::make_unique<TSecureChannel>(0xC0, k.SendKey, k.RecvKey, k.SendLabel, k.RecvLabel);
    PC->C().HandleServerLine("PEER 198.51.100.2 5000 192.168.2.10 5000 " +
                                 BytesToHex(PeerCommitment(PartnerKey.Public())) + " " + id + " - " + mark,
                             Net.Now());
    if (reveal) Reveal(id, PartnerKey.Public());
  }
  void Reveal(const std::string& id, TByteView key) {
    PC->C().HandleServerLine("REVEAL " + id + " " + BytesToHex(key), Net.Now());
  }
  void From(const std::string& ip, std::uint16_t port, TByteView plain) {
    PC->C().DispatchPacket(TRxPacket{Chan->Seal(plain), ip, port}, Net.Now());
  }
  void FromText(const std::string& ip, std::uint16_t port, const std::string& text) { From(ip, port, BytesOf(text)); }
};

TEST_F(PeerFixture, PunchFromAnyAddressBringsTheLinkUpThereAndOnlyThenDataFlows) {
  Introduce();
  EXPECT_EQ(PC->C().State(), rsPunching);
  EXPECT_EQ(PC->C().CheckNumber(), tovik::CheckNumber(PartnerKey.Public(), Mine));
  Net.RunFor(50);
  ASSERT_FALSE(AtPartner.empty());
  EXPECT_EQ(AtPartner[0], "PUNCH 111111111");

  From("198.51.100.77", 6000, TBytes{0x88, 1});  // binary while punching: dropped
  EXPECT_TRUE(PC->Data.empty());
  FromText("198.51.100.77", 6000, "PUNCH 222222222");  // not a candidate, still the partner
  EXPECT_EQ(PC->C().State(), rsConnected);
  EXPECT_EQ(PC->Connected, 1);
  EXPECT_EQ(PC->C().PeerAddress(), "198.51.100.77:6000");
  EXPECT_FALSE(PC->C().ViaRelay());
  Net.RunFor(50);
  ASSERT_EQ(AtElsewhere.size(), 1u);
  EXPECT_EQ(AtElsewhere[0], "PUNCHACK");

  const TBytes pkt = Chan->Seal(TBytes{0x88, 2});
  PC->C().DispatchPacket(TRxPacket{pkt, "198.51.100.77", 6000}, Net.Now());
  PC->C().DispatchPacket(TRxPacket{pkt, "198.51.100.77", 6000}, Net.Now());  // replay
  From("198.51.100.99", 7000, TBytes{0x88, 3});  // right key, an address that is none of the partner's
  PC->C().DispatchPacket(TRxPacket{TBytes(1, 0x14), "203.0.113.1", 47800}, Net.Now());  // a bare relay prefix
  ASSERT_EQ(PC->Data.size(), 1u);
  EXPECT_EQ(PC->Data[0], (TBytes{0x88, 2}));

  FromText("198.51.100.77", 6000, "MSG  two blanks ");
  ASSERT_EQ(PC->Messages.size(), 1u);
  EXPECT_EQ(PC->Messages[0], " two blanks");

  EXPECT_FALSE(PC->C().SendData(BytesOf("BYE")));  // link commands cannot be smuggled as data
  EXPECT_TRUE(PC->C().SendData(TBytes{0x8B, 9}));
  Net.RunFor(50);
  EXPECT_EQ(AtElsewhere.back(), std::string("\x8B\x09"));

  FromText("198.51.100.77", 6000, "BYE");
  EXPECT_EQ(PC->C().State(), rsRegistered);
  EXPECT_TRUE(PC->Logged("Partner disconnected"));
  EXPECT_EQ(PC->Disconnected, 1);
}

TEST_F(PeerFixture, NewPartnerWaitsForASilentOldOne) {
  Introduce();
  FromText("198.51.100.2", 5000, "PUNCHACK");
  ASSERT_EQ(PC->C().State(), rsConnected);
  Net.RunFor(3000);
  FromText("198.51.100.2", 5000, "PING");
  Net.RunFor(3000);
  const std::string check = PC->C().CheckNumber();
  PC->C().HandleServerLine("PEER 198.51.100.9 1 10.0.0.1 1 " + BytesToHex(TEcdhKey().Public()) + " 333333333",
                           Net.Now());
  EXPECT_EQ(PC->C().State(), rsConnected);  // the old partner answered 3 s ago
  EXPECT_EQ(PC->C().CheckNumber(), check);
  Net.RunFor(10'000);
  const TBytes oldKey = PC->C().PeerPublicKey();
  Introduce("-", "333333333", false);
  EXPECT_TRUE(PC->Logged("The previous partner stopped answering; it makes way for the new one"));
  EXPECT_EQ(PC->Disconnected, 1);
  // The old link's key is spent: this introduction carried a commitment to it, so it is dropped and a
  // new key announced; the next introduction brings the link up.
  EXPECT_EQ(PC->C().State(), rsRegistered);
  EXPECT_NE(PC->C().PeerPublicKey(), oldKey);
  Introduce("-", "333333333");
  EXPECT_EQ(PC->C().State(), rsPunching);
  EXPECT_EQ(PC->C().PartnerID(), "333333333");
  EXPECT_NE(PC->C().CheckNumber(), check);
}

// Every peer channel starts with keys no other channel of the process had: its first packet (the
// first PUNCH, sealed with counter 1) never repeats, even when the partner's key does: a partner that
// keeps its key across sessions, or the relay's introduction replayed, also onto the path that makes
// way for a new partner after a silent old one. A key pair serves one channel; the next introduction
// is made with a fresh one.
TEST_F(PeerFixture, NoTwoPeerChannelsStartWithTheSameKeys) {
  std::vector<TBytes> firsts;  // the first PUNCH of each channel
  std::vector<TBytes> used;    // the client's public key of each channel
  // A PEER line for the partner (its key kept or new), and the first PUNCH that follows.
  auto introduce = [&](bool ANewKey) {
    const std::size_t before = RawAtPartner.size();
    Introduce("U", "222222222", true, ANewKey);
    used.push_back(Mine);
    Net.RunFor(50);
    for (std::size_t i = before; i < RawAtPartner.size(); ++i)
      if (RawAtPartner[i].size() == RawAtPartner[0].size()) {  // a PUNCH: pings are shorter
        firsts.push_back(RawAtPartner[i]);
        break;
      }
    ASSERT_EQ(firsts.size(), used.size());
  };
  introduce(true);
  FromText("198.51.100.2", 5000, "PUNCHACK");
  FromText("198.51.100.2", 5000, "BYE");
  introduce(false);  // the same partner again, with the key it had
  FromText("198.51.100.2", 5000, "PUNCHACK");
  ASSERT_EQ(PC->C().State(), rsConnected);
  Net.RunFor(13'000);  // the partner falls silent; its introduction comes once more
  Introduce("U", "222222222", true, false);  // made for the old link's key: the link makes way, nothing more
  EXPECT_TRUE(PC->Logged("The previous partner stopped answering; it makes way for the new one"));
  ASSERT_EQ(PC->C().State(), rsRegistered);
  introduce(false);  // the next introduction, made with the fresh key
  Net.RunFor(11'000);  // punching fails
  ASSERT_EQ(PC->C().State(), rsRegistered);
  introduce(false);
  ASSERT_EQ(firsts.size(), 4u);
  for (std::size_t i = 0; i < firsts.size(); ++i)
    for (std::size_t j = i + 1; j < firsts.size(); ++j) {
      EXPECT_NE(BytesToHex(firsts[i]), BytesToHex(firsts[j])) << "channels " << i << " and " << j;
      EXPECT_NE(BytesToHex(used[i]), BytesToHex(used[j])) << "channels " << i << " and " << j;
    }
}

// The two PCs may bring the link up on different candidates of each other (the public and the LAN
// address can both work): a genuine packet from the partner's other candidate is taken, and the
// answers follow it there; a replay from there moves nothing.
TEST_F(PeerFixture, TheLinkFollowsThePartnerToItsOtherAddress) {
  TSimHost& Lan = Net.AddHost("192.168.2.10");
  std::vector<std::string> atLan;
  Lan.BindUdp(5000, [&](const TRxPacket& p) { atLan.push_back(OpenText(p.Data)); });
  Introduce();
  FromText("198.51.100.2", 5000, "PUNCHACK");
  ASSERT_EQ(PC->C().PeerAddress(), "198.51.100.2:5000");

  const TBytes fromLan = Chan->Seal(TBytes{0x88, 1});
  PC->C().DispatchPacket(TRxPacket{fromLan, "192.168.2.10", 5000}, Net.Now());
  ASSERT_EQ(PC->Data.size(), 1u);
  EXPECT_EQ(PC->C().PeerAddress(), "192.168.2.10:5000");
  EXPECT_TRUE(PC->Logged("The other PC answers from 192.168.2.10:5000; the link follows it there"));
  EXPECT_TRUE(PC->C().SendData(TBytes{0x8B, 2}));
  Net.RunFor(50);
  ASSERT_FALSE(atLan.empty());
  EXPECT_EQ(atLan.back(), std::string("\x8B\x02"));

  From("198.51.100.2", 5000, TBytes{0x88, 3});  // back on the public address
  EXPECT_EQ(PC->C().PeerAddress(), "198.51.100.2:5000");
  PC->C().DispatchPacket(TRxPacket{fromLan, "192.168.2.10", 5000}, Net.Now());  // a replay moves nothing
  EXPECT_EQ(PC->C().PeerAddress(), "198.51.100.2:5000");
  EXPECT_EQ(PC->Data.size(), 2u);
}

// What the relay passes on as the partner's key: only the key the partner committed to, only for the
// partner introduced, once.
TEST_F(PeerFixture, ARevealMustMatchTheCommitmentOfThePartnerIntroduced) {
  const TEcdhKey stranger;
  Reveal("222222222", stranger.Public());  // no introduction yet: nothing happens
  EXPECT_EQ(PC->C().State(), rsRegistered);

  Introduce("U", "222222222", false);
  EXPECT_EQ(PC->C().State(), rsPunching);
  EXPECT_TRUE(PC->C().CheckNumber().empty());
  Net.RunFor(400);
  EXPECT_TRUE(AtPartner.empty()) << "no PUNCH before the partner's key is here";
  Reveal("333333333", PartnerKey.Public());  // another PC's reveal
  EXPECT_TRUE(PC->C().CheckNumber().empty());

  Reveal("222222222", PartnerKey.Public());
  const std::string check = tovik::CheckNumber(PartnerKey.Public(), PC->C().PeerPublicKey());
  EXPECT_EQ(PC->C().CheckNumber(), check);
  Net.RunFor(50);
  ASSERT_FALSE(AtPartner.empty());
  EXPECT_EQ(AtPartner[0], "PUNCH 111111111");
  Reveal("222222222", stranger.Public());  // a second one changes nothing
  EXPECT_EQ(PC->C().CheckNumber(), check);
  EXPECT_TRUE(PC->Failed.empty());

  // A key other than the one committed to ends the attempt at once, and the key we revealed is spent.
  FromText("198.51.100.2", 5000, "PUNCHACK");
  ASSERT_EQ(PC->C().State(), rsConnected);
  PC->C().Disconnect();
  const TBytes revealed = PC->C().PeerPublicKey();
  Introduce("U", "222222222", false);
  Reveal("222222222", stranger.Public());
  ASSERT_EQ(PC->Failed.size(), 1u);
  EXPECT_EQ(PC->Failed[0],
            "The other PC's key was changed on the way; someone between the PCs may be tampering with the "
            "connection. Not connecting.");
  EXPECT_TRUE(PC->Logged("SECURITY: the key that arrived for 222 222 222 is not the one that PC announced. Not "
                         "connecting."));
  EXPECT_EQ(PC->C().State(), rsRegistered);
  EXPECT_NE(PC->C().PeerPublicKey(), revealed);
}

TEST_F(PeerFixture, RelayMarkTSkipsDirectPunchingAndFailureLineSaysSo) {
  Introduce("T");
  EXPECT_TRUE(PC->Logged("Partner 222 222 222; one of us is on the TCP fallback, so the session goes through the server"));
  Net.RunFor(10'500);
  EXPECT_TRUE(AtPartner.empty());  // nothing direct
  ASSERT_EQ(PC->Failed.size(), 1u);
  EXPECT_EQ(PC->Failed[0],
            "Could not reach the other PC, directly or through the server. Help > Test the connection shows where "
            "it stops.");
  EXPECT_TRUE(LastLinkInfo.ends_with(
      ": with 222 222 222 FAILED after 10 s (tried 0 direct address(es) and the server; server offers relaying: "
      "yes, other PC on TCP)"));
}

TEST_F(PeerFixture, UnusableKeysAndShortLinesFailCleanly) {
  PC->C().HandleServerLine("PEER 1.2.3.4 1 1.2.3.4 1 ABCD 222222222", Net.Now());
  ASSERT_EQ(PC->Failed.size(), 1u);
  EXPECT_EQ(PC->Failed[0].rfind("The partner sent an invalid key: ", 0), 0u);
  // A key (not a commitment) where the commitment belongs.
  PC->C().HandleServerLine("PEER 1.2.3.4 1 1.2.3.4 1 " + BytesToHex(TEcdhKey().Public()) + " 222222222", Net.Now());
  EXPECT_EQ(PC->Failed.size(), 2u);
  // Committed to, but not a point on the curve.
  const TBytes notAPoint(64, 0xFF);
  PC->C().HandleServerLine("PEER 1.2.3.4 1 1.2.3.4 1 " + BytesToHex(PeerCommitment(notAPoint)) + " 222222222",
                           Net.Now());
  Reveal("222222222", notAPoint);
  ASSERT_EQ(PC->Failed.size(), 3u);
  EXPECT_EQ(PC->Failed[2].rfind("The partner sent an invalid key: ", 0), 0u);
  PC->C().HandleServerLine("PEER 1.2.3.4 1 1.2.3.4 1 ABCD", Net.Now());  // too few fields
  EXPECT_EQ(PC->Failed.size(), 3u);
  for (const char* id : {"22222222", "2222222222", "22222222x", "-"}) {  // not a 9-digit ID: dropped
    PC->C().HandleServerLine("PEER 1.2.3.4 1 1.2.3.4 1 " + BytesToHex(PeerCommitment(TEcdhKey().Public())) + " " + id,
                             Net.Now());
    EXPECT_EQ(PC->C().State(), rsRegistered) << id;
  }
  EXPECT_EQ(PC->Failed.size(), 3u);
  EXPECT_EQ(PC->C().State(), rsRegistered);
}

}  // namespace

// Batches both ways once the link is up: a refused packet among the ones sent is left out and the rest
// go in order; received datagrams handed over together are each checked on their own, so an empty, a
// forged and a replayed one among genuine ones cost only themselves.
TEST_F(PeerFixture, BatchesSkipTheirBadPacketsAndCarryTheRest) {
  Introduce();
  FromText("198.51.100.2", 5000, "PUNCH 222222222");
  ASSERT_EQ(PC->C().State(), rsConnected);
  Net.RunFor(50);
  AtPartner.clear();

  const std::vector<TBytes> out{TBytes{0x8B, 1}, BytesOf("BYE"), TBytes{}, TBytes{0x8B, 2}};
  EXPECT_EQ(PC->C().SendDataBatch(out), 2u);
  Net.RunFor(50);
  EXPECT_EQ(AtPartner, (std::vector<std::string>{"\x8B\x01", "\x8B\x02"}));

  const TBytes first = Chan->Seal(TBytes{0x88, 1});
  TBytes forged = Chan->Seal(TBytes{0x88, 9});
  forged.back() ^= 1;
  std::vector<TRxPacket> in;
  for (const TBytes& d : {first, forged, TBytes{}, first, Chan->Seal(TBytes{0x88, 2})})
    in.push_back(TRxPacket{d, "198.51.100.2", 5000});
  PC->C().RxSink().PushRxBatch(in);
  Net.RunFor(10);
  EXPECT_EQ(PC->Data, (std::vector<TBytes>{TBytes{0x88, 1}, TBytes{0x88, 2}}));
}
