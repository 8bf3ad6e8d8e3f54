#include "records/ui/TovikRecordForms.h"

#include <QCheckBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTextCursor>
#include <QVBoxLayout>

#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"
#include "base/TovikBytes.h"
#include "net/TovikWire.h"
#include "records/TovikFeedback.h"

namespace tovik {

namespace {

constexpr std::uint32_t kGreen = 0x16A34A, kAmber = 0xD97706, kRed = 0xDC2626, kGrey = 0x6B7280;
constexpr std::uint32_t kPanel = 0xEEF1F6;

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }

QLabel* PlainLabel(const QString& text, QWidget* parent, bool wrap = false) {
  auto* l = new QLabel(parent);
  l->setTextFormat(Qt::PlainText);
  l->setText(text);
  l->setWordWrap(wrap);
  return l;
}

QLabel* Heading(const QString& text, QWidget* parent) {
  QLabel* l = PlainLabel(text, parent);
  l->setFont(UiFont(20, true, parent));
  return l;
}

QWidget* LightPanel(QWidget* parent) {
  auto* w = new QWidget(parent);
  w->setObjectName(QStringLiteral("LightPanel"));
  w->setAutoFillBackground(true);
  QPalette p = w->palette();
  p.setColor(QPalette::Window, IsDark() ? MapDarkBackground(QColor(QRgb(kPanel))) : QColor(QRgb(kPanel)));
  w->setPalette(p);
  return w;
}

void Colour(QLabel* l, std::uint32_t colour) {
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, LookInk(QColor(QRgb(colour))));
  l->setPalette(p);
}

std::int64_t Utf8Bytes(const QString& s) { return s.toUtf8().size(); }

bool IsCtrlEnter(QKeyEvent* e) {
  return (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && (e->modifiers() & Qt::ControlModifier);
}

}  // namespace

void CutToUtf8Bytes(QPlainTextEdit* edit, std::int64_t maxBytes) {
  const QString text = edit->toPlainText();
  if (Utf8Bytes(text) <= maxBytes) return;
  const std::string cut = Utf8Truncate(S(text), maxBytes < 0 ? 0 : static_cast<std::size_t>(maxBytes));
  const QSignalBlocker block(edit);
  edit->setPlainText(Q(cut));
  edit->moveCursor(QTextCursor::End);
}

// ---- session report -------------------------------------------------------------------------------

