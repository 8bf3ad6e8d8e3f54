// Keeps our windows in the own-window list (base/TovikOwnWindows.h), so that injected clicks and keys
// of a helper do not reach them and, for the windows that ask for it, the capturer blanks them.
//
// TOwnWindowTracker: one window's desktop rectangle, blanked in captures while it is shown. Used by the
//   viewer window and the stop bar. A child QObject of the window it tracks, freed with it; the window
//   must outlive it.
// TAppWindowTracker: every top-level window of the application (main window, dialogs, message boxes,
//   menus, the viewer and the stop bar too) with its rectangle and window handle, for input only (they
//   are not blanked). One per program, made at the composition root right after the QApplication and
//   destroyed before it; it watches the application's events, so windows made later are covered.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QWidget>

#include <map>

#include "base/TovikOwnWindows.h"

namespace tovik {

// A widget's area in desktop pixels: a top-level window with its frame, a window inside another (a
// tab page) with its own area only.
TOwnWindowRect OwnWindowRectOf(const QWidget* AWidget);

class TOwnWindowTracker : public QObject {
  Q_OBJECT
 public:
  explicit TOwnWindowTracker(QWidget* window);
  ~TOwnWindowTracker() override;
  void Update();

 protected:
  bool eventFilter(QObject* o, QEvent* e) override;

 private:
  QWidget* FWindow;
  int FId;
};

class TAppWindowTracker : public QObject {
  Q_OBJECT
 public:
  // Watches AApp's events and registers the top-level windows that exist already.
  explicit TAppWindowTracker(QObject* AApp);
  ~TAppWindowTracker() override;
  // Windows being tracked (shown or hidden).
  std::size_t Count() const { return FIds.size(); }

 protected:
  bool eventFilter(QObject* o, QEvent* e) override;

 private:
  void Track(QWidget* AWindow);
  void Update(QWidget* AWindow, int AId);
  void Untrack(QObject* AObject);

  QObject* FApp;
  std::map<QObject*, int> FIds;  // tracked windows; a key is only compared, never used after its destruction
};

}  // namespace tovik
