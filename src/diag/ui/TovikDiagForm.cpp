#include "diag/ui/TovikDiagForm.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <atomic>
#include <thread>

#include "app/ui/TovikGuiPost.h"
#include "app/ui/TovikTheme.h"
#include "base/TovikClock.h"

namespace tovik {

// Shared by the window and one run's worker. Alive is read and written on the GUI thread only (the
// queued calls run there); Stop is read by the worker.
struct TDiagForm::TToken {
  bool Alive = true;
  TDiagForm* Form = nullptr;
  std::atomic<bool> Stop{false};
};

TDiagForm::TDiagForm(TDiagSetup setup, TNetFactory net, QWidget* owner)
    : QWidget(owner, Qt::Window), FSetup(std::move(setup)), FNet(std::move(net)) {
  setWindowTitle(QStringLiteral("Test the connection"));
  resize(900, 760);
  setMinimumSize(600, 400);
  auto* col = new QVBoxLayout(this);
  auto* intro = new QLabel(this);
  intro->setTextFormat(Qt::PlainText);
  intro->setWordWrap(true);
  intro->setText(QStringLiteral(
      "Tovik checks, step by step, how this PC reaches the server and the internet. When a connection to another PC "
      "does not work, run this on both PCs and send both reports (Copy report) to your helper or to the vendor."));
  col->addWidget(intro);
  FMemo = new QPlainTextEdit(this);
  FMemo->setReadOnly(true);
  FMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  QFont mono(QStringLiteral("Consolas"));
  mono.setStyleHint(QFont::Monospace);
  mono.setPixelSize(13);
  FMemo->setFont(mono);
  col->addWidget(FMemo, 1);
  auto* row = new QHBoxLayout();
  FNote = new QLabel(this);
  FNote->setTextFormat(Qt::PlainText);
  row->addWidget(FNote, 1);
  FRunBtn = new QPushButton(QStringLiteral("Test again"), this);
  FCopyBtn = new QPushButton(QStringLiteral("Copy report"), this);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  connect(FRunBtn, &QPushButton::clicked, this, [this] { Run(); });
  connect(FCopyBtn, &QPushButton::clicked, this, [this] { CopyReport(); });
  connect(close, &QPushButton::clicked, this, &QWidget::close);
  row->addWidget(FRunBtn);
  row->addWidget(FCopyBtn);
  row->addWidget(close);
  col->addLayout(row);
  ThemeWindow(this);
}

TDiagForm::~TDiagForm() {
  if (FToken) {
    FToken->Alive = false;  // late lines of the worker are dropped
    FToken->Stop = true;
  }
}

bool TDiagForm::Running() const { return FToken != nullptr; }

QString TDiagForm::Report() const { return FMemo->toPlainText(); }

void TDiagForm::Run() {
  if (FToken) return;
  InstallGuiPost();
  FMemo->clear();
  FNote->clear();
  FRunBtn->setEnabled(false);
  auto token = std::make_shared<TToken>();
  token->Form = this;
  FToken = token;
  std::unique_ptr<IDiagNet> net = FNet ? FNet() : nullptr;
  if (!net) {
    AddLine(QStringLiteral("The test stopped: this Tovik cannot test the network here."));
    Finished();
    return;
  }
  const std::string when = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toStdString();
  // The line hand-over: queued to the GUI thread, dropped once the window is gone or the run is over.
  auto post = [token](std::function<void(TDiagForm&)> what) {
    PostToGui([token, what = std::move(what)] {
      if (token->Alive && token->Form) what(*token->Form);
    });
  };
  std::thread([token, post, setup = FSetup, net = std::move(net), when] {
    RunDiag(
        setup, *net, [] { return TickMs(); }, [&token] { return token->Stop.load(); },
        [&](const std::string& line) {
          if (token->Stop) return;
          post([text = QString::fromStdString(line)](TDiagForm& f) { f.AddLine(text); });
        },
        when);
    post([](TDiagForm& f) { f.Finished(); });
  }).detach();
}

void TDiagForm::AddLine(const QString& line) { FMemo->appendPlainText(line); }

void TDiagForm::Finished() {
  if (FToken) FToken->Alive = false;
  FToken.reset();
  FRunBtn->setEnabled(true);
}

void TDiagForm::CopyReport() {
  QApplication::clipboard()->setText(Report());
  FNote->setText(QStringLiteral("The report is on the clipboard. Paste it in an e-mail or chat."));
}

void TDiagForm::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(e);
}

}  // namespace tovik
