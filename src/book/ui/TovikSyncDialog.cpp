#include "book/ui/TovikSyncDialog.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"

namespace tovik {

namespace {

constexpr std::uint32_t kDotOff = 0x9CA3AF, kAmber = 0xD97706, kGreen = 0x16A34A, kBlue = 0x2563EB,
                        kGrey = 0x6B7280, kRed = 0xDC2626, kHeading = 0x1F2937;

const QString kTurnOffQuestion = QStringLiteral(
    "Turn off sync on this PC?\r\n\r\nYour saved PCs stay on this PC. Your other PCs keep syncing with each other.");

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A small filled circle.
class TDot final : public QWidget {
 public:
  explicit TDot(QWidget* p) : QWidget(p) {}
  QColor Colour;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Colour);
    p.drawEllipse(rect());
  }
};

QLabel* Label(QWidget* AParent, const QString& AText, int APx, bool ABold, std::uint32_t AColour, bool AWrap = false) {
  auto* l = new QLabel(AParent);
  l->setTextFormat(Qt::PlainText);
  l->setText(AText);
  l->setFont(UiFont(APx, ABold, AParent));
  l->setWordWrap(AWrap);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, LookInk(QColor(AColour)));
  l->setPalette(pal);
  return l;
}

// The long-code box: the code in a field, Copy, OK and Cancel. Nothing goes to the clipboard unless
// Copy is clicked.
std::optional<std::string> AskLongCodeBox(QWidget* AOwner, const QString& ACode) {
  QDialog box(AOwner);
  box.setWindowTitle(QStringLiteral("Long sync code"));
  auto* column = new QVBoxLayout(&box);
  auto* prompt = new QLabel(QStringLiteral("Sync code. Copy it and paste it into Tovik on your other PCs, or paste "
                                           "the code of another PC here. Empty turns sync off:"),
                            &box);
  prompt->setTextFormat(Qt::PlainText);
  prompt->setWordWrap(true);
  column->addWidget(prompt);
  auto* edit = new QLineEdit(ACode, &box);
  edit->setMinimumWidth(520);
  column->addWidget(edit);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &box);
  QPushButton* copy = buttons->addButton(QStringLiteral("Copy"), QDialogButtonBox::ActionRole);
  QObject::connect(copy, &QPushButton::clicked, &box, [edit] { CopySecretToClipboard(edit->text()); });
  QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
  column->addWidget(buttons);
  if (box.exec() != QDialog::Accepted) return std::nullopt;
  return edit->text().toStdString();
}

}  // namespace

void CopySecretToClipboard(const QString& AText, int AClearMs) {
  QClipboard* clip = QGuiApplication::clipboard();
  if (!clip || AText.isEmpty()) return;
  auto* data = new QMimeData;
  data->setText(AText);
  data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
  clip->setMimeData(data);
  QTimer::singleShot(AClearMs, qApp, [AText] {
    QClipboard* c = QGuiApplication::clipboard();
    if (c && c->text() == AText) c->clear();
  });
}

