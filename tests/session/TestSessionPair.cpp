#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "session/TovikSessionHost.h"
#include "session/TovikSessionTools.h"
#include "tests/session/SessionPairFixture.h"

using namespace tovik;
using namespace tovik::test;

namespace {

// Host tools that remember every message handed to them, in order.
struct TRecordingTools : TSessionTools {
  using TSessionTools::TSessionTools;
  std::shared_ptr<std::vector<std::pair<int, std::string>>> Seen =
      std::make_shared<std::vector<std::pair<int, std::string>>>();
  void HandleMessage(const TChannelMsg& m) override {
    Seen->emplace_back(m.Kind, StringOf(m.Data));
    TSessionTools::HandleMessage(m);
  }
};

// Tools whose timer step fails.
struct TFailingTools : TSessionTools {
  using TSessionTools::TSessionTools;
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

// The paced transport is used only between two programs that have it. A helper's program that does
// not announce it (played here by clearing its bit in the capabilities) gets today's wire form from
// the host: no mkTransport, 5-byte channel acknowledgements, at most 40 chunks per pump; and sends it
// too: no frame feedback, 5-byte acknowledgements. Both pairs show the same picture in the end.
TEST(SessionPair, PacedTransportOnlyBetweenProgramsThatHaveIt) {
  for (const bool older : {false, true}) {
    SCOPED_TRACE(older ? "older helper" : "both new");
    TPairOptions o;
    o.W = 1000;
    o.H = 700;  // a full picture of hundreds of chunks
    o.Pipe.DelayMs = 5;
    TSessionPair pair(o);
    struct TSeen {
      int Transport = 0, LongAcks = 0, ShortAcks = 0, Feedback = 0, Chunks = 0;
    } fromHost, fromViewer;
    std::map<TTick, int> chunksAt;  // host chunks by 10 ms slot
    auto look = [&](TSeen& seen, const TBytes& p) {
      if (p.empty()) return;
      if (p[0] == pkChannelAck) (p.size() == 5 ? seen.ShortAcks : seen.LongAcks)++;
      if (p[0] == pkFrameFeedback) ++seen.Feedback;
      if (p[0] == pkWindowChunk) ++seen.Chunks;
      if (p[0] == pkChannelMsg && p.size() > 5 && p[5] == mkTransport) ++seen.Transport;
    };
    pair.HostLink.Tap = [&](TBytes& p) {
      look(fromHost, p);
      if (!p.empty() && p[0] == pkWindowChunk) ++chunksAt[pair.Clock.Now() / 10];
    };
    pair.ViewerLink.Tap = [&](TBytes& p) {
      if (older && p.size() == 8 && p[0] == pkChannelMsg && p[5] == mkViewerCaps) p[7] &= ~kCapsPaced;
      look(fromViewer, p);
    };
    ASSERT_TRUE(pair.RunUntilSame(10000));
    pair.Screen->Paint(0, 0, o.W, o.H, 77);
    ASSERT_TRUE(pair.RunUntilSame(10000));
    pair.Run(500);

    EXPECT_GT(fromHost.Chunks, 400);
    EXPECT_GT(fromHost.ShortAcks + fromHost.LongAcks, 0);
    EXPECT_GT(fromViewer.ShortAcks + fromViewer.LongAcks, 0);
    if (older) {
      EXPECT_EQ(fromHost.Transport, 0);
      EXPECT_EQ(fromHost.LongAcks, 0);
      EXPECT_EQ(fromViewer.LongAcks, 0);
      EXPECT_EQ(fromViewer.Feedback, 0);
      int most = 0;
      for (const auto& [slot, n] : chunksAt) most = std::max(most, n);
      EXPECT_LE(most, 80) << "40 chunks per pump, and one pump more right after a frame starts";
      EXPECT_FALSE(TSessionPair::Has(pair.HostLog, "helper paces frames by feedback"));
    } else {
      EXPECT_EQ(fromHost.Transport, 1);
      EXPECT_GT(fromHost.LongAcks, 0);
      EXPECT_GT(fromViewer.LongAcks, 0);
      EXPECT_GT(fromViewer.Feedback, 0);
      EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "helper paces frames by feedback"));
    }
  }
}

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

