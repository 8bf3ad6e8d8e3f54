// TQtTimedDriver: the program's one driver of timed objects (ITimedObject, base/TovikTimed.h) on the Qt
// event loop. It serves the main window's network client, the primary session and (later) the links of
// extra sessions.
//
// One single-shot QTimer (Qt::PreciseTimer) is armed to the earliest NextDeadline of the objects; when
// it fires, the driver runs HandleTimeout(TickMs()) on them (in the order they were added) and arms it
// again. After any event that may move a deadline outside HandleTimeout (a click that connects, a
// session created, data handed in) the owner calls Rearm; Wake does the same from any thread (a
// client's receive wake-up, TTovikClient::SetRxWake).
//
// Threads: GUI thread, except Wake. The driver must outlive every object it drives and every thread
// that may still call Wake.
#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>

#include "base/TovikTimed.h"

namespace tovik {

class TQtTimedDriver final : public QObject {
  Q_OBJECT
 public:
  explicit TQtTimedDriver(QObject* parent = nullptr);
  ~TQtTimedDriver() override;

  // Adds an object (it runs after those added before) and re-arms. Not owned: remove it before it is
  // destroyed. Both may be called from inside a HandleTimeout.
  void Add(ITimedObject& AObject);
  void Remove(ITimedObject& AObject);
  bool Drives(const ITimedObject& AObject) const { return FGroup.Contains(AObject); }

  // Arms the timer to the earliest deadline (at once when it is due), or stops it when nothing is
  // scheduled.
  void Rearm();
  // Any thread: Rearm, posted to the GUI thread. Wakes that come while one is still on its way are
  // folded into it, so a flood of datagrams queues one event, not one per datagram.
  void Wake();

  // The earliest deadline of the objects, and whether the timer is armed (for tests).
  TTick NextDeadline() const { return FGroup.NextDeadline(); }
  bool Armed() const { return FTimer.isActive(); }
  // Rounds run so far (each a HandleTimeout of the objects), and posted wake-ups handled (for tests).
  std::uint64_t Rounds() const { return FRounds; }
  std::uint64_t WakesHandled() const { return FWakesHandled; }

 private:
  void Fire();
  // The posted half of Wake (queued by name, so nothing of ours crosses the threads).
  Q_INVOKABLE void WakeNow();

  TTimedGroup FGroup;
  QTimer FTimer;
  bool FFiring = false;
  std::atomic<bool> FWakePosted{false};
  std::uint64_t FRounds = 0;
  std::uint64_t FWakesHandled = 0;
};

}  // namespace tovik
