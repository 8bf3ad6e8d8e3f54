// Objects driven by time, with time as a parameter.
//
// A protocol object (the network client, a session) says when it next needs to run (NextDeadline) and
// runs whatever is due when called (HandleTimeout(now)); its named ticks (MainTick, CaptureTick, ...)
// run from inside HandleTimeout at their periods. One driver serves them all: in the program a Qt
// single-shot timer armed to the earliest deadline (TQtTimedDriver, app/TovikQtDriver.h), in tests a
// loop that jumps virtual time to it (TVirtualTimeDriver, tests/support/VirtualTimeDriver.h), in tools
// a plain loop that sleeps in real time until it (TTimedLoop, net/tools/TovikTimedLoop.h). Each of them
// drives a TTimedGroup: several objects as one.
//
// Threads: both methods are called on the object's own thread (the GUI thread in the program).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <vector>

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

// The earliest of several deadlines; kNoDeadline for none.
inline TTick EarliestDeadline(std::initializer_list<TTick> ADeadlines) {
  TTick out = kNoDeadline;
  for (const TTick d : ADeadlines) out = std::min(out, d);
  return out;
}

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

// Several timed objects driven as one, in the order they were added. The objects are not owned; one
// may be added or removed at any time on the driving thread, also from inside HandleTimeout (an object
// removed there is not run any more in that round). The group must not be destroyed from inside its
// own HandleTimeout.
class TTimedGroup final : public ITimedObject {
 public:
  // Adding an object that is already in the group does nothing.
  void Add(ITimedObject& AObject) {
    if (!Contains(AObject)) FObjects.push_back(&AObject);
  }
  void Remove(ITimedObject& AObject) { std::erase(FObjects, &AObject); }
  bool Contains(const ITimedObject& AObject) const {
    return std::find(FObjects.begin(), FObjects.end(), &AObject) != FObjects.end();
  }
  std::size_t Size() const { return FObjects.size(); }

  TTick NextDeadline() const override {
    TTick out = kNoDeadline;
    for (const ITimedObject* o : FObjects) out = std::min(out, o->NextDeadline());
    return out;
  }
  // Runs each object whose deadline has come, once, in order.
  void HandleTimeout(TTick ANow) override {
    const std::vector<ITimedObject*> round = FObjects;
    for (ITimedObject* o : round)
      if (Contains(*o) && o->NextDeadline() <= ANow) o->HandleTimeout(ANow);
  }

 private:
  std::vector<ITimedObject*> FObjects;
};

}  // namespace tovik
