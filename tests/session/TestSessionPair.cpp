#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>

#include "session/TovikSessionTools.h"
#include "tests/session/SessionPairFixture.h"

using namespace tovik;
using namespace tovik::test;

namespace {

// Host tools that remember every message handed to them, in order.
struct TRecordingTools : TBasicSessionTools {
  using TBasicSessionTools::TBasicSessionTools;
  std::shared_ptr<std::vector<std::pair<int, std::string>>> Seen =
      std::make_shared<std::vector<std::pair<int, std::string>>>();
  void HandleMessage(const TChannelMsg& m) override {
    Seen->emplace_back(m.Kind, StringOf(m.Data));
    TBasicSessionTools::HandleMessage(m);
  }
};

// Tools whose timer step fails.
struct TFailingTools : TBasicSessionTools {
  using TBasicSessionTools::TBasicSessionTools;
  void Tick() override { throw std::runtime_error("tools broke"); }
};

TBytes InputPacket(std::uint32_t seq, std::uint8_t kind, std::int16_t x, std::int16_t y, std::int32_t data) {
  TBytes p{pkInput, 1};
  PutInputEvent(p, TInputEvent{seq, kind, x, y, data});
  return p;
}

}  // namespace

class SessionPairLoss : public ::testing::TestWithParam<double> {};

TEST_P(SessionPairLoss, PictureConvergesAndInputIsAppliedInOrder) {
  TPairOptions o;
  o.Pipe.DelayMs = 5;
  o.Pipe.Loss = GetParam();
  o.Pipe.Seed = 7;
  TSessionPair pair(o);
  ASSERT_TRUE(pair.RunUntilSame(10000));
  EXPECT_EQ(pair.Consent->Requests.size(), 1u);
  EXPECT_EQ(pair.Host->Mode(), 1);

  // Status reaches the caption and the session line.
  EXPECT_EQ(pair.Window->Caption,
            "Tovik - 444 555 666 - check number 123 456 - you have control (admin windows not available: ask "
            "them to click \"Allow admin tasks\")");
  EXPECT_EQ(pair.Window->Title, "444 555 666");
  EXPECT_EQ(pair.Window->Line, "Check 123 456  \xC2\xB7  direct  \xC2\xB7  you have control");
  EXPECT_EQ(pair.Window->Notice, "");

  // A stream of changes, small and large; after each burst the picture converges exactly.
  for (std::uint32_t round = 2; round < 8; ++round) {
    pair.Screen->Paint(static_cast<int>(round * 13), static_cast<int>(round * 7), 40, 30, round);
    pair.Run(30);
    if (round % 3 == 0) pair.Screen->Paint(0, 0, o.W, o.H, round * 100);
  }
  EXPECT_TRUE(pair.RunUntilSame(15000));

  // Input through the window's events arrives in order and exactly once.
  std::vector<TInputEvent> sent;
  for (int i = 0; i < 40; ++i) {
    const auto kind = static_cast<std::uint8_t>(1 + i % 6);
    pair.Window->Events->OnInput(WindowInput(kind, static_cast<std::int16_t>(i), static_cast<std::int16_t>(2 * i), i * 3));
    sent.push_back(TInputEvent{static_cast<std::uint32_t>(i + 1), kind, static_cast<std::int16_t>(i),
                               static_cast<std::int16_t>(2 * i), i * 3});
    pair.Run(3);
  }
  pair.Run(2000);
  EXPECT_EQ(*pair.Injected, sent);

  EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "session created (viewer=False)"));
  EXPECT_TRUE(TSessionPair::Has(pair.ViewerLog, "session created (viewer=True)"));
  EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "helper can show H.264: False, several frames in flight: True"));
}

INSTANTIATE_TEST_SUITE_P(Loss, SessionPairLoss, ::testing::Values(0.0, 0.10));

TEST(SessionPair, LostFramesAreRepairedByFullPictureAfterLongOutage) {
  TSessionPair pair;
  ASSERT_TRUE(pair.RunUntilSame(5000));
  // Cut the host-to-viewer direction for 3 s while the picture changes: frames in flight are given
  // up after 2 s and a complete picture follows.
  pair.ViewerLink.Up = true;
  pair.HostLink.Up = false;
  pair.Screen->Paint(0, 0, 320, 200, 55);
  pair.Run(3000);
  pair.HostLink.Up = true;
  EXPECT_TRUE(pair.RunUntilSame(10000));
}

