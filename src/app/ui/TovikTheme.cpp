#include "app/ui/TovikTheme.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTextEdit>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace tovik {

namespace {

bool GDark = false;
QColor GAccent(0x25, 0x63, 0xEB);
QColor GAccentDark(0x1D, 0x4E, 0xD8);
TUiPalette GPalette = MakePalette(false, GAccent);
int GForceIcon = -1;

bool SameRgb(const QColor& a, QRgb b) { return (a.rgb() & 0xFFFFFF) == (b & 0xFFFFFF); }

QPalette LightPalette() {
  QStyle* fusion = QStyleFactory::create("Fusion");
  QPalette p = fusion ? fusion->standardPalette() : QPalette();
  delete fusion;
  return p;
}

QPalette DarkPalette() {
  QPalette p;
  const QColor window(0x20, 0x20, 0x20), base(0x2B, 0x2B, 0x2B), button(0x38, 0x38, 0x38);
  const QColor text(0xF0, 0xF0, 0xF0), muted(0x70, 0x70, 0x70);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, QColor(0x33, 0x33, 0x33));
  p.setColor(QPalette::ToolTipBase, QColor(0x38, 0x38, 0x38));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0xA8, 0xA8, 0xA8));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, button);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, Qt::white);
  p.setColor(QPalette::Light, QColor(0x50, 0x50, 0x50));
  p.setColor(QPalette::Midlight, QColor(0x44, 0x44, 0x44));
  p.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x30));
  p.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x18));
  p.setColor(QPalette::Shadow, Qt::black);
  p.setColor(QPalette::Highlight, GAccent);
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(0x60, 0xA5, 0xFA));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    p.setColor(QPalette::Disabled, role, muted);
  return p;
}

void ThemeTree(TThemeMemory* memory, QWidget* w, bool isForm) {
  // Only plain panels, frames, labels and edit boxes carry day colours of their own; everything else
  // (and any widget that never set a palette) is left to the application style.
  const bool label = qobject_cast<QLabel*>(w) != nullptr;
  const bool edit = qobject_cast<QLineEdit*>(w) || qobject_cast<QTextEdit*>(w) ||
                    qobject_cast<QPlainTextEdit*>(w);
  const bool panel = isForm || (!label && !edit &&
                                (qobject_cast<QFrame*>(w) || w->metaObject() == &QWidget::staticMetaObject));
  if (label || edit || panel) {
    const TThemeMemory::TPair day = memory->DayColors(w);
    if (day.Back.isValid()) {
      QPalette p = w->palette();
      const QColor back = IsDark() ? MapDarkBackground(day.Back) : day.Back;
      if (!label) p.setColor(w->backgroundRole(), back);
      const bool mapInk = label || back != day.Back;
      p.setColor(w->foregroundRole(), IsDark() && mapInk ? MapDarkInk(day.Ink) : day.Ink);
      w->setPalette(p);
    }
  }
  for (QObject* o : w->children()) {
    auto* child = qobject_cast<QWidget*>(o);
    if (child && !child->isWindow()) ThemeTree(memory, child, false);
  }
}

}  // namespace

QColor Blend(const QColor& x, const QColor& y, int t) {
  t = std::clamp(t, 0, 100);
  auto mix = [t](int a, int b) { return ((100 - t) * a + t * b) / 100; };
  return QColor(mix(x.red(), y.red()), mix(x.green(), y.green()), mix(x.blue(), y.blue()), x.alpha());
}

QColor MapDarkBackground(const QColor& c) {
  if (SameRgb(c, 0xEEF1F6)) return QColor(0x20, 0x20, 0x20);
  if (SameRgb(c, 0xF1F4F8) || SameRgb(c, 0xE5E9F0)) return QColor(0x38, 0x38, 0x38);
  if (SameRgb(c, 0xFFFFFF)) return QColor(0x2B, 0x2B, 0x2B);
  return c;
}

QColor MapDarkInk(const QColor& c) {
  if (SameRgb(c, 0x000000) || SameRgb(c, 0x1F2937)) return QColor(0xF0, 0xF0, 0xF0);
  if (SameRgb(c, 0xD97706)) return QColor(0xFB, 0xBF, 0x24);
  if (SameRgb(c, 0xDC2626)) return QColor(0xF8, 0x71, 0x71);
  if (SameRgb(c, 0x16A34A)) return QColor(0x4A, 0xDE, 0x80);
  if (SameRgb(c, 0x6B7280)) return QColor(0xA8, 0xA8, 0xA8);
  if (SameRgb(c, 0x2563EB)) return QColor(0x60, 0xA5, 0xFA);
  const int hi = std::max({c.red(), c.green(), c.blue()});
  const int lo = std::min({c.red(), c.green(), c.blue()});
  if (hi - lo >= 48) return c;
  const int l = (299 * c.red() + 587 * c.green() + 114 * c.blue()) / 1000;
  if (l < 80) return QColor(0xF0, 0xF0, 0xF0);
  if (l < 170) return QColor(0xA8, 0xA8, 0xA8);
  return c;
}

