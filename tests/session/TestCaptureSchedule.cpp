// When the host grabs its screen: at once when the screen reports drawing, otherwise only at the
// pointer's polling rate; on the 8 ms tick for a screen that reports nothing. And the capture worker's
// hand-off: one result per request, in order, nothing after its end, a clean end with a capture in
// flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <zlib.h>

#include "session/TovikCaptureWorker.h"
#include "session/TovikSessionHost.h"
#include "tests/session/SessionPairFixture.h"

namespace tovik::test {
namespace {

// What the watch and the grabs of the fake screen share with the test.
// Painting takes M, as a grab does (the worker grabs on its own thread).
struct TWatchState {
  std::function<void()> OnChange;  // set while a watch lives
  std::mutex M;
  int Grabs = 0;
  int GrabCount() {
    std::lock_guard<std::mutex> l(M);
    return Grabs;
  }
};

class TCountingGrab : public TFakeGrab {
 public:
  TCountingGrab(std::shared_ptr<TFakeScreenState> s, std::shared_ptr<TWatchState> w)
      : TFakeGrab(std::move(s)), W(std::move(w)) {}
  TGrabStatus CopyTo(TBitmap32& B, bool AKeep, std::span<const TRect> ARefresh, TGrabChanges& C) override {
    std::lock_guard<std::mutex> l(W->M);
    ++W->Grabs;
    return TFakeGrab::CopyTo(B, AKeep, ARefresh, C);
  }
  std::shared_ptr<TWatchState> W;
};

struct TFakeWatch : IChangeWatch {
  explicit TFakeWatch(std::shared_ptr<TWatchState> w) : W(std::move(w)) {}
  void Rearm() override {}
  ~TFakeWatch() override { W->OnChange = nullptr; }
  std::shared_ptr<TWatchState> W;
};

// The fake screen, counting grabs; with AWatch it reports changes when the test calls Report().
class TWatchedBackend : public TFakeBackend {
 public:
  TWatchedBackend(std::shared_ptr<TFakeScreenState> s, std::shared_ptr<TWatchState> w, bool AWatch)
      : TFakeBackend(std::move(s)), W(std::move(w)), FWatch(AWatch) {}
  std::unique_ptr<IScreenGrab> CreatePlain(const TRect&) override { return std::make_unique<TCountingGrab>(S, W); }
  std::unique_ptr<IChangeWatch> WatchChanges(std::function<void()> AOnChange) override {
    if (!FWatch) return nullptr;
    W->OnChange = std::move(AOnChange);
    return std::make_unique<TFakeWatch>(W);
  }
  std::shared_ptr<TWatchState> W;
  bool FWatch;
};

TPairOptions Watched(const std::shared_ptr<TWatchState>& w, bool AWatch) {
  TPairOptions o;
  o.FakeBackend = [w, AWatch](std::shared_ptr<TFakeScreenState> s) {
    return std::make_shared<TWatchedBackend>(std::move(s), w, AWatch);
  };
  return o;
}

// Steps the pair to a moment at which the host's 8 ms capture tick is not due and the frame gap since
// the last grab (a pointer poll) has passed, while the next poll is still ahead.
void ToQuietMoment(TSessionPair& pair, TWatchState& w) {
  const int grabs = w.GrabCount();
  for (int i = 0; i < 200 && w.GrabCount() == grabs; ++i) pair.Step(pair.Clock.Now() + 1);
  pair.Run(17);
  while ((pair.Clock.Now() - pair.Opt.StartTick) % 8 != 3) pair.Step(pair.Clock.Now() + 1);
}

TEST(CaptureSchedule, AReportedChangeIsGrabbedAtOnceAndNothingElseIsGrabbedBetweenPolls) {
  auto w = std::make_shared<TWatchState>();
  TSessionPair pair(Watched(w, true));
  ASSERT_TRUE(pair.RunUntilSame(3000));
  ASSERT_TRUE(w->OnChange);
  pair.Run(200);

  // Without reports: grabs only at the pointer's polling rate, not on every 8 ms tick.
  int before = w->Grabs;
  pair.Run(400);
  EXPECT_LE(w->Grabs - before, 400 / static_cast<int>(kPointerPollMs) + 1);
  EXPECT_GE(w->Grabs - before, 400 / static_cast<int>(kPointerPollMs) - 1);

  // A change with its report: grabbed in the same millisecond, although no tick is due.
  for (std::uint32_t seed : {7u, 8u, 9u}) {
    ToQuietMoment(pair, *w);
    pair.Screen->Paint(10, 10, 100, 50, seed);
    before = w->Grabs;
    w->OnChange();
    EXPECT_LE(pair.Host->NextDeadline(), pair.Clock.Now());
    pair.Step(pair.Clock.Now());
    EXPECT_EQ(w->Grabs - before, 1) << seed;
    EXPECT_TRUE(pair.RunUntilSame(1000)) << seed;
    pair.Run(50);
  }
}

// A change reported right after a grab (here a pointer poll) is not held back to the frame gap; a
// steady stream of reported changes is still grabbed at most once per gap on average, and the viewer
// ends up with the last picture.
TEST(CaptureSchedule, AChangeRightAfterAGrabGoesAtOnceAndAStreamKeepsTheRate) {
  auto w = std::make_shared<TWatchState>();
  TSessionPair pair(Watched(w, true));
  ASSERT_TRUE(pair.RunUntilSame(3000));
  ASSERT_TRUE(w->OnChange);
  pair.Run(200);
  for (std::uint32_t seed : {21u, 22u, 23u}) {
    // Up to the pointer poll's grab, then 3 ms on (within the frame gap).
    const int polled = w->GrabCount();
    for (int i = 0; i < 200 && w->GrabCount() == polled; ++i) pair.Step(pair.Clock.Now() + 1);
    pair.Run(3);
    pair.Screen->Paint(40, 40, 120, 60, seed);
    const int before = w->GrabCount();
    w->OnChange();
    EXPECT_LE(pair.Host->NextDeadline(), pair.Clock.Now()) << seed;
    pair.Step(pair.Clock.Now());
    EXPECT_EQ(w->GrabCount() - before, 1) << seed;
    EXPECT_TRUE(pair.RunUntilSame(1000)) << seed;
    pair.Run(100);
  }

  // A change reported every millisecond for 700 ms.
  const int before = w->GrabCount();
  const TTick t0 = pair.Clock.Now();
  std::uint32_t seed = 100;
  while (pair.Clock.Now() - t0 < 700) {
    pair.Screen->Paint(static_cast<int>(seed % 50), 10, 64, 64, seed);
    ++seed;
    w->OnChange();
    pair.Step(pair.Clock.Now() + 1);
  }
  const int grabs = w->GrabCount() - before;
  const int gap = static_cast<int>(pair.Host->Rate().FFrameGapMs);
  EXPECT_LE(grabs, 700 / gap + kCaptureBurst + 1);
  EXPECT_GE(grabs, 700 / 30 - 2) << "the stream is still followed";
  EXPECT_TRUE(pair.RunUntilSame(1000)) << "the last picture shows";
}

// A screen that reports nothing is grabbed on the 8 ms tick (within the frame gap), so an unreported
// change shows without any report; a watched screen shows it with the next pointer poll.
TEST(CaptureSchedule, UnreportedChangesShowThroughTheTickOrThePointerPoll) {
  struct TCase {
    bool Watch;
    TTick Within;  // ms from the change until the viewer's picture equals the screen
  } cases[] = {{false, 8 + 14 + 20}, {true, kPointerPollMs + 20}};
  for (const TCase& c : cases) {
    auto w = std::make_shared<TWatchState>();
    TSessionPair pair(Watched(w, c.Watch));
    ASSERT_TRUE(pair.RunUntilSame(3000)) << c.Watch;
    pair.Run(200);
    pair.Screen->Paint(30, 20, 64, 64, 11);
    const TTick t0 = pair.Clock.Now();
    while (!pair.Same() && pair.Clock.Now() - t0 < 1000) pair.Step(pair.Clock.Now() + 1);
    EXPECT_LE(pair.Clock.Now() - t0, c.Within) << c.Watch;
  }
}

// ---- the worker -----------------------------------------------------------------------------------

// A screen whose updates are numbered; a capture can be held in flight until the test lets it go.
class TNumberedScreen : public IHostScreen {
 public:
  struct TShared {
    std::mutex M;
    std::condition_variable Cv;
    bool Hold = false;      // captures wait while set
    bool InCapture = false;
    int Calls = 0;
    bool LastFull = false;
    bool Raise = false;
    int MoreUntil = 0;     // captures before this call number report More
    bool CanDefer = false; // leaves its updates unfinished when asked to
    bool Deferred = false;
  };
  explicit TNumberedScreen(std::shared_ptr<TShared> s) : S(std::move(s)) {}
  TBytes CaptureUpdate(bool AFull) override {
    std::unique_lock<std::mutex> l(S->M);
    S->InCapture = true;
    S->Cv.notify_all();
    S->Cv.wait(l, [this] { return !S->Hold; });
    S->InCapture = false;
    ++S->Calls;
    S->LastFull = AFull;
    if (S->Raise) throw std::runtime_error("grab failed");
    if (S->Deferred) return Raw(S->Calls);
    return TBytes{static_cast<std::uint8_t>(S->Calls)};
  }
  // The unfinished update of call N: large enough for its compression to take a while.
  static TBytes Raw(int N) {
    TBytes b(200000);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(N * 31 + (i % 251) * (i % 7));
    return b;
  }
  bool MoreWaiting() const override {
    std::lock_guard<std::mutex> l(S->M);
    return S->Calls < S->MoreUntil;
  }
  bool DeferDeflate(bool AOn) override {
    std::lock_guard<std::mutex> l(S->M);
    S->Deferred = AOn && S->CanDefer;
    return S->CanDefer;
  }
  bool LastUnfinished() const override {
    std::lock_guard<std::mutex> l(S->M);
    return S->Deferred;
  }
  void SetArea(const TRect&) override {}
  std::string Diag() const override { return "numbered"; }
  std::shared_ptr<TShared> S;
};

// Counts the worker's wake-ups and lets the test wait for one (bounded).
struct TWakes {
  std::mutex M;
  std::condition_variable Cv;
  int N = 0;
  void operator()() {
    std::lock_guard<std::mutex> l(M);
    ++N;
    Cv.notify_all();
  }
  bool WaitFor(int n) {
    std::unique_lock<std::mutex> l(M);
    return Cv.wait_for(l, std::chrono::seconds(30), [&] { return N >= n; });
  }
};

TEST(CaptureWorker, EachRequestGetsOneResultInOrder) {
  auto s = std::make_shared<TNumberedScreen::TShared>();
  TWakes wakes;
  TCaptureWorker worker(std::make_unique<TNumberedScreen>(s), [&] { wakes(); });
  EXPECT_TRUE(worker.Idle());
  EXPECT_FALSE(worker.Take());
  for (int i = 1; i <= 20; ++i) {
    const bool full = i % 3 == 0;
    ASSERT_TRUE(worker.Request(full));
    EXPECT_FALSE(worker.Request(false)) << "a second request while one is in flight";
    ASSERT_TRUE(wakes.WaitFor(i));
    EXPECT_TRUE(worker.Ready());
    EXPECT_FALSE(worker.Request(false)) << "a request while a result waits";
    auto r = worker.Take();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Update, TBytes{static_cast<std::uint8_t>(i)});
    EXPECT_EQ(r->Full, full);
    EXPECT_EQ(r->Diag, "numbered");
    EXPECT_FALSE(worker.Take()) << "taken once";
    EXPECT_TRUE(worker.Idle());
  }
  EXPECT_EQ(worker.WithScreen([](IHostScreen& sc) { return sc.Diag(); }), "numbered");
  std::lock_guard<std::mutex> l(s->M);
  EXPECT_EQ(s->Calls, 20);
}

TEST(CaptureWorker, AFailedCaptureGivesAnEmptyResultWithTheReason) {
  auto s = std::make_shared<TNumberedScreen::TShared>();
  s->Raise = true;
  TWakes wakes;
  TCaptureWorker worker(std::make_unique<TNumberedScreen>(s), [&] { wakes(); });
  ASSERT_TRUE(worker.Request(true));
  ASSERT_TRUE(wakes.WaitFor(1));
  auto r = worker.Take();
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->Update.empty());
  EXPECT_TRUE(r->Full);
  EXPECT_EQ(r->Error, "grab failed");
}

