// The chat and files window of a session (TToolsForm) and the desktop's clipboard as the session
// tools use it (TQtClipboard). Every text from the other PC is shown as plain text.
//
// Ownership: the tools own the window through TToolsWindowPtr and end that ownership with
// FreeSafely; while the file dialog is open the window frees itself when the dialog closes.
// GUI thread only.
#pragma once

#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

#include "session/TovikToolsPorts.h"

namespace tovik {

class TToolsForm : public QWidget, public IToolsWindow {
  Q_OBJECT
 public:
  // ADownloads: the folder "Open received files" opens (created when missing).
  TToolsForm(IToolsEvents& AEvents, const QString& ACaption, const QString& ADownloads);

  void AddLine(const std::string& AText, bool AShow) override;
  void SetProgress(const std::string& AText) override;
  void ShowWindow() override;
  bool ShareClipboard() const override { return FShareClip->isChecked(); }
  void FreeSafely() override;

  // For tests and screenshots.
  QPlainTextEdit* LogBox() const { return FLog; }
  QLineEdit* Input() const { return FInput; }
  QLabel* ProgressLabel() const { return FProgress; }
  QCheckBox* ShareBox() const { return FShareClip; }
  QPushButton* SendFilesButton() const { return FSendFiles; }
  QPushButton* OpenFolderButton() const { return FOpenFolder; }
  QPushButton* SendButton() const { return FSend; }
  // What Enter in the input and the Send button do.
  void SendInput();

 protected:
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void PickFiles();
  IToolsEvents* FEvents;
  QString FDownloads;
  QPlainTextEdit* FLog = nullptr;
  QLineEdit* FInput = nullptr;
  QLabel* FProgress = nullptr;
  QCheckBox* FShareClip = nullptr;
  QPushButton *FSendFiles = nullptr, *FOpenFolder = nullptr, *FSend = nullptr;
  bool FInDialog = false;
  bool FFreeAfterDialog = false;
};

// Makes tools windows whose "Open received files" opens ADownloads.
TToolsWindowFactory MakeToolsWindows(const QString& ADownloads);

// The CLIPBOARD selection's text through QClipboard.
class TQtClipboard : public QObject, public IToolsClipboard {
  Q_OBJECT
 public:
  TQtClipboard();
  std::optional<std::string> Text() override;
  void SetText(const std::string& AText) override;
  void Listen(std::function<void()> AChanged) override;

 private:
  std::function<void()> FChanged;
};

}  // namespace tovik
