// The settings dialog (TSettingsForm) with its tabs "General", "Network", "Profile" and "Updates", and
// the about box. The dialog never writes settings itself: it fills a TTovikSettings record on OK, and
// the main window applies it (ApplySettings, TovikSettingsApply.h).
//
// Threads: GUI thread only.
#pragma once

#include <QDialog>
#include <QTimer>

#include <functional>

#include "app/TovikSettingsApply.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace tovik {

class TSettingsForm final : public QDialog {
  Q_OBJECT
 public:
  // ABuiltIn: the built-in settings block (for "Default server"); must outlive the dialog.
  TSettingsForm(const TTovikSettings& ASettings, const TIniText& ABuiltIn, QWidget* AOwner);

  // Creates the dialog from the record and shows it modally; on OK stores the values into ASettings
  // and returns true. The dialog is freed afterwards.
  static bool Execute(TTovikSettings& ASettings, const TIniText& ABuiltIn, QWidget* AOwner);

  // Copies the dialog's values into the record (the rules of the OK button).
  void Store(TTovikSettings& ASettings) const;
  // Shows the tab with this caption (compared without regard to case); false when there is none.
  bool ShowPage(const QString& ACaption);
  // OK: refused with a warning (and the "Network" tab in front) while the server or port is invalid.
  void accept() override;
  // The status label and "Install now" from the updater's callables (every 500 ms while shown).
  void RefreshUpdates();

  // Messages; tests replace them. AskFn: a Yes/No question, true for Yes.
  std::function<void(const QString&)> WarnFn;
  std::function<bool(const QString&)> AskFn;

  QTabWidget* Pages() const { return FPages; }
  QCheckBox* EdgeBox() const { return FEdge; }
  QCheckBox* UnattendedBox() const { return FUnattended; }
  QCheckBox* AutoStartBox() const { return FAutoStart; }
  QLineEdit* HostBox() const { return FHost; }
  QLineEdit* PortBox() const { return FPort; }
  QLineEdit* NameBox() const { return FName; }
  QLabel* PictureView() const { return FPicture; }
  QLabel* UpdateText() const { return FUpdateText; }
  QPushButton* InstallButton() const { return FInstallBtn; }
  QPushButton* DefaultServerButton() const { return FDefaultServer; }
  void SetPicturePath(const QString& APath);

 private:
  QWidget* AddPage(const QString& ACaption);
  QCheckBox* CheckRow(QWidget* APage, int AY, const QString& ACaption, const QString& ANote, int ANoteH = 46);
  QLineEdit* EditRow(QWidget* APage, int AY, const QString& ACaption, const QString& AText, int AWidth = 300,
                     bool AReadOnly = false);

  const TIniText& FBuiltIn;
  QTabWidget* FPages = nullptr;
  QCheckBox *FEdge = nullptr, *FUnattended = nullptr, *FElevate = nullptr, *FWallpaper = nullptr,
            *FAutoStart = nullptr, *FRdpDraw = nullptr;
  QLineEdit *FRecordFolder = nullptr, *FHost = nullptr, *FPort = nullptr, *FName = nullptr, *FCompany = nullptr,
            *FEmail = nullptr, *FPhone = nullptr;
  QLabel* FPicture = nullptr;
  QString FPicturePath;
  std::function<std::string()> FUpdateStatus;
  std::function<bool()> FUpdateReady;
  std::function<void()> FOnCheckUpdate;
  std::function<void()> FOnInstallUpdate;
  QLabel* FUpdateText = nullptr;
  QPushButton* FInstallBtn = nullptr;
  QPushButton* FDefaultServer = nullptr;
  QTimer FUpdateTimer;
};

// The about box: the title, the build and a short description, and "What's new" when the program
// carries change notes. AChanges: the change notes (UTF-8), empty for none.
class TAboutBox final : public QDialog {
  Q_OBJECT
 public:
  TAboutBox(const QString& ATitle, const QString& ABuild, const QString& AChanges, QWidget* AOwner);
  static void Execute(const QString& ATitle, const QString& ABuild, const QString& AChanges, QWidget* AOwner);
  QPushButton* ChangesButton() const { return FChanges; }
  QPushButton* OkButton() const { return FOk; }
  QLabel* Description() const { return FText; }

 private:
  QPushButton* FChanges = nullptr;
  QPushButton* FOk = nullptr;
  QLabel* FText = nullptr;
};

// The product's web and download pages (deployment values).
inline constexpr const char* kProductPage = "https://tovik.net/";
inline constexpr const char* kDownloadPage = "https://tovik.net/download";

}  // namespace tovik
