// The desktop broker's protocol: a connection's replies and refusals, who may connect, and the client
// in the interactive program against an in-memory broker.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikClock.h"
#include "service/TovikBroker.h"
#include "service/TovikBrokerClient.h"
#include "service/TovikBrokerWire.h"

namespace tovik {
namespace {

struct TFakeDesktop final : IBrokerDesktop {
  std::vector<TMonitorInfo> Mons{{"A", {0, 0, 1920, 1080}, true}, {"B", {1920, 0, 1280, 1024}, false}};
  std::vector<TRect> Areas;
  std::vector<TInputEvent> Injected;
  std::vector<bool> Markers;
  TBytes Update = BytesOf("tiles");
  int Captures = 0;

  std::vector<TMonitorInfo> Monitors() override { return Mons; }
  void SetArea(const TRect& AArea) override { Areas.push_back(AArea); }
  TBytes CaptureUpdate(bool) override {
    ++Captures;
    return Update;
  }
  void InjectInput(const TInputEvent& AEvent) override { Injected.push_back(AEvent); }
  void ShowHelpedMarker(bool AOn) override { Markers.push_back(AOn); }
};

// A connection fed the way the socket side feeds it: exactly Want() bytes at a time.
struct TConnFixture {
  TFakeDesktop Desk;
  std::vector<std::string> Log;
  std::unique_ptr<TBrokerConnection> Conn = NewConn();