QColor LookInk(const QColor& day) { return GDark ? MapDarkInk(day) : day; }

TUiPalette MakePalette(bool dark, const QColor& accent) {
  TUiPalette p;
  if (!dark) {
    p = {QColor(0xEEF1F6), QColor(0xFFFFFF), QColor(0xE3E8EF), QColor(0x1F2937), QColor(0x6B7280),
         QColor(0xF1F4F8), QColor(0xD6DEE6), QColor(0xE5E9F0), QColor(0xCBD5E1), QColor(0xEEF2F6),
         QColor(0xE2E8F0), QColor(0xD5DCE8), QColor(0xF9FAFC), accent};
  } else {
    p = {QColor(0x202020), QColor(0x2B2B2B), QColor(0x3D3D3D), QColor(0xF0F0F0), QColor(0xA8A8A8),
         QColor(0x383838), QColor(0x505050), QColor(0x363636), QColor(0x5A5A5A), QColor(0x3A3A3A),
         QColor(0x484848), QColor(0x555555), QColor(0x262626), Blend(accent, Qt::white, 40)};
  }
  return p;
}

const TUiPalette& Ui() { return GPalette; }
bool IsDark() { return GDark; }

void SetDark(bool dark) {
  GDark = dark;
  GPalette = MakePalette(dark, GAccent);
}

QColor Accent() { return GAccent; }
QColor AccentDark() { return GAccentDark; }

void SetAccent(const QColor& accent, const QColor& darker) {
  if (accent.isValid()) GAccent = accent;
  GAccentDark = darker.isValid() ? darker : Blend(GAccent, Qt::black, 15);
  GPalette = MakePalette(GDark, GAccent);
}

double PxF(const QWidget* w, double n) {
  double dpi = 96;
  if (w) {
    dpi = w->logicalDpiX();
  } else if (QGuiApplication::primaryScreen()) {
    dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
  }
  if (dpi <= 0) dpi = 96;
  return n * dpi / 96.0;
}

int Px(const QWidget* w, int n) { return static_cast<int>(std::lround(PxF(w, n))); }

QFont UiFont(int px, bool semibold, const QWidget* w) {
  QFont f;
  f.setFamilies({QStringLiteral("Inter"), QStringLiteral("DejaVu Sans"), QStringLiteral("sans-serif")});
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(std::max(1, Px(w, px)));
  f.setWeight(semibold ? QFont::DemiBold : QFont::Normal);
  return f;
}

bool HasIconFont() {
  if (GForceIcon >= 0) return GForceIcon != 0;
  static const bool has = QFontDatabase::families().contains(QStringLiteral("Material Icons"));
  return has;
}

void ForceIconFont(int available) { GForceIcon = available; }

QFont IconFont(int px, const QWidget* w) {
  QFont f(QStringLiteral("Material Icons"));
  f.setPixelSize(std::max(1, Px(w, px)));
  f.setStyleStrategy(QFont::NoFontMerging);
  return f;
}

QString IconText(char16_t g) {
  if (!HasIconFont()) return {};
  struct TMap {
    char16_t From, To;
  };
  // The program's glyph numbers and the Material icon drawn for each.
  static constexpr TMap kMap[] = {
      {glyph::Chat, 0xE0B7},         {glyph::Upload, 0xE2C6},     {glyph::Zoom, 0xE8FF},
      {glyph::FullScreen, 0xE5D0},   {glyph::BackToWindow, 0xE5D1}, {glyph::Volume, 0xE050},
      {glyph::Mute, 0xE04F},         {glyph::Shield, 0xEF3D},     {glyph::Refresh, 0xF053},
      {glyph::Record, 0xE061},       {glyph::Stop, 0xE047},       {glyph::Monitor, 0xE30C},
      {glyph::Cancel, 0xE5CD},       {glyph::Menu, 0xE5D2},       {glyph::Sun, 0xE518},
      {glyph::Moon, 0xE51C},         {glyph::Settings, 0xE8B8},   {glyph::Copy, 0xE14D},
      {glyph::Person, 0xE7FD},       {glyph::Pause, 0xE034},      {glyph::Play, 0xE037},
      {glyph::Send, 0xE163},         {glyph::Info, 0xE88E},       {glyph::Warning, 0xE002},
      {glyph::Lock, 0xE897},         {glyph::Link, 0xE157},       {glyph::History, 0xE889},
      {glyph::Folder, 0xE2C7},       {glyph::Check, 0xE5CA},      {glyph::Computer, 0xE30A},
      {glyph::Attach, 0xE226},      {glyph::Connect, 0xE5C8},
  };
  for (const TMap& m : kMap)
    if (m.From == g) return QString(QChar(m.To));
  return {};
}

