#include "book/TovikRecentPopup.h"

#include <algorithm>
#include <cwctype>

#include "book/TovikRecent.h"

namespace tovik {

namespace {

// The first code point of well-formed UTF-8 (0 for an empty text).
char32_t FirstChar(const std::string& s) {
  if (s.empty()) return 0;
  const auto b = static_cast<unsigned char>(s[0]);
  if (b < 0x80) return b;
  int n = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
  char32_t c = b & (0x3F >> n);
  for (int i = 1; i <= n && i < static_cast<int>(s.size()); ++i) c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  return c;
}

char32_t Fold(char32_t c) { return static_cast<char32_t>(std::towlower(static_cast<std::wint_t>(c))); }

}  // namespace

void TRecentPopupState::Reload(const std::vector<std::string>& ALines) {
  const std::string keep = SelectedID();
  FIDs.clear();
  FNames.clear();
  for (const auto& l : ALines) {
    const std::string id = RecentItemID(l);
    if (id.empty()) continue;
    FIDs.push_back(id);
    FNames.push_back(RecentItemName(l));
  }
  FSel = -1;
  if (!keep.empty()) SelectID(keep);
  ScrollRows(0);
}

int TRecentPopupState::VisibleRows() const { return std::clamp(Count(), 1, kMaxVisible); }

void TRecentPopupState::SetSel(int ARow) {
  FSel = Count() == 0 ? -1 : std::clamp(ARow, -1, Count() - 1);
  Visible();
}

void TRecentPopupState::MoveSel(int AStep) {
  if (Count() == 0) return;
  if (FSel < 0)
    SetSel(AStep < 0 ? Count() - 1 : 0);
  else
    SetSel(std::clamp(FSel + AStep, 0, Count() - 1));
}

void TRecentPopupState::SelectID(const std::string& AID) {
  const auto it = std::find(FIDs.begin(), FIDs.end(), AID);
  SetSel(it == FIDs.end() ? -1 : static_cast<int>(it - FIDs.begin()));
}

void TRecentPopupState::SelectByLetter(char32_t AChar) {
  const char32_t want = Fold(AChar);
  for (int k = 1; k <= Count(); ++k) {
    const int i = (FSel + k + Count()) % Count();
    const std::string& label = NameAt(i).empty() ? IDAt(i) : NameAt(i);
    if (Fold(FirstChar(label)) == want) return SetSel(i);
  }
}

void TRecentPopupState::ScrollRows(int ARows) {
  FTop = std::clamp(FTop + ARows, 0, std::max(0, Count() - VisibleRows()));
}

void TRecentPopupState::Visible() {
  if (FSel >= 0) {
    if (FSel < FTop) FTop = FSel;
    if (FSel >= FTop + VisibleRows()) FTop = FSel - VisibleRows() + 1;
  }
  ScrollRows(0);
}

TPickerAction TRecentPopupState::Key(TPickerKey AKey, bool AAlt, bool AOpen, char32_t AChar) {
  TPickerAction a;
  if (!AOpen) {
    if (AKey == pkF4 || AKey == pkSpace || AKey == pkEnter || (AKey == pkDown && !AAlt) || (AKey == pkUp && AAlt)) {
      a.Kind = paOpen;
      a.Consumed = true;
    }
    return a;
  }
  a.Consumed = true;
  switch (AKey) {
    case pkEnter:
      if (FSel >= 0) {
        a.Kind = paPick;
        a.ID = SelectedID();
      } else {
        a.Kind = paClose;
      }
      break;
    case pkEscape:
    case pkF4:
      a.Kind = paClose;
      break;
    case pkUp:
    case pkDown:
      if (AAlt)
        a.Kind = paClose;
      else
        MoveSel(AKey == pkUp ? -1 : 1);
      break;
    case pkPageUp: MoveSel(-VisibleRows()); break;
    case pkPageDown: MoveSel(VisibleRows()); break;
    case pkHome: SetSel(0); break;
    case pkEnd: SetSel(Count() - 1); break;
    case pkDelete:
    case pkF2:
      if (FSel >= 0) {
        a.Kind = AKey == pkDelete ? paForget : paRename;
        a.ID = SelectedID();
      }
      break;
    case pkSpace: break;
    case pkChar: SelectByLetter(AChar); break;
    case pkOther: a.Consumed = false; break;
  }
  return a;
}

TRecentHit TRecentPopupState::HitTest(int AX, int AY, int AWidth, int AHeight) const {
  if (AX < 0 || AY < 0 || AX >= AWidth || AY >= AHeight) return {};
  if (AY >= AHeight - kFooter) return {rpSync, -1};
  if (AX < kPad || AX >= AWidth - kPad || AY < kPad) return {};
  const int row = FTop + (AY - kPad) / kRowHeight;
  if (row >= Count() || row >= FTop + VisibleRows()) return {};
  const int rowTop = kPad + kRowHeight * (row - FTop);
  const int boxTop = rowTop + (kRowHeight - 28) / 2;
  const int forgetRight = AWidth - kPad - 8;
  auto inBox = [&](int right) { return AX >= right - 28 && AX < right && AY >= boxTop && AY < boxTop + 28; };
  if (inBox(forgetRight)) return {rpForget, row};
  if (inBox(forgetRight - 30)) return {rpRename, row};
  return {rpRow, row};
}

std::pair<int, int> TRecentPopupState::Thumb() const {
  if (Count() <= VisibleRows()) return {0, 0};
  const int track = kRowHeight * VisibleRows() - 8;
  const int thumb = std::max(24, VisibleRows() * track / Count());
  return {(track - thumb) * FTop / (Count() - VisibleRows()), thumb};
}

}  // namespace tovik
