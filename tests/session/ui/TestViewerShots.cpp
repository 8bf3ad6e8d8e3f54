// Screenshots of the consent dialog, the stop bar, the viewer window and the controls in Day and
// Night, saved as PNG files into the build folder for a person to look at, and checked where a
// regression would show: the look's colours in key places, text drawn where it belongs, and no text
// cut by its widget. Needs an X server.
#include <gtest/gtest.h>

#include <QDir>
#include <QLinearGradient>
#include <QPainter>

#include "app/ui/TovikButtons.h"
#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"
#include "tests/app/UiShotChecks.h"
#include "session/ui/TovikConsent.h"
#include "session/ui/TovikViewer.h"

namespace tovik {
namespace {

class Shots : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
    test::EnsureApp();
  }
  void SetUp() override {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs an X server";
    QDir().mkpath(Dir());
  }
  void TearDown() override { ApplyTheme(false); }
  static QString Dir() { return QStringLiteral(TOVIK_SHOT_DIR); }
  // Saves the picture of w and returns it; fails the test when a text of w does not fit.
  static QImage Save(QWidget& w, const QString& name) {
    QCoreApplication::processEvents();
    const QImage img = test::Shot(w);
    EXPECT_FALSE(img.isNull());
    EXPECT_TRUE(img.save(Dir() + "/" + name + ".png")) << name.toStdString();
    for (const std::string& cut : test::ClippedTexts(w)) ADD_FAILURE() << name.toStdString() << ": " << cut;
    return img;
  }
  // The label of w whose text contains APart.
  static QLabel* LabelWith(QWidget& w, const QString& APart) {
    for (QLabel* l : w.findChildren<QLabel*>())
      if (l->text().contains(APart)) return l;
    ADD_FAILURE() << "no label with " << APart.toStdString();
    return nullptr;
  }
};

QRgb Hex(const QColor& c) { return c.rgb() & 0xFFFFFF; }
using test::InkShare;
using test::Rgb;

// A made-up desktop of the other PC: a wallpaper, a window with text and a task bar.
QImage Desktop(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  QPainter p(&img);
  QLinearGradient g(0, 0, w, h);
  g.setColorAt(0, QColor(0x0F766E));
  g.setColorAt(1, QColor(0x1E3A8A));
  p.fillRect(img.rect(), g);
  p.fillRect(QRect(w / 8, h / 8, w / 2, h / 2), Qt::white);
  p.fillRect(QRect(w / 8, h / 8, w / 2, 32), QColor(0xE5E7EB));
  p.setPen(Qt::black);
  p.setFont(UiFont(14));
  for (int i = 0; i < 10; ++i)
    p.drawText(w / 8 + 16, h / 8 + 60 + i * 22, QStringLiteral("Line %1 of a document on the other PC").arg(i + 1));
  p.fillRect(QRect(0, h - 40, w, 40), QColor(0x111827));
  return img;
}

TEST_F(Shots, ConsentDialog) {
  QImage face(96, 96, QImage::Format_RGB32);
  face.fill(QColor(0x93C5FD));
  for (bool dark : {false, true}) {
    ApplyTheme(dark);
    TConsentForm plain("Anna Berg, Acme Support", "203.0.113.5:51820", "482 913", QImage());
    plain.show();
    const QImage img = Save(plain, dark ? "consent-night" : "consent-day");
    const QRgb back = Rgb(img, 2, 2);
    EXPECT_EQ(back, Hex(dark ? MapDarkBackground(Qt::white) : QColor(Qt::white))) << dark;
    // The request and the check number are drawn, in an ink that stands out from the page.
    for (const QString& part : {QStringLiteral("wants to see your screen"), QStringLiteral("482 913")}) {
      QLabel* l = LabelWith(plain, part);
      ASSERT_TRUE(l);
      EXPECT_GT(InkShare(img, l->geometry(), back), 0.02) << part.toStdString() << " " << dark;
    }
    TConsentForm pic("Anna Berg, Acme Support", "203.0.113.5:51820", "482 913", face);
    pic.show();
    const QImage withPic = Save(pic, dark ? "consent-picture-night" : "consent-picture-day");
    // The helper's picture sits in its place, its colour unchanged.
    QLabel* holder = nullptr;
    for (QLabel* l : pic.findChildren<QLabel*>())
      if (!l->pixmap().isNull()) holder = l;
    ASSERT_TRUE(holder);
    EXPECT_EQ(Rgb(withPic, holder->geometry().center().x(), holder->geometry().center().y()), 0x93C5FDu);
  }
}

