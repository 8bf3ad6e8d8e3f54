// Restarting the helped PC on Linux: logind's Manager.Reboot over the system D-Bus (interactive, so
// polkit may ask or refuse), and the program started once at the next sign-in through an XDG
// autostart entry that the program deletes when it starts.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QStandardPaths>

#include "session/TovikToolsPorts.h"

namespace tovik {

namespace {

QString OnceEntryPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/autostart/tovik-once.desktop";
}

// A path as one argument of a desktop entry's Exec key: in double quotes, with the quote, the
// backquote, the dollar sign and the backslash escaped, and every backslash doubled again for the
// key's own escaping.
QString ExecQuoted(const QString& APath) {
  QString s;
  for (QChar c : APath) {
    if (c == '"' || c == '`' || c == '$') s += QStringLiteral("\\\\");
    if (c == '\\') s += QStringLiteral("\\\\\\");
    s += c;
  }
  return "\"" + s + "\"";
}

class TLogindRestart : public ISystemRestart {
 public:
  explicit TLogindRestart(std::string AProgram) : FProgram(QString::fromStdString(AProgram)) {}

  std::string AddRunOnce() override {
    const QString path = OnceEntryPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return f.errorString().toStdString();
    const QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=Tovik\nExec=%1\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(ExecQuoted(FProgram));
    if (f.write(text.toUtf8()) < 0) return f.errorString().toStdString();
    return "";
  }
  void RemoveRunOnce() override { ClearRunOnce(); }
  void Reboot(std::function<void(const std::string&)> ADone) override {
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                       "org.freedesktop.login1.Manager", "Reboot");
    call << true;  // interactive: polkit may ask the person
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
      const std::string why = bus.lastError().message().toStdString();
      ADone(why.empty() ? "no system bus" : why);
      return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [watcher, done = std::move(ADone)] {
      QDBusPendingReply<> reply = *watcher;
      done(reply.isError() ? reply.error().message().toStdString() : std::string());
      watcher->deleteLater();
    });
  }

 private:
  QString FProgram;
};

}  // namespace

std::shared_ptr<ISystemRestart> ISystemRestart::Create(const std::string& AProgram) {
  return std::make_shared<TLogindRestart>(AProgram);
}

void ISystemRestart::ClearRunOnce() { QFile::remove(OnceEntryPath()); }

}  // namespace tovik
