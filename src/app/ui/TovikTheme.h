// The program's look: Day and Night palettes, the dark colour mapping, fonts, the icon font and the
// switch between looks (Auto follows the desktop's light/dark choice).
//
// Everything here runs on the GUI thread only. The process-wide dark flag and accent are plain globals
// read by every owner-drawn control when it paints.
#pragma once

#include <QColor>
#include <QFont>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

#include <QWidget>

namespace tovik {

// [UI] Theme values.
enum TThemeMode { tmAuto = 0, tmDay = 1, tmNight = 2 };

// (100 - t) percent of x plus t percent of y, per channel, rounded down. Alpha is taken from x.
QColor Blend(const QColor& x, const QColor& y, int t);

// Dark mapping of a background colour: the day page, field and track greys and white get their night
// counterparts; anything else stays.
QColor MapDarkBackground(const QColor& c);

// Dark mapping of an ink colour (fonts, state dots): dark inks become light, the known state colours get
// their brighter night variants, saturated colours stay, greys are mapped by luminance.
QColor MapDarkInk(const QColor& c);

// The ink colour to draw with in the current look: `day` itself, or MapDarkInk(day) when dark.
QColor LookInk(const QColor& day);

// Palette of the owner-drawn controls.
struct TUiPalette {
  QColor Page, Card, CardOutline, Ink, Muted, Field, FieldOutline, SegTrack, ToggleTrack;
  QColor SoftRest, SoftHover, SoftPressed, StatusBar, AccentText;
};
TUiPalette MakePalette(bool dark, const QColor& accent);

// The palette of the look in effect.
const TUiPalette& Ui();
bool IsDark();
// Sets the process-wide dark flag only (no re-theming); ApplyTheme does the whole switch.
void SetDark(bool dark);

// Accent colour and its darker variant (brand values; default #2563EB / #1D4ED8).
QColor Accent();
QColor AccentDark();
void SetAccent(const QColor& accent, const QColor& darker);

// Fonts. The UI font is Inter at the given pixel size with the system sans as fall-back; `px` is in
// logical pixels at 96 dpi and is scaled for `w` (or the primary screen when null).
QFont UiFont(int px, bool semibold = false, const QWidget* w = nullptr);
// n logical pixels at 96 dpi scaled to the widget's DPI (n × dpi / 96, rounded).
int Px(const QWidget* w, int n);
double PxF(const QWidget* w, double n);

// The icon font (Material Icons), decided once per process. The program names its glyphs by the
// code points below; IconText maps one to the icon font's character, or "" when there is no icon font
// or no matching icon.
bool HasIconFont();
QFont IconFont(int px, const QWidget* w = nullptr);
QString IconText(char16_t glyph);
// Tests force the "no icon font" path with this; it overrides the detection until reset to -1.
void ForceIconFont(int available);

namespace glyph {
constexpr char16_t Chat = 0xE8BD, Upload = 0xE898, Zoom = 0xE71E, FullScreen = 0xE740,
                   BackToWindow = 0xE73F, Volume = 0xE767, Mute = 0xE74F, Shield = 0xEA18,
                   Refresh = 0xE72C, Record = 0xE7C8, Stop = 0xE71A, Monitor = 0xE7F4,
                   Cancel = 0xE711, Menu = 0xE700, Sun = 0xE706, Moon = 0xE708, Settings = 0xE713,
                   Copy = 0xE8C8, Person = 0xE77B, Pause = 0xE769, Play = 0xE768, Send = 0xE724,
                   Info = 0xE946, Warning = 0xE7BA, Lock = 0xE72E, Link = 0xE71B, History = 0xE81C,
                   Folder = 0xE8B7, Check = 0xE73E, Computer = 0xE7F8, Attach = 0xE723,
                   Connect = 0xE703;
}  // namespace glyph

// Choosing the look: Day → light, Night → dark, Auto → the desktop's choice.
bool ChooseDark(TThemeMode mode, bool desktopDark);

// The desktop's light/dark choice as its settings service says it (on Linux the xdg-desktop-portal's
// org.freedesktop.appearance color-scheme). Handed in by the program's entry; GUI thread only.
class IDesktopTheme {
 public:
  // Stops the watching: the handler is never called after the destructor returns.
  virtual ~IDesktopTheme() = default;
  // The color-scheme: 0 no preference, 1 prefer dark, 2 prefer light; -1 when the desktop does not
  // say. Blocks at most about half a second.
  virtual int ColorScheme() = 0;
  // Calls AOnChange with the new color-scheme (-1 for a value it cannot read) each time the desktop's
  // choice changes, on the GUI thread from its event loop. False when changes cannot be watched.
  virtual bool Watch(std::function<void(int AScheme)> AOnChange) = 0;
  // The backend of the desktop the program was built for; defined by the platform's window library
  // and called only by the program's entry.
  static std::unique_ptr<IDesktopTheme> Create();
};

// The desktop's light/dark choice: ADesktop's color-scheme (1 = prefer dark) when it says one, else the
// GTK theme (GTK_THEME, then gtk-3.0/settings.ini). ADesktop may be null.
bool DesktopPrefersDark(IDesktopTheme* ADesktop);
// GTK theme names like "Adwaita-dark" or "Yaru:dark" say dark.
bool GtkThemeNameIsDark(const QString& name);
// Reads a gtk-3.0 settings.ini text; returns 1 dark, 0 light, -1 when it says nothing.
int GtkSettingsDark(const QString& iniText);

// Applies a look: sets the dark flag, switches the application palette, re-themes every open
// top-level window except `except` and repaints them.
void ApplyTheme(bool dark, QWidget* except = nullptr);
// Re-themes one window tree with the current flag (used for windows created after ApplyTheme).
void ThemeWindow(QWidget* form);

// Per-form memory of the day colours of its themed children (background, font colour), recorded the
// first time a child is themed and dropped when it is destroyed. Created on demand as a child object
// of the form.
class TThemeMemory : public QObject {
  Q_OBJECT
 public:
  struct TPair {
    QColor Back, Ink;
  };
  static TThemeMemory* Of(QWidget* form);
  TPair DayColors(QWidget* control);
  bool Has(QWidget* control) const { return FColors.contains(control); }

 private:
  explicit TThemeMemory(QWidget* form);
  QHash<QObject*, TPair> FColors;
};

// Keeps the program in the look of the chosen mode: applies it at once and, in Auto, again whenever the
// desktop's light/dark choice changes. One per program, GUI thread only.
class TThemeSwitch : public QObject {
  Q_OBJECT
 public:
  // ADesktop: where the desktop's choice comes from and is watched; null = the GTK theme only, and
  // changes come through DesktopChanged alone.
  explicit TThemeSwitch(std::shared_ptr<IDesktopTheme> ADesktop = nullptr, QObject* parent = nullptr);
  // Applies the mode (reading the desktop's choice for Auto).
  void SetMode(TThemeMode mode);
  TThemeMode Mode() const { return FMode; }
  // The desktop's choice changed (the desktop's settings service, or a test).
  void DesktopChanged(bool dark);
  // Raised after a look was applied, for windows that recolour their own drawing.
  std::function<void(bool dark)> OnApplied;

 private:
  void Apply(bool dark);
  TThemeMode FMode = tmAuto;
  std::shared_ptr<IDesktopTheme> FDesktop;
};

}  // namespace tovik
