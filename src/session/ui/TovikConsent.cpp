#include "session/ui/TovikConsent.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>

#include "app/ui/TovikButtons.h"
#include "app/ui/TovikTheme.h"
#include "session/ui/TovikOwnWindowTracker.h"

namespace tovik {

namespace {

QString GBrandName;
QString GBrandLogo;

const QColor kInk(0x1F2937), kMuted(0x6B7280), kBlue(0x2563EB), kRed(0xDC2626), kGreen(0x16A34A);

// A flat coloured answer panel with white text.
class TAnswerButton : public QWidget {
 public:
  TAnswerButton(const QString& text, const QColor& color, QWidget* parent)
      : QWidget(parent), FText(text), FColor(color) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
  }
  std::function<void()> OnClick;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(FDown ? Blend(FColor, Qt::black, 20) : FHover ? Blend(FColor, Qt::black, 10) : FColor);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), PxF(this, 8), PxF(this, 8));
    p.setPen(Qt::white);
    p.setFont(UiFont(15, true, this));
    p.drawText(rect(), Qt::AlignCenter, FText);
  }
  void enterEvent(QEnterEvent*) override {
    FHover = true;
    update();
  }
  void leaveEvent(QEvent*) override {
    FHover = false;
    update();
  }
  void mousePressEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton) FDown = true;
    update();
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    const bool click = FDown && e->button() == Qt::LeftButton && rect().contains(e->position().toPoint());
    FDown = false;
    update();
    if (click && OnClick) OnClick();
  }

 private:
  QString FText;
  QColor FColor;
  bool FHover = false, FDown = false;
};

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top, int width, int px, bool semibold,
                  const QColor& color, int height = 0) {
  auto* l = new QLabel(text, parent);
  l->setWordWrap(true);
  l->setTextFormat(Qt::PlainText);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setFont(UiFont(px, semibold, parent));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, color);
  l->setPalette(p);
  if (height <= 0) height = px * 3 + 6;
  // Never cut a wrapped text short: the UI font may need more room than the nominal three lines.
  const int h = std::max(Px(parent, height), l->heightForWidth(Px(parent, width)));
  l->setGeometry(Px(parent, left), Px(parent, top), Px(parent, width), h);
  return l;
}

