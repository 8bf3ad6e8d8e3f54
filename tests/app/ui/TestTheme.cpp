// Colour mapping, blending, the look choice and the memory of day colours.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>
#include <QStyle>
#include <QLineEdit>
#include <QWidget>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/ui/TovikTheme.h"
#include "tests/app/UiTestApp.h"

namespace tovik {
namespace {

QRgb Hex(const QColor& c) { return c.rgb() & 0xFFFFFF; }

TEST(ThemeColors, BlendRoundsDownPerChannel) {
  struct TCase {
    QRgb X, Y;
    int T;
    QRgb Want;
  } cases[] = {
      {0x2563EB, 0xFFFFFF, 40, 0x7CA1F3},  // accent text of the dark look
      {0x2563EB, 0x000000, 12, 0x2057CE},  // primary hover
      {0x2563EB, 0x000000, 24, 0x1C4BB2},  // primary pressed
      {0x000000, 0xFFFFFF, 0, 0x000000},
      {0x000000, 0xFFFFFF, 100, 0xFFFFFF},
      {0x010101, 0x000000, 50, 0x000000},  // 0.5 rounds down
  };
  for (const TCase& c : cases)
    EXPECT_EQ(Hex(Blend(QColor(c.X), QColor(c.Y), c.T)), c.Want) << std::hex << c.X << " " << c.Y << " " << c.T;
}

TEST(ThemeColors, DarkBackgroundMapping) {
  const std::pair<QRgb, QRgb> cases[] = {{0xEEF1F6, 0x202020}, {0xF1F4F8, 0x383838}, {0xE5E9F0, 0x383838},
                                         {0xFFFFFF, 0x2B2B2B}, {0x123456, 0x123456}, {0xEEF1F7, 0xEEF1F7}};
  for (auto [from, to] : cases) EXPECT_EQ(Hex(MapDarkBackground(QColor(from))), to) << std::hex << from;
}

TEST(ThemeColors, DarkInkMapping) {
  const std::pair<QRgb, QRgb> cases[] = {
      {0x000000, 0xF0F0F0}, {0x1F2937, 0xF0F0F0}, {0xD97706, 0xFBBF24}, {0xDC2626, 0xF87171},
      {0x16A34A, 0x4ADE80}, {0x6B7280, 0xA8A8A8}, {0x2563EB, 0x60A5FA},
      {0x7C3AED, 0x7C3AED},  // saturated custom accent stays
      {0x303030, 0xF0F0F0},  // dark grey: L 48
      {0x707878, 0xA8A8A8},  // mid grey: L 117
      {0xC0C0C0, 0xC0C0C0},  // light grey stays
      {0x4F4F4F, 0xF0F0F0},  // L 79 is still "dark"
      {0x505050, 0xA8A8A8},  // L 80 is the first mid grey
      {0xAAAAAA, 0xAAAAAA},  // L 170 stays
  };
  for (auto [from, to] : cases) EXPECT_EQ(Hex(MapDarkInk(QColor(from))), to) << std::hex << from;
}

TEST(ThemeColors, PalettesAndAccent) {
  const QColor accent(0x7C3AED);
  const TUiPalette day = MakePalette(false, accent), night = MakePalette(true, accent);
  EXPECT_EQ(Hex(day.Page), 0xEEF1F6u);
  EXPECT_EQ(Hex(night.Page), 0x202020u);
  EXPECT_EQ(Hex(day.AccentText), 0x7C3AEDu);
  EXPECT_EQ(Hex(night.AccentText), Hex(Blend(accent, Qt::white, 40)));
  EXPECT_EQ(Hex(night.SoftPressed), 0x555555u);
  EXPECT_EQ(Hex(day.StatusBar), 0xF9FAFCu);
}

TEST(ThemeChoice, ModesAndDesktopHints) {
  EXPECT_FALSE(ChooseDark(tmDay, true));
  EXPECT_TRUE(ChooseDark(tmNight, false));
  EXPECT_TRUE(ChooseDark(tmAuto, true));
  EXPECT_FALSE(ChooseDark(tmAuto, false));

  for (const char* dark : {"Adwaita-dark", "Yaru:dark", "Breeze-Dark", "Arc-Dark", "Pop_dark"})
    EXPECT_TRUE(GtkThemeNameIsDark(dark)) << dark;
  for (const char* light : {"Adwaita", "Yaru", "HighContrast", ""}) EXPECT_FALSE(GtkThemeNameIsDark(light)) << light;

  EXPECT_EQ(GtkSettingsDark("[Settings]\ngtk-theme-name=Adwaita-dark\n"), 1);
  EXPECT_EQ(GtkSettingsDark("[Settings]\ngtk-theme-name = Adwaita\n"), 0);
  EXPECT_EQ(GtkSettingsDark("[Settings]\ngtk-theme-name=Adwaita\ngtk-application-prefer-dark-theme=true\n"), 1);
  EXPECT_EQ(GtkSettingsDark("[Settings]\n# gtk-theme-name=Adwaita-dark\n"), -1);
  EXPECT_EQ(GtkSettingsDark(""), -1);
}

TEST(ThemeIcons, EveryGlyphHasAnIconInTheFont) {
  test::EnsureApp();
  if (!HasIconFont()) GTEST_SKIP() << "Material Icons font not installed";
  const QFontMetrics fm(IconFont(16));
  const char16_t all[] = {glyph::Chat, glyph::Upload, glyph::Zoom, glyph::FullScreen, glyph::BackToWindow,
                          glyph::Volume, glyph::Mute, glyph::Shield, glyph::Refresh, glyph::Record,
                          glyph::Stop, glyph::Monitor, glyph::Cancel, glyph::Menu, glyph::Sun, glyph::Moon,
                          glyph::Settings, glyph::Copy, glyph::Person, glyph::Pause, glyph::Play,
                          glyph::Send, glyph::Info, glyph::Warning, glyph::Lock, glyph::Link,
                          glyph::History, glyph::Folder, glyph::Check, glyph::Computer, glyph::Attach};
  for (char16_t g : all) {
    const QString t = IconText(g);
    ASSERT_EQ(t.size(), 1) << std::hex << int(g);
    EXPECT_TRUE(fm.inFontUcs4(t.at(0).unicode())) << std::hex << int(g);
  }
  EXPECT_TRUE(IconText(0x1234).isEmpty());
  ForceIconFont(0);
  EXPECT_TRUE(IconText(glyph::Chat).isEmpty());
  ForceIconFont(-1);
}

TEST(ThemeMemory, DayColoursComeBackAfterNight) {
  test::EnsureApp();
  QWidget form;
  auto* label = new QLabel("muted", &form);
  auto* panel = new QWidget(&form);
  auto* edit = new QLineEdit(&form);
  auto* plain = new QLabel("style", &form);  // no palette of its own: left to the style
  auto set = [](QWidget* w, QRgb back, QRgb ink) {
    QPalette p = w->palette();
    p.setColor(w->backgroundRole(), QColor(back));
    p.setColor(w->foregroundRole(), QColor(ink));
    w->setPalette(p);
  };
  set(label, 0xFFFFFF, 0x6B7280);
  set(panel, 0xEEF1F6, 0x1F2937);
  set(edit, 0x123456, 0x1F2937);  // a background the mapping keeps: ink stays too
  const QColor plainInk = plain->palette().color(QPalette::WindowText);

  auto ink = [](QWidget* w) { return Hex(w->palette().color(w->foregroundRole())); };
  auto back = [](QWidget* w) { return Hex(w->palette().color(w->backgroundRole())); };
  for (bool dark : {true, false, true, false}) {
    SetDark(dark);
    ThemeWindow(&form);
    EXPECT_EQ(ink(label), dark ? 0xA8A8A8u : 0x6B7280u);
    EXPECT_EQ(back(panel), dark ? 0x202020u : 0xEEF1F6u);
    EXPECT_EQ(ink(panel), dark ? 0xF0F0F0u : 0x1F2937u);
    EXPECT_EQ(back(edit), 0x123456u);
    EXPECT_EQ(ink(edit), 0x1F2937u);
    EXPECT_EQ(plain->palette().color(QPalette::WindowText), plainInk);
  }
  auto* memory = TThemeMemory::Of(&form);
  EXPECT_TRUE(memory->Has(label));
  delete label;
  EXPECT_FALSE(memory->Has(label));
}

TEST(ThemeSwitch, AutoFollowsTheDesktopOnlyInAuto) {
  test::EnsureApp();
  TThemeSwitch sw;
  std::vector<bool> applied;
  sw.OnApplied = [&](bool dark) { applied.push_back(dark); };
  sw.SetMode(tmNight);
  EXPECT_TRUE(IsDark());
  sw.DesktopChanged(false);  // not in Auto: ignored
  EXPECT_TRUE(IsDark());
  sw.SetMode(tmAuto);
  sw.DesktopChanged(true);
  EXPECT_TRUE(IsDark());
  sw.DesktopChanged(false);
  EXPECT_FALSE(IsDark());
  EXPECT_EQ(QApplication::palette().color(QPalette::Window), QApplication::style()->standardPalette().color(QPalette::Window));
  sw.SetMode(static_cast<TThemeMode>(7));  // unknown values mean Auto
  EXPECT_EQ(sw.Mode(), tmAuto);
  sw.SetMode(tmDay);
  EXPECT_FALSE(IsDark());
  EXPECT_EQ(applied.front(), true);
  EXPECT_EQ(applied.back(), false);
}

// A desktop whose choice the test sets; counts the reads.
class TFakeDesktopTheme final : public IDesktopTheme {
 public:
  int Scheme = -1;
  int Reads = 0;
  bool CanWatch = true;
  std::function<void(int)> OnChange;
  int ColorScheme() override {
    ++Reads;
    return Scheme;
  }
  bool Watch(std::function<void(int)> AOnChange) override {
    if (!CanWatch) return false;
    OnChange = std::move(AOnChange);
    return true;
  }
};

// The GTK fall-back reads GTK_THEME: a light theme there, so only the desktop's answer can say dark.
class DesktopTheme : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    if (const char* t = std::getenv("GTK_THEME")) FOld = t;
    ::setenv("GTK_THEME", "Adwaita", 1);
  }
  void TearDown() override {
    if (FOld) ::setenv("GTK_THEME", FOld->c_str(), 1);
    else ::unsetenv("GTK_THEME");
  }
  std::optional<std::string> FOld;
};

