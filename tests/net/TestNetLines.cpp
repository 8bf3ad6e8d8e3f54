// Relay lines and the small parsers of the client: routing of every line, ID lines, PORTS, PIN errors,
// port lists, ID grouping, the pinned key text and malformed handshake replies.
#include <gtest/gtest.h>

#include "sim/TovikSimClient.h"
#include "sim/TovikSimRelay.h"

using namespace tovik;
using namespace tovik::sim;

namespace {

struct LineFixture : ::testing::Test {
  TSimNet Net;
  TSimHost& Host = Net.AddHost("203.0.113.10");
  std::unique_ptr<TSimPC> PC;
  void SetUp() override {
    TcpPortsText = "8443,443,80";
    TcpPortsChanged = false;
    PC = std::make_unique<TSimPC>(Net, Host, "203.0.113.1", 47800);
    PC->Start();
  }
};

struct TRouteCase {
  const char* Line;
  const char* Event;  // which recorder gets the whole line; "log" for a "Server error: " line; "" none
};

TEST_F(LineFixture, EveryLineGoesWhereItBelongs) {
  const TRouteCase cases[] = {
      {"FEEDBACK OK 0a1b2c3d", "reply"},      {"REPORTASK 5 1 2 1 123456789", "reply"},
      {"REPORT OK 0a1b2c3d", "reply"},        {"ERR FEEDBACK_RATE", "reply"},
      {"ERR REPORT_RATE", "reply"},           {"BRAND - 1 -", "brand"},
      {"LOGO ABCD 0 1 QUJD", "brand"},        {"BOOK 1 0 1 QUJD", "book"},
      {"BOOKPART OK 1 0", "book"},            {"BOOKPUT OK 1", "book"},
      {"BOOKPAIR NONE x", "book"},            {"ERR BOOK_FULL", "book"},
      {"ERR BOOKPAIR_RATE", "book"},          {"ERR SOMETHING", "log"},
      {"HELLO 1 2 3", ""},                    {"REPORTX 1", ""},
      {"ERR REPORTX", "log"},
  };
  for (const TRouteCase& c : cases) {
    PC->Reply.clear();
    PC->Brand.clear();
    PC->Book.clear();
    PC->Logs.clear();
    PC->C().HandleServerLine(c.Line, Net.Now());
    const std::string ev = c.Event;
    EXPECT_EQ(PC->Reply.size(), ev == "reply" ? 1u : 0u) << c.Line;
    EXPECT_EQ(PC->Brand.size(), ev == "brand" ? 1u : 0u) << c.Line;
    EXPECT_EQ(PC->Book.size(), ev == "book" ? 1u : 0u) << c.Line;
    EXPECT_EQ(PC->Logged(std::string("Server error: ") + c.Line), ev == "log") << c.Line;
  }
}

// Relay text in log lines: nothing in it can start a line of its own or hide what follows.
TEST_F(LineFixture, RelayTextIsEscapedInLogLines) {
  struct Case { std::string Line; const char* Logged; };
  const Case cases[] = {
      {"ERR X\x1B[2J\x07", "Server error: ERR X?[2J?"},
      {"ERR X\rYour session was allowed", "Server error: ERR X?Your session was allowed"},
      {"ERR X\xE2\x80\xAE" "dne", "Server error: ERR X?dne"},
      {"ERR PIN BAD\x1B", "The server did not accept the request to keep this ID. (ERR PIN BAD?)"},
  };
  for (const Case& k : cases) {
    PC->Logs.clear();
    PC->C().HandleServerLine(k.Line, Net.Now());
    EXPECT_TRUE(PC->Logged(k.Logged)) << k.Logged << (PC->Logs.empty() ? std::string() : " / " + PC->Logs.back());
  }
}

TEST_F(LineFixture, IDLinesSetExpiryAndFireOnce) {
  auto& c = PC->C();
  c.HandleServerLine("ID 123456789 600", Net.Now());
  EXPECT_EQ(c.MyID(), "123456789");
  EXPECT_EQ(c.State(), rsRegistered);
  EXPECT_EQ(c.IDSecondsLeft(), 600);
  EXPECT_TRUE(PC->Logged("My ID is 123 456 789"));
  c.HandleServerLine("ID 123456789 600", Net.Now());
  EXPECT_EQ(PC->IDs, 1);
  c.HandleServerLine("ID 123456789 pinned", Net.Now());
  EXPECT_TRUE(c.IDPinned());
  EXPECT_EQ(c.IDSecondsLeft(), 0);
  c.HandleServerLine("ID 123456789 0", Net.Now());
  EXPECT_FALSE(c.IDPinned());
  EXPECT_EQ(c.IDSecondsLeft(), 0);
  c.HandleServerLine("ID 123456789 99999999999999999999999", Net.Now());  // clamped, not wrapped
  EXPECT_GT(c.IDSecondsLeft(), 600);
  c.HandleServerLine("ID 12x", Net.Now());                                // not an ID: ignored
  c.HandleServerLine("ID", Net.Now());
  EXPECT_EQ(c.MyID(), "123456789");
  EXPECT_EQ(PC->IDs, 1);
}

TEST_F(LineFixture, PortsLineChangesTheFallbackListOnce) {
  auto& c = PC->C();
  c.HandleServerLine("PORTS 443", Net.Now());  // two fields: ignored
  EXPECT_FALSE(TcpPortsChanged);
  c.HandleServerLine("PORTS TCP 443", Net.Now());
  EXPECT_TRUE(TcpPortsChanged);
  EXPECT_EQ(TcpPortsText, "443");
  EXPECT_EQ(c.TcpPorts(), (std::vector<std::uint16_t>{443}));
  EXPECT_TRUE(PC->Logged("The server's TCP fallback ports: 443"));
  TcpPortsChanged = false;
  c.HandleServerLine("PORTS TCP 443", Net.Now());
  EXPECT_FALSE(TcpPortsChanged);
}

TEST_F(LineFixture, PinErrorsDropTheRequestWithTheirMessage) {
  auto& c = PC->C();
  c.HandleServerLine("ID 123456789 600", Net.Now());
  c.PinID("123456789", std::string(64, 'b'));
  c.HandleServerLine("ERR PIN NOT_READY", Net.Now());
  EXPECT_TRUE(PC->Pins.empty());
  c.HandleServerLine("ERR PIN TAKEN", Net.Now());
  c.HandleServerLine("ERR PIN WHATEVER", Net.Now());
  ASSERT_EQ(PC->Pins.size(), 2u);
  EXPECT_EQ(PC->Pins[0], "FAIL That ID is kept by another PC; this PC keeps its own ID instead.");
  EXPECT_EQ(PC->Pins[1], "FAIL The server did not accept the request to keep this ID.");
  EXPECT_TRUE(PC->Logged(
      "That ID is kept by another PC; this PC keeps its own ID instead. (ERR PIN TAKEN)"));
  c.HandleServerLine("PIN OK 123456789", Net.Now());
  EXPECT_TRUE(c.IDPinned());
  EXPECT_EQ(PC->Pins.back(), "OK 123456789");
}

TEST_F(LineFixture, ConnectErrorsDuringAnAttemptReturnToRegistered) {
  auto& c = PC->C();
  c.HandleServerLine("ID 123456789 600", Net.Now());
  const std::pair<const char*, const char*> cases[] = {
      {"ERR UNKNOWN_ID", "That ID is not online."},
      {"ERR RATE_LIMIT", "Too many wrong IDs. Wait a minute and try again."},
      {"ERR SELF", "That is your own ID."},
  };
  for (auto [line, message] : cases) {
    c.HandleServerLine(line, Net.Now());
    EXPECT_EQ(PC->Failed.back(), message);
    EXPECT_EQ(c.State(), rsRegistered);
  }
}

TEST(NetFunctions, ParsePortListFormatIDAndPortListText) {
  EXPECT_EQ(ParsePortList("443; 80,443 ,0,70000,8443,81,82"), (std::vector<std::uint16_t>{443, 80, 8443, 81}));
  EXPECT_EQ(ParsePortList(""), std::vector<std::uint16_t>{});
  EXPECT_EQ(ParsePortList("x,-5,99999999999999999999,22"), std::vector<std::uint16_t>{22});
  EXPECT_EQ(PortListText({}), "0");
  EXPECT_EQ(PortListText({8443, 443, 80}), "8443,443,80");
  EXPECT_EQ(FormatID("123456789"), "123 456 789");
  EXPECT_EQ(FormatID("12345"), "12345");
  EXPECT_EQ(FormatID("12345678x"), "12345678x");  // nine characters but not an ID
}

TEST(NetFunctions, PinnedKeyTextMustBeExactly64Bytes) {
  TSimNet net;
  TSimHost& h = net.AddHost("203.0.113.10");
  const std::string good = BytesToHex(TEcdsaKey::CreateNew().Public());
  const std::pair<std::string, bool> cases[] = {
      {good, true}, {"  " + good + "\t", true}, {good.substr(1), false}, {good + "A", false},
      {"G" + good.substr(1), false}, {"", false},
  };
  for (const auto& [text, pinned] : cases) {
    TTovikClient c(h.Backend(), "203.0.113.1", 47800, text);
    EXPECT_EQ(c.RelayFingerprint() != "(none)", pinned) << text;
  }
}

// Malformed handshake replies are ignored; the handshake stays pending and is repeated.
TEST(NetFunctions, MalformedHandshakeRepliesAreIgnored) {
  TSimNet net;
  TSimHost& rh = net.AddHost("203.0.113.1");
  TSimHost& h = net.AddHost("203.0.113.10");
  std::vector<TBytes> hellos;
  rh.BindUdp(47800, [&](const TRxPacket& p) { hellos.push_back(p.Data); });
  TSimPC pc(net, h, "203.0.113.1", 47800);
  pc.Start();
  net.RunFor(100);
  ASSERT_EQ(hellos.size(), 1u);
  ASSERT_EQ(hellos[0].size(), 82u);
  EXPECT_EQ(hellos[0][0], 0x10);
  // A genuine reply built by hand, then damaged in each way.
  TEcdsaKey key = TEcdsaKey::CreateNew();
  TEcdhKey eph;
  const TByteView cpub = TByteView(hellos[0]).subspan(2, 64), crnd = TByteView(hellos[0]).subspan(66, 16);
  TBytes reply{0x11, 0x01};
  Append(reply, eph.Public());
  Append(reply, key.Public());
  Append(reply, key.Sign(RelayTranscript(cpub, crnd, eph.Public(), key.Public())));
  auto send = [&](TBytes d) { pc.C().DispatchPacket(TRxPacket{std::move(d), "203.0.113.1", 47800}, net.Now()); };
  TBytes v2 = reply;
  v2[1] = 2;
  TBytes badSig = reply;
  badSig.back() ^= 1;
  TBytes shortOne(reply.begin(), reply.end() - 1);
  TBytes longOne = reply;
  longOne.push_back(0);
  for (const TBytes& d : {v2, badSig, shortOne, longOne}) send(d);
  pc.C().DispatchPacket(TRxPacket{reply, "203.0.113.99", 47800}, net.Now());  // not from the relay
  EXPECT_FALSE(pc.C().RelaySecure());
  EXPECT_TRUE(pc.Pinned.empty());
  send(reply);
  EXPECT_TRUE(pc.C().RelaySecure());
  EXPECT_EQ(pc.Pinned.size(), 1u);
  send(reply);  // while a session exists: ignored
  EXPECT_EQ(pc.Pinned.size(), 1u);
  // A sealed line that does not open does not count as a sign of life; 0x13 drops the session.
  send(TBytes(40, 0x12));
  net.RunFor(66'000);
  EXPECT_TRUE(pc.Logged("Lost contact with the server, reconnecting..."));
}

}  // namespace
