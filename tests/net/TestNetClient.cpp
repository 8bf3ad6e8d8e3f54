// The network client against the relay's real protocol core, in the simulator: relay handshake and key
// pinning, IDs, PIN, CONNECT/PEER, hole punching through each NAT pairing, relaying, liveness, BYE and
// the TCP fallback when UDP is blocked.
#include <gtest/gtest.h>

#include <map>

#include "sim/TovikSimClient.h"
#include "sim/TovikSimRelay.h"
#include "sim/TovikSimRelayCore.h"

using namespace tovik;
using namespace tovik::sim;

namespace {

constexpr std::uint16_t KRelayPort = 47800;
const char* const KRelayIP = "203.0.113.1";

struct World {
  TSimNet Net;
  TSimHost& RelayHost;
  std::unique_ptr<TSimRelayCore> Relay;
  std::vector<std::unique_ptr<TSimPC>> PCs;

  explicit World(TRelayConfig cfg = {}, std::vector<std::uint16_t> tcp = {8443, 443, 80}, std::uint32_t seed = 1)
      : Net(seed), RelayHost(Net.AddHost(KRelayIP)) {
    TcpPortsText = "8443,443,80";
    TcpPortsChanged = false;
    Net.AddName("relay.test", KRelayIP);
    Relay = std::make_unique<TSimRelayCore>(Net, RelayHost, KRelayPort, tcp, std::move(cfg));
  }
  TSimPC& PC(const std::string& ip, TSimNat* nat = nullptr, const std::string& key = "") {
    TSimHost& h = Net.AddHost(ip, nat);
    PCs.push_back(std::make_unique<TSimPC>(Net, h, "relay.test", KRelayPort, key));
    return *PCs.back();
  }
  // Two PCs behind NATs of the given kinds, started and registered.
  std::pair<TSimPC*, TSimPC*> Pair(TNatKind ka, TNatKind kb) {
    TSimPC& a = PC("192.168.1.10", &Net.AddNat("198.51.100.1", ka));
    TSimPC& b = PC("192.168.2.10", &Net.AddNat("198.51.100.2", kb));
    a.Start();
    b.Start();
    Net.RunUntil([&] { return a.C().State() == rsRegistered && b.C().State() == rsRegistered; }, 5000);
    return {&a, &b};
  }
};

TEST(NetClient, HandshakeRegistersAndPinsTheFirstKeyOnce) {
  World w;
  TSimPC& pc = w.PC("203.0.113.10");
  pc.Start();
  EXPECT_TRUE(pc.Logged("No server key in Tovik.ini yet; the first key the server shows will be pinned."));
  EXPECT_TRUE(pc.LoggedPrefix("Socket open on 203.0.113.10:"));
  w.Net.RunFor(1000);
  ASSERT_TRUE(pc.C().RelaySecure());
  EXPECT_EQ(pc.C().State(), rsRegistered);
  EXPECT_EQ(pc.C().MyID().size(), 9u);
  EXPECT_EQ(pc.IDs, 1);
  ASSERT_EQ(pc.Pinned.size(), 1u);
  EXPECT_EQ(pc.Pinned[0], BytesToHex(w.Relay->SigningKey()));
  EXPECT_EQ(pc.C().RelayFingerprint(), KeyFingerprint(w.Relay->SigningKey()));
  EXPECT_TRUE(pc.Logged("Secure connection to the server (AES-256-GCM) over UDP 47800, server key " +
                        KeyFingerprint(w.Relay->SigningKey())));
  EXPECT_GT(pc.C().IDSecondsLeft(), 500);
  EXPECT_EQ(pc.Status.back(), "Secure connection to server");

  // Relay silent for more than 65 s: the client drops the session, then shakes hands again and pins
  // nothing new.
  w.Relay->Silent = true;
  w.Net.RunFor(66'000);
  EXPECT_TRUE(pc.Logged("Lost contact with the server, reconnecting..."));
  EXPECT_FALSE(pc.C().RelaySecure());
  w.Relay->Silent = false;
  w.Net.RunFor(3000);
  EXPECT_TRUE(pc.C().RelaySecure());
  EXPECT_EQ(pc.Pinned.size(), 1u);
}

TEST(NetClient, ADifferentRelayKeyBlocksTheClientForGood) {
  World w;
  const std::string other = BytesToHex(TEcdsaKey::CreateNew().Public());
  TSimPC& pc = w.PC("203.0.113.10", nullptr, "  " + other + " ");
  pc.Start();
  w.Net.RunFor(2000);
  EXPECT_TRUE(pc.C().RelayBlocked());
  EXPECT_FALSE(pc.C().RelaySecure());
  EXPECT_TRUE(pc.Logged("SECURITY: the server identified itself with key " + KeyFingerprint(w.Relay->SigningKey()) +
                        ", but Tovik.ini expects " + KeyFingerprint(HexToBytes(other)) +
                        ". Not connecting. If the server was reinstalled, put its new key in Tovik.ini."));
  EXPECT_EQ(pc.Status.back(), "Server key mismatch");
  const auto handshakes = w.Relay->Core().Stats().Handshakes;
  w.Net.RunFor(60'000);
  EXPECT_EQ(w.Relay->Core().Stats().Handshakes, handshakes);
  EXPECT_TRUE(pc.Pinned.empty());
}

// Replies that the key they show did not sign over this handshake never block: anyone who can send
// to the client could otherwise lock it out of its relay for good. The real relay answers afterwards.
TEST(NetClient, AReplyNotSignedOverThisHandshakeNeverBlocks) {
  const TEcdsaKey other = TEcdsaKey::CreateNew();
  auto reply = [](TByteView key, TByteView signature) {
    TBytes r{kWireHandshake, kWireVersion};
    Append(r, TEcdhKey().Public());
    Append(r, key);
    Append(r, signature);
    return r;
  };
  const TBytes elsewhere =
      other.Sign(RelayTranscript(TEcdhKey().Public(), RandomBytes(16), TEcdhKey().Public(), other.Public()));
  const struct {
    const char* Name;
    TBytes Reply;
  } cases[] = {
      {"another key, no signature", reply(other.Public(), TBytes(64, 0))},
      {"another key, its signature over another handshake", reply(other.Public(), elsewhere)},
      {"no key at all", reply(TBytes(64, 0xFF), TBytes(64, 0))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    World w;
    TSimPC& pc = w.PC("203.0.113.10", nullptr, BytesToHex(w.Relay->SigningKey()));
    pc.Start();  // the client hello is on its way
    pc.C().DispatchPacket(TRxPacket{c.Reply, KRelayIP, KRelayPort}, w.Net.Now());
    EXPECT_FALSE(pc.C().RelayBlocked());
    w.Net.RunFor(1000);
    EXPECT_TRUE(pc.C().RelaySecure());
    EXPECT_EQ(pc.C().State(), rsRegistered);
    EXPECT_FALSE(pc.LoggedPrefix("SECURITY"));
  }
}

// A renew datagram carries no proof: the live session stays while a new handshake is made, and a flood
// of them costs one handshake every 2 s at most.
TEST(NetClient, ARenewKeepsTheSessionUntilANewHandshakeReplacesIt) {
  World w;
  TSimPC& pc = w.PC("203.0.113.10");
  pc.Start();
  w.Net.RunFor(1000);
  ASSERT_TRUE(pc.C().RelaySecure());
  const std::string id = pc.C().MyID();
  const auto handshakes = w.Relay->Core().Stats().Handshakes;
  for (int i = 0; i < 10; ++i) pc.C().DispatchPacket(TRxPacket{TBytes{kWireRenew}, KRelayIP, KRelayPort}, w.Net.Now());
  EXPECT_TRUE(pc.C().RelaySecure());
  EXPECT_TRUE(pc.Logged("The server asked for a new secure session"));
  w.Net.RunFor(1000);
  EXPECT_EQ(w.Relay->Core().Stats().Handshakes, handshakes + 1);
  EXPECT_TRUE(pc.C().RelaySecure());
  EXPECT_EQ(pc.C().MyID(), id);
  EXPECT_EQ(pc.IDs, 1);
  // The new channel is the one both sides use: commands still get answers.
  ASSERT_TRUE(pc.C().SendBookCommand("BOOKGET 0123456789abcdef"));
  w.Net.RunFor(200);
  ASSERT_FALSE(pc.Book.empty());
  EXPECT_EQ(pc.Book.back(), "BOOK 0 0 0 -");
}

TEST(NetClient, PinKeepsTheIDAndUnpinReleasesIt) {
  World w;
  TSimPC& pc = w.PC("203.0.113.10");
  pc.Start();
  w.Net.RunFor(1000);
  const std::string id = pc.C().MyID();
  pc.C().PinID("", std::string(64, 'a'));
  w.Net.RunFor(500);
  ASSERT_EQ(pc.Pins.size(), 1u);
  EXPECT_EQ(pc.Pins[0], "OK " + id);
  EXPECT_TRUE(pc.C().IDPinned());
  EXPECT_EQ(pc.C().IDSecondsLeft(), 0);
  EXPECT_TRUE(pc.Logged("ID " + FormatID(id) + " is pinned; it stays valid until you unpin it"));
  pc.C().UnpinID();
  w.Net.RunFor(500);
  EXPECT_FALSE(pc.C().IDPinned());
}

TEST(NetClient, ConnectErrorsFromTheRelayEndTheAttempt) {
  World w;
  TSimPC& pc = w.PC("203.0.113.10");
  pc.Start();  // the relay channel needs a round trip: CONNECT now fails at once
  pc.C().ConnectTo("123456789");
  ASSERT_EQ(pc.Failed.size(), 1u);
  EXPECT_EQ(pc.Failed[0], "Not connected to the server yet.");
  w.Net.RunFor(1000);
  pc.C().ConnectTo("999999999");
  w.Net.RunFor(200);
  pc.C().ConnectTo(pc.C().MyID());
  w.Net.RunFor(200);
  ASSERT_EQ(pc.Failed.size(), 3u);
  EXPECT_EQ(pc.Failed[1], "That ID is not online.");
  EXPECT_EQ(pc.Failed[2], "That is your own ID.");
  EXPECT_EQ(pc.C().State(), rsRegistered);
}

struct TPairCase {
  TNatKind A, B;
  bool Direct;
};

class NatPairings : public ::testing::TestWithParam<TPairCase> {};

// Every NAT pairing: directly where the NATs let punching through, through the relay from round 15
// where they do not.
TEST_P(NatPairings, LinkComesUpDirectlyOrThroughTheRelay) {
  const TPairCase c = GetParam();
  World w;
  auto [a, b] = w.Pair(c.A, c.B);
  ASSERT_EQ(a->C().State(), rsRegistered);
  const std::string aid = a->C().MyID(), bid = b->C().MyID();
  const TTick start = w.Net.Now();
  a->C().ConnectTo(bid);
  ASSERT_TRUE(w.Net.RunUntil([&] { return a->Connected == 1 && b->Connected == 1; }, 11'000));
  const TTick took = w.Net.Now() - start;
  EXPECT_EQ(a->C().ViaRelay(), !c.Direct);
  EXPECT_EQ(b->C().ViaRelay(), !c.Direct);
  EXPECT_FALSE(a->C().CheckNumber().empty());
  EXPECT_EQ(a->C().CheckNumber(), b->C().CheckNumber());
  if (c.Direct) {
    EXPECT_LT(took, 1000u);
    EXPECT_EQ(a->C().PeerAddress().rfind("198.51.100.2:", 0), 0u);
    EXPECT_EQ(b->C().PeerAddress().rfind("198.51.100.1:", 0), 0u);
    EXPECT_NE(LastLinkInfo.find(": with " + FormatID(aid) + " directly to 198.51.100.1:"), std::string::npos);
  } else {
    EXPECT_GE(took, 2800u);  // relay punching starts with round 15
    EXPECT_EQ(a->C().PeerAddress(), ":0");
    EXPECT_TRUE(LastLinkInfo.ends_with("through the server (no direct path found)"));
    EXPECT_TRUE(a->LoggedPrefix("Encrypted link to the other PC through the server"));
  }
  // Packets flow both ways, in order, whichever path.
  a->C().SendText("hello there");
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(b->C().SendData(TBytes{0x88, static_cast<std::uint8_t>(i)}));
  w.Net.RunFor(200);
  ASSERT_EQ(b->Messages.size(), 1u);
  EXPECT_EQ(b->Messages[0], "hello there");
  ASSERT_EQ(a->Data.size(), 5u);
  EXPECT_EQ(a->Data[4], (TBytes{0x88, 4}));
}

INSTANTIATE_TEST_SUITE_P(
    Sim, NatPairings,
    ::testing::Values(TPairCase{TNatKind::FullCone, TNatKind::FullCone, true},
                      TPairCase{TNatKind::FullCone, TNatKind::Symmetric, true},
                      TPairCase{TNatKind::AddressRestricted, TNatKind::AddressRestricted, true},
                      TPairCase{TNatKind::AddressRestricted, TNatKind::PortRestricted, true},
                      TPairCase{TNatKind::AddressRestricted, TNatKind::Symmetric, true},
                      TPairCase{TNatKind::PortRestricted, TNatKind::PortRestricted, true},
                      TPairCase{TNatKind::PortRestricted, TNatKind::Symmetric, false},
                      TPairCase{TNatKind::Symmetric, TNatKind::PortRestricted, false},
                      TPairCase{TNatKind::Symmetric, TNatKind::Symmetric, false}),
    [](const auto& info) {
      return std::string(NatKindName(info.param.A)) + "_" + NatKindName(info.param.B);
    });

TEST(NetClient, WithoutRelayingAnImpossiblePathFailsAfterTenSeconds) {
  TRelayConfig cfg;
  cfg.Relaying = false;
  World w(cfg);
  auto [a, b] = w.Pair(TNatKind::Symmetric, TNatKind::Symmetric);
  const TTick start = w.Net.Now();
  a->C().ConnectTo(b->C().MyID());
  ASSERT_TRUE(w.Net.RunUntil([&] { return !a->Failed.empty(); }, 12'000));
  EXPECT_NEAR(static_cast<double>(w.Net.Now() - start), 10'200, 300);
  EXPECT_EQ(a->Failed[0], "Could not reach the other PC directly. One of the networks blocks it.");
  EXPECT_EQ(a->C().State(), rsRegistered);
  EXPECT_TRUE(LastLinkInfo.ends_with(
      "FAILED after 10 s (tried 2 direct address(es); server offers relaying: no (older server))"));
  w.Net.RunFor(500);
  EXPECT_EQ(b->Failed.size(), 1u);
}

TEST(NetClient, PartnerLeavingWhilePunchingFailsTheAttempt) {
  TRelayConfig cfg;
  cfg.Relaying = false;
  World w(cfg);
  auto [a, b] = w.Pair(TNatKind::Symmetric, TNatKind::Symmetric);
  a->C().ConnectTo(b->C().MyID());
  w.Net.RunFor(500);
  ASSERT_EQ(a->C().State(), rsPunching);
  b->Close();  // says BYE to the relay, which tells the partner
  w.Net.RunFor(500);
  ASSERT_EQ(a->Failed.size(), 1u);
  EXPECT_EQ(a->Failed[0], "The other PC went offline.");
  EXPECT_EQ(a->C().State(), rsRegistered);
}

// A live link: ping keeps it alive, BYE and silence end it, and every link gets a new key.
TEST(NetClient, LiveLinkPingByeSilenceAndFreshKeys) {
  World w;
  auto [a, b] = w.Pair(TNatKind::PortRestricted, TNatKind::FullCone);
  const TBytes firstKey = a->C().PeerPublicKey();
  a->C().ConnectTo(b->C().MyID());
  ASSERT_TRUE(w.Net.RunUntil([&] { return a->Connected && b->Connected; }, 2000));
  const std::string check1 = a->C().CheckNumber();
  w.Net.RunFor(60'000);  // PING every 5 s keeps both sides alive
  EXPECT_EQ(a->C().State(), rsConnected);
  EXPECT_EQ(b->C().State(), rsConnected);

  a->C().Disconnect();
  w.Net.RunFor(200);
  EXPECT_TRUE(a->Logged("Disconnected"));
  EXPECT_TRUE(b->Logged("Partner disconnected"));
  EXPECT_EQ(a->Disconnected, 1);
  EXPECT_EQ(b->Disconnected, 1);
  EXPECT_EQ(b->C().State(), rsRegistered);
  EXPECT_NE(a->C().PeerPublicKey(), firstKey);
  EXPECT_TRUE(a->C().CheckNumber().empty());

  // The relay learnt the new keys (HELLO at once): the next link works and has a new check number.
  b->C().ConnectTo(a->C().MyID());
  ASSERT_TRUE(w.Net.RunUntil([&] { return a->Connected == 2 && b->Connected == 2; }, 2000));
  EXPECT_NE(a->C().CheckNumber(), check1);

  // The partner falls silent: 35 s later the session ends.
  b->Host.UdpBlocked = true;
  w.Net.RunFor(36'500);
  EXPECT_TRUE(a->Logged("The other PC stopped answering; the session has ended."));
  EXPECT_EQ(a->C().State(), rsRegistered);
}

TEST(NetClient, PartnerGoneDuringASessionNeedsFiveSecondsOfSilence) {
  World w;
  auto [a, b] = w.Pair(TNatKind::FullCone, TNatKind::FullCone);
  a->C().ConnectTo(b->C().MyID());
  ASSERT_TRUE(w.Net.RunUntil([&] { return a->Connected && b->Connected; }, 2000));
  a->C().HandleServerLine("PARTNER GONE", w.Net.Now());  // the direct link still works: ignored
  EXPECT_EQ(a->C().State(), rsConnected);
  b->Host.UdpBlocked = true;
  w.Net.RunFor(6000);
  a->C().HandleServerLine("PARTNER GONE", w.Net.Now());
  EXPECT_EQ(a->C().State(), rsRegistered);
  EXPECT_TRUE(a->Logged("The other PC went offline; the session has ended."));
  EXPECT_EQ(a->Disconnected, 1);
}

// UDP blocked: three client hellos 2 s apart, then TCP 8443 (refused here), then 443, which works; a
// relayed peer link then runs over TCP.
TEST(NetClient, UdpBlockedFallsBackToTcpAndRelaysThePeerLink) {
  World w(TRelayConfig{}, {443});
  TSimPC& a = w.PC("192.168.1.10", &w.Net.AddNat("198.51.100.1", TNatKind::FullCone));
  TSimPC& b = w.PC("192.168.2.10", &w.Net.AddNat("198.51.100.2", TNatKind::FullCone));
  a.Host.UdpBlocked = true;
  const TTick start = w.Net.Now();
  a.Start();
  b.Start();
  ASSERT_TRUE(w.Net.RunUntil([&] { return a.C().TcpActive(); }, 10'000));
  EXPECT_NEAR(static_cast<double>(w.Net.Now() - start), 6000, 5);  // after the third client hello
  EXPECT_TRUE(a.Logged("No answer from the server on UDP 47800; trying TCP 8443 instead"));
  ASSERT_TRUE(w.Net.RunUntil([&] { return a.C().RelaySecure(); }, 10'000));
  EXPECT_TRUE(a.Logged("TCP 8443 to the server ended: Connection refused"));
  EXPECT_TRUE(a.Logged("No answer from the server on UDP 47800; trying TCP 443 instead"));
  EXPECT_EQ(a.C().Transport(), "TCP 443");
  EXPECT_TRUE(a.LoggedPrefix("Secure connection to the server (AES-256-GCM) over TCP 443"));
  w.Net.RunFor(1000);
  ASSERT_EQ(a.C().State(), rsRegistered);

  b.C().ConnectTo(a.C().MyID());
  ASSERT_TRUE(w.Net.RunUntil([&] { return a.Connected && b.Connected; }, 11'000));
  EXPECT_TRUE(a.C().ViaRelay());
  EXPECT_TRUE(b.C().ViaRelay());
  EXPECT_TRUE(a.LoggedPrefix("Partner " + FormatID(b.C().MyID()) + "; one of us is on the TCP fallback"));
  TBytes big(1200, 0x81);
  EXPECT_TRUE(a.C().SendData(big));
  b.C().SendText("over tcp");
  w.Net.RunFor(300);
  ASSERT_EQ(b.Data.size(), 1u);
  EXPECT_EQ(b.Data[0], big);
  ASSERT_EQ(a.Messages.size(), 1u);
  EXPECT_EQ(a.Messages[0], "over tcp");
}

TEST(NetClient, TcpPortThatNeverAnswersMovesOnAndComesBackToUdp) {
  // TCP 8443 accepts but never answers; 443 and 80 refuse; then the client goes back to UDP and tries
  // TCP again no sooner than 30 s after the last start.
  World w(TRelayConfig{}, {});
  w.RelayHost.ListenTcp(8443, [](std::shared_ptr<TSimTcpConn>) {});
  TSimPC& a = w.PC("203.0.113.10");
  a.Host.UdpBlocked = true;
  a.Start();
  w.Net.RunFor(20'000);
  EXPECT_TRUE(a.Logged("TCP 8443 answers, but not as a Tovik server"));
  EXPECT_TRUE(a.Logged("TCP 443 to the server ended: Connection refused"));
  EXPECT_TRUE(a.Logged("TCP 80 to the server ended: Connection refused"));
  EXPECT_FALSE(a.C().TcpActive());
  EXPECT_FALSE(a.C().RelaySecure());
}

// The scripted relay double: renewal on 0x13.
TEST(NetClient, RenewDatagramStartsANewSecureSession) {
  TSimNet net;
  TSimHost& rh = net.AddHost(KRelayIP);
  TSimRelay relay(rh);
  TSimHost& h = net.AddHost("203.0.113.10");
  TcpPortsText = "8443,443,80";
  TSimPC pc(net, h, KRelayIP, KRelayPort);
  pc.Start();
  net.RunFor(1000);
  ASSERT_TRUE(pc.C().RelaySecure());
  const std::string id = pc.C().MyID();
  relay.ForgetSessions();
  net.RunFor(23'000);  // the next HELLO is answered with 0x13; a new handshake follows
  EXPECT_TRUE(pc.Logged("The server asked for a new secure session"));
  EXPECT_TRUE(pc.C().RelaySecure());
  EXPECT_EQ(relay.HandshakeReplies, 2);
  EXPECT_EQ(pc.C().MyID(), id);
  EXPECT_EQ(pc.IDs, 1);
}

// The client as a timed object: its deadlines are its named ticks and the data that waits for it, so
// the simulator runs an idle client only when something is due, not every few milliseconds.
TEST(NetClient, DeadlinesAreTheNamedTicksAndWaitingData) {
  World w;
  TSimPC& pc = w.PC("203.0.113.10");
  EXPECT_EQ(pc.C().NextDeadline(), kNoDeadline) << "nothing before Start";
  const TTick start = w.Net.Now();
  pc.Start();
  EXPECT_EQ(pc.C().NextDeadline(), start + KMainTickMs);
  w.Net.RunFor(1000);
  ASSERT_EQ(pc.C().State(), rsRegistered);

  // A registered client that nobody calls: a minute takes one round per main tick, relay tick (every
  // 250 ms) and keep-alive datagram, instead of 60 000.
  const auto rounds = w.Net.Rounds();
  w.Net.RunFor(60'000);
  EXPECT_LT(w.Net.Rounds() - rounds, 400u);
  EXPECT_EQ(pc.C().State(), rsRegistered);

  // Data arriving: one wake-up until RxTick has drained the queue, and the client is due at once,
  // also for data that comes right after a drained queue (no batching delay).
  int wakes = 0;
  pc.C().SetRxWake([&] { ++wakes; });
  pc.C().RxSink().PushRx(TRxPacket{BytesOf("x"), "198.51.100.9", 1});
  pc.C().RxSink().PushRx(TRxPacket{BytesOf("y"), "198.51.100.9", 1});
  EXPECT_EQ(wakes, 1);
  EXPECT_TRUE(pc.C().RxWaiting());
  EXPECT_LE(pc.C().NextDeadline(), w.Net.Now());
  w.Net.RunFor(0);
  EXPECT_FALSE(pc.C().RxWaiting());
  pc.C().RxSink().PushRx(TRxPacket{BytesOf("z"), "198.51.100.9", 1});
  EXPECT_EQ(wakes, 2);
  EXPECT_LE(pc.C().NextDeadline(), w.Net.Now());
  pc.C().SetRxWake(nullptr);
}

// A flood in the receive queue is handled in slices of KRxTickMaxPackets: the client stays due at once
// while datagrams wait, and the driver's thread gets a turn between two slices.
TEST(NetClient, AReceiveFloodIsHandledInSlices) {
  World w;
  TSimPC& pc = w.PC("203.0.113.10");
  pc.Start();
  w.Net.RunFor(1000);
  ASSERT_EQ(pc.C().State(), rsRegistered);
  for (std::size_t i = 0; i < 2 * KRxTickMaxPackets + 1; ++i)
    pc.C().RxSink().PushRx(TRxPacket{BytesOf("x"), "198.51.100.9", 1});
  const TTick now = w.Net.Now();
  for (const bool more : {true, true, false}) {
    pc.C().HandleTimeout(now);
    EXPECT_EQ(pc.C().RxWaiting(), more);
    EXPECT_EQ(pc.C().NextDeadline() <= now, more);
  }
}

// The receive queue holds at most KRxQueueMaxPackets datagrams and KRxQueueMaxBytes bytes between two
// RxTicks; what comes beyond either is dropped, and a drained queue takes datagrams again.
TEST(NetClient, TheReceiveQueueIsBoundedInDatagramsAndBytes) {
  World w;
  TSimPC& pc = w.PC("203.0.113.10");
  pc.Start();
  w.Net.RunFor(1000);
  ASSERT_EQ(pc.C().State(), rsRegistered);
  IRxSink& sink = pc.C().RxSink();
  const auto push = [&](std::size_t bytes) { sink.PushRx(TRxPacket{TBytes(bytes, 0x55), "198.51.100.9", 1}); };
  struct TCase {
    std::size_t Size;  // of each datagram
    std::size_t Fits;  // datagrams that fit
  } cases[] = {
      {1, KRxQueueMaxPackets},
      {64 * 1024, KRxQueueMaxBytes / (64 * 1024)},
  };
  for (const TCase& c : cases) {
    for (std::size_t i = 0; i < c.Fits; ++i) push(c.Size);
    EXPECT_EQ(pc.C().RxQueued(), std::make_pair(c.Fits, c.Fits * c.Size)) << c.Size;
    push(1);
    EXPECT_EQ(pc.C().RxQueued().first, c.Fits) << c.Size;
    w.Net.RunFor(100);
    EXPECT_EQ(pc.C().RxQueued(), std::make_pair(std::size_t{0}, std::size_t{0}));
    push(1);
    EXPECT_EQ(pc.C().RxQueued().first, 1u) << c.Size;
    w.Net.RunFor(100);
  }
}

// Punching runs the punch tick every 200 ms; a live link stops it and runs the ping tick instead.
TEST(NetClient, PunchAndPingTicksFollowTheLink) {
  World w;
  auto [a, b] = w.Pair(TNatKind::FullCone, TNatKind::FullCone);
  EXPECT_FALSE(a->C().PunchTimerActive());
  EXPECT_FALSE(a->C().PingTimerActive());
  a->C().ConnectTo(b->C().MyID());
  ASSERT_TRUE(w.Net.RunUntil([&] { return a->C().State() == rsPunching; }, 1000));
  EXPECT_TRUE(a->C().PunchTimerActive());
  EXPECT_LE(a->C().NextDeadline(), w.Net.Now() + KPunchTickMs);
  ASSERT_TRUE(w.Net.RunUntil([&] { return a->Connected && b->Connected; }, 2000));
  EXPECT_FALSE(a->C().PunchTimerActive());
  EXPECT_TRUE(a->C().PingTimerActive());
  a->C().Disconnect();
  EXPECT_FALSE(a->C().PingTimerActive());
}

}  // namespace

// ---- The peer key exchange against a relay in the middle ----------------------------------------------

// Two PCs on public addresses behind the scripted relay, whose Rewrite hook plays the relay in the middle.
struct KeyExchangeWorld {
  TSimNet Net;
  TSimHost& RelayHost = Net.AddHost(KRelayIP);
  TSimRelay Relay{RelayHost};
  TSimPC A{Net, Net.AddHost("198.51.100.1"), KRelayIP, KRelayPort};
  TSimPC B{Net, Net.AddHost("198.51.100.2"), KRelayIP, KRelayPort};

  KeyExchangeWorld() {
    TcpPortsText = "";
    A.Start();
    B.Start();
    Net.RunFor(1000);
  }
  ~KeyExchangeWorld() { TcpPortsText = "8443,443,80"; }
  static std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> f;
    for (std::string_view v : SplitLine(line)) f.emplace_back(v);
    return f;
  }
  static std::string Join(const std::vector<std::string>& f) {
    std::string s;
    for (const auto& x : f) s += (s.empty() ? "" : " ") + x;
    return s;
  }
};

// Keys go to the relay only as commitments until the partner's commitment is here; the key itself
// travels once, in REVEAL, to the partner introduced.
TEST(PeerKeyExchange, TheKeyTravelsOnlyAfterThePartnersCommitment) {
  KeyExchangeWorld w;
  const std::string key = BytesToHex(w.A.C().PeerPublicKey());
  const std::string commit = BytesToHex(PeerCommitment(w.A.C().PeerPublicKey()));
  w.A.C().ConnectTo(w.B.C().MyID());
  ASSERT_TRUE(w.Net.RunUntil([&] { return w.A.Connected && w.B.Connected; }, 2000));
  EXPECT_EQ(w.A.C().CheckNumber(), w.B.C().CheckNumber());
  std::vector<std::string> withKey;
  bool helloCommits = false, connectCommits = false;
  for (const std::string& line : w.Relay.ByID(w.A.C().MyID())->Lines) {
    if (line.find(key) != std::string::npos) withKey.push_back(line);
    if (line.starts_with("HELLO ")) helloCommits |= KeyExchangeWorld::Fields(line).at(4) == commit;
    if (line.starts_with("CONNECT ")) connectCommits |= KeyExchangeWorld::Fields(line).at(4) == commit;
  }
  EXPECT_TRUE(helloCommits);
  EXPECT_TRUE(connectCommits);
  ASSERT_EQ(withKey.size(), 1u);
  EXPECT_EQ(withKey[0], "REVEAL " + w.B.C().MyID() + " " + key);
}

// A relay that hands each PC a key of its own. Honest commitments to its own keys get it one chance in
// a million that the check numbers agree; changing a key after it has seen the PCs' keys, replaying an
// earlier reveal or withholding one ends the attempt.
TEST(PeerKeyExchange, ARelayInTheMiddleIsSeenOrStopped) {
  enum TAttack { aOwnKeys, aKeyAfterTheFact, aReplay, aWithhold };
  const struct {
    const char* Name;
    TAttack Attack;
  } cases[] = {{"own keys, committed", aOwnKeys},
               {"another key after seeing theirs", aKeyAfterTheFact},
               {"an earlier reveal replayed", aReplay},
               {"the reveal withheld", aWithhold}};
  const std::string changed =
      "The other PC's key was changed on the way; someone between the PCs may be tampering with the connection. "
      "Not connecting.";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    KeyExchangeWorld w;
    const std::string aid = w.A.C().MyID(), bid = w.B.C().MyID();
    std::map<std::string, std::string> earlierReveal;  // per receiving PC
    if (c.Attack == aReplay) {
      // One honest session first, whose reveals the relay keeps.
      w.Relay.Rewrite = [&](const std::string& to, std::string& line) {
        if (line.starts_with("REVEAL ")) earlierReveal[to] = line;
        return true;
      };
      w.A.C().ConnectTo(bid);
      ASSERT_TRUE(w.Net.RunUntil([&] { return w.A.Connected && w.B.Connected; }, 2000));
      w.A.C().Disconnect();
      w.Net.RunFor(500);
    }
    std::map<std::string, TEcdhKey> own;  // the relay's key for each PC
    w.Relay.Rewrite = [&](const std::string& to, std::string& line) {
      auto f = KeyExchangeWorld::Fields(line);
      if (f[0] == "PEER" && c.Attack != aReplay) {
        f[5] = BytesToHex(PeerCommitment(own[to].Public()));
      } else if (f[0] == "REVEAL") {
        switch (c.Attack) {
          case aOwnKeys: f[2] = BytesToHex(own[to].Public()); break;
          case aKeyAfterTheFact: f[2] = BytesToHex(TEcdhKey().Public()); break;
          case aReplay: line = earlierReveal.at(to); return true;
          case aWithhold: return false;
        }
      }
      line = KeyExchangeWorld::Join(f);
      return true;
    };
    const TBytes aKey = w.A.C().PeerPublicKey(), bKey = w.B.C().PeerPublicKey();
    w.A.C().ConnectTo(bid);
    w.Net.RunFor(1000);
    if (c.Attack == aOwnKeys) {
      ASSERT_EQ(w.A.C().State(), rsPunching);
      EXPECT_EQ(w.A.C().CheckNumber(), CheckNumber(aKey, own[aid].Public()));
      EXPECT_EQ(w.B.C().CheckNumber(), CheckNumber(bKey, own[bid].Public()));
      EXPECT_NE(w.A.C().CheckNumber(), w.B.C().CheckNumber());
      w.Net.RunFor(10'000);  // neither PC can open the other's packets
      EXPECT_EQ(w.A.Connected + w.B.Connected, 0);
      continue;
    }
    if (c.Attack == aWithhold) w.Net.RunFor(10'000);
    for (TSimPC* pc : {&w.A, &w.B}) {
      ASSERT_EQ(pc->Failed.size(), 1u);
      EXPECT_EQ(pc->Failed[0], c.Attack == aWithhold ? "The other PC's key did not arrive through the server." : changed);
      EXPECT_EQ(pc->C().State(), rsRegistered);
      EXPECT_TRUE(pc->C().CheckNumber().empty());
      EXPECT_EQ(pc->Connected, c.Attack == aReplay ? 1 : 0);
    }
    // The revealed keys are spent: the next attempt uses new ones.
    EXPECT_NE(w.A.C().PeerPublicKey(), aKey);
    EXPECT_NE(w.B.C().PeerPublicKey(), bKey);
  }
}
