// Owner-drawn controls rendered with grab() and probed at the pixels that matter, plus their
// keyboard and mouse behaviour.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QTextDocument>

#include "app/ui/TovikButtons.h"
#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"
#include "tests/app/UiTestApp.h"

namespace tovik {
namespace {

QRgb Hex(const QColor& c) { return c.rgb() & 0xFFFFFF; }
using test::Rgb;
using test::Shot;

class UiControls : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    SetDark(false);
  }
  void TearDown() override { SetDark(false); }
};

TEST_F(UiControls, PrimaryButtonEnabledDisabledAndNight) {
  TUiButton b("Connect");
  b.SetKind(ubPrimary);
  b.resize(120, 34);
  b.OnClick = [] {};
  // Probe inside the pill, left of the caption.
  const int px = 12, py = 17;
  EXPECT_EQ(Rgb(Shot(b), px, py), Hex(Accent()));
  b.setEnabled(false);
  EXPECT_EQ(Rgb(Shot(b), px, py), 0xEEF0F3u);
  SetDark(true);
  EXPECT_EQ(Rgb(Shot(b), px, py), 0x333333u);
  SetDark(false);
  b.setEnabled(true);
  EXPECT_EQ(Rgb(Shot(b), px, py), Hex(Accent()));
}

TEST_F(UiControls, ButtonStatesNeedAClickAction) {
  TUiButton b("Go");
  b.SetKind(ubPrimary);
  b.resize(120, 34);
  QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(20, 17));
  EXPECT_FALSE(b.Down());  // no action: no pressed look
  int clicks = 0;
  b.OnClick = [&] { ++clicks; };
  QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(20, 17));
  EXPECT_EQ(Hex(b.FillColor()), Hex(Blend(Accent(), Qt::black, 24)));
  QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(20, 17));
  EXPECT_EQ(clicks, 1);
  QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(20, 17));
  QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(200, 17));  // released outside
  EXPECT_EQ(clicks, 1);

  b.SetKind(ubGhost);
  b.setEnabled(false);
  EXPECT_FALSE(b.FillColor().isValid());
  b.setEnabled(true);
  b.SetKind(ubSuccess);
  SetDark(true);
  EXPECT_EQ(Hex(b.FillColor()), 0x1F3A2Bu);
  EXPECT_EQ(Hex(b.InkColor()), 0x4ADE80u);
}

TEST_F(UiControls, ButtonIdealWidth) {
  TUiButton b("Connect");
  b.resize(120, 34);
  const int text = QFontMetrics(UiFont(13, true)).horizontalAdvance("Connect");
  EXPECT_EQ(b.IdealWidth(), text + 36);
  b.SetGlyph(glyph::Link);
  if (HasIconFont()) {
    EXPECT_EQ(b.IdealWidth(), text + 36 + 24);
    b.SetIconOnly(true);
    EXPECT_EQ(b.IdealWidth(), 34);
  }
  ForceIconFont(0);  // without icon font an icon-only button shows its caption
  EXPECT_EQ(b.IdealWidth(), text + 36);
  ForceIconFont(-1);
}

TEST_F(UiControls, ToggleKnobSideAndClicks) {
  TUiToggle t("Unattended access");
  t.resize(200, 28);
  int clicks = 0;
  t.OnClick = [&] { ++clicks; };
  const QPointF offKnob = t.KnobRect().center();
  QImage img = Shot(t);
  EXPECT_EQ(Rgb(img, int(offKnob.x()), int(offKnob.y())), 0xFFFFFFu);
  // The right end of the track shows the off track colour.
  const QRectF track = t.TrackRect();
  EXPECT_EQ(Rgb(img, int(track.right() - 8), int(track.center().y())), 0xCBD5E1u);

  t.SetChecked(true);  // a change by the program raises the click event too
  EXPECT_EQ(clicks, 1);
  const QPointF onKnob = t.KnobRect().center();
  EXPECT_GT(onKnob.x(), offKnob.x());
  img = Shot(t);
  EXPECT_EQ(Rgb(img, int(onKnob.x()), int(onKnob.y())), 0xFFFFFFu);
  EXPECT_EQ(Rgb(img, int(offKnob.x()), int(offKnob.y())), Hex(Accent()));

  QTest::keyRelease(&t, Qt::Key_Space);
  EXPECT_FALSE(t.Checked());
  QTest::mouseClick(&t, Qt::LeftButton, {}, QPoint(20, 14));
  EXPECT_TRUE(t.Checked());
  EXPECT_EQ(clicks, 3);
  t.SetChecked(true);  // no change, no event
  EXPECT_EQ(clicks, 3);

  SetDark(true);
  t.SetChecked(false);
  img = Shot(t);
  EXPECT_EQ(Rgb(img, int(offKnob.x()), int(offKnob.y())), 0xE6E6E6u);
}

