#include "session/ui/TovikOwnWindowTracker.h"

#include <QApplication>
#include <QEvent>
#include <QWindow>

namespace tovik {

TOwnWindowRect OwnWindowRectOf(const QWidget* AWidget) {
  const QWidget* top = AWidget->window();
  const QRect g = AWidget->isWindow() ? AWidget->frameGeometry()
                                      : QRect(AWidget->mapToGlobal(QPoint(0, 0)), AWidget->size());
  const qreal dpr = top->devicePixelRatioF();
  return TOwnWindowRect{static_cast<int>(g.left() * dpr), static_cast<int>(g.top() * dpr),
                        static_cast<int>(g.width() * dpr + 0.999), static_cast<int>(g.height() * dpr + 0.999)};
}

namespace {
bool ShownOnScreen(const QWidget* AWidget) { return AWidget->isVisible() && !AWidget->window()->isMinimized(); }

// For input, a window counts while the window system shows it. Qt's minimized state is no guide:
// without a window manager a minimized window stays on the screen (and takes clicks), and with one it
// is unmapped, which Qt reports as no longer exposed.
bool OnScreenForInput(const QWidget* AWindow) {
  const QWindow* handle = AWindow->windowHandle();
  return AWindow->isVisible() && (!handle || handle->isExposed());
}
}  // namespace

// ---- one window, blanked --------------------------------------------------------------------------

TOwnWindowTracker::TOwnWindowTracker(QWidget* window) : QObject(window), FWindow(window), FId(RegisterOwnWindow()) {
  window->installEventFilter(this);
  if (window->window() != window) window->window()->installEventFilter(this);
  Update();
}

TOwnWindowTracker::~TOwnWindowTracker() { UnregisterOwnWindow(FId); }

void TOwnWindowTracker::Update() {
  SetOwnWindow(FId, OwnWindowRectOf(FWindow), ShownOnScreen(FWindow));
  SetOwnWindowHandle(FId, FWindow->window()->internalWinId());
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
    case QEvent::WinIdChange:
    case QEvent::WindowStateChange: Update(); break;
    default: break;
  }
  return QObject::eventFilter(o, e);
}

// ---- every top-level window, input only -----------------------------------------------------------

TAppWindowTracker::TAppWindowTracker(QObject* AApp) : FApp(AApp) {
  FApp->installEventFilter(this);
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) Track(w);
}

TAppWindowTracker::~TAppWindowTracker() {
  FApp->removeEventFilter(this);
  for (const auto& [o, id] : FIds) UnregisterOwnWindow(id);
}

void TAppWindowTracker::Track(QWidget* AWindow) {
  auto it = FIds.find(AWindow);
  if (it == FIds.end()) {
    it = FIds.emplace(AWindow, RegisterOwnWindow(TOwnWindowUse::InputOnly)).first;
    connect(AWindow, &QObject::destroyed, this, [this](QObject* o) { Untrack(o); });
  }
  Update(AWindow, it->second);
}

void TAppWindowTracker::Update(QWidget* AWindow, int AId) {
  SetOwnWindow(AId, OwnWindowRectOf(AWindow), OnScreenForInput(AWindow));
  SetOwnWindowHandle(AId, AWindow->internalWinId());
}

void TAppWindowTracker::Untrack(QObject* AObject) {
  auto it = FIds.find(AObject);
  if (it == FIds.end()) return;
  UnregisterOwnWindow(it->second);
  FIds.erase(it);
}

bool TAppWindowTracker::eventFilter(QObject* o, QEvent* e) {
  switch (e->type()) {
    case QEvent::Expose:
      // To the window system's window of a widget: shown, covered by a minimize, shown again.
      if (o->isWindowType())
        for (const auto& [w, id] : FIds)
          if (static_cast<QWidget*>(w)->windowHandle() == o) Update(static_cast<QWidget*>(w), id);
      break;
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::WindowStateChange:
    case QEvent::WinIdChange:
    case QEvent::ParentChange: {
      if (!o->isWidgetType()) break;
      auto* w = static_cast<QWidget*>(o);
      if (w->isWindow() && w->windowType() != Qt::Desktop) {
        // A window counts from the moment it is first shown.
        auto it = FIds.find(w);
        if (it != FIds.end())
          Update(w, it->second);
        else if (e->type() == QEvent::Show)
          Track(w);
      } else {
        Untrack(w);  // no longer a window of its own: its top-level window covers it
      }
      break;
    }
    default: break;
  }
  return QObject::eventFilter(o, e);
}

}  // namespace tovik
