// THelperLink: one extra helped PC. It owns a network client of its own, on the same relay as the main
// client, connects to the target once that client is registered over a secure relay link, and runs a
// viewer-role session there while the main client stays in its own session.
//
// The link refuses to start without the relay key that the main client pinned: a second client must
// never learn a key on its own (it would trust whatever answers first).
//
// Lifecycle: created -> Go (client started) -> connect sent -> connected (session running) ->
// finished. Failure or the 45 s time-out finish it from any state before connected; the end of the
// session finishes it from connected; a link never connects twice. Finishing happens at most once:
// OnFailed (when there is a text) at once, OnDone through APost, after the current event; the owner
// frees the link there.
//
// Ownership: the link owns its client and its session. The owner runs both timed objects (the link's
// 500 ms tick and Client()) on its driver, and takes them off before it frees the link.
// Threads: GUI thread only. Time comes in as ticks.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/TovikTimed.h"
#include "net/TovikNet.h"

namespace tovik {

inline constexpr TTick kHelperLinkTimeoutMs = 45'000;
inline constexpr TTick kHelperLinkTickMs = 500;

// The session an extra link runs on its client; freeing it ends the session's objects.
class IExtraSession {
 public:
  virtual ~IExtraSession() = default;
};

struct THelperLinkSetup {
  std::string Host;
  std::uint16_t Port = 0;
  std::string KeyHex;  // the relay key the main client pinned; empty: the link refuses to start
  std::string Target;  // the 9-digit ID to help
  // Creates the viewer-role session on the connected client.
  std::function<std::unique_ptr<IExtraSession>(TTovikClient& AClient)> MakeSession;
  // Runs a call after the current event (the owner's deferred queue).
  std::function<void(std::function<void()>)> Post;
  // The wall clock in milliseconds since 1970 (session start and end for the report step).
  std::function<std::int64_t()> WallNow;
};

class THelperLink final : public ITimedObject {
 public:
  using TLinkEvent = std::function<void(THelperLink&)>;
  using TLinkTextEvent = std::function<void(THelperLink&, const std::string&)>;
  using TReportEvent = std::function<void(const std::string& ATarget, std::int64_t AStart, std::int64_t AEnd)>;

  // ABackend must outlive the link.
  THelperLink(INetBackend& ABackend, THelperLinkSetup ASetup);
  ~THelperLink() override;
  THelperLink(const THelperLink&) = delete;
  THelperLink& operator=(const THelperLink&) = delete;

  // Starts the client and the 500 ms tick.
  void Go(TTick ANow);

  const std::string& Target() const { return FSetup.Target; }
  bool Done() const { return FDone; }
  bool Connected() const { return FConnected; }
  bool HasSession() const { return FSession != nullptr; }
  TTovikClient& Client() { return *FClient; }

  TLinkEvent OnDone;
  TLinkTextEvent OnLog;
  TLinkTextEvent OnFailed;
  // A session that had connected ended: for the session-report step.
  TReportEvent OnSessionEnded;

  // ITimedObject: the 500 ms tick (connect request, time-out).
  TTick NextDeadline() const override { return FTick.Due(); }
  void HandleTimeout(TTick ANow) override;

 private:
  void TryConnect();
  void Finish(const std::string& AText);

  THelperLinkSetup FSetup;
  std::unique_ptr<TTovikClient> FClient;
  std::unique_ptr<IExtraSession> FSession;
  bool FConnected = false;
  bool FConnectSent = false;
  bool FDone = false;
  std::int64_t FSessionStart = 0;
  TTick FStarted = 0;
  TPeriodicTick FTick{kHelperLinkTickMs};
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

}  // namespace tovik
