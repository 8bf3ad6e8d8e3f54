#include <gtest/gtest.h>

#include "RelayCoreFixture.h"

namespace tovik::test {
namespace {

constexpr std::uint32_t kIpA = 0x0A000001, kIpB = 0x0A000002, kIpC = 0x0A000003;

TEST_F(RelayCoreTest, HandshakeIsSignedByTheRelayKeyAndOpensTheChannel) {
  TPc& pc = NewPc(kIpA, 5000);
  Send(pc, pc.C.Hello());
  ASSERT_EQ(pc.Raw.size(), 1u);
  EXPECT_EQ(pc.Raw[0].size(), kHandshakeReplySize);
  ASSERT_TRUE(pc.C.Accept(pc.Raw[0]));
  EXPECT_EQ(pc.C.FRelayKey, FKey.Public());
  Say(pc, HelloLine(pc));
  EXPECT_EQ(Take(pc).rfind("ID ", 0), 0u);
}

TEST_F(RelayCoreTest, MalformedHellosAndStrayPacketsAreHandledQuietly) {
  TPc& pc = NewPc(kIpA, 5000);
  TBytes hello = pc.C.Hello();
  TBytes shortHello(hello.begin(), hello.end() - 1), longHello = hello, badVersion = hello, badKey = hello;
  longHello.push_back(0);
  badVersion[1] = 2;
  for (std::size_t i = 2; i < 66; ++i) badKey[i] = 0xFF;  // not a point on the curve
  for (const TBytes& d : {shortHello, longHello, badVersion, badKey, TBytes{0x11}, TBytes{0x77, 1, 2}}) Send(pc, d);
  EXPECT_TRUE(pc.Raw.empty());
  // A sealed line or a relayed packet without a session asks for a new handshake.
  Send(pc, TBytes(40, kWireSealed));
  Send(pc, TBytes{kWireForward, 0xC0, 1});
  ASSERT_EQ(pc.Raw.size(), 2u);
  EXPECT_EQ(pc.Raw[0], TBytes{kWireRenew});
  EXPECT_EQ(pc.Raw[1], TBytes{kWireRenew});
  // With a session, a packet that does not open is dropped without an answer.
  Secure(pc);
  Send(pc, TBytes(40, kWireSealed));
  EXPECT_TRUE(pc.Raw.empty());
  EXPECT_TRUE(pc.Lines.empty());
}

TEST_F(RelayCoreTest, RenewedHandshakeKeepsTheIDAndSwitchesKeysOnFirstGenuineLine) {
  TPc& pc = Online(kIpA, 5000);
  TRelayTestClient old = std::move(pc.C);
  pc.C = TRelayTestClient();
  Secure(pc);  // a second hello from the same address
  // Until a line arrives under the new keys, the old ones still work (a forged hello cuts nothing):
  // the relay answers under the old keys.
  Send(pc, old.Line("CONNECT 1"));
  ASSERT_EQ(pc.Raw.size(), 1u);
  EXPECT_EQ(old.Open(pc.Raw.back()), "ERR CONNECT_BAD");
  EXPECT_TRUE(pc.Lines.empty());
  pc.Raw.clear();
  // The first genuine line under the new keys switches: answers come under them, with the same ID...
  Say(pc, HelloLine(pc, pc.ID));
  EXPECT_EQ(Take(pc), "ID " + pc.ID + " 600");
  Say(pc, "CONNECT 1");
  EXPECT_EQ(Take(pc), "ERR CONNECT_BAD");
  // ...and the old keys no longer open anything.
  const auto dropped = FCore->Stats().Dropped;
  Send(pc, old.Line("CONNECT 1"));
  EXPECT_TRUE(pc.Raw.empty());
  EXPECT_TRUE(pc.Lines.empty());
  EXPECT_EQ(FCore->Stats().Dropped, dropped + 1);
  EXPECT_EQ(FCore->IDOf(pc.Ep), pc.ID);
}

TEST_F(RelayCoreTest, HelloGivesOneTimeIDAndAnnouncesPortsAndBrandOnce) {
  FConfig.AnnouncePorts = {8443, 443};
  FConfig.BrandName = "Acme Support";
  FConfig.Logo = TBytes(3000, 0xAB);
  Restart();
  TPc& pc = NewPc(kIpA, 5000);
  Secure(pc);
  Say(pc, HelloLine(pc));
  const std::string id = Take(pc);
  EXPECT_TRUE(id.size() == 16 && id.substr(12) == " 600") << id;
  EXPECT_EQ(Take(pc), "PORTS TCP 8443,443");
  const std::string brand = Take(pc);
  EXPECT_EQ(brand.substr(0, 6), "BRAND ");
  EXPECT_NE(brand.find(" 5 " + Base64Encode(BytesOf("Acme Support"))), std::string::npos) << brand;
  FClock.Advance(20'000);
  Say(pc, HelloLine(pc, id.substr(3, 9)));
  EXPECT_EQ(Take(pc), "ID " + id.substr(3, 9) + " 580");
  EXPECT_TRUE(pc.Lines.empty());

  Say(pc, "LOGOGET");
  std::string joined;
  for (int i = 0; i < 5; ++i) {
    const std::string line = Take(pc);
    const auto f = SplitLine(line);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[0], "LOGO");
    EXPECT_EQ(f[2], std::to_string(i));
    joined += f[4];
  }
  EXPECT_EQ(Base64Decode(joined), FConfig.Logo);
}

TEST_F(RelayCoreTest, BadHelloLinesAreRefused) {
  TPc& pc = NewPc(kIpA, 5000);
  Secure(pc);
  const std::string key = pc.C.CommitHex();
  for (const std::string& line :
       {std::string("HELLO 0 1.2.3.4 5000"), "HELLO 12345 1.2.3.4 5000 " + key + " x 0",
        "HELLO 0 1.2.3 5000 " + key + " x 0", "HELLO 0 1.2.3.4 70000 " + key + " x 0",
        "HELLO 0 1.2.3.4 5000 " + key.substr(1) + " x 0", "HELLO 0 1.2.3.4 5000 " + key + " x 2"}) {
    Say(pc, line);
    EXPECT_EQ(Take(pc), "ERR HELLO_BAD") << line;
  }
  EXPECT_EQ(FCore->Stats().Registered, 0u);
}

TEST_F(RelayCoreTest, OneTimeIDIsReplacedWhenItRunsOutAndAfterItsSession) {
  FConfig.OneTimeIDSeconds = 60;
  Restart();
  TPc& host = Online(kIpA, 5000);
  const std::string first = host.ID;
  Advance(61'000);
  const std::string second = Take(host);
  ASSERT_EQ(second.rfind("ID ", 0), 0u);
  EXPECT_NE(second.substr(3, 9), first);
  host.ID = second.substr(3, 9);
  // A session on this ID spends it: the HELLO after SESSION END brings a new one.
  TPc& viewer = Online(kIpB, 6000);
  Say(viewer, "CONNECT " + host.ID + " 192.168.2.20 6001 " + viewer.C.CommitHex());
  host.Lines.clear();
  Say(host, "SESSION START " + viewer.ID + " H");
  Say(host, HelloLine(host, host.ID));
  EXPECT_EQ(Take(host).substr(3, 9), host.ID);
  Say(host, "SESSION END");
  Say(host, HelloLine(host, host.ID));
  EXPECT_NE(Take(host).substr(3, 9), host.ID);
}

TEST_F(RelayCoreTest, ReturningClientKeepsItsOneTimeIDOnlyFromTheSameAddress) {
  TPc& a = Online(kIpA, 5000);
  Say(a, "BYE");
  TPc& back = NewPc(kIpA, 5001);
  Secure(back);
  Say(back, HelloLine(back, a.ID));
  EXPECT_EQ(Take(back).substr(3, 9), a.ID);
  Say(back, "BYE");
  TPc& other = NewPc(kIpB, 5000);
  Secure(other);
  Say(other, HelloLine(other, a.ID));
  EXPECT_NE(Take(other).substr(3, 9), a.ID);
}

// One-time IDs outlive a restart of the relay: within the lease the same PC (same address) gets its
// ID back with the time that is left, by the same rule as on a live relay.
TEST_F(RelayCoreTest, ARestartKeepsOneTimeIDLeases) {
  const struct {
    const char* Name;
    TTick Down;  // from the first ID to the HELLO after the restart
    std::uint32_t IP;
    bool SameID;
  } cases[] = {{"same PC within the lease", 200'000, kIpA, true},
               {"another address within the lease", 200'000, kIpB, false},
               {"same PC after the lease", 601'000, kIpA, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    FMemStore = TMemoryRelayStore();
    Restart();
    TPc& pc = Online(kIpA, 5000);
    const std::string id = pc.ID;
    FClock.Advance(c.Down);
    ++FConfig.Seed;  // the new core draws other IDs than the first did
    Restart();       // a new core on the same store; the PC shakes hands again and says HELLO with its ID
    TPc& back = NewPc(c.IP, 5001);
    Secure(back);
    Say(back, HelloLine(back, id));
    const std::string line = Take(back);
    if (c.SameID) {
      EXPECT_EQ(line, "ID " + id + " " + std::to_string((600'000 - c.Down) / 1000));
    } else {
      EXPECT_NE(line.substr(3, 9), id) << line;
    }
  }
}

TEST_F(RelayCoreTest, PinKeepsTheIDAndRefusesOthers) {
  const std::string secret(64, 'A'), other(64, 'B');
  TPc& pc = NewPc(kIpA, 5000);
  Secure(pc);
  Say(pc, "PIN 123456789 " + secret);
  EXPECT_EQ(Take(pc), "ERR PIN NOT_READY");
  Say(pc, HelloLine(pc));
  pc.ID = Take(pc).substr(3, 9);
  for (const std::string& bad : {"PIN " + pc.ID, "PIN 12345678 " + secret, "PIN " + pc.ID + " " + secret.substr(1)}) {
    Say(pc, bad);
    EXPECT_EQ(Take(pc), "ERR PIN BAD") << bad;
  }
  Say(pc, "PIN " + pc.ID + " " + secret);
  EXPECT_EQ(Take(pc), "PIN OK " + pc.ID);
  EXPECT_EQ(Take(pc), "ID " + pc.ID + " pinned");
  // Only a hash of the secret is stored.
  ASSERT_TRUE(FStore->KeptHash(pc.ID));
  EXPECT_EQ(*FStore->KeptHash(pc.ID), KeptSecretHash(secret));
  EXPECT_EQ(FStore->KeptHash(pc.ID)->find(secret), std::string::npos);

  TPc& thief = Online(kIpB, 5000);
  Say(thief, "PIN " + pc.ID + " " + other);
  EXPECT_EQ(Take(thief), "ERR PIN TAKEN");
  // An ID another PC holds right now cannot be kept by someone else either.
  TPc& third = Online(kIpC, 5000);
  Say(third, "PIN " + thief.ID + " " + other);
  EXPECT_EQ(Take(third), "ERR PIN TAKEN");

  // The same PC comes back later (any address): HELLO with the kept ID is not enough, PIN is.
  const std::string kept = pc.ID;
  Say(pc, "BYE");
  TPc& back = NewPc(kIpC, 6000);
  Secure(back);
  Say(back, HelloLine(back, kept));
  EXPECT_NE(Take(back), "ID " + kept + " pinned");
  Say(back, "PIN " + kept + " " + AsciiLower(secret));
  EXPECT_EQ(Take(back), "PIN OK " + kept);
  EXPECT_EQ(Take(back), "ID " + kept + " pinned");

  Say(back, "UNPIN");
  EXPECT_EQ(Take(back), "ID " + kept + " 600");
  EXPECT_FALSE(FStore->KeptHash(kept));
}

TEST_F(RelayCoreTest, ConnectIntroducesBothPCsWithTheirAddressesKeysAndRelayMarks) {
  TPc& host = Online(kIpA, 5000);
  TPc& viewer = Online(kIpB, 6000, /*conn=*/7);  // on the TCP fallback
  const std::string vkey = viewer.C.CommitHex();
  Say(viewer, "CONNECT " + host.ID + " 192.168.2.20 6001 " + vkey);
  EXPECT_EQ(Take(viewer), "PEER 10.0.0.1 5000 192.168.1.10 50000 " + host.C.CommitHex() + " " + host.ID + " - U");
  // The TCP client's public port is its UDP port from the line, its mark "T".
  EXPECT_EQ(Take(host), "PEER 10.0.0.2 6001 192.168.2.20 6001 " + vkey + " " + viewer.ID + " - T");
  EXPECT_EQ(FCore->Stats().Pairs, 1u);
}

// A reveal goes to the partner introduced, once per introduction, and only with the key committed to.
TEST_F(RelayCoreTest, RevealPassesTheCommittedKeyToThePartnerOnce) {
  TPc& host = Online(kIpA, 5000);
  TPc& viewer = Online(kIpB, 6000);
  TPc& other = Online(kIpC, 7000);
  Say(viewer, "REVEAL " + host.ID + " " + viewer.C.KeyHex());  // not introduced yet
  EXPECT_TRUE(host.Lines.empty());
  Say(viewer, "CONNECT " + host.ID + " 192.168.2.20 6001 " + viewer.C.CommitHex());
  host.Lines.clear();
  viewer.Lines.clear();

  const struct {
    const char* Name;
    std::string Line;
    std::string Answer;  // to the viewer
  } refused[] = {
      {"another PC", "REVEAL " + other.ID + " " + viewer.C.KeyHex(), "ERR REVEAL_BAD"},
      {"a key not committed to", "REVEAL " + host.ID + " " + other.C.KeyHex(), "ERR REVEAL_BAD"},
      {"not a key", "REVEAL " + host.ID + " " + viewer.C.CommitHex(), "ERR REVEAL_BAD"},
      {"too short", "REVEAL " + host.ID, "ERR REVEAL_BAD"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.Name);
    Say(viewer, c.Line);
    EXPECT_EQ(Take(viewer), c.Answer);
    EXPECT_TRUE(host.Lines.empty());
    EXPECT_TRUE(other.Lines.empty());
  }
  Say(viewer, "REVEAL " + host.ID + " " + AsciiLower(viewer.C.KeyHex()));
  EXPECT_EQ(Take(host), "REVEAL " + viewer.ID + " " + viewer.C.KeyHex());
  Say(viewer, "REVEAL " + host.ID + " " + viewer.C.KeyHex());  // a second one: not passed on
  EXPECT_TRUE(host.Lines.empty());
  EXPECT_TRUE(viewer.Lines.empty());
}

TEST_F(RelayCoreTest, ConnectWithoutRelayingMarksDash) {
  FConfig.Relaying = false;
  Restart();
  TPc& host = Online(kIpA, 5000);
  TPc& viewer = Online(kIpB, 6000);
  Say(viewer, "CONNECT " + host.ID + " 192.168.2.20 6001 " + viewer.C.CommitHex());
  const std::string peer = Take(viewer);
  EXPECT_EQ(peer.substr(peer.size() - 2), " -") << peer;
  // Relayed packets are not passed on.
  Send(viewer, TBytes{kWireForward, 0xC0, 1, 2});
  EXPECT_TRUE(host.Raw.empty());
}

TEST_F(RelayCoreTest, ConnectErrors) {
  TPc& pc = Online(kIpA, 5000);
  const std::string key = pc.C.CommitHex();
  Say(pc, "CONNECT " + pc.ID + " 1.2.3.4 5 " + key);
  EXPECT_EQ(Take(pc), "ERR SELF");
  Say(pc, "CONNECT 123 1.2.3.4 5 " + key);
  EXPECT_EQ(Take(pc), "ERR UNKNOWN_ID");
  Say(pc, "CONNECT 111111111 1.2.3.4 5 nothex");
  EXPECT_EQ(Take(pc), "ERR CONNECT_BAD");
  TPc& fresh = NewPc(kIpC, 1);
  Secure(fresh);
  Say(fresh, "CONNECT " + pc.ID + " 1.2.3.4 5 " + key);
  EXPECT_EQ(Take(fresh), "ERR NOT_READY");
  // Ten wrong IDs in a minute from one address, then the limit; a minute later it is lifted.
  for (int i = 1; i < 10; ++i) {
    Say(pc, "CONNECT 11111111" + std::to_string(i) + " 1.2.3.4 5 " + key);
    EXPECT_EQ(Take(pc), "ERR UNKNOWN_ID");
  }
  Say(pc, "CONNECT 111111111 1.2.3.4 5 " + key);
  EXPECT_EQ(Take(pc), "ERR RATE_LIMIT");
  TPc& other = Online(kIpB, 5000);
  Say(pc, "CONNECT " + other.ID + " 1.2.3.4 5 " + key);
  EXPECT_EQ(Take(pc), "ERR RATE_LIMIT");
  FClock.Advance(60'000);
  Say(pc, "CONNECT " + other.ID + " 1.2.3.4 5 " + key);
  EXPECT_EQ(Take(pc).substr(0, 5), "PEER ");
}

TEST_F(RelayCoreTest, RelayedPacketsPassBetweenPartnersUnchangedOverUdpAndTcp) {
  TPc& host = Online(kIpA, 5000);
  TPc& viewer = Online(kIpB, 6000, 9);
  Say(viewer, "CONNECT " + host.ID + " 1.2.3.4 5 " + viewer.C.CommitHex());
  host.Lines.clear();
  TBytes packet(1239, 0x5A);
  packet[0] = kWireForward;
  packet[1] = 0xC0;
  Send(viewer, packet);
  ASSERT_EQ(host.Raw.size(), 1u);
  EXPECT_EQ(host.Raw[0], packet);
  packet[2] = 0x33;
  Send(host, packet);
  ASSERT_EQ(viewer.Raw.size(), 1u);
  EXPECT_EQ(viewer.Raw[0], packet);
  EXPECT_EQ(FCore->Stats().Forwarded, 2u);
  // A stranger's relayed packets reach nobody.
  TPc& stranger = Online(kIpC, 7000);
  Send(stranger, packet);
  EXPECT_EQ(host.Raw.size() + viewer.Raw.size(), 2u);
}

TEST_F(RelayCoreTest, PartnerGoneWhenAPartnerLeavesFallsSilentOrIsReplaced) {
  TPc& host = Online(kIpA, 5000);
  TPc& viewer = Online(kIpB, 6000);
  Say(viewer, "CONNECT " + host.ID + " 1.2.3.4 5 " + viewer.C.CommitHex());
  host.Lines.clear();
  viewer.Lines.clear();
  Say(viewer, "BYE");
  EXPECT_EQ(Take(host), "PARTNER GONE");

  // Silence: the host keeps talking, the second viewer does not.
  TPc& v2 = Online(kIpC, 6000);
  Say(v2, "CONNECT " + host.ID + " 1.2.3.4 5 " + v2.C.CommitHex());
  host.Lines.clear();
  for (int i = 0; i < 4; ++i) {
    Advance(20'000);
    Say(host, HelloLine(host, host.ID));
  }
  while (!host.Lines.empty() && host.Lines.front().rfind("ID ", 0) == 0) host.Lines.pop_front();
  EXPECT_EQ(Take(host), "PARTNER GONE");
  EXPECT_EQ(FCore->Stats().Sessions, 1u);

  // A TCP client that falls silent also gets its connection closed.
  TPc& tcp = Online(kIpB, 7000, 11);
  (void)tcp;
  FOut.CloseConns.clear();
  FClock.Advance(80'000);
  FCore->Tick(Now(), FOut);
  EXPECT_NE(std::find(FOut.CloseConns.begin(), FOut.CloseConns.end(), 11u), FOut.CloseConns.end());
}

TEST_F(RelayCoreTest, ClosedTcpConnectionEndsTheSession) {
  TPc& host = Online(kIpA, 5000);
  TPc& viewer = Online(kIpB, 6000, 3);
  Say(viewer, "CONNECT " + host.ID + " 1.2.3.4 5 " + viewer.C.CommitHex());
  host.Lines.clear();
  FCore->OnClosed(viewer.Ep, Now(), FOut);
  Deliver();
  EXPECT_EQ(Take(host), "PARTNER GONE");
  EXPECT_EQ(FCore->IDOf(viewer.Ep), "");
}

TEST_F(RelayCoreTest, SessionRecordsUsageAndAsksForAReportInCompanyMode) {
  FConfig.CompanyMode = true;
  Restart();
  TPc& viewer = Online(kIpB, 6000);
  TPc& host = Online(kIpA, 5000);
  // A session with a PC this relay did not introduce is not recorded.
  Say(viewer, "SESSION START 123456789 V");
  Say(viewer, "SESSION END");
  EXPECT_TRUE(viewer.Lines.empty());
  EXPECT_TRUE(FStore->Usage(10).empty());

  Say(viewer, "CONNECT " + host.ID + " 192.168.2.20 6001 " + viewer.C.CommitHex());
  viewer.Lines.clear();
  host.Lines.clear();
  Say(viewer, "SESSION START " + host.ID + " V");
  FClock.Advance(90'000);
  Say(viewer, "SESSION END");
  const std::string ask = Take(viewer);
  const auto f = SplitLine(ask);
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f[0], "REPORTASK");
  EXPECT_EQ(f[4], "90");
  EXPECT_EQ(f[5], host.ID);
  const auto usage = FStore->Usage(10);
  ASSERT_EQ(usage.size(), 1u);
  EXPECT_EQ(usage[0].ViewerID, viewer.ID);
  EXPECT_EQ(std::to_string(usage[0].Id), std::string(f[1]));
  // The helped side records nothing and is not asked.
  Say(host, "SESSION START " + viewer.ID + " H");
  Say(host, "SESSION END");
  EXPECT_TRUE(host.Lines.empty());
  EXPECT_EQ(FStore->Usage(10).size(), 1u);
}

// Hellos that never make a session (not a point on the curve, here from 100 sources) leave no
// per-source entry behind.
TEST_F(RelayCoreTest, FailedHandshakesLeaveNoPerSourceEntries) {
  TBytes hello{kWireClientHello, kWireVersion};
  Append(hello, TBytes(64, 0xFF));
  Append(hello, TBytes(16, 1));
  for (std::uint32_t i = 0; i < 100; ++i) FCore->OnDatagram(TRelayEndpoint{0x0B000000 + i, 5000, 0}, hello, Now(), FOut);
  EXPECT_TRUE(FOut.Datagrams.empty());
  EXPECT_EQ(FCore->Stats().SourcesWithSessions, 0u);
  Online(kIpA, 5000);
  EXPECT_EQ(FCore->Stats().SourcesWithSessions, 1u);
}

TEST_F(RelayCoreTest, SavedPcListIsStoredInPartsAndReturned) {
  TPc& pc = Online(kIpA, 5000);
  const std::string book(64, 'a');
  Say(pc, "BOOKGET " + book);
  EXPECT_EQ(Take(pc), "BOOK 0 0 0 -");
  Say(pc, "BOOKPUT " + book + " 1000 1 2 QkJC");
  EXPECT_EQ(Take(pc), "BOOKPART OK 1000 1");
  EXPECT_TRUE(pc.Lines.empty());
  Say(pc, "BOOKPUT " + book + " 1000 0 2 QUFB");
  EXPECT_EQ(Take(pc), "BOOKPART OK 1000 0");
  EXPECT_EQ(Take(pc), "BOOKPUT OK 1000");
  // A part sent again after the list was stored is confirmed again, not refused.
  Say(pc, "BOOKPUT " + book + " 1000 0 2 QUFB");
  EXPECT_EQ(Take(pc), "BOOKPART OK 1000 0");
  EXPECT_EQ(Take(pc), "BOOKPUT OK 1000");
  Say(pc, "BOOKPUT " + AsciiUpper(book) + " 999 0 1 QUFB");
  EXPECT_EQ(Take(pc), "ERR BOOK_OLDER");
  // Another list with the stored stamp is not confirmed as stored.
  for (const std::string& other : {"BOOKPUT " + book + " 1000 0 2 Q0ND", "BOOKPUT " + book + " 1000 0 1 QUFB"}) {
    Say(pc, other);
    EXPECT_EQ(Take(pc), "ERR BOOK_OLDER") << other;
    EXPECT_TRUE(pc.Lines.empty()) << other;
  }
  Say(pc, "BOOKGET " + AsciiUpper(book));
  EXPECT_EQ(Take(pc), "BOOK 1000 0 2 QUFB");
  EXPECT_EQ(Take(pc), "BOOK 1000 1 2 QkJC");

  for (const std::string& bad :
       {"BOOKPUT " + book + " 1001 2 2 QUFB", "BOOKPUT " + book + " 1001 0 33 QUFB", "BOOKPUT " + book + " 0 0 1 QUFB",
        "BOOKPUT " + book + " 1001 0 1 no*base64", std::string("BOOKPUT short 1001 0 1 QUFB"), "BOOKPUT " + book + " 1001 0 1",
        "BOOKPUT " + book + " 1001 0 1 " + std::string(1001, 'A'), std::string("BOOKGET zz"),
        // A stamp more than a day ahead of the relay's clock, and one beyond 64 bits.
        "BOOKPUT " + book + " " + std::to_string(StampMs() + 86'400'001) + " 0 1 QUFB",
        "BOOKPUT " + book + " 18446744073709551616 0 1 QUFB"}) {
    Say(pc, bad);
    EXPECT_EQ(Take(pc), "ERR BOOK_BAD") << bad;
  }
}

TEST_F(RelayCoreTest, BookLimits) {
  FConfig.MaxBooks = 1;
  FConfig.BookLinesPerMinute = 4;
  Restart();
  TPc& pc = Online(kIpA, 5000);
  Say(pc, "BOOKPUT " + std::string(64, 'a') + " 5 0 1 QUFB");
  EXPECT_EQ(Take(pc), "BOOKPART OK 5 0");
  EXPECT_EQ(Take(pc), "BOOKPUT OK 5");
  Say(pc, "BOOKPUT " + std::string(64, 'b') + " 5 0 1 QUFB");
  EXPECT_EQ(Take(pc), "BOOKPART OK 5 0");
  EXPECT_EQ(Take(pc), "ERR BOOK_FULL");
  Say(pc, "BOOKGET " + std::string(64, 'a'));
  Take(pc);
  Say(pc, "BOOKGET " + std::string(64, 'a'));
  Take(pc);
  Say(pc, "BOOKGET " + std::string(64, 'a'));
  EXPECT_EQ(Take(pc), "ERR BOOK_RATE");
  FClock.Advance(60'000);
  Say(pc, "BOOKGET " + std::string(64, 'a'));
  EXPECT_EQ(Take(pc), "BOOK 5 0 1 QUFB");
}

TEST_F(RelayCoreTest, PairingOfferWorksOnceForTenMinutes) {
  TPc& a = Online(kIpA, 5000);
  TPc& b = Online(kIpB, 5000);
  const std::string id(32, 'C');
  Say(a, "BOOKPAIR PUT " + id + " QUJDRA==");
  EXPECT_EQ(Take(a), "BOOKPAIR OK " + id);
  Say(b, "BOOKPAIR GET " + AsciiLower(id));
  EXPECT_EQ(Take(b), "BOOKPAIR DATA " + AsciiLower(id) + " QUJDRA==");
  Say(b, "BOOKPAIR GET " + id);
  EXPECT_EQ(Take(b), "BOOKPAIR NONE " + id);
  Say(a, "BOOKPAIR PUT " + id + " QUJDRA==");
  Take(a);
  FClock.Advance(600'001);
  Say(b, "BOOKPAIR GET " + id);
  EXPECT_EQ(Take(b), "BOOKPAIR NONE " + id);
  for (const std::string& bad : {"BOOKPAIR PUT " + id, std::string("BOOKPAIR PUT xyz QUJD"), "BOOKPAIR TAKE " + id,
                                 "BOOKPAIR PUT " + id + " " + std::string(1025, 'A')}) {
    Say(a, bad);
    EXPECT_EQ(Take(a), "ERR BOOKPAIR_BAD") << bad;
  }
}

TEST_F(RelayCoreTest, PairingLimits) {
  FConfig.MaxPairOffers = 1;
  FConfig.PairOpsPerMinute = 3;
  Restart();
  TPc& a = Online(kIpA, 5000);
  Say(a, "BOOKPAIR PUT " + std::string(32, 'A') + " QUJD");
  EXPECT_EQ(Take(a), "BOOKPAIR OK " + std::string(32, 'A'));
  Say(a, "BOOKPAIR PUT " + std::string(32, 'B') + " QUJD");
  EXPECT_EQ(Take(a), "ERR BOOKPAIR_FULL");
  Say(a, "BOOKPAIR GET " + std::string(32, 'B'));
  Take(a);
  Say(a, "BOOKPAIR GET " + std::string(32, 'B'));
  EXPECT_EQ(Take(a), "ERR BOOKPAIR_RATE");
}

TEST_F(RelayCoreTest, ReportsAndFeedbackAreAssembledStoredThenConfirmed) {
  TPc& pc = Online(kIpA, 5000);
  const std::string text = "Kind\nme@example.com\n123\nPlease add a dark mode.";
  const std::string b64 = Base64Encode(BytesOf(text));
  const std::string p0 = b64.substr(0, 20), p1 = b64.substr(20);
  Say(pc, "FEEDBACK 0a1b2c3d 1 2 " + p1);
  EXPECT_TRUE(pc.Lines.empty());
  Say(pc, "FEEDBACK 0A1B2C3D 0 2 " + p0);
  EXPECT_EQ(Take(pc), "FEEDBACK OK 0A1B2C3D");
  ASSERT_EQ(FStore->Feedback(10).size(), 1u);
  EXPECT_EQ(FStore->Feedback(10)[0].Payload, b64);
  ASSERT_EQ(FMailed.size(), 1u);
  EXPECT_EQ(FMailed[0].MsgID, "0a1b2c3d");

  Say(pc, "REPORT deadbeef 0 1 " + b64);
  EXPECT_EQ(Take(pc), "REPORT OK deadbeef");
  Say(pc, "REPORT deadbeef 0 1 " + b64);  // resent after a lost answer: confirmed, stored once
  EXPECT_EQ(Take(pc), "REPORT OK deadbeef");
  ASSERT_EQ(FStore->Reports(10).size(), 1u);
  EXPECT_EQ(FStore->Reports(10)[0].Sender, pc.ID);

  struct TCase {
    std::string Line, Answer;
  } cases[] = {
      {"REPORT 12345678 0 9 QUFB", "ERR REPORT_SIZE"},
      {"REPORT 12345678 0 1 " + std::string(801, 'A'), "ERR REPORT_SIZE"},
      {"REPORT 1234567 0 1 QUFB", "ERR REPORT_BAD"},
      {"REPORT 12345678 1 1 QUFB", "ERR REPORT_BAD"},
      {"REPORT 12345678 0 1 QUF", "ERR REPORT_BAD"},  // not whole Base64
      {"FEEDBACK 12345678 0 9 QUFB", "ERR FEEDBACK_SIZE"},
      {"FEEDBACK 12345678 x 1 QUFB", "ERR FEEDBACK_BAD"},
  };
  for (const auto& c : cases) {
    Say(pc, c.Line);
    EXPECT_EQ(Take(pc), c.Answer) << c.Line;
  }
  TPc& fresh = NewPc(kIpC, 1);
  Secure(fresh);
  Say(fresh, "REPORT 12345678 0 1 QUFB");
  EXPECT_EQ(Take(fresh), "ERR REPORT_NOT_READY");
}

// The client resends a whole message when the relay's answer got lost: it is confirmed again, kept
// once, mailed once, and kept without the sending PC's ID.
TEST_F(RelayCoreTest, ResentFeedbackIsStoredAndMailedOnceWithoutTheSender) {
  TPc& pc = Online(kIpA, 5000);
  const std::string b64 = Base64Encode(BytesOf(std::string("idea\n\n5\nMore themes")));
  for (int i = 0; i < 2; ++i) {
    Say(pc, "FEEDBACK 0a1b2c3d 0 1 " + b64);
    EXPECT_EQ(Take(pc), "FEEDBACK OK 0a1b2c3d");
  }
  ASSERT_EQ(FStore->Feedback(10).size(), 1u);
  EXPECT_EQ(FMailed.size(), 1u);
  EXPECT_EQ(FStore->Feedback(10)[0].Sender, "0");
  EXPECT_EQ(FMailed[0].Sender, "0");
}

TEST(RelayFeedbackMail, TheAddressIsCheckedBeforeTheMailCommandGetsIt) {
  const struct {
    const char* Address;
    bool Valid;
  } cases[] = {
      {"ann@example.com", true},  {"a@b.c", true},           {"abcd", false},
      {"ann@example", false},     {"ann@@example.com", false}, {"@example.com", false},
      {"a@b@example.com", false}, {"ann@example.com\rBcc: x@y.z", false},
      {"ann <a@b.com>", false},   {"a,b@example.com", false},  {"ann@example.", false},
      {"\xC3\xA9va@exemple.fr", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidEmail(c.Address), c.Valid) << c.Address;
    std::string email = "stale";
    const std::string text = std::string("idea\n") + c.Address + "\n5\nHello\nworld";
    const std::string mail = FeedbackTextForMail(text, &email);
    EXPECT_EQ(mail, c.Valid ? text : std::string("idea\n\n5\nHello\nworld")) << c.Address;
    EXPECT_EQ(email, c.Valid ? std::string(c.Address) : std::string()) << c.Address;
  }
}

TEST_F(RelayCoreTest, FeedbackRateAndStoreFailure) {
  TPc& pc = Online(kIpA, 5000);
  for (int i = 0; i < 5; ++i) {
    Say(pc, "FEEDBACK 0000000" + std::to_string(i) + " 0 1 QUFB");
    EXPECT_EQ(Take(pc), "FEEDBACK OK 0000000" + std::to_string(i));
  }
  Say(pc, "FEEDBACK 00000009 0 1 QUFB");
  EXPECT_EQ(Take(pc), "ERR FEEDBACK_RATE");
  FClock.Advance(3'600'000);
  FMemStore.FFailWrites = true;
  Say(pc, "FEEDBACK 00000009 0 1 QUFB");
  EXPECT_EQ(Take(pc), "ERR FEEDBACK_STORE");
  Say(pc, "REPORT 00000009 0 1 QUFB");
  EXPECT_EQ(Take(pc), "ERR REPORT_NOT_READY");  // kept by the client for a later try
}

TEST_F(RelayCoreTest, LinesThatAreNotUnderstoodHarmNobody) {
  TPc& a = Online(kIpA, 5000);
  TPc& b = Online(kIpB, 5000);
  Say(b, "CONNECT " + a.ID + " 1.2.3.4 5 " + b.C.CommitHex());
  a.Lines.clear();
  b.Lines.clear();
  for (const std::string& junk : {std::string(""), std::string("   "), std::string("WHAT 1 2"),
                                  std::string("SESSION"), std::string("SESSION START x Q"), std::string(9000, 'x'),
                                  std::string("\xff\xfe bad utf8")}) {
    Say(a, junk);
  }
  EXPECT_TRUE(a.Lines.empty());
  EXPECT_TRUE(b.Lines.empty());
  EXPECT_EQ(FCore->Stats().Pairs, 1u);
  EXPECT_EQ(FCore->IDOf(b.Ep), b.ID);
}

}  // namespace
}  // namespace tovik::test
