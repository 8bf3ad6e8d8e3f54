// The saved-PC picker and its drop-down rendered in Day and Night and probed at the pixels a
// regression would change; clicks and keys through Qt's events.
#include <gtest/gtest.h>

#include <QDir>
#include <QFontMetrics>
#include <QTest>

#include <memory>

#include "app/ui/TovikTheme.h"
#include "book/ui/TovikRecentPicker.h"
#include "tests/app/UiTestApp.h"

using namespace tovik;
using namespace tovik::test;

namespace {

struct TMemStore final : IRecentStore {
  std::optional<TIniPairs> Section = TIniPairs{};
  std::optional<TIniPairs> ReadSection() override { return Section; }
  TFileResult WriteSection(const TIniPairs& k) override {
    Section = k;
    return {};
  }
  std::string Path() const override { return "Tovik.ini"; }
};

std::string Id(int n) { return std::to_string(100'000'000 + n); }

struct TPickerRig {
  explicit TPickerRig(int ACount) {
    std::vector<std::string> lines;
    for (int i = 0; i < ACount; ++i) lines.push_back(Id(i) + "=" + (i % 2 ? "" : "Front desk " + std::to_string(i)));
    List.ApplyFromSync(lines);
    Host.resize(360, 80);
    Picker = new TRecentPicker(List, &Host);
    Picker->setGeometry(20, 20, 308, 32);
    Host.show();
  }
  bool App = (EnsureApp(), true);
  TMemStore Store;
  TRecentList List{Store};
  QWidget Host;
  TRecentPicker* Picker;
};

int CountNear(const QImage& img, const QRect& r, const QColor& c, int tol = 40) {
  int n = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) {
      const QColor p = img.pixelColor(x, y);
      if (std::abs(p.red() - c.red()) + std::abs(p.green() - c.green()) + std::abs(p.blue() - c.blue()) <= tol) ++n;
    }
  return n;
}

void Save(const QImage& img, const QString& name) {
  QDir().mkpath(QStringLiteral(TOVIK_SHOT_DIR));
  img.save(QStringLiteral(TOVIK_SHOT_DIR "/") + name + QStringLiteral(".png"));
}

}  // namespace

TEST(RecentPickerShots, PopupWith0_7And8EntriesInDayAndNight) {
  for (const bool dark : {false, true}) {
    SetDark(dark);
    for (const int count : {0, 7, 8}) {
      TPickerRig rig(count);
      if (count > 1) rig.Picker->SetPickedID(Id(1));
      rig.Picker->SetSyncText(count ? "Sync is on. Last synced 10:42, 8 PCs." : "");
      rig.Picker->DropDown();
      ASSERT_TRUE(rig.Picker->DroppedDown());
      TRecentPopup& pop = *rig.Picker->Popup();
      const QImage img = Shot(pop);
      const QString tag = QString(dark ? "night" : "day") + "_" + QString::number(count);
      Save(img, "recent_popup_" + tag);
      Save(Shot(rig.Picker->window() == &rig.Host ? *rig.Picker : *rig.Picker), "recent_picker_" + tag);
      const TRecentPalette c = rig.Picker->Palette();
      const int rows = std::clamp(count, 1, 7);
      ASSERT_EQ(img.height(), 12 + 48 * rows + 58) << tag.toStdString();
      ASSERT_GE(img.width(), 308);
      // Nothing is drawn into the right margin: no text runs into the edge.
      EXPECT_EQ(CountNear(img, QRect(img.width() - 8, 6, 6, 12 + 48 * rows - 12), c.Muted, 60), 0) << tag.toStdString();
      EXPECT_EQ(img.pixelColor(img.width() / 2, 3), c.Background) << tag.toStdString();
      // The scroll thumb only when there are more entries than rows.
      const QRect thumbAt(img.width() - 5, 12, 3, 20);
      EXPECT_EQ(CountNear(img, thumbAt, c.Border, 10) > 20, count > 7) << tag.toStdString();
      const QRect firstRow(6 + 54, 6 + 4, 200, 40);
      // Text in the first row's place: an entry's name, or the "No saved PCs yet" lines.
      EXPECT_GT(CountNear(img, firstRow, c.Ink, 120), 20) << tag.toStdString();
      // The footer's link in the accent colour, inside the popup (not clipped).
      const QRect footer(44, img.height() - 58 + 4, 200, 50);
      EXPECT_GT(CountNear(img, footer, c.Accent, 60), 20) << tag.toStdString();
      if (count == 0) {
        // The hint line is drawn in full, not cut at the popup's edge.
        const QString hint = QStringLiteral("The PCs you help are added here by themselves.");
        const int advance = QFontMetrics(UiFont(12, false, &pop)).horizontalAdvance(hint);
        int left = img.width(), right = -1;
        for (int y = 6 + 26; y < 6 + 48; ++y)
          for (int x = 0; x < img.width(); ++x)
            if (CountNear(img, QRect(x, y, 1, 1), c.Muted, 90)) {
              left = std::min(left, x);
              right = std::max(right, x);
            }
        EXPECT_GE(right - left, advance - 6) << tag.toStdString();
      }
      if (count > 1) {
        // The picked ID's row is selected: filled with the selection colour.
        EXPECT_EQ(img.pixelColor(img.width() / 2, 6 + 48 + 2), c.Selection) << tag.toStdString();
        EXPECT_EQ(img.pixelColor(img.width() / 2, 6 + 2), c.Background) << tag.toStdString();
      }
      rig.Picker->CloseUp();
      const QImage closed = Shot(*rig.Picker);
      EXPECT_EQ(closed.pixelColor(closed.width() - 60, 4), c.Field) << tag.toStdString();
    }
  }
  SetDark(false);
}

