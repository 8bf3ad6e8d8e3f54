#include "session/ui/TovikPasswordForm.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

#include "app/ui/TovikTheme.h"
#include "crypto/TovikPassword.h"

namespace tovik {

namespace {

QLabel* PlainLabel(const QString& AText, int APx, bool ASemibold, QWidget* parent) {
  auto* l = new QLabel(AText, parent);
  l->setTextFormat(Qt::PlainText);
  l->setWordWrap(true);
  l->setFont(UiFont(APx, ASemibold, parent));
  return l;
}

QLineEdit* PasswordField(const QString& APlaceholder, QWidget* parent) {
  auto* f = new QLineEdit(parent);
  f->setEchoMode(QLineEdit::Password);
  f->setPlaceholderText(APlaceholder);
  f->setFont(UiFont(14, false, parent));
  f->setMinimumHeight(Px(parent, 32));
  return f;
}

// The field's text leaves the dialog once; what Qt keeps is overwritten.
std::string TakeText(QLineEdit* AField) {
  const std::string text = AField->text().toStdString();
  AField->setText(QString(AField->text().size(), QChar(' ')));
  AField->clear();
  return text;
}

}  // namespace

TPasswordPromptForm::TPasswordPromptForm(const QString& APartner, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Tovik - password for %1").arg(APartner));
  setFont(UiFont(13, false, this));
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(Px(this, 24), Px(this, 20), Px(this, 24), Px(this, 16));
  box->setSpacing(Px(this, 10));
  FHead = PlainLabel(QStringLiteral("The other PC accepts helpers with a password"), 17, true, this);
  box->addWidget(FHead);
  box->addWidget(PlainLabel(QStringLiteral("Enter the unattended-access password of %1. The password stays on this "
                                           "PC: only a proof that you know it is sent.")
                                .arg(APartner),
                            13, false, this));
  FField = PasswordField(QStringLiteral("Password"), this);
  box->addWidget(FField);
  auto* buttons = new QDialogButtonBox(this);
  FConnect = buttons->addButton(QStringLiteral("Connect"), QDialogButtonBox::AcceptRole);
  buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  FConnect->setDefault(true);
  FConnect->setEnabled(false);
  connect(FField, &QLineEdit::textChanged, this, [this](const QString& t) { FConnect->setEnabled(!t.isEmpty()); });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  box->addWidget(buttons);
  setMinimumWidth(Px(this, 470));
  ThemeWindow(this);
}

QPointer<TPasswordPromptForm> AskPassword(const QString& APartner,
                                          std::function<void(std::optional<std::string>)> done) {
  auto* form = new TPasswordPromptForm(APartner);
  form->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(form, &QDialog::finished, form, [form, done = std::move(done)](int result) {
    if (form->property("abandoned").toBool()) return;
    if (result == QDialog::Accepted && !form->Field()->text().isEmpty())
      done(TakeText(form->Field()));
    else
      done(std::nullopt);
    form->Field()->clear();
  });
  form->show();
  form->raise();
  form->activateWindow();
  form->Field()->setFocus();
  return form;
}

void AbandonPassword(const QPointer<TPasswordPromptForm>& form) {
  if (!form) return;
  form->setProperty("abandoned", true);
  form->Field()->clear();
  form->close();
}

TNewPasswordForm::TNewPasswordForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Tovik - unattended access"));
  setFont(UiFont(13, false, this));
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(Px(this, 24), Px(this, 20), Px(this, 24), Px(this, 16));
  box->setSpacing(Px(this, 10));
  box->addWidget(PlainLabel(QStringLiteral("Set a password for unattended access"), 17, true, this));
  box->addWidget(PlainLabel(QStringLiteral("Helpers who know this password can connect to this PC without anyone here "
                                           "clicking Allow. The red bar still shows while they are connected."),
                            13, false, this));
  FFirst = PasswordField(QStringLiteral("Password (at least 8 characters)"), this);
  FSecond = PasswordField(QStringLiteral("The same password again"), this);
  box->addWidget(FFirst);
  box->addWidget(FSecond);
  FProblem = PlainLabel(QString(), 12, false, this);
  box->addWidget(FProblem);
  auto* buttons = new QDialogButtonBox(this);
  FOk = buttons->addButton(QStringLiteral("Turn on"), QDialogButtonBox::AcceptRole);
  buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  FOk->setDefault(true);
  connect(FFirst, &QLineEdit::textChanged, this, [this] { Check(); });
  connect(FSecond, &QLineEdit::textChanged, this, [this] { Check(); });
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (Password()) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  box->addWidget(buttons);
  setMinimumWidth(Px(this, 440));
  ThemeWindow(this);
  Check();
}

std::optional<std::string> TNewPasswordForm::Password() const {
  const std::string a = FFirst->text().toStdString();
  if (!PasswordLongEnough(a) || FFirst->text() != FSecond->text()) return std::nullopt;
  return a;
}

void TNewPasswordForm::Check() {
  QString problem;
  if (!PasswordLongEnough(FFirst->text().toStdString()))
    problem = QStringLiteral("The password needs at least %1 characters.").arg(kPasswordMinChars);
  else if (FFirst->text() != FSecond->text())
    problem = FSecond->text().isEmpty() ? QStringLiteral("Type the password again below.")
                                        : QStringLiteral("The two passwords are not the same.");
  FProblem->setText(problem);
  FOk->setEnabled(problem.isEmpty());
}

std::optional<std::string> AskNewPassword(QWidget* parent) {
  TNewPasswordForm form(parent);
  std::optional<std::string> result;
  if (form.exec() == QDialog::Accepted) result = form.Password();
  form.First()->clear();
  form.Second()->clear();
  return result;
}

}  // namespace tovik
