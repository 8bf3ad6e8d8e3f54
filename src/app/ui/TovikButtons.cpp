#include "app/ui/TovikButtons.h"

#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

#include "app/ui/TovikTheme.h"

namespace tovik {

TBarButton::TBarButton(const QString& caption, char16_t glyph, QWidget* parent)
    : QWidget(parent), FCaption(caption), FGlyph(glyph) {
  resize(Px(this, 100), Px(this, 28));
  setCursor(Qt::PointingHandCursor);
}

QString TBarButton::Shown(const QString& s) const {
  QString r = s;
  r.replace(QStringLiteral("&&"), QStringLiteral("&"));
  return r;
}

void TBarButton::SetCaption(const QString& caption) {
  if (caption == FCaption) return;
  FCaption = caption;
  update();
}

void TBarButton::SetGlyph(char16_t g) {
  FGlyph = g;
  update();
}

void TBarButton::SetGlyphColor(const QColor& c) {
  FGlyphColor = c;
  update();
}

void TBarButton::SetDanger(bool on) {
  FDanger = on;
  update();
}

void TBarButton::SetFilled(bool on) {
  FFilled = on;
  update();
}

void TBarButton::SetCompact(bool on) {
  FCompact = on;
  update();
}

bool TBarButton::GlyphShown() const { return FGlyph && !IconText(FGlyph).isEmpty(); }

bool TBarButton::CaptionShown() const { return !FCaption.isEmpty() && !(FCompact && GlyphShown()); }

// 36 px with a drawable glyph (20 without), 7 more when glyph and caption both show, plus the width
// of the caption or of the fit text when that is wider, so toggling captions keeps the width.
int TBarButton::FitWidthFor() const {
  const bool glyph = GlyphShown();
  int w = Px(this, glyph ? 36 : 20);
  if (CaptionShown()) {
    const QFontMetrics fm(UiFont(12, false, this));
    const int text = std::max(fm.horizontalAdvance(Shown(FCaption)), fm.horizontalAdvance(Shown(FFitText)));
    w += text + (glyph ? Px(this, 7) : 0);
  }
  return w;
}

QColor TBarButton::BackColor() const {
  const bool live = isEnabled();
  const bool hover = live && FHover, down = live && FDown;
  if (hover || down) {
    if (FDanger) return down ? QColor(0xB91C1C) : QColor(0xDC2626);
    if (IsDark()) return down ? QColor(0x606060) : QColor(0x4C4C4C);
    return down ? QColor(0xC4CDD8) : QColor(0xD2DAE3);
  }
  if (FDanger && FFilled) return isEnabled() ? QColor(0xDC2626) : QColor(0xE5A3A3);
  return {};
}

QColor TBarButton::InkColor() const {
  if (!isEnabled()) return IsDark() ? QColor(0x707070) : QColor(0x9CA3AF);
  if (FDanger && BackColor().isValid()) return Qt::white;
  return IsDark() ? QColor(0xF0F0F0) : QColor(0x1F2937);
}

void TBarButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QColor back = BackColor();
  if (back.isValid()) {
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(Qt::NoPen);
    p.setBrush(back);
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
  }
  const QColor ink = InkColor();
  int x = Px(this, 10);
  if (GlyphShown()) {
    const bool plainInk = FDanger && back.isValid();
    p.setPen(FGlyphColor.isValid() && !plainInk && isEnabled() ? FGlyphColor : ink);
    p.setFont(IconFont(16, this));
    p.drawText(QRect(x, 0, Px(this, 16), height()), Qt::AlignCenter, IconText(FGlyph));
    x = Px(this, 33);
  }
  if (CaptionShown()) {
    p.setPen(ink);
    const QFont f = UiFont(12, false, this);
    p.setFont(f);
    const int w = std::max(0, width() - x - Px(this, 8));
    p.drawText(QRect(x, 0, w, height()), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               QFontMetrics(f).elidedText(Shown(FCaption), Qt::ElideRight, w));
  }
}

void TBarButton::enterEvent(QEnterEvent*) {
  FHover = true;
  update();
}

void TBarButton::leaveEvent(QEvent*) {
  FHover = false;
  update();
}

void TBarButton::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !isEnabled()) return;
  FDown = true;
  update();
}

void TBarButton::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !FDown) return;
  FDown = false;
  update();
  if (rect().contains(e->position().toPoint()) && isEnabled() && OnClick) OnClick();
}

void TBarButton::changeEvent(QEvent* e) {
  if (e->type() == QEvent::EnabledChange) FDown = false;
  QWidget::changeEvent(e);
}

}  // namespace tovik