  std::unique_ptr<TBrokerConnection> NewConn() {
    return std::make_unique<TBrokerConnection>(Desk, [this](const std::string& l) { Log.push_back(l); });
  }
  // Feeds ABytes; returns every reply written. Bytes left when the connection ends are not read.
  TBytes Feed(const TBytes& ABytes, std::size_t* AUnread = nullptr) {
    TBytes out;
    std::size_t at = 0;
    while (Conn->Want() > 0 && at + Conn->Want() <= ABytes.size()) {
      const std::size_t n = Conn->Want();
      Append(out, Conn->Take(TByteView(ABytes).subspan(at, n)));
      at += n;
    }
    if (AUnread) *AUnread = ABytes.size() - at;
    return out;
  }
};

TBytes Reply(TBrokerStatus AStatus, const TBytes& APayload = {}) {
  TBytes r = EncodeBrokerHeader(AStatus, static_cast<std::uint32_t>(APayload.size()));
  Append(r, APayload);
  return r;
}

TBytes Concat(std::initializer_list<TBytes> AParts) {
  TBytes out;
  for (const TBytes& p : AParts) Append(out, p);
  return out;
}

TBytes RawRequest(std::uint8_t AKind, std::uint32_t ADeclared, std::size_t AActual) {
  TBytes r = EncodeBrokerHeader(AKind, ADeclared);
  r.resize(r.size() + AActual, 0);
  return r;
}

TBytes AllowValue(std::uint8_t AValue) {
  TBytes r = EncodeBrokerHeader(bkAllow, 1);
  r.push_back(AValue);
  return r;
}

TBytes AreaRequest(std::uint8_t AKind, std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b) {
  TBytes req = EncodeBrokerHeader(AKind, static_cast<std::uint32_t>(*BrokerPayloadLength(AKind)));
  req.resize(req.size() + (AKind == bkCapture ? 1 : kBrokerInputEventBytes), 0);
  for (std::int32_t v : {l, t, r, b}) PutU32LE(req, static_cast<std::uint32_t>(v));
  return req;
}

TEST(BrokerConnection, RequestsGetThePartsStatusAndReason) {
  const TInputEvent ev{7, ikButtonDown, 100, 200, 1};
  struct TCase {
    const char* What;
    TBytes Requests;
    TBytes Replies;
    const char* LogHas;  // in the last log line; nullptr = nothing logged
    bool Open;           // the connection goes on
    std::size_t Unread;  // bytes the broker never read
  } cases[] = {
      {"capture before allow", EncodeCaptureRequest(false, {}), Reply(bsRefused),
       "capture before an allow on this connection", true, 0},
      {"input before allow", EncodeInputRequest(ev, {}), Reply(bsRefused), "input before an allow", true, 0},
      {"capture after allow", Concat({EncodeAllowRequest(true), EncodeCaptureRequest(true, {})}),
       Concat({Reply(bsDone), Reply(bsDone, BytesOf("tiles"))}), nullptr, true, 0},
      {"allow then disallow then capture",
       Concat({EncodeAllowRequest(true), EncodeAllowRequest(false), EncodeCaptureRequest(false, {})}),
       Concat({Reply(bsDone), Reply(bsDone), Reply(bsRefused)}), "capture before an allow", true, 0},
      {"capture of the second monitor", Concat({EncodeAllowRequest(true), AreaRequest(bkCapture, 1920, 0, 3200, 1024)}),
       Concat({Reply(bsDone), Reply(bsDone, BytesOf("tiles"))}), nullptr, true, 0},
      {"capture of a rectangle that is not a monitor",
       Concat({EncodeAllowRequest(true), AreaRequest(bkCapture, 0, 0, 4000, 3000)}),
       Concat({Reply(bsDone), Reply(bsRefused)}), "capture area 0,0 4000x3000 is not a monitor of this display", true,
       0},
      {"input with a rectangle inside a monitor", Concat({EncodeAllowRequest(true), AreaRequest(bkInput, 10, 10, 20, 20)}),
       Concat({Reply(bsDone), Reply(bsRefused)}), "input area 10,10 10x10 is not a monitor", true, 0},
      {"capture with a width beyond 32 bits",
       Concat({EncodeAllowRequest(true), AreaRequest(bkCapture, -2'000'000'000, 0, 2'000'000'000, 10)}),
       Concat({Reply(bsDone), Reply(bsRefused)}), "capture area is not a rectangle", true, 0},
      {"allow value 2", AllowValue(2), Reply(bsRefused), "allow value 2", true, 0},
      {"ping", EncodePingRequest(), Reply(bsDone), nullptr, true, 0},
      {"capture declaring 16 bytes", RawRequest(bkCapture, 16, 16), Reply(bsRefused),
       "kind 1 with 16 payload bytes instead of 17", false, 16},
      {"capture declaring 18 bytes", RawRequest(bkCapture, 18, 18), Reply(bsRefused),
       "kind 1 with 18 payload bytes instead of 17", false, 18},
      {"ping with a payload", RawRequest(bkPing, 3, 3), Reply(bsRefused), "kind 4 with 3 payload bytes instead of 0",
       false, 3},
      {"unknown kind", RawRequest(9, 4, 4), Reply(bsRefused), "unknown kind 9", false, 4},
      {"declared length over the limit", RawRequest(bkCapture, kBrokerMaxPayload + 1, 8), {},
       "declares 16777217 bytes, more than 16777216", false, 8},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TConnFixture f;
    std::size_t unread = 0;
    EXPECT_EQ(f.Feed(c.Requests, &unread), c.Replies);
    EXPECT_EQ(unread, c.Unread);
    EXPECT_EQ(f.Conn->Want() > 0, c.Open);
    if (c.LogHas) {
      ASSERT_FALSE(f.Log.empty());
      EXPECT_NE(f.Log.back().find(c.LogHas), std::string::npos) << f.Log.back();
    } else {
      EXPECT_TRUE(f.Log.empty()) << f.Log.front();
    }
  }
}

TEST(BrokerConnection, AllowanceEndsWithTheConnectionAndAreaFollowsTheRequests) {
  TConnFixture f;
  const TInputEvent ev{3, ikKeyDown, 0, 0, 65};
  f.Feed(Concat({EncodeAllowRequest(true), EncodeInputRequest(ev, {}), AreaRequest(bkCapture, 1920, 0, 3200, 1024),
                 AreaRequest(bkCapture, 1920, 0, 3200, 1024)}));
  ASSERT_EQ(f.Desk.Injected.size(), 1u);
  EXPECT_EQ(f.Desk.Injected[0], ev);
  // The area is set once per change, not per request.
  EXPECT_EQ(f.Desk.Areas, (std::vector<TRect>{{}, {1920, 0, 1280, 1024}}));
  EXPECT_EQ(f.Desk.Markers, std::vector<bool>{true});
  EXPECT_TRUE(f.Conn->Allowed());

  // The client goes away and comes back: refused until it allows again, and the marker went off.
  f.Conn->Close();
  EXPECT_EQ(f.Desk.Markers, (std::vector<bool>{true, false}));
  f.Conn = f.NewConn();
  EXPECT_EQ(f.Feed(EncodeCaptureRequest(false, {})), Reply(bsRefused));
  EXPECT_EQ(f.Feed(Concat({EncodeAllowRequest(true), EncodeCaptureRequest(false, {})})),
            Concat({Reply(bsDone), Reply(bsDone, BytesOf("tiles"))}));
}

TEST(BrokerConnection, NeverWritesAReplyOverTheLimit) {
  TConnFixture f;
  f.Desk.Update.assign(kBrokerMaxPayload + 1, 0x55);
  EXPECT_EQ(f.Feed(Concat({EncodeAllowRequest(true), EncodeCaptureRequest(false, {})})),
            Concat({Reply(bsDone), Reply(bsRefused)}));
  EXPECT_NE(f.Log.back().find("over the limit"), std::string::npos);
}

TEST(BrokerClientCheck, OnlyTheSeatUsersOwnProgramIsServed) {
  const TBrokerPolicy policy{1000, {1000, 120}, "/usr/bin/tovik"};
  struct TCase {
    const char* What;
    TBrokerPeer Peer;
    const char* Reason;  // "" = served
  } cases[] = {
      {"the user's own program", {0, 4242, 1000, 0, "/usr/bin/tovik"}, ""},
      {"credentials unreadable", {22, 0, 0, 0, ""}, "Could not read client PID (error 22)"},
      {"another uid", {0, 4242, 1001, 0, "/usr/bin/tovik"}, "Client PID 4242 runs as uid 1001; this socket serves uid 1000"},
      {"root on the user's socket", {0, 4242, 0, 0, "/usr/bin/tovik"}, "Client PID 4242 runs as uid 0; this socket serves uid 1000"},
      {"executable unreadable", {0, 4242, 1000, 3, ""}, "Could not read image path for client PID 4242 (error 3)"},
      {"another executable", {0, 4242, 1000, 0, "/home/u/tovik"},
       "Client PID 4242 path \"/home/u/tovik\" differs from broker path \"/usr/bin/tovik\""},
      {"a deleted copy", {0, 4242, 1000, 0, "/usr/bin/tovik (deleted)"},
       "Client PID 4242 path \"/usr/bin/tovik (deleted)\" differs from broker path \"/usr/bin/tovik\""},
      {"a path with a line break", {0, 4242, 1000, 0, "/tmp/x\nDesktop broker pipe ready"},
       "Client PID 4242 path \"/tmp/x?Desktop broker pipe ready\" differs"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    const std::string reason = BrokerClientRejection(c.Peer, policy);
    if (*c.Reason == 0)
      EXPECT_EQ(reason, "");
    else
      EXPECT_EQ(reason.rfind(c.Reason, 0), 0u) << reason;
  }
  // A uid that owns no session on the seat (a remote login) is refused even on its own socket.
  EXPECT_EQ(BrokerClientRejection({0, 9, 2000, 0, "/usr/bin/tovik"}, {2000, {1000}, "/usr/bin/tovik"}),
            "Client PID 9 runs as uid 2000, which has no session on seat0");
}

// The client's transport wired straight to a broker connection in memory.
struct TMemTransport final : IBrokerTransport {
  struct TShared {
    TFakeDesktop Desk;
    std::unique_ptr<TBrokerConnection> Conn;
    bool BrokerUp = true;
    bool FailNextSend = false;
    int Connects = 0;
    std::vector<int> ConnectTimeouts, ExchangeTimeouts;  // as the client passed them
  };
  std::shared_ptr<TShared> S;
  std::deque<std::uint8_t> In;

  explicit TMemTransport(std::shared_ptr<TShared> AS) : S(std::move(AS)) {}
  bool Connected() const override { return S->Conn != nullptr; }
  bool Connect(int ATimeoutMs, int& AError) override {
    ++S->Connects;
    S->ConnectTimeouts.push_back(ATimeoutMs);
    if (!S->BrokerUp) {
      AError = 111;
      return false;
    }
    S->Conn = std::make_unique<TBrokerConnection>(S->Desk, nullptr);
    return true;
  }
  bool Send(TByteView AData, int ATimeoutMs, int& AError) override {
    S->ExchangeTimeouts.push_back(ATimeoutMs);
    if (!S->Conn || std::exchange(S->FailNextSend, false)) {
      AError = 32;
      return false;
    }
    std::size_t at = 0;
    while (S->Conn->Want() > 0 && at + S->Conn->Want() <= AData.size()) {
      const std::size_t n = S->Conn->Want();
      for (std::uint8_t b : S->Conn->Take(AData.subspan(at, n))) In.push_back(b);
      at += n;
    }
    return true;
  }
  bool Receive(std::uint8_t* AData, std::size_t ALength, int ATimeoutMs, int& AError) override {
    S->ExchangeTimeouts.push_back(ATimeoutMs);
    if (In.size() < ALength) {
      AError = 110;
      return false;
    }
    for (std::size_t i = 0; i < ALength; ++i, In.pop_front()) AData[i] = In.front();
    return true;
  }
  void Close() override {
    S->Conn.reset();
    In.clear();
  }
  std::string Name() const override { return "/run/tovik/desktop-1000.sock"; }
};

struct TClientFixture {
  TManualClock Clock;
  std::shared_ptr<TMemTransport::TShared> S = std::make_shared<TMemTransport::TShared>();
  std::vector<std::string> Log;
  TBrokerClient Client{std::make_unique<TMemTransport>(S), [this](const std::string& l) { Log.push_back(l); }};
};

TEST(BrokerClient, AllowIsCountedAndPickedUpAgainAfterABrokerRestart) {
  TClientFixture f;
  EXPECT_FALSE(f.Client.Capture(false, {}));  // not wanted: nothing is asked
  EXPECT_EQ(f.S->Connects, 0);
  f.Client.UseBroker(true);
  f.Client.UseBroker(true);
  EXPECT_TRUE(f.Client.InUse());
  EXPECT_EQ(f.Client.Capture(true, {}), BytesOf("tiles"));

  // The agent was replaced: the connection is gone; the next capture allows again on a new one.
  f.S->Conn.reset();
  EXPECT_FALSE(f.Client.Capture(false, {}));  // the send fails, the client lets go
  EXPECT_FALSE(f.Client.InUse());
  EXPECT_FALSE(f.Client.Capture(false, {}));  // and does not ask again at once
  EXPECT_EQ(f.S->Conn, nullptr);
  f.Clock.Advance(kBrokerRetryMs);
  EXPECT_EQ(f.Client.Capture(false, {}), BytesOf("tiles"));
  EXPECT_TRUE(f.Client.InUse());

  // One of the two sessions ends: still in use; the second ends: disallowed and closed.
  f.Client.UseBroker(false);
  EXPECT_TRUE(f.Client.InUse());
  f.Client.UseBroker(false);
  EXPECT_FALSE(f.Client.InUse());
  EXPECT_EQ(f.S->Conn, nullptr);
  EXPECT_EQ(f.S->Desk.Markers.back(), false);
  f.Client.UseBroker(false);  // never below zero
  f.Client.UseBroker(true);
  EXPECT_TRUE(f.Client.InUse());
}

TEST(BrokerClient, AMissingBrokerIsAskedAtMostOnceASecond) {
  TClientFixture f;
  f.S->BrokerUp = false;
  EXPECT_FALSE(f.Client.BrokerAvailable());
  EXPECT_FALSE(f.Client.BrokerAvailable());
  f.Client.UseBroker(true);
  EXPECT_FALSE(f.Client.Capture(false, {}));
  EXPECT_EQ(f.S->Connects, 1);
  ASSERT_EQ(f.Log.size(), 1u);
  EXPECT_EQ(f.Log[0], "No available broker socket /run/tovik/desktop-1000.sock (error 111)");

  f.S->BrokerUp = true;
  f.Clock.Advance(kBrokerRetryMs);
  EXPECT_EQ(f.Client.Capture(false, {}), BytesOf("tiles"));
  EXPECT_TRUE(f.Client.BrokerAvailable());
}

TEST(BrokerClient, EveryTransportCallGetsItsTimeOut) {
  struct Case {
    const char* What;
    std::optional<TBrokerTimeouts> Given;
    int Connect, Exchange;
  };
  const Case cases[] = {
      {"defaults", std::nullopt, kBrokerConnectTimeoutMs, kBrokerExchangeTimeoutMs},
      {"widened", TBrokerTimeouts{4000, 9000}, 4000, 9000},
  };
  for (const Case& c : cases) {
    TManualClock clock;
    auto s = std::make_shared<TMemTransport::TShared>();
    auto client = c.Given ? std::make_unique<TBrokerClient>(std::make_unique<TMemTransport>(s), nullptr, *c.Given)
                          : std::make_unique<TBrokerClient>(std::make_unique<TMemTransport>(s), nullptr);
    client->UseBroker(true);
    EXPECT_EQ(client->Capture(true, {}), BytesOf("tiles")) << c.What;
    EXPECT_EQ(s->ConnectTimeouts, std::vector<int>{c.Connect}) << c.What;
    ASSERT_FALSE(s->ExchangeTimeouts.empty()) << c.What;
    for (int t : s->ExchangeTimeouts) EXPECT_EQ(t, c.Exchange) << c.What;
  }
}

TEST(BrokerClient, AvailableByPingLeavesNoConnectionOpen) {
  TClientFixture f;
  EXPECT_TRUE(f.Client.BrokerAvailable());
  EXPECT_EQ(f.S->Conn, nullptr);
  EXPECT_FALSE(f.Client.InUse());
}

TEST(LineRateLimit, OneLineEveryTenSeconds) {
  TManualClock clock;
  std::vector<std::string> out;
  TLineRateLimit limit([&](const std::string& l) { out.push_back(l); }, 10'000);
  limit("a");
  clock.Advance(9'999);
  limit("b");
  clock.Advance(1);
  limit("c");
  EXPECT_EQ(out, (std::vector<std::string>{"a", "c"}));
}

}  // namespace
}  // namespace tovik

namespace tovik {
namespace {

struct TNoWatch final : IChangeWatch {
  void Rearm() override {}
};

struct TInnerScreen final : IHostScreen {
  int Captures = 0;
  bool Compact = false;
  bool More = false;
  bool Deferred = false;
  void SetCompact(bool AOn) override { Compact = AOn; }
  bool MoreWaiting() const override { return More; }
  bool DeferDeflate(bool AOn) override {
    Deferred = AOn;
    return true;
  }
  bool LastUnfinished() const override { return Deferred; }
  std::unique_ptr<IChangeWatch> WatchChanges(std::function<void()>) override { return std::make_unique<TNoWatch>(); }
  TBytes CaptureUpdate(bool) override {
    ++Captures;
    return BytesOf("own");
  }
  bool CaptureVideo(bool, const std::uint8_t*&, std::ptrdiff_t&, int&, int&) override { return true; }
  void SetArea(const TRect&) override {}
  std::string Diag() const override { return "inner"; }
};

struct TInnerInput final : IHostInput {
  std::vector<TInputEvent>* Got;
  explicit TInnerInput(std::vector<TInputEvent>* AGot) : Got(AGot) {}
  void InjectInput(const TInputEvent& AEvent) override { Got->push_back(AEvent); }
  bool IsOwnWindowAt(TPoint) override { return true; }
  bool OwnWindowHasFocus() override { return true; }
};

// The host's screen and input with the broker in front, on the normal desktop and off it.
TEST(BrokerRouting, PicturesAndInputFollowTheShownDesktop) {
  TClientFixture f;
  auto client = std::shared_ptr<TBrokerClient>(&f.Client, [](TBrokerClient*) {});
  bool normal = true;
  auto inner = std::make_unique<TInnerScreen>();
  TInnerScreen* innerScreen = inner.get();
  std::vector<TInputEvent> local;
  auto screen = MakeBrokerScreen(std::move(inner), client, [&] { return normal; });
  auto input = MakeBrokerInput(std::make_unique<TInnerInput>(&local), client, [&] { return normal; });
  const std::uint8_t* bits = nullptr;
  std::ptrdiff_t stride = 0;
  int w = 0, h = 0;
  const TInputEvent ev{1, ikMove, 3, 4, 0};

  // Normal desktop, broker not switched on: everything stays local, the viewer's choice of compact
  // tiles, the compression left to the capture worker and the change reports included.
  screen->SetCompact(true);
  EXPECT_TRUE(innerScreen->Compact);
  EXPECT_TRUE(screen->DeferDeflate(true));
  EXPECT_TRUE(innerScreen->Deferred);
  innerScreen->More = true;
  EXPECT_TRUE(screen->MoreWaiting());
  EXPECT_TRUE(screen->WatchChanges([] {}));
  EXPECT_EQ(screen->CaptureUpdate(false), BytesOf("own"));
  EXPECT_TRUE(screen->LastUnfinished());
  EXPECT_TRUE(screen->CaptureVideo(false, bits, stride, w, h));
  input->InjectInput(ev);
  EXPECT_EQ(local.size(), 1u);
  EXPECT_TRUE(input->IsOwnWindowAt({1, 1}));
  EXPECT_EQ(f.S->Connects, 0);

  // The seat shows another session, and no session had consent yet: nothing is shown or injected.
  normal = false;
  EXPECT_FALSE(screen->IsNormalDesktop());
  EXPECT_FALSE(screen->MoreWaiting());  // the broker's pictures are not the inner screen's
  EXPECT_TRUE(screen->CaptureUpdate(false).empty());
  EXPECT_EQ(screen->Diag(), "broker unavailable");
  EXPECT_FALSE(screen->CaptureVideo(true, bits, stride, w, h));
  input->InjectInput(ev);
  EXPECT_EQ(local.size(), 1u);  // dropped, not typed into the hidden session
  EXPECT_FALSE(input->IsOwnWindowAt({1, 1}));
  EXPECT_FALSE(input->OwnWindowHasFocus());

  // After consent: tiles and input go through the broker.
  f.Client.UseBroker(true);
  EXPECT_EQ(screen->CaptureUpdate(true), BytesOf("tiles"));
  EXPECT_FALSE(screen->LastUnfinished()) << "the broker's updates come finished";
  EXPECT_EQ(screen->Diag(), "broker");
  input->InjectInput(ev);
  EXPECT_EQ(f.S->Desk.Injected, std::vector<TInputEvent>{ev});
  EXPECT_EQ(local.size(), 1u);
  EXPECT_EQ(innerScreen->Captures, 1);

  // The broker breaks off: off the normal desktop the event is dropped.
  f.S->FailNextSend = true;
  input->InjectInput(ev);
  EXPECT_EQ(local.size(), 1u);
  EXPECT_EQ(f.S->Desk.Injected.size(), 1u);

  // Back on the normal desktop with the broker in use (after its back-off): input is offered to the
  // broker first, pictures are local again.
  normal = true;
  f.Clock.Advance(kBrokerRetryMs);
  EXPECT_EQ(screen->CaptureUpdate(false), BytesOf("own"));
  EXPECT_EQ(screen->Diag(), "inner");
  input->InjectInput(ev);
  EXPECT_EQ(f.S->Desk.Injected.size(), 2u);
  EXPECT_EQ(local.size(), 1u);
  // ... and a failed hand-over there is injected locally.
  f.S->FailNextSend = true;
  input->InjectInput(ev);
  EXPECT_EQ(local.size(), 2u);
}

struct TSeatFile final : ILogind {
  TSeatState* Seat;
  int* Reads;
  TSeatFile(TSeatState* S, int* R) : Seat(S), Reads(R) {}
  TSeatState ReadSeat() override {
    ++*Reads;
    return *Seat;
  }
  std::string OwnSession() override { return "2"; }
};

TEST(ShownDesktopProbe, AsksLogindAtMostEveryQuarterSecond) {
  TManualClock clock;
  TSeatState seat{TSeatSession{"2", 1000, "x11", "user", ":1"}, {1000}};
  int reads = 0;
  TShownDesktopProbe probe(std::make_unique<TSeatFile>(&seat, &reads));
  EXPECT_TRUE(probe());
  seat.Active->Id = "c1";  // the greeter
  clock.Advance(kShownDesktopCacheMs - 1);
  EXPECT_TRUE(probe());
  EXPECT_EQ(reads, 1);
  clock.Advance(1);
  EXPECT_FALSE(probe());
  EXPECT_EQ(reads, 2);
}

}  // namespace
}  // namespace tovik
