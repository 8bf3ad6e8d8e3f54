#include "app/TovikSettingsForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/TovikPictures.h"
#include "app/ui/TovikTheme.h"
#include "app/ui/TovikUi.h"

namespace tovik {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

void Place(QWidget* w, int x, int y, int width, int height) {
  w->setGeometry(Px(w, x), Px(w, y), Px(w, width), Px(w, height));
}

QLabel* Note(QWidget* parent, const QString& text, int x, int y, int width, int height) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);
  l->setWordWrap(true);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setFont(UiFont(11, false, parent));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, QColor(0x6B7280));
  l->setPalette(p);
  Place(l, x, y, width, height);
  return l;
}

QLabel* Label(QWidget* parent, const QString& text, int x, int y, int width, int height) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);
  Place(l, x, y, width, height);
  return l;
}

QPushButton* Button(QWidget* parent, const QString& text, int x, int y, int width, int height) {
  auto* b = new QPushButton(text, parent);
  b->setAutoDefault(false);
  Place(b, x, y, width, height);
  return b;
}

constexpr int kPageW = 480;

}  // namespace

// ---- settings dialog ------------------------------------------------------------------------------

TSettingsForm::TSettingsForm(const TTovikSettings& s, const TIniText& ABuiltIn, QWidget* AOwner)
    : QDialog(AOwner), FBuiltIn(ABuiltIn) {
  setWindowTitle(QStringLiteral("Settings"));
  setFont(UiFont(12, false, this));
  setFixedSize(Px(this, kPageW), Px(this, 480));
  WarnFn = [this](const QString& t) { QMessageBox::warning(this, windowTitle(), t); };
  AskFn = [this](const QString& t) {
    return QMessageBox::question(this, windowTitle(), t, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  };

  // The bottom panel with OK and Cancel; the page control fills the rest.
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setDefault(true);
  Place(ok, 296, 480 - 44 + 10, 80, 25);
  connect(ok, &QPushButton::clicked, this, &TSettingsForm::accept);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setAutoDefault(false);
  Place(cancel, 384, 480 - 44 + 10, 80, 25);
  connect(cancel, &QPushButton::clicked, this, &TSettingsForm::reject);
  FPages = new QTabWidget(this);
  FPages->setGeometry(0, 0, width(), height() - Px(this, 44));

  // General.
  QWidget* general = AddPage(QStringLiteral("General"));
  FEdge = CheckRow(general, 16, QStringLiteral("Switch screens at the edge of the picture"),
                   QStringLiteral("When helping a PC with more screens: push the mouse against the left or right edge "
                                  "of the picture to go to the screen on that side."));
  FUnattended = CheckRow(general, 84, QStringLiteral("Unattended access"),
                         QStringLiteral("Helpers can connect to this PC without anyone clicking Allow. The main window "
                                        "still shows every session."));
  FElevate = CheckRow(general, 152, QStringLiteral("Always start Tovik as administrator"),
                      QStringLiteral("The desktop may ask for permission each time Tovik starts. If Tovik Support "
                                     "Agent is running, admin support is provided by the service after you allow the "
                                     "session, without elevating the whole Tovik window."));
  FWallpaper = CheckRow(general, 220, QStringLiteral("Black desktop on the PC I help (faster)"),
                        QStringLiteral("Hides the desktop background of the helped PC during the session, so there is "
                                       "far less to send. Untick to see their own background."));
  FAutoStart = CheckRow(general, 288, QStringLiteral("Start with the desktop (in the system tray)"),
                        QStringLiteral("Tovik starts hidden next to the clock when you sign in, ready for your helper. "
                                       "Turns on Keep this ID; asks before it turns on Unattended access."));
  FRecordFolder = EditRow(general, 360, QStringLiteral("Recordings folder"), Q(s.RecordFolder), 250);
  QPushButton* browse = Button(general, QStringLiteral("Browse..."), 386, 359, 80, 25);
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString start = QFileInfo(FRecordFolder->text()).isDir() ? FRecordFolder->text() : QString();
    const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Folder for session recordings"), start,
                                                          QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty()) FRecordFolder->setText(QDir::toNativeSeparators(dir));
  });

  // Network.
  QWidget* network = AddPage(QStringLiteral("Network"));
  FHost = EditRow(network, 16, QStringLiteral("Server"), Q(s.RelayHost));
  FPort = EditRow(network, 48, QStringLiteral("Port"), QString::number(s.RelayPort));
  FPort->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), FPort));
  FDefaultServer = Button(network, QStringLiteral("Default server"), 130, 80, 140, 25);
  connect(FDefaultServer, &QPushButton::clicked, this, [this] {
    const auto [host, port] = DefaultServer(FBuiltIn);
    FHost->setText(Q(host));
    FPort->setText(QString::number(port));
  });
  auto* current = Label(network, QStringLiteral("Current connection: ") + Q(s.RelayStatus), 16, 118, 440, 50);
  current->setWordWrap(true);
  current->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Note(network,
       QStringLiteral("Another server takes effect after Tovik restarts. Its key is learned and remembered on the "
                      "first connection."),
       16, 176, 440, 40);
  FRdpDraw = CheckRow(network, 236, QStringLiteral("Remote Desktop keeps drawing when minimized"),
                      QStringLiteral("For Remote Desktop windows on this PC: the remote PC's screen keeps going while "
                                     "the window is minimized, so Tovik there can still show it. Takes effect for the "
                                     "next Remote Desktop connection. On by default."),
                      68);

  // Profile.
  QWidget* profile = AddPage(QStringLiteral("Profile"));
  FName = EditRow(profile, 16, QStringLiteral("Name"), Q(s.ProfileName));
  FCompany = EditRow(profile, 48, QStringLiteral("Company"), Q(s.Company));
  FEmail = EditRow(profile, 80, QStringLiteral("E-mail"), Q(s.Email));
  FPhone = EditRow(profile, 112, QStringLiteral("Phone"), Q(s.Phone));
  EditRow(profile, 152, QStringLiteral("Computer name"), Q(s.ComputerName), 300, true);
  EditRow(profile, 184, QStringLiteral("Windows user"), Q(s.WindowsUser), 300, true);
  EditRow(profile, 216, QStringLiteral("Tovik ID"), Q(s.TovikID), 300, true);
  Label(profile, QStringLiteral("Picture"), 16, 255, 110, 15);
  FPicture = new QLabel(profile);
  FPicture->setAlignment(Qt::AlignCenter);
  Place(FPicture, 130, 252, 64, 64);
  QPushButton* choose = Button(profile, QStringLiteral("Choose..."), 206, 256, 100, 25);
  connect(choose, &QPushButton::clicked, this, [this] {
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Choose a profile picture"), QString(),
                                                      QStringLiteral("Pictures (*.png *.jpg *.jpeg *.bmp)"));
    if (!file.isEmpty()) SetPicturePath(file);
  });
  QPushButton* remove = Button(profile, QStringLiteral("Remove"), 206, 288, 100, 25);
  connect(remove, &QPushButton::clicked, this, [this] { SetPicturePath(QString()); });
  SetPicturePath(Q(s.PicturePath));

  // Updates.
  QWidget* updates = AddPage(QStringLiteral("Updates"));
  auto* heading = Label(updates, QStringLiteral("Updates"), 16, 16, 440, 22);
  heading->setFont(UiFont(15, true, this));
  Note(updates,
       QStringLiteral("Tovik looks for a new version a few minutes after it starts and then every 3 hours. A new "
                      "version installs by itself as soon as Tovik is not in use (no session, window not in front). "
                      "Check now looks right away."),
       16, 44, 440, 80);
  FUpdateText = Label(updates, QString(), 16, 128, 440, 110);
  FUpdateText->setWordWrap(true);
  FUpdateText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  QPushButton* check = Button(updates, QStringLiteral("Check now"), 16, 244, 130, 27);
  FInstallBtn = Button(updates, QStringLiteral("Install now"), 154, 244, 130, 27);
  QPushButton* download = Button(updates, QStringLiteral("Download page..."), 292, 244, 150, 27);
  Note(updates,
       QStringLiteral("Every update is digitally signed and checked before it is installed; anything else is refused. "
                      "Your settings and the kept ID stay as they are."),
       16, 282, 440, 50);
  FUpdateStatus = s.UpdateStatus;
  FUpdateReady = s.UpdateReady;
  FOnCheckUpdate = s.OnCheckUpdate;
  FOnInstallUpdate = s.OnInstallUpdate;
  connect(check, &QPushButton::clicked, this, [this] {
    if (FOnCheckUpdate) FOnCheckUpdate();
    RefreshUpdates();
  });
  connect(FInstallBtn, &QPushButton::clicked, this, [this] {
    if (!AskFn(QStringLiteral("Install the new version now? Tovik closes and starts again on the new version in a "
                              "moment. Changes in this window are not saved.")))
      return;
    if (FOnInstallUpdate) FOnInstallUpdate();
    reject();  // nothing is stored
  });
  connect(download, &QPushButton::clicked, this,
          [] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kDownloadPage))); });
  FUpdateTimer.setInterval(500);
  connect(&FUpdateTimer, &QTimer::timeout, this, &TSettingsForm::RefreshUpdates);
  FUpdateTimer.start();
  RefreshUpdates();

  // Check boxes.
  FEdge->setChecked(s.EdgeSwitch);
  FUnattended->setChecked(s.Unattended);
  FElevate->setChecked(s.AutoElevate);
  FWallpaper->setChecked(s.HideWallpaper);
  FAutoStart->setChecked(s.StartWithDesktop);
  FRdpDraw->setChecked(s.RdpKeepDrawing);

  FPages->setCurrentIndex(0);
  if (!s.StartPage.empty()) ShowPage(Q(s.StartPage));
  ThemeWindow(this);
}

