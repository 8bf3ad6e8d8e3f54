// Objects driven by time, with time as a parameter.
//
// A protocol object (the network client, a session) says when it next needs to run (NextDeadline) and
// runs whatever is due when called (HandleTimeout(now)); its named ticks (MainTick, CaptureTick, ...)
// run from inside HandleTimeout at their periods. One driver serves them all: in the program a Qt
// single-shot timer armed to the earliest deadline, in tests a loop that jumps virtual time to it.
//
// Threads: both methods are called on the object's own thread (the GUI thread in the program).
#pragma once

#include <limits>

#include "base/TovikClock.h"

namespace tovik {

// "Nothing scheduled": a deadline that never comes.
inline constexpr TTick kNoDeadline = std::numeric_limits<TTick>::max();

class ITimedObject {
 public:
  virtual ~ITimedObject() = default;
  // The tick at which HandleTimeout must next be called; kNoDeadline when nothing is scheduled. A
  // deadline in the past means "now". Cheap: a driver asks after every event it delivers.
  virtual TTick NextDeadline() const = 0;
  // Runs every tick that is due at ANow and schedules the next ones. Calling it early does no harm.
  virtual void HandleTimeout(TTick ANow) = 0;
};

// One named tick with a fixed period, as a timer of a GUI toolkit would run it: Start begins a fresh
// interval, Fire reports whether it is due at ANow and then moves the next due time on by one period
// (never to a time that is already past, so a late call does not fire in a burst).
class TPeriodicTick {
 public:
  explicit TPeriodicTick(TTick APeriod) : FPeriod(APeriod) {}
  void Start(TTick ANow) {
    FOn = true;
    FDue = ANow + FPeriod;
  }
  void Stop() { FOn = false; }
  bool Active() const { return FOn; }
  TTick Period() const { return FPeriod; }
  TTick Due() const { return FOn ? FDue : kNoDeadline; }
  bool Fire(TTick ANow) {
    if (!FOn || ANow < FDue) return false;
    FDue += FPeriod;
    if (FDue <= ANow) FDue = ANow + FPeriod;
    return true;
  }

 private:
  TTick FPeriod;
  TTick FDue = 0;
  bool FOn = false;
};

}  // namespace tovik
