// Keeps a window's desktop rectangle in the own-window list (base/TovikOwnWindows.h) while it is
// shown, so that the capturer blanks it and injected clicks do not land on it. Used by the viewer
// window and the stop bar.
//
// Ownership: a child QObject of the window it tracks, freed with it; the window must outlive it.
// GUI thread only.
#pragma once

#include <QObject>
#include <QWidget>

namespace tovik {

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

}  // namespace tovik