TEST(CaptureWorker, EndsCleanlyWithACaptureInFlight) {
  auto s = std::make_shared<TNumberedScreen::TShared>();
  s->Hold = true;
  std::atomic<int> wakes{0};
  auto worker = std::make_unique<TCaptureWorker>(std::make_unique<TNumberedScreen>(s), [&] { ++wakes; });
  ASSERT_TRUE(worker->Request(false));
  {
    std::unique_lock<std::mutex> l(s->M);
    ASSERT_TRUE(s->Cv.wait_for(l, std::chrono::seconds(30), [&] { return s->InCapture; }));
  }
  std::thread ender([&] { worker.reset(); });
  {
    std::lock_guard<std::mutex> l(s->M);
    s->Hold = false;
  }
  s->Cv.notify_all();
  ender.join();
  // The capture ended before the worker did; its result was reported at most once (when it was done
  // before the end began), and nothing comes after the end.
  const int after = wakes.load();
  EXPECT_LE(after, 1);
  {
    std::lock_guard<std::mutex> l(s->M);
    EXPECT_EQ(s->Calls, 1);
    EXPECT_FALSE(s->InCapture);
  }
  EXPECT_EQ(wakes.load(), after);
}

// Inflates a zlib update (bounded).
TBytes Inflated(const TBytes& AZ) {
  TBytes out(400000);
  uLongf n = out.size();
  if (uncompress(out.data(), &n, AZ.data(), AZ.size()) != Z_OK) return {};
  out.resize(n);
  return out;
}

