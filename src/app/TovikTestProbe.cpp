#include "app/TovikTestProbe.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <vector>
#include <QWidget>

#include <cstdio>

#include "app/TovikMainLogic.h"
#include "app/TovikMainSession.h"
#include "app/TovikSessionTabs.h"
#include "base/TovikFiles.h"
#include "base/TovikOwnWindows.h"
#include "net/TovikNet.h"
#include "session/ui/TovikToolsForm.h"
#include "session/ui/TovikViewer.h"

namespace tovik {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

const char* StateWord(TTovikState s) {
  switch (s) {
    case rsRegistered: return "registered";
    case rsPunching: return "punching";
    case rsConnected: return "connected";
    default: return "offline";
  }
}

// A widget's centre on the screen, "x y"; empty without the widget.
std::string Centre(const QWidget* w) {
  if (!w) return {};
  const QPoint c = w->mapToGlobal(w->rect().center());
  return std::to_string(c.x()) + " " + std::to_string(c.y());
}

std::string TextOf(const QLabel* l) { return l ? l->text().toStdString() : std::string(); }

// The last line of the chat log of a shown chat and files window, on one line of at most 200
// characters (the text may come from the other PC).
std::string LastChatLine() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    const auto* form = qobject_cast<const TToolsForm*>(w);
    if (!form || !form->isVisible()) continue;
    QString last = form->LogBox()->toPlainText().section(QLatin1Char('\n'), -1).left(200);
    for (QChar& c : last)
      if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format) c = QLatin1Char(' ');
    return last.toStdString();
  }
  return {};
}

}  // namespace

TMainTestProbe::TMainTestProbe(std::string AStatusPath, std::string ADumpPath)
    : FStatusPath(std::move(AStatusPath)), FDumpPath(std::move(ADumpPath)) {}

TMainTestProbe::TMainTestProbe(TMainTestProbe&&) noexcept = default;
TMainTestProbe::~TMainTestProbe() = default;

void TMainTestProbe::StartPace() {
  // TOVIK_TEST_PACE=0 leaves the timer out, for measurements of the program's own CPU time.
  if (FStatusPath.empty() || FPace || qgetenv("TOVIK_TEST_PACE") == "0") return;
  FPace = std::make_unique<QTimer>();
  FPace->setTimerType(Qt::PreciseTimer);
  FPace->setInterval(16);
  QObject::connect(FPace.get(), &QTimer::timeout, [this] {
    const TTick now = TickMs();
    if (FPaceLast != 0) {
      FPaceTurns.push_back(now - FPaceLast);
      if (FPaceTurns.size() > 256) FPaceTurns.pop_front();
    }
    FPaceLast = now;
  });
  FPace->start();
}

TMainTestProbe TMainTestProbe::FromEnvironment() {
  return TMainTestProbe(qgetenv("TOVIK_TEST_STATUS").toStdString(), qgetenv("TOVIK_TEST_DUMP").toStdString());
}

void TMainTestProbe::ConnectClicked(TTick ANow) {
  FConnectClick = ANow;
  FFirstPictureMs.clear();
}

void TMainTestProbe::FirstPicture(TTick ANow) {
  if (FConnectClick) FFirstPictureMs = std::to_string(ANow - FConnectClick);
}

