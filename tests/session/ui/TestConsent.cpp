// The consent dialog (countdown, answers, layout rules) and the stop bar.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QTemporaryFile>
#include <QTest>

#include "tests/app/UiTestApp.h"
#include "base/TovikClock.h"
#include "base/TovikOwnWindows.h"
#include "session/ui/TovikConsent.h"

namespace tovik {
namespace {

class Consent : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureApp(); }
  TManualClock FClock;
};

TEST_F(Consent, CountsDownThirtySecondsThenDenies) {
  TConsentForm form("Ann, Acme", "203.0.113.5:4000", "123 456", QImage());
  form.show();
  EXPECT_EQ(form.CountdownLine(), ConsentCountdownText(30));
  EXPECT_EQ(form.CountdownLine(),
            "No answer in 30 seconds counts as Deny. Enter and Escape also mean Deny.");
  for (int left = 29; left >= 1; --left) {
    FClock.Advance(999);
    form.CountdownTick();  // not a full second yet: the line does not move
    EXPECT_EQ(form.CountdownLine(), ConsentCountdownText(left + 1));
    FClock.Advance(1);
    form.CountdownTick();
    ASSERT_EQ(form.CountdownLine(), ConsentCountdownText(left));
    ASSERT_TRUE(form.isVisible());
  }
  FClock.Advance(1000);
  form.CountdownTick();
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(form.TimerActive());
  EXPECT_EQ(form.Answer(), caDeny);
  EXPECT_EQ(form.result(), QDialog::Rejected);
}

TEST_F(Consent, LateTimerTicksDoNotStretchTheCountdown) {
  TConsentForm form("", "", "000 000", QImage());
  form.show();
  FClock.Advance(45'000);  // the program was busy: one late tick ends it
  form.CountdownTick();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.Answer(), caDeny);
}

TEST_F(Consent, EachButtonGivesItsAnswer) {
  for (TConsentAnswer answer : {caDeny, caViewOnly, caControl}) {
    TConsentForm form("Ann", "1.2.3.4", "111 222", QImage());
    form.show();
    QTest::mouseClick(form.AnswerButton(answer), Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.Answer(), answer);
    EXPECT_FALSE(form.TimerActive());
    // A later clock tick changes nothing.
    FClock.Advance(60'000);
    form.CountdownTick();
    EXPECT_EQ(form.Answer(), answer);
  }
}

TEST_F(Consent, EnterAndEscapeMeanDeny) {
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
    TConsentForm form("Ann", "1.2.3.4", "111 222", QImage());
    form.show();
    // Hovering "Allow control" does not make Enter mean it.
    QTest::mouseMove(form.AnswerButton(caControl));
    QTest::keyClick(form.AnswerButton(caControl), key);
    EXPECT_FALSE(form.isVisible()) << key;
    EXPECT_EQ(form.Answer(), caDeny) << key;
  }
}