TEST_F(Shots, StopBar) {
  for (bool dark : {false, true}) {
    ApplyTheme(dark);
    TStopBar bar("Anna Berg (helper)", caControl);
    bar.show();
    for (bool paused : {false, true}) {
      bar.SetPaused(paused);
      const QImage img = Save(bar, QStringLiteral("stopbar-%1%2").arg(paused ? "paused-" : "", dark ? "night" : "day"));
      // Red in both looks, so that nobody misses it, with its darker line at the bottom.
      EXPECT_EQ(Rgb(img, 2, 2), 0xDC2626u);
      EXPECT_EQ(Rgb(img, img.width() / 2, img.height() - 1), 0xB91C1Cu);
      QLabel* who = LabelWith(bar, "Anna Berg");
      ASSERT_TRUE(who);
      EXPECT_GT(InkShare(img, who->geometry(), 0xDC2626u), 0.02);
      for (TBarButton* b : bar.findChildren<TBarButton*>()) {
        EXPECT_TRUE(b->CaptionShown()) << b->Caption().toStdString();
        EXPECT_GT(InkShare(img, b->geometry(), 0xDC2626u), 0.05) << b->Caption().toStdString();
      }
    }
  }
}

TEST_F(Shots, ViewerWindow) {
  for (bool dark : {false, true}) {
    ApplyTheme(dark);
    TViewerForm form("Tovik - 482 913 775 - you have control");
    form.resize(1280, 760);
    form.show();
    form.SetSessionInfo("Anna's laptop", "Direct link, 18 ms");
    form.ShowPicture(Desktop(1920, 1080));
    form.FpsTick();
    const QString tag = dark ? "night" : "day";
    const QImage img = Save(form, "viewer-" + tag);
    // The tool bar in the look's colour, the picture below it in its place: the other PC's task bar
    // along the bottom of the picture, its wallpaper at the right.
    EXPECT_EQ(Rgb(img, 2, 2), dark ? 0x2B2B2Bu : 0xFFFFFFu);
    const TVRect d = form.Dest();
    ASSERT_FALSE(d.Empty());
    EXPECT_GE(d.Top, TViewerForm::BarHeight);
    EXPECT_EQ(Rgb(img, d.Left + d.Width / 2, d.Top + d.Height - 4), 0x111827u);
    const QRgb wall = Rgb(img, d.Left + d.Width * 9 / 10, d.Top + d.Height / 4);
    EXPECT_GT(qGreen(wall) + qBlue(wall), 2 * qRed(wall) + 60) << std::hex << wall;
    form.SetScreens(2, 0);
    form.SetTransfer("Quarterly report 2026.xlsx", 300, 1000, 2);
    form.SetNotice("Paused by the other person");
    const QImage busy = Save(form, "viewer-busy-" + tag);
    // The notice band lies over the top of the picture with its text in it.
    const QRect band(0, TViewerForm::BarHeight, form.width(), 44);
    EXPECT_EQ(Rgb(busy, 4, TViewerForm::BarHeight + 4), 0xF09020u);
    EXPECT_GT(InkShare(busy, band.adjusted(form.width() / 4, 8, -form.width() / 4, -8), 0xF09020u), 0.02);
    EXPECT_TRUE(form.TransferPanel()->isVisible());
    form.resize(760, 560);
    const QImage narrow = Save(form, "viewer-narrow-" + tag);
    EXPECT_EQ(narrow.width(), 760);
    EXPECT_EQ(Rgb(narrow, 2, 2), dark ? 0x2B2B2Bu : 0xFFFFFFu);
  }
}

