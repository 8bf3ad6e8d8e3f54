// TRecentPicker: the owner-drawn "Saved PCs" control of the deliver-help card, and TRecentPopup, its
// drop-down with one row per saved PC (rename and forget buttons) and the "Sync with my other PCs..."
// footer. The rows, selection, keys and hit test are TRecentPopupState (book/TovikRecentPopup.h);
// these classes draw it in the Day or Night palette and turn Qt's events into its calls.
//
// Names come from other PCs through the sync: they are only ever drawn as plain text and handed to
// the input and question boxes as plain text.
//
// Ownership: the picker does not own the list (it must outlive the picker); the popup is a tool window
// of the picker's form, freed by the picker or with the form. Threads: GUI thread only.
#pragma once

#include <QColor>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

#include "book/TovikRecent.h"
#include "book/TovikRecentPopup.h"

namespace tovik {

// The colours of the picker and its drop-down (light or dark look, derived from the accent).
struct TRecentPalette {
  QColor Background, Field, FieldHover, Border, Ink, Muted, FooterHover, Selection, RenameHover, ForgetInk,
      ForgetHover, Separator, Accent, Avatar;
};
TRecentPalette MakeRecentPalette(bool ADark, const QColor& AAccent);

class TRecentPicker;

class TRecentPopup final : public QWidget {
  Q_OBJECT
 public:
  explicit TRecentPopup(TRecentPicker* APicker);
  TRecentPopupState& State() { return FState; }
  // n logical pixels scaled to the picker's DPI (never below 96 dpi).
  int S(int n) const;
  void ClearHot();

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;
  void leaveEvent(QEvent* e) override;

 private:
  TRecentHit HitAt(const QPoint& p) const;
  TRecentPicker* FPicker;
  TRecentPopupState FState;
  TRecentHit FHot, FDown;
};

class TRecentPicker final : public QWidget {
  Q_OBJECT
 public:
  // AList must outlive the picker.
  explicit TRecentPicker(TRecentList& AList, QWidget* AParent = nullptr);
  ~TRecentPicker() override;

  const TRecentList& List() const { return FList; }
  void SetSyncText(const std::string& AText);
  const std::string& SyncText() const { return FSyncText; }
  const std::string& PickedID() const { return FPickedID; }
  void SetPickedID(const std::string& AID);
  void SetAccent(const QColor& AAccent);
  QColor AccentColour() const { return FAccent; }
  TRecentPalette Palette() const;

  // The list changed: forgets a picked ID that is gone, repaints, reloads an open drop-down.
  void Refresh();
  bool DroppedDown() const;
  void DropDown();
  void CloseUp();
  void Pick(const std::string& AID);
  void RenameID(const std::string& AID);
  void ForgetID(const std::string& AID);
  void DoSync();
  TRecentPopup* Popup() const { return FPopup.data(); }

  // A saved PC was picked (raw ID); the list was changed by a rename or a forget (already saved by the
  // list); the footer was clicked.
  std::function<void(const std::string& AID)> OnPick;
  std::function<void()> OnChanged;
  std::function<void()> OnSync;
  // The question boxes, replaceable by tests: the new name (nullopt: cancelled) and yes/no.
  std::function<std::optional<std::string>(const QString& ATitle, const QString& APrompt, const QString& AText)>
      AskText;
  std::function<bool(const QString& AText)> AskYes;

  QSize sizeHint() const override { return {308, 32}; }

 protected:
  void paintEvent(QPaintEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;
  void enterEvent(QEnterEvent* e) override;
  void leaveEvent(QEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  void changeEvent(QEvent* e) override;
  bool event(QEvent* e) override;
  bool eventFilter(QObject* o, QEvent* e) override;

 private:
  void Place();
  TRecentList& FList;
  std::string FSyncText;
  std::string FPickedID;
  QColor FAccent{0x25, 0x63, 0xEB};
  bool FHover = false;
  // A tool window of the picker's form once dropped down (so it stays above that form); the form may
  // free it first.
  QPointer<TRecentPopup> FPopup;
};

}  // namespace tovik
