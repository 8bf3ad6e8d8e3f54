#include "book/ui/TovikRecentPicker.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWheelEvent>

#include <algorithm>

#include "app/ui/TovikTheme.h"
#include "base/TovikBytes.h"

namespace tovik {

namespace {

constexpr char16_t kGlyphMonitor = 0xE7F4, kGlyphRename = 0xE70F, kGlyphForget = 0xE711, kGlyphSync = 0xE895,
                   kGlyphUp = 0xE70E, kGlyphDown = 0xE70D;

// p percent of a plus (100 - p) percent of b.
QColor Mix(const QColor& a, const QColor& b, int p) { return Blend(b, a, p); }

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A glyph of the icon font, or its fallback text.
void DrawGlyph(QPainter& p, const QRect& r, char16_t glyph, const char* fallback, int px, const QWidget* w,
               const QColor& c) {
  p.setPen(c);
  const QString icon = IconText(glyph);
  if (!icon.isEmpty()) {
    p.setFont(IconFont(px, w));
    p.drawText(r, Qt::AlignCenter, icon);
  } else {
    p.setFont(UiFont(px, false, w));
    p.drawText(r, Qt::AlignCenter, QString::fromLatin1(fallback));
  }
}

QString Elide(const QString& s, const QFont& f, int width) {
  return QFontMetrics(f).elidedText(s, Qt::ElideRight, std::max(0, width));
}

const QString& EmptyHint() {
  static const QString t = QStringLiteral("The PCs you help are added here by themselves.");
  return t;
}

}  // namespace

TRecentPalette MakeRecentPalette(bool ADark, const QColor& AAccent) {
  TRecentPalette p;
  if (!ADark) {
    p = {QColor(0xFFFFFF), QColor(0xF1F4F8), QColor(0xE7EBF2), QColor(0xCCD3DC), QColor(0x1F2937),
         QColor(0x6B7280), QColor(0xF0F3F7), Mix(AAccent, QColor(0xFFFFFF), 11), QColor(0xDCE2E9),
         QColor(0xDC2626), QColor(0xFEE2E2), QColor(0xE3E8EE), AAccent, Mix(AAccent, QColor(0xFFFFFF), 12)};
  } else {
    p = {QColor(0x2B2B2B), QColor(0x383838), QColor(0x424242), QColor(0x555555), QColor(0xF0F0F0),
         QColor(0xA8A8A8), QColor(0x363636), Mix(AAccent, QColor(0x2B2B2B), 28), QColor(0x505050),
         QColor(0xF87171), QColor(0x4C2A2A), QColor(0x404040), Mix(AAccent, QColor(0xFFFFFF), 60),
         Mix(AAccent, QColor(0x2B2B2B), 22)};
  }
  return p;
}

// ---------------------------------------------------------------------------------------------
// The drop-down

TRecentPopup::TRecentPopup(TRecentPicker* APicker)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus),
      FPicker(APicker) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);
}

int TRecentPopup::S(int n) const { return std::max(n, Px(FPicker, n)); }

void TRecentPopup::ClearHot() {
  FHot = {};
  update();
}

TRecentHit TRecentPopup::HitAt(const QPoint& p) const {
  // The state works in logical pixels at 96 dpi.
  const double k = double(S(1000)) / 1000.0;
  return FState.HitTest(int(p.x() / k), int(p.y() / k), int(width() / k), int(height() / k));
}

