#include "app/ui/TovikUi.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextDocument>
#include <QToolTip>

#include <algorithm>

#include "app/ui/TovikTheme.h"

namespace tovik {

QString PlainToolTip(const QString& AText) {
  return Qt::mightBeRichText(AText) ? Qt::convertFromPlainText(AText, Qt::WhiteSpaceNormal) : AText;
}

namespace {

void Smooth(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);
}

void FillRound(QPainter& p, const QRectF& r, qreal radius, const QColor& fill, const QColor& line = QColor(),
               qreal lineWidth = 1) {
  p.setPen(line.isValid() ? QPen(line, lineWidth) : Qt::NoPen);
  p.setBrush(fill.isValid() ? QBrush(fill) : Qt::NoBrush);
  p.drawRoundedRect(r, radius, radius);
}

QColor WithAlpha(QColor c, int percent) {
  c.setAlpha(std::clamp(percent * 255 / 100, 0, 255));
  return c;
}

// The colour behind a control: its parent's background (cards and pages are owner-drawn too).
QColor ParentColor(const QWidget* w) {
  if (auto* card = qobject_cast<const TUiCard*>(w->parentWidget())) return card->Color();
  if (w->parentWidget()) return w->parentWidget()->palette().color(w->parentWidget()->backgroundRole());
  return Ui().Page;
}

void DrawElided(QPainter& p, const QRect& r, const QString& text, int flags) {
  const QFontMetrics fm(p.font());
  p.drawText(r, flags | Qt::TextSingleLine, fm.elidedText(text, Qt::ElideRight, std::max(0, r.width())));
}

}  // namespace

// ---- TUiCard ----

TUiCard::TUiCard(QWidget* parent) : QWidget(parent) {
  resize(240, 160);
  UpdateColors();
}

void TUiCard::UpdateColors() {
  FColor = Ui().Card;
  update();
}

QSize TUiCard::sizeHint() const { return {240, 160}; }

void TUiCard::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  p.fillRect(rect(), ParentColor(this));
  const qreal in = PxF(this, Inset);
  const QRectF box = QRectF(rect()).adjusted(in, in, -in, -in);
  const qreal r = PxF(this, 14);
  // Soft shadow: a few widening layers of faint black, shifted a little down.
  const int layers = 4;
  for (int i = layers; i >= 1; --i) {
    const qreal g = PxF(this, i * 1.5);
    const int alpha = (IsDark() ? 22 : 9) * (layers + 1 - i) / layers;
    FillRound(p, box.adjusted(-g, -g + PxF(this, 2), g, g + PxF(this, 2)), r + g, QColor(0, 0, 0, alpha));
  }
  FillRound(p, box.adjusted(0.5, 0.5, -0.5, -0.5), r, FColor, Ui().CardOutline);
}

// ---- TUiButton ----

TUiButton::TUiButton(const QString& caption, QWidget* parent) : QWidget(parent), FCaption(caption) {
  resize(120, 34);
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_Hover);
}

void TUiButton::SetKind(TUiButtonKind kind) {
  FKind = kind;
  update();
}

void TUiButton::SetCaption(const QString& caption) {
  if (caption == FCaption) return;
  FCaption = caption;
  update();
}

void TUiButton::SetGlyph(char16_t g) {
  FGlyph = g;
  update();
}

void TUiButton::SetIconOnly(bool on) {
  FIconOnly = on;
  update();
}

QSize TUiButton::sizeHint() const { return {IdealWidth(), Px(this, 34)}; }

int TUiButton::IdealWidth() const {
  const bool glyph = FGlyph && !IconText(FGlyph).isEmpty();
  if (FIconOnly && glyph) return height();
  const int text = QFontMetrics(UiFont(13, true, this)).horizontalAdvance(FCaption);
  return text + Px(this, 36) + (glyph ? Px(this, 24) : 0);
}

