// The sync dialog over a sync engine with a scripted relay: its states in Day and Night, probed at the
// pixels and texts a regression would change, and the long-code flow with the clipboard.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>

#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"
#include "book/ui/TovikSyncDialog.h"
#include "tests/app/UiTestApp.h"
#include "tests/book/BookFakes.h"

using namespace tovik;
using namespace tovik::test;

namespace {

struct TDialogRig {
  bool App = (EnsureApp(), true);
  TFakeBookClock Clock;
  TFakeBookRelay Relay;
  TMemBookSettings Settings;
  TBookSync Book{Relay, Clock, Settings, ""};
};

void Save(const QImage& img, const QString& name) {
  QDir().mkpath(QStringLiteral(TOVIK_SHOT_DIR));
  img.save(QStringLiteral(TOVIK_SHOT_DIR "/") + name + QStringLiteral(".png"));
}

QColor LabelInk(QLabel* l) { return l->palette().color(QPalette::WindowText); }

}  // namespace

TEST(SyncDialogShots, StatesInDayAndNight) {
  for (const bool dark : {false, true}) {
    SetDark(dark);
    const QString look = dark ? "night" : "day";
    // Off.
    {
      TDialogRig rig;
      TSyncForm form(nullptr, rig.Book);
      form.show();
      const QImage img = Shot(form);
      Save(img, "sync_dialog_off_" + look);
      EXPECT_EQ(form.StatusLabel()->text(), "Sync is off.");
      EXPECT_EQ(img.pixelColor(44, 104), LookInk(QColor(0x9CA3AF)));
      EXPECT_TRUE(form.BtnOn()->isVisible());
      EXPECT_FALSE(form.BtnAdd()->isVisible());
      EXPECT_FALSE(form.BtnOff()->isVisible());
      EXPECT_TRUE(form.BtnJoin()->isVisible());
      EXPECT_LT(form.BtnOn()->geometry().right(), form.BtnJoin()->geometry().left());
      EXPECT_FALSE(form.AddPanel()->isVisible());
      EXPECT_FALSE(form.JoinPanel()->isVisible());
      EXPECT_EQ(img.pixelColor(5, 5), dark ? MapDarkBackground(QColor(0xFFFFFF)) : QColor(0xFFFFFF));
    }
    // A code offered: the dialog opens on it with the countdown.
    {
      TDialogRig rig;
      std::string code;
      ASSERT_TRUE(rig.Book.StartPairing(code));
      const std::string put = rig.Relay.SentStarting("BOOKPAIR PUT ")[0];
      rig.Book.HandleLine("BOOKPAIR OK " + put.substr(13, 32));
      rig.Clock.Advance(61'000);
      TSyncForm form(nullptr, rig.Book);
      form.show();
      const QImage img = Shot(form);
      Save(img, "sync_dialog_offered_" + look);
      EXPECT_EQ(form.Mode(), smAdd);
      EXPECT_EQ(form.CodeLabel()->text().toStdString(), code);
      EXPECT_EQ(form.CountdownLabel()->text(), "Valid for another 8:59 minutes, for one PC.");
      EXPECT_EQ(form.AddStatusLabel()->text(), "Ready. Type this code on your other PC.");
      EXPECT_EQ(LabelInk(form.AddStatusLabel()), LookInk(QColor(0x16A34A)));
      EXPECT_TRUE(form.BtnCopy()->isEnabled());
      EXPECT_TRUE(form.BtnNewCode()->isVisible());
      EXPECT_EQ(img.pixelColor(44, 104), LookInk(QColor(0x2563EB)));  // on, never synced
      // The code is drawn in the code colour inside its label (not clipped away).
      const QRect r = form.CodeLabel()->geometry().translated(form.AddPanel()->pos());
      int coded = 0;
      for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) coded += img.pixelColor(x, y) == LookInk(QColor(0x2563EB));
      EXPECT_GT(coded, 50);
    }
    // Joining failed.
    {
      TDialogRig rig;
      TSyncForm form(nullptr, rig.Book);
      form.show();
      form.JoinModeClicked();
      form.CodeEdit()->setText("abcd efgh");
      form.JoinClicked();
      ASSERT_EQ(rig.Book.PairState(), bpJoining);
      rig.Book.HandleLine("ERR BOOKPAIR_FULL");
      form.Refresh();
      const QImage img = Shot(form);
      Save(img, "sync_dialog_join_failed_" + look);
      EXPECT_TRUE(form.JoinPanel()->isVisible());
      EXPECT_FALSE(form.AddPanel()->isVisible());
      EXPECT_EQ(form.JoinStatusLabel()->text(), "The server is busy. Try again in a few minutes.");
      EXPECT_EQ(LabelInk(form.JoinStatusLabel()), LookInk(QColor(0xDC2626)));
      EXPECT_TRUE(form.BtnJoinGo()->isEnabled());
      // A mistyped code is refused in amber before anything is asked.
      form.CodeEdit()->setText("ABCD-EFG1");
      form.JoinClicked();
      EXPECT_EQ(form.JoinStatusLabel()->text(), "Type the 8 letters and digits your other PC shows, like ABCD-EFGH.");
      EXPECT_EQ(LabelInk(form.JoinStatusLabel()), LookInk(QColor(0xD97706)));
    }
  }
  SetDark(false);
}

