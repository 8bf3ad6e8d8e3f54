#include "app/TovikRunModes.h"

#include "base/TovikBytes.h"
#include "base/TovikIni.h"

namespace tovik {

bool MatchesSwitch(std::string_view arg, std::string_view name) {
  if (arg.size() >= 2 && arg.substr(0, 2) == "--") arg.remove_prefix(2);
  else if (!arg.empty() && (arg.front() == '/' || arg.front() == '-')) arg.remove_prefix(1);
  else return false;
  return SameTextAscii(arg, name);
}

TRunSwitches ParseRunSwitches(const std::vector<std::string>& args) {
  TRunSwitches sw;
  struct TNamed {
    std::string_view Name;
    bool TRunSwitches::*Flag;
  };
  static constexpr TNamed kNamed[] = {
      {"tray", &TRunSwitches::Tray},         {"show", &TRunSwitches::Show},
      {"min", &TRunSwitches::Min},           {"noadmin", &TRunSwitches::NoAdmin},
      {"agent", &TRunSwitches::Agent},       {"install", &TRunSwitches::Install},
      {"uninstall", &TRunSwitches::Uninstall}, {"service", &TRunSwitches::Service},
      {"restartservice", &TRunSwitches::RestartService}, {"serviceupdate", &TRunSwitches::ServiceUpdate},
  };
  for (const auto& a : args)
    for (const auto& n : kNamed)
      if (MatchesSwitch(a, n.Name)) sw.*n.Flag = true;

  // "/applyupdate" needs a value after it: as the last argument it is not a switch at all.
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (SameTextAscii(args[i], "/applyupdate")) {
      sw.ApplyUpdateTarget = args[i + 1];
      break;
    }
  }

  constexpr std::string_view kWaitPid = "/waitpid:";
  for (const auto& a : args) {
    if (a.size() >= kWaitPid.size() && SameTextAscii(std::string_view(a).substr(0, kWaitPid.size()), kWaitPid)) {
      sw.WaitPid = ParseIniInt(std::string_view(a).substr(kWaitPid.size()), 0);
      break;  // only the first one counts
    }
  }
  return sw;
}

bool ShouldRelaunchElevated(const TRunSwitches& sw, bool elevated, bool serviceRunning, bool autoElevate) {
  return !sw.NoAdmin && !elevated && !serviceRunning && autoElevate;
}

std::string ElevationParameters(const TRunSwitches& sw) { return sw.Tray ? "/noadmin /tray" : "/noadmin"; }

namespace {

int ModeExit(TModeResult r, std::string_view what, const TRunContext& ctx) {
  if (r == TModeResult::mrUnavailable && ctx.Error)
    ctx.Error("tovik: " + std::string(what) +
              " is not available in this build: the system service support is not built in yet");
  return r == TModeResult::mrOk ? 0 : 1;
}

}  // namespace

int RunMainSequence(const std::vector<std::string>& args, const TRunContext& ctx) {
  const TRunSwitches sw = ParseRunSwitches(args);

  // 1. Swap in an updated program file; nothing else on the command line counts.
  if (sw.ApplyUpdateTarget) {
    if (ctx.ApplyUpdate) return ctx.ApplyUpdate(*sw.ApplyUpdateTarget);
    if (ctx.Error) ctx.Error("tovik: installing an update with /applyupdate is not available in this build");
    return 1;
  }

  // 2. Wait for an older instance to end, then go on in every case.
  if (sw.WaitPid != 0 && ctx.Waiter) ctx.Waiter->WaitForExit(sw.WaitPid, kWaitPidTimeoutMs);

  // 3 to 5. Single-purpose modes.
  IServiceModes* svc = ctx.Services;
  constexpr TModeResult kNone = TModeResult::mrUnavailable;
  if (sw.RestartService) return ModeExit(svc ? svc->RestartService() : kNone, "restarting the service", ctx);
  if (sw.ServiceUpdate) return ModeExit(svc ? svc->InstallUpdate() : kNone, "installing an update as the service", ctx);
  if (sw.Install) return ModeExit(svc ? svc->Install() : kNone, "installing the service", ctx);
  if (sw.Uninstall) return ModeExit(svc ? svc->Uninstall() : kNone, "removing the service", ctx);
  if (sw.Service) return ModeExit(svc ? svc->RunService() : kNone, "running as the service", ctx);
  if (sw.Agent) {
    TModeResult r = svc ? svc->RunAgent() : kNone;
    // The agent loop ends with 0 whatever happened inside it; only a missing backend is a failure.
    return r == TModeResult::mrUnavailable ? ModeExit(r, "the agent mode", ctx) : 0;
  }

  // 6. Relaunch with administrator rights. The conditions are tested in order, cheapest first,
  // so the settings are only read when they matter.
  if (!sw.NoAdmin && ctx.Elevation && !ctx.Elevation->IsElevated() && !(svc && svc->IsServiceRunning()) &&
      ctx.AutoElevate && ctx.AutoElevate()) {
    if (ctx.Elevation->RelaunchElevated(ElevationParameters(sw)) == TRelaunchResult::rrStarted) return 0;
  }

  // 7. The interactive program.
  return ctx.RunInteractive ? ctx.RunInteractive(sw) : 0;
}

}  // namespace tovik