TUiButton::TContentLayout TUiButton::ContentLayout() const {
  TContentLayout l;
  l.Icon = FGlyph ? IconText(FGlyph) : QString();
  l.GlyphOnly = !l.Icon.isEmpty() && (FIconOnly || FCaption.isEmpty());
  l.GlyphWidth = l.Icon.isEmpty() ? 0 : Px(this, 16);
  l.Gap = (l.Icon.isEmpty() || l.GlyphOnly) ? 0 : Px(this, 8);
  l.TextWidth = l.GlyphOnly ? 0 : QFontMetrics(UiFont(13, true, this)).horizontalAdvance(FCaption);
  l.Margin = Px(this, 8);
  return l;
}

int TUiButton::NeededWidth() const {
  const TContentLayout l = ContentLayout();
  return 2 * l.Margin + l.GlyphWidth + l.Gap + l.TextWidth;
}

QColor TUiButton::FillColor() const {
  const bool hover = Live() && FHover, down = Live() && FDown;
  if (!isEnabled()) {
    if (FKind == ubGhost) return {};
    return IsDark() ? QColor(0x333333) : QColor(0xEEF0F3);
  }
  switch (FKind) {
    case ubPrimary:
      return down ? Blend(Accent(), Qt::black, 24) : hover ? Blend(Accent(), Qt::black, 12) : Accent();
    case ubDanger: return down ? QColor(0x991B1B) : hover ? QColor(0xB91C1C) : QColor(0xDC2626);
    case ubSuccess: return IsDark() ? QColor(0x1F3A2B) : QColor(0xDCFCE7);
    case ubGhost:
      if (!hover && !down) return {};
      [[fallthrough]];
    case ubSecondary: return down ? Ui().SoftPressed : hover ? Ui().SoftHover : Ui().SoftRest;
  }
  return {};
}

QColor TUiButton::InkColor() const {
  if (!isEnabled()) return IsDark() ? QColor(0x707070) : QColor(0xA3AAB4);
  switch (FKind) {
    case ubPrimary:
    case ubDanger: return Qt::white;
    case ubSuccess: return IsDark() ? QColor(0x4ADE80) : QColor(0x15803D);
    case ubGhost: return (Live() && (FHover || FDown)) ? Ui().Ink : Ui().Muted;
    case ubSecondary: return Ui().Ink;
  }
  return Ui().Ink;
}

void TUiButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const QColor fill = FillColor();
  if (fill.isValid()) FillRound(p, r, r.height() / 2, fill);
  p.setPen(InkColor());
  const TContentLayout l = ContentLayout();
  const QString& icon = l.Icon;
  const bool glyphOnly = l.GlyphOnly;
  const QFont textFont = UiFont(13, true, this);
  const int gw = l.GlyphWidth, gap = l.Gap, tw = l.TextWidth, margin = l.Margin;
  int x = std::max(margin, (width() - gw - gap - tw) / 2);
  if (!icon.isEmpty()) {
    p.setFont(IconFont(16, this));
    p.drawText(QRect(x, 0, gw, height()), Qt::AlignCenter, icon);
    x += gw + gap;
  }
  if (!glyphOnly) {
    p.setFont(textFont);
    DrawElided(p, QRect(x, 0, width() - x - margin, height()), FCaption, Qt::AlignLeft | Qt::AlignVCenter);
  }
}

void TUiButton::enterEvent(QEnterEvent*) {
  FHover = true;
  update();
}

void TUiButton::leaveEvent(QEvent*) {
  FHover = false;
  update();
}

void TUiButton::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !Live()) return;
  FDown = true;
  update();
}

void TUiButton::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !FDown) return;
  FDown = false;
  update();
  if (rect().contains(e->position().toPoint()) && Live()) OnClick();
}

void TUiButton::changeEvent(QEvent* e) {
  if (e->type() == QEvent::EnabledChange) {
    FDown = false;
    update();
  }
  QWidget::changeEvent(e);
}

// ---- TUiField ----

TUiField::TUiField(QWidget* parent) : QWidget(parent) {
  resize(200, 44);
  setCursor(Qt::IBeamCursor);
  UpdateColors();
  connect(qApp, &QApplication::focusChanged, this, [this] { update(); });
}

void TUiField::UpdateColors() {
  FColor = Ui().Field;
  update();
}

