// The session history window: its list, the export and the clearing through replaceable prompts, and
// pictures of it in Day and Night.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QtTest/QTest>

#include "app/ui/TovikTheme.h"
#include "records/ui/TovikHistoryForm.h"
#include "tests/app/UiTestApp.h"
#include "tests/base/TestTempDir.h"

namespace tovik {
namespace {

struct TScriptedPrompts : IHistoryPrompts {
  QString Path;
  bool Answer = true;
  QStringList Asked, Errors, Opened;
  QString AskSavePath(QWidget*, const QString& proposed) override {
    Asked << proposed;
    return Path;
  }
  bool AskYesNo(QWidget*, const QString& text, bool) override {
    Asked << text;
    return Answer;
  }
  void ShowError(QWidget*, const QString& text) override { Errors << text; }
  void OpenFile(const QString& path) override { Opened << path; }
};

class HistoryForm : public ::testing::Test {
 protected:
  HistoryForm() {
    test::EnsureApp();
    test::WriteFile(Dir / "Sessions.csv",
                    "Start;End;Minutes;Role;Partner ID;Partner;Remote PC;Files sent;Files received;Chat messages\r\n"
                    "2026-01-01 10:00;2026-01-01 10:20;20;Helper;123456789;<b>Ann</b>;ANN-PC|ann|Linux;1;0;4\r\n"
                    "2026-01-02 09:00;2026-01-02 09:05;5;Helped;987654321;Bob;;0;2;0\r\n"
                    "2026-01-03 18:30;2026-01-03 19:45;75;helper;555000111;Carl;CARL|carl|Win 11;3;1;12\r\n");
    auto prompts = std::make_unique<TScriptedPrompts>();
    Prompts = prompts.get();
    Form = std::make_unique<THistoryForm>(
        Dir / "Sessions.csv",
        [] { return std::map<std::string, std::string>{{"555000111", "Carl's office"}}; }, std::move(prompts),
        nullptr);
  }
  QString Cell(int row, int column) const {
    return Form->Model().data(Form->Model().index(row, column), Qt::DisplayRole).toString();
  }
  test::TTempDir Dir;
  TScriptedPrompts* Prompts = nullptr;
  std::unique_ptr<THistoryForm> Form;
};

TEST_F(HistoryForm, ListsNewestFirstWithSavedNamesAndFiltersHelperRows) {
  Form->Open();
  EXPECT_EQ(Form->windowTitle(), "Session history");
  EXPECT_EQ(Form->Count()->text(), "3 sessions");
  EXPECT_EQ(Cell(0, 0), "2026-01-03 18:30");
  EXPECT_EQ(Cell(0, 3), "555 000 111");
  EXPECT_EQ(Cell(0, 4), "Carl's office");
  EXPECT_EQ(Cell(0, 5), "CARL (carl)");
  EXPECT_EQ(Cell(2, 4), "<b>Ann</b>");  // shown as the text it is
  EXPECT_EQ(Cell(1, 5), "");
  EXPECT_EQ(Form->Model().headerData(5, Qt::Horizontal, Qt::DisplayRole).toString(), "Computer (user)");
  EXPECT_EQ(Form->List()->columnWidth(5), 220);
  Form->OnlyHelped()->click();
  EXPECT_EQ(Form->Count()->text(), "2 sessions");
  EXPECT_EQ(Cell(1, 0), "2026-01-01 10:00");
  Form->close();
  EXPECT_FALSE(Form->isVisible());
}

TEST_F(HistoryForm, ExportWritesTheWorkbookAndOffersToOpenIt) {
  Prompts->Path = QString::fromStdString(Dir / "out.xlsx");
  Form->Open();
  Form->ExportButton()->click();
  ASSERT_EQ(Prompts->Asked.size(), 2);
  EXPECT_TRUE(Prompts->Asked[0].startsWith("Tovik sessions ")) << Prompts->Asked[0].toStdString();
  EXPECT_TRUE(Prompts->Asked[0].endsWith(".xlsx"));
  EXPECT_EQ(Prompts->Asked[1], "Exported. Open it now?");
  EXPECT_EQ(Prompts->Opened, QStringList{Prompts->Path});
  EXPECT_EQ(test::ReadFile(Dir / "out.xlsx").substr(0, 2), "PK");

  // A folder that does not exist: the error box, no question, nothing opened.
  Prompts->Asked.clear();
  Prompts->Opened.clear();
  Prompts->Path = QString::fromStdString(Dir / "missing/out.xlsx");
  Form->Export();
  ASSERT_EQ(Prompts->Errors.size(), 1);
  EXPECT_TRUE(Prompts->Errors[0].startsWith("Could not save the file: ")) << Prompts->Errors[0].toStdString();
  EXPECT_EQ(Prompts->Asked.size(), 1);
  EXPECT_TRUE(Prompts->Opened.isEmpty());

  // Cancelled: nothing written.
  Prompts->Path.clear();
  Form->Export();
  EXPECT_EQ(Prompts->Errors.size(), 1);
}

TEST_F(HistoryForm, ClearRemovesTheFileOnlyWhenConfirmed) {
  Form->Open();
  Prompts->Answer = false;
  Form->ClearButton()->click();
  EXPECT_TRUE(test::Exists(Dir / "Sessions.csv"));
  EXPECT_EQ(Form->Count()->text(), "3 sessions");
  Prompts->Answer = true;
  Form->ClearButton()->click();
  EXPECT_FALSE(test::Exists(Dir / "Sessions.csv"));
  EXPECT_EQ(Form->Count()->text(), "0 sessions");
  EXPECT_TRUE(Prompts->Errors.isEmpty());
}

int Luma(QRgb c) { return (qRed(c) * 299 + qGreen(c) * 587 + qBlue(c) * 114) / 1000; }

// Day and Night: the window follows the look, the top panel's controls sit inside the window at their
// places, their texts fit, and the list shows its rows.
TEST_F(HistoryForm, ScreenshotsInDayAndNight) {
  const QString dir = QStringLiteral(TOVIK_SHOT_DIR);
  QDir().mkpath(dir);
  for (bool dark : {false, true}) {
    ApplyTheme(dark);
    Form->Open();
    Form->resize(980, 520);
    QTest::qWait(20);
    const QImage img = test::Shot(*Form);
    ASSERT_TRUE(img.save(dir + (dark ? "/history-night.png" : "/history-day.png")));
    const int page = Luma(test::Rgb(img, 600, 20));  // the top panel between the label and the buttons
    if (dark)
      EXPECT_LT(page, 100) << "Night keeps a dark page";
    else
      EXPECT_GT(page, 180) << "Day keeps a light page";
    for (QWidget* w : {static_cast<QWidget*>(Form->ExportButton()), static_cast<QWidget*>(Form->ClearButton())}) {
      EXPECT_LE(w->geometry().right(), Form->width() - 1);
      const auto* b = static_cast<QPushButton*>(w);
      EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()), b->width()) << b->text().toStdString();
    }
    EXPECT_EQ(Form->ClearButton()->geometry().right(), 980 - 1 - 20);
    EXPECT_LE(Form->Count()->fontMetrics().horizontalAdvance(Form->Count()->text()), Form->Count()->width());
    EXPECT_LE(Form->OnlyHelped()->sizeHint().width(), Form->OnlyHelped()->width() + 24);
    // The first row is drawn: the list area holds text pixels that differ from its background.
    const QRect row = Form->List()->visualRect(Form->Model().index(0, 0)).translated(Form->List()->viewport()->mapTo(Form.get(), QPoint()));
    ASSERT_TRUE(img.rect().contains(row));
    const QRgb back = img.pixel(row.right() - 2, row.center().y());
    int ink = 0;
    for (int x = row.left(); x < row.right(); ++x)
      if (std::abs(Luma(img.pixel(x, row.center().y())) - Luma(back)) > 60) ++ink;
    EXPECT_GT(ink, 10) << "row text visible";
  }
  ApplyTheme(false);
}

}  // namespace
}  // namespace tovik
