#include "session/ui/TovikOwnWindowTracker.h"

#include <QEvent>

#include "base/TovikOwnWindows.h"

namespace tovik {

TOwnWindowTracker::TOwnWindowTracker(QWidget* window) : QObject(window), FWindow(window), FId(RegisterOwnWindow()) {
  window->installEventFilter(this);
  if (window->window() != window) window->window()->installEventFilter(this);
  Update();
}

TOwnWindowTracker::~TOwnWindowTracker() { UnregisterOwnWindow(FId); }

void TOwnWindowTracker::Update() {
  // A top-level window with its frame; a window inside another (a tab page) with its own area only.
  const QWidget* top = FWindow->window();
  const QRect g = FWindow->isWindow() ? FWindow->frameGeometry()
                                      : QRect(FWindow->mapToGlobal(QPoint(0, 0)), FWindow->size());
  const qreal dpr = top->devicePixelRatioF();
  const TOwnWindowRect r{static_cast<int>(g.left() * dpr), static_cast<int>(g.top() * dpr),
                         static_cast<int>(g.width() * dpr + 0.999), static_cast<int>(g.height() * dpr + 0.999)};
  SetOwnWindow(FId, r, FWindow->isVisible() && !top->isMinimized());
}

bool TOwnWindowTracker::eventFilter(QObject* o, QEvent* e) {
  switch (e->type()) {
    case QEvent::ParentChange:
      if (o == FWindow && FWindow->window() != FWindow) FWindow->window()->installEventFilter(this);
      Update();
      break;
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::WindowStateChange: Update(); break;
    default: break;
  }
  return QObject::eventFilter(o, e);
}

}  // namespace tovik