bool TUiField::Focused() const {
  const QWidget* f = QApplication::focusWidget();
  return f && (f == this || isAncestorOf(f));
}

void TUiField::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  p.fillRect(rect(), ParentColor(this));
  const bool focus = Focused();
  const qreal w = focus ? PxF(this, 2) : 1;
  FillRound(p, QRectF(rect()).adjusted(w / 2, w / 2, -w / 2, -w / 2), PxF(this, 12), FColor,
            focus ? Accent() : Ui().FieldOutline, w);
}

void TUiField::mousePressEvent(QMouseEvent*) {
  for (QWidget* child : findChildren<QWidget*>()) {
    if (child->isVisible() && child->isEnabled() && (child->focusPolicy() & Qt::ClickFocus)) {
      child->setFocus(Qt::MouseFocusReason);
      return;
    }
  }
}

// ---- TUiToggle ----

TUiToggle::TUiToggle(const QString& caption, QWidget* parent) : QWidget(parent), FCaption(caption) {
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
  resize(sizeHint());
}

QSize TUiToggle::sizeHint() const {
  return {Px(this, 51) + QFontMetrics(UiFont(13, false, this)).horizontalAdvance(FCaption) + Px(this, 4),
          Px(this, 28)};
}

void TUiToggle::SetChecked(bool on) {
  if (on == FChecked) return;
  FChecked = on;
  update();
  if (OnClick) OnClick();
}

void TUiToggle::SetCaption(const QString& caption) {
  FCaption = caption;
  update();
}

QRectF TUiToggle::TrackRect() const {
  const qreal w = PxF(this, 38), h = PxF(this, 22);
  return {PxF(this, 3), (height() - h) / 2, w, h};
}

QRectF TUiToggle::KnobRect() const {
  const QRectF t = TrackRect();
  const qreal k = PxF(this, 16), in = PxF(this, 3);
  const qreal x = FChecked ? t.right() - in - k : t.left() + in;
  return {x, t.center().y() - k / 2, k, k};
}

void TUiToggle::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  const QRectF t = TrackRect();
  QColor track = FChecked ? Accent() : Ui().ToggleTrack;
  if (!FChecked && FHover && isEnabled()) track = Blend(track, Ui().Ink, 15);
  if (!isEnabled()) track = Blend(track, ParentColor(this), 55);
  if (hasFocus()) {
    const qreal g = PxF(this, 2.5);
    FillRound(p, t.adjusted(-g, -g, g, g), (t.height() + 2 * g) / 2, QColor(), WithAlpha(Accent(), 60),
              PxF(this, 2));
  }
  FillRound(p, t, t.height() / 2, track);
  const QRectF k = KnobRect();
  FillRound(p, k.translated(0, PxF(this, 1)), k.height() / 2, QColor(0, 0, 0, 40));
  FillRound(p, k, k.height() / 2, (IsDark() && !FChecked) ? QColor(0xE6E6E6) : QColor(Qt::white));
  p.setFont(UiFont(13, false, this));
  p.setPen(isEnabled() ? Ui().Ink : Ui().Muted);
  const int x = static_cast<int>(t.right() + PxF(this, 10));
  DrawElided(p, QRect(x, 0, width() - x, height()), FCaption, Qt::AlignLeft | Qt::AlignVCenter);
}

void TUiToggle::enterEvent(QEnterEvent*) {
  FHover = true;
  update();
}

void TUiToggle::leaveEvent(QEvent*) {
  FHover = false;
  update();
}

void TUiToggle::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) FDown = true;
}

void TUiToggle::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !FDown) return;
  FDown = false;
  if (rect().contains(e->position().toPoint())) SetChecked(!FChecked);
}

void TUiToggle::keyReleaseEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Space && !e->isAutoRepeat()) {
    SetChecked(!FChecked);
    return;
  }
  QWidget::keyReleaseEvent(e);
}

// ---- TUiSegmented ----

TUiSegmented::TUiSegmented(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);
  setCursor(Qt::PointingHandCursor);
  resize(200, 36);
}

