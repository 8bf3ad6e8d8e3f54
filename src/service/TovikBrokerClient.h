// The desktop broker's client side in the interactive program.
//
// A host session that had consent switches the broker on (UseBroker(true)) and off again when it ends;
// while the program's own session is not the one shown on the seat, the session's screen and input go
// through the broker (MakeBrokerScreen, MakeBrokerInput). Every exchange runs under one lock, so
// requests and replies never interleave; each blocks its caller for at most the transport's time-outs,
// and after a failed connection or exchange no new attempt is made for kBrokerRetryMs, so a missing
// agent costs the GUI thread one failed connect() per second at most, and a hung one an exchange
// time-out per second at most.
//
// Threads: any thread; the lock serialises them. The transport is used under the lock only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "base/TovikInputEvent.h"
#include "media/TovikCapture.h"
#include "service/TovikServiceHost.h"
#include "session/TovikSessionIntf.h"

namespace tovik {

inline constexpr TTick kBrokerRetryMs = 1000;
// The client log takes at most one line in this time.
inline constexpr TTick kBrokerLogGapMs = 10'000;
// Time-outs of one exchange: the connection, and a whole request with its reply.
inline constexpr int kBrokerConnectTimeoutMs = 50;
inline constexpr int kBrokerExchangeTimeoutMs = 250;

// The time-outs a client uses (the defaults above; tests on a loaded machine widen them). Each is the
// longest one transport call may block: a connect, or a send or receive of one exchange.
struct TBrokerTimeouts {
  int ConnectMs = kBrokerConnectTimeoutMs;
  int ExchangeMs = kBrokerExchangeTimeoutMs;
};

// The client's end of the broker socket. Blocking calls that give up after their time-out; AError
// receives the errno of a failure. Used under the client's lock only.
class IBrokerTransport {
 public:
  virtual ~IBrokerTransport() = default;
  virtual bool Connected() const = 0;
  virtual bool Connect(int ATimeoutMs, int& AError) = 0;
  // Writes all of AData; false on an error or the time-out.
  virtual bool Send(TByteView AData, int ATimeoutMs, int& AError) = 0;
  // Reads exactly ALength bytes; false on an error, the end of the stream or the time-out.
  virtual bool Receive(std::uint8_t* AData, std::size_t ALength, int ATimeoutMs, int& AError) = 0;
  virtual void Close() = 0;
  // The socket's path, for the log.
  virtual std::string Name() const = 0;
  // The socket of this user on this seat; defined by the platform library.
  static std::unique_ptr<IBrokerTransport> Create();
};

class TBrokerClient {
 public:
  // ALog receives the client's lines (the caller limits their rate); both must outlive the client.
  TBrokerClient(std::unique_ptr<IBrokerTransport> ATransport, TLogFn ALog, TBrokerTimeouts ATimeouts = {});
  ~TBrokerClient();
  TBrokerClient(const TBrokerClient&) = delete;
  TBrokerClient& operator=(const TBrokerClient&) = delete;

  // Counted: the broker stays wanted while more sessions switched it on than off.
  void UseBroker(bool AOn);
  // True when the broker is in use or answers a ping.
  bool BrokerAvailable();
  bool InUse();
  // A session switched the broker on (it may not be in use: a broker that restarted is picked up
  // again by the next request).
  bool Wanted();
  // A tile update of the shown display (empty when nothing changed); nullopt when the request failed
  // or no broker is in use.
  std::optional<TBytes> Capture(bool AFull, const TRect& AArea);
  // True when the broker injected the event.
  bool Input(const TInputEvent& AEvent, const TRect& AArea);

 private:
  // Under FLock. AReply receives the reply payload; true when the status was "done".
  bool ExchangeLocked(const TBytes& ARequest, TBytes* AReply);
  bool ActivateLocked();
  void DropLocked();

  std::mutex FLock;
  std::unique_ptr<IBrokerTransport> FTransport;
  TLogFn FLog;
  const TBrokerTimeouts FTimeouts;
  bool FInUse = false;
  bool FWanted = false;
  int FUseCount = 0;
  TTick FRetryAt = 0;  // no connection attempt before this tick
};

// The session's screen and input with the broker in front: while AIsNormalDesktop answers false the
// pictures come from the broker (tiles only; the shown display's primary monitor), and input goes to
// the broker or is dropped; on the normal desktop everything goes to AInner, except that input is
// offered to the broker first while a session switched it on (and injected by AInner when the broker
// does not take it). AInner may be null (no local screen or injector).
std::unique_ptr<IHostScreen> MakeBrokerScreen(std::unique_ptr<IHostScreen> AInner,
                                              std::shared_ptr<TBrokerClient> AClient,
                                              std::function<bool()> AIsNormalDesktop);
std::unique_ptr<IHostInput> MakeBrokerInput(std::unique_ptr<IHostInput> AInner, std::shared_ptr<TBrokerClient> AClient,
                                            std::function<bool()> AIsNormalDesktop);

// Whether this program's desktop is the one shown on the seat (IsOwnSessionShown), asked of logind at
// most every kShownDesktopCacheMs so that the host's 8 ms capture tick stays cheap. One thread at a time.
inline constexpr TTick kShownDesktopCacheMs = 250;
class TShownDesktopProbe {
 public:
  explicit TShownDesktopProbe(std::unique_ptr<ILogind> ALogind) : FLogind(std::move(ALogind)) {}
  bool operator()();

 private:
  std::unique_ptr<ILogind> FLogind;
  std::optional<std::string> FOwn;
  std::optional<TTick> FAskedAt;
  bool FShown = true;
};

// Keeps other processes of this user from reading this one's memory or steering it with a debugger
// (it holds the broker's allowance). Defined by the platform library.
void ProtectInteractiveProcess();

// At most one line every AGapMs (10 seconds for the client log): a line that comes sooner is dropped.
// Thread-safe.
class TLineRateLimit {
 public:
  TLineRateLimit(TLogFn AOut, TTick AGapMs) : FOut(std::move(AOut)), FGap(AGapMs) {}
  void operator()(const std::string& ALine);

 private:
  std::mutex FLock;
  TLogFn FOut;
  TTick FGap;
  std::optional<TTick> FLast;
};

}  // namespace tovik
