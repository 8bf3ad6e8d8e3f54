// Owner-drawn controls of the program's windows. Each paints itself with QPainter from the palette of
// the look in effect (TovikTheme.h); sizes are logical pixels at 96 dpi scaled to the control's DPI.
// GUI thread only. Event callbacks (std::function) are owned by the control and may be replaced or
// cleared at any time; a callback may delete the control only through deleteLater.
#pragma once

#include <QColor>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

namespace tovik {

// A tool tip that shows exactly the text it is given. Qt takes a tool tip for rich text when it looks
// like markup ("<b>..."), so a text that might come from the other PC is converted to escaped HTML
// then; other texts stay as they are. Every tool tip that can carry such text is set through it.
QString PlainToolTip(const QString& AText);

// A rounded card with a soft shadow, on its parent's colour.
class TUiCard : public QWidget {
  Q_OBJECT
 public:
  explicit TUiCard(QWidget* parent = nullptr);
  static constexpr int Inset = 8;
  void UpdateColors();
  QColor Color() const { return FColor; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor FColor;
};

enum TUiButtonKind { ubPrimary, ubSecondary, ubDanger, ubSuccess, ubGhost };

// A pill button with an optional glyph. Not focusable (a graphic control).
class TUiButton : public QWidget {
  Q_OBJECT
 public:
  explicit TUiButton(const QString& caption = QString(), QWidget* parent = nullptr);
  void SetKind(TUiButtonKind kind);
  TUiButtonKind Kind() const { return FKind; }
  void SetCaption(const QString& caption);
  QString Caption() const { return FCaption; }
  void SetGlyph(char16_t glyph);
  void SetIconOnly(bool on);
  // The width the button asks for (with room around the caption).
  int IdealWidth() const;
  // The least width at which the glyph and the caption show whole; narrower, the caption is elided.
  int NeededWidth() const;
  // The fill and ink the button paints with in its current state.
  QColor FillColor() const;
  QColor InkColor() const;
  bool Hover() const { return FHover; }
  bool Down() const { return FDown; }
  std::function<void()> OnClick;
  QSize sizeHint() const override;

 private:
  // Where paintEvent puts the glyph and the caption.
  struct TContentLayout {
    QString Icon;
    bool GlyphOnly = false;
    int GlyphWidth = 0, Gap = 0, TextWidth = 0, Margin = 0;
  };
  TContentLayout ContentLayout() const;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void changeEvent(QEvent*) override;

 private:
  bool Live() const { return isEnabled() && OnClick != nullptr; }
  TUiButtonKind FKind = ubSecondary;
  QString FCaption;
  char16_t FGlyph = 0;
  bool FIconOnly = false;
  bool FHover = false;
  bool FDown = false;
};

// A rounded container for an edit box: accent outline while it or a child has the focus.
class TUiField : public QWidget {
  Q_OBJECT
 public:
  explicit TUiField(QWidget* parent = nullptr);
  void UpdateColors();
  bool Focused() const;
  QSize sizeHint() const override { return {200, 44}; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;

 private:
  QColor FColor;
};

// An on/off switch with a caption.
class TUiToggle : public QWidget {
  Q_OBJECT
 public:
  explicit TUiToggle(const QString& caption = QString(), QWidget* parent = nullptr);
  bool Checked() const { return FChecked; }
  // Any change, also by the program, raises OnClick.
  void SetChecked(bool on);
  void SetCaption(const QString& caption);
  std::function<void()> OnClick;
  // Track rectangle and knob rectangle in widget coordinates.
  QRectF TrackRect() const;
  QRectF KnobRect() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void keyReleaseEvent(QKeyEvent*) override;
  void focusInEvent(QFocusEvent*) override { update(); }
  void focusOutEvent(QFocusEvent*) override { update(); }

 private:
  QString FCaption;
  bool FChecked = false;
  bool FHover = false;
  bool FDown = false;
};

struct TUiSegment {
  char16_t Glyph = 0;
  QString Fallback;
  QString Text;
  QString Hint;
  QColor Lit;  // invalid for none
};

// A row of equally wide segments, one selected.
class TUiSegmented : public QWidget {
  Q_OBJECT
 public:
  explicit TUiSegmented(QWidget* parent = nullptr);
  void AddItem(const TUiSegment& item);
  int Count() const { return static_cast<int>(FItems.size()); }
  int ItemIndex() const { return FItemIndex; }
  // Setting the index from the program raises nothing.
  void SetItemIndex(int index);
  QRect SegmentRect(int i) const;
  // Raised when the user changes the selection.
  std::function<void()> OnChange;
  QSize sizeHint() const override { return {200, 36}; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void leaveEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void keyPressEvent(QKeyEvent*) override;
  void focusInEvent(QFocusEvent*) override { update(); }
  void focusOutEvent(QFocusEvent*) override { update(); }

 private:
  void Pick(int index);
  int IndexAt(const QPoint& p) const;
  std::vector<TUiSegment> FItems;
  int FItemIndex = -1;
  int FHoverIndex = -1;
};

// A status pill: a coloured dot with a halo and a caption.
class TUiPill : public QWidget {
  Q_OBJECT
 public:
  explicit TUiPill(const QString& caption = QString(), QWidget* parent = nullptr);
  void SetCaption(const QString& caption);
  void SetDotColor(const QColor& c);
  QColor DotColor() const { return FDotColor; }
  int IdealWidth() const;
  QSize sizeHint() const override { return {180, 28}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QString FCaption;
  QColor FDotColor{0x9C, 0xA3, 0xAF};
};

// The program's logo: a rounded accent square with a glyph or a letter.
class TUiLogoTile : public QWidget {
  Q_OBJECT
 public:
  explicit TUiLogoTile(QWidget* parent = nullptr);
  void SetGlyph(char16_t glyph);
  void SetLetter(const QString& letter);
  QSize sizeHint() const override { return {48, 48}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  char16_t FGlyph = 0;
  QString FLetter = QStringLiteral("T");
};

// A short message bubble pointing up at a target; hides itself after a time.
class TUiBubble : public QWidget {
  Q_OBJECT
 public:
  explicit TUiBubble(QWidget* parent);
  // target is in the parent's coordinates.
  void Popup(const QString& text, const QRect& target, int ms);
  void Dismiss();
  int ArrowX() const { return FArrowX; }
  QString Text() const { return FText; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override { Dismiss(); }

 private:
  QTimer FTimer;
  QString FText;
  int FArrowX = 0;
};

// The status bar at the bottom of the main window: left, middle and right parts.
class TUiStatusBar : public QWidget {
  Q_OBJECT
 public:
  explicit TUiStatusBar(QWidget* parent = nullptr);
  void SetLeft(const QString& text, const QString& hint, const QColor& dot);
  void SetMiddle(const QString& text, const QString& hint, const QColor& dot);
  void SetRight(const QString& text, const QString& hint, const QColor& ink);
  QString LeftText() const { return FParts[0].Text; }
  // Part rectangles as laid out for the current width: 0 left, 1 middle, 2 right.
  QRect PartRect(int part) const;
  std::function<void()> OnLeftClick;
  QSize sizeHint() const override { return {600, 28}; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void leaveEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent*) override;

 private:
  struct TPart {
    QString Text, Hint;
    QColor Color;
  };
  bool SetPart(int i, const QString& text, const QString& hint, const QColor& c);
  void Layout(QRect out[3]) const;
  TPart FParts[3];
  int FHoverPart = -1;
};

}  // namespace tovik