void TUiSegmented::AddItem(const TUiSegment& item) {
  FItems.push_back(item);
  update();
}

void TUiSegmented::SetItemIndex(int index) {
  index = std::clamp(index, -1, Count() - 1);
  if (index == FItemIndex) return;
  FItemIndex = index;
  update();
}

QRect TUiSegmented::SegmentRect(int i) const {
  if (i < 0 || i >= Count()) return {};
  const int x0 = i * width() / Count(), x1 = (i + 1) * width() / Count();
  return QRect(x0, 0, x1 - x0, height());
}

int TUiSegmented::IndexAt(const QPoint& pt) const {
  for (int i = 0; i < Count(); ++i)
    if (SegmentRect(i).contains(pt)) return i;
  return -1;
}

void TUiSegmented::Pick(int index) {
  index = std::clamp(index, 0, Count() - 1);
  if (Count() == 0 || index == FItemIndex) return;
  FItemIndex = index;
  update();
  if (OnChange) OnChange();
}

void TUiSegmented::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  p.fillRect(rect(), ParentColor(this));
  const QRectF all = QRectF(rect()).adjusted(1, 1, -1, -1);
  FillRound(p, all, all.height() / 2, Ui().SegTrack);
  const QColor chip = IsDark() ? QColor(0x505050) : QColor(Qt::white);
  const qreal in = PxF(this, 3);
  for (int i = 0; i < Count(); ++i) {
    const QRectF s = QRectF(SegmentRect(i)).adjusted(in, in, -in, -in);
    if (i == FItemIndex) {
      FillRound(p, s.translated(0, PxF(this, 1)), s.height() / 2, QColor(0, 0, 0, IsDark() ? 50 : 22));
      FillRound(p, s, s.height() / 2, chip);
    } else if (i == FHoverIndex && isEnabled()) {
      FillRound(p, s, s.height() / 2, WithAlpha(chip, 33));
    }
    const TUiSegment& item = FItems[static_cast<size_t>(i)];
    const QString icon = item.Glyph ? IconText(item.Glyph) : QString();
    const bool symbol = !icon.isEmpty() || !item.Fallback.isEmpty();
    QColor ink = i == FItemIndex ? Ui().Ink : Ui().Muted;
    if (i == FItemIndex && symbol && item.Lit.isValid()) ink = IsDark() ? Blend(item.Lit, Qt::white, 30) : item.Lit;
    if (!isEnabled()) ink = Blend(ink, ParentColor(this), 50);
    p.setPen(ink);
    if (!icon.isEmpty()) {
      p.setFont(IconFont(15, this));
      p.drawText(s, Qt::AlignCenter, icon);
    } else if (!item.Fallback.isEmpty()) {
      p.setFont(UiFont(15, false, this));
      p.drawText(s, Qt::AlignCenter, item.Fallback);
    } else {
      p.setFont(UiFont(12, true, this));
      DrawElided(p, s.toRect(), item.Text, Qt::AlignCenter);
    }
  }
  if (hasFocus()) FillRound(p, all, all.height() / 2, QColor(), Accent(), PxF(this, 2));
}

void TUiSegmented::mouseMoveEvent(QMouseEvent* e) {
  const int i = IndexAt(e->position().toPoint());
  if (i != FHoverIndex) {
    FHoverIndex = i;
    setToolTip(i >= 0 ? PlainToolTip(FItems[static_cast<size_t>(i)].Hint) : QString());
    update();
  }
}

void TUiSegmented::leaveEvent(QEvent*) {
  FHoverIndex = -1;
  update();
}

void TUiSegmented::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  const int i = IndexAt(e->position().toPoint());
  if (i >= 0) Pick(i);
}

void TUiSegmented::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up: Pick(FItemIndex - 1); return;
    case Qt::Key_Right:
    case Qt::Key_Down: Pick(FItemIndex + 1); return;
    default: QWidget::keyPressEvent(e);
  }
}

// ---- TUiPill ----

TUiPill::TUiPill(const QString& caption, QWidget* parent) : QWidget(parent), FCaption(caption) {
  resize(180, 28);
}