TEST(SessionPair, ViewOnlyInputIsAcknowledgedButNotInjected) {
  TPairOptions o;
  o.AutoAnswer = caViewOnly;
  TSessionPair pair(o);
  ASSERT_TRUE(pair.RunUntilSame(5000));
  EXPECT_EQ(pair.Host->Mode(), 0);
  EXPECT_EQ(pair.Window->Caption, "Tovik - 444 555 666 - check number 123 456 - view only");
  EXPECT_EQ(pair.Viewer->ViewerMode(), 0);
  // The window's input is not even sent in view-only mode.
  pair.Window->Events->OnInput(WindowInput(1, 5, 5, 0));
  // Input sent anyway (a modified viewer) is acknowledged and dropped.
  const std::size_t before = pair.ToViewer.Sent();
  pair.ToHost.Send(InputPacket(1, 2, 10, 10, 0));
  pair.Run(50);
  EXPECT_TRUE(pair.Injected->empty());
  EXPECT_GT(pair.ToViewer.Sent(), before);
}

TEST(SessionPair, MessagesBeforeConsentReplayedOnAllowDroppedOnDeny) {
  for (TConsentAnswer answer : {caControl, caDeny}) {
    TPairOptions o;
    o.AutoAnswer.reset();
    auto seen = std::make_shared<std::vector<std::pair<int, std::string>>>();
    o.HostTools = [seen](const TToolsContext& c) {
      auto t = std::make_unique<TRecordingTools>(c);
      t->Seen = seen;
      return t;
    };
    TSessionPair pair(o);
    pair.Viewer->Channel().PostText(mkChat, "first");
    pair.Viewer->Channel().PostText(mkClipboard, "second");
    pair.Viewer->Channel().PostText(mkChat, "third");
    pair.ToHost.Send(InputPacket(1, 2, 10, 10, 0));  // input before consent
    pair.Run(2500);
    ASSERT_EQ(pair.Consent->Requests.size(), 1u) << answer;
    // Only the profile has reached the tools so far; nothing of the host reached the viewer.
    for (auto& [k, s] : *seen) EXPECT_EQ(k, mkProfile);
    EXPECT_EQ(pair.Window->Updates, 0);
    EXPECT_EQ(pair.Viewer->Tools().RemoteInfo(), "");
    EXPECT_EQ(pair.Host->EarlyCount(), 3u);
    EXPECT_TRUE(pair.Injected->empty());

    pair.Consent->Answer(answer);
    pair.Run(1000);
    std::vector<std::string> replayed;
    for (auto& [k, s] : *seen)
      if (k != mkProfile) replayed.push_back(s);
    if (answer == caControl) {
      EXPECT_EQ(replayed, (std::vector<std::string>{"first", "second", "third"}));
      EXPECT_TRUE(pair.Injected->empty());  // input before consent was never injected
      EXPECT_EQ(pair.Viewer->Tools().RemoteInfo(), "HOSTPC|helped|Linux 6.1");
    } else {
      EXPECT_TRUE(replayed.empty());
      EXPECT_FALSE(pair.Host);
      EXPECT_FALSE(pair.Viewer);
      EXPECT_EQ(pair.Window->Updates, 0);
      EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "consent: denied"));
    }
  }
}

// Through the server the network client has no address of the helper: the dialog is given none.
TEST(SessionPair, ThroughTheServerTheConsentHasNoAddress) {
  TPairOptions o;
  o.AutoAnswer.reset();
  o.ViaRelay = true;
  TSessionPair pair(o);
  pair.Run(2100);
  ASSERT_EQ(pair.Consent->Requests.size(), 1u);
  EXPECT_EQ(pair.Consent->Requests[0].Address, "");
  EXPECT_EQ(pair.Consent->Requests[0].CheckNumber, "123 456");
}

