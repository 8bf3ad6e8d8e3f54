// The chat and files window: what it sends, that text from the other PC stays plain text, and its
// look in Day and Night (saved as PNG files into the build folder, and checked: the log's colours,
// its text, and labels that fit their places).
#include <gtest/gtest.h>

#include <QDir>
#include <QFontMetrics>

#include "app/ui/TovikTheme.h"
#include "session/ui/TovikToolsForm.h"
#include "tests/app/UiTestApp.h"

namespace tovik {
namespace {

struct TEvents : IToolsEvents {
  std::vector<std::string> Texts;
  std::vector<std::vector<std::string>> Files;
  void OnSendText(const std::string& t) override { Texts.push_back(t); }
  void OnSendFiles(const std::vector<std::string>& f) override { Files.push_back(f); }
};

int Luma(QRgb c) { return (qRed(c) * 299 + qGreen(c) * 587 + qBlue(c) * 114) / 1000; }

class ToolsForm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApp(); }
  void TearDown() override { ApplyTheme(false); }
};

}  // namespace

TEST_F(ToolsForm, SendsTrimmedTextAndShowsTheOtherPcsTextPlain) {
  TEvents ev;
  auto* form = new TToolsForm(ev, "Tovik - chat and files with Ann (123 456 789)", "/tmp/tovik-none");
  form->Input()->setText("  hello  ");
  form->SendInput();
  form->Input()->setText("   ");
  form->SendInput();
  EXPECT_EQ(ev.Texts, std::vector<std::string>{"hello"});
  EXPECT_TRUE(form->Input()->text().isEmpty() || form->Input()->text() == "   ");
  form->AddLine("Other PC: <b>bold?</b> <img src=x>", false);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(form->LogBox()->toPlainText().endsWith("  Other PC: <b>bold?</b> <img src=x>"));
  form->AddLine("Received a.txt (in Downloads/Tovik)", true);
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->focusWidget(), form->Input()) << "typing in the shown window must write the next line";
  EXPECT_EQ(form->ProgressLabel()->textFormat(), Qt::PlainText);
  EXPECT_TRUE(form->ShareClipboard());
  form->ShareBox()->setChecked(false);
  EXPECT_FALSE(form->ShareClipboard());
  EXPECT_EQ(form->windowTitle(), "Tovik - chat and files with Ann (123 456 789)");
  form->FreeSafely();
  form->Input()->setText("after");
  form->SendInput();  // no events once freed
  EXPECT_EQ(ev.Texts.size(), 1u);
  QCoreApplication::processEvents();
}

TEST_F(ToolsForm, DayAndNight) {
  const QString dir = QStringLiteral(TOVIK_SHOT_DIR);
  QDir().mkpath(dir);
  int backs[2] = {};
  for (bool dark : {false, true}) {
    ApplyTheme(dark);
    TEvents ev;
    TToolsForm form(ev, "Tovik - chat and files with Ann (123 456 789)", "/tmp/tovik-none");
    for (int i = 0; i < 6; ++i) form.AddLine("Other PC: line " + std::to_string(i) + " of the chat with some words", false);
    form.SetProgress("Receiving 100%");
    form.show();
    QCoreApplication::processEvents();
    const QImage img = test::Shot(form);
    ASSERT_TRUE(img.save(dir + (dark ? "/tools-night.png" : "/tools-day.png")));
    EXPECT_EQ(img.size(), QSize(520, 380));

    // The log: a light page by Day, a dark one by Night, with text on it.
    const QRect log = form.LogBox()->viewport()->geometry().translated(form.LogBox()->pos());
    const QRgb back = test::Rgb(img, log.right() - 4, log.bottom() - 4);
    backs[dark] = Luma(back);
    if (dark)
      EXPECT_LT(Luma(back), 90);
    else
      EXPECT_GT(Luma(back), 200);
    int ink = 0;
    for (int y = log.top(); y < log.top() + 60; ++y)
      for (int x = log.left(); x < log.left() + 200; ++x) ink += std::abs(Luma(test::Rgb(img, x, y)) - Luma(back)) > 80;
    EXPECT_GT(ink, 100) << "no text drawn in the log";

    // Labels fit their places: nothing is cut off.
    auto fits = [](QWidget* w, const QString& text, int pad) {
      return QFontMetrics(w->font()).horizontalAdvance(text) + pad <= w->width();
    };
    EXPECT_TRUE(fits(form.ProgressLabel(), "Receiving 100%", 0));
    EXPECT_TRUE(fits(form.SendFilesButton(), "Send files...", 8));
    EXPECT_TRUE(fits(form.OpenFolderButton(), "Open received files", 8));
    EXPECT_TRUE(fits(form.SendButton(), "Send", 8));
    EXPECT_LE(form.ShareBox()->sizeHint().width(), form.ShareBox()->width() + 4);
    // The input row sits at the bottom, inside the window.
    const QRect send = form.SendButton()->geometry().translated(form.SendButton()->parentWidget()->pos());
    EXPECT_LE(send.right(), 520);
    EXPECT_GE(send.top(), 380 - 36);
  }
  EXPECT_GT(backs[0] - backs[1], 100);
}

}  // namespace tovik

namespace tovik {

// The clipboard adaptor: text in and out, a change reported once listened to, none after it stops.
TEST_F(ToolsForm, ClipboardTextAndChanges) {
  TQtClipboard clip;
  int changes = 0;
  clip.Listen([&changes] { ++changes; });
  clip.SetText("from the other PC \xC3\xA9");
  QCoreApplication::processEvents();
  EXPECT_EQ(clip.Text(), std::optional<std::string>("from the other PC \xC3\xA9"));
  EXPECT_GE(changes, 1);
  clip.Listen({});
  const int before = changes;
  clip.SetText("again");
  QCoreApplication::processEvents();
  EXPECT_EQ(changes, before);
}

}  // namespace tovik