void TUiPill::SetCaption(const QString& caption) {
  if (caption == FCaption) return;
  FCaption = caption;
  update();
}

void TUiPill::SetDotColor(const QColor& c) {
  FDotColor = c;
  update();
}

int TUiPill::IdealWidth() const {
  return QFontMetrics(UiFont(12, true, this)).horizontalAdvance(FCaption) + Px(this, 42);
}

void TUiPill::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  const QColor dot = LookInk(FDotColor);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  FillRound(p, r, r.height() / 2, WithAlpha(dot, IsDark() ? 15 : 10), WithAlpha(dot, 28));
  const QPointF c(PxF(this, 12), height() / 2.0);
  const qreal halo = PxF(this, 14) / 2, d = PxF(this, 8) / 2;
  p.setPen(Qt::NoPen);
  p.setBrush(WithAlpha(dot, 25));
  p.drawEllipse(c, halo, halo);
  p.setBrush(dot);
  p.drawEllipse(c, d, d);
  p.setFont(UiFont(12, true, this));
  p.setPen(Ui().Ink);
  const int x = Px(this, 28);
  DrawElided(p, QRect(x, 0, width() - Px(this, 10) - x, height()), FCaption, Qt::AlignLeft | Qt::AlignVCenter);
}

// ---- TUiLogoTile ----

TUiLogoTile::TUiLogoTile(QWidget* parent) : QWidget(parent) { resize(48, 48); }

void TUiLogoTile::SetGlyph(char16_t g) {
  FGlyph = g;
  update();
}

void TUiLogoTile::SetLetter(const QString& letter) {
  FLetter = letter;
  update();
}

void TUiLogoTile::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  FillRound(p, r, height() * 0.28, Accent());
  p.setPen(Qt::white);
  const QString icon = FGlyph ? IconText(FGlyph) : QString();
  if (!icon.isEmpty()) {
    QFont f = IconFont(1, this);
    f.setPixelSize(std::max(1, height() / 2));
    p.setFont(f);
    p.drawText(rect(), Qt::AlignCenter, icon);
  } else {
    QFont f = UiFont(1, true, this);
    f.setPixelSize(std::max(1, height() * 52 / 100));
    p.setFont(f);
    p.drawText(rect(), Qt::AlignCenter, FLetter);
  }
}

// ---- TUiBubble ----

TUiBubble::TUiBubble(QWidget* parent) : QWidget(parent) {
  hide();
  FTimer.setSingleShot(true);
  connect(&FTimer, &QTimer::timeout, this, &TUiBubble::Dismiss);
}

void TUiBubble::Popup(const QString& text, const QRect& target, int ms) {
  FText = text;
  const QFontMetrics fm(UiFont(12, false, this));
  const int padX = Px(this, 12), padY = Px(this, 6), arrow = Px(this, 6);
  const int w = fm.horizontalAdvance(text) + 2 * padX;
  const int h = fm.height() + 2 * padY + arrow;
  const int pw = parentWidget() ? parentWidget()->width() : w + 12;
  const int mid = target.center().x();
  int left = mid - w / 2;
  left = std::max(Px(this, 6), std::min(left, pw - Px(this, 6) - w));
  setGeometry(left, target.bottom() + 1 + Px(this, 3), w, h);
  FArrowX = std::clamp(mid - left, padX, std::max(padX, w - padX));
  show();
  raise();
  update();
  FTimer.start(std::max(ms, 500));
}

void TUiBubble::Dismiss() {
  FTimer.stop();
  hide();
}

void TUiBubble::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  const qreal arrow = PxF(this, 6);
  const QRectF box(0, arrow, width(), height() - arrow);
  QPainterPath path;
  path.addRoundedRect(box, PxF(this, 8), PxF(this, 8));
  QPainterPath tip;
  tip.moveTo(FArrowX - arrow, arrow + 1);
  tip.lineTo(FArrowX, 0);
  tip.lineTo(FArrowX + arrow, arrow + 1);
  tip.closeSubpath();
  path = path.united(tip);
  p.setPen(Qt::NoPen);
  p.setBrush(Ui().Ink);
  p.drawPath(path);
  p.setPen(IsDark() ? QColor(0x202020) : QColor(Qt::white));
  p.setFont(UiFont(12, false, this));
  p.drawText(box, Qt::AlignCenter, FText);
}