// Small messages reach the count cap long before the byte cap: 4096 are kept and replayed once the
// person allows; one more ends the session.
TEST(SessionPair, EarlyBufferKeepsAtMost4096SmallMessages) {
  for (const std::size_t posted : {kEarlyMaxMessages, kEarlyMaxMessages + 1}) {
    TPairOptions o;
    o.AutoAnswer.reset();
    auto seen = std::make_shared<std::vector<std::pair<int, std::string>>>();
    o.HostTools = [seen](const TToolsContext& c) {
      auto t = std::make_unique<TRecordingTools>(c);
      t->Seen = seen;
      return t;
    };
    TSessionPair pair(o);
    const TBytes tiny{'x'};
    for (std::size_t i = 0; i < posted; ++i) ASSERT_TRUE(pair.Viewer->Channel().Post(mkChat, tiny, false));
    pair.Run(20000);
    const bool fits = posted <= kEarlyMaxMessages;
    ASSERT_EQ(static_cast<bool>(pair.Host), fits) << posted;
    EXPECT_EQ(TSessionPair::Has(pair.HostLog, "too many messages before consent (4096 messages, 4096 bytes buffered); "
                                              "ending the session"),
              !fits)
        << posted;
    if (!fits) continue;
    EXPECT_EQ(pair.Host->EarlyCount(), kEarlyMaxMessages);
    pair.Consent->Answer(caControl);
    pair.Run(1000);
    std::size_t chats = 0;
    for (auto& [k, text] : *seen) chats += k == mkChat && text == "x" ? 1 : 0;
    EXPECT_EQ(chats, kEarlyMaxMessages);
  }
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

// Unattended access lets a helper in without the dialog only with the password; every other way
// ends at the dialog (the person at the PC decides) or nowhere, never in access.
TEST(SessionPair, UnattendedAccessNeedsThePassword) {
  enum TOutcome { Control, Dialog, Refused };
  struct Case {
    const char* What;
    std::optional<std::string> HostPassword;
    bool ViewerAnswers;
    std::optional<std::string> Typed;  // none: the helper cancels the prompt
    TOutcome Outcome;
    const char* HostLine;
  } cases[] = {
      {"right password", "correct horse", true, "correct horse", Control,
       "Unattended access: password accepted from 111 222 333"},
      {"wrong password", "correct horse", true, "correct horsE", Refused,
       "Unattended access: wrong password from 111 222 333"},
      {"the helper cancels the prompt", "correct horse", true, std::nullopt, Dialog,
       "Unattended access: 111 222 333 gave no password; asking the person at this PC"},
      {"an older helper cannot answer", "correct horse", false, std::nullopt, Dialog,
       "Unattended access: the helper's program at 111 222 333 cannot answer a password; asking the person at this PC"},
      {"no password set", std::nullopt, true, "anything at all", Dialog,
       "Unattended access: no password is set; asking the person at this PC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TPairOptions o;
    o.Unattended = true;
    o.AutoAnswer.reset();  // the dialog stays open: only the password can let the helper in
    o.HostPassword = c.HostPassword;
    o.ViewerAnswersPasswords = c.ViewerAnswers;
    TSessionPair pair(o);
    pair.Prompt->AutoAnswer = c.Typed;
    pair.Run(5000);
    EXPECT_TRUE(TSessionPair::Has(pair.HostLog, c.HostLine));
    EXPECT_EQ(pair.Prompt->Asked.size(), c.ViewerAnswers && c.HostPassword ? 1u : 0u);
    switch (c.Outcome) {
      case Control:
        ASSERT_TRUE(pair.Host && pair.Viewer);
        EXPECT_TRUE(pair.Consent->Requests.empty());
        EXPECT_TRUE(pair.Host->Allowed());
        EXPECT_EQ(pair.Host->Mode(), 1);
        EXPECT_TRUE(pair.RunUntilSame(5000));
        EXPECT_EQ(pair.Viewer->ViewerMode(), 1);
        EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "consent: unattended access, control"));
        break;
      case Dialog:
        ASSERT_TRUE(pair.Host && pair.Viewer);
        EXPECT_EQ(pair.Consent->Requests.size(), 1u);
        EXPECT_FALSE(pair.Host->Allowed());
        EXPECT_FALSE(pair.Window->Updates);  // no picture before the person allows it
        pair.Consent->Answer(caViewOnly);
        pair.Run(200);
        EXPECT_EQ(pair.Host->Mode(), 0);
        break;
      case Refused:
        EXPECT_TRUE(pair.Consent->Requests.empty());
        EXPECT_FALSE(pair.Window->Updates);
        EXPECT_FALSE(pair.Host || pair.Viewer);  // the host ended the session
        EXPECT_TRUE(TSessionPair::Has(pair.ViewerLog, "the other PC did not accept the password"));
        EXPECT_EQ(pair.Window->Notice, "The other PC did not accept the password.");
        break;
    }
  }
}