void TRecentPopup::paintEvent(QPaintEvent*) {
  const TRecentPalette c = FPicker->Palette();
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), c.Background);
  p.setPen(c.Border);
  p.setBrush(Qt::NoBrush);
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  const int n = FState.Count();
  const int rowW = width() - 2 * S(6);
  if (n == 0) {
    const QRect r(S(6) + S(12), S(6), rowW - S(16), S(48));
    p.setPen(c.Ink);
    p.setFont(UiFont(13, true, this));
    p.drawText(r.adjusted(0, S(6), 0, -S(24)), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("No saved PCs yet"));
    p.setPen(c.Muted);
    p.setFont(UiFont(12, false, this));
    p.drawText(r.adjusted(0, S(26), 0, 0), Qt::AlignLeft | Qt::AlignTop, EmptyHint());
  }
  for (int i = FState.Top(); i < n && i < FState.Top() + FState.VisibleRows(); ++i) {
    const QRect row(S(6), S(6) + S(48) * (i - FState.Top()), rowW, S(48));
    const bool sel = i == FState.Sel();
    if (sel) {
      p.setPen(Qt::NoPen);
      p.setBrush(c.Selection);
      p.drawRoundedRect(row, S(10), S(10));
    }
    const std::string& id = FState.IDAt(i);
    const std::string& name = FState.NameAt(i);
    if (id == FPicker->PickedID()) {
      p.setPen(Qt::NoPen);
      p.setBrush(c.Accent);
      p.drawRoundedRect(QRect(row.left() + S(2), row.top() + S(14), S(3), row.height() - S(28)), S(1), S(1));
    }
    const QRect avatar(row.left() + S(10), row.top() + (row.height() - S(32)) / 2, S(32), S(32));
    p.setPen(Qt::NoPen);
    p.setBrush(c.Avatar);
    p.drawRoundedRect(avatar, S(10), S(10));
    if (HasIconFont())
      DrawGlyph(p, avatar, kGlyphMonitor, "PC", 16, this, c.Accent);
    else {
      p.setPen(c.Accent);
      p.setFont(UiFont(11, true, this));
      p.drawText(avatar, Qt::AlignCenter, QStringLiteral("PC"));
    }
    const int textLeft = avatar.right() + S(12);
    const int textW = row.right() - S(8) - S(28) - S(30) - S(4) - textLeft;
    const QFont f1 = UiFont(13, true, this), f2 = UiFont(12, false, this);
    p.setPen(c.Ink);
    p.setFont(f1);
    p.drawText(QRect(textLeft, row.top() + S(6), textW, S(20)), Qt::AlignLeft | Qt::AlignVCenter,
               Elide(Q(name.empty() ? FormatID(id) : name), f1, textW));
    p.setPen(c.Muted);
    p.setFont(f2);
    p.drawText(QRect(textLeft, row.top() + S(25), textW, S(18)), Qt::AlignLeft | Qt::AlignVCenter,
               Elide(name.empty() ? QStringLiteral("No name yet") : Q(FormatID(id)), f2, textW));
    const QRect forget(row.right() + 1 - S(8) - S(28), row.top() + (row.height() - S(28)) / 2, S(28), S(28));
    const QRect rename = forget.translated(-S(30), 0);
    const QColor btnInk = sel ? c.Ink : c.Muted;
    if (FHot.Row == i && FHot.Part == rpRename) {
      p.setPen(Qt::NoPen);
      p.setBrush(c.RenameHover);
      p.drawRoundedRect(rename, S(8), S(8));
    }
    DrawGlyph(p, rename, kGlyphRename, "...", 14, this, btnInk);
    const bool forgetHot = FHot.Row == i && FHot.Part == rpForget;
    if (forgetHot) {
      p.setPen(Qt::NoPen);
      p.setBrush(c.ForgetHover);
      p.drawRoundedRect(forget, S(8), S(8));
    }
    DrawGlyph(p, forget, kGlyphForget, "x", 12, this, forgetHot ? c.ForgetInk : btnInk);
  }
  if (const auto [offset, thumb] = FState.Thumb(); thumb > 0) {
    p.setPen(Qt::NoPen);
    p.setBrush(c.Border);
    p.drawRoundedRect(QRect(width() - S(2) - S(3), S(10) + S(offset), S(3), S(thumb)), S(1), S(1));
  }
  // Footer.
  const QRect footer(0, height() - S(58), width(), S(58));
  const bool hot = FHot.Part == rpSync;
  if (hot) p.fillRect(footer.adjusted(1, 0, -1, -1), c.FooterHover);
  p.setPen(c.Separator);
  p.drawLine(S(10), footer.top(), width() - S(10), footer.top());
  DrawGlyph(p, QRect(S(14) - S(10), footer.top(), S(36), footer.height()), kGlyphSync, "", 16, this, c.Accent);
  QFont link = UiFont(12, true, this);
  link.setUnderline(hot);
  p.setFont(link);
  p.setPen(c.Accent);
  const int tx = S(44);
  const QString sync = Q(FPicker->SyncText());
  if (sync.isEmpty()) {
    p.drawText(QRect(tx, footer.top(), width() - tx - S(10), footer.height()), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Sync with my other PCs..."));
  } else {
    p.drawText(QRect(tx, footer.top() + S(10), width() - tx - S(10), S(18)), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Sync with my other PCs..."));
    const QFont f2 = UiFont(12, false, this);
    p.setFont(f2);
    p.setPen(c.Muted);
    p.drawText(QRect(tx, footer.top() + S(29), width() - tx - S(10), S(18)), Qt::AlignLeft | Qt::AlignVCenter,
               Elide(sync, f2, width() - tx - S(10)));
  }
}

void TRecentPopup::mouseMoveEvent(QMouseEvent* e) {
  const TRecentHit h = HitAt(e->position().toPoint());
  if (h.Row >= 0 && h.Row != FState.Sel()) FState.SetSel(h.Row);
  FHot = h;
  setCursor(h.Part == rpRename || h.Part == rpForget || h.Part == rpSync ? Qt::PointingHandCursor : Qt::ArrowCursor);
  update();
}

void TRecentPopup::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) FDown = HitAt(e->position().toPoint());
}

