#include "app/TovikSessionTabs.h"

#include <QMenu>
#include <QMouseEvent>
#include <QTabBar>
#include <QTabWidget>

namespace tovik {

TSessionTabs::TSessionTabs(QTabWidget* APages, QWidget* AHome, QObject* AOwner)
    : QObject(AOwner), FPages(APages), FHome(AHome) {
  connect(FPages, &QTabWidget::currentChanged, this, [this](int) {
    if (QWidget* v = ViewerOn(FPages->currentWidget())) v->setFocus();
  });
  FPages->tabBar()->installEventFilter(this);
  FMenu = new QMenu(FPages);
  FCloseItem = FMenu->addAction(QStringLiteral("&Disconnect this PC"));
  connect(FCloseItem, &QAction::triggered, this, [this] { CloseActive(); });
  connect(FMenu, &QMenu::aboutToShow, this,
          [this] { FCloseItem->setEnabled(ViewerOn(FPages->currentWidget()) != nullptr); });
  FPages->tabBar()->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(FPages->tabBar(), &QWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { FMenu->popup(FPages->tabBar()->mapToGlobal(p)); });
}

void TSessionTabs::Detach() {
  if (FDetached) return;
  FDetached = true;
  FPages->tabBar()->removeEventFilter(this);
  for (const TDocked& d : FViewers)
    if (d.Sheet) d.Sheet->removeEventFilter(this);
  disconnect(FPages, nullptr, this, nullptr);
  disconnect(FPages->tabBar(), nullptr, this, nullptr);
}

QWidget* TSessionTabs::ViewerOn(QWidget* ASheet) const {
  if (!ASheet || ASheet == FHome) return nullptr;
  for (auto it = FViewers.begin(); it != FViewers.end(); ++it)
    if (it->Sheet == ASheet) return it.key();
  return nullptr;
}

QWidget* TSessionTabs::ActiveViewer() const { return ViewerOn(FPages->currentWidget()); }

QWidget* TSessionTabs::ViewerAt(int AIndex) const {
  return AIndex >= 0 && AIndex < FPages->count() ? ViewerOn(FPages->widget(AIndex)) : nullptr;
}

void TSessionTabs::AddViewer(QWidget* AViewer, const QString& ACaption, std::function<void()> ARequestClose) {
  // The viewer fills its sheet by the sheet's resize events rather than a layout, so it fills it again
  // after it was away in full screen.
  auto* sheet = new QWidget;
  AViewer->setParent(sheet, Qt::Widget);
  sheet->installEventFilter(this);
  const int index = FPages->addTab(sheet, ACaption.isEmpty() ? QStringLiteral("  PC  ") : "  " + ACaption + "  ");
  AViewer->setGeometry(sheet->rect());
  AViewer->show();
  FViewers.insert(AViewer, {sheet, std::move(ARequestClose)});
  connect(AViewer, &QObject::destroyed, this, [this, AViewer] {
    const TDocked d = FViewers.take(AViewer);
    if (d.Sheet) d.Sheet->deleteLater();  // a sheet already going is left alone
    if (OnCountChanged) OnCountChanged(Count());
  });
  if (OnCountChanged) OnCountChanged(Count());
  FPages->setCurrentIndex(index);
  AViewer->setFocus();
}

void TSessionTabs::RequestCloseOf(QWidget* AViewer) {
  auto it = FViewers.find(AViewer);
  if (it != FViewers.end() && it->RequestClose) it->RequestClose();
}

void TSessionTabs::CloseActive() {
  if (QWidget* v = ViewerOn(FPages->currentWidget())) RequestCloseOf(v);
}

void TSessionTabs::CloseAll() {
  const QList<QWidget*> all = FViewers.keys();  // a copy: closing changes the map
  for (QWidget* v : all) RequestCloseOf(v);
}

bool TSessionTabs::eventFilter(QObject* AObject, QEvent* AEvent) {
  if (FDetached) return QObject::eventFilter(AObject, AEvent);
  if (AEvent->type() == QEvent::Resize || AEvent->type() == QEvent::Show) {
    auto* sheet = qobject_cast<QWidget*>(AObject);
    if (QWidget* v = sheet ? ViewerOn(sheet) : nullptr)
      if (v->parentWidget() == sheet) v->setGeometry(sheet->rect());
  }
  if (AObject == FPages->tabBar() && AEvent->type() == QEvent::MouseButtonPress) {
    auto* m = static_cast<QMouseEvent*>(AEvent);
    const int index = FPages->tabBar()->tabAt(m->position().toPoint());
    QWidget* viewer = index >= 0 ? ViewerOn(FPages->widget(index)) : nullptr;
    if (m->button() == Qt::MiddleButton) {
      if (viewer) RequestCloseOf(viewer);
      return true;
    }
    if (m->button() == Qt::RightButton && index >= 0) {
      // The context menu that follows acts on this tab.
      FPages->setCurrentIndex(index);
      if (viewer) viewer->setFocus();
    }
  }
  return QObject::eventFilter(AObject, AEvent);
}

}  // namespace tovik
