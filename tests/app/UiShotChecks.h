// Checks for pictures of windows: texts that do not fit their widgets, and how much is drawn in a
// region. Links the owner-drawn controls (tovik_app_ui).
#pragma once

#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QTextDocument>
#include <QWidget>

#include <string>
#include <vector>

#include "app/ui/TovikButtons.h"
#include "app/ui/TovikUi.h"
#include "tests/app/UiTestApp.h"

namespace tovik::test {

// The texts under ARoot that do not fit the widget showing them: visible labels (plain ones line by
// line, word-wrapped and rich ones at their width) and the owner-drawn buttons and pills. A layout or
// font change that cuts a text shows here, whatever a person would notice in a picture.
inline std::vector<std::string> ClippedTexts(QWidget& ARoot) {
  std::vector<std::string> out;
  const auto shown = [&ARoot](QWidget* w) { return w->isVisibleTo(&ARoot) && w->width() > 0; };
  const auto note = [&out](QWidget* w, const QString& text, int need, int have) {
    out.push_back(text.toStdString() + " (" + w->metaObject()->className() + ": needs " + std::to_string(need) +
                  ", has " + std::to_string(have) + ")");
  };
  for (QLabel* l : ARoot.findChildren<QLabel*>()) {
    if (!shown(l) || l->text().isEmpty()) continue;
    if (l->wordWrap() || Qt::mightBeRichText(l->text())) {
      const int need = l->heightForWidth(l->width());
      if (need > l->height()) note(l, l->text(), need, l->height());
      continue;
    }
    const QFontMetrics fm(l->font());
    const int have = l->contentsRect().width();
    for (const QString& line : l->text().split(QLatin1Char('\n'))) {
      const int need = fm.horizontalAdvance(line);
      if (need > have) note(l, line, need, have);
    }
  }
  for (TUiButton* b : ARoot.findChildren<TUiButton*>())
    if (shown(b) && !b->Caption().isEmpty() && b->NeededWidth() > b->width())
      note(b, b->Caption(), b->NeededWidth(), b->width());
  for (TBarButton* b : ARoot.findChildren<TBarButton*>())
    if (shown(b) && b->CaptionShown() && b->FitWidthFor() > b->width())
      note(b, b->Caption(), b->FitWidthFor(), b->width());
  for (TUiPill* p : ARoot.findChildren<TUiPill*>())
    if (shown(p) && p->IdealWidth() > p->width()) note(p, QStringLiteral("pill"), p->IdealWidth(), p->width());
  return out;
}

// Share (0..1) of the pixels of ARect in AImg that differ from ABack: how much text or drawing is there.
inline double InkShare(const QImage& AImg, const QRect& ARect, QRgb ABack) {
  int ink = 0, all = 0;
  const QRect r = ARect.intersected(AImg.rect());
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x, ++all) ink += Rgb(AImg, x, y) != (ABack & 0xFFFFFF) ? 1 : 0;
  return all == 0 ? 0.0 : static_cast<double>(ink) / all;
}

}  // namespace tovik::test
