// The real-time driver of the command-line tools (base/TovikTimed.h has the contract).
#pragma once

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/TovikClock.h"
#include "base/TovikTimed.h"

namespace tovik {

// A plain loop for tools: runs its objects' deadlines in real time (TickMs) and sleeps in between. It
// is a real loop, not part of any protocol object.
//
// Threads: Add, Remove and Run on the loop's thread; Wake and Stop from any thread. Wake cuts the
// current sleep short (an object's deadline moved, say because data arrived); Stop ends Run.
class TTimedLoop {
 public:
  void Add(ITimedObject& AObject) { FGroup.Add(AObject); }
  void Remove(ITimedObject& AObject) { FGroup.Remove(AObject); }

  // Runs until Stop.
  void Run() {
    std::unique_lock<std::mutex> lock(FLock);
    while (!FStop) {
      FWoken = false;
      lock.unlock();
      FGroup.HandleTimeout(TickMs());
      const TTick next = FGroup.NextDeadline();
      const TTick now = TickMs();
      lock.lock();
      const auto wake = [this] { return FWoken || FStop; };
      if (next == kNoDeadline)
        FCond.wait(lock, wake);
      else if (next > now)
        FCond.wait_for(lock, std::chrono::milliseconds(next - now), wake);
    }
  }
  void Wake() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FWoken = true;
    }
    FCond.notify_all();
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FStop = true;
    }
    FCond.notify_all();
  }

 private:
  TTimedGroup FGroup;
  std::mutex FLock;  // guards FWoken, FStop
  std::condition_variable FCond;
  bool FWoken = false;
  bool FStop = false;
};

// Routes SIGINT and SIGTERM to AHandler (async-signal-safe: it should only set a flag the loop reads).
inline void StopOnSignals(void (*AHandler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = AHandler;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace tovik
