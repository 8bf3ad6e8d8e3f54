// The tool-bar button of the viewer window: glyph and caption on a pill that lights up on hover,
// optionally a filled red "danger" button. GUI thread only.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <functional>

namespace tovik {

class TBarButton : public QWidget {
  Q_OBJECT
 public:
  explicit TBarButton(const QString& caption = QString(), char16_t glyph = 0, QWidget* parent = nullptr);

  // "&&" in a caption shows as one "&".
  void SetCaption(const QString& caption);
  QString Caption() const { return FCaption; }
  void SetGlyph(char16_t glyph);
  char16_t Glyph() const { return FGlyph; }
  void SetGlyphColor(const QColor& c);  // invalid for the ink colour
  void SetDanger(bool on);
  void SetFilled(bool on);
  void SetCompact(bool on);
  bool Compact() const { return FCompact; }
  // The widest caption the button may show; FitWidth reserves room for it.
  void SetFitText(const QString& text) { FFitText = text; }
  // Width for the current caption, glyph and compactness (see the .cpp for the rule).
  int FitWidthFor() const;
  void FitWidth() { resize(FitWidthFor(), height()); }
  // Whether the glyph and the caption are drawn in the current state.
  bool GlyphShown() const;
  bool CaptionShown() const;
  QColor BackColor() const;  // invalid for no background
  QColor InkColor() const;
  std::function<void()> OnClick;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void changeEvent(QEvent*) override;

 private:
  QString Shown(const QString& s) const;
  QString FCaption;
  char16_t FGlyph = 0;
  QColor FGlyphColor;
  bool FDanger = false;
  bool FFilled = false;
  bool FHover = false;
  bool FDown = false;
  bool FCompact = false;
  QString FFitText;
};

}  // namespace tovik