TSyncForm::TSyncForm(QWidget* AOwner, TBookSync& ABook) : QDialog(AOwner), FBook(ABook) {
  setWindowTitle(QStringLiteral("Tovik - Sync saved PCs"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(560, 600);
  setAutoFillBackground(true);
  {
    QPalette p = palette();
    p.setColor(QPalette::Window, IsDark() ? MapDarkBackground(QColor(0xFFFFFF)) : QColor(0xFFFFFF));
    setPalette(p);
  }
  auto place = [](QWidget* w, int x, int y, int wd, int h) { w->setGeometry(x, y, wd, h); };
  place(Label(this, QStringLiteral("Sync with my other PCs"), 20, true, kHeading), 24, 18, 512, 30);
  place(Label(this, QStringLiteral("Keep your saved PCs, with their names, the same on all your own PCs."), 12, false,
              kGrey, true),
        24, 50, 512, 20);
  auto* panel = new QWidget(this);
  panel->setAutoFillBackground(true);
  {
    QPalette p = panel->palette();
    p.setColor(QPalette::Window, IsDark() ? QColor(0x383838) : QColor(0xEEF1F6));
    panel->setPalette(p);
  }
  place(panel, 24, 82, 512, 70);
  FDot = new TDot(panel);
  place(FDot, 14, 16, 12, 12);
  FStatus = Label(panel, QString(), 13, true, kHeading);
  place(FStatus, 36, 10, 466, 24);
  FDetail = Label(panel, QString(), 12, false, kGrey, true);
  place(FDetail, 36, 34, 466, 32);

  FBtnOn = new TUiButton(QStringLiteral("Turn on sync"), this);
  FBtnOn->SetKind(ubPrimary);
  FBtnOn->OnClick = [this] { TurnOnClicked(); };
  FBtnAdd = new TUiButton(QStringLiteral("Add another PC"), this);
  FBtnAdd->SetKind(ubPrimary);
  FBtnAdd->OnClick = [this] { AddClicked(); };
  FBtnJoin = new TUiButton(QStringLiteral("Join with a code"), this);
  FBtnJoin->OnClick = [this] { JoinModeClicked(); };
  FBtnOff = new TUiButton(QStringLiteral("Turn off"), this);
  FBtnOff->OnClick = [this] { TurnOffClicked(); };

  FAddPanel = new QWidget(this);
  place(FAddPanel, 24, 216, 512, 150);
  place(Label(FAddPanel,
              QStringLiteral("On your other PC, open Tovik, click Saved PCs, then Sync with my other PCs..., then "
                             "Join with a code, and type:"),
              12, false, kGrey, true),
        0, 0, 512, 34);
  FCode = Label(FAddPanel, QStringLiteral("----"), 28, true, kBlue);
  FCode->setTextInteractionFlags(Qt::TextSelectableByMouse);
  place(FCode, 0, 40, 220, 44);
  FBtnCopy = new TUiButton(QStringLiteral("Copy code"), FAddPanel);
  FBtnCopy->OnClick = [this] { CopyCodeClicked(); };
  place(FBtnCopy, 230, 46, 120, 34);
  FBtnNewCode = new TUiButton(QStringLiteral("New code"), FAddPanel);
  FBtnNewCode->OnClick = [this] { AddClicked(); };
  place(FBtnNewCode, 358, 46, 120, 34);
  FCountdown = Label(FAddPanel, QString(), 12, false, kGrey);
  place(FCountdown, 0, 92, 512, 20);
  FAddStatus = Label(FAddPanel, QString(), 12, false, kGrey, true);
  place(FAddStatus, 0, 114, 512, 34);

  FJoinPanel = new QWidget(this);
  place(FJoinPanel, 24, 216, 512, 150);
  place(Label(FJoinPanel,
              QStringLiteral("Type the code your other PC shows under Add another PC. The PCs saved on this PC are "
                             "added to the shared list."),
              12, false, kGrey, true),
        0, 0, 512, 34);
  FCodeEdit = new QLineEdit(FJoinPanel);
  FCodeEdit->setMaxLength(11);
  FCodeEdit->setPlaceholderText(QStringLiteral("ABCD-EFGH"));
  FCodeEdit->setFont(UiFont(22, true, this));
  connect(FCodeEdit, &QLineEdit::textEdited, this, [this](const QString& t) {
    const int pos = FCodeEdit->cursorPosition();
    FCodeEdit->setText(t.toUpper());
    FCodeEdit->setCursorPosition(pos);
  });
  connect(FCodeEdit, &QLineEdit::returnPressed, this, [this] {
    if (FBtnJoinGo->isEnabled()) JoinClicked();
  });
  place(FCodeEdit, 0, 42, 220, 44);
  FBtnJoinGo = new TUiButton(QStringLiteral("Join"), FJoinPanel);
  FBtnJoinGo->SetKind(ubPrimary);
  FBtnJoinGo->OnClick = [this] { JoinClicked(); };
  place(FBtnJoinGo, 230, 46, 100, 36);
  FJoinStatus = Label(FJoinPanel, QString(), 12, false, kGrey, true);
  place(FJoinStatus, 0, 96, 512, 40);

  place(Label(this, QStringLiteral("How it works"), 14, true, kHeading), 24, 380, 512, 22);
  const char* lines[] = {
      "- PCs you save or rename on one PC show up on the others within a few minutes.",
      "- Forgetting a PC takes it off your other PCs too.",
      "- The list is encrypted on your PC before it is sent: the server only stores text it cannot read."};
  for (int i = 0; i < 3; ++i)
    place(Label(this, QString::fromLatin1(lines[i]), 12, false, kGrey, true), 24, 406 + i * 36, 512, 34);
  FLongCode = Label(this, QStringLiteral("Use a long sync code instead (older versions)..."), 12, false, kBlue);
  FLongCode->setCursor(Qt::PointingHandCursor);
  FLongCode->installEventFilter(this);
  place(FLongCode, 24, 520, 360, 20);
  auto* close = new TUiButton(QStringLiteral("Close"), this);
  close->OnClick = [this] { reject(); };
  place(close, 436, 548, 100, 36);

  AskYes = [this](const QString& text) {
    QMessageBox box(QMessageBox::Question, windowTitle(), text, QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
  };
  AskLongCode = [this](const QString& code) { return AskLongCodeBox(this, code); };
  Warn = [this](const QString& text) {
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  };

  if (FBook.PairState() == bpOffering || FBook.PairState() == bpOffered) FMode = smAdd;
  FTimer.setInterval(500);
  connect(&FTimer, &QTimer::timeout, this, [this] { Refresh(); });
  FTimer.start();
  Refresh();
}

void TSyncForm::SetText(QLabel* ALabel, const QString& AText, std::uint32_t AColour) {
  ALabel->setText(AText);
  QPalette pal = ALabel->palette();
  pal.setColor(QPalette::WindowText, LookInk(QColor(AColour)));
  ALabel->setPalette(pal);
}

void TSyncForm::Refresh() {
  FStatus->setText(Q(FBook.StatusText()));
  const bool on = FBook.IsOn();
  if (on) {
    const bool problem = !FBook.LastError().empty();
    FDotColour = QColor(problem ? kAmber : FBook.LastSync() != 0 ? kGreen : kBlue);
    FDetail->setText(problem ? QStringLiteral("Tovik keeps trying by itself. Your list on this PC is safe.")
                             : QStringLiteral("Your list is encrypted on this PC before it goes to the server; the "
                                              "server cannot read it."));
  } else {
    FDotColour = QColor(kDotOff);
    FDetail->setText(QStringLiteral("Turn sync on to keep this list the same on your other PCs, or join the list of "
                                    "a PC that syncs already."));
  }
  static_cast<TDot*>(FDot)->Colour = LookInk(FDotColour);
  FDot->update();
  FBtnOn->setVisible(!on);
  FBtnAdd->setVisible(on);
  FBtnOff->setVisible(on);
  FBtnJoin->setVisible(true);
  int x = 24;
  for (TUiButton* b : {FBtnOn, FBtnAdd, FBtnJoin, FBtnOff}) {
    if (!b->isVisibleTo(this)) continue;
    const int w = std::max(110, b->IdealWidth());
    b->setGeometry(x, 166, w, 36);
    x += w + 8;
  }
  FAddPanel->setVisible(FMode == smAdd);
  FJoinPanel->setVisible(FMode == smJoin);
  const TBookPairState st = FBook.PairState();
  const QString msg = Q(FBook.PairMessage());
  if (FMode == smAdd) {
    if (st == bpOffering || st == bpOffered) {
      FCode->setText(Q(FBook.PairCode()));
      const int left = FBook.PairSecondsLeft();
      FCountdown->setText(QString::asprintf("Valid for another %d:%.2d minutes, for one PC.", left / 60, left % 60));
      FBtnCopy->setEnabled(!FBook.PairCode().empty());
      FBtnNewCode->setVisible(st == bpOffered);
      SetText(FAddStatus, msg, st == bpOffered ? kGreen : kGrey);
    } else {
      FCode->setText(QStringLiteral("----"));
      FCountdown->clear();
      FBtnCopy->setEnabled(false);
      FBtnNewCode->setVisible(true);
      SetText(FAddStatus, msg, st == bpFailed ? kRed : kGrey);
    }
  }
  if (FMode == smJoin) {
    if (st == bpJoining) {
      SetText(FJoinStatus, msg, kGrey);
      FBtnJoinGo->setEnabled(false);
    } else {
      if (st == bpJoined)
        SetText(FJoinStatus, msg, kGreen);
      else if (st == bpFailed)
        SetText(FJoinStatus, msg, kRed);
      else if (FJoinStatus->property("hint").toBool() == false)
        FJoinStatus->clear();
      FBtnJoinGo->setEnabled(true);
    }
  }
}

void TSyncForm::TurnOnClicked() {
  FBook.TurnOn();
  FMode = smNone;
  Refresh();
}

void TSyncForm::TurnOffClicked() {
  if (!AskYes || !AskYes(kTurnOffQuestion)) return;
  FBook.TurnOff();
  FMode = smNone;
  Refresh();
}

void TSyncForm::AddClicked() {
  FMode = smAdd;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::string code;
  FBook.StartPairing(code);
  QApplication::restoreOverrideCursor();
  Refresh();
}

void TSyncForm::JoinModeClicked() {
  if (FBook.PairState() == bpOffering || FBook.PairState() == bpOffered) FBook.CancelPairing();
  FMode = smJoin;
  FJoinStatus->setProperty("hint", false);
  Refresh();
  FCodeEdit->setFocus();
}

void TSyncForm::JoinClicked() {
  const std::string typed = FCodeEdit->text().toStdString();
  if (!NormalisePairCode(typed)) {
    FJoinStatus->setProperty("hint", true);
    SetText(FJoinStatus, QStringLiteral("Type the 8 letters and digits your other PC shows, like ABCD-EFGH."), kAmber);
    FCodeEdit->setFocus();
    return;
  }
  FJoinStatus->setProperty("hint", false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  FBook.JoinWithCode(typed);
  QApplication::restoreOverrideCursor();
  Refresh();
}

void TSyncForm::CopyCodeClicked() {
  if (QClipboard* clip = QGuiApplication::clipboard(); clip && !FBook.PairCode().empty())
    clip->setText(Q(FBook.PairCode()));
}

void TSyncForm::LongCodeClicked() {
  const bool wasOn = FBook.IsOn();
  const std::string fresh = wasOn ? std::string() : TBookSync::NewSecret();
  const std::string code = wasOn ? FBook.Secret() : fresh;
  if (!AskLongCode) return;
  const auto answer = AskLongCode(Q(code));
  if (!answer) return;
  const std::string a = AsciiLower(Trim(*answer));
  if (!a.empty() && !IsValidSecret(a)) {
    if (Warn) Warn(QStringLiteral("That is not a sync code (64 letters and digits)."));
    return;
  }
  if (!a.empty() && a != FBook.Secret()) {
    FBook.UseSecret(a, a == fresh);
  } else if (a.empty() && wasOn) {
    // Turning sync off this way asks first, as "Turn off" does.
    if (!AskYes || !AskYes(kTurnOffQuestion)) return;
    FBook.TurnOff();
  }
  FMode = smNone;
  Refresh();
}

bool TSyncForm::eventFilter(QObject* o, QEvent* e) {
  if (o == FLongCode && e->type() == QEvent::MouseButtonRelease) {
    LongCodeClicked();
    return true;
  }
  return QDialog::eventFilter(o, e);
}

void ShowSyncDialog(QWidget* AOwner, TBookSync* ABook) {
  if (!ABook) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Tovik"), QStringLiteral("Sync is not available right now."),
                    QMessageBox::Ok, AOwner);
    box.exec();
    return;
  }
  TSyncForm form(AOwner, *ABook);
  form.exec();
}

}  // namespace tovik
