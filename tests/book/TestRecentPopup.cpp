#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "book/TovikRecentPopup.h"

using namespace tovik;

namespace {

std::vector<std::string> Lines(int n) {
  std::vector<std::string> l;
  const char* names[] = {"Bob", "", "anna", "bella", "Carl", "", "Berta", "x", "y", "z"};
  for (int i = 0; i < n; ++i) l.push_back(std::to_string(100'000'000 + i) + "=" + names[i % 10]);
  return l;
}

}  // namespace

TEST(RecentPopup, KeysOfTheClosedAndOpenPicker) {
  struct Case {
    const char* What;
    bool Open;
    int StartSel;
    TPickerKey Key;
    bool Alt;
    char32_t Char;
    TPickerActionKind Want;
    int WantSel;  // selection afterwards
    bool Consumed;
  };
  const Case cases[] = {
      {"closed F4 opens", false, -1, pkF4, false, 0, paOpen, -1, true},
      {"closed Space opens", false, -1, pkSpace, false, 0, paOpen, -1, true},
      {"closed Enter opens", false, -1, pkEnter, false, 0, paOpen, -1, true},
      {"closed Down opens", false, -1, pkDown, false, 0, paOpen, -1, true},
      {"closed Alt+Up opens", false, -1, pkUp, true, 0, paOpen, -1, true},
      {"closed Up does nothing", false, -1, pkUp, false, 0, paNone, -1, false},
      {"closed letter does nothing", false, -1, pkChar, false, U'b', paNone, -1, false},
      {"Enter picks the selection", true, 2, pkEnter, false, 0, paPick, 2, true},
      {"Enter without selection closes", true, -1, pkEnter, false, 0, paClose, -1, true},
      {"Escape closes", true, 1, pkEscape, false, 0, paClose, 1, true},
      {"F4 closes", true, 1, pkF4, false, 0, paClose, 1, true},
      {"Alt+Up closes", true, 1, pkUp, true, 0, paClose, 1, true},
      {"Alt+Down closes", true, 1, pkDown, true, 0, paClose, 1, true},
      {"Down moves on", true, 1, pkDown, false, 0, paNone, 2, true},
      {"Up moves back", true, 1, pkUp, false, 0, paNone, 0, true},
      {"Up with no selection takes the last", true, -1, pkUp, false, 0, paNone, 9, true},
      {"Down with no selection takes the first", true, -1, pkDown, false, 0, paNone, 0, true},
      {"Up stops at the first", true, 0, pkUp, false, 0, paNone, 0, true},
      {"Page Down moves by the visible rows", true, 1, pkPageDown, false, 0, paNone, 8, true},
      {"Page Down is clamped", true, 5, pkPageDown, false, 0, paNone, 9, true},
      {"Page Up is clamped", true, 3, pkPageUp, false, 0, paNone, 0, true},
      {"Home", true, 5, pkHome, false, 0, paNone, 0, true},
      {"End", true, 0, pkEnd, false, 0, paNone, 9, true},
      {"Delete forgets the selection", true, 3, pkDelete, false, 0, paForget, 3, true},
      {"F2 renames the selection", true, 3, pkF2, false, 0, paRename, 3, true},
      {"Delete without selection", true, -1, pkDelete, false, 0, paNone, -1, true},
      {"Space is swallowed", true, 3, pkSpace, false, 0, paNone, 3, true},
      {"a letter selects by name", true, -1, pkChar, false, U'c', paNone, 4, true},
      {"a digit finds an unnamed ID", true, -1, pkChar, false, U'1', paNone, 1, true},
      {"other keys pass", true, 3, pkOther, false, 0, paNone, 3, false},
  };
  for (const auto& c : cases) {
    TRecentPopupState s;
    s.Reload(Lines(10));
    s.SetSel(c.StartSel);
    const TPickerAction a = s.Key(c.Key, c.Alt, c.Open, c.Char);
    EXPECT_EQ(a.Kind, c.Want) << c.What;
    EXPECT_EQ(s.Sel(), c.WantSel) << c.What;
    EXPECT_EQ(a.Consumed, c.Consumed) << c.What;
    if (c.Want == paPick || c.Want == paForget || c.Want == paRename) {
      EXPECT_EQ(a.ID, s.IDAt(c.WantSel)) << c.What;
    }
    EXPECT_GE(s.Sel(), s.Top() - (s.Sel() < 0 ? 1 : 0)) << c.What;
    EXPECT_LT(s.Sel(), s.Top() + s.VisibleRows()) << c.What;
  }
}

TEST(RecentPopup, TypingALetterTwiceMovesToTheNextMatchAndWraps) {
  TRecentPopupState s;
  s.Reload(Lines(10));
  std::vector<int> got;
  for (int i = 0; i < 4; ++i) {
    s.SelectByLetter(U'b');
    got.push_back(s.Sel());
  }
  EXPECT_EQ(got, (std::vector<int>{0, 3, 6, 0}));  // Bob, bella, Berta, Bob again
}

TEST(RecentPopup, RowsThumbAndHitTest) {
  struct Case {
    int Count;
    int Visible;
    bool Thumb;
  };
  for (const Case c : {Case{0, 1, false}, Case{7, 7, false}, Case{8, 7, true}}) {
    TRecentPopupState s;
    s.Reload(Lines(c.Count));
    EXPECT_EQ(s.VisibleRows(), c.Visible) << c.Count;
    EXPECT_EQ(s.PreferredHeight(), 12 + 48 * c.Visible + 58) << c.Count;
    EXPECT_EQ(s.Thumb().second > 0, c.Thumb) << c.Count;
  }
  TRecentPopupState s;
  s.Reload(Lines(10));
  const int w = 300, h = s.PreferredHeight();
  struct Hit {
    int X, Y;
    TRecentPart Part;
    int Row;
  };
  const Hit hits[] = {
      {150, 30, rpRow, 0},       {150, 6 + 48 + 10, rpRow, 1}, {300 - 6 - 8 - 14, 30, rpForget, 0},
      {300 - 6 - 8 - 30 - 14, 30, rpRename, 0},               {300 - 6 - 8 - 29, 30, rpRow, 0},
      {150, h - 10, rpSync, -1}, {2, 30, rpNone, -1},           {150, 2, rpNone, -1},
      {-1, 30, rpNone, -1},      {150, h, rpNone, -1},
  };
  for (const auto& x : hits) {
    const TRecentHit r = s.HitTest(x.X, x.Y, w, h);
    EXPECT_EQ(r.Part, x.Part) << x.X << "," << x.Y;
    EXPECT_EQ(r.Row, x.Row) << x.X << "," << x.Y;
  }
  // After scrolling, rows count from the first visible one; the thumb moves to the end.
  s.ScrollRows(100);
  EXPECT_EQ(s.Top(), 3);
  EXPECT_EQ(s.HitTest(150, 30, w, h).Row, 3);
  const auto [offset, thumb] = s.Thumb();
  EXPECT_EQ(offset + thumb, 48 * 7 - 8);
}
