#include <gtest/gtest.h>

#include "app/TovikRunModes.h"
#include "app/TovikSettings.h"
#include "tests/base/TestTempDir.h"

using namespace tovik;
using namespace tovik::test;

TEST(Switches, NamedSwitchMatching) {
  struct Case {
    const char* Arg;
    const char* Name;
    bool Match;
  };
  const Case cases[] = {
      {"/TRAY", "tray", true},    {"-tray", "tray", true},     {"--tray", "tray", true},
      {"/Tray", "tray", true},    {"/trays", "tray", false},   {"tray", "tray", false},
      {"/tra", "tray", false},    {"", "tray", false},         {"/", "tray", false},
      {"-agent", "agent", true},  {"/AGENT", "agent", true},   {"/agent2", "agent", false},
      {"---tray", "tray", false}, {"/ tray", "tray", false},   {"\\tray", "tray", false},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchesSwitch(c.Arg, c.Name), c.Match) << c.Arg;
}

TEST(Switches, ApplyUpdateAndWaitPid) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ParseRunSwitches(V{"/min", "/applyupdate"}).ApplyUpdateTarget, std::nullopt);  // last: not a switch
  EXPECT_EQ(ParseRunSwitches(V{"/APPLYUPDATE", "/opt/t/tovik", "/applyupdate", "x"}).ApplyUpdateTarget,
            "/opt/t/tovik");
  EXPECT_EQ(ParseRunSwitches(V{"-applyupdate", "x"}).ApplyUpdateTarget, std::nullopt);  // "/" only
  EXPECT_EQ(ParseRunSwitches(V{"/applyupdate:x", "y"}).ApplyUpdateTarget, std::nullopt);

  struct Case {
    V Args;
    long Pid;
  };
  const Case cases[] = {{{"/waitpid:1234"}, 1234},     {{"/WaitPid:77", "/waitpid:88"}, 77},
                        {{"/waitpid:abc", "/waitpid:5"}, 0},  // only the first one counts
                        {{"/waitpid:"}, 0},            {{"-waitpid:5"}, 0},
                        {{"/waitpid5"}, 0},            {{"/waitpid:99999999999"}, 0}};
  for (const auto& c : cases) EXPECT_EQ(ParseRunSwitches(c.Args).WaitPid, c.Pid) << c.Args[0];
}

TEST(Elevation, DecisionTable) {
  struct Case {
    bool NoAdmin, Elevated, ServiceRunning, AutoElevate, Relaunch;
  };
  const Case cases[] = {
      {false, false, false, true, true},  {true, false, false, true, false}, {false, true, false, true, false},
      {false, false, true, true, false},  {false, false, false, false, false},
  };
  for (const auto& c : cases) {
    TRunSwitches sw;
    sw.NoAdmin = c.NoAdmin;
    EXPECT_EQ(ShouldRelaunchElevated(sw, c.Elevated, c.ServiceRunning, c.AutoElevate), c.Relaunch)
        << c.NoAdmin << c.Elevated << c.ServiceRunning << c.AutoElevate;
  }
  TRunSwitches sw = ParseRunSwitches({"/tray", "/show", "/min"});
  EXPECT_EQ(ElevationParameters(sw), "/noadmin /tray");
  EXPECT_EQ(ElevationParameters(ParseRunSwitches({"/show", "/min"})), "/noadmin");
}

namespace {

// Backends that record what the sequence asked of them.
struct TFakes : IServiceModes, IElevation, IProcessWaiter {
  std::vector<std::string> Calls;
  TModeResult Result = TModeResult::mrOk;
  bool Elevated = false;
  bool Running = false;
  bool AutoElevateOn = false;
  TRelaunchResult Relaunch = TRelaunchResult::rrStarted;
  std::vector<std::string> Errors;

  TModeResult Record(std::string what) {
    Calls.push_back(std::move(what));
    return Result;
  }
  TModeResult RestartService() override { return Record("restartservice"); }
  TModeResult InstallUpdate() override { return Record("serviceupdate"); }
  TModeResult Install() override { return Record("install"); }
  TModeResult Uninstall() override { return Record("uninstall"); }
  TModeResult RunService() override { return Record("service"); }
  TModeResult RunAgent() override { return Record("agent"); }
  bool IsServiceRunning() override { return Running; }
  bool IsElevated() override { return Elevated; }
  TRelaunchResult RelaunchElevated(const std::string& params) override {
    Calls.push_back("relaunch " + params);
    return Relaunch;
  }
  TWaitResult WaitForExit(long pid, int timeoutMs) override {
    Calls.push_back("wait " + std::to_string(pid) + " " + std::to_string(timeoutMs));
    return TWaitResult::wrEnded;
  }

  TRunContext Context() {
    TRunContext ctx;
    ctx.Services = this;
    ctx.Elevation = this;
    ctx.Waiter = this;
    ctx.ApplyUpdate = [this](const std::string& target) {
      Calls.push_back("applyupdate " + target);
      return 7;
    };
    ctx.AutoElevate = [this] {
      Calls.push_back("read AutoElevate");
      return AutoElevateOn;
    };
    ctx.RunInteractive = [this](const TRunSwitches& sw) {
      Calls.push_back(std::string("interactive") + (sw.Tray ? " tray" : "") + (sw.Min ? " min" : ""));
      return 0;
    };
    ctx.Error = [this](std::string_view l) { Errors.emplace_back(l); };
    return ctx;
  }
  int Run(std::vector<std::string> args) { return RunMainSequence(args, Context()); }
};

using V = std::vector<std::string>;

}  // namespace

