#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <thread>
#include <vector>

#include "base/TovikBytes.h"
#include "session/TovikSessionEarly.h"
#include "session/TovikSessionGuard.h"
#include "session/TovikSessionLog.h"
#include "session/TovikSessionTools.h"
#include "session/TovikSessionWire.h"
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

// Screen lists from the other PC: every rectangle is checked before the viewer adds Left and Width.
TEST(SessionScreens, ListsFromTheOtherPcAreCheckedBeforeUse) {
  auto list = [](std::vector<TRect> rects, int count = -1) {
    TBytes b{static_cast<std::uint8_t>(count >= 0 ? count : static_cast<int>(rects.size()))};
    for (const TRect& r : rects)
      for (int v : {r.Left, r.Top, r.Width, r.Height}) PutU32LE(b, static_cast<std::uint32_t>(v));
    for (std::size_t i = 0; i < rects.size(); ++i) b.insert(b.begin() + 1 + 17 * i + 16, i == 0 ? 1 : 0);
    return b;
  };
  const TRect fhd{0, 0, 1920, 1080};
  struct Case { const char* Name; TBytes Data; bool Ok; };
  const Case cases[] = {
      {"two screens", list({fhd, {1920, -200, 2560, 1440}}), true},
      {"no screen", list({}), false},
      {"at the limits", list({{-kMaxScreenOffset, kMaxScreenOffset, kMaxScreenSide, kMaxScreenSide}}), true},
      {"bytes after the list", [&] { TBytes b = list({fhd}); b.push_back(9); return b; }(), true},
      {"empty message", {}, false},
      {"shorter than its count", list({fhd}, 2), false},
      {"more screens than a host announces", list(std::vector<TRect>(kMaxScreens + 1, fhd)), false},
      {"zero width", list({fhd, {0, 0, 0, 1080}}), false},
      {"negative height", list({{0, 0, 1920, -1}}), false},
      {"wider than any picture", list({{0, 0, kMaxScreenSide + 1, 1080}}), false},
      {"left + width past INT_MAX", list({{INT_MAX - 10, 0, 1920, 1080}}), false},
      {"top + height past INT_MAX", list({{0, INT_MAX, 1920, 1080}}), false},
      {"left at INT_MIN", list({{INT_MIN, 0, 1920, 1080}}), false},
      {"corner beyond the offset limit", list({{kMaxScreenOffset + 1, 0, 1920, 1080}}), false},
  };
  for (const Case& k : cases) {
    const auto screens = ParseScreens(k.Data);
    EXPECT_EQ(screens.has_value(), k.Ok) << k.Name;
    for (const TScreenRect& s : screens.value_or(std::vector<TScreenRect>{})) EXPECT_TRUE(ScreenRectOk(s.Rect)) << k.Name;
  }
  // What a host makes is what a viewer reads.
  const std::vector<TScreenRect> mine{{fhd, false}, {{1920, -200, 2560, 1440}, true}};
  const auto back = ParseScreens(MakeScreens(mine));
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 2u);
  EXPECT_EQ((*back)[1].Rect, mine[1].Rect);
  EXPECT_TRUE((*back)[1].Primary);

  // A viewer keeps the list it had when a bad one comes.
  TToolsContext ctx;
  ctx.IsViewer = true;
  std::vector<std::string> log;
  ctx.Log = [&log](const std::string& l) { log.push_back(l); };
  TSessionTools tools(ctx);
  int announced = 0;
  tools.OnMonitors = [&announced] { ++announced; };
  tools.HandleMessage({mkScreens, false, MakeScreens(mine)});
  tools.HandleMessage({mkScreens, false, list({{INT_MAX - 10, 0, 1920, 1080}})});
  EXPECT_EQ(announced, 1);
  ASSERT_EQ(tools.Monitors().size(), 2u);
  EXPECT_EQ(tools.Monitors()[1].Rect, mine[1].Rect);
  EXPECT_EQ(log, std::vector<std::string>{"tools: screen list refused (malformed)"});
}

// The helper's profile: name and company are cut to 80 characters before anything shows them.
TEST(SessionTools, TheHelpersNameIsCutTo80Characters) {
  TToolsContext ctx;
  TSessionTools tools(ctx);
  const std::string name = std::string(100, 'n'), company = "\xC3\xA9" + std::string(100, 'c');
  tools.HandleMessage({mkProfile, false, BytesOf(" " + name + " |" + company + "|||0")});
  EXPECT_EQ(tools.HelperName(), std::string(80, 'n'));
  EXPECT_EQ(tools.HelperCompany(), "\xC3\xA9" + std::string(79, 'c'));
  EXPECT_TRUE(tools.ProfileDone());
}
