// TTovikNetDriver: runs a TTovikClient without the GUI by calling its timers when they are due.
//
// Poll() calls MainTick every 1000 ms, RxTick every 5 ms, and PunchTick (200 ms) and PingTick (5000 ms)
// while the client has those timers running; a timer that the client (re)starts begins a fresh
// interval, as a GUI timer would. Time comes from TickMs(), so the same driver serves a real loop
// (RunLoop) and the simulator (which calls Poll every virtual millisecond).
//
// Threads: Poll and RunLoop run on the client's thread. Stop() may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/TovikClock.h"
#include "net/TovikNet.h"

namespace tovik {

class TTovikNetDriver {
 public:
  static constexpr TTick KMainMs = 1000;
  static constexpr TTick KPunchMs = 200;
  static constexpr TTick KPingMs = 5000;
  static constexpr TTick KRxMs = 5;

  // AClient must outlive the driver.
  explicit TTovikNetDriver(TTovikClient& AClient) : FClient(AClient) {}

  // Calls whatever timers are due now. Returns the tick at which the next one is due.
  TTick Poll();
  // Polls in a plain loop, sleeping until the next due timer, until Stop() is called.
  void RunLoop();
  void Stop() { FStop = true; }

 private:
  struct TTimer {
    bool On = false;
    std::uint32_t Starts = 0;
    TTick Due = 0;
  };
  // Updates a timer from the client's state; returns whether it is due now.
  static bool Due(TTimer& ATimer, bool AOn, std::uint32_t AStarts, TTick AInterval, TTick ANow);

  TTovikClient& FClient;
  TTimer FMain, FRx, FPunch, FPing;
  std::atomic<bool> FStop{false};
};

}  // namespace tovik