TEST_F(Shots, Controls) {
  for (bool dark : {false, true}) {
    ApplyTheme(dark);
    QWidget page;
    page.setAutoFillBackground(true);
    QPalette pal = page.palette();
    pal.setColor(QPalette::Window, Ui().Page);
    page.setPalette(pal);
    page.resize(560, 420);
    auto* card = new TUiCard(&page);
    card->setGeometry(16, 16, 528, 388);
    int y = 28;
    const TUiButtonKind kinds[] = {ubPrimary, ubSecondary, ubDanger, ubSuccess, ubGhost};
    const char* names[] = {"Connect", "Copy", "Stop", "Online", "Help"};
    const int lefts[] = {24, 152, 248, 344, 440};
    for (int i = 0; i < 5; ++i) {
      auto* b = new TUiButton(names[i], card);
      b->SetKind(kinds[i]);
      b->SetGlyph(i == 0 ? glyph::Link : i == 1 ? glyph::Copy : 0);
      b->setGeometry(lefts[i], y, 88, 34);
      if (i == 0) b->resize(b->IdealWidth(), 34);
    }
    auto* off = new TUiButton("Disabled", card);
    off->SetKind(ubPrimary);
    off->setEnabled(false);
    off->setGeometry(24, y + 44, 120, 34);
    auto* field = new TUiField(card);
    field->setGeometry(160, y + 40, 200, 44);
    auto* t1 = new TUiToggle("Unattended access", card);
    t1->setGeometry(24, y + 96, 220, 28);
    auto* t2 = new TUiToggle("Start with the PC", card);
    t2->SetChecked(true);
    t2->setGeometry(260, y + 96, 220, 28);
    auto* seg = new TUiSegmented(card);
    for (const char* s : {"Auto", "Day", "Night"}) seg->AddItem({0, QString(), s, QString(), QColor()});
    seg->SetItemIndex(dark ? 2 : 1);
    seg->setGeometry(24, y + 136, 240, 36);
    auto* pill = new TUiPill("Ready to connect", card);
    pill->SetDotColor(QColor(0x16A34A));
    pill->setGeometry(280, y + 140, 180, 28);
    auto* tile = new TUiLogoTile(card);
    tile->SetGlyph(glyph::Monitor);
    tile->setGeometry(24, y + 188, 48, 48);
    auto* bar = new TBarButton("Disconnect", glyph::Cancel, card);
    bar->SetDanger(true);
    bar->SetFilled(true);
    bar->FitWidth();
    bar->move(90, y + 198);
    auto* status = new TUiStatusBar(card);
    status->setGeometry(8, 330, 512, 28);
    status->SetLeft("Online - ID 482 913 775", "", QColor(0x16A34A));
    status->SetMiddle("Direct link", "", QColor(0x2563EB));
    status->SetRight("0.1.0", "", QColor());
    page.show();
    auto* bubble = new TUiBubble(card);
    bubble->Popup("Copied to the clipboard", tile->geometry(), 5000);
    const QImage img = Save(page, dark ? "controls-night" : "controls-day");
    // Page and card in the look's colours; the disabled button is not the accent.
    EXPECT_EQ(Rgb(img, 4, 4), Hex(Ui().Page)) << dark;
    EXPECT_EQ(Rgb(img, 16 + 528 / 2, 16 + 12), Hex(Ui().Card)) << dark;
    EXPECT_NE(Hex(Ui().Page), Hex(Ui().Card));
    EXPECT_NE(Rgb(img, 16 + 24 + 8, 16 + y + 44 + 17), Hex(Accent()));
  }
}

}  // namespace
}  // namespace tovik
