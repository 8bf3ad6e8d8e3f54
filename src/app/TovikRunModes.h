// What the process becomes, decided once at start from its command line.
//
// Named switches (tray, show, min, noadmin, agent, install, uninstall, service, restartservice,
// serviceupdate)
// match an argument that is "/", "-" or "--" followed by exactly the name, without regard to case.
// "/applyupdate <path>" must be a whole argument ("/" only) followed by another argument;
// "/waitpid:<pid>" is a prefix compared without regard to case.
//
// The main sequence, first claiming step wins:
//   1 /applyupdate  2 /waitpid (then go on)  3 restartservice, serviceupdate  4 install, uninstall, service
//   5 agent  6 relaunch with administrator rights  7 the interactive program.
// Every OS-facing step runs through an interface here whose backend lives in src/platform/<os>/;
// the sequence itself has no I/O of its own so that tests drive it with fakes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovik {

// Maximum wait for the process named by "/waitpid:".
inline constexpr int kWaitPidTimeoutMs = 20'000;

struct TRunSwitches {
  bool Tray = false;
  bool Show = false;
  bool Min = false;
  bool NoAdmin = false;
  bool Agent = false;
  bool Install = false;
  bool Uninstall = false;
  bool Service = false;
  bool RestartService = false;
  bool ServiceUpdate = false;
  std::optional<std::string> ApplyUpdateTarget;  // the argument after "/applyupdate"
  long WaitPid = 0;                              // 0: none (or not a number)
};

// True when arg is the named switch ("/name", "-name" or "--name", any case).
bool MatchesSwitch(std::string_view arg, std::string_view name);
// args are the arguments after the program name.
TRunSwitches ParseRunSwitches(const std::vector<std::string>& args);

// Step 6: all must hold for a relaunch with administrator rights.
bool ShouldRelaunchElevated(const TRunSwitches& sw, bool elevated, bool serviceRunning, bool autoElevate);
// Parameters of the elevated copy: "/noadmin /tray" when tray was given, else "/noadmin".
std::string ElevationParameters(const TRunSwitches& sw);

// --- OS interfaces ------------------------------------------------------------------------------

enum class TModeResult {
  mrOk,
  mrFailed,
  mrUnavailable,  // this build has no backend for the mode
};

// The service and agent modes. Called from the main thread, once per process.
class IServiceModes {
 public:
  virtual ~IServiceModes() = default;
  virtual TModeResult RestartService() = 0;
  // The update unit's run (root): fetch, check and install a newer signed package.
  virtual TModeResult InstallUpdate() = 0;
  virtual TModeResult Install() = 0;  // install or reconfigure, then start
  virtual TModeResult Uninstall() = 0;
  virtual TModeResult RunService() = 0;  // returns when the service stops
  virtual TModeResult RunAgent() = 0;    // returns when the agent loop ends
  // Whether the support service is running; a service that cannot be queried is not running.
  virtual bool IsServiceRunning() = 0;
  static std::unique_ptr<IServiceModes> Create();
};

enum class TRelaunchResult {
  rrStarted,     // the elevated copy runs: this process ends
  rrNotStarted,  // declined or failed: go on unelevated
  rrNotNeeded,   // this desktop needs no administrator rights for the program: go on
};

using TLineSink = std::function<void(std::string_view line)>;

class IElevation {
 public:
  virtual ~IElevation() = default;
  virtual bool IsElevated() = 0;
  virtual TRelaunchResult RelaunchElevated(const std::string& parameters) = 0;
  // log receives the backend's notes for the main log; it must outlive the object.
  static std::unique_ptr<IElevation> Create(TLineSink log);
};

enum class TWaitResult { wrEnded, wrTimedOut, wrNotOpened };

class IProcessWaiter {
 public:
  virtual ~IProcessWaiter() = default;
  virtual TWaitResult WaitForExit(long pid, int timeoutMs) = 0;
  static std::unique_ptr<IProcessWaiter> Create();
};

// --- The sequence -------------------------------------------------------------------------------

struct TRunContext {
  IServiceModes* Services = nullptr;
  IElevation* Elevation = nullptr;
  IProcessWaiter* Waiter = nullptr;
  // Swaps in the updated program file at the target path; returns the exit code. Empty: unavailable.
  std::function<int(const std::string& target)> ApplyUpdate;
  // [Admin] AutoElevate, program-side then per-user. Read only when the other conditions hold.
  std::function<bool()> AutoElevate;
  // Step 7; returns the exit code.
  std::function<int(const TRunSwitches&)> RunInteractive;
  // Messages for the user about modes this build cannot run (stderr).
  TLineSink Error;
};

// Runs the main sequence; returns the process exit code.
int RunMainSequence(const std::vector<std::string>& args, const TRunContext& ctx);

// --- Quit requests ------------------------------------------------------------------------------

// Requests from outside to close the interactive program for good (SIGTERM, SIGINT, SIGHUP on
// Linux). While an object exists the requests no longer end the process; they are kept until taken.
// Only one may exist at a time; create, set up and destroy it on the GUI thread.
class IQuitRequests {
 public:
  // Stops the delivery: AOnRequest is never called after the destructor returns.
  virtual ~IQuitRequests() = default;
  // Delivers the requests as they arrive: AOnRequest runs on a thread of the backend (never the GUI
  // thread) once for each batch of requests, which are taken before the call; it may only hand the
  // news over to the GUI thread. Call at most once.
  virtual void SetHandler(std::function<void()> AOnRequest) = 0;
  // Consumes pending requests; true when there was at least one (for owners without a handler).
  virtual bool Take() = 0;
  // nullptr when the requests cannot be caught.
  static std::unique_ptr<IQuitRequests> Create();
};

}  // namespace tovik
