#include "app/TovikQtDriver.h"

#include <QMetaObject>

#include <algorithm>
#include <climits>

namespace tovik {

TQtTimedDriver::TQtTimedDriver(QObject* parent) : QObject(parent) {
  FTimer.setSingleShot(true);
  FTimer.setTimerType(Qt::PreciseTimer);
  connect(&FTimer, &QTimer::timeout, this, [this] { Fire(); });
}

TQtTimedDriver::~TQtTimedDriver() { FTimer.stop(); }

void TQtTimedDriver::Add(ITimedObject& AObject) {
  FGroup.Add(AObject);
  Rearm();
}

void TQtTimedDriver::Remove(ITimedObject& AObject) {
  FGroup.Remove(AObject);
  Rearm();
}

void TQtTimedDriver::Rearm() {
  if (FFiring) return;  // Fire arms the timer when the round is over
  const TTick next = FGroup.NextDeadline();
  if (next == kNoDeadline) {
    FTimer.stop();
    return;
  }
  const TTick now = TickMs();
  const TTick wait = next > now ? std::min<TTick>(next - now, INT_MAX) : 0;
  FTimer.start(static_cast<int>(wait));
}

void TQtTimedDriver::Wake() {
  if (!FWakePosted.exchange(true)) QMetaObject::invokeMethod(this, "WakeNow", Qt::QueuedConnection);
}

void TQtTimedDriver::WakeNow() {
  FWakePosted = false;
  ++FWakesHandled;
  Rearm();
}

void TQtTimedDriver::Fire() {
  FFiring = true;
  FGroup.HandleTimeout(TickMs());
  ++FRounds;
  FFiring = false;
  Rearm();
}

}  // namespace tovik
