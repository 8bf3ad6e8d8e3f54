#include "records/ui/TovikHistoryForm.h"

#include <QCheckBox>
#include <QDate>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/ui/TovikTheme.h"
#include "records/TovikXlsx.h"

namespace tovik {

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

struct TColumn {
  const char* Caption;
  int Width;
};
constexpr TColumn kColumns[] = {{"Start", 120},      {"Minutes", 60},         {"Role", 60},
                                {"ID", 90},          {"Name", 150},           {"Computer (user)", 220},
                                {"Files sent", 70},  {"Files received", 90},  {"Chats", 50}};
constexpr int kColumnCount = static_cast<int>(sizeof kColumns / sizeof kColumns[0]);

// The window's size at creation; the buttons keep their distance from its right edge.
constexpr int kFormWidth = 980, kFormHeight = 520, kTopPanel = 40;

class TQtHistoryPrompts : public IHistoryPrompts {
 public:
  QString AskSavePath(QWidget* owner, const QString& proposedName) override {
    QFileDialog dlg(owner, QStringLiteral("Export the session history"), proposedName,
                    QStringLiteral("Excel workbook (*.xlsx)"));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix(QStringLiteral("xlsx"));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return {};
    return dlg.selectedFiles().first();
  }
  bool AskYesNo(QWidget* owner, const QString& text, bool warning) override {
    QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::Information, owner->windowTitle(), text,
                    QMessageBox::Yes | QMessageBox::No, owner);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(warning ? QMessageBox::No : QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
  }
  void ShowError(QWidget* owner, const QString& text) override {
    QMessageBox box(QMessageBox::Critical, owner->windowTitle(), text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }
  void OpenFile(const QString& path) override { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
};

}  // namespace

std::unique_ptr<IHistoryPrompts> IHistoryPrompts::CreateQt() { return std::make_unique<TQtHistoryPrompts>(); }

// ---- model ----------------------------------------------------------------------------------------

void THistoryModel::SetRows(std::vector<THistoryListRow> rows) {
  beginResetModel();
  FRows = std::move(rows);
  endResetModel();
}

int THistoryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int THistoryModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant THistoryModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= static_cast<int>(FRows.size())) return {};
  const THistoryListRow& r = FRows[static_cast<std::size_t>(index.row())];
  const std::string* fields[] = {&r.Start, &r.Minutes,   &r.Role,          &r.ID,   &r.Name,
                                 &r.Computer, &r.FilesSent, &r.FilesReceived, &r.Chats};
  return Q(*fields[index.column()]);
}

QVariant THistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount) return {};
  return QString::fromLatin1(kColumns[section].Caption);
}

// ---- window ---------------------------------------------------------------------------------------

THistoryForm::THistoryForm(std::string sessionsPath, TSavedNames savedNames, std::unique_ptr<IHistoryPrompts> prompts,
                           QWidget* owner)
    : QWidget(owner, Qt::Window),
      FSessionsPath(std::move(sessionsPath)),
      FSavedNames(std::move(savedNames)),
      FPrompts(prompts ? std::move(prompts) : IHistoryPrompts::CreateQt()) {
  setWindowTitle(QStringLiteral("Session history"));
  resize(kFormWidth, kFormHeight);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  auto* top = new QWidget(this);
  top->setObjectName(QStringLiteral("HistoryTopPanel"));
  top->setFixedHeight(kTopPanel);
  column->addWidget(top);

  FOnlyHelped = new QCheckBox(QStringLiteral("Only sessions where I was the helper"), top);
  FOnlyHelped->setGeometry(12, 11, 260, 19);
  connect(FOnlyHelped, &QCheckBox::clicked, this, [this] { Reload(); });
  FCount = new QLabel(top);
  FCount->setTextFormat(Qt::PlainText);
  FCount->setGeometry(290, 13, 300, 15);
  FExport = new QPushButton(QStringLiteral("Export to Excel..."), top);
  connect(FExport, &QPushButton::clicked, this, [this] { Export(); });
  FClear = new QPushButton(QStringLiteral("Clear history..."), top);
  connect(FClear, &QPushButton::clicked, this, [this] { Clear(); });
  PlaceButtons();

  FModel = new THistoryModel(this);
  FList = new QTableView(this);
  FList->setModel(FModel);
  FList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FList->setSelectionBehavior(QAbstractItemView::SelectRows);
  FList->setSelectionMode(QAbstractItemView::SingleSelection);
  FList->setShowGrid(true);
  FList->verticalHeader()->hide();
  FList->verticalHeader()->setDefaultSectionSize(20);
  FList->horizontalHeader()->setHighlightSections(false);
  FList->setWordWrap(false);
  for (int c = 0; c < kColumnCount; ++c) FList->setColumnWidth(c, kColumns[c].Width);
  column->addWidget(FList, 1);
  ThemeWindow(this);
}

// Anchored to the top right: the same distance from the right edge at any width.
void THistoryForm::PlaceButtons() {
  FExport->setGeometry(width() - (kFormWidth - 662), 7, 150, 25);
  FClear->setGeometry(width() - (kFormWidth - 820), 7, 140, 25);
}

void THistoryForm::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  PlaceButtons();
}

void THistoryForm::Open() {
  Reload();
  if (!isVisible() && parentWidget()) {
    const QRect o = parentWidget()->frameGeometry();
    move(o.center() - QPoint(width() / 2, height() / 2));
  }
  show();
  raise();
  activateWindow();
}

void THistoryForm::Reload() {
  std::vector<THistoryRecord> records;
  ReadSessionsFile(FSessionsPath, records);  // an unreadable file shows as an empty history
  auto rows = BuildHistoryList(records, SavedNames(), FOnlyHelped->isChecked());
  FCount->setText(QStringLiteral("%1 sessions").arg(rows.size()));
  FModel->SetRows(std::move(rows));
}

void THistoryForm::Export() {
  const QDate today = QDate::currentDate();
  const QString path = FPrompts->AskSavePath(this, Q(ProposedExportName(today.year(), today.month(), today.day())));
  if (path.isEmpty()) return;
  std::vector<THistoryRecord> records;
  ReadSessionsFile(FSessionsPath, records);
  const auto rows = BuildHistoryExport(records, SavedNames(), FOnlyHelped->isChecked());
  const TXlsxSheet sheet{"Sessions", HistoryExportHeaders(), &rows, &HistoryExportColumnIsNumeric};
  const TFileResult r = WriteXlsxFile(path.toStdString(), sheet);
  if (!r) {
    FPrompts->ShowError(this, QStringLiteral("Could not save the file: ") + Q(r.Error));
    return;
  }
  if (FPrompts->AskYesNo(this, QStringLiteral("Exported. Open it now?"), false)) FPrompts->OpenFile(path);
}

void THistoryForm::Clear() {
  if (!FPrompts->AskYesNo(this,
                          QStringLiteral("Remove the whole session history? This cannot be undone. Export it to "
                                         "Excel first if you want to keep it."),
                          true))
    return;
  if (std::remove(FSessionsPath.c_str()) != 0 && errno != ENOENT)
    FPrompts->ShowError(this, QStringLiteral("The history file could not be removed."));
  Reload();
}

}  // namespace tovik
