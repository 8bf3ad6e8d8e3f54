#include "service/TovikServiceHost.h"

#include <algorithm>

#include "base/TovikBytes.h"

namespace tovik {

bool IsOwnSessionShown(const TSeatState& ASeat, const std::string& AOwnSession) {
  if (AOwnSession.empty() || !ASeat.Active) return true;
  return ASeat.Active->Id == AOwnSession;
}

bool AgentCanServe(const TSeatSession& ASession) {
  return ASession.Type == "x11" && !ASession.Display.empty();
}

std::string XAuthorityFor(const std::vector<std::vector<std::string>>& AProcessArgs, const std::string& ADisplay) {
  if (ADisplay.empty()) return {};
  for (const auto& args : AProcessArgs) {
    if (std::find(args.begin() + (args.empty() ? 0 : 1), args.end(), ADisplay) == args.end()) continue;
    for (std::size_t i = 1; i + 1 < args.size(); ++i)
      if (args[i] == "-auth") return args[i + 1];
  }
  return {};
}

TServiceLoop::TServiceLoop(ILogind& ALogind, IAgentLauncher& ALauncher, TServiceLogFn ALog)
    : FLogind(ALogind), FLauncher(ALauncher), FLog(std::move(ALog)) {}

TServiceLoop::~TServiceLoop() { Shutdown(); }

void TServiceLoop::Shutdown() {
  if (FAgent && FAgent->Running()) FAgent->Terminate();
  FAgent.reset();
  FAgentSession.clear();
}

void TServiceLoop::Round(TTick ANow) {
  const TSeatState seat = FLogind.ReadSeat();
  const std::optional<TSeatSession>& active = seat.Active;

  if (FAgent && !FAgent->Running()) {
    if (FLog) FLog("Agent (pid " + std::to_string(FAgent->Pid()) + ") ended");
    FAgent.reset();
  }
  const std::string activeId = active ? active->Id : std::string();
  if (FAgent && FAgentSession != activeId) {
    FAgent->Terminate();
    FAgent.reset();
    if (FLog) FLog("Active seat0 session changed to " + (activeId.empty() ? "(none)" : EscapeForLog(activeId, 64)) +
                   "; relaunching agent");
  }
  if (FAgent || !active) return;
  if (!AgentCanServe(*active)) {
    if (FUnservedNoted != active->Id && FLog)
      FLog("Active seat0 session " + EscapeForLog(active->Id, 64) + " is a " +
           EscapeForLog(active->Type.empty() ? "non-X11" : active->Type, 32) +
           " session; the desktop broker cannot capture it");
    FUnservedNoted = active->Id;
    return;
  }
  if (FLaunchedAt && ANow - *FLaunchedAt < kAgentRelaunchGapMs) return;
  FLaunchedAt = ANow;
  std::string error;
  FAgent = FLauncher.Launch(*active, error);
  if (!FAgent) {
    if (FLog) FLog(error);
    return;
  }
  FAgentSession = active->Id;
  FUnservedNoted.clear();
  if (FLog)
    FLog("Launched agent (pid " + std::to_string(FAgent->Pid()) + ") in session " + EscapeForLog(active->Id, 64) +
         " on display " + EscapeForLog(active->Display, 64));
}

}  // namespace tovik