void TRecentPopup::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  const TRecentHit up = HitAt(e->position().toPoint());
  const TRecentHit down = FDown;
  FDown = {};
  // Only a click that starts and ends on the same part acts.
  if (up.Part != down.Part || up.Row != down.Row || up.Part == rpNone) return;
  const std::string id = up.Row >= 0 ? FState.IDAt(up.Row) : std::string();
  switch (up.Part) {
    case rpRow: FPicker->Pick(id); break;
    case rpRename: FPicker->RenameID(id); break;
    case rpForget: FPicker->ForgetID(id); break;
    case rpSync: FPicker->DoSync(); break;
    case rpNone: break;
  }
}

void TRecentPopup::wheelEvent(QWheelEvent* e) {
  FState.ScrollRows(e->angleDelta().y() > 0 ? -1 : 1);
  update();
}

void TRecentPopup::leaveEvent(QEvent*) { ClearHot(); }

// ---------------------------------------------------------------------------------------------
// The picker

TRecentPicker::TRecentPicker(TRecentList& AList, QWidget* AParent) : QWidget(AParent), FList(AList) {
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
  setToolTip(QStringLiteral("Your saved PCs: pick one to fill in its ID, rename it or forget it"));
  setAttribute(Qt::WA_Hover);
  resize(308, 32);
  FPopup = new TRecentPopup(this);
  AskText = [this](const QString& title, const QString& prompt, const QString& text) -> std::optional<std::string> {
    bool ok = false;
    const QString s = QInputDialog::getText(this, title, prompt, QLineEdit::Normal, text, &ok);
    if (!ok) return std::nullopt;
    return s.toStdString();
  };
  AskYes = [this](const QString& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tovik"), text, QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
  };
  qApp->installEventFilter(this);
}

TRecentPicker::~TRecentPicker() {
  qApp->removeEventFilter(this);
  delete FPopup.data();
}

TRecentPalette TRecentPicker::Palette() const { return MakeRecentPalette(IsDark(), FAccent); }

void TRecentPicker::SetSyncText(const std::string& AText) {
  if (FSyncText == AText) return;
  FSyncText = AText;
  if (DroppedDown()) FPopup->update();
}

void TRecentPicker::SetPickedID(const std::string& AID) {
  FPickedID = AID;
  update();
}

void TRecentPicker::SetAccent(const QColor& AAccent) {
  FAccent = AAccent;
  update();
  if (FPopup) FPopup->update();
}

void TRecentPicker::Refresh() {
  if (!FPickedID.empty() && FList.IndexOfID(FPickedID) < 0) FPickedID.clear();
  update();
  if (DroppedDown()) {
    FPopup->State().Reload(FList.Lines());
    Place();
    FPopup->update();
  }
}

bool TRecentPicker::DroppedDown() const { return FPopup && FPopup->isVisible(); }

void TRecentPicker::DropDown() {
  if (DroppedDown() || !isEnabled()) return;
  setFocus(Qt::PopupFocusReason);
  if (window() != this && FPopup->parentWidget() != window()) FPopup->setParent(window(), FPopup->windowFlags());
  FPopup->State().Reload(FList.Lines());
  FPopup->State().SelectID(FPickedID);
  FPopup->ClearHot();
  Place();
  FPopup->show();
  FPopup->raise();
  update();
}

void TRecentPicker::Place() {
  int w = std::max(width(), FPopup->S(300));
  // The hint of an empty list is never cut off.
  if (FList.Count() == 0)
    w = std::max(w, QFontMetrics(UiFont(12, false, this)).horizontalAdvance(EmptyHint()) + FPopup->S(40));
  int h = FPopup->S(FPopup->State().PreferredHeight());
  const QPoint below = mapToGlobal(QPoint(0, height() + FPopup->S(4)));
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  const QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 1 << 14, 1 << 14);
  h = std::min(h, work.height());
  int y = below.y();
  if (y + h > work.bottom() + 1) y = mapToGlobal(QPoint(0, 0)).y() - FPopup->S(4) - h;
  const int x = std::clamp(below.x(), work.left(), std::max(work.left(), work.right() + 1 - w));
  y = std::max(y, work.top());
  FPopup->setGeometry(x, y, w, h);
}

