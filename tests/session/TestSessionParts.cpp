#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "base/TovikBytes.h"
#include "session/TovikSessionEarly.h"
#include "session/TovikSessionGuard.h"
#include "session/TovikSessionLog.h"
#include "session/TovikWallpaper.h"

using namespace tovik;

TEST(SessionGuard, GuardedWorkRunsOnlyWhileAlive) {
  auto guard = std::make_shared<TSessionGuard>();
  std::vector<std::function<void()>> queue;
  int ran = 0;
  queue.push_back(Guarded(guard, [&] { ++ran; }));
  queue.push_back(Guarded(guard, [&] { ++ran; }));
  queue[0]();
  EXPECT_EQ(ran, 1);
  guard->Kill();
  EXPECT_FALSE(guard->IsAlive());
  queue[1]();
  EXPECT_EQ(ran, 1);
}

namespace {
struct TMsg {
  int Id = 0;
  TBytes Data;
};
}  // namespace

TEST(SessionEarly, CapsCountAndBytesAndKeepsOrder) {
  TEarlyBuffer<TMsg> buf(3, 100);
  EXPECT_TRUE(buf.Push({1, TBytes(60)}));
  EXPECT_TRUE(buf.Push({2, TBytes(40)}));
  EXPECT_FALSE(buf.Push({3, TBytes(1)}));  // bytes cap reached exactly
  EXPECT_TRUE(buf.Push({4, TBytes()}));    // empty bodies still count
  EXPECT_FALSE(buf.Push({5, TBytes()}));   // count cap
  EXPECT_EQ(buf.Bytes(), 100u);
  auto all = buf.Take();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].Id, 1);
  EXPECT_EQ(all[1].Id, 2);
  EXPECT_EQ(all[2].Id, 4);
  EXPECT_EQ(buf.Count(), 0u);
  EXPECT_EQ(buf.Bytes(), 0u);
  EXPECT_TRUE(buf.Push({6, TBytes(100)}));
}

TEST(SessionEarly, DefaultCapIsFourMiB) {
  TEarlyBuffer<TMsg> buf;
  std::size_t n = 0;
  while (buf.Push({0, TBytes(1150)})) ++n;
  EXPECT_EQ(n, kEarlyMaxBytes / 1150);
  EXPECT_LE(buf.Bytes(), kEarlyMaxBytes);
}

namespace {
// Records calls; a Hide blocks until released, so that later wishes pile up behind it.
class TFakeWallpaper : public IWallpaperBackend {
 public:
  struct TShared {
    std::mutex Lock;
    std::vector<std::string> Calls;
    std::atomic<bool> Release{true};
    std::atomic<bool> Hiding{false};  // a Hide has started
    std::optional<std::string> HideResult = std::string("zoom");
  };
  explicit TFakeWallpaper(std::shared_ptr<TShared> s) : S(std::move(s)) {}
  std::optional<std::string> Hide() override {
    S->Hiding = true;
    while (!S->Release.load()) std::this_thread::yield();
    std::lock_guard<std::mutex> l(S->Lock);
    S->Calls.push_back("hide");
    return S->HideResult;
  }
  bool Restore(const std::string& v) override {
    std::lock_guard<std::mutex> l(S->Lock);
    S->Calls.push_back("restore " + v);
    return true;
  }
  std::shared_ptr<TShared> S;
};
}  // namespace

// While a hide is still running, any number of wallpaper toggles leaves one job pending: the worker
// then brings the desktop to the latest wanted state, and a restore never overtakes the hide before
// it. The keeper's end restores what was hidden.
TEST(SessionWallpaper, TogglesBehindARunningHideCoalesceToTheLatestWish) {
  struct TCase {
    const char* Name;
    int Toggles;  // restore, hide, restore, ... after the first hide
    std::vector<std::string> Done;
  } cases[] = {
      {"restore", 1, {"hide", "restore zoom"}},
      {"restore, hide", 2, {"hide"}},
      {"restore, hide, restore", 3, {"hide", "restore zoom"}},
      {"a helper toggling ten thousand times", 10000, {"hide"}},
      {"and once more", 10001, {"hide", "restore zoom"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto s = std::make_shared<TFakeWallpaper::TShared>();
    s->Release = false;
    {
      TWallpaperKeeper k(std::make_unique<TFakeWallpaper>(s));
      k.Hide();
      while (!s->Hiding.load()) std::this_thread::yield();
      for (int i = 0; i < c.Toggles; ++i) i % 2 == 0 ? k.Restore() : k.Hide();
      EXPECT_EQ(k.Hidden(), c.Toggles % 2 == 0);
      s->Release = true;
      k.Drain();
      std::lock_guard<std::mutex> l(s->Lock);
      EXPECT_EQ(s->Calls, c.Done);
    }
    EXPECT_EQ(s->Calls, (std::vector<std::string>{"hide", "restore zoom"}));
  }
}

TEST(SessionWallpaper, RestoreWithoutSavedValueLeavesBackgroundAlone) {
  auto s = std::make_shared<TFakeWallpaper::TShared>();
  s->HideResult.reset();  // the desktop could not be changed
  {
    TWallpaperKeeper k(std::make_unique<TFakeWallpaper>(s));
    k.Restore();  // never hidden: nothing queued
    k.Hide();
    k.Hide();  // already hidden: nothing queued
    k.Drain();  // the hide has run (and failed)
    k.Restore();
    EXPECT_FALSE(k.Hidden());
  }
  EXPECT_EQ(s->Calls, (std::vector<std::string>{"hide"}));
}

TEST(SessionLog, LineFormat) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(SessionLogLine("destroy end", 1700000000123), "2023-11-14 22:13:20.123  [sess] destroy end");
}
