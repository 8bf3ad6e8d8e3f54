// The connection test's steps: STUN parsing and the NAT verdict, judging relay answers (signed, an
// echoed key without a valid signature, a web server), and whole runs over a fake network on a
// virtual clock.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "crypto/TovikCrypto.h"
#include "diag/TovikDiag.h"
#include "net/TovikRelayHello.h"
#include "net/TovikWire.h"

namespace tovik {
namespace {

const TBytes kTid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

TBytes StunHeader(std::uint16_t type, const TBytes& tid = kTid) {
  TBytes h = {std::uint8_t(type >> 8), std::uint8_t(type), 0, 0, 0x21, 0x12, 0xA4, 0x42};
  Append(h, tid);
  return h;
}
TBytes Attr(std::uint16_t type, const TBytes& value) {
  TBytes a = {std::uint8_t(type >> 8), std::uint8_t(type), std::uint8_t(value.size() >> 8), std::uint8_t(value.size())};
  Append(a, value);
  while (a.size() % 4) a.push_back(0);
  return a;
}
TBytes Mapped(std::uint8_t family, std::uint16_t port, std::array<std::uint8_t, 4> ip) {
  return {0, family, std::uint8_t(port >> 8), std::uint8_t(port), ip[0], ip[1], ip[2], ip[3]};
}
TBytes XorMapped(std::uint16_t port, std::array<std::uint8_t, 4> ip) {
  const std::uint16_t p = port ^ 0x2112;
  return {0, 1, std::uint8_t(p >> 8), std::uint8_t(p), std::uint8_t(ip[0] ^ 0x21), std::uint8_t(ip[1] ^ 0x12),
          std::uint8_t(ip[2] ^ 0xA4), std::uint8_t(ip[3] ^ 0x42)};
}
TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes out;
  for (const auto& p : parts) Append(out, p);
  return out;
}

TEST(DiagStun, ResponsesAreParsedByTheRules) {
  const TBytes ipv6 = {0, 2, 0x12, 0x34, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  TBytes truncated = Cat({StunHeader(0x0101), Attr(0x0001, Mapped(1, 40000, {198, 51, 100, 7}))});
  truncated.resize(truncated.size() - 3);
  const struct {
    const char* Name;
    TBytes Data;
    std::optional<std::string> Out;
  } cases[] = {
      {"mapped", Cat({StunHeader(0x0101), Attr(0x0001, Mapped(1, 40000, {198, 51, 100, 7}))}), "198.51.100.7:40000"},
      {"xor", Cat({StunHeader(0x0101), Attr(0x0020, XorMapped(40001, {203, 0, 113, 5}))}), "203.0.113.5:40001"},
      {"both: xor wins", Cat({StunHeader(0x0101), Attr(0x0001, Mapped(1, 1, {1, 1, 1, 1})),
                              Attr(0x0020, XorMapped(40001, {203, 0, 113, 5}))}),
       "203.0.113.5:40001"},
      {"xor first, mapped after", Cat({StunHeader(0x0101), Attr(0x0020, XorMapped(40001, {203, 0, 113, 5})),
                                       Attr(0x0001, Mapped(1, 1, {1, 1, 1, 1}))}),
       "203.0.113.5:40001"},
      {"truncated attribute", truncated, std::nullopt},
      {"ipv6 ignored", Cat({StunHeader(0x0101), Attr(0x0020, ipv6)}), std::nullopt},
      {"ipv6 then ipv4", Cat({StunHeader(0x0101), Attr(0x0020, ipv6), Attr(0x0001, Mapped(1, 9, {9, 9, 9, 9}))}),
       "9.9.9.9:9"},
      {"other transaction", Cat({StunHeader(0x0101, TBytes(12, 0)), Attr(0x0001, Mapped(1, 9, {9, 9, 9, 9}))}),
       std::nullopt},
      {"error response", Cat({StunHeader(0x0111), Attr(0x0001, Mapped(1, 9, {9, 9, 9, 9}))}), std::nullopt},
      {"short", TBytes(19, 1), std::nullopt},
      {"value too short", Cat({StunHeader(0x0101), Attr(0x0001, TBytes{0, 1, 0, 9})}), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseStunResponse(c.Data, kTid), c.Out) << c.Name;
  EXPECT_EQ(StunRequest(kTid), StunHeader(0x0001));
  std::string host;
  std::uint16_t port = 0;
  SplitStunServer("stun.example:x", host, port);
  EXPECT_EQ(host, "stun.example");
  EXPECT_EQ(port, 3478);
  SplitStunServer("stun.example:19302", host, port);
  EXPECT_EQ(port, 19302);
}

TEST(DiagStun, NatVerdicts) {
  using O = std::optional<std::string>;
  EXPECT_EQ(NatVerdict(O("203.0.113.5:40001"), O("203.0.113.5:40002")).rfind("Result: a SYMMETRIC NAT", 0), 0u);
  EXPECT_EQ(NatVerdict(O("203.0.113.5:40001"), O("203.0.113.5:40001")).rfind("Result: an easy NAT", 0), 0u);
  EXPECT_EQ(NatVerdict(O("203.0.113.5:40001"), O("203.0.113.6:40001")).rfind("Result: two different", 0), 0u);
  EXPECT_EQ(NatVerdict(O("203.0.113.5:40001"), std::nullopt), "Result: unknown (only one server answered).");
  EXPECT_EQ(NatVerdict(std::nullopt, std::nullopt).rfind("Result: unknown. UDP to the internet is blocked", 0), 0u);
}

// A relay reply to this hello, signed by relayKey (or by another key while showing relayKey).
TBytes Reply(const TBytes& hello, const TEcdsaKey& relayKey, const TEcdsaKey* signer = nullptr) {
  const TEcdhKey ecdh;
  const TByteView clientPub = TByteView(hello).subspan(2, 64), random = TByteView(hello).subspan(66, 16);
  TBytes r = {kWireHandshake, kWireVersion};
  Append(r, ecdh.Public());
  Append(r, relayKey.Public());
  Append(r, (signer ? *signer : relayKey).Sign(RelayTranscript(clientPub, random, ecdh.Public(), relayKey.Public())));
  return r;
}

// Trusted only when the key shown signed this hello: a host that echoes the known key with a signature
// it cannot make is not OK.
TEST(DiagJudge, TheRelayIsTrustedOnlyWhenItsSignatureVerifies) {
  const TEcdsaKey relay = TEcdsaKey::CreateNew(), other = TEcdsaKey::CreateNew();
  const std::string pinned = BytesToHex(relay.Public());
  const TRelayHello hello;
  EXPECT_EQ(JudgeRelayAnswer(hello, Reply(hello.Bytes(), relay), 12, pinned),
            "OK: the server answered in 12 ms, server key " + KeyFingerprint(relay.Public()) +
                " (the one this Tovik trusts)");
  EXPECT_EQ(JudgeRelayAnswer(hello, Reply(hello.Bytes(), relay, &other), 12, pinned),
            "an answer came back, but not from a Tovik server (194 bytes)");
  const TRelayHello earlier;
  EXPECT_EQ(JudgeRelayAnswer(hello, Reply(earlier.Bytes(), relay), 12, pinned),
            "an answer came back, but not from a Tovik server (194 bytes)");  // a replay of another hello
  EXPECT_EQ(JudgeRelayAnswer(hello, Reply(hello.Bytes(), other), 5, pinned),
            "OK: the server answered in 5 ms, server key " + KeyFingerprint(other.Public()) +
                " - DIFFERENT from the key this Tovik trusts (" + KeyFingerprint(relay.Public()) +
                "): Tovik will not use this server");
  EXPECT_EQ(JudgeRelayAnswer(hello, Reply(hello.Bytes(), relay), 5, ""),
            "OK: the server answered in 5 ms, server key " + KeyFingerprint(relay.Public()));
}

// A network where nothing answers, on a virtual clock that each wait moves on.
struct TDeadNet : IDiagNet {
  TTick Now = 0;
  bool NamesResolve = false;
  std::vector<std::string> Sent;
  struct TUdp : IDiagUdp {
    TDeadNet& N;
    explicit TUdp(TDeadNet& n) : N(n) {}
    bool SendTo(const std::string& ip, std::uint16_t port, TByteView, std::string&) override {
      N.Sent.push_back(ip + ":" + std::to_string(port));
      return true;
    }
    std::optional<TDiagDatagram> Receive(std::int64_t timeoutMs, std::size_t) override {
      // A stranger's datagram first: never judged.
      if (!N.Stranger) {
        N.Stranger = true;
        return TDiagDatagram{TBytes(194, 0x11), "192.0.2.99", 1};
      }
      N.Now += static_cast<TTick>(timeoutMs);
      return std::nullopt;
    }
  };
  bool Stranger = false;
  std::vector<std::string> LocalAddresses() override { return {}; }
  bool Resolve(const std::string&, std::string& ip, std::string& error) override {
    Now += 100;
    if (NamesResolve) {
      ip = "192.0.2.1";
      return true;
    }
    error = "no such host";
    return false;
  }
  std::unique_ptr<IDiagUdp> OpenUdp(std::string&) override { return std::make_unique<TUdp>(*this); }
  std::unique_ptr<IDiagTcp> ConnectTcp(const std::string&, std::uint16_t, std::int64_t timeoutMs,
                                       std::string& error) override {
    Now += static_cast<TTick>(timeoutMs);
    error = "timed out";
    return nullptr;
  }
  bool HttpHead(const std::string&, std::int64_t timeoutMs, int&, std::string& error) override {
    Now += static_cast<TTick>(timeoutMs);
    error = "timed out";
    return false;
  }
};

std::vector<std::string> RunOn(TDeadNet& net, TDiagSetup setup, std::function<bool()> stopped = [] { return false; }) {
  std::vector<std::string> lines;
  RunDiag(setup, net, [&] { return net.Now; }, stopped, [&](const std::string& l) { lines.push_back(l); },
          "2026-01-02 03:04:05");
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

TEST(DiagRun, EverythingUnreachableEndsWithinAMinute) {
  TDeadNet net;
  TDiagSetup setup;
  setup.Host = "relay.example";
  setup.UdpPort = 5000;
  setup.TcpPorts = {443, 80};
  setup.UpdateUrl = "http://updates.example/";
  setup.State = "Offline";
  auto lines = RunOn(net, setup);
  EXPECT_EQ(lines.front(), "Tovik connection test, 2026-01-02 03:04:05");
  EXPECT_TRUE(Has(lines, "Local addresses: none (no network?)"));
  EXPECT_TRUE(Has(lines, "FAILED: relay.example cannot be found (no such host)."));
  EXPECT_TRUE(Has(lines, "[Server over the TCP fallback, port 80]"));
  EXPECT_TRUE(Has(lines, "Result: unknown. UDP to the internet is blocked"));
  EXPECT_TRUE(Has(lines, "http://updates.example/: FAILED (timed out)"));
  EXPECT_EQ(lines.back(), "End of the test.");
  EXPECT_LT(net.Now, 60'000u);

  // The name resolves but nothing answers: three UDP tries, each port fails, and a stranger's datagram
  // is never taken for the relay's answer.
  TDeadNet silent;
  silent.NamesResolve = true;
  lines = RunOn(silent, setup);
  EXPECT_TRUE(Has(lines, "NO ANSWER after 3 tries. UDP 5000 is blocked"));
  EXPECT_FALSE(Has(lines, "an answer came back"));
  EXPECT_TRUE(Has(lines, "FAILED to connect (timed out). TCP 443 is closed"));
  EXPECT_EQ(std::count(silent.Sent.begin(), silent.Sent.end(), "192.0.2.1:5000"), 3);
  EXPECT_LT(silent.Now, 60'000u);

  // Asked to stop: no further step starts.
  TDeadNet stopped;
  lines = RunOn(stopped, setup, [] { return true; });
  EXPECT_FALSE(Has(lines, "[Name lookup]"));
  EXPECT_EQ(lines.back(), "End of the test.");
}

}  // namespace
}  // namespace tovik