TEST(MainSequence, FirstClaimingStepWins) {
  struct Case {
    V Args;
    int Exit;
    V Calls;
  };
  const Case cases[] = {
      {{"/install", "/applyupdate", "/t/new", "/waitpid:5"}, 7, {"applyupdate /t/new"}},
      {{"/install", "/applyupdate"}, 0, {"install"}},
      {{"/min", "/applyupdate"}, 0, {"read AutoElevate", "interactive min"}},
      {{"/waitpid:42", "/tray"}, 0, {"wait 42 20000", "read AutoElevate", "interactive tray"}},
      {{"/waitpid:x"}, 0, {"read AutoElevate", "interactive"}},
      {{"/waitpid:9", "/service", "/restartservice"}, 0, {"wait 9 20000", "restartservice"}},
      {{"/service", "/serviceupdate", "/tray"}, 0, {"serviceupdate"}},
      {{"/uninstall", "-INSTALL"}, 0, {"install"}},
      {{"/agent", "/service", "/uninstall"}, 0, {"uninstall"}},
      {{"--agent", "/service"}, 0, {"service"}},
      {{"-Agent", "/tray"}, 0, {"agent"}},
      {{"/agent2"}, 0, {"read AutoElevate", "interactive"}},
  };
  for (const auto& c : cases) {
    TFakes f;
    EXPECT_EQ(f.Run(c.Args), c.Exit) << c.Args[0];
    EXPECT_EQ(f.Calls, c.Calls) << c.Args[0];
  }
}

TEST(MainSequence, ModeExitCodes) {
  struct Case {
    const char* Arg;
    TModeResult Result;
    int Exit;
    bool Message;
  };
  const Case cases[] = {
      {"/install", TModeResult::mrFailed, 1, false},      {"/install", TModeResult::mrUnavailable, 1, true},
      {"/uninstall", TModeResult::mrFailed, 1, false},    {"/service", TModeResult::mrFailed, 1, false},
      {"/service", TModeResult::mrUnavailable, 1, true},  {"/restartservice", TModeResult::mrFailed, 1, false},
      {"/agent", TModeResult::mrFailed, 0, false},  // the agent loop always ends with 0
      {"/agent", TModeResult::mrUnavailable, 1, true},
  };
  for (const auto& c : cases) {
    TFakes f;
    f.Result = c.Result;
    EXPECT_EQ(f.Run({c.Arg}), c.Exit) << c.Arg;
    EXPECT_EQ(f.Errors.size(), c.Message ? 1u : 0u) << c.Arg;
  }
  TFakes f;
  TRunContext ctx = f.Context();
  ctx.ApplyUpdate = nullptr;
  EXPECT_EQ(RunMainSequence({"/applyupdate", "x"}, ctx), 1);
  EXPECT_EQ(f.Errors.size(), 1u);
}

TEST(MainSequence, ElevationRelaunch) {
  struct Case {
    const char* Name;
    V Args;
    bool Elevated, Running, AutoElevate;
    TRelaunchResult Relaunch;
    int Exit;
    V Calls;
  };
  const auto started = TRelaunchResult::rrStarted;
  const Case cases[] = {
      {"relaunch with tray only", {"/tray", "/show", "/min"}, false, false, true, started, 0,
       {"read AutoElevate", "relaunch /noadmin /tray"}},
      {"declined: go on", {"/min"}, false, false, true, TRelaunchResult::rrNotStarted, 0,
       {"read AutoElevate", "relaunch /noadmin", "interactive min"}},
      {"not needed on this desktop", {}, false, false, true, TRelaunchResult::rrNotNeeded, 0,
       {"read AutoElevate", "relaunch /noadmin", "interactive"}},
      {"setting off", {}, false, false, false, started, 0, {"read AutoElevate", "interactive"}},
      {"noadmin", {"-NOADMIN"}, false, false, true, started, 0, {"interactive"}},
      {"already elevated", {}, true, false, true, started, 0, {"interactive"}},
      {"service running", {}, false, true, true, started, 0, {"interactive"}},
  };
  for (const auto& c : cases) {
    TFakes f;
    f.Elevated = c.Elevated;
    f.Running = c.Running;
    f.AutoElevateOn = c.AutoElevate;
    f.Relaunch = c.Relaunch;
    EXPECT_EQ(f.Run(c.Args), c.Exit) << c.Name;
    EXPECT_EQ(f.Calls, c.Calls) << c.Name;
  }
}

// [Admin] AutoElevate as the program reads it: program-side first, the per-user file over it.
TEST(MainSequence, AutoElevateFromTheSettingsFiles) {
  struct Case {
    const char* User;
    const char* Program;
    bool Relaunch;
  };
  const Case cases[] = {
      {"[Admin]\nAutoElevate=1\n", "[Admin]\nAutoElevate=0\n", true},
      {"", "[Admin]\nAutoElevate=1\n", true},
      {"[Admin]\nAutoElevate=0\n", "[Admin]\nAutoElevate=1\n", false},
      {"", "", false},
  };
  for (const auto& c : cases) {
    TTempDir dir;
    TSettingsPaths p;
    p.UserFolder = dir.Path();
    p.UserIni = dir / "user.ini";
    p.ProgramIni = {dir / "program.ini"};
    WriteFile(p.UserIni, c.User);
    WriteFile(p.ProgramIni[0], c.Program);
    TIniText builtIn;
    TSettingsStore store(p, builtIn);
    TFakes f;
    TRunContext ctx = f.Context();
    ctx.AutoElevate = [&] { return store.ReadSwitch("Admin", "AutoElevate"); };
    RunMainSequence({}, ctx);
    EXPECT_EQ(f.Calls.front() == "relaunch /noadmin", c.Relaunch) << c.User << "|" << c.Program;
  }
}