std::string TMainTestProbe::StatusText() const {
  const TTovikClient* client = FSources.Client;
  const TMainLogic* logic = FSources.Logic;
  const TMainSessions* sessions = FSources.Sessions;
  const TTovikSession* session = sessions ? sessions->Session() : nullptr;
  if (!logic) return {};
  std::string s;
  auto line = [&s](const char* k, const std::string& v) { s += std::string(k) + "=" + v + "\n"; };
  line("id", client ? client->MyID() : "0");
  line("id_shown", TextOf(FSources.IDNumber));
  line("state", client ? StateWord(client->State()) : "offline");
  line("status", logic->StatusText());
  line("session", logic->SessTitle());
  line("check", logic->SessCheck());
  line("detail", logic->SessDetail());
  line("hint", logic->HintText());
  line("hoststate", TextOf(FSources.HostState));
  line("caption", logic->ConnectCaption());
  line("viewer", session && session->IsViewer() ? "1" : "0");
  line("allowed", session && session->Allowed() ? "1" : "0");
  line("frames", std::to_string(sessions ? sessions->Viewer().Frames : 0));
  line("first_picture_ms", FFirstPictureMs);
  line("stopbar", sessions && sessions->StopBarShown() ? "1" : "0");
  const TViewerForm* viewer = sessions ? sessions->Viewer().Form : nullptr;
  // The viewer's notice over the picture (the other PC is on its secure desktop).
  line("notice", viewer ? viewer->Notice().toStdString() : std::string());
  // Our windows that captures blank: "left top width height" each, separated by ";".
  std::string own;
  for (const TOwnWindowRect& r : OwnWindowRects())
    own += (own.empty() ? "" : ";") + std::to_string(r.Left) + " " + std::to_string(r.Top) + " " +
           std::to_string(r.Width) + " " + std::to_string(r.Height);
  line("own_windows", own);
  // Screen positions (centres) of the controls a test clicks.
  line("partner_xy", Centre(FSources.PartnerBox));
  line("connect_xy", Centre(FSources.ConnectButton));
  line("unattended_xy", Centre(FSources.UnattendedSwitch));
  line("keepid_xy", Centre(FSources.KeepIDSwitch));
  line("stop_xy", Centre(sessions ? sessions->StopButton() : nullptr));
  line("chat_xy", Centre(viewer ? viewer->Item(TViewerForm::biChat) : nullptr));
  line("sendfiles_xy", Centre(viewer ? viewer->Item(TViewerForm::biSend) : nullptr));
  line("chat_last", LastChatLine());
  const TSessionTabs* tabs = FSources.Tabs;
  line("tabs", std::to_string(tabs ? tabs->Count() : 0));
  std::string heads;
  if (tabs && tabs->Pages()->tabBar()->isVisible()) {
    const QTabBar* bar = tabs->Pages()->tabBar();
    for (int i = 0; i < bar->count(); ++i) {
      const QPoint c = bar->mapToGlobal(bar->tabRect(i).center());
      heads += (heads.empty() ? "" : ";") + std::to_string(c.x()) + " " + std::to_string(c.y());
    }
  }
  line("tabs_xy", heads);
  std::string active;
  if (const QWidget* v = tabs ? tabs->ActiveViewer() : nullptr) {
    const QPoint at = v->mapToGlobal(QPoint(0, 0));
    active = std::to_string(at.x()) + " " + std::to_string(at.y()) + " " + std::to_string(v->width()) + " " +
             std::to_string(v->height());
  }
  line("active_viewer", active);
  std::string pace;
  if (!FPaceTurns.empty()) {
    std::vector<TTick> t(FPaceTurns.begin(), FPaceTurns.end());
    std::sort(t.begin(), t.end());
    pace = std::to_string(t[t.size() / 2]) + " " + std::to_string(t[t.size() * 95 / 100]) + " " +
           std::to_string(t.back());
  }
  line("gui_frame_ms", pace);
  return s;
}

bool TMainTestProbe::WriteHookFile(const std::string& APath, std::string_view AData) const {
  const TFileResult r = WritePrivateFile(APath, AData);
  if (!r && !FRefusalSaid) {
    FRefusalSaid = true;
    std::fprintf(stderr, "tovik: test hook file %s not written: %s\n", APath.c_str(), r.Error.c_str());
  }
  return r.Ok();
}

void TMainTestProbe::WriteStatus() const {
  if (FStatusPath.empty() || !FSources.Logic) return;
  WriteHookFile(FStatusPath, StatusText());
}

void TMainTestProbe::Dump() const {
  if (FDumpPath.empty() || !FSources.Sessions) return;
  const QString req = Q(FDumpPath + ".req");
  if (!QFile::exists(req)) return;
  const TViewerForm* form = FSources.Sessions->Viewer().Form;
  const QImage pic = form ? form->Picture() : QImage();
  if (pic.isNull()) return;  // no picture yet: the request waits
  std::string ppm = "P6\n" + std::to_string(pic.width()) + " " + std::to_string(pic.height()) + "\n255\n";
  ppm.reserve(ppm.size() + static_cast<std::size_t>(pic.width()) * static_cast<std::size_t>(pic.height()) * 3);
  for (int y = 0; y < pic.height(); ++y) {
    const QRgb* s = reinterpret_cast<const QRgb*>(pic.constScanLine(y));
    for (int x = 0; x < pic.width(); ++x) {
      ppm += static_cast<char>(qRed(s[x]));
      ppm += static_cast<char>(qGreen(s[x]));
      ppm += static_cast<char>(qBlue(s[x]));
    }
  }
  if (WriteHookFile(FDumpPath, ppm)) QFile::remove(req);
}

}  // namespace tovik