void TRecentPicker::CloseUp() {
  if (!DroppedDown()) return;
  FPopup->hide();
  FPopup->ClearHot();
  update();
}

void TRecentPicker::Pick(const std::string& AID) {
  CloseUp();
  if (FList.IndexOfID(AID) < 0) return;
  FPickedID = AID;
  update();
  if (OnPick) OnPick(AID);
}

void TRecentPicker::RenameID(const std::string& AID) {
  CloseUp();
  if (FList.IndexOfID(AID) < 0 || !AskText) return;
  const auto answer = AskText(QStringLiteral("Rename saved PC"),
                              QStringLiteral("A name for ") + Q(FormatID(AID)) + QStringLiteral(":"),
                              Q(FList.NameOf(AID)));
  if (!answer) return;
  if (FList.Rename(AID, *answer)) {
    update();
    if (OnChanged) OnChanged();
  }
}

void TRecentPicker::ForgetID(const std::string& AID) {
  CloseUp();
  if (FList.IndexOfID(AID) < 0 || !AskYes) return;
  const std::string name = FList.NameOf(AID);
  const std::string label = name.empty() ? FormatID(AID) : name + " (" + FormatID(AID) + ")";
  const QString text = QStringLiteral("Forget ") + Q(label) +
                       QStringLiteral("?\r\n\r\nIt is taken off your saved PCs. When sync is on, also on your other "
                                      "PCs. You can still connect to it by typing its ID.");
  if (!AskYes(text)) return;
  if (FList.Forget(AID)) {
    if (FPickedID == AID) FPickedID.clear();
    update();
    if (OnChanged) OnChanged();
  }
}

void TRecentPicker::DoSync() {
  CloseUp();
  if (OnSync) OnSync();
}

void TRecentPicker::paintEvent(QPaintEvent*) {
  const TRecentPalette c = Palette();
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const bool active = hasFocus() || DroppedDown();
  const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  p.setPen(QPen(active ? c.Accent : c.Border, 1));
  p.setBrush(FHover && isEnabled() ? c.FieldHover : c.Field);
  p.drawRoundedRect(box, Px(this, 10), Px(this, 10));
  if (active) {
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(box.adjusted(1, 1, -1, -1), Px(this, 8), Px(this, 8));
  }
  int x = Px(this, 10);
  if (HasIconFont()) {
    DrawGlyph(p, QRect(x, 0, Px(this, 18), height()), kGlyphMonitor, "", 15, this, c.Muted);
    x += Px(this, 18) + Px(this, 8);
  }
  const int right = width() - Px(this, 34);
  if (FPickedID.empty()) {
    const QFont f = UiFont(13, false, this);
    p.setFont(f);
    p.setPen(isEnabled() ? c.Ink : c.Muted);
    const QString t = QStringLiteral("Saved PCs");
    const int tw = QFontMetrics(f).horizontalAdvance(t);
    p.drawText(QRect(x, 0, right - x, height()), Qt::AlignLeft | Qt::AlignVCenter, t);
    const QString count = QString::number(FList.Count());
    const QFont bf = UiFont(11, true, this);
    const int bw = std::max(Px(this, 18), QFontMetrics(bf).horizontalAdvance(count) + Px(this, 12));
    if (FList.Count() > 0 && x + tw + Px(this, 8) + bw <= right) {
      const QRect badge(x + tw + Px(this, 8), (height() - Px(this, 18)) / 2, bw, Px(this, 18));
      p.setPen(Qt::NoPen);
      p.setBrush(c.FieldHover.darker(FHover ? 110 : 104));
      p.drawRoundedRect(badge, badge.height() / 2.0, badge.height() / 2.0);
      p.setFont(bf);
      p.setPen(c.Muted);
      p.drawText(badge, Qt::AlignCenter, count);
    }
  } else {
    const std::string name = FList.NameOf(FPickedID);
    const QFont f1 = UiFont(13, true, this);
    const QString first = Q(name.empty() ? FormatID(FPickedID) : name);
    p.setFont(f1);
    p.setPen(c.Ink);
    const QString shown = Elide(first, f1, right - x);
    p.drawText(QRect(x, 0, right - x, height()), Qt::AlignLeft | Qt::AlignVCenter, shown);
    const int used = QFontMetrics(f1).horizontalAdvance(shown) + Px(this, 8);
    if (!name.empty() && right - x - used >= 40) {
      const QFont f2 = UiFont(12, false, this);
      p.setFont(f2);
      p.setPen(c.Muted);
      p.drawText(QRect(x + used, 0, right - x - used, height()), Qt::AlignLeft | Qt::AlignVCenter,
                 Elide(Q(FormatID(FPickedID)), f2, right - x - used));
    }
  }
  DrawGlyph(p, QRect(right, 0, Px(this, 34), height()), DroppedDown() ? kGlyphUp : kGlyphDown,
            DroppedDown() ? "^" : "v", 11, this, c.Muted);
}