TReportForm::TReportForm(const TReportAsk& ask, const QString& helperName, const QString& pcName, QWidget* owner)
    : QWidget(owner, Qt::Window), FAsk(ask) {
  setWindowTitle(QStringLiteral("Tovik - Session report"));
  setFixedSize(560, 620);
  auto* col = new QVBoxLayout(this);
  col->setContentsMargins(24, 20, 24, 16);
  col->addWidget(Heading(QStringLiteral("Session report"), this));
  col->addWidget(PlainLabel(QStringLiteral("What did you do, and for whom? It is saved on your company's Tovik server, "
                                           "for the usage report and the invoice."),
                            this, true));
  QWidget* panel = LightPanel(this);
  auto* pcol = new QVBoxLayout(panel);
  const QDateTime start = QDateTime::fromSecsSinceEpoch(ask.Started).toLocalTime();
  const QDateTime end = QDateTime::fromSecsSinceEpoch(ask.Ended).toLocalTime();
  const QLocale c(QLocale::English);
  FWhen = PlainLabel(c.toString(start.date(), QStringLiteral("dddd d MMMM yyyy")) + QStringLiteral(", ") +
                         start.toString(QStringLiteral("hh:mm")) + QStringLiteral(" - ") +
                         end.toString(QStringLiteral("hh:mm")) + QStringLiteral(" (") + Q(FormatDuration(ask.Seconds)) +
                         QStringLiteral(")"),
                     panel);
  pcol->addWidget(FWhen);
  pcol->addWidget(PlainLabel(QStringLiteral("PC helped: ") + Q(FormatID(ask.HelpedID)), panel));
  col->addWidget(panel);

  auto field = [&](const QString& caption, const QString& text) {
    col->addWidget(PlainLabel(caption, this));
    auto* e = new QLineEdit(text.left(static_cast<qsizetype>(kReportFieldChars)), this);
    e->setMaxLength(static_cast<int>(kReportFieldChars));
    col->addWidget(e);
    return e;
  };
  FHelper = field(QStringLiteral("Helper"), helperName);
  FPcName = field(QStringLiteral("PC name"), pcName);
  FCustomer = field(QStringLiteral("Customer / company"), QString());
  FContact = field(QStringLiteral("Contact person"), QString());
  auto* billRow = new QHBoxLayout();
  FBillable = new QCheckBox(QStringLiteral("Bill this session"), this);
  FBillable->setChecked(true);
  billRow->addWidget(FBillable);
  billRow->addWidget(PlainLabel(QStringLiteral("Minutes to bill"), this));
  FMinutes = new QLineEdit(QString::number(DefaultBillMinutes(ask.Seconds)), this);
  FMinutes->setMaxLength(5);
  FMinutes->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), FMinutes));
  connect(FBillable, &QCheckBox::toggled, FMinutes, &QWidget::setEnabled);
  billRow->addWidget(FMinutes);
  billRow->addStretch(1);
  col->addLayout(billRow);
  auto* textRow = new QHBoxLayout();
  textRow->addWidget(PlainLabel(QStringLiteral("What was done"), this));
  textRow->addStretch(1);
  FCounter = PlainLabel(QString(), this);
  textRow->addWidget(FCounter);
  col->addLayout(textRow);
  FText = new QPlainTextEdit(this);
  FText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  FText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  col->addWidget(FText, 1);
  for (QLineEdit* e : {FHelper, FPcName, FCustomer, FContact})
    connect(e, &QLineEdit::textChanged, this, [this] { UpdateCounter(); });
  connect(FText, &QPlainTextEdit::textChanged, this, [this] { UpdateCounter(); });

  auto* bottom = new QHBoxLayout();
  FStatus = PlainLabel(QString(), this, true);
  bottom->addWidget(FStatus, 1);
  auto* save = new QPushButton(QStringLiteral("Save"), this);
  save->setDefault(true);
  auto* skip = new QPushButton(QStringLiteral("Skip"), this);
  connect(save, &QPushButton::clicked, this, [this] { Save(); });
  connect(skip, &QPushButton::clicked, this, [this] { Skip(); });
  bottom->addWidget(save);
  bottom->addWidget(skip);
  col->addLayout(bottom);
  UpdateCounter();
  ThemeWindow(this);
  (pcName.trimmed().isEmpty() ? FPcName : FCustomer)->setFocus();
}

TReportFields TReportForm::Fields() const {
  TReportFields f;
  f.Helper = S(FHelper->text());
  f.PcName = S(FPcName->text());
  f.Customer = S(FCustomer->text());
  f.Contact = S(FContact->text());
  f.Billable = FBillable->isChecked();
  bool ok = false;
  const qlonglong m = FMinutes->text().trimmed().toLongLong(&ok);
  f.Minutes = ok ? std::clamp<qlonglong>(m, 0, 99999) : 0;
  f.Text = S(FText->toPlainText());
  return f;
}

// The description may use what the other fields leave of the wire's bytes; a longer text is cut at the
// last whole character, so what the counter allows can always be sent.
void TReportForm::UpdateCounter() {
  TReportFields f = Fields();
  f.Text.clear();
  const std::int64_t room = ReportBytesLeft(FAsk, f) - 1;  // the text's own line feed before it
  CutToUtf8Bytes(FText, room);
  const std::int64_t used = Utf8Bytes(FText->toPlainText());
  FCounter->setText(QStringLiteral("%1 / %2").arg(used).arg(std::max<std::int64_t>(room, 0)));
  Colour(FCounter, used > room * 95 / 100 ? kAmber : kGrey);
}

void TReportForm::SetStatus(const QString& text, std::uint32_t colour) {
  FStatus->setText(text);
  Colour(FStatus, colour);
}