// A change too large for one update: one request, and the worker captures the rest ahead by itself,
// never more than kMaxAhead results untaken; the results come in capture order whichever thread
// compressed them, each exactly the screen's update; then the worker is idle and takes requests.
TEST(CaptureWorker, ALargeChangeIsCapturedAheadAndTakenInOrder) {
  struct TCase {
    bool CanDefer;
    bool Deflater;
  } cases[] = {{true, true}, {true, false}, {false, true}};
  for (const TCase& c : cases) {
    auto s = std::make_shared<TNumberedScreen::TShared>();
    s->MoreUntil = 8;
    s->CanDefer = c.CanDefer;
    TWakes wakes;
    TCaptureWorker worker(std::make_unique<TNumberedScreen>(s), [&] { wakes(); }, {}, c.Deflater);
    const bool deferred = c.CanDefer && c.Deflater;
    ASSERT_TRUE(worker.Request(true));
    // Nothing taken: the worker stops after kMaxAhead results.
    ASSERT_TRUE(wakes.WaitFor(static_cast<int>(TCaptureWorker::kMaxAhead)));
    {
      std::lock_guard<std::mutex> l(s->M);
      EXPECT_LE(s->Calls, static_cast<int>(TCaptureWorker::kMaxAhead));
    }
    EXPECT_FALSE(worker.Idle());
    EXPECT_FALSE(worker.Request(false)) << "no request while the change goes on";
    for (int i = 1; i <= 8; ++i) {
      std::optional<TCaptureWorker::TResult> r;
      for (int round = 0; round < 3000 && !r; ++round) {
        r = worker.Take();
        if (!r) {
          std::unique_lock<std::mutex> l(wakes.M);
          wakes.Cv.wait_for(l, std::chrono::milliseconds(10));
        }
      }
      ASSERT_TRUE(r) << i;
      EXPECT_EQ(r->Full, i == 1) << i;
      EXPECT_EQ(r->More, i < 8) << i;
      EXPECT_TRUE(r->Error.empty()) << r->Error;
      if (deferred)
        EXPECT_EQ(Inflated(r->Update), TNumberedScreen::Raw(i)) << i;
      else
        EXPECT_EQ(r->Update, TBytes{static_cast<std::uint8_t>(i)}) << i;
    }
    EXPECT_TRUE(worker.Idle());
    EXPECT_FALSE(worker.Take());
    EXPECT_TRUE(worker.Request(false));
  }
}