// A link through the relay has no address of the helper: the dialog says so instead of ":0".
TEST_F(Consent, SaysWhereTheHelperConnectsFrom) {
  struct Case { const char* Address; const char* Line; };
  const Case cases[] = {
      {"203.0.113.5:4000", "Connecting from 203.0.113.5:4000"},
      {"", "Connecting through the server"},
      {":0", "Connecting through the server"},
      {" ", "Connecting through the server"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(ConsentSourceText(k.Address), k.Line) << k.Address;
    TConsentForm form("Ann", k.Address, "123 456", QImage());
    int found = 0;
    for (QLabel* l : form.findChildren<QLabel*>()) found += l->text() == k.Line;
    EXPECT_EQ(found, 1) << k.Address;
  }
}

TEST_F(Consent, TextsPictureAndBrand) {
  {
    TConsentForm form("", "", "000 000", QImage());
    EXPECT_EQ(form.HeadLine(), "A helper wants to see your screen");
    EXPECT_EQ(form.TextColumnWidth(), 472);
    EXPECT_FALSE(form.HasPicture());
    EXPECT_EQ(form.windowTitle(), "Tovik - someone wants to help you");
    EXPECT_EQ(form.height(), 300);
  }
  {
    QImage pic(100, 50, QImage::Format_RGB32);
    pic.fill(Qt::red);
    TConsentForm form("Ann, Acme", "", "000 000", pic);
    EXPECT_EQ(form.HeadLine(), "Ann, Acme (helper) wants to see your screen");
    EXPECT_EQ(form.TextColumnWidth(), 388);
    EXPECT_TRUE(form.HasPicture());
  }
  {
    // A name from the network that is far too long, with markup in it: clipped, shown as text.
    TConsentForm form(QString(5000, 'x') + "<b>bold</b>", "", "000 000", QImage());
    EXPECT_LT(form.HeadLine().size(), 130);
    EXPECT_LT(form.height(), 420);
    for (QLabel* l : form.findChildren<QLabel*>()) EXPECT_EQ(l->textFormat(), Qt::PlainText);
  }
  {
    QTemporaryFile junk;
    ASSERT_TRUE(junk.open());
    junk.write("not a picture");
    junk.flush();
    SetConsentBrand("Acme Support", junk.fileName());
    TConsentForm form("", "", "000 000", QImage());
    SetConsentBrand("", "");
    EXPECT_EQ(form.windowTitle(), "Acme Support - someone wants to help you");
    EXPECT_EQ(form.height(), 352);
    QLabel* brand = nullptr;
    for (QLabel* l : form.findChildren<QLabel*>())
      if (l->text() == "Remote support by Acme Support") brand = l;
    ASSERT_NE(brand, nullptr);
    EXPECT_EQ(brand->x(), 24);  // the logo did not load: the label stays at the margin
  }
}

TEST_F(Consent, AskConsentCallsBackOnceUnlessAbandoned) {
  int calls = 0;
  TConsentAnswer got = caDeny;
  QPointer<TConsentForm> form =
      AskConsent("Ann", "", "1", QImage(), [&](TConsentAnswer a) { ++calls, got = a; });
  ASSERT_TRUE(form);
  form->Choose(caViewOnly);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, caViewOnly);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(form.isNull());

  QPointer<TConsentForm> second = AskConsent("Ann", "", "1", QImage(), [&](TConsentAnswer) { ++calls; });
  AbandonConsent(second);
  EXPECT_EQ(calls, 1);
}

TEST_F(Consent, StopBarStopsPausesAndStays) {
  TStopBar bar("Ann (helper)", caControl);
  EXPECT_EQ(bar.Text(), "Ann (helper) is connected and can see and control this PC");
  EXPECT_EQ(bar.size(), QSize(560, 44));
  int stops = 0;
  std::vector<bool> pauses;
  bar.OnStop = [&] { ++stops; };
  bar.OnPause = [&](bool p) { pauses.push_back(p); };
  bar.show();
  EXPECT_FALSE(OwnWindowRects().empty());  // the capturer blanks the bar

  QTest::mouseClick(bar.PauseButton(), Qt::LeftButton);
  EXPECT_TRUE(bar.Paused());
  EXPECT_EQ(pauses, std::vector<bool>{true});
  EXPECT_TRUE(bar.Text().startsWith("Paused"));
  QTest::mouseClick(bar.PauseButton(), Qt::LeftButton);
  EXPECT_EQ(pauses, (std::vector<bool>{true, false}));

  bar.close();  // the user cannot close it away
  EXPECT_TRUE(bar.isVisible());
  QTest::mouseClick(bar.StopButton(), Qt::LeftButton);
  QCoreApplication::processEvents();
  EXPECT_EQ(stops, 1);

  bar.SetMode(caViewOnly);
  EXPECT_EQ(bar.Text(), "Ann (helper) is connected and can see this PC (view only)");
  bar.hide();
  EXPECT_TRUE(OwnWindowRects().empty());
}

TEST_F(Consent, StopHandlerMayDeleteTheBar) {
  auto* bar = new TStopBar("", caViewOnly);
  QPointer<TStopBar> alive(bar);
  bar->OnStop = [&] { delete bar; };
  bar->show();
  QTest::mouseClick(bar->StopButton(), Qt::LeftButton);
  QCoreApplication::processEvents();
  EXPECT_TRUE(alive.isNull());
}

}  // namespace
}  // namespace tovik