void TReportForm::Save() {
  if (FDone) return;
  if (FCustomer->text().trimmed().isEmpty() && FText->toPlainText().trimmed().isEmpty()) {
    SetStatus(QStringLiteral("Fill in at least the customer or what was done (or click Skip)."), kAmber);
    FCustomer->setFocus();
    return;
  }
  const auto payload = BuildReportPayload(FAsk, Fields());
  if (!payload) {
    SetStatus(QStringLiteral("The description is too long for the server. Please make it a little shorter."), kRed);
    return;
  }
  FDone = true;
  if (OnSave) OnSave(*payload, FAsk);
  close();
}

void TReportForm::Skip() {
  if (FDone) return;
  FDone = true;
  if (OnSkip) OnSkip(FAsk);
  close();
}

void TReportForm::keyPressEvent(QKeyEvent* e) {
  if (IsCtrlEnter(e)) return Save();
  if (e->key() == Qt::Key_Escape) return Skip();
  QWidget::keyPressEvent(e);
}

// ---- feedback -------------------------------------------------------------------------------------

TFeedbackForm::TFeedbackForm(const QString& recipient, std::string build, QWidget* owner)
    : QWidget(owner, Qt::Window), FBuild(std::move(build)) {
  setWindowTitle(QStringLiteral("Tovik - Request a feature"));
  setFixedSize(540, 600);
  auto* col = new QVBoxLayout(this);
  col->setContentsMargins(24, 20, 24, 16);
  FBody = new QWidget(this);
  auto* body = new QVBoxLayout(FBody);
  body->setContentsMargins(0, 0, 0, 0);
  body->addWidget(Heading(QStringLiteral("Tell us what you think"), FBody));
  body->addWidget(PlainLabel(QStringLiteral("An idea, a problem, praise or anything else: it goes straight to ") +
                                 recipient + QStringLiteral(", and every message is read."),
                             FBody, true));
  body->addWidget(PlainLabel(QStringLiteral("What is it about?"), FBody));
  FKindSwitch = new TUiSegmented(FBody);
  for (const auto& k : FeedbackKinds())
    FKindSwitch->AddItem(TUiSegment{0, {}, QString::fromLatin1(k.Text), QString::fromLatin1(k.Hint), {}});
  FKindSwitch->SetItemIndex(0);
  FKindSwitch->setMinimumHeight(36);
  body->addWidget(FKindSwitch);
  auto* msgRow = new QHBoxLayout();
  msgRow->addWidget(PlainLabel(QStringLiteral("Your message"), FBody));
  msgRow->addStretch(1);
  FCounter = PlainLabel(QString(), FBody);
  msgRow->addWidget(FCounter);
  body->addLayout(msgRow);
  FMessage = new QPlainTextEdit(FBody);
  FMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  body->addWidget(FMessage, 1);
  body->addWidget(PlainLabel(QStringLiteral("Your e-mail address (optional)"), FBody));
  body->addWidget(PlainLabel(
      QStringLiteral("Only if you would like an answer. Leave it empty to stay anonymous."), FBody, true));
  FEmail = new QLineEdit(FBody);
  FEmail->setMaxLength(static_cast<int>(kFeedbackEmailChars));
  body->addWidget(FEmail);
  QWidget* panel = LightPanel(FBody);
  auto* pcol = new QVBoxLayout(panel);
  pcol->addWidget(PlainLabel(
      QStringLiteral("Sent with your message: what it is about, your text, the e-mail address if you fill it in, "
                     "and the Tovik build number. Not sent: your Tovik ID, the name of this PC, your IP address or "
                     "anything from your screen."),
      panel, true));
  body->addWidget(panel);
  col->addWidget(FBody, 1);

  FDone = new QWidget(this);
  auto* done = new QVBoxLayout(FDone);
  QLabel* thanks = PlainLabel(QStringLiteral("Thank you!"), FDone);
  thanks->setObjectName(QStringLiteral("Thanks"));
  thanks->setFont(UiFont(28, true, FDone));
  thanks->setAlignment(Qt::AlignCenter);
  Colour(thanks, kGreen);
  done->addStretch(1);
  done->addWidget(thanks);
  QLabel* delivered = PlainLabel(QStringLiteral("Your message has been delivered to ") + recipient +
                                     QStringLiteral(". If you left your e-mail address, you may get an answer there."),
                                 FDone, true);
  delivered->setAlignment(Qt::AlignCenter);
  done->addWidget(delivered);
  done->addStretch(1);
  FDone->hide();
  col->addWidget(FDone, 1);

  auto* bottom = new QHBoxLayout();
  FStatus = PlainLabel(QString(), this, true);
  bottom->addWidget(FStatus, 1);
  FSend = new QPushButton(QStringLiteral("Send"), this);
  FSend->setDefault(true);
  FClose = new QPushButton(QStringLiteral("Cancel"), this);
  connect(FSend, &QPushButton::clicked, this, [this] { Send(); });
  connect(FClose, &QPushButton::clicked, this, &QWidget::close);
  bottom->addWidget(FSend);
  bottom->addWidget(FClose);
  col->addLayout(bottom);
  connect(FMessage, &QPlainTextEdit::textChanged, this, [this] { UpdateCounter(); });
  connect(FEmail, &QLineEdit::textChanged, this, [this] { UpdateCounter(); });
  UpdateCounter();
  ThemeWindow(this);
  Colour(thanks, kGreen);
  FMessage->setFocus();
}