// ---- TUiStatusBar ----

TUiStatusBar::TUiStatusBar(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);
  resize(600, 28);
}

bool TUiStatusBar::SetPart(int i, const QString& text, const QString& hint, const QColor& c) {
  TPart& part = FParts[i];
  if (part.Text == text && part.Hint == hint && part.Color == c) return false;
  part = {text, hint, c};
  update();
  return true;
}

void TUiStatusBar::SetLeft(const QString& text, const QString& hint, const QColor& dot) { SetPart(0, text, hint, dot); }
void TUiStatusBar::SetMiddle(const QString& text, const QString& hint, const QColor& dot) {
  SetPart(1, text, hint, dot);
}
void TUiStatusBar::SetRight(const QString& text, const QString& hint, const QColor& ink) {
  SetPart(2, text, hint, ink);
}

void TUiStatusBar::Layout(QRect out[3]) const {
  const QFontMetrics fm(UiFont(12, false, this));
  const int w = width(), h = height();
  // A little slack on measured widths: eliding to the exact advance can cut the last letter.
  const int rw = fm.horizontalAdvance(FParts[2].Text) + 2;
  out[2] = QRect(w - Px(this, 16) - rw, 0, rw, h);
  const int dot = FParts[1].Color.isValid() ? Px(this, 16) : 0;
  const int mw = std::max(0, std::min(dot + fm.horizontalAdvance(FParts[1].Text) + 2, w / 2 - Px(this, 32)));
  const int mr = out[2].left() - Px(this, 24);
  out[1] = QRect(mr - mw, 0, mw, h);
  const int l = Px(this, 16);
  out[0] = QRect(l, 0, std::max(0, out[1].left() - Px(this, 24) - l), h);
}

QRect TUiStatusBar::PartRect(int part) const {
  QRect r[3];
  Layout(r);
  return (part >= 0 && part < 3) ? r[part] : QRect();
}

void TUiStatusBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  Smooth(p);
  p.fillRect(rect(), Ui().StatusBar);
  p.fillRect(QRect(0, 0, width(), 1), Ui().CardOutline);
  QRect r[3];
  Layout(r);
  QFont f = UiFont(12, false, this);
  const int d = Px(this, 8);
  for (int i = 0; i < 3; ++i) {
    QRect t = r[i];
    const TPart& part = FParts[i];
    if (i < 2 && part.Color.isValid()) {
      p.setPen(Qt::NoPen);
      p.setBrush(LookInk(part.Color));
      p.drawEllipse(QRectF(t.left(), (height() - d) / 2.0, d, d));
      t.setLeft(t.left() + 2 * d);
    }
    const bool underline = i == 0 && FHoverPart == 0 && OnLeftClick;
    f.setUnderline(underline);
    p.setFont(f);
    p.setPen(i == 2 && part.Color.isValid() ? LookInk(part.Color) : underline ? Ui().Ink : Ui().Muted);
    DrawElided(p, t, part.Text, (i == 1 ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
  }
}

void TUiStatusBar::mouseMoveEvent(QMouseEvent* e) {
  QRect r[3];
  Layout(r);
  int hover = -1;
  for (int i = 0; i < 3; ++i)
    if (r[i].contains(e->position().toPoint())) hover = i;
  if (hover != FHoverPart) {
    FHoverPart = hover;
    setToolTip(hover >= 0 ? PlainToolTip(FParts[hover].Hint) : QString());
    setCursor(hover == 0 && OnLeftClick ? Qt::PointingHandCursor : Qt::ArrowCursor);
    update();
  }
}

void TUiStatusBar::leaveEvent(QEvent*) {
  FHoverPart = -1;
  update();
}

void TUiStatusBar::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && OnLeftClick && PartRect(0).contains(e->position().toPoint())) OnLeftClick();
}

}  // namespace tovik
