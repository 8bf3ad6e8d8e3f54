// The session report form and the feedback form: checks, what they hand on, the counters in wire
// bytes, and pictures in Day and Night.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest/QTest>

#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"
#include "base/TovikBytes.h"
#include "records/ui/TovikRecordForms.h"
#include "tests/app/UiTestApp.h"

namespace tovik {
namespace {

int Luma(QRgb c) { return (qRed(c) * 299 + qGreen(c) * 587 + qBlue(c) * 114) / 1000; }

QString Repeat(const QString& s, int n) {
  QString out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

class RecordForms : public ::testing::Test {
 protected:
  RecordForms() { test::EnsureApp(); }
  TReportAsk Ask{"42", 1700000000, 1700003900, 3900, "123456789", "KEY"};
};

TEST_F(RecordForms, ReportFormChecksAndHandsOnThePayload) {
  TReportForm f(Ask, "Helper Hal", "", nullptr);
  f.show();
  EXPECT_EQ(f.windowTitle(), "Tovik - Session report");
  EXPECT_TRUE(f.When()->text().endsWith("(1 h 05 min)")) << f.When()->text().toStdString();
  EXPECT_EQ(f.Minutes()->text(), "75");
  EXPECT_EQ(f.Helper()->text(), "Helper Hal");
  EXPECT_TRUE(f.PcName()->hasFocus() || QApplication::focusWidget() == nullptr || f.focusWidget() == f.PcName());
  f.Billable()->setChecked(false);
  EXPECT_FALSE(f.Minutes()->isEnabled());

  std::string saved;
  f.OnSave = [&](const std::string& payload, const TReportAsk& a) {
    saved = payload;
    EXPECT_EQ(a.RelayKey, "KEY");
  };
  f.Save();
  EXPECT_EQ(f.Status()->text(), "Fill in at least the customer or what was done (or click Skip).");
  EXPECT_TRUE(saved.empty());
  f.Customer()->setText("ACME");
  f.Save();
  const auto plain = Base64Decode(saved);
  ASSERT_TRUE(plain);
  const std::string text(plain->begin(), plain->end());
  EXPECT_NE(text.find("\n123456789\n\nHelper Hal\nACME\n\n0\n75\n"), std::string::npos) << text;
}

// What the counter lets in can always be sent: the description is limited by the bytes the parts
// carry, and cut at a whole character (here 3000 two-byte and four-byte characters, fewer than a
// count of 4000 characters would allow).
TEST_F(RecordForms, CountersAreInWireBytesAndCutOnWholeCharacters) {
  TReportForm r(Ask, "H", "PC", nullptr);
  r.Customer()->setText("ACME");
  r.Text()->setPlainText(Repeat(QString::fromUtf8("\xC3\xA9"), 3000));
  const QString kept = r.Text()->toPlainText();
  EXPECT_LT(kept.size(), 3000);
  EXPECT_EQ(kept, Repeat(QString::fromUtf8("\xC3\xA9"), static_cast<int>(kept.size())));
  std::string saved;
  r.OnSave = [&](const std::string& payload, const TReportAsk&) { saved = payload; };
  r.Save();
  EXPECT_FALSE(saved.empty()) << r.Status()->text().toStdString();

  TFeedbackForm f("the people who run this Tovik server", "1234", nullptr);
  f.Message()->setPlainText(Repeat(QString::fromUtf8("\xF0\x9F\x98\x80"), 3000));  // surrogate pairs in Qt
  const std::string msg = f.Message()->toPlainText().toUtf8().toStdString();
  EXPECT_TRUE(IsValidUtf8(msg));
  EXPECT_EQ(msg.size() % 4, 0u);
  std::string sent;
  f.OnSend = [&](const std::string& plain, std::string&) {
    sent = plain;
    return true;
  };
  f.Send();
  EXPECT_FALSE(sent.empty());
  EXPECT_LE(sent.size(), kReportMaxTextBytes);
}

TEST_F(RecordForms, FeedbackFormChecksSendsAndShowsTheOutcome) {
  TFeedbackForm f("the people who make Tovik", "1234", nullptr);
  f.show();
  EXPECT_EQ(f.windowTitle(), "Tovik - Request a feature");
  std::string sent;
  bool accept = true;
  f.OnSend = [&](const std::string& plain, std::string& error) {
    sent = plain;
    if (!accept) error = "Tovik is not connected to the server right now. Try again in a moment.";
    return accept;
  };
  f.Message()->setPlainText("ok");
  f.Send();
  EXPECT_EQ(f.Status()->text(), "Please write a few words first.");
  f.Message()->setPlainText("yes");
  f.Email()->setText("not an address");
  f.Send();
  EXPECT_EQ(f.Status()->text(), "That e-mail address does not look right. Leave it empty to stay anonymous.");
  EXPECT_TRUE(sent.empty());
  f.Email()->setText("ann@example.com");
  f.KindSwitch()->SetItemIndex(1);
  accept = false;
  f.Send();
  EXPECT_EQ(f.Status()->text(), "Tovik is not connected to the server right now. Try again in a moment.");
  accept = true;
  f.Send();
  EXPECT_EQ(sent, "problem\nann@example.com\n1234\nyes");
  EXPECT_EQ(f.Status()->text(), "Sending...");
  EXPECT_FALSE(f.SendButton()->isEnabled());
  f.NotDelivered("The server could not deliver the message (FEEDBACK_X).");
  EXPECT_TRUE(f.SendButton()->isEnabled());
  f.Send();
  f.Delivered();
  EXPECT_FALSE(f.Body()->isVisible());
  EXPECT_TRUE(f.DonePanel()->isVisible());
  EXPECT_EQ(f.CloseButton()->text(), "Close");
  EXPECT_FALSE(f.SendButton()->isVisible());
}

// Day and Night: the page follows the look, texts are not clipped, and the thank-you panel shows its
// green heading.
TEST_F(RecordForms, ScreenshotsInDayAndNight) {
  const QString dir = QStringLiteral(TOVIK_SHOT_DIR);
  QDir().mkpath(dir);
  for (bool dark : {false, true}) {
    ApplyTheme(dark);
    TReportForm r2(Ask, "Helper Hal", "ANN-PC", nullptr);
    r2.show();
    r2.Save();  // empty: the amber status line
    QTest::qWait(20);
    const QImage ri = test::Shot(r2);
    ASSERT_TRUE(ri.save(dir + (dark ? "/report-night.png" : "/report-day.png")));
    const int page = Luma(test::Rgb(ri, 5, 5));
    EXPECT_TRUE(dark ? page < 100 : page > 180) << page;
    QLabel* status = r2.Status();
    EXPECT_LE(status->heightForWidth(status->width()), status->height()) << "status fits";
    EXPECT_LE(r2.When()->sizeHint().width(), r2.When()->width());

    TFeedbackForm f("the people who run this Tovik server", "1234", nullptr);
    f.show();
    QTest::qWait(20);
    const QImage fi = test::Shot(f);
    ASSERT_TRUE(fi.save(dir + (dark ? "/feedback-night.png" : "/feedback-day.png")));
    EXPECT_TRUE(dark ? Luma(test::Rgb(fi, 5, 5)) < 100 : Luma(test::Rgb(fi, 5, 5)) > 180);
    EXPECT_LE(f.KindSwitch()->SegmentRect(3).right(), f.KindSwitch()->width());
    f.Delivered();
    QTest::qWait(20);
    const QImage di = test::Shot(f);
    ASSERT_TRUE(di.save(dir + (dark ? "/feedback-done-night.png" : "/feedback-done-day.png")));
    auto* thanks = f.DonePanel()->findChild<QLabel*>("Thanks");
    ASSERT_TRUE(thanks);
    const QRect tr(thanks->mapTo(&f, QPoint()), thanks->size());
    int green = 0;
    for (int y = tr.top(); y < tr.bottom(); ++y)
      for (int x = tr.left(); x < tr.right(); ++x) {
        const QRgb c = di.pixel(x, y);
        if (qGreen(c) > qRed(c) + 40 && qGreen(c) > qBlue(c) + 20) ++green;
      }
    EXPECT_GT(green, 50) << "the green heading is drawn";
  }
  ApplyTheme(false);
}

}  // namespace
}  // namespace tovik
