// The support service's loop, without I/O: keep one agent running in the active session of seat0.
//
// The service ("tovik /service", a systemd unit running as root) has no ID and no relay link. It
// follows the seat's active session through logind and runs one agent ("tovik /agent") there, attached
// to that session's X display with the display server's Xauthority, so that the desktop broker can
// serve the shown display (the display manager's greeter, a lock screen, another user's session) to a
// helped user's program. The agent is replaced when the active session changes and started again when
// it ends. A Wayland or text session cannot be captured: no agent runs there.
//
// Threads: the loop's thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikClock.h"

namespace tovik {

using TServiceLogFn = std::function<void(const std::string&)>;

struct TSeatSession {
  std::string Id;           // logind's session id
  std::uint32_t Uid = 0;    // its owner
  std::string Type;         // "x11", "wayland", "tty", ...
  std::string Class;        // "greeter", "user", "lock-screen", ...
  std::string Display;      // the X display (":0"); empty when it has none
  bool operator==(const TSeatSession&) const = default;
};

struct TSeatState {
  std::optional<TSeatSession> Active;  // the active session of seat0
  std::vector<std::uint32_t> Uids;     // owners of every session on seat0
};

// logind's view of seat0 (sd-login on Linux; a file in tests).
class ILogind {
 public:
  virtual ~ILogind() = default;
  virtual TSeatState ReadSeat() = 0;
  // The session this process belongs to; empty when none.
  virtual std::string OwnSession() = 0;
  // sd-login on Linux; the seat described by the file named in TOVIK_TEST_LOGIND when that is set
  // (tests without systemd). Defined by the platform library.
  static std::unique_ptr<ILogind> Create();
};

// One running agent.
class IAgentProcess {
 public:
  virtual ~IAgentProcess() = default;
  virtual long Pid() const = 0;
  virtual bool Running() = 0;
  // Ends it and waits for it.
  virtual void Terminate() = 0;
};

class IAgentLauncher {
 public:
  virtual ~IAgentLauncher() = default;
  // Starts an agent on ASession's display; nullptr with AError (the log text) on failure.
  virtual std::unique_ptr<IAgentProcess> Launch(const TSeatSession& ASession, std::string& AError) = 0;
};

// Whether the helped user's desktop is the one shown: the active seat0 session is this program's own
// session, or this program runs outside any seat session, or the seat has no active session.
bool IsOwnSessionShown(const TSeatState& ASeat, const std::string& AOwnSession);

// A session whose display the agent can attach to.
bool AgentCanServe(const TSeatSession& ASession);

// The X server's authority file for ADisplay: the "-auth" argument of the X server process whose
// arguments name the display. AProcessArgs: the arguments of each process (argv[0] first).
std::string XAuthorityFor(const std::vector<std::vector<std::string>>& AProcessArgs, const std::string& ADisplay);

class TServiceLoop {
 public:
  // All three must outlive the loop.
  TServiceLoop(ILogind& ALogind, IAgentLauncher& ALauncher, TServiceLogFn ALog);
  ~TServiceLoop();
  TServiceLoop(const TServiceLoop&) = delete;
  TServiceLoop& operator=(const TServiceLoop&) = delete;

  // One round: forget an agent that ended, replace it when the active session changed, start one
  // when none runs and the active session can be served (but not sooner than kAgentRelaunchGapMs
  // after the last start, so that an agent that dies at once is not started in a tight loop). Run on
  // every logind change, when the agent ends, and at least every kServiceRoundMs.
  void Round(TTick ANow);
  // Ends the agent (leaving the loop).
  void Shutdown();
  // The running agent, or null.
  IAgentProcess* Agent() const { return FAgent.get(); }

 private:
  ILogind& FLogind;
  IAgentLauncher& FLauncher;
  TServiceLogFn FLog;
  std::unique_ptr<IAgentProcess> FAgent;
  std::string FAgentSession;
  std::string FUnservedNoted;  // the session whose "cannot serve" line was logged last
  std::optional<TTick> FLaunchedAt;
};

inline constexpr int kServiceRoundMs = 2000;
inline constexpr TTick kAgentRelaunchGapMs = 1000;

}  // namespace tovik