// The end while a large change is being captured ahead and compressed on both threads: no result
// is reported after it, and nothing is left running.
TEST(CaptureWorker, EndsCleanlyWhileCapturingAhead) {
  for (int untilEnd : {0, 1, 3}) {
    auto s = std::make_shared<TNumberedScreen::TShared>();
    s->MoreUntil = 1000;
    s->CanDefer = true;
    auto wakes = std::make_shared<TWakes>();
    auto worker = std::make_unique<TCaptureWorker>(std::make_unique<TNumberedScreen>(s), [wakes] { (*wakes)(); });
    ASSERT_TRUE(worker->Request(false));
    for (int i = 0; i < untilEnd; ++i) {
      ASSERT_TRUE(wakes->WaitFor(1));
      while (!worker->Ready()) {
        std::unique_lock<std::mutex> l(wakes->M);
        wakes->Cv.wait_for(l, std::chrono::milliseconds(10));
      }
      ASSERT_TRUE(worker->Take());
    }
    worker.reset();
    int after;
    {
      std::lock_guard<std::mutex> l(wakes->M);
      after = wakes->N;
    }
    std::lock_guard<std::mutex> l(s->M);
    EXPECT_FALSE(s->InCapture);
    EXPECT_EQ(wakes->N, after);
  }
}