TEST(SyncDialog, LongCodeFlowAndTheClipboard) {
  TDialogRig rig;
  TSyncForm form(nullptr, rig.Book);
  QClipboard* clip = QGuiApplication::clipboard();
  clip->setText("before");
  QString shown;
  std::optional<std::string> answer;
  form.AskLongCode = [&](const QString& code) {
    shown = code;
    return answer;
  };
  std::vector<QString> warnings, questions;
  form.Warn = [&](const QString& t) { warnings.push_back(t); };
  bool yes = false;
  form.AskYes = [&](const QString& t) {
    questions.push_back(t);
    return yes;
  };
  // Sync off: a fresh code is shown and nothing reaches the clipboard by itself; clearing turns nothing on.
  answer = "";
  form.LongCodeClicked();
  EXPECT_EQ(shown.size(), 64);
  EXPECT_EQ(clip->text(), "before");
  EXPECT_FALSE(rig.Book.IsOn());
  EXPECT_TRUE(questions.empty());
  // 63 characters: a warning, nothing changes.
  answer = std::string(63, 'a');
  form.LongCodeClicked();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "That is not a sync code (64 letters and digits).");
  EXPECT_FALSE(rig.Book.IsOn());
  // Confirming the code unchanged turns sync on with it.
  answer.reset();
  form.LongCodeClicked();
  answer = shown.toStdString();
  form.AskLongCode = [&](const QString& code) {
    shown = code;
    return std::optional<std::string>(code.toUpper().toStdString() + "  ");
  };
  form.LongCodeClicked();
  EXPECT_TRUE(rig.Book.IsOn());
  EXPECT_EQ(rig.Book.Secret(), shown.toLower().toStdString());
  EXPECT_EQ(rig.Settings.Name, BookStateName(rig.Book.Secret()));  // marked as fresh
  // Sync on, the field emptied: the turn-off question first; No keeps it on, Yes turns it off.
  form.AskLongCode = [&](const QString&) { return std::optional<std::string>(""); };
  form.LongCodeClicked();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_TRUE(questions[0].startsWith("Turn off sync on this PC?"));
  EXPECT_TRUE(rig.Book.IsOn());
  yes = true;
  form.LongCodeClicked();
  EXPECT_FALSE(rig.Book.IsOn());
  EXPECT_EQ(clip->text(), "before");
}

TEST(SyncDialog, ACopiedSecretIsMarkedAndTakenOffTheClipboardLater) {
  EnsureApp();
  QClipboard* clip = QGuiApplication::clipboard();
  const QString secret(64, 'c');
  CopySecretToClipboard(secret, 0);
  ASSERT_EQ(clip->text(), secret);
  ASSERT_NE(clip->mimeData(), nullptr);
  EXPECT_EQ(clip->mimeData()->data("x-kde-passwordManagerHint"), QByteArray("secret"));
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents();
  for (int i = 0; i < 5 && !clip->text().isEmpty(); ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_TRUE(clip->text().isEmpty());
  // Something the user copied meanwhile stays.
  CopySecretToClipboard(secret, 0);
  clip->setText("mine");
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_EQ(clip->text(), "mine");
}
