// The service loop against a fake logind and a fake agent launcher.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/TovikRdpKeep.h"
#include "service/TovikServiceHost.h"

namespace tovik {
namespace {

struct TFakeLogind final : ILogind {
  TSeatState Seat;
  std::string Own;
  TSeatState ReadSeat() override { return Seat; }
  std::string OwnSession() override { return Own; }
};

struct TFakeAgents final : IAgentLauncher {
  struct TAgent final : IAgentProcess {
    long P;
    bool Alive = true;
    std::vector<std::string>* Events;
    TAgent(long p, std::vector<std::string>* e) : P(p), Events(e) {}
    long Pid() const override { return P; }
    bool Running() override { return Alive; }
    void Terminate() override {
      Alive = false;
      Events->push_back("terminate " + std::to_string(P));
    }
  };
  std::vector<std::string> Events;
  long NextPid = 100;
  bool Fail = false;
  TAgent* Last = nullptr;
  std::unique_ptr<IAgentProcess> Launch(const TSeatSession& S, std::string& AError) override {
    if (Fail) {
      AError = "Could not start the agent on " + S.Display;
      return nullptr;
    }
    Events.push_back("launch " + S.Id + " " + S.Display);
    auto a = std::make_unique<TAgent>(NextPid++, &Events);
    Last = a.get();
    return a;
  }
};

const TSeatSession kUser{"2", 1000, "x11", "user", ":1"};
const TSeatSession kGreeter{"c1", 120, "x11", "greeter", ":0"};

struct TLoopFixture {
  TFakeLogind Logind;
  TFakeAgents Agents;
  std::vector<std::string> Log;
  TServiceLoop Loop{Logind, Agents, [this](const std::string& l) { Log.push_back(l); }};
  TTick Now = 1'000'000;
};

TEST(ServiceLoop, FollowsTheActiveSessionAndRestartsAnEndedAgent) {
  TLoopFixture f;
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);  // no active session: nothing
  EXPECT_TRUE(f.Agents.Events.empty());

  f.Logind.Seat = {kUser, {1000}};
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);  // still the same session: nothing more
  EXPECT_EQ(f.Agents.Events, std::vector<std::string>{"launch 2 :1"});
  EXPECT_EQ(f.Log.back(), "Launched agent (pid 100) in session 2 on display :1");

  // A switch to the greeter replaces the agent.
  f.Logind.Seat = {kGreeter, {1000, 120}};
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);
  EXPECT_EQ(f.Agents.Events, (std::vector<std::string>{"launch 2 :1", "terminate 100", "launch c1 :0"}));
  EXPECT_EQ(f.Log[1], "Active seat0 session changed to c1; relaunching agent");

  // The agent was killed: the next round starts a new one in the same session.
  f.Agents.Last->Alive = false;
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);
  EXPECT_EQ(f.Agents.Events.back(), "launch c1 :0");
  EXPECT_EQ(f.Log[3], "Agent (pid 101) ended");

  // An agent that dies at once is not started again before the relaunch gap is over.
  f.Agents.Last->Alive = false;
  f.Loop.Round(f.Now + 1);
  EXPECT_EQ(f.Loop.Agent(), nullptr);
  f.Loop.Round(f.Now + kAgentRelaunchGapMs);
  EXPECT_EQ(f.Agents.Events.back(), "launch c1 :0");

  f.Loop.Shutdown();
  EXPECT_EQ(f.Agents.Events.back(), "terminate 103");
}

TEST(ServiceLoop, NoAgentOnAWaylandSessionAndAFailedLaunchIsRetried) {
  TLoopFixture f;
  f.Logind.Seat = {TSeatSession{"3", 1000, "wayland", "user", ""}, {1000}};
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);
  EXPECT_TRUE(f.Agents.Events.empty());
  ASSERT_EQ(f.Log.size(), 1u);  // said once
  EXPECT_EQ(f.Log[0], "Active seat0 session 3 is a wayland session; the desktop broker cannot capture it");

  f.Logind.Seat = {kUser, {1000}};
  f.Agents.Fail = true;
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);
  EXPECT_EQ(f.Log.back(), "Could not start the agent on :1");
  f.Agents.Fail = false;
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);
  EXPECT_EQ(f.Agents.Events, std::vector<std::string>{"launch 2 :1"});

  // The active session goes away (logout to nothing yet): the agent ends.
  f.Logind.Seat = {};
  f.Loop.Round(f.Now += kAgentRelaunchGapMs);
  EXPECT_EQ(f.Agents.Events.back(), "terminate 100");
  EXPECT_EQ(f.Loop.Agent(), nullptr);
}