QWidget* TSettingsForm::AddPage(const QString& ACaption) {
  auto* page = new QWidget;
  page->setAutoFillBackground(true);
  page->setBackgroundRole(QPalette::Window);
  FPages->addTab(page, ACaption);
  return page;
}

QCheckBox* TSettingsForm::CheckRow(QWidget* APage, int AY, const QString& ACaption, const QString& ANote,
                                   int ANoteH) {
  auto* box = new QCheckBox(ACaption, APage);
  Place(box, 16, AY, 420, 19);
  if (!ANote.isEmpty()) Note(APage, ANote, 16, AY + 20, 420, ANoteH);
  return box;
}

QLineEdit* TSettingsForm::EditRow(QWidget* APage, int AY, const QString& ACaption, const QString& AText, int AWidth,
                                  bool AReadOnly) {
  Label(APage, ACaption, 16, AY + 3, 110, 15);
  auto* edit = new QLineEdit(AText, APage);
  Place(edit, 130, AY, AWidth, 23);
  if (AReadOnly) {
    edit->setReadOnly(true);
    QPalette p = edit->palette();
    p.setColor(QPalette::Base, QColor(0xF1F4F8));
    p.setColor(QPalette::Text, QColor(0x6B7280));
    edit->setPalette(p);
  }
  return edit;
}