void TRecentPicker::keyPressEvent(QKeyEvent* e) {
  TPickerKey key = pkOther;
  switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: key = pkEnter; break;
    case Qt::Key_Escape: key = pkEscape; break;
    case Qt::Key_F4: key = pkF4; break;
    case Qt::Key_Up: key = pkUp; break;
    case Qt::Key_Down: key = pkDown; break;
    case Qt::Key_PageUp: key = pkPageUp; break;
    case Qt::Key_PageDown: key = pkPageDown; break;
    case Qt::Key_Home: key = pkHome; break;
    case Qt::Key_End: key = pkEnd; break;
    case Qt::Key_Delete: key = pkDelete; break;
    case Qt::Key_F2: key = pkF2; break;
    case Qt::Key_Space: key = pkSpace; break;
    default:
      if (!e->text().isEmpty() && e->text()[0].isPrint()) key = pkChar;
  }
  const char32_t ch = key == pkChar ? e->text().toUcs4().value(0) : 0;
  const TPickerAction a =
      FPopup->State().Key(key, e->modifiers() & Qt::AltModifier, DroppedDown(), ch);
  if (!a.Consumed) return QWidget::keyPressEvent(e);
  e->accept();
  switch (a.Kind) {
    case paOpen: DropDown(); break;
    case paClose: CloseUp(); break;
    case paPick: Pick(a.ID); break;
    case paRename: RenameID(a.ID); break;
    case paForget: ForgetID(a.ID); break;
    case paNone: FPopup->update(); break;
  }
}

bool TRecentPicker::event(QEvent* e) {
  // While open, Enter and Escape belong to the picker, not to a dialog's default or cancel button;
  // the arrow keys always do.
  if (e->type() == QEvent::ShortcutOverride) {
    auto* k = static_cast<QKeyEvent*>(e);
    const bool arrows = k->key() == Qt::Key_Up || k->key() == Qt::Key_Down;
    const bool open = DroppedDown() && (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter ||
                                        k->key() == Qt::Key_Escape);
    if (arrows || open) {
      e->accept();
      return true;
    }
  }
  return QWidget::event(e);
}

void TRecentPicker::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  setFocus(Qt::MouseFocusReason);
  if (DroppedDown())
    CloseUp();
  else
    DropDown();
}

void TRecentPicker::wheelEvent(QWheelEvent* e) {
  if (!DroppedDown()) return QWidget::wheelEvent(e);
  FPopup->State().ScrollRows(e->angleDelta().y() > 0 ? -1 : 1);
  FPopup->update();
}

void TRecentPicker::enterEvent(QEnterEvent*) {
  FHover = true;
  update();
}

void TRecentPicker::leaveEvent(QEvent*) {
  FHover = false;
  update();
}

void TRecentPicker::focusOutEvent(QFocusEvent*) {
  CloseUp();
  update();
}

void TRecentPicker::changeEvent(QEvent* e) {
  if (e->type() == QEvent::EnabledChange && !isEnabled()) CloseUp();
  QWidget::changeEvent(e);
}

bool TRecentPicker::eventFilter(QObject* o, QEvent* e) {
  if (!DroppedDown()) return false;
  if (e->type() == QEvent::ApplicationDeactivate) {
    CloseUp();
  } else if (e->type() == QEvent::MouseButtonPress || e->type() == QEvent::NonClientAreaMouseButtonPress) {
    auto* w = qobject_cast<QWidget*>(o);
    if (w && w != FPopup && w != this && !FPopup->isAncestorOf(w) && !isAncestorOf(w)) CloseUp();
  }
  return false;
}

}  // namespace tovik
