// The service's side of updates as its loop drives it: when the update unit runs, and when the service
// restarts onto a new build. The unit, the requests and the disk are fakes; time is a manual clock and
// the loop's rounds come every 2 seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/TovikClock.h"
#include "update/TovikServiceUpdate.h"

namespace tovik {
namespace {

class TFakeRequests final : public IUpdateRequests {
 public:
  bool Take() override { return std::exchange(Pending, false); }
  bool Pending = false;
};

class TFakeUnit final : public IUpdateUnit {
 public:
  std::string Run() override {
    ++Runs;
    return Body ? Body() : std::string();
  }
  std::function<std::string()> Body;
  int Runs = 0;
};

struct TLoop {
  TManualClock Clock;
  TFakeRequests Requests;
  std::shared_ptr<TFakeUnit> Unit = std::make_shared<TFakeUnit>();
  std::vector<std::string> Lines;
  int OnDisk = 412;
  std::string RootProblem;
  std::vector<std::function<void()>> Held;  // unit runs not yet done (when Hold)
  bool Hold = false;
  std::unique_ptr<TServiceUpdater> Updater;

  TLoop() {
    TServiceUpdateSetup s;
    s.ProgramFile = "/nonexistent/tovik";
    s.RunningBuild = 412;
    Updater = std::make_unique<TServiceUpdater>(
        s, Unit, Requests, [this](const std::string& l) { Lines.push_back(l); }, Clock.Now(),
        [this](std::function<void()> job) {
          if (Hold)
            Held.push_back(std::move(job));
          else
            job();
        });
    Updater->ReadBuild = [this](const std::string&) { return OnDisk; };
    Updater->RootOnly = [this](const std::string&) { return RootProblem; };
  }
  // Rounds every 2 s over AMs; true as soon as one says to restart.
  bool RunFor(TTick AMs) {
    for (TTick t = 0; t < AMs; t += 2000) {
      Clock.Advance(2000);
      if (Updater->UpdateCheck(Clock.Now())) return true;
    }
    return false;
  }
  int Count(const std::string& ALine) const { return static_cast<int>(std::count(Lines.begin(), Lines.end(), ALine)); }
};

TEST(ServiceUpdateLoop, RunsTheUnitWhenAskedOrDueAndRestartsOnlyOntoANewBuild) {
  const std::string kAsked = "Update: Tovik asks to install a new build";
  const std::string kRestart = "Update: restarting the service on the new build";
  struct Case {
    const char* What;
    bool Ask;
    TTick For;
    std::function<std::string(TLoop&)> Body;  // the unit's run
    int Runs;
    bool Restart;
    std::string Line;  // a line that must be in the log ("" for none)
  };
  const Case cases[] = {
      {"asked, and the unit installs a new build", true, 10'000,
       [](TLoop& l) {
         l.OnDisk = 413;
         return std::string();
       },
       1, true, kRestart},
      {"asked, but up to date", true, 120'000, [](TLoop&) { return std::string(); }, 1, false, kAsked},
      {"not asked, not due yet", false, kServiceFirstLookMs - 2000, nullptr, 0, false, ""},
      {"due on the service's own schedule", false, kServiceFirstLookMs, [](TLoop&) { return std::string(); }, 1,
       false, "Update: looking for a new build"},
      {"the unit does not start", true, 120'000,
       [](TLoop&) { return std::string("systemctl ended with code 5: Unit tovik-update.service not found."); }, 1,
       false, "Update: tovik-update.service did not finish: systemctl ended with code 5: Unit tovik-update.service not found."},
      {"the new build is not root's alone", true, 10'000,
       [](TLoop& l) {
         l.OnDisk = 413;
         l.RootProblem = "/opt/tovik may be changed by other users";
         return std::string();
       },
       1, false, "Update: the new build is not used: /opt/tovik may be changed by other users"},
  };
  for (const Case& c : cases) {
    TLoop loop;
    if (c.Body) loop.Unit->Body = [&loop, &c] { return c.Body(loop); };
    loop.Requests.Pending = c.Ask;
    EXPECT_EQ(loop.RunFor(c.For), c.Restart) << c.What;
    EXPECT_EQ(loop.Unit->Runs, c.Runs) << c.What;
    if (!c.Line.empty()) {
      EXPECT_EQ(loop.Count(c.Line), 1) << c.What;
    }
    if (!c.Restart) {
      EXPECT_EQ(loop.Count(kRestart), 0) << c.What;
    }
    EXPECT_EQ(loop.Updater->State(), TServiceUpdater::usIdle) << c.What;
  }
}

TEST(ServiceUpdateLoop, OneRunAtATimeAndOnePerGuardWindow) {
  TLoop loop;
  loop.Hold = true;
  loop.Requests.Pending = true;
  loop.RunFor(2000);
  ASSERT_EQ(loop.Held.size(), 1u);
  EXPECT_EQ(loop.Updater->State(), TServiceUpdater::usInstalling);
  // Asked again, and the schedule falls due, while the unit runs: nothing else starts.
  for (int i = 0; i < 5; ++i) {
    loop.Requests.Pending = true;
    loop.RunFor(kServiceFirstLookMs / 5);
  }
  EXPECT_EQ(loop.Held.size(), 1u);
  loop.Held[0]();
  EXPECT_EQ(loop.Updater->State(), TServiceUpdater::usIdle);

  // Within the guard window further requests are only noted, once.
  for (int i = 0; i < 5; ++i) {
    loop.Requests.Pending = true;
    loop.RunFor(2000);
  }
  EXPECT_EQ(loop.Held.size(), 1u);
  EXPECT_EQ(loop.Count("Update: asked again too soon; waiting"), 1);
  // After it, a request runs the unit again; the schedule had been moved on by the first run.
  loop.Clock.Advance(kRequestGuardMs);
  loop.Requests.Pending = true;
  loop.RunFor(2000);
  EXPECT_EQ(loop.Held.size(), 2u);
  EXPECT_EQ(loop.Count("Update: Tovik asks to install a new build"), 2);
  EXPECT_EQ(loop.Count("Update: looking for a new build"), 0);
}

}  // namespace
}  // namespace tovik