TEST(RecentPickerClicks, RowsButtonsAndKeysAct) {
  TPickerRig rig(3);
  std::vector<std::string> picked;
  int changed = 0, syncs = 0;
  rig.Picker->OnPick = [&](const std::string& id) { picked.push_back(id); };
  rig.Picker->OnChanged = [&] { ++changed; };
  rig.Picker->OnSync = [&] { ++syncs; };
  std::vector<QString> prompts;
  rig.Picker->AskText = [&](const QString& title, const QString& prompt, const QString& text) {
    prompts.push_back(title + "|" + prompt + "|" + text);
    return std::optional<std::string>("Anna=Office");
  };
  std::vector<QString> questions;
  rig.Picker->AskYes = [&](const QString& q) {
    questions.push_back(q);
    return true;
  };
  auto popup = [&] {
    rig.Picker->DropDown();
    return rig.Picker->Popup();
  };
  const int w = 308;
  const QPoint rowMid(150, 6 + 48 + 24), rename(w - 6 - 8 - 30 - 14, 6 + 24), forget(w - 6 - 8 - 14, 6 + 48 + 24);
  // A click that starts on the rename button and ends on the row does nothing.
  QTest::mousePress(popup(), Qt::LeftButton, {}, rename);
  QTest::mouseRelease(rig.Picker->Popup(), Qt::LeftButton, {}, QPoint(150, 30));
  EXPECT_TRUE(prompts.empty());
  EXPECT_TRUE(picked.empty());
  QTest::mouseClick(rig.Picker->Popup(), Qt::LeftButton, {}, rowMid);
  EXPECT_EQ(picked, (std::vector<std::string>{Id(1)}));
  EXPECT_FALSE(rig.Picker->DroppedDown());
  QTest::mouseClick(popup(), Qt::LeftButton, {}, rename);
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0], "Rename saved PC|A name for 100 000 000:|Front desk 0");
  EXPECT_EQ(rig.List.NameOf(Id(0)), "Anna Office");
  QTest::mouseClick(popup(), Qt::LeftButton, {}, forget);
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0], "Forget 100 000 001?\r\n\r\nIt is taken off your saved PCs. When sync is on, also on your "
                          "other PCs. You can still connect to it by typing its ID.");
  EXPECT_LT(rig.List.IndexOfID(Id(1)), 0);
  EXPECT_TRUE(rig.Picker->PickedID().empty());
  EXPECT_EQ(changed, 2);
  TRecentPopup* open = popup();
  QTest::mouseClick(open, Qt::LeftButton, {}, QPoint(150, open->height() - 20));
  EXPECT_EQ(syncs, 1);
  // Keys: Down opens, End and Enter pick the last entry.
  rig.Picker->setFocus();
  QTest::keyClick(rig.Picker, Qt::Key_Down);
  EXPECT_TRUE(rig.Picker->DroppedDown());
  QTest::keyClick(rig.Picker, Qt::Key_End);
  QTest::keyClick(rig.Picker, Qt::Key_Return);
  EXPECT_EQ(picked.back(), Id(2));
  EXPECT_FALSE(rig.Picker->DroppedDown());
}