// The whole host with its worker: the viewer's picture becomes the host's, pixel for pixel, after
// every change, and the host's end stops the worker. On the larger screen a change of noise (photo-like
// tiles) needs several updates, which the worker captures ahead and compresses on two threads.
TEST(CaptureWorker, TheViewerConvergesWithTheHostsWorker) {
  struct TSize {
    int W, H;
  } sizes[] = {{320, 200}, {1280, 720}};
  for (const TSize& z : sizes) {
    auto w = std::make_shared<TWatchState>();
    auto wakes = std::make_shared<TWakes>();
    TPairOptions o = Watched(w, true);
    o.CaptureWorker = true;
    o.HostWake = [wakes] { (*wakes)(); };
    o.W = z.W;
    o.H = z.H;
    TSessionPair pair(std::move(o));
    // Virtual time stands still while the worker runs; a round waits (bounded) for its wake-up.
    const auto runUntilSame = [&] {
      for (int i = 0; i < 4000; ++i) {
        int seen;
        {
          std::lock_guard<std::mutex> l(wakes->M);
          seen = wakes->N;
        }
        pair.Step(pair.Clock.Now() + 1);
        if (pair.Same()) return true;
        std::unique_lock<std::mutex> l(wakes->M);
        wakes->Cv.wait_for(l, std::chrono::milliseconds(5), [&] { return wakes->N > seen; });
      }
      return false;
    };
    ASSERT_TRUE(runUntilSame()) << z.W;
    for (std::uint32_t seed : {3u, 4u, 5u}) {
      {
        std::lock_guard<std::mutex> l(w->M);
        pair.Screen->Paint(0, 0, pair.Opt.W, pair.Opt.H / 2 + static_cast<int>(seed), seed);
      }
      w->OnChange();
      EXPECT_TRUE(runUntilSame()) << z.W << " " << seed;
      // A small change right behind a large one.
      {
        std::lock_guard<std::mutex> l(w->M);
        pair.Screen->Paint(z.W - 100, z.H - 60, 90, 50, seed + 50);
      }
      w->OnChange();
      EXPECT_TRUE(runUntilSame()) << z.W << " " << seed;
    }
    EXPECT_TRUE(pair.Has(pair.HostLog, "screen: grabbed when the display reports drawing, encoded on a worker thread"));
  }
}

}  // namespace
}  // namespace tovik::test
