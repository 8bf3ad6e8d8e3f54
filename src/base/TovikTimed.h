// Objects driven by time, with time as a parameter.
//
// A protocol object (the network client, a session) says when it next needs to run (NextDeadline) and
// runs whatever is due when called (HandleTimeout(now)); its named ticks (MainTick, CaptureTick, ...)
// run from inside HandleTimeout at their periods. One driver serves them all: in the program a Qt
// single-shot timer armed to the earliest deadline (TQtTimedDriver, app/TovikQtDriver.h), in tests a
// loop that jumps virtual time to it (TVirtualTimeDriver below), in tools a plain loop that sleeps in
// real time until it (TTimedLoop below). Each of them drives a TTimedGroup: several objects as one.
//
// Threads: both methods are called on the object's own thread (the GUI thread in the program).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <stdexcept>
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

// The test driver: moves a TManualClock from one deadline of its objects straight to the next and
// runs what is due there, instead of stepping every millisecond. Objects run in the order they were
// added; an object that feeds others (a simulator's packet deliveries) is added first, so that what
// it delivers at a moment is seen by the others at the same moment. Test thread only.
class TVirtualTimeDriver {
 public:
  // Rounds at one and the same tick after which the driver gives up (std::logic_error): an object
  // whose deadline stays in the past after HandleTimeout would otherwise hold virtual time still for
  // ever.
  static constexpr std::uint64_t KMaxRoundsAtOneTick = 100'000;

  explicit TVirtualTimeDriver(TManualClock& AClock) : FClock(AClock) {}
  TVirtualTimeDriver(const TVirtualTimeDriver&) = delete;
  TVirtualTimeDriver& operator=(const TVirtualTimeDriver&) = delete;

  void Add(ITimedObject& AObject) { FGroup.Add(AObject); }
  void Remove(ITimedObject& AObject) { FGroup.Remove(AObject); }
  TTick Now() const { return FClock.Now(); }
  TTick NextDeadline() const { return FGroup.NextDeadline(); }

  // Runs what is due now and at every deadline up to now + AMs; the clock ends at now + AMs.
  void RunFor(TTick AMs) {
    const TTick end = FClock.Now() + AMs;
    while (Step(end)) {
    }
    MoveTo(end);
  }
  // As RunFor(AMaxMs), but stops after the first round after which APred holds (it is also asked
  // before anything runs). Returns whether it held.
  bool RunUntil(const std::function<bool()>& APred, TTick AMaxMs) {
    const TTick end = FClock.Now() + AMaxMs;
    if (APred()) return true;
    while (Step(end))
      if (APred()) return true;
    MoveTo(end);
    return APred();
  }
  // Rounds run so far (each a HandleTimeout of the group at one tick).
  std::uint64_t Rounds() const { return FRounds; }

 private:
  // Runs the group at its next deadline when that is no later than AEnd.
  bool Step(TTick AEnd) {
    const TTick next = FGroup.NextDeadline();
    if (next == kNoDeadline || next > AEnd) return false;
    MoveTo(next);
    const TTick now = FClock.Now();
    FRoundsAtTick = now == FLastTick ? FRoundsAtTick + 1 : 0;
    FLastTick = now;
    if (FRoundsAtTick >= KMaxRoundsAtOneTick)
      throw std::logic_error("TVirtualTimeDriver: a deadline stays in the past after HandleTimeout");
    FGroup.HandleTimeout(now);
    ++FRounds;
    return true;
  }
  void MoveTo(TTick ATick) {
    if (ATick > FClock.Now()) FClock.Advance(ATick - FClock.Now());
  }

  TManualClock& FClock;
  TTimedGroup FGroup;
  std::uint64_t FRounds = 0;
  TTick FLastTick = kNoDeadline;
  std::uint64_t FRoundsAtTick = 0;
};

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

}  // namespace tovik