TEST(SessionPair, ConsentTimeOutDeniesAndEndsBothSides) {
  TPairOptions o;
  o.AutoAnswer.reset();
  TSessionPair pair(o);
  pair.Run(2100);
  ASSERT_EQ(pair.Consent->Requests.size(), 1u);
  EXPECT_EQ(pair.Consent->Requests[0].Helper, "Partner PC");
  EXPECT_EQ(pair.Consent->Requests[0].Address, "192.0.2.7:5000");
  pair.Run(30000);
  // The viewer keeps asking for a picture and keeps waiting.
  EXPECT_EQ(pair.Window->Caption, "Tovik - 444 555 666 - check number 123 456 - waiting for permission");
  EXPECT_TRUE(TSessionPair::Has(pair.ViewerLog, "viewer heartbeat tick=20, since last picture=2000 ms"));
  pair.Consent->Answer(caDeny);  // what the dialog does at the end of its countdown
  pair.Run(10);
  EXPECT_FALSE(pair.Host);
  EXPECT_FALSE(pair.Viewer);
  EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "destroy end"));
  EXPECT_TRUE(TSessionPair::Has(pair.ViewerLog, "destroy end"));
  EXPECT_TRUE(pair.Window->Freed);
}

TEST(SessionPair, ByeAndPartnerSilenceEndBothSides) {
  {
    TSessionPair pair;
    ASSERT_TRUE(pair.RunUntilSame(5000));
    pair.Window->Events->OnUserClose();
    EXPECT_TRUE(pair.Viewer);  // deferred: the close runs after the current event
    pair.Run(1);
    EXPECT_FALSE(pair.Host);
    EXPECT_FALSE(pair.Viewer);
  }
  {
    TSessionPair pair;
    ASSERT_TRUE(pair.RunUntilSame(5000));
    pair.Run(20000);
    EXPECT_TRUE(pair.Host && pair.Viewer);  // a quiet picture still keeps both alive (status, heartbeats)
    pair.HostLink.Up = pair.ViewerLink.Up = false;  // the network goes away
    pair.Run(36000);
    EXPECT_FALSE(pair.Host);
    EXPECT_FALSE(pair.Viewer);
  }
}

TEST(SessionPair, EarlyBufferOverflowEndsTheSession) {
  TPairOptions o;
  o.AutoAnswer.reset();
  TSessionPair pair(o);
  TBytes big(1150, 'x');
  for (int i = 0; i < 4000; ++i) pair.Viewer->Channel().Post(mkChat, big, true);
  pair.Run(20000);
  EXPECT_FALSE(pair.Host);
  bool logged = false;
  for (auto& l : pair.HostLog) logged |= l.rfind("too many messages before consent", 0) == 0;
  EXPECT_TRUE(logged);
}

TEST(SessionPair, DestroyedSessionRunsNoQueuedWork) {
  TPairOptions o;
  o.AutoAnswer.reset();
  {
  TSessionPair pair(o);
  pair.HoldQueue = true;
  pair.Run(2100);  // the profile (or the 2 s timer) has queued the consent start
  ASSERT_FALSE(pair.Queue.empty());
  pair.Host.reset();
  pair.HoldQueue = false;
  pair.RunQueue();
  EXPECT_TRUE(pair.Consent->Requests.empty());
  }

  // A prompt answered after its session is gone changes nothing.
  TSessionPair pair2(o);
  pair2.Run(2100);
  ASSERT_TRUE(pair2.Consent->Pending);
  auto answer = std::move(pair2.Consent->Pending);
  pair2.Host.reset();
  answer(caControl);
  pair2.RunQueue();
  EXPECT_TRUE(pair2.Injected->empty());
}

TEST(SessionPair, UnattendedHostGrantsControlWithoutPrompt) {
  TPairOptions o;
  o.Unattended = true;
  o.AutoAnswer.reset();
  TSessionPair pair(o);
  ASSERT_TRUE(pair.RunUntilSame(5000));
  EXPECT_TRUE(pair.Consent->Requests.empty());
  EXPECT_EQ(pair.Viewer->ViewerMode(), 1);
}