TEST(ServiceLoop, OwnSessionShownAnswersFromTheSeat) {
  EXPECT_TRUE(IsOwnSessionShown({kUser, {}}, "2"));
  EXPECT_FALSE(IsOwnSessionShown({kGreeter, {}}, "2"));
  EXPECT_TRUE(IsOwnSessionShown({kGreeter, {}}, ""));  // not in a seat session
  EXPECT_TRUE(IsOwnSessionShown({std::nullopt, {}}, "2"));
}

}  // namespace
}  // namespace tovik

namespace tovik {
namespace {

TEST(ServiceLoop, XAuthorityIsTheXServersAuthArgument) {
  const std::vector<std::vector<std::string>> procs = {
      {"/usr/bin/xterm", "-display", ":10"},
      {"/usr/lib/xorg/Xorg", ":1", "-seat", "seat0", "-auth", "/var/run/lightdm/root/:1", "-nolisten", "tcp"},
      {"Xvfb", ":99", "-screen", "0", "640x480x24"},
  };
  EXPECT_EQ(XAuthorityFor(procs, ":1"), "/var/run/lightdm/root/:1");
  EXPECT_EQ(XAuthorityFor(procs, ":99"), "");  // a server without an authority file
  EXPECT_EQ(XAuthorityFor(procs, ":10"), "");  // names the display, has no authority argument
  EXPECT_EQ(XAuthorityFor(procs, ":2"), "");
  EXPECT_EQ(XAuthorityFor(procs, ""), "");
}

}  // namespace
}  // namespace tovik

namespace tovik {
namespace {

TEST(RdpKeep, SettingAndVirtualMachineDecideTheFirstCheckLine) {
  struct TCase {
    std::optional<int> Setting;
    bool Vm;
    bool On;
  } cases[] = {{std::nullopt, true, true}, {std::nullopt, false, false}, {-1, true, true},
               {0, true, false},           {1, false, true},             {7, false, true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "setting " << c.Setting.value_or(-99) << " vm " << c.Vm);
    std::vector<std::string> log;
    int reads = 0;
    TRdpKeep keep({[&] {
                     ++reads;
                     return c.Setting;
                   },
                   [&] { return c.Vm; }, [&](const std::string& l) { log.push_back(l); }});
    keep.Check(1000);
    keep.Check(1000 + kRdpKeepGapMs);
    keep.Check(1000 + 3 * kRdpKeepGapMs);
    EXPECT_EQ(keep.On(), c.On);
    ASSERT_EQ(log.size(), 1u);  // said once
    EXPECT_EQ(reads, 1);
    EXPECT_NE(log[0].find(c.On ? "keeps drawing on its own" : "KeepScreenOnDisconnect=1 in Tovik.ini to change"),
              std::string::npos)
        << log[0];
  }
}

TEST(RdpKeep, VirtualMachinesByFirmwareNames) {
  EXPECT_TRUE(IsVirtualMachine("QEMU", "Standard PC (Q35 + ICH9, 2009)"));
  EXPECT_TRUE(IsVirtualMachine("innotek GmbH", "VirtualBox"));
  EXPECT_TRUE(IsVirtualMachine("Microsoft Corporation", "Virtual Machine"));
  EXPECT_TRUE(IsVirtualMachine("", "vmware7,1"));
  EXPECT_FALSE(IsVirtualMachine("LENOVO", "20XW0026GE"));
  EXPECT_FALSE(IsVirtualMachine("", ""));
}

}  // namespace
}  // namespace tovik