QPixmap Fitted(const QImage& img, int box, const QWidget* w) {
  return QPixmap::fromImage(img.scaled(Px(w, box), Px(w, box), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

}  // namespace

bool TConsentCountdown::Tick(TTick now) {
  const TTick elapsed = now >= FStart ? (now - FStart) / 1000 : 0;
  FLeft = elapsed >= static_cast<TTick>(Seconds) ? 0 : Seconds - static_cast<int>(elapsed);
  return FLeft <= 0;
}

namespace {
// At most AMax UTF-16 units, the last one an ellipsis when cut; never half a character.
QString Clipped(const QString& AText, int AMax) {
  if (AText.size() <= AMax) return AText;
  int cut = AMax - 1;
  if (AText.at(cut - 1).isHighSurrogate()) --cut;
  return AText.left(cut) + QChar(0x2026);
}
}  // namespace

QString ConsentCountdownText(int left) {
  return QStringLiteral("No answer in %1 seconds counts as Deny. Enter and Escape also mean Deny.").arg(left);
}

QString ConsentSourceText(const QString& AAddress) {
  const QString address = AAddress.trimmed();
  if (address.isEmpty() || address.startsWith(QLatin1Char(':'))) return QStringLiteral("Connecting through the server");
  return QStringLiteral("Connecting from ") + Clipped(address, 80);
}

void SetConsentBrand(const QString& name, const QString& logoPath) {
  GBrandName = name;
  GBrandLogo = logoPath;
}

TConsentForm::TConsentForm(const QString& AHelper, const QString& AAddress, const QString& ACheckNumber,
                           const QImage& APicture, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint) {
  setWindowTitle(QStringLiteral("Tovik - someone wants to help you"));
  setModal(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  setAutoFillBackground(true);
  setFont(UiFont(13, false, this));
  int clientH = 300;

  // Names and addresses come from the other PC and the relay: hold them to a sane length.
  auto clip = [](const QString& t) { return Clipped(t, 80); };
  const QString helper = AHelper.isEmpty() ? QStringLiteral("A helper") : clip(AHelper) + QStringLiteral(" (helper)");
  int column = 472;
  if (!APicture.isNull()) {
    column = 388;
    FPicture = new QLabel(this);
    FPicture->setAlignment(Qt::AlignCenter);
    FPicture->setGeometry(Px(this, 424), Px(this, 16), Px(this, 72), Px(this, 72));
    FPicture->setPixmap(Fitted(APicture, 72, this));
  }
  FHead = MakeLabel(this, helper + QStringLiteral(" wants to see your screen"), 24, 20, column, 20, true, kInk);
  // A long name can wrap the first line onto more lines than fit above the address line: move
  // everything below down by what it needs instead of letting the lines overlap.
  const int headBottom = FHead->y() + FHead->heightForWidth(FHead->width());
  const int shift = std::max(0, headBottom + Px(this, 4) - Px(this, 58));
  auto down = [&](QWidget* w) { w->move(w->x(), w->y() + shift); };
  down(MakeLabel(this, ConsentSourceText(AAddress), 24, 58, column, 12, false, kMuted));
  down(MakeLabel(this, QStringLiteral("CHECK NUMBER"), 24, 92, 200, 11, true, kMuted));
  down(MakeLabel(this, clip(ACheckNumber), 24, 106, 220, 30, true, kBlue, 44));
  down(MakeLabel(this,
                 QStringLiteral("Ask your helper to read out the number on their screen. Only allow access if it is "
                                "exactly the same."),
                 250, 100, 246, 12, false, kInk));
  FCountdown = MakeLabel(this, QString(), 24, 262, 472, 12, false, kMuted);
  down(FCountdown);
  FHead->setFixedHeight(FHead->heightForWidth(FHead->width()));

  struct TDef {
    const char* Text;
    int Left;
    QColor Color;
    TConsentAnswer Answer;
  } defs[] = {{"Deny", 24, kRed, caDeny}, {"View only", 190, kBlue, caViewOnly}, {"Allow control", 356, kGreen, caControl}};
  for (const TDef& d : defs) {
    auto* b = new TAnswerButton(QString::fromLatin1(d.Text), d.Color, this);
    b->setGeometry(Px(this, d.Left), Px(this, 196) + shift, Px(this, 140), Px(this, 48));
    const TConsentAnswer answer = d.Answer;
    b->OnClick = [this, answer] { Choose(answer); };
    FButtons[d.Answer] = b;
  }

  const bool logoExists = !GBrandLogo.isEmpty() && QFileInfo(GBrandLogo).isFile();
  if (!GBrandName.isEmpty() || logoExists) {
    clientH = 352;
    if (!GBrandName.isEmpty())
      setWindowTitle(GBrandName + QStringLiteral(" - someone wants to help you"));
    QLabel* brand = MakeLabel(this, GBrandName.isEmpty() ? QString() : QStringLiteral("Remote support by ") + GBrandName,
                              24, 308, 472, 12, false, kMuted);
    down(brand);
    if (logoExists) {
      const QImage logo(GBrandLogo);
      if (!logo.isNull()) {
        auto* box = new QLabel(this);
        box->setAlignment(Qt::AlignCenter);
        box->setGeometry(Px(this, 24), Px(this, 296) + shift, Px(this, 40), Px(this, 40));
        box->setPixmap(Fitted(logo, 40, this));
        brand->move(Px(this, 74), brand->y());
      }
    }
  }
  setFixedSize(Px(this, 520), Px(this, clientH) + shift);
  if (QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());

  for (QWidget* w : findChildren<QWidget*>()) {
    w->setFocusPolicy(Qt::NoFocus);
    w->installEventFilter(this);
  }
  FClock.Start(TickMs());
  CountdownTick();
  FTimer.setTimerType(Qt::PreciseTimer);
  connect(&FTimer, &QTimer::timeout, this, &TConsentForm::CountdownTick);
  FTimer.start(250);
  ThemeWindow(this);
}

TConsentForm::~TConsentForm() { FTimer.stop(); }

int TConsentForm::TextColumnWidth() const { return FHead ? FHead->width() : 0; }

QString TConsentForm::CountdownLine() const { return FCountdown ? FCountdown->text() : QString(); }
QString TConsentForm::HeadLine() const { return FHead ? FHead->text() : QString(); }
QWidget* TConsentForm::AnswerButton(TConsentAnswer answer) const { return FButtons[answer]; }

void TConsentForm::CountdownTick() {
  if (FDone) return;
  if (FClock.Tick(TickMs())) {
    Finish(caDeny);
    return;
  }
  const QString text = ConsentCountdownText(FClock.Left());
  if (FCountdown->text() != text) FCountdown->setText(text);
}

void TConsentForm::Choose(TConsentAnswer answer) { Finish(answer); }

void TConsentForm::Finish(TConsentAnswer answer) {
  if (FDone) return;
  FDone = true;
  FAnswer = answer;
  FTimer.stop();
  done(answer == caDeny ? QDialog::Rejected : QDialog::Accepted);
}

void TConsentForm::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      e->accept();
      Finish(caDeny);
      return;
    default: QDialog::keyPressEvent(e);
  }
}

bool TConsentForm::eventFilter(QObject* o, QEvent* e) {
  // Key preview: Enter and Escape mean Deny wherever the focus is.
  if (e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter || k->key() == Qt::Key_Escape) {
      Finish(caDeny);
      return true;
    }
  }
  return QDialog::eventFilter(o, e);
}

