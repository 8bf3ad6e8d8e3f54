// Rate control: the round-trip estimator's resend time-out, and the paced frame sender on a simulated
// bottleneck under virtual time (the rate rises to the link, falls with a smaller one, the bytes in
// flight stay bounded, lost feedback does not stall it, hostile feedback changes nothing).
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "FramesTestUtil.h"
#include "net/TovikFrames.h"
#include "net/TovikFramesPacer.h"
#include "tests/sim/TovikSimBottleneck.h"
#include "tests/sim/TovikSimChannelPath.h"

namespace tovik {
namespace {

using sim::TBottleneckParams;
using sim::TSimBottleneck;
using sim::TSimChannelPath;

TEST(RttEstimator, ResendTimeOutFollowsTheSamples) {
  struct Case {
    const char* name;
    std::vector<TTick> samples;
    int backOffs;
    TTick rto;
  };
  const Case cases[] = {
      {"before any sample", {}, 0, 300},
      {"first sample: srtt 20, var 10", {20}, 0, 60},
      {"steady 20 ms: the variance decays", {20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20}, 0, 40},
      {"floor on a LAN", {1, 1, 1, 1, 1, 1, 1, 1}, 0, kRtoFloorMs},
      {"a spike raises it", {20, 20, 20, 20, 120}, 0, 145},
      {"ceiling", {900, 900}, 0, kRtoCeilingMs},
      {"back-off doubles", {20}, 1, 120},
      {"twice", {20}, 2, 240},
      {"back-off stops at the ceiling", {20}, 8, kRtoCeilingMs},
      {"back-off before any sample", {}, 1, 600},
      {"two samples", {20, 20}, 0, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRttEstimator e;
    TTick now = 1000;
    for (TTick s : c.samples) e.Sample(s, now += 10);
    for (int i = 0; i < c.backOffs; ++i) e.BackOff();
    EXPECT_EQ(e.Rto(), c.rto);
  }
  TRttEstimator e;
  e.Sample(20, 1000);
  e.BackOff();
  e.Sample(20, 1010);
  EXPECT_EQ(e.Rto(), 50) << "back-off cleared by the next sample";
}

TEST(RttEstimator, MinimumIsTheSmallestOfTheLastTenSeconds) {
  TRttEstimator e;
  e.Sample(30, 1000);
  e.Sample(20, 2000);
  e.Sample(40, 3000);
  EXPECT_EQ(e.Min(), 20u);
  e.Sample(40, 12'001);
  EXPECT_EQ(e.Min(), 40u) << "the 20 ms sample is older than ten seconds";
}

// A paced frame sender and a windowed receiver on a bottleneck both ways, driven as the session
// drives them: frames of 100 KB whenever the sender can start one (or, with Every, one frame every so
// many ms: an idle screen), a pump every 10 ms, feedback every 8 chunks and on the viewer's 10 ms tick.
struct TPacedPath {
  explicit TPacedPath(std::uint64_t bps, TTick rttMs = 20, std::size_t queue = 250'000)
      : Fwd(Params(bps, rttMs, queue, 1)), Back(Params(bps, rttMs, queue, 2)) {
    Tx.SetLegacy(false);
    Tx.SetMaxInFlight(4);
    Tx.SetPaced(true);
  }
  static TBottleneckParams Params(std::uint64_t bps, TTick rttMs, std::size_t queue, std::uint32_t seed) {
    TBottleneckParams p;
    p.RateBps = bps;
    p.DelayMs = rttMs / 2;
    p.QueueBytes = queue;
    p.Seed = seed;
    return p;
  }

  // One millisecond; AOnPump is called after each pump.
  template <class F>
  void Step(F&& AOnPump) {
    for (auto& p : Fwd.Receive(Now)) {
      TBytes reply;
      for (auto& f : Rx.HandleChunk(p, reply, Now)) DeliveredBytes += f.size();
      if (!reply.empty()) Back.Send(std::move(reply), Now);
      if (Feedback && Rx.ChunksSinceFeedback() >= kFeedbackEvery) Back.Send(Rx.TakeFeedback(), Now);
    }
    for (auto& p : Back.Receive(Now)) {
      std::uint32_t ms = 0;
      if (p[0] == pkFrameAck) Tx.HandleAck(p, ms, Now);
      if (p[0] == pkFrameNack) Tx.HandleNack(p);
      if (p[0] == pkFrameFeedback) Tx.HandleFeedback(p, Now);
    }
    if (Now % 10 == 0) {
      if (Every == 0) {
        while (Tx.CanStart()) Tx.Start(Frame, Now);
      } else if (Now - LastStart >= Every && Tx.CanStart()) {
        Tx.Start(Frame, Now);
        LastStart = Now;
      }
      for (auto& p : Tx.NextPacedPackets(Now)) Fwd.Send(std::move(p), Now);
      AOnPump();
      for (auto& n : Rx.PendingNacks(20, Now)) Back.Send(std::move(n), Now);
      if (Feedback)
        if (TBytes fb = Rx.TakeFeedback(); !fb.empty()) Back.Send(std::move(fb), Now);
    }
    ++Now;
  }
  void Run(TTick ms) {
    for (TTick i = 0; i < ms; ++i) Step([] {});
  }
  // An idle screen for AMs: a frame of 500 bytes a second; the link drops to AShrinkBps (when not 0)
  // after AShrinkAfter ms of it. Busy again afterwards.
  void Idle(TTick AMs, std::uint64_t AShrinkBps = 0, TTick AShrinkAfter = 0) {
    const TBytes busy = Frame;
    Frame = test::Blob(500);
    Every = 1000;
    for (TTick i = 0; i < AMs; ++i) {
      if (AShrinkBps && i == AShrinkAfter) Fwd.SetRate(AShrinkBps);
      Step([] {});
    }
    Frame = busy;
    Every = 0;
  }

  TSimBottleneck Fwd, Back;
  TFrameWindowSender Tx;
  TFrameWindowReceiver Rx;
  TBytes Frame = test::Blob(100'000);
  TTick Now = 1'000'000;
  std::uint64_t DeliveredBytes = 0;
  bool Feedback = true;
  TTick Every = 0;
  TTick LastStart = 0;
};

TEST(Pacer, RateRisesToTheLinkAndInFlightStaysBounded) {
  for (std::uint64_t mbit : {5, 30, 100}) {
    SCOPED_TRACE(mbit);
    const double link = static_cast<double>(mbit) * 1e6 / 8;
    TPacedPath path(mbit * 1'000'000);
    // The pump adds to what is in flight only up to the window (and one chunk more); the window itself
    // may shrink below what is in flight when the estimate falls.
    std::uint64_t worst = 0, ahead = 0;
    for (int i = 0; i < 6000; ++i) {
      ahead = path.Tx.InFlightBytes();
      path.Step([&] {
        const std::uint64_t w = path.Tx.Pacer().Window(), now = path.Tx.InFlightBytes();
        if (now > ahead && now > w) worst = std::max(worst, now - w);
      });
    }
    EXPECT_LE(worst, kChunkData + kWindowChunkHeader) << "in flight beyond the window by more than one chunk";
    const double est = static_cast<double>(path.Tx.Pacer().Bottleneck());
    EXPECT_GT(est, 0.85 * link);
    EXPECT_LT(est, 1.15 * link);
    const std::uint64_t before = path.DeliveredBytes;
    path.Run(3000);
    EXPECT_GT(static_cast<double>(path.DeliveredBytes - before) / 3.0, 0.8 * link) << "goodput near the link";
    EXPECT_EQ(path.Tx.Pacer().Phase(), TRatePacer::TPhase::ProbeBw);
  }
}

TEST(Pacer, BacksOffWhenTheLinkShrinks) {
  // From 100 to 20 Mbit/s: while the sender is busy, while it is held by its own limit on frames in
  // flight (which is no sign of an idle screen), during an idle spell or as the screen wakes up.
  struct Case {
    const char* name;
    int maxInFlight;
    std::size_t frame;  // bytes
    TTick idle;         // ms of idle screen before busy again (0: none)
    TTick shrinkAfter;  // ms into the idle spell
  };
  const Case cases[] = {
      {"busy", 4, 100'000, 0, 0},
      {"one frame at a time", 1, 1'000'000, 0, 0},
      {"during an idle spell", 4, 100'000, 30'000, 15'000},
      {"as the screen wakes up", 4, 100'000, 30'000, 29'999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPacedPath path(100'000'000);
    path.Tx.SetMaxInFlight(c.maxInFlight);
    path.Frame = test::Blob(c.frame);
    path.Run(4000);
    ASSERT_GT(path.Tx.Pacer().Bottleneck(), 10'000'000u);
    if (c.idle)
      path.Idle(c.idle, 20'000'000, c.shrinkAfter);
    else
      path.Fwd.SetRate(20'000'000);
    path.Run(3000);
    const double link = 20e6 / 8;
    EXPECT_LT(static_cast<double>(path.Tx.Pacer().Bottleneck()), 1.15 * link);
    EXPECT_GT(static_cast<double>(path.Tx.Pacer().Bottleneck()), 0.8 * link);
    // No standing queue: over the next second the queue holds on average less than two round trips'
    // worth at the new rate (a sender at the old rate keeps the 250 KB queue full).
    std::uint64_t sum = 0;
    int n = 0;
    for (int i = 0; i < 1000; ++i) path.Step([&] {
        sum += path.Fwd.QueuedBytes(path.Now);
        ++n;
      });
    EXPECT_LT(static_cast<double>(sum) / n, 2 * link * 0.020);
  }
}

TEST(Pacer, WakesUpOnAShrunkLinkWithoutFloodingIt) {
  // The link fell from 100 to 10 Mbit/s while the screen was idle, and then the whole screen changes:
  // the sender starts from its old estimate, but holds to one bottleneck-delay product until the link
  // confirms it, so that the first round overfills the 250 KB queue by less (with two products in
  // flight, some 480 chunks are lost there and resent).
  TPacedPath path(100'000'000);
  path.Run(4000);
  path.Idle(30'000, 10'000'000, 29'999);
  path.Frame = test::Blob(6'220'800);
  const std::uint64_t drops = path.Fwd.TailDrops();
  path.Run(2000);
  EXPECT_LT(path.Fwd.TailDrops() - drops, 250u);
  EXPECT_LT(static_cast<double>(path.Tx.Pacer().Bottleneck()), 1.15 * 10e6 / 8);
}

TEST(Pacer, KeepsItsEstimateThroughAnIdleScreen) {
  // An idle screen sends a small frame now and then: those deliveries say nothing about the link, and
  // the screen that changes afterwards goes at the link's rate from the start, as it did before.
  for (std::uint64_t mbit : {30, 100}) {
    SCOPED_TRACE(mbit);
    const double link = static_cast<double>(mbit) * 1e6 / 8;
    TPacedPath path(mbit * 1'000'000);
    path.Run(4000);
    const std::uint64_t before = path.Tx.Pacer().Bottleneck();
    path.Idle(30'000);
    EXPECT_GE(path.Tx.Pacer().Bottleneck(), before) << "the idle spell lowered the estimate";
    const std::uint64_t idleEnd = path.DeliveredBytes;
    path.Run(1000);
    EXPECT_GT(static_cast<double>(path.DeliveredBytes - idleEnd), 0.8 * link) << "goodput in the first second";
    EXPECT_GT(static_cast<double>(path.Tx.Pacer().Bottleneck()), 0.85 * link);
    EXPECT_LT(static_cast<double>(path.Tx.Pacer().Bottleneck()), 1.15 * link);
  }
}

TEST(Pacer, ChannelKeepsItsEstimateThroughIdleChat) {
  // A selective channel carries a file, then a chat line a second for 30 s, then another file: the
  // chat says nothing about the link, so the second file goes as fast as the first; a link that shrank
  // meanwhile is noticed during the second.
  struct Case {
    const char* name;
    std::uint64_t shrinkBps;  // 0: the link stays at 100 Mbit/s
  };
  for (const Case& c : {Case{"same link", 0}, Case{"link down to 20 Mbit/s", 20'000'000}}) {
    SCOPED_TRACE(c.name);
    TSimChannelPath path(TPacedPath::Params(100'000'000, 20, 250'000, 1),
                         TPacedPath::Params(100'000'000, 20, 250'000, 2));
    const TBytes file = test::Blob(2'000'000);
    const TTick first = path.Transfer(file, 20'000);
    ASSERT_GT(first, 0u) << "the first file did not arrive";
    const std::uint64_t before = path.A.Pacer().Bottleneck();
    for (TTick i = 0; i < 30'000; ++i) {
      if (i % 1000 == 0) path.A.Post(5, test::Blob(100), false);
      if (c.shrinkBps && i == 15'000) path.Fwd.SetRate(c.shrinkBps);
      path.Step();
    }
    EXPECT_GE(path.A.Pacer().Bottleneck(), before) << "the chat lowered the estimate";
    const TTick second = path.Transfer(file, 20'000);
    if (!c.shrinkBps) {
      EXPECT_GT(second, 0u) << "the second file did not arrive";
      EXPECT_LE(second, first + first / 10) << "first file " << first << " ms";
    } else {
      const double link = static_cast<double>(c.shrinkBps) / 8;
      EXPECT_LT(static_cast<double>(path.A.Pacer().Bottleneck()), 1.15 * link);
      EXPECT_GT(static_cast<double>(path.A.Pacer().Bottleneck()), 0.8 * link);
    }
  }
}

TEST(Pacer, LostFeedbackDoesNotStallTheSender) {
  // The viewer never reports: after a time-out the sender treats what is in flight as gone and goes on.
  TPacedPath path(100'000'000);
  path.Feedback = false;
  path.Frame = test::Blob(1'000'000);
  path.Run(3000);
  EXPECT_GE(path.DeliveredBytes, 1'000'000u) << "the frame got through without any feedback";
}

TEST(Pacer, HostileFeedbackIsIgnored) {
  TFrameWindowSender tx;
  tx.SetLegacy(false);
  tx.SetPaced(true);
  ASSERT_TRUE(tx.Start(test::Blob(12'000), 1000));
  const auto sent = tx.NextPacedPackets(1000);
  ASSERT_EQ(sent.size(), 10u);
  std::uint64_t sentBytes = 0;
  for (const auto& p : sent) sentBytes += p.size();
  auto fb = [](std::uint32_t id, std::uint16_t index, std::uint32_t received) {
    return BuildFrameFeedback({id, index, received});
  };
  TBytes tooLong = fb(1, 0, 10);
  tooLong.push_back(0);
  struct Case {
    const char* name;
    TBytes packet;
  };
  const Case hostile[] = {
      {"wrong kind", [&] { TBytes p = fb(1, 0, 10); p[0] = pkFrameAck; return p; }()},
      {"too short", [&] { TBytes p = fb(1, 0, 10); p.pop_back(); return p; }()},
      {"too long", tooLong},
      {"a chunk never sent", fb(1, 10, 1213)},
      {"a frame never sent", fb(2, 0, 1213)},
      {"the counter run backwards", fb(1, 0, 0xFFFFFFF0u)},
  };
  for (const auto& c : hostile) {
    SCOPED_TRACE(c.name);
    tx.HandleFeedback(c.packet, 1020);
    EXPECT_EQ(tx.Pacer().DeliveredBytes(), 0u);
    EXPECT_EQ(tx.InFlightBytes(), sentBytes);
  }
  tx.HandleFeedback(fb(1, 4, static_cast<std::uint32_t>(5 * sent[0].size())), 1020);
  EXPECT_EQ(tx.Pacer().DeliveredBytes(), 5 * sent[0].size());
  EXPECT_EQ(tx.InFlightBytes(), sentBytes - 5 * sent[0].size());
  EXPECT_EQ(tx.Pacer().Rtt().Min(), 20u);
  // More than was ever sent counts as no more than was sent; an older report after it is no news.
  tx.HandleFeedback(fb(1, 9, 0x7FFFFFFFu), 1030);
  EXPECT_EQ(tx.Pacer().DeliveredBytes(), sentBytes);
  tx.HandleFeedback(fb(1, 9, 100), 1040);
  EXPECT_EQ(tx.Pacer().DeliveredBytes(), sentBytes);
}

TEST(Pacer, PlainSenderIgnoresFeedbackAndKeepsItsCap) {
  // A sender for a viewer without the paced transport: 40 chunks per call, feedback has no effect.
  TFrameWindowSender tx;
  tx.SetLegacy(false);
  ASSERT_FALSE(tx.Paced());
  ASSERT_TRUE(tx.Start(test::Blob(100 * kChunkData), 1000));
  EXPECT_EQ(tx.NextPackets(40, 1000).size(), 40u);
  tx.HandleFeedback(BuildFrameFeedback({1, 0, 1213}), 1020);
  EXPECT_EQ(tx.Pacer().DeliveredBytes(), 0u);
  tx.SetPaced(true);
  tx.SetLegacy(true);
  EXPECT_FALSE(tx.Paced()) << "single-frame mode is never paced";
}

TEST(Pacer, ViewerFeedbackNamesTheLatestChunkAndCountsBytes) {
  TFrameWindowReceiver rx;
  EXPECT_TRUE(rx.TakeFeedback().empty()) << "nothing arrived";
  const TBytes data = test::Blob(kChunkData);
  const TBytes c0 = test::Chunk(pkWindowChunk, 1, 0, 3, data, 1);
  const TBytes c2 = test::Chunk(pkWindowChunk, 1, 2, 3, TBytes{1, 2}, 1);
  TBytes reply;
  rx.HandleChunk(c0, reply, 1000);
  rx.HandleChunk(c2, reply, 1001);
  rx.HandleChunk(TBytes{pkWindowChunk, 1}, reply, 1002);  // malformed: not counted
  EXPECT_EQ(rx.ChunksSinceFeedback(), 2u);
  TFrameFeedback fb;
  ASSERT_TRUE(ParseFrameFeedback(rx.TakeFeedback(), fb));
  EXPECT_EQ(fb.FrameID, 1u);
  EXPECT_EQ(fb.Index, 2u);
  EXPECT_EQ(fb.Received, c0.size() + c2.size());
  EXPECT_TRUE(rx.TakeFeedback().empty()) << "nothing new since";
}

}  // namespace
}  // namespace tovik