bool ChooseDark(TThemeMode mode, bool desktopDark) {
  switch (mode) {
    case tmDay: return false;
    case tmNight: return true;
    default: return desktopDark;
  }
}

bool GtkThemeNameIsDark(const QString& name) {
  const QString n = name.trimmed().toLower();
  return n.endsWith(QLatin1String("dark")) || n.contains(QLatin1String("-dark")) ||
         n.contains(QLatin1String(":dark")) || n.contains(QLatin1String("_dark"));
}

int GtkSettingsDark(const QString& iniText) {
  int result = -1;
  for (const QString& raw : iniText.split(QLatin1Char('\n'))) {
    const QString line = raw.trimmed();
    const int eq = line.indexOf(QLatin1Char('='));
    if (line.startsWith(QLatin1Char('#')) || eq <= 0) continue;
    const QString key = line.left(eq).trimmed();
    const QString value = line.mid(eq + 1).trimmed();
    if (key == QLatin1String("gtk-application-prefer-dark-theme")) {
      if (value == QLatin1String("1") || value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return 1;
    } else if (key == QLatin1String("gtk-theme-name")) {
      result = GtkThemeNameIsDark(value) ? 1 : 0;
    }
  }
  return result;
}

bool DesktopPrefersDark(IDesktopTheme* ADesktop) {
  if (ADesktop) {
    const int scheme = ADesktop->ColorScheme();
    if (scheme >= 0) return scheme == 1;
  }
  const QString env = qEnvironmentVariable("GTK_THEME");
  if (!env.isEmpty()) return GtkThemeNameIsDark(env);
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty()) config = QDir::homePath() + QStringLiteral("/.config");
  QFile f(config + QStringLiteral("/gtk-3.0/settings.ini"));
  if (f.open(QIODevice::ReadOnly) && f.size() < 1 << 20)
    return GtkSettingsDark(QString::fromUtf8(f.readAll())) == 1;
  return false;
}

void ApplyTheme(bool dark, QWidget* except) {
  SetDark(dark);
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
    if (QApplication::style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0)
      QApplication::setStyle(QStringLiteral("Fusion"));
    const QPalette wanted = dark ? DarkPalette() : LightPalette();
    if (QApplication::palette() != wanted) app->setPalette(wanted);
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w != except) ThemeWindow(w);
  }
}

void ThemeWindow(QWidget* form) {
  if (!form) return;
  ThemeTree(TThemeMemory::Of(form), form, true);
  form->update();
}

TThemeMemory* TThemeMemory::Of(QWidget* form) {
  if (auto* m = form->findChild<TThemeMemory*>(QString(), Qt::FindDirectChildrenOnly)) return m;
  return new TThemeMemory(form);
}

TThemeMemory::TThemeMemory(QWidget* form) : QObject(form) {}

TThemeMemory::TPair TThemeMemory::DayColors(QWidget* control) {
  auto it = FColors.find(control);
  if (it != FColors.end()) return *it;
  TPair pair;
  // A widget without a palette of its own follows the application style: no day colours recorded.
  if (control->testAttribute(Qt::WA_SetPalette)) {
    pair.Back = control->palette().color(control->backgroundRole());
    pair.Ink = control->palette().color(control->foregroundRole());
  }
  FColors.insert(control, pair);
  connect(control, &QObject::destroyed, this, [this](QObject* o) { FColors.remove(o); });
  return pair;
}

TThemeSwitch::TThemeSwitch(std::shared_ptr<IDesktopTheme> ADesktop, QObject* parent)
    : QObject(parent), FDesktop(std::move(ADesktop)) {
  if (FDesktop) {
    QPointer<TThemeSwitch> self(this);
    FDesktop->Watch([self](int scheme) {
      if (self) self->DesktopChanged(scheme == 1);
    });
  }
}

void TThemeSwitch::SetMode(TThemeMode mode) {
  FMode = (mode == tmDay || mode == tmNight) ? mode : tmAuto;
  Apply(ChooseDark(FMode, FMode == tmAuto && DesktopPrefersDark(FDesktop.get())));
}

void TThemeSwitch::DesktopChanged(bool dark) {
  if (FMode == tmAuto) Apply(dark);
}

void TThemeSwitch::Apply(bool dark) {
  ApplyTheme(dark);
  if (OnApplied) OnApplied(dark);
}

}  // namespace tovik