std::string TFeedbackForm::Plain() const {
  return FeedbackPlainText(FKindSwitch->ItemIndex(), S(FEmail->text()), FBuild, S(FMessage->toPlainText()));
}

// Counted in the bytes the wire carries: the message may use what the other lines leave, and a longer
// text is cut at the last whole character.
void TFeedbackForm::UpdateCounter() {
  const std::int64_t room =
      FeedbackBytesLeft(FeedbackPlainText(FKindSwitch->ItemIndex(), S(FEmail->text()), FBuild, std::string()));
  CutToUtf8Bytes(FMessage, room);
  const std::int64_t used = Utf8Bytes(FMessage->toPlainText());
  FCounter->setText(QStringLiteral("%1 / %2").arg(used).arg(std::max<std::int64_t>(room, 0)));
  Colour(FCounter, used > room * 95 / 100 ? kAmber : kGrey);
}

void TFeedbackForm::SetStatus(const QString& text, std::uint32_t colour) {
  FStatus->setText(text);
  Colour(FStatus, colour);
}

void TFeedbackForm::Send() {
  if (FSend->isHidden() || !FSend->isEnabled()) return;
  if (Busy && Busy()) return SetStatus(QStringLiteral("Still sending the last message..."), kGrey);
  if (Utf8Length(CleanFeedbackMessage(S(FMessage->toPlainText()))) <= 2) {
    SetStatus(QStringLiteral("Please write a few words first."), kAmber);
    FMessage->setFocus();
    return;
  }
  const std::string email = S(FEmail->text().trimmed());
  if (!email.empty() && !IsValidEmail(email)) {
    SetStatus(QStringLiteral("That e-mail address does not look right. Leave it empty to stay anonymous."), kAmber);
    FEmail->setFocus();
    return;
  }
  std::string error = "Tovik is not connected to the server right now. Try again in a moment.";
  if (OnSend && OnSend(Plain(), error)) {
    FSend->setEnabled(false);
    SetStatus(QStringLiteral("Sending..."), kGrey);
  } else {
    SetStatus(Q(error), kRed);
  }
}

void TFeedbackForm::Delivered() {
  FBody->hide();
  FSend->hide();
  FDone->show();
  FClose->setText(QStringLiteral("Close"));
  FClose->setDefault(true);
  FStatus->clear();
  FClose->setFocus();
}

void TFeedbackForm::NotDelivered(const QString& reason) {
  FSend->setEnabled(true);
  SetStatus(reason, kRed);
}

void TFeedbackForm::keyPressEvent(QKeyEvent* e) {
  if (IsCtrlEnter(e)) return Send();
  if (e->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(e);
}

}  // namespace tovik