TEST_F(DesktopTheme, ColorSchemeDecidesAndGtkIsTheFallBack) {
  const std::pair<int, bool> cases[] = {{1, true}, {2, false}, {0, false}, {-1, false}};
  TFakeDesktopTheme desktop;
  for (auto [scheme, dark] : cases) {
    desktop.Scheme = scheme;
    EXPECT_EQ(DesktopPrefersDark(&desktop), dark) << scheme;
  }
  EXPECT_EQ(desktop.Reads, 4);
  EXPECT_FALSE(DesktopPrefersDark(nullptr));
  ::setenv("GTK_THEME", "Adwaita:dark", 1);
  desktop.Scheme = -1;  // the desktop does not say: GTK does
  EXPECT_TRUE(DesktopPrefersDark(&desktop));
  desktop.Scheme = 2;   // the desktop's answer wins over GTK
  EXPECT_FALSE(DesktopPrefersDark(&desktop));
}

TEST_F(DesktopTheme, SwitchReadsAndWatchesTheDesktopInAuto) {
  auto desktop = std::make_shared<TFakeDesktopTheme>();
  desktop->Scheme = 1;
  {
    TThemeSwitch sw(desktop);
    ASSERT_TRUE(desktop->OnChange);
    EXPECT_EQ(desktop->Reads, 0);  // nothing read before a mode is set
    sw.SetMode(tmAuto);
    EXPECT_EQ(desktop->Reads, 1);
    EXPECT_TRUE(IsDark());
    desktop->OnChange(2);
    EXPECT_FALSE(IsDark());
    desktop->OnChange(1);
    EXPECT_TRUE(IsDark());
    desktop->OnChange(-1);  // an unreadable value means light
    EXPECT_FALSE(IsDark());
    sw.SetMode(tmDay);
    EXPECT_EQ(desktop->Reads, 1);  // Day and Night do not ask the desktop
    desktop->OnChange(1);
    EXPECT_FALSE(IsDark());
  }
  // The switch is gone: a late change from the desktop changes nothing.
  desktop->OnChange(1);
  EXPECT_FALSE(IsDark());

  auto deaf = std::make_shared<TFakeDesktopTheme>();
  deaf->CanWatch = false;
  deaf->Scheme = 1;
  TThemeSwitch sw(deaf);
  sw.SetMode(tmAuto);
  EXPECT_TRUE(IsDark());
  sw.SetMode(tmDay);
}

}  // namespace
}  // namespace tovik