bool TSettingsForm::ShowPage(const QString& ACaption) {
  for (int i = 0; i < FPages->count(); ++i)
    if (FPages->tabText(i).compare(ACaption, Qt::CaseInsensitive) == 0) {
      FPages->setCurrentIndex(i);
      return true;
    }
  return false;
}

void TSettingsForm::SetPicturePath(const QString& APath) {
  FPicturePath = APath;
  const QImage img = ReadPictureScaled(APath, FPicture->width());
  FPicture->setPixmap(img.isNull() ? QPixmap() : QPixmap::fromImage(img));
}

void TSettingsForm::RefreshUpdates() {
  FUpdateText->setText(FUpdateStatus ? Q(FUpdateStatus()) : QStringLiteral("Updates are not available in this window."));
  FInstallBtn->setEnabled(FUpdateReady && FUpdateReady());
}

void TSettingsForm::accept() {
  if (const auto refusal = CheckSettingsForm(FHost->text().toStdString(), FPort->text().toStdString())) {
    ShowPage(Q(refusal->Page));
    WarnFn(Q(refusal->Message));
    return;
  }
  QDialog::accept();
}

void TSettingsForm::Store(TTovikSettings& s) const {
  s.EdgeSwitch = FEdge->isChecked();
  s.Unattended = FUnattended->isChecked();
  s.AutoElevate = FElevate->isChecked();
  s.HideWallpaper = FWallpaper->isChecked();
  s.StartWithDesktop = FAutoStart->isChecked();
  s.RdpKeepDrawing = FRdpDraw->isChecked();
  s.RecordFolder = FRecordFolder->text().trimmed().toStdString();
  s.RelayHost = FHost->text().trimmed().toStdString();
  s.RelayPort = ParsePortText(FPort->text().toStdString(), kDefaultRelayPort);
  s.ProfileName = FName->text().trimmed().toStdString();
  s.Company = FCompany->text().trimmed().toStdString();
  s.Email = FEmail->text().trimmed().toStdString();
  s.Phone = FPhone->text().trimmed().toStdString();
  s.PicturePath = FPicturePath.toStdString();
}

bool TSettingsForm::Execute(TTovikSettings& ASettings, const TIniText& ABuiltIn, QWidget* AOwner) {
  TSettingsForm form(ASettings, ABuiltIn, AOwner);
  if (AOwner) form.move(AOwner->frameGeometry().center() - QPoint(form.width() / 2, form.height() / 2));
  if (form.exec() != QDialog::Accepted) return false;
  form.Store(ASettings);
  return true;
}

// ---- about box ------------------------------------------------------------------------------------

