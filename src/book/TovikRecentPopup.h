// What the saved-PC picker's drop-down does, without Qt: the rows it shows, the selection, scrolling,
// the keys of the picker and the hit test of its geometry. The Qt picker (book/ui/TovikRecentPicker.h)
// draws this state and turns keys, clicks and the wheel into calls here.
//
// Geometry is in logical pixels at 96 dpi (the widget scales it): rows of 48 from y = 6 + 48 × (i -
// top), between x = 6 and width - 6; in a row the forget box (28 × 28, right edge 8 in from the row's
// right, vertically centred) and the rename box 30 to its left; the footer is the bottom 58.
//
// Threads: GUI thread only.
#pragma once

#include <string>
#include <vector>

namespace tovik {

enum TRecentPart { rpNone, rpRow, rpRename, rpForget, rpSync };

enum TPickerKey {
  pkEnter, pkEscape, pkF4, pkUp, pkDown, pkPageUp, pkPageDown, pkHome, pkEnd, pkDelete, pkF2, pkSpace,
  pkChar,   // a printable character (AChar)
  pkOther,
};

enum TPickerActionKind { paNone, paOpen, paClose, paPick, paRename, paForget };

struct TPickerAction {
  TPickerActionKind Kind = paNone;
  std::string ID;    // for paPick, paRename, paForget
  bool Consumed = false;  // the key is not passed on (to the dialog's default or cancel button)
};

struct TRecentHit {
  TRecentPart Part = rpNone;
  int Row = -1;
};

class TRecentPopupState {
 public:
  static constexpr int kMaxVisible = 7;
  static constexpr int kRowHeight = 48;
  static constexpr int kPad = 6;
  static constexpr int kFooter = 58;

  // Takes the IDs and names of the lines ("id=name"), keeping the selected ID selected when it is
  // still there, and keeps the first row in range.
  void Reload(const std::vector<std::string>& ALines);
  int Count() const { return static_cast<int>(FIDs.size()); }
  const std::string& IDAt(int i) const { return FIDs[static_cast<std::size_t>(i)]; }
  const std::string& NameAt(int i) const { return FNames[static_cast<std::size_t>(i)]; }
  int VisibleRows() const;
  int PreferredHeight() const { return 2 * kPad + kRowHeight * VisibleRows() + kFooter; }
  int Top() const { return FTop; }
  int Sel() const { return FSel; }
  std::string SelectedID() const { return FSel < 0 ? std::string() : IDAt(FSel); }

  void SetSel(int ARow);
  void MoveSel(int AStep);
  void SelectID(const std::string& AID);
  // The next entry after the selection (wrapping once) whose name, or ID when unnamed, starts with
  // AChar, compared without regard to case.
  void SelectByLetter(char32_t AChar);
  void ScrollRows(int ARows);

  // A key on the picker. AOpen: the drop-down is open.
  TPickerAction Key(TPickerKey AKey, bool AAlt, bool AOpen, char32_t AChar = 0);
  // The part under a point of a popup AWidth × AHeight wide (logical pixels).
  TRecentHit HitTest(int AX, int AY, int AWidth, int AHeight) const;
  // The scroll thumb (offset from the track's top, height) when more entries than rows; {0, 0} else.
  std::pair<int, int> Thumb() const;

 private:
  void Visible();
  std::vector<std::string> FIDs, FNames;
  int FTop = 0;
  int FSel = -1;
};

}  // namespace tovik