TEST_F(UiControls, SegmentedSelectionKeysAndPixels) {
  TUiSegmented s;
  s.resize(240, 36);
  for (const char* text : {"Auto", "Day", "Night"}) s.AddItem({0, QString(), text, QString(), QColor()});
  int changes = 0;
  s.OnChange = [&] { ++changes; };
  s.SetItemIndex(1);
  EXPECT_EQ(changes, 0);

  auto probe = [&](int i) {
    const QRect r = s.SegmentRect(i);
    return Rgb(Shot(s), r.left() + 10, r.center().y());
  };
  EXPECT_EQ(probe(1), 0xFFFFFFu);
  EXPECT_EQ(probe(0), 0xE5E9F0u);
  EXPECT_EQ(probe(2), 0xE5E9F0u);

  QTest::keyClick(&s, Qt::Key_Right);
  EXPECT_EQ(s.ItemIndex(), 2);
  QTest::keyClick(&s, Qt::Key_Down);  // clamped at the end: no change
  EXPECT_EQ(s.ItemIndex(), 2);
  EXPECT_EQ(changes, 1);
  QTest::mouseClick(&s, Qt::LeftButton, {}, s.SegmentRect(0).center());
  EXPECT_EQ(s.ItemIndex(), 0);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(probe(0), 0xFFFFFFu);
  SetDark(true);
  EXPECT_EQ(probe(0), 0x505050u);
  EXPECT_EQ(probe(1), 0x363636u);
}

TEST_F(UiControls, CardDayNightDayRestoresColours) {
  QWidget page;
  page.resize(300, 200);
  TUiCard card(&page);
  card.resize(240, 160);
  const QPoint mid(120, 80);
  EXPECT_EQ(Rgb(Shot(card), mid.x(), mid.y()), 0xFFFFFFu);
  SetDark(true);
  card.UpdateColors();
  EXPECT_EQ(Rgb(Shot(card), mid.x(), mid.y()), 0x2B2B2Bu);
  SetDark(false);
  card.UpdateColors();
  EXPECT_EQ(Rgb(Shot(card), mid.x(), mid.y()), 0xFFFFFFu);
}

TEST_F(UiControls, FieldOutlineFollowsFocus) {
  QWidget host;
  host.resize(300, 100);
  TUiField field(&host);
  field.setGeometry(10, 10, 200, 44);
  auto* other = new TUiToggle("x", &host);
  other->move(0, 60);
  host.show();
  QApplication::setActiveWindow(&host);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&host));
  // The outline at the middle of the top edge: field outline at rest.
  EXPECT_EQ(Rgb(Shot(field), 100, 0), Hex(Ui().FieldOutline));
  auto* inner = new TUiToggle("inner", &field);
  inner->move(20, 8);
  inner->show();
  QTest::mouseClick(&field, Qt::LeftButton, {}, QPoint(5, 22));
  EXPECT_TRUE(inner->hasFocus());
  EXPECT_TRUE(field.Focused());
  EXPECT_EQ(Rgb(Shot(field), 100, 1), Hex(Accent()));
}

TEST_F(UiControls, PillDotIsMappedForNight) {
  TUiPill pill("Ready");
  pill.resize(180, 28);
  pill.SetDotColor(QColor(0x16A34A));
  EXPECT_EQ(Rgb(Shot(pill), 12, 14), 0x16A34Au);
  SetDark(true);
  EXPECT_EQ(Rgb(Shot(pill), 12, 14), 0x4ADE80u);
  EXPECT_EQ(pill.IdealWidth(), QFontMetrics(UiFont(12, true)).horizontalAdvance("Ready") + 42);
}

TEST_F(UiControls, LogoTileAccentAndLetterFallback) {
  TUiLogoTile tile;
  tile.resize(48, 48);
  SetAccent(QColor(0x7C3AED), QColor());
  SetDark(true);  // a custom accent keeps its own colour at night
  EXPECT_EQ(Rgb(Shot(tile), 6, 24), 0x7C3AEDu);
  SetAccent(QColor(0x2563EB), QColor(0x1D4ED8));
}

TEST_F(UiControls, BubbleStaysInsideItsParentAndPointsAtTarget) {
  QWidget parent;
  parent.resize(400, 300);
  TUiBubble bubble(&parent);
  bubble.Popup("Copied to the clipboard", QRect(380, 10, 16, 16), 100);
  EXPECT_TRUE(bubble.isVisible() || !parent.isVisible());
  EXPECT_EQ(bubble.geometry().right(), 400 - 6 - 1);
  EXPECT_EQ(bubble.y(), 26 + 3);
  EXPECT_LE(bubble.ArrowX(), bubble.width() - 12);
  bubble.Popup("Hi", QRect(100, 10, 20, 16), 100);
  EXPECT_EQ(bubble.x() + bubble.ArrowX(), 110 - (QRect(100, 10, 20, 16).center().x() == 110 ? 0 : 1));
  bubble.Dismiss();
  EXPECT_TRUE(bubble.isHidden());
}

