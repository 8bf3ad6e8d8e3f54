// Sealed channel, replay window, key schedules and check number.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "crypto/TovikCrypto.h"

namespace tovik {
namespace {

std::uint64_t CounterOf(const TBytes& packet) {
  std::uint64_t v = 0;
  for (int i = 8; i >= 1; --i) v = v << 8 | packet[i];
  return v;
}

TEST(ReplayWindow, AcceptsReorderingAndRejectsDuplicates) {
  TReplayWindow w;
  EXPECT_FALSE(w.IsFresh(0));
  EXPECT_TRUE(w.IsFresh(1));
  w.Mark(100);
  struct Case {
    std::uint64_t Counter;
    bool Fresh;
  };
  for (const Case& c : {Case{0, false}, Case{100, false}, Case{101, true}, Case{99, true},
                        Case{37, true} /* 63 below */, Case{36, false} /* 64 below */, Case{1, false}})
    EXPECT_EQ(w.IsFresh(c.Counter), c.Fresh) << c.Counter;
  w.Mark(37);
  EXPECT_FALSE(w.IsFresh(37));
  w.Mark(101);  // shifts the window by one: 37 is now 64 below and too old
  EXPECT_FALSE(w.IsFresh(37));
  EXPECT_TRUE(w.IsFresh(38));
  w.Mark(101 + 64);  // a jump of the full width forgets everything below
  EXPECT_EQ(w.FBits, 1u);
  EXPECT_FALSE(w.IsFresh(101));
  EXPECT_TRUE(w.IsFresh(102));
  // Marking an old counter changes nothing.
  TReplayWindow before = w;
  w.Mark(3);
  EXPECT_EQ(w, before);
}

// A client and a relay channel built from the same handshake, as both ends build them.
struct RelayPair : ::testing::Test {
  TEcdhKey Client, Relay;
  TBytes ClientRandom = RandomBytes(16);
  TRelayKeys ClientKeys = DeriveRelayKeys(Client.SharedSecret(Relay.Public()), ClientRandom);
  TRelayKeys RelayKeys = DeriveRelayKeys(Relay.SharedSecret(Client.Public()), ClientRandom);
  TSecureChannel ClientSide{kRelayPacketType, ClientKeys.C2S, ClientKeys.S2C, 1, 2};
  TSecureChannel RelaySide{kRelayPacketType, RelayKeys.S2C, RelayKeys.C2S, 2, 1};
  TBytes Plain;
};

TEST_F(RelayPair, SealsWithIncreasingCountersAndOpensBothWays) {
  EXPECT_EQ(ClientKeys.C2S, RelayKeys.C2S);
  EXPECT_NE(ClientKeys.C2S, ClientKeys.S2C);
  TBytes p1 = ClientSide.Seal(Utf8Bytes("HELLO"));
  TBytes p2 = ClientSide.Seal(Utf8Bytes("again"));
  EXPECT_EQ(p1.size(), 5 + kSealOverhead);
  EXPECT_EQ(p1[0], kRelayPacketType);
  EXPECT_EQ(CounterOf(p1), 1u);
  EXPECT_EQ(CounterOf(p2), 2u);
  ASSERT_TRUE(RelaySide.Open(p1, Plain));
  EXPECT_EQ(StringOf(Plain), "HELLO");
  ASSERT_TRUE(RelaySide.Open(p2, Plain));
  ASSERT_TRUE(ClientSide.Open(RelaySide.Seal(Utf8Bytes("welcome")), Plain));
  EXPECT_EQ(StringOf(Plain), "welcome");
  // A packet never opens on the channel that sealed it (other key and label).
  EXPECT_FALSE(ClientSide.Open(ClientSide.Seal(Utf8Bytes("loop")), Plain));
}

TEST_F(RelayPair, TheLastCounterIsUsedOnceAndThenSealingStops) {
  constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();
  ClientSide.SkipSendCounterTo(kLast - 1);
  const TBytes last = ClientSide.Seal(Utf8Bytes("last"));
  EXPECT_EQ(CounterOf(last), kLast);
  ASSERT_TRUE(RelaySide.Open(last, Plain));
  EXPECT_EQ(StringOf(Plain), "last");
  // A wrapped counter would seal under a nonce already used: sealing refuses, and keeps refusing.
  for (int i = 0; i < 2; ++i) {
    try {
      (void)ClientSide.Seal(Utf8Bytes("more"));
      ADD_FAILURE() << "sealed past the last counter";
    } catch (const ETovikCrypto& e) {
      EXPECT_STREQ(e.what(), "Packet counter exhausted");
    }
    EXPECT_EQ(ClientSide.SendCounter(), kLast);
  }
}

TEST_F(RelayPair, RejectsReplaysOldCountersAndMalformedPackets) {
  TBytes first = ClientSide.Seal(Utf8Bytes("x"));
  ASSERT_TRUE(RelaySide.Open(first, Plain));
  EXPECT_FALSE(RelaySide.Open(first, Plain));
  EXPECT_TRUE(Plain.empty());

  TBytes empty = ClientSide.Seal(TBytes{});
  EXPECT_EQ(empty.size(), 25u);
  EXPECT_FALSE(RelaySide.Open(empty, Plain));
  EXPECT_FALSE(RelaySide.Open(TBytes{}, Plain));
  EXPECT_FALSE(RelaySide.Open(TBytes(3, 0x12), Plain));

  // Same keys and labels but the peer link's type byte.
  TSecureChannel peerTyped(kPeerPacketType, RelayKeys.S2C, RelayKeys.C2S, 2, 1);
  EXPECT_FALSE(peerTyped.Open(ClientSide.Seal(Utf8Bytes("x")), Plain));

  // Counter 0 with a valid tag.
  TBytes header{kRelayPacketType, 0, 0, 0, 0, 0, 0, 0, 0}, tag;
  TBytes cipher = TGcmKey(ClientKeys.C2S).Encrypt(MakeNonce(1, 0), header, Utf8Bytes("zero"), tag);
  TBytes zero = JoinBytes({header, cipher, tag});
  EXPECT_FALSE(RelaySide.Open(zero, Plain));
  // The same construction with counter 1000 is genuine, which shows the packet above was built right.
  header[2] = 0x03;
  header[1] = 0xE8;
  cipher = TGcmKey(ClientKeys.C2S).Encrypt(MakeNonce(1, 1000), header, Utf8Bytes("zero"), tag);
  EXPECT_TRUE(RelaySide.Open(JoinBytes({header, cipher, tag}), Plain));
}

TEST_F(RelayPair, DamagedPacketLeavesWindowUnchanged) {
  TBytes genuine = ClientSide.Seal(Utf8Bytes("payload"));
  for (std::size_t i = 0; i < genuine.size(); ++i) {
    TBytes damaged = genuine;
    damaged[i] ^= 0x01;
    TReplayWindow before = RelaySide.Window();
    EXPECT_FALSE(RelaySide.Open(damaged, Plain)) << "byte " << i;
    EXPECT_TRUE(Plain.empty());
    EXPECT_EQ(RelaySide.Window(), before) << "byte " << i;
  }
  ASSERT_TRUE(RelaySide.Open(genuine, Plain));
  EXPECT_EQ(StringOf(Plain), "payload");
}

TEST_F(RelayPair, ReorderingInsideAndBeyondWindow) {
  std::vector<TBytes> packets;
  for (int i = 1; i <= 200; ++i) packets.push_back(ClientSide.Seal(Utf8Bytes("p" + std::to_string(i))));

  // Shuffle inside blocks of 64: every packet is at most 63 behind the newest one delivered.
  std::vector<std::size_t> order(packets.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::mt19937 rng(7);
  for (std::size_t start = 0; start < 128; start += 64)
    std::shuffle(order.begin() + start, order.begin() + start + 64, rng);
  std::vector<std::size_t> firstPart(order.begin(), order.begin() + 128);
  for (std::size_t i : firstPart) {
    ASSERT_TRUE(RelaySide.Open(packets[i], Plain)) << i;
    EXPECT_EQ(StringOf(Plain), "p" + std::to_string(i + 1));
  }
  for (std::size_t i : firstPart) EXPECT_FALSE(RelaySide.Open(packets[i], Plain)) << i;

  // Jump ahead to counter 200, then look back: 137 is 63 behind and accepted, 136 is too old.
  ASSERT_TRUE(RelaySide.Open(packets[199], Plain));
  EXPECT_FALSE(RelaySide.Open(packets[135], Plain));
  EXPECT_FALSE(RelaySide.Open(packets[128], Plain));
  EXPECT_TRUE(RelaySide.Open(packets[136], Plain));
  EXPECT_FALSE(RelaySide.Open(packets[136], Plain));
  for (int i = 198; i >= 137; --i) EXPECT_TRUE(RelaySide.Open(packets[i], Plain)) << i;
}

TEST_F(RelayPair, SealIntoReusedBufferMatchesOpen) {
  TBytes packet;
  for (int i = 0; i < 3; ++i) {
    ClientSide.Seal(TBytes(1238 - i, std::uint8_t(i)), packet);
    ASSERT_EQ(packet.size(), std::size_t(1238 - i) + kSealOverhead);
    ASSERT_TRUE(RelaySide.Open(packet, Plain));
    EXPECT_EQ(Plain, TBytes(1238 - i, std::uint8_t(i)));
  }
  EXPECT_EQ(ClientSide.SendCounter(), 3u);
}

TEST(KeySchedule, RelayTranscriptLayout) {
  TEcdhKey client, relay;
  TEcdsaKey signer = TEcdsaKey::CreateNew();
  TBytes random = RandomBytes(16);
  TBytes t = RelayTranscript(client.Public(), random, relay.Public(), signer.Public());
  ASSERT_EQ(t.size(), 232u);
  EXPECT_EQ(StringOf(TByteView(t).first(24)), "TOVIK-RELAY-HANDSHAKE-V1");
  EXPECT_EQ(TBytes(t.begin() + 24, t.begin() + 88), client.Public());
  EXPECT_EQ(TBytes(t.begin() + 88, t.begin() + 104), random);
  EXPECT_EQ(TBytes(t.end() - 64, t.end()), signer.Public());
  TEcdsaKey pinned = TEcdsaKey::CreateFromPublic(signer.Public());
  EXPECT_TRUE(pinned.Verify(t, signer.Sign(t)));
}

TEST(KeySchedule, PeersDeriveMatchingKeysWhicheverKeyIsLower) {
  for (int round = 0; round < 4; ++round) {
    TEcdhKey a, b;
    TPeerKeys ka = DerivePeerKeys(a.SharedSecret(b.Public()), a.Public(), b.Public());
    TPeerKeys kb = DerivePeerKeys(b.SharedSecret(a.Public()), b.Public(), a.Public());
    EXPECT_EQ(ka.SendKey, kb.RecvKey);
    EXPECT_EQ(ka.RecvKey, kb.SendKey);
    EXPECT_NE(ka.SendKey, ka.RecvKey);
    EXPECT_EQ(ka.SendLabel, kb.RecvLabel);
    EXPECT_EQ(ka.RecvLabel, kb.SendLabel);
    bool aLower = CompareBytes(a.Public(), b.Public()) < 0;
    EXPECT_EQ(ka.SendLabel, aLower ? 3u : 4u);

    TSecureChannel ca(kPeerPacketType, ka.SendKey, ka.RecvKey, ka.SendLabel, ka.RecvLabel);
    TSecureChannel cb(kPeerPacketType, kb.SendKey, kb.RecvKey, kb.SendLabel, kb.RecvLabel);
    TBytes plain;
    ASSERT_TRUE(cb.Open(ca.Seal(Utf8Bytes("ping")), plain));
    ASSERT_TRUE(ca.Open(cb.Seal(Utf8Bytes("pong")), plain));
    EXPECT_EQ(StringOf(plain), "pong");
  }
}

TEST(KeySchedule, OrderPair) {
  TBytes lo = HexToBytes("0102"), hi = HexToBytes("0103");
  EXPECT_EQ(OrderPair(hi, lo).Low, lo);
  EXPECT_EQ(OrderPair(lo, hi).Low, lo);
  EXPECT_EQ(OrderPair(lo, hi).High, hi);
  EXPECT_EQ(OrderPair(lo, lo).High, lo);
}

TEST(KeySchedule, CheckNumberIsSymmetricAndKeepsLeadingZeros) {
  TEcdhKey b;
  bool sawLeadingZero = false;
  for (int i = 0; i < 400 && !sawLeadingZero; ++i) {
    TEcdhKey a;
    std::string text = CheckNumber(a.Public(), b.Public());
    ASSERT_THAT(text, ::testing::MatchesRegex("[0-9]{3} [0-9]{3}"));
    EXPECT_EQ(text, CheckNumber(b.Public(), a.Public()));
    // The number is the first four bytes of the transcript's digest, big-endian, modulo 1 000 000; the
    // transcript holds both commitments and both keys, lower key first.
    TOrderedPair p = OrderPair(a.Public(), b.Public());
    const TBytes transcript = JoinBytes({Utf8Bytes("tovik peer transcript v1"), PeerCommitment(p.Low),
                                         PeerCommitment(p.High), p.Low, p.High});
    EXPECT_EQ(PeerTranscript(b.Public(), a.Public()), transcript);
    TBytes d = Sha256(JoinBytes({Utf8Bytes("tovik check number v2"), transcript}));
    std::uint32_t n = (std::uint32_t(d[0]) << 24 | std::uint32_t(d[1]) << 16 |
                       std::uint32_t(d[2]) << 8 | d[3]) % 1000000u;
    EXPECT_EQ(std::stoul(text.substr(0, 3)) * 1000 + std::stoul(text.substr(4)), n);
    sawLeadingZero = text[0] == '0';
  }
  EXPECT_TRUE(sawLeadingZero);  // about one pair in ten; 400 tries cannot all miss in practice
}

TEST(KeySchedule, PeerCommitmentBindsTheKey) {
  TEcdhKey a, b;
  const TBytes c = PeerCommitment(a.Public());
  EXPECT_EQ(c.size(), kPeerCommitSize);
  EXPECT_EQ(c, Sha256(JoinBytes({Utf8Bytes("tovik peer commit v1"), a.Public()})));
  EXPECT_NE(c, PeerCommitment(b.Public()));
}

}  // namespace
}  // namespace tovik