void TConsentForm::closeEvent(QCloseEvent* e) {
  Finish(FDone ? FAnswer : caDeny);
  QDialog::closeEvent(e);
}

TConsentAnswer ShowConsent(const QString& AHelper, const QString& AAddress, const QString& ACheckNumber,
                           const QImage& APicture) {
  TConsentForm form(AHelper, AAddress, ACheckNumber, APicture);
  form.exec();
  return form.Answer();
}

QPointer<TConsentForm> AskConsent(const QString& AHelper, const QString& AAddress, const QString& ACheckNumber,
                                  const QImage& APicture, std::function<void(TConsentAnswer)> done) {
  auto* form = new TConsentForm(AHelper, AAddress, ACheckNumber, APicture);
  form->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(form, &QDialog::finished, form, [form, done = std::move(done)](int) {
    if (!form->property("tovikAbandoned").toBool() && done) done(form->Answer());
  });
  form->open();
  return form;
}

void AbandonConsent(const QPointer<TConsentForm>& form) {
  if (!form) return;
  form->setProperty("tovikAbandoned", true);
  form->reject();
}

// ---- Stop bar ----

namespace {

// A small pill button for the red bar: white fill for Stop, translucent white for Pause.
class TStopBarButton : public TBarButton {
 public:
  TStopBarButton(const QString& text, bool strong, QWidget* parent) : TBarButton(text, 0, parent), FStrong(strong) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool hot = underMouse();
    QColor fill = FStrong ? QColor(Qt::white) : QColor(255, 255, 255, hot ? 70 : 45);
    if (FStrong && hot) fill = QColor(0xFEE2E2);
    p.setPen(FStrong ? Qt::NoPen : QPen(QColor(255, 255, 255, 150), 1));
    p.setBrush(fill);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    p.setPen(FStrong ? QColor(0xB91C1C) : QColor(Qt::white));
    p.setFont(UiFont(12, true, this));
    p.drawText(rect(), Qt::AlignCenter, Caption());
  }
  void enterEvent(QEnterEvent* e) override {
    TBarButton::enterEvent(e);
    update();
  }

