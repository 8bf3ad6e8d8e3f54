// The desktop's light/dark choice from xdg-desktop-portal over D-Bus: Settings.Read of
// org.freedesktop.appearance color-scheme, and its SettingChanged signal.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

#include "app/ui/TovikTheme.h"

namespace tovik {

namespace {

const char* const kPortalService = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";
const char* const kPortalSettings = "org.freedesktop.portal.Settings";

// color-scheme values come wrapped in one or two D-Bus variants depending on the portal version.
QVariant Unwrap(QVariant v) {
  for (int i = 0; i < 4 && v.canConvert<QDBusVariant>(); ++i) v = v.value<QDBusVariant>().variant();
  return v;
}

int SchemeOf(const QVariant& AValue) {
  bool ok = false;
  const uint v = Unwrap(AValue).toUInt(&ok);
  return ok && v <= 0x7FFFFFFF ? static_cast<int>(v) : -1;
}

// Receives the portal's SettingChanged signal (the D-Bus connection calls a slot by name).
class TPortalSignal : public QObject {
  Q_OBJECT
 public:
  std::function<void(int)> OnChange;
 public slots:
  void OnSettingChanged(const QString& ns, const QString& key, const QDBusVariant& value) {
    if (ns != QLatin1String("org.freedesktop.appearance") || key != QLatin1String("color-scheme")) return;
    if (OnChange) OnChange(SchemeOf(value.variant()));
  }
};

class TPortalDesktopTheme final : public IDesktopTheme {
 public:
  int ColorScheme() override {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return -1;
    QDBusMessage m = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kPortalSettings,
                                                    QStringLiteral("Read"));
    m << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    const QDBusMessage r = bus.call(m, QDBus::Block, 500);
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return -1;
    return SchemeOf(r.arguments().first());
  }

  bool Watch(std::function<void(int)> AOnChange) override {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    FSignal.OnChange = std::move(AOnChange);
    return bus.connect(kPortalService, kPortalPath, kPortalSettings, QStringLiteral("SettingChanged"), &FSignal,
                       SLOT(OnSettingChanged(QString, QString, QDBusVariant)));
  }

 private:
  TPortalSignal FSignal;  // disconnected from the bus when destroyed
};

}  // namespace

std::unique_ptr<IDesktopTheme> IDesktopTheme::Create() { return std::make_unique<TPortalDesktopTheme>(); }

}  // namespace tovik

#include "DesktopTheme_portal.moc"
