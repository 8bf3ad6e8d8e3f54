// The two password dialogs of unattended access: the helper's prompt for a helped PC's password, and
// the dialog in which the person at a helped PC sets one (typed twice).
//
// GUI thread only. The typed text leaves a dialog once, through its callback or return value; the
// fields are cleared when the dialog closes.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include <functional>
#include <optional>
#include <string>

namespace tovik {

// "The other PC accepts helpers with a password": one password field, Connect and Cancel.
class TPasswordPromptForm : public QDialog {
  Q_OBJECT
 public:
  explicit TPasswordPromptForm(const QString& APartner, QWidget* parent = nullptr);
  QLineEdit* Field() const { return FField; }
  QPushButton* ConnectButton() const { return FConnect; }
  QString HeadLine() const { return FHead->text(); }

 private:
  QLabel* FHead = nullptr;
  QLineEdit* FField = nullptr;
  QPushButton* FConnect = nullptr;
};

// Shows the prompt without blocking; `done` gets the password, or nothing on Cancel or close, exactly
// once unless the form is abandoned first. The form deletes itself when it closes.
QPointer<TPasswordPromptForm> AskPassword(const QString& APartner,
                                          std::function<void(std::optional<std::string>)> done);
// Closes a prompt from AskPassword without calling its callback (the session ended meanwhile).
void AbandonPassword(const QPointer<TPasswordPromptForm>& form);

// Setting the unattended-access password: two fields that must match and hold at least 8
// characters; OK stays disabled until they do, and a line says what is missing.
class TNewPasswordForm : public QDialog {
  Q_OBJECT
 public:
  explicit TNewPasswordForm(QWidget* parent = nullptr);
  QLineEdit* First() const { return FFirst; }
  QLineEdit* Second() const { return FSecond; }
  QPushButton* OkButton() const { return FOk; }
  QString Problem() const { return FProblem->text(); }
  // The password once both fields agree and it is long enough.
  std::optional<std::string> Password() const;

 private:
  void Check();
  QLineEdit* FFirst = nullptr;
  QLineEdit* FSecond = nullptr;
  QLabel* FProblem = nullptr;
  QPushButton* FOk = nullptr;
};

// Shows TNewPasswordForm modally; the password, or nothing when the person cancels.
std::optional<std::string> AskNewPassword(QWidget* parent);

}  // namespace tovik