TEST_F(UiControls, StatusBarLayoutAndClick) {
  TUiStatusBar bar;
  bar.resize(600, 28);
  bar.SetLeft("Online", "Connected to the server", QColor(0x16A34A));
  bar.SetMiddle("Direct link", "", QColor(0x2563EB));
  bar.SetRight("v0.1", "Version", QColor());
  const QRect right = bar.PartRect(2), mid = bar.PartRect(1), left = bar.PartRect(0);
  EXPECT_EQ(right.right() + 1, 600 - 16);
  EXPECT_EQ(mid.right() + 1, right.left() - 24);
  EXPECT_EQ(left.left(), 16);
  EXPECT_EQ(left.right() + 1, mid.left() - 24);
  // A very long middle text is held to half the width minus 32.
  bar.SetMiddle(QString(200, 'x'), "", QColor());
  EXPECT_EQ(bar.PartRect(1).width(), 600 / 2 - 32);
  int clicks = 0;
  bar.OnLeftClick = [&] { ++clicks; };
  QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(20, 14));
  QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(590, 14));
  EXPECT_EQ(clicks, 1);
  const QImage img = Shot(bar);
  EXPECT_EQ(Rgb(img, 300, 0), 0xE3E8EFu);
  EXPECT_EQ(Rgb(img, 5, 14), 0xF9FAFCu);
}

// What Qt shows for a tool tip: rich text when it looks like markup, else the text itself.
QString ShownTip(const QString& tip) {
  QTextDocument doc;
  if (Qt::mightBeRichText(tip))
    doc.setHtml(tip);
  else
    doc.setPlainText(tip);
  return doc.toPlainText();
}

// Tool tips that may carry text from the other PC show it as it is, markup and all.
TEST_F(UiControls, ToolTipsAreShownAsPlainText) {
  const QString texts[] = {
      "Ann wants to help this PC.",
      "<b>Ann</b> wants to help this PC.",
      "<img src=x> <a href='http://example.com'>click</a>",
      "Ann & Bob <3 wants to help",
      "<!-- hidden -->visible",
  };
  TUiStatusBar bar;
  bar.resize(600, 28);
  bar.show();
  for (const QString& t : texts) {
    EXPECT_EQ(ShownTip(PlainToolTip(t)), t) << t.toStdString();
    bar.SetMiddle("Connected", t, QColor());
    QTest::mouseMove(&bar, QPoint(20, 14));  // the left part: its own tip
    QTest::mouseMove(&bar, bar.PartRect(1).center());
    EXPECT_EQ(ShownTip(bar.toolTip()), t) << t.toStdString();
  }
  EXPECT_EQ(PlainToolTip("Copy the ID"), "Copy the ID");  // plain texts stay as they are
}

TEST_F(UiControls, BarButtonFitWidthAndColours) {
  TBarButton b("Record", glyph::Record);
  b.resize(100, 28);
  b.SetFitText("Record");
  const QFontMetrics fm(UiFont(12));
  const bool icons = HasIconFont();
  const int full = (icons ? 36 + 7 : 20) + fm.horizontalAdvance("Record");
  EXPECT_EQ(b.FitWidthFor(), full);
  b.SetCaption("Stop");  // shorter caption: width held by the fit text
  EXPECT_EQ(b.FitWidthFor(), full);
  b.SetCompact(true);
  EXPECT_EQ(b.FitWidthFor(), icons ? 36 : full);

  TBarButton chat("Chat && files", glyph::Chat);
  chat.SetFitText("Chat && files");
  EXPECT_EQ(chat.FitWidthFor(), (icons ? 43 : 20) + fm.horizontalAdvance("Chat & files"));

  TBarButton close("Disconnect", glyph::Cancel);
  close.resize(120, 28);
  close.SetDanger(true);
  close.SetFilled(true);
  EXPECT_EQ(Rgb(Shot(close), 60, 3), 0xDC2626u);
  EXPECT_EQ(Hex(close.InkColor()), 0xFFFFFFu);
  TBarButton plain("View: fit", glyph::Zoom);
  plain.resize(120, 28);
  EXPECT_FALSE(plain.BackColor().isValid());
  SetDark(true);
  EXPECT_EQ(Hex(plain.InkColor()), 0xF0F0F0u);
  plain.setEnabled(false);
  EXPECT_EQ(Hex(plain.InkColor()), 0x707070u);
}

}  // namespace
}  // namespace tovik