TEST(SessionPair, ViewerStatusNoticeAndOversizedPictures) {
  TPairOptions o;
  o.AutoAnswer.reset();  // the host stays silent; the test speaks for it
  TSessionPair pair(o);
  TTovikSession& v = *pair.Viewer;
  struct Case {
    TBytes Packet;
    const char* Suffix;
    const char* Notice;
  } cases[] = {
      {{0x87, 1, 1, 1}, " - you have control (admin windows available)", kSecureNotice},
      {{0x87, 0}, " - view only", ""},  // 2 bytes clear the notice
      {{0x87, 9, 0, 0}, " - paused by the other person", ""},
      {{0x87}, " - paused by the other person", ""},  // too short: ignored
  };
  for (const auto& c : cases) {
    v.OnPeerData(c.Packet);
    EXPECT_EQ(pair.Window->Caption, std::string("Tovik - 444 555 666 - check number 123 456") + c.Suffix);
    EXPECT_EQ(pair.Window->Notice, c.Notice);
  }

  // A tile update that claims a 65535 x 65535 picture is refused before the window sees it, and the
  // viewer asks for a complete picture instead.
  TBytes raw;
  PutU16LE(raw, 65535);
  PutU16LE(raw, 65535);
  PutU16LE(raw, 1);
  uLongf n = compressBound(raw.size());
  TBytes z(n);
  ASSERT_EQ(compress2(z.data(), &n, raw.data(), raw.size(), 1), Z_OK);
  z.resize(n);
  TFrameWindowSender tx;
  tx.SetLegacy(false);
  ASSERT_TRUE(tx.Start(MakeTileBlob(z), pair.Clock.Now()));
  pair.ToHost.Receive();
  const auto sentBefore = pair.ToHost.Sent();
  for (auto& p : tx.NextPackets(40, pair.Clock.Now())) v.OnPeerData(p);
  EXPECT_EQ(pair.Window->Updates + pair.Window->BadUpdates, 0);
  EXPECT_EQ(pair.Window->Picture.Width(), 0);
  EXPECT_GE(pair.ToHost.Sent(), sentBefore + 2);  // the acknowledgement and a full-picture request
}

// The sessions schedule their own ticks from the time they are given, and read no clock: the manual
// clock stays where it was while only HandleTimeout moves them on. A host runs its capture every 8 ms
// and its sending and channel every 10 ms, and asks for consent 2000 ms after it was made; a viewer
// runs its channel and NACKs every 10 ms and its picture upkeep (heartbeat every 20th) every 100 ms.
TEST(SessionPair, TicksFallDueAtTheirPeriodsFromTheTimeGiven) {
  TPairOptions o;
  o.AutoAnswer.reset();
  TSessionPair pair(o);
  const TTick t0 = pair.Clock.Now();
  struct TCase {
    const char* Role;
    TTovikSession* Session;
    std::vector<TTick> FirstDue;
  } cases[] = {
      {"host", pair.Host.get(), {8, 10, 16, 20, 24, 30, 32, 40, 48, 50}},
      {"viewer", pair.Viewer.get(), {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110}},
  };
  for (const TCase& c : cases)
    for (TTick due : c.FirstDue) {
      ASSERT_EQ(c.Session->NextDeadline(), t0 + due) << c.Role;
      c.Session->HandleTimeout(t0 + due);
    }
  // Up to the consent time: the 2 s timer has not asked yet, at 2000 ms it has.
  auto runTo = [&](TTick AEnd) {
    for (TTovikSession* s : {pair.Host.get(), pair.Viewer.get()})
      while (s->NextDeadline() <= t0 + AEnd) s->HandleTimeout(s->NextDeadline());
    pair.RunQueue();
  };
  runTo(1999);
  EXPECT_TRUE(pair.Consent->Requests.empty());
  EXPECT_FALSE(TSessionPair::Has(pair.ViewerLog, "viewer heartbeat tick=20, since last picture=2000 ms"));
  runTo(2000);
  EXPECT_EQ(pair.Consent->Requests.size(), 1u);
  EXPECT_TRUE(TSessionPair::Has(pair.ViewerLog, "viewer heartbeat tick=20, since last picture=2000 ms"));
  EXPECT_EQ(pair.Clock.Now(), t0);
}

// A tick that fails is logged with its reason; the other ticks, and the session, go on.
TEST(SessionPair, AFailingTickIsLoggedAndTheSessionGoesOn) {
  TPairOptions o;
  o.Unattended = true;
  o.HostTools = [](const TToolsContext& c) { return std::make_unique<TFailingTools>(c); };
  TSessionPair pair(o);
  ASSERT_TRUE(pair.RunUntilSame(5000));
  EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "ChannelTick failed: tools broke"));
  EXPECT_TRUE(pair.Host && pair.Viewer);
}
