// The session history window: the finished sessions of Sessions.csv, newest first, with the export to
// an Excel workbook and the clearing of the history.
//
// GUI thread only. One instance per process, owned by the window that opens it (Qt parent); closing
// hides it, and each Open reloads the list from the file.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "records/TovikHistory.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QTableView;

namespace tovik {

// The questions and answers of the window, replaceable so that tests can drive them without modal
// dialogs. The Qt implementation uses the standard dialogs and the desktop's "open" for files.
class IHistoryPrompts {
 public:
  virtual ~IHistoryPrompts() = default;
  // The file to export to; empty when cancelled.
  virtual QString AskSavePath(QWidget* owner, const QString& proposedName) = 0;
  virtual bool AskYesNo(QWidget* owner, const QString& text, bool warning) = 0;
  virtual void ShowError(QWidget* owner, const QString& text) = 0;
  virtual void OpenFile(const QString& path) = 0;
  static std::unique_ptr<IHistoryPrompts> CreateQt();
};

// The rows of the list as a read-only table.
class THistoryModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  using QAbstractTableModel::QAbstractTableModel;
  void SetRows(std::vector<THistoryListRow> rows);
  const std::vector<THistoryListRow>& Rows() const { return FRows; }
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::vector<THistoryListRow> FRows;
};

class THistoryForm : public QWidget {
  Q_OBJECT
 public:
  // The saved names (digits of the ID -> name), asked for at each reload and export.
  using TSavedNames = std::function<std::map<std::string, std::string>()>;
  // sessionsPath: Sessions.csv; savedNames: the saved PCs' names (may be empty). prompts may be null
  // for the standard dialogs.
  THistoryForm(std::string sessionsPath, TSavedNames savedNames, std::unique_ptr<IHistoryPrompts> prompts,
               QWidget* owner);

  // Reloads, shows and raises the window.
  void Open();
  void Reload();
  void Export();
  void Clear();

  // For the tests and the screenshots.
  QTableView* List() const { return FList; }
  QCheckBox* OnlyHelped() const { return FOnlyHelped; }
  QLabel* Count() const { return FCount; }
  QPushButton* ExportButton() const { return FExport; }
  QPushButton* ClearButton() const { return FClear; }
  const THistoryModel& Model() const { return *FModel; }

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void PlaceButtons();
  std::map<std::string, std::string> SavedNames() const { return FSavedNames ? FSavedNames() : std::map<std::string, std::string>{}; }

  std::string FSessionsPath;
  TSavedNames FSavedNames;
  std::unique_ptr<IHistoryPrompts> FPrompts;
  THistoryModel* FModel = nullptr;
  QTableView* FList = nullptr;
  QCheckBox* FOnlyHelped = nullptr;
  QLabel* FCount = nullptr;
  QPushButton* FExport = nullptr;
  QPushButton* FClear = nullptr;
};

}  // namespace tovik
