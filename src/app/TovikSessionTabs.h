// TSessionTabs: viewer windows docked as tabs of the main window's page control, beside the home tab.
// The tabs never end a session themselves: a middle click on a tab, or "&Disconnect this PC" in the
// tab row's context menu, asks that tab's viewer to close (its session then ends and frees the viewer),
// and a tab goes away exactly when its viewer is destroyed.
//
// Ownership: a docked viewer becomes a child of its tab sheet; the sheet is freed when the viewer is
// destroyed. Threads: GUI thread only.
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>

#include <functional>

class QMenu;
class QTabWidget;
class QWidget;
class QAction;

namespace tovik {

class TSessionTabs final : public QObject {
  Q_OBJECT
 public:
  // APages and AHome must outlive the tabs (normally both are the main window's).
  TSessionTabs(QTabWidget* APages, QWidget* AHome, QObject* AOwner);

  // Docks a viewer in a new tab captioned "  " + ACaption + "  " ("  PC  " when empty), makes it the
  // active tab and focuses the viewer. ARequestClose asks the viewer to close (its session ends).
  void AddViewer(QWidget* AViewer, const QString& ACaption, std::function<void()> ARequestClose);
  int Count() const { return static_cast<int>(FViewers.size()); }
  // The viewer on the active tab; null while the home tab is active.
  QWidget* ActiveViewer() const;
  // The viewer on tab AIndex of the page control; null for the home tab or an index out of range.
  QWidget* ViewerAt(int AIndex) const;
  void CloseActive();
  void CloseAll();
  QTabWidget* Pages() const { return FPages; }
  QMenu* Menu() const { return FMenu; }
  QAction* CloseItem() const { return FCloseItem; }

  // The number of docked viewers changed.
  std::function<void(int ACount)> OnCountChanged;

  // Stops watching the page control: the owner calls it before the page control is destroyed, because
  // the tab bar and sheets still send events while the page control's own destructor runs.
  void Detach();

 protected:
  bool eventFilter(QObject* AObject, QEvent* AEvent) override;

 private:
  struct TDocked {
    QPointer<QWidget> Sheet;
    std::function<void()> RequestClose;
  };
  QWidget* ViewerOn(QWidget* ASheet) const;
  void RequestCloseOf(QWidget* AViewer);

  QTabWidget* FPages;
  QWidget* FHome;
  bool FDetached = false;
  QHash<QWidget*, TDocked> FViewers;
  QMenu* FMenu = nullptr;
  QAction* FCloseItem = nullptr;
};

}  // namespace tovik
