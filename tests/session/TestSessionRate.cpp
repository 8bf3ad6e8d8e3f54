#include <gtest/gtest.h>

#include "session/TovikSessionRate.h"

using namespace tovik;

namespace {
// Feeds one statistics window of 2000 ms with the given figures and runs the step at its end.
TRateStep Window(const TRateState& s, TTick& now, int captures, int wanted, int blocked, int encodeMs) {
  TRateState w = s;
  w.FStatCaptures = captures;
  w.FStatWanted = wanted;
  w.FStatBlocked = blocked;
  w.FStatEncodeMs = static_cast<std::uint32_t>(encodeMs * captures);
  now += 2000;
  return RateStats(w, now);
}
}  // namespace

TEST(SessionRate, FirstTickOpensTheWindowAndShortWindowsWait) {
  TRateState s = InitialRate(5000);
  auto r = RateStats(s, 5000);
  EXPECT_EQ(r.Next.FStatStart, 5000u);
  r.Next.FStatCaptures = 50;
  auto r2 = RateStats(r.Next, 6999);
  EXPECT_EQ(r2.Next.FStatCaptures, 50);  // window not over yet
  EXPECT_TRUE(r2.Next.FRateWhy.empty());
}

TEST(SessionRate, WhyText) {
  TRateState s = InitialRate(1);
  s.FStatStart = 1000;
  s.FStatAcked = 42;
  s.FStatWanted = 200;
  s.FStatBlocked = 50;
  s.FStatCaptures = 40;
  s.FStatEncodeMs = 100;
  s.FStatGrabMs = 60;
  auto r = RateStats(s, 3100);
  EXPECT_EQ(r.Next.FRateWhy,
            "42 frames confirmed in 2100 ms, 25% of due captures found no room, capture + encode 2.5 ms "
            "(screen grab 1.5 ms)");
  EXPECT_EQ(r.Next.FStatCaptures, 0);
  EXPECT_EQ(r.Next.FStatStart, 3100u);
}

TEST(SessionRate, DropNeedsTwoBadWindowsAndBacksOff) {
  TTick now = 10000;
  TRateState s = InitialRate(now);
  s.FStatStart = now;
  // Exactly 25 % blocked and exactly 13 ms are not bad (strict comparisons).
  auto r = Window(s, now, 40, 100, 25, 13);
  EXPECT_EQ(r.Next.FBad60, 0);
  // A window with fewer than 20 pictures changes nothing.
  r.Next.FBad60 = 1;
  r = Window(r.Next, now, 19, 100, 90, 20);
  EXPECT_EQ(r.Next.FBad60, 1);
  r.Next.FBad60 = 0;
  r = Window(r.Next, now, 40, 100, 26, 5);
  EXPECT_EQ(r.Next.FBad60, 1);
  EXPECT_TRUE(r.Next.F60);
  r = Window(r.Next, now, 40, 100, 0, 14);  // slow encode counts as bad too
  ASSERT_TRUE(r.Changed);
  EXPECT_FALSE(r.Next.F60);
  EXPECT_EQ(r.Next.FFrameGapMs, 30u);
  EXPECT_EQ(r.Next.FRetry60At, now + 6000);
  EXPECT_EQ(r.Next.FRetryDelayMs, 12000u);
  EXPECT_EQ(r.Log.rfind("frame rate now 30 a second (", 0), 0u);

  // Good windows before the back-off has passed do not count.
  const TTick retry = r.Next.FRetry60At;
  r = Window(r.Next, now, 40, 100, 0, 2);
  EXPECT_LT(now, retry);
  EXPECT_EQ(r.Next.FGood30, 0);
  r = Window(r.Next, now, 40, 100, 0, 2);
  r = Window(r.Next, now, 40, 100, 0, 2);
  EXPECT_GE(now, retry);
  EXPECT_EQ(r.Next.FGood30, 1);
  r = Window(r.Next, now, 40, 100, 4, 10);  // 4 % and 10 ms are still good
  ASSERT_TRUE(r.Changed);
  EXPECT_TRUE(r.Next.F60);
  EXPECT_EQ(r.Next.FFrameGapMs, 14u);
  EXPECT_EQ(r.Next.F60Since, now);

  // A second drop soon after doubles the wait: 12 s, then 24 s, then at most 30 s.
  for (std::uint32_t expectWait : {12000u, 24000u, 30000u}) {
    r = Window(r.Next, now, 40, 100, 50, 5);
    r = Window(r.Next, now, 40, 100, 50, 5);
    ASSERT_FALSE(r.Next.F60);
    EXPECT_EQ(r.Next.FRetry60At, now + expectWait);
    r.Next.FRetry60At = 0;  // skip the wait
    r = Window(r.Next, now, 40, 100, 0, 2);
    r = Window(r.Next, now, 40, 100, 0, 2);
    ASSERT_TRUE(r.Next.F60);
  }
}

TEST(SessionRate, LongStayAt60ResetsTheBackOff) {
  TTick now = 10000;
  TRateState s = InitialRate(now);
  s.FStatStart = now;
  s.FRetryDelayMs = 24000;
  auto r = Window(s, now, 40, 100, 0, 2);
  EXPECT_EQ(r.Next.FRetryDelayMs, 24000u);
  now += 30000;
  r = Window(r.Next, now, 40, 100, 0, 2);
  EXPECT_EQ(r.Next.FRetryDelayMs, 6000u);
}

TEST(SessionRate, H264Bitrates) {
  EXPECT_EQ(H264BitrateKbps(1920, 1080, true), 9953u);
  EXPECT_EQ(H264BitrateKbps(1920, 1080, false), 7465u);
  EXPECT_EQ(H264BitrateKbps(640, 480, true), 2000u);
  EXPECT_EQ(H264BitrateKbps(7680, 4320, true), 20000u);
}

// The capture pacing: a lone change goes at once and so does one more right behind it; a steady
// stream keeps to one capture per gap on average, at 60 and at 30 a second.
TEST(SessionRate, CapturePacingLetsABurstGoAndKeepsTheAverage) {
  TCaptureBucket b;
  EXPECT_EQ(CaptureAllowedAt(b, 14), 0u) << "no capture yet";
  CaptureStarted(b, 5000, 14);
  EXPECT_LE(CaptureAllowedAt(b, 14), 5000u) << "a second capture right behind the first";
  CaptureStarted(b, 5002, 14);
  EXPECT_EQ(CaptureAllowedAt(b, 14), 5014u) << "the third waits for a gap";
  // After a quiet spell the burst is whole again.
  EXPECT_LE(CaptureAllowedAt(b, 14), 6000u);
  CaptureStarted(b, 6000, 14);
  EXPECT_LE(CaptureAllowedAt(b, 14), 6000u);

  struct TCase {
    std::uint32_t Gap;
    TTick Step;  // the stream offers a capture every Step ms
  } cases[] = {{14, 1}, {14, 5}, {30, 1}, {30, 7}, {14, 14}};
  for (const TCase& c : cases) {
    TCaptureBucket s;
    int captures = 0;
    for (TTick now = 10000; now < 12000; now += c.Step)
      if (now >= CaptureAllowedAt(s, c.Gap)) {
        CaptureStarted(s, now, c.Gap);
        ++captures;
      }
    const int cap = static_cast<int>(2000 / c.Gap) + kCaptureBurst;
    EXPECT_LE(captures, cap) << c.Gap << " every " << c.Step;
    EXPECT_GE(captures, std::min<int>(2000 / c.Step, cap - kCaptureBurst - 1)) << c.Gap << " every " << c.Step;
  }
}
