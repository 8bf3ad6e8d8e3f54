#include "app/TovikTestProbe.h"

#include <QByteArray>
#include <QFile>
#include <QLabel>
#include <QSaveFile>
#include <QWidget>

#include "app/TovikMainLogic.h"
#include "app/TovikMainSession.h"
#include "base/TovikOwnWindows.h"
#include "net/TovikNet.h"

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

}  // namespace

TMainTestProbe::TMainTestProbe(std::string AStatusPath, std::string ADumpPath)
    : FStatusPath(std::move(AStatusPath)), FDumpPath(std::move(ADumpPath)) {}

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
  return s;
}

void TMainTestProbe::WriteStatus() const {
  if (FStatusPath.empty() || !FSources.Logic) return;
  const std::string s = StatusText();
  QSaveFile f(Q(FStatusPath));
  if (!f.open(QIODevice::WriteOnly)) return;
  f.write(s.data(), static_cast<qint64>(s.size()));
  f.commit();
}

void TMainTestProbe::Dump() const {
  if (FDumpPath.empty() || !FSources.Sessions) return;
  const QString req = Q(FDumpPath + ".req");
  if (!QFile::exists(req)) return;
  const TBitmap32* pic = FSources.Sessions->Viewer().Picture;
  if (!pic || pic->Width() <= 0) return;  // no picture yet: the request waits
  QSaveFile f(Q(FDumpPath));
  if (!f.open(QIODevice::WriteOnly)) return;
  const std::string head = "P6\n" + std::to_string(pic->Width()) + " " + std::to_string(pic->Height()) + "\n255\n";
  f.write(head.data(), static_cast<qint64>(head.size()));
  QByteArray row(pic->Width() * 3, 0);
  for (int y = 0; y < pic->Height(); ++y) {
    const std::uint8_t* s = pic->Row(y);
    for (int x = 0; x < pic->Width(); ++x) {
      row[x * 3] = static_cast<char>(s[x * 4 + 2]);
      row[x * 3 + 1] = static_cast<char>(s[x * 4 + 1]);
      row[x * 3 + 2] = static_cast<char>(s[x * 4]);
    }
    f.write(row);
  }
  if (f.commit()) QFile::remove(req);
}

}  // namespace tovik