 private:
  bool FStrong;
};

}  // namespace

QString StopBarText(const QString& helper, TConsentAnswer mode, bool paused) {
  const QString who = helper.isEmpty() ? QStringLiteral("A helper") : Clipped(helper, 60);
  if (paused) return QStringLiteral("Paused: %1 is still connected but sees nothing").arg(who);
  if (mode == caControl) return QStringLiteral("%1 is connected and can see and control this PC").arg(who);
  return QStringLiteral("%1 is connected and can see this PC (view only)").arg(who);
}

TStopBar::TStopBar(const QString& helper, TConsentAnswer mode)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool |
                           Qt::WindowDoesNotAcceptFocus),
      FHelper(helper),
      FMode(mode) {
  setWindowTitle(QStringLiteral("Tovik"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  FLabel = new QLabel(this);
  FLabel->setWordWrap(true);
  FLabel->setTextFormat(Qt::PlainText);
  FLabel->setFont(UiFont(13, true, this));
  QPalette p = FLabel->palette();
  p.setColor(QPalette::WindowText, Qt::white);
  FLabel->setPalette(p);
  FLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
  FPause = new TStopBarButton(QStringLiteral("Pause"), false, this);
  FStop = new TStopBarButton(QStringLiteral("Stop"), true, this);
  FPause->OnClick = [this] {
    SetPaused(!FPaused);
    if (OnPause) OnPause(FPaused);
  };
  // Raised from the event loop, not from inside the button's click, so the handler may delete the bar.
  FStop->OnClick = [this] {
    QMetaObject::invokeMethod(
        this, [this] { if (OnStop) OnStop(); }, Qt::QueuedConnection);
  };
  setMinimumSize(Px(this, 380), Px(this, 36));
  resize(Px(this, 560), Px(this, 44));
  FLabel->setText(Text());
  Relayout();
  PlaceOnScreen();
  FTracker = new TOwnWindowTracker(this);
}

TStopBar::~TStopBar() = default;

QString TStopBar::Text() const { return StopBarText(FHelper, FMode, FPaused); }

void TStopBar::SetMode(TConsentAnswer mode) {
  FMode = mode;
  FLabel->setText(Text());
}

void TStopBar::SetPaused(bool paused) {
  FPaused = paused;
  FPause->SetCaption(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
  FLabel->setText(Text());
  update();
}

void TStopBar::PlaceOnScreen() {
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    const QRect work = s->availableGeometry();
    move(work.left() + (work.width() - width()) / 2, work.top() + Px(this, 8));
  }
}

void TStopBar::Relayout() {
  const int bw = Px(this, 96), bh = Px(this, 28), gap = Px(this, 8), margin = Px(this, 12);
  const int y = (height() - bh) / 2;
  FStop->setGeometry(width() - margin - bw, y, bw, bh);
  FPause->setGeometry(FStop->x() - gap - bw, y, bw, bh);
  FLabel->setGeometry(Px(this, 16), 0, std::max(0, FPause->x() - gap - Px(this, 16)), height());
}

void TStopBar::resizeEvent(QResizeEvent*) { Relayout(); }

void TStopBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(0xDC2626));
  p.fillRect(QRect(0, height() - 1, width(), 1), QColor(0xB91C1C));
}

void TStopBar::closeEvent(QCloseEvent* e) {
  // The person at this PC must always see that someone is connected: only Stop or the session's end
  // remove the bar.
  e->ignore();
}

void TStopBar::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) FDragFrom = e->globalPosition().toPoint() - pos();
}

void TStopBar::mouseMoveEvent(QMouseEvent* e) {
  if (e->buttons() & Qt::LeftButton) move(e->globalPosition().toPoint() - FDragFrom);
}

}  // namespace tovik

namespace tovik {
QWidget* TStopBar::StopButton() const { return FStop; }
QWidget* TStopBar::PauseButton() const { return FPause; }
}  // namespace tovik