TAboutBox::TAboutBox(const QString& ATitle, const QString& ABuild, const QString& AChanges, QWidget* AOwner)
    : QDialog(AOwner) {
  setWindowTitle(QStringLiteral("About ") + ATitle);
  setFont(UiFont(12, false, this));
  const int w = 500;

  auto* top = new QWidget(this);
  top->setAutoFillBackground(true);
  {
    QPalette p = top->palette();
    p.setColor(QPalette::Window, Accent());
    top->setPalette(p);
  }
  Place(top, 0, 0, w, 72);
  auto* icon = new QLabel(top);
  Place(icon, 16, 12, 48, 48);
  icon->setPixmap(QApplication::windowIcon().isNull()
                      ? style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(Px(this, 48))
                      : QApplication::windowIcon().pixmap(Px(this, 48)));
  auto* title = Label(top, ATitle, 76, 12, 400, 28);
  title->setFont(UiFont(20, true, this));
  {
    QPalette p = title->palette();
    p.setColor(QPalette::WindowText, Qt::white);
    title->setPalette(p);
  }
  auto* build = Label(top, QStringLiteral("Remote assistance - build ") + ABuild, 76, 42, 400, 18);
  {
    QPalette p = build->palette();
    p.setColor(QPalette::WindowText, QColor(0xDBEBFE));
    build->setPalette(p);
  }

  FText = new QLabel(this);
  FText->setTextFormat(Qt::PlainText);
  FText->setWordWrap(true);
  FText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  FText->setText(
      ATitle +
      QStringLiteral(
          " lets a helper see and control another PC over the internet, but only after the person at that PC "
          "allows it.\n\nHow it works:\n"
          "- Both PCs connect to the relay server and get a 9-digit ID. The relay only introduces them; the "
          "session runs directly from PC to PC.\n"
          "- Every packet is encrypted with AES-256-GCM. Session keys come from ECDH P-256, and the relay proves "
          "itself with an ECDSA P-256 key that Tovik remembers, so the relay never sees the session.\n"
          "- The screen travels as H.264 video, on the graphics card's encoder when there is one (VA-API, NVIDIA "
          "NVENC), with changed picture tiles (zlib) as fall-back.\n"
          "- Sound is recorded from the speakers and sent at phone quality (16 kHz G.711).\n"
          "- Also: chat, file transfer, recording to MP4, several screens, several helped PCs in tabs, unattended "
          "access and start with the desktop.\n"
          "- Updates install themselves, each signed and checked first.\n\n"
          "Needs a Linux desktop with X11."));
  FText->setGeometry(Px(this, 20), Px(this, 88), Px(this, 460), FText->heightForWidth(Px(this, 460)));
  auto* link = new QLabel(this);
  link->setTextFormat(Qt::RichText);
  link->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(kProductPage)));
  link->setOpenExternalLinks(true);
  link->setGeometry(Px(this, 20), FText->geometry().bottom() + Px(this, 14), Px(this, 460), link->sizeHint().height());
  FOk = new QPushButton(QStringLiteral("OK"), this);
  FOk->setDefault(true);
  FOk->setGeometry(Px(this, w - 100), link->geometry().bottom() + Px(this, 16), Px(this, 80), Px(this, 25));
  connect(FOk, &QPushButton::clicked, this, &QDialog::accept);
  const int h = FOk->geometry().bottom() + 1 + Px(this, 16);
  setFixedSize(Px(this, w), h);
  if (!AChanges.isEmpty()) {
    FChanges = new QPushButton(QStringLiteral("What's new"), this);
    FChanges->setGeometry(Px(this, 20), h - Px(this, 41), Px(this, 100), Px(this, 25));
    connect(FChanges, &QPushButton::clicked, this, [this, AChanges] {
      QDialog notes(this);
      notes.setWindowTitle(QStringLiteral("What's new"));
      notes.resize(Px(this, 640), Px(this, 480));
      auto* memo = new QPlainTextEdit(AChanges, &notes);
      memo->setReadOnly(true);
      memo->setFont(QFont(QStringLiteral("Monospace")));
      memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      auto* lay = new QVBoxLayout(&notes);
      lay->setContentsMargins(0, 0, 0, 0);
      lay->addWidget(memo);
      ThemeWindow(&notes);
      notes.exec();
    });
  }
  ThemeWindow(this);
}

void TAboutBox::Execute(const QString& ATitle, const QString& ABuild, const QString& AChanges, QWidget* AOwner) {
  TAboutBox box(ATitle, ABuild, AChanges, AOwner);
  if (AOwner) box.move(AOwner->frameGeometry().center() - QPoint(box.width() / 2, box.height() / 2));
  box.exec();
}

}  // namespace tovik
