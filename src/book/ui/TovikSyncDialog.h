// TSyncForm: the modal dialog in which a user switches saved-PC sync on or off, makes a pairing code
// for another PC, joins with a code, or uses the long sync code. It keeps no state of its own beyond
// the panel shown; everything comes from the TBookSync, refreshed twice a second.
//
// The long sync code is the secret itself: it reaches the clipboard only when the user clicks Copy,
// marked for password managers (x-kde-passwordManagerHint = secret), and it is taken off the clipboard
// again after 60 s when it is still there.
//
// Ownership: the engine is not owned and must outlive the dialog. Threads: GUI thread only.
#pragma once

#include <QDialog>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>

#include "book/TovikBook.h"

class QLabel;
class QLineEdit;

namespace tovik {

class TUiButton;

enum TSyncMode { smNone, smAdd, smJoin };

// Puts a secret on the clipboard for password managers and clears it after AClearMs when it is still
// the clipboard's text.
void CopySecretToClipboard(const QString& AText, int AClearMs = 60'000);

class TSyncForm final : public QDialog {
  Q_OBJECT
 public:
  // CreateSync: opens on the add panel while a code is being offered.
  TSyncForm(QWidget* AOwner, TBookSync& ABook);

  void Refresh();
  TSyncMode Mode() const { return FMode; }

  // The actions of the buttons and the link (public for tests).
  void TurnOnClicked();
  void TurnOffClicked();
  void AddClicked();
  void JoinModeClicked();
  void JoinClicked();
  void CopyCodeClicked();
  void LongCodeClicked();

  // Question boxes, replaceable by tests: yes/no; the long-code box (nullopt: cancelled; AFresh
  // tells whether the code shown is a new one); a warning.
  std::function<bool(const QString& AText)> AskYes;
  std::function<std::optional<std::string>(const QString& ACode)> AskLongCode;
  std::function<void(const QString& AText)> Warn;

  // Widgets, for tests.
  QLabel* StatusLabel() const { return FStatus; }
  QLabel* DetailLabel() const { return FDetail; }
  QWidget* Dot() const { return FDot; }
  QLabel* CodeLabel() const { return FCode; }
  QLabel* CountdownLabel() const { return FCountdown; }
  QLabel* AddStatusLabel() const { return FAddStatus; }
  QLabel* JoinStatusLabel() const { return FJoinStatus; }
  QLineEdit* CodeEdit() const { return FCodeEdit; }
  QWidget* AddPanel() const { return FAddPanel; }
  QWidget* JoinPanel() const { return FJoinPanel; }
  TUiButton* BtnOn() const { return FBtnOn; }
  TUiButton* BtnAdd() const { return FBtnAdd; }
  TUiButton* BtnJoin() const { return FBtnJoin; }
  TUiButton* BtnOff() const { return FBtnOff; }
  TUiButton* BtnCopy() const { return FBtnCopy; }
  TUiButton* BtnNewCode() const { return FBtnNewCode; }
  TUiButton* BtnJoinGo() const { return FBtnJoinGo; }
  QColor DotColour() const { return FDotColour; }

 protected:
  bool eventFilter(QObject* o, QEvent* e) override;

 private:
  void SetText(QLabel* ALabel, const QString& AText, std::uint32_t AColour);
  TBookSync& FBook;
  TSyncMode FMode = smNone;
  QTimer FTimer;
  QWidget* FDot = nullptr;
  QColor FDotColour;
  QLabel* FStatus = nullptr;
  QLabel* FDetail = nullptr;
  TUiButton *FBtnOn = nullptr, *FBtnAdd = nullptr, *FBtnJoin = nullptr, *FBtnOff = nullptr;
  QWidget* FAddPanel = nullptr;
  QLabel* FCode = nullptr;
  QLabel* FCountdown = nullptr;
  QLabel* FAddStatus = nullptr;
  TUiButton *FBtnCopy = nullptr, *FBtnNewCode = nullptr;
  QWidget* FJoinPanel = nullptr;
  QLineEdit* FCodeEdit = nullptr;
  TUiButton* FBtnJoinGo = nullptr;
  QLabel* FJoinStatus = nullptr;
  QLabel* FLongCode = nullptr;
};

// ShowSyncDialog: without an engine, says "Sync is not available right now."; otherwise shows the
// dialog modally and frees it afterwards.
void ShowSyncDialog(QWidget* AOwner, TBookSync* ABook);

}  // namespace tovik