// Three wrong answers in a row from anywhere pause password checks for 30 s, doubling with every
// further one; meanwhile even the right password gets the dialog, and afterwards it works again.
TEST(SessionPair, WrongPasswordsPauseTheChecks) {
  auto throttle = std::make_shared<TPasswordThrottle>();
  TTick now = 1'000'000;  // the program's time across sessions
  auto session = [&](const char* typed) {
    TPairOptions o;
    o.Unattended = true;
    o.AutoAnswer.reset();
    o.HostPassword = "correct horse";
    o.Throttle = throttle;
    o.StartTick = now;
    auto pair = std::make_unique<TSessionPair>(o);
    pair->Prompt->AutoAnswer = std::optional<std::string>(typed);
    pair->Run(3000);
    now = pair->Clock.Now();
    return pair;
  };
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(session("guess")->Host);
  EXPECT_TRUE(throttle->Paused(now));
  EXPECT_GT(throttle->PauseLeft(now), 25'000u);
  EXPECT_LE(throttle->PauseLeft(now), 30'000u);
  {
    auto p = session("correct horse");
    ASSERT_TRUE(p->Host);
    EXPECT_FALSE(p->Host->Allowed());
    EXPECT_EQ(p->Consent->Requests.size(), 1u);
    EXPECT_TRUE(p->Prompt->Asked.empty());
    EXPECT_TRUE(std::any_of(p->ViewerLog.begin(), p->ViewerLog.end(), [](const std::string& l) {
      return l.rfind("the other PC takes no password for ", 0) == 0;
    }));
    EXPECT_EQ(p->Window->Notice,
              "The other PC takes no password for now after wrong ones; the person there is asked to allow the session.");
  }
  now += 30'000;
  EXPECT_FALSE(session("guess")->Host);  // the fourth wrong one in a row: 60 s
  EXPECT_GT(throttle->PauseLeft(now), 55'000u);
  EXPECT_LE(throttle->PauseLeft(now), 60'000u);
  now += 60'000;
  auto ok = session("correct horse");
  ASSERT_TRUE(ok->Host);
  EXPECT_TRUE(ok->Host->Allowed());
  EXPECT_EQ(throttle->Fails(), 0);
}

TEST(PasswordThrottle, PausesDoubleUpToAnHour) {
  TPasswordThrottle t;
  const TTick expected[] = {0, 0, 30'000, 60'000, 120'000, 240'000, 480'000, 960'000, 1'920'000, 3'600'000, 3'600'000};
  for (TTick want : expected) {
    t.Failed(1000);
    EXPECT_EQ(t.PauseLeft(1000), want) << t.Fails();
  }
  t.Passed();
  EXPECT_FALSE(t.Paused(1000));
}

// A helper who never answers the prompt does not hold the session: after two minutes the person at
// the PC is asked.
TEST(SessionPair, UnansweredPasswordPromptFallsBackToTheDialog) {
  TPairOptions o;
  o.Unattended = true;
  o.AutoAnswer.reset();
  o.HostPassword = "correct horse";
  TSessionPair pair(o);
  pair.Run(3000);
  ASSERT_EQ(pair.Prompt->Asked.size(), 1u);
  EXPECT_TRUE(pair.Consent->Requests.empty());
  pair.Clock.Advance(kPasswordWaitMs);
  pair.Host->HandleTimeout(pair.Clock.Now());
  pair.RunQueue();
  EXPECT_EQ(pair.Consent->Requests.size(), 1u);
  EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "Unattended access: no password from 111 222 333 in time; asking the person at this PC"));
  // A late answer changes nothing.
  pair.Prompt->Pending(std::optional<std::string>("correct horse"));
  pair.Run(500);
  EXPECT_FALSE(pair.Host->Allowed());
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

// The helper's input never operates the helped PC's own windows: pointer events on them and keys while
// one of them has the focus stay on the host, and no button or key is left down by what stays.
TEST(SessionPair, InputToTheHostsOwnWindowsIsNotPassedOn) {
  struct TStep {
    std::uint8_t Kind;
    std::int16_t X, Y;
    std::int32_t Data;
    bool Focus;  // one of the host's windows has the keyboard focus when the event arrives
  };
  struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
    std::vector<TStep> Injected;  // Focus unused
  };
  // The host's own window covers picture pixels 100..149 both ways.
  constexpr std::int16_t kIn = 120, kOut = 10;
  const TCase cases[] = {
      {"pointer events on our window stay, elsewhere they go on",
       {{ikMove, kOut, kOut, 0, false}, {ikButtonDown, kIn, kIn, 0, false}, {ikButtonUp, kIn, kIn, 0, false},
        {ikMove, kIn, kOut, 0, false}, {ikWheel, kIn, kIn, 120, false}, {ikButtonDown, kOut, kOut, 0, false},
        {ikButtonUp, kOut, kOut, 0, false}},
       {{ikMove, kOut, kOut, 0, false}, {ikMove, kIn, kOut, 0, false}, {ikButtonDown, kOut, kOut, 0, false},
        {ikButtonUp, kOut, kOut, 0, false}}},
      {"a press that went on is released where the pointer last went",
       {{ikButtonDown, kOut, 20, 1, false}, {ikMove, kIn, kIn, 0, false}, {ikButtonUp, kIn, kIn, 1, false}},
       {{ikButtonDown, kOut, 20, 1, false}, {ikButtonUp, kOut, 20, 1, false}}},
      {"a release whose press stayed stays, wherever it is",
       {{ikButtonDown, kIn, kIn, 2, false}, {ikMove, kOut, kOut, 0, false}, {ikButtonUp, kOut, kOut, 2, false},
        {ikButtonDown, kOut, kOut, 2, false}, {ikButtonUp, kOut, kOut, 2, false}},
       {{ikMove, kOut, kOut, 0, false}, {ikButtonDown, kOut, kOut, 2, false}, {ikButtonUp, kOut, kOut, 2, false}}},
      {"a second press on our window of a button down elsewhere keeps its release",
       {{ikButtonDown, kOut, kOut, 0, false}, {ikButtonDown, kIn, kIn, 0, false}, {ikButtonUp, kIn, kIn, 0, false}},
       {{ikButtonDown, kOut, kOut, 0, false}, {ikButtonUp, kOut, kOut, 0, false}}},
      {"other button numbers are moves",
       {{ikButtonDown, kIn, kIn, 7, false}, {ikButtonUp, kOut, kOut, 7, false}},
       {{ikButtonUp, kOut, kOut, 7, false}}},
      {"keys while our window has the focus stay",
       {{ikKeyDown, 0, 0, 'A', true}, {ikKeyUp, 0, 0, 'A', true}, {ikKeyDown, 0, 0, 'B', false},
        {ikKeyUp, 0, 0, 'B', true}, {ikKeyDown, 0, 0, 'C', true}, {ikKeyUp, 0, 0, 'C', false},
        {ikKeyUp, 0, 0, 'D', false}, {ikKeyUp, 0, 0, 'E', true}},
       {{ikKeyDown, 0, 0, 'B', false}, {ikKeyUp, 0, 0, 'B', false}, {ikKeyUp, 0, 0, 'D', false}}},
      {"a held key repeating once our window has the focus is still released",
       {{ikKeyDown, 0, 0, 162, false}, {ikKeyDown, 0, 0, 162, true}, {ikKeyUp, 0, 0, 162, true}},
       {{ikKeyDown, 0, 0, 162, false}, {ikKeyUp, 0, 0, 162, false}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSessionPair pair;
    ASSERT_TRUE(pair.RunUntilSame(5000));
    pair.Own->Rects = {TRect{100, 100, 50, 50}};
    for (const TStep& s : c.Steps) {
      pair.Own->Focus = s.Focus;
      pair.Window->Events->OnInput(WindowInput(s.Kind, s.X, s.Y, s.Data));
      pair.Run(50);
    }
    std::vector<std::tuple<int, int, int, int>> got, want;
    for (const TInputEvent& e : *pair.Injected) got.emplace_back(e.Kind, e.X, e.Y, e.Data);
    for (const TStep& s : c.Injected) want.emplace_back(s.Kind, s.X, s.Y, s.Data);
    EXPECT_EQ(got, want);
    const auto lines = std::count(pair.HostLog.begin(), pair.HostLog.end(), "input to our own windows is not passed on");
    EXPECT_EQ(lines, 1) << "logged once per session";
  }
}

// A flood of input from a hostile helper (full packets of new events, all at once) is applied at a
// bounded rate: kInputPerTick events when it arrives and as many at each input tick, one flush per
// batch, at most kInputQueueMax waiting, pointer moves merged into the latest while behind. What found
// the queue full was not acknowledged and is taken, in order, when the helper sends it again.
TEST(SessionPair, AnInputFloodIsAppliedAtABoundedRate) {
  constexpr std::uint32_t kPackets = 50, kEvents = kPackets * kMaxInputEvents;
  struct TCase {
    const char* Name;
    std::uint8_t Kind;               // of every event of the flood
    std::size_t Queued;              // waiting once the flood has arrived
    std::size_t Applied;             // applied once the queue is empty
    std::size_t AppliedAfterRepeat;  // ... and after the same packets came again
    std::uint32_t LastSeq;           // the number of the last event applied in the end
  } cases[] = {
      {"keys wait up to the queue's limit", ikKeyDown, kInputQueueMax, kInputPerTick + kInputQueueMax,
       2 * (kInputPerTick + kInputQueueMax), 2 * (kInputPerTick + kInputQueueMax)},
      {"pointer moves are merged into the latest", ikMove, 1, kInputPerTick + 1, kInputPerTick + 1, kEvents},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSessionPair pair;
    ASSERT_TRUE(pair.RunUntilSame(5000));
    std::vector<TBytes> flood;
    for (std::uint32_t p = 0; p < kPackets; ++p) {
      TBytes packet{pkInput, static_cast<std::uint8_t>(kMaxInputEvents)};
      for (std::uint32_t i = 1; i <= kMaxInputEvents; ++i) {
        const std::uint32_t seq = p * kMaxInputEvents + i;
        PutInputEvent(packet, TInputEvent{seq, c.Kind, static_cast<std::int16_t>(seq % 300), 10, 'A'});
      }
      flood.push_back(packet);
    }
    auto seqs = [&] {
      std::vector<std::uint32_t> out;
      for (const TInputEvent& e : *pair.Injected) out.push_back(e.Seq);
      return out;
    };
    auto inOrder = [&] {
      const auto s = seqs();
      return std::adjacent_find(s.begin(), s.end(), std::greater_equal<>()) == s.end();
    };

    for (const TBytes& p : flood) pair.ToHost.Send(p);
    while (pair.Injected->empty()) pair.Step(pair.Clock.Now() + 1000);
    EXPECT_EQ(pair.Injected->size(), static_cast<std::size_t>(kInputPerTick));
    EXPECT_EQ(pair.Host->InputQueued(), c.Queued);
    EXPECT_EQ(pair.Own->Flushes, 2) << "the first packet, and the second that used up the budget";
    pair.Run(kInputTickMs);
    EXPECT_EQ(pair.Injected->size(), kInputPerTick + std::min<std::size_t>(kInputPerTick, c.Queued));
    EXPECT_EQ(pair.Own->Flushes, 3) << "one per tick";
    pair.Run(2000);
    EXPECT_EQ(pair.Host->InputQueued(), 0u);
    EXPECT_EQ(pair.Injected->size(), c.Applied);

    for (const TBytes& p : flood) pair.ToHost.Send(p);
    pair.Run(2000);
    EXPECT_EQ(pair.Injected->size(), c.AppliedAfterRepeat);
    EXPECT_TRUE(inOrder());
    EXPECT_EQ(pair.Injected->back().Seq, c.LastSeq);
    EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "input arrives faster than it can be applied: pointer moves are "
                                                "merged, the rest waits for the helper to send it again"));
  }
}

// When the session ends, the buttons and keys the helper pressed on the helped PC and never released
// are released, so that the person there does not find them held down.
TEST(SessionPair, ButtonsAndKeysLeftDownAreReleasedWhenTheSessionEnds) {
  struct TStep {
    std::uint8_t Kind;
    std::int16_t X, Y;
    std::int32_t Data;
  };
  struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
    bool Focus;                     // one of the host's windows has the keyboard focus
    std::vector<TStep> AtTheEnd;    // injected as the session ends
  } cases[] = {
      {"a button and keys held down",
       {{ikButtonDown, 10, 10, 0}, {ikMove, 30, 40, 0}, {ikKeyDown, 0, 0, 'A'}, {ikKeyDown, 0, 0, 162}},
       false,
       {{ikButtonUp, 30, 40, 0}, {ikKeyUp, 0, 0, 'A'}, {ikKeyUp, 0, 0, 162}}},
      {"everything released already",
       {{ikButtonDown, 10, 10, 1}, {ikButtonUp, 10, 10, 1}, {ikKeyDown, 0, 0, 'A'}, {ikKeyUp, 0, 0, 'A'}},
       false,
       {}},
      {"presses that stayed on the host", {{ikButtonDown, 120, 120, 0}, {ikKeyDown, 0, 0, 'A'}}, true, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSessionPair pair;
    ASSERT_TRUE(pair.RunUntilSame(5000));
    pair.Own->Rects = {TRect{100, 100, 50, 50}};
    pair.Own->Focus = c.Focus;
    for (const TStep& s : c.Steps) pair.Window->Events->OnInput(WindowInput(s.Kind, s.X, s.Y, s.Data));
    pair.Run(100);
    const std::size_t before = pair.Injected->size();
    pair.Window->Events->OnUserClose();
    pair.Run(10);
    ASSERT_FALSE(pair.Host);
    std::vector<std::tuple<int, int, int, int>> got, want;
    for (std::size_t i = before; i < pair.Injected->size(); ++i) {
      const TInputEvent& e = (*pair.Injected)[i];
      got.emplace_back(e.Kind, e.X, e.Y, e.Data);
    }
    for (const TStep& s : c.AtTheEnd) want.emplace_back(s.Kind, s.X, s.Y, s.Data);
    EXPECT_EQ(got, want);
  }
}
