// The alive token of a session and the hook that queues work onto the GUI thread.
//
// A session owns one TSessionGuard for its whole life. Every deferred piece of work (a queued call,
// a closure, a worker's reply) captures its own std::shared_ptr<ISessionGuard> together with the raw
// session pointer, and touches the session only while IsAlive() answers true. The session calls
// Kill() first thing in its destructor, so work that runs afterwards does nothing.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace tovik {

class ISessionGuard {
 public:
  virtual ~ISessionGuard() = default;
  virtual bool IsAlive() const = 0;
  virtual void Kill() = 0;
};

// Thread-safe: workers may ask IsAlive from any thread; Kill is called on the GUI thread.
class TSessionGuard final : public ISessionGuard {
 public:
  bool IsAlive() const override { return FAlive.load(); }
  void Kill() override { FAlive.store(false); }

 private:
  std::atomic<bool> FAlive{true};
};

using TSessionGuardRef = std::shared_ptr<ISessionGuard>;

// Queues a call to run later on the GUI thread, after the current event handler has returned.
// The program passes a function that posts to the Qt event loop; tests pass one that appends to a
// list they run by hand. It may be called from any thread.
using TPostToGui = std::function<void(std::function<void()>)>;

// Wraps AWork so that it runs only while AGuard is still alive.
inline std::function<void()> Guarded(TSessionGuardRef AGuard, std::function<void()> AWork) {
  return [g = std::move(AGuard), w = std::move(AWork)]() {
    if (g && g->IsAlive()) w();
  };
}

}  // namespace tovik
