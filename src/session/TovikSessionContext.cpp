#include "session/TovikSessionContext.h"

#include <cstdio>
#include <exception>

namespace tovik {

TSessionContext::TSessionContext(TSessionDeps& ADeps, TTick ANow)
    : Link(ADeps.Link),
      Guard(std::make_shared<TSessionGuard>()),
      Post(std::move(ADeps.Post)),
      LogFn(std::move(ADeps.Log)),
      Now(ANow) {}

void TSessionContext::Send(TByteView AData) {
  if (!AData.empty() && Link) Link->SendData(AData);
}

void TSessionContext::SendBatch(std::span<const TBytes> AData) {
  if (!AData.empty() && Link) Link->SendBatch(AData);
}

void TSessionContext::Log(const std::string& AText) noexcept {
  if (!LogFn) return;
  try {
    LogFn(AText);
  } catch (...) {
    // The session log itself failed: the line is lost; say so where a developer still sees it.
    std::fputs("Tovik: a session log line could not be written\n", stderr);
  }
}

namespace {
void LogFailure(TSessionContext& ACtx, const char* AWhere, const char* AWhat) noexcept {
  try {
    std::string line = std::string(AWhere) + " failed";
    if (AWhat) line += std::string(": ") + AWhat;
    ACtx.Log(line);
  } catch (...) {
    std::fputs("Tovik: a session log line could not be written\n", stderr);
  }
}
}  // namespace

void TSessionContext::RunLogged(const char* AWhere, const std::function<void()>& AWork) noexcept {
  try {
    AWork();
  } catch (const std::exception& e) {
    LogFailure(*this, AWhere, e.what());
  } catch (...) {
    LogFailure(*this, AWhere, nullptr);
  }
}

void TSessionContext::PollChannel(bool ALive, bool AMessagesOut) {
  if (ALive) Tools->Tick();
  for (auto& p : Channel.Poll(Now)) {
    if (!AMessagesOut && !p.empty() && p[0] == pkChannelMsg) continue;
    Send(p);
  }
}

void TSessionContext::DisconnectLater() {
  ISessionLink* link = Link;
  Post(Guarded(Guard, [link] { link->Disconnect(); }));
}

}  // namespace tovik
