// The test driver for objects driven by time (base/TovikTimed.h).
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>

#include "base/TovikClock.h"
#include "base/TovikTimed.h"

namespace tovik {

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

}  // namespace tovik
