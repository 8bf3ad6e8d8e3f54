#include "net/TovikNetDriver.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tovik {

bool TTovikNetDriver::Due(TTimer& ATimer, bool AOn, std::uint32_t AStarts, TTick AInterval, TTick ANow) {
  if (!AOn) {
    ATimer.On = false;
    return false;
  }
  if (!ATimer.On || ATimer.Starts != AStarts) {
    ATimer.On = true;
    ATimer.Starts = AStarts;
    ATimer.Due = ANow + AInterval;
    return false;
  }
  if (ANow < ATimer.Due) return false;
  // Missed intervals are not made up for; the next one starts from now.
  ATimer.Due = std::max(ATimer.Due + AInterval, ANow + 1);
  return true;
}

TTick TTovikNetDriver::Poll() {
  TTick now = TickMs();
  const bool started = FClient.Started();
  if (Due(FRx, started, 0, KRxMs, now)) FClient.RxTick();
  if (Due(FPunch, FClient.PunchTimerActive(), FClient.PunchTimerStarts(), KPunchMs, now)) FClient.PunchTick();
  if (Due(FPing, FClient.PingTimerActive(), FClient.PingTimerStarts(), KPingMs, now)) FClient.PingTick();
  if (Due(FMain, started, 0, KMainMs, now)) FClient.MainTick();
  // A handler may have started a timer; register it now so its interval starts from this tick.
  Due(FPunch, FClient.PunchTimerActive(), FClient.PunchTimerStarts(), KPunchMs, now);
  Due(FPing, FClient.PingTimerActive(), FClient.PingTimerStarts(), KPingMs, now);
  TTick next = now + KMainMs;
  for (const TTimer* t : {&FMain, &FRx, &FPunch, &FPing})
    if (t->On) next = std::min(next, t->Due);
  return next;
}

void TTovikNetDriver::RunLoop() {
  while (!FStop) {
    const TTick next = Poll();
    const TTick now = TickMs();
    if (next > now) std::this_thread::sleep_for(std::chrono::milliseconds(std::min<TTick>(next - now, 5)));
  }
}

}  // namespace tovik
