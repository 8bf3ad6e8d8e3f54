#include "session/ui/TovikToolsForm.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMimeData>
#include <QScrollBar>
#include <QTime>
#include <QUrl>
#include <QVBoxLayout>

#include "app/ui/TovikTheme.h"

namespace tovik {

TToolsForm::TToolsForm(IToolsEvents& AEvents, const QString& ACaption, const QString& ADownloads)
    : FEvents(&AEvents), FDownloads(ADownloads) {
  setWindowTitle(ACaption);
  resize(520, 380);
  setAcceptDrops(true);

  auto* top = new QWidget(this);
  top->setFixedHeight(40);
  FSendFiles = new QPushButton(QStringLiteral("Send files..."), top);
  FSendFiles->setGeometry(8, 8, 110, 25);
  FOpenFolder = new QPushButton(QStringLiteral("Open received files"), top);
  FOpenFolder->setGeometry(124, 8, 140, 25);
  FShareClip = new QCheckBox(QStringLiteral("Share clipboard"), top);
  FShareClip->setGeometry(276, 12, 120, 17);
  FShareClip->setChecked(true);
  FProgress = new QLabel(top);
  FProgress->setGeometry(400, 12, 110, 17);
  FProgress->setTextFormat(Qt::PlainText);

  FLog = new QPlainTextEdit(this);
  FLog->setReadOnly(true);
  FLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  FLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FLog->setAcceptDrops(false);

  auto* bottom = new QWidget(this);
  bottom->setFixedHeight(36);
  FInput = new QLineEdit(bottom);
  FSend = new QPushButton(QStringLiteral("Send"), bottom);
  FSend->setFixedWidth(80);
  auto* row = new QHBoxLayout(bottom);
  row->setContentsMargins(4, 4, 4, 4);
  row->addWidget(FInput, 1);
  row->addWidget(FSend);

  auto* col = new QVBoxLayout(this);
  col->setContentsMargins(0, 0, 0, 0);
  col->setSpacing(0);
  col->addWidget(top);
  col->addWidget(FLog, 1);
  col->addWidget(bottom);

  connect(FSend, &QPushButton::clicked, this, &TToolsForm::SendInput);
  connect(FInput, &QLineEdit::returnPressed, this, &TToolsForm::SendInput);
  connect(FSendFiles, &QPushButton::clicked, this, &TToolsForm::PickFiles);
  connect(FOpenFolder, &QPushButton::clicked, this, [this] {
    QDir().mkpath(FDownloads);
    QDesktopServices::openUrl(QUrl::fromLocalFile(FDownloads));
  });
  ThemeWindow(this);
  FInput->setFocus();  // typing in a shown chat window writes the next line
}

void TToolsForm::AddLine(const std::string& AText, bool AShow) {
  FLog->appendPlainText(QTime::currentTime().toString(QStringLiteral("hh:mm")) + QStringLiteral("  ") +
                        QString::fromStdString(AText));
  FLog->verticalScrollBar()->setValue(FLog->verticalScrollBar()->maximum());
  if (AShow && !isVisible()) show();
}

void TToolsForm::SetProgress(const std::string& AText) { FProgress->setText(QString::fromStdString(AText)); }

void TToolsForm::ShowWindow() {
  show();
  raise();
  activateWindow();
  FInput->setFocus();
}

void TToolsForm::SendInput() {
  const QString text = FInput->text().trimmed();
  if (text.isEmpty()) return;
  FInput->clear();
  if (FEvents) FEvents->OnSendText(text.toStdString());
}

void TToolsForm::PickFiles() {
  FInDialog = true;
  const QStringList files = QFileDialog::getOpenFileNames(this, QStringLiteral("Send files to the other PC"));
  FInDialog = false;
  if (FFreeAfterDialog) {
    deleteLater();
    return;
  }
  std::vector<std::string> paths;
  for (const QString& f : files)
    if (QFileInfo(f).isFile()) paths.push_back(f.toStdString());
  if (!paths.empty() && FEvents) FEvents->OnSendFiles(paths);
}

void TToolsForm::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void TToolsForm::dropEvent(QDropEvent* e) {
  std::vector<std::string> paths;
  for (const QUrl& u : e->mimeData()->urls())
    if (u.isLocalFile() && QFileInfo(u.toLocalFile()).isFile()) paths.push_back(u.toLocalFile().toStdString());
  if (!paths.empty() && FEvents) FEvents->OnSendFiles(paths);
  e->acceptProposedAction();
}

void TToolsForm::closeEvent(QCloseEvent* e) {
  // Closing only hides: the lines stay until the session ends.
  e->ignore();
  hide();
}

void TToolsForm::FreeSafely() {
  FEvents = nullptr;
  if (FInDialog) {
    FFreeAfterDialog = true;
    return;
  }
  hide();
  deleteLater();
}

TToolsWindowFactory MakeToolsWindows(const QString& ADownloads) {
  return [ADownloads](IToolsEvents& AEvents, const std::string& ACaption) {
    return TToolsWindowPtr(new TToolsForm(AEvents, QString::fromStdString(ACaption), ADownloads));
  };
}

// ---- clipboard ------------------------------------------------------------------------------------

TQtClipboard::TQtClipboard() {
  connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, [this] {
    if (FChanged) FChanged();
  });
}

std::optional<std::string> TQtClipboard::Text() {
  const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
  if (!data || !data->hasText()) return std::nullopt;
  return data->text().toStdString();
}

void TQtClipboard::SetText(const std::string& AText) {
  QGuiApplication::clipboard()->setText(QString::fromStdString(AText), QClipboard::Clipboard);
}

void TQtClipboard::Listen(std::function<void()> AChanged) { FChanged = std::move(AChanged); }

}  // namespace tovik
