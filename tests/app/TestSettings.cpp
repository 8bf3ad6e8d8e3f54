#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>

#include "app/TovikSettings.h"
#include "base/TovikBytes.h"
#include "tests/base/TestTempDir.h"

using namespace tovik;
using namespace tovik::test;

namespace {

// Per-user, program-side and /etc-like files in a temporary folder, with a built-in block given as text.
class Settings : public ::testing::Test {
 protected:
  TSettingsPaths Paths() const {
    TSettingsPaths p;
    p.UserFolder = FDir / "user/Tovik";
    p.UserIni = p.UserFolder + "/Tovik.ini";
    p.LogPath = p.UserFolder + "/Tovik.log";
    p.ProgramFile = FDir / "prog/tovik";
    p.ProgramFolder = FDir / "prog";
    p.ProgramIni = {FDir / "prog/tovik.ini", FDir / "etc/Tovik.ini"};
    p.ServiceIni = FDir / "prog/Tovik.ini";
    p.UserName = "alice";
    return p;
  }
  void User(std::string_view text) { WriteFile(Paths().UserIni, text); }
  void Program(std::string_view text) { WriteFile(Paths().ProgramIni[0], text); }
  void Etc(std::string_view text) { WriteFile(Paths().ProgramIni[1], text); }
  TSettingsStore Store(std::string_view builtIn = "") {
    FBuiltIn = TIniText(builtIn);
    return TSettingsStore(Paths(), FBuiltIn);
  }

  TTempDir FDir;
  TIniText FBuiltIn;
};

}  // namespace

TEST(SettingsPaths, FromEnvironment) {
  auto env = [](std::map<std::string, std::string> vars) {
    return [vars](const char* name) -> std::optional<std::string> {
      auto it = vars.find(name);
      if (it == vars.end()) return std::nullopt;
      return it->second;
    };
  };
  TSettingsPaths p = ComputeSettingsPaths(env({{"XDG_CONFIG_HOME", "/cfg"}, {"USER", "bob"}}), "/opt/t/tovik");
  EXPECT_EQ(p.UserFolder, "/cfg/Tovik");
  EXPECT_EQ(p.UserIni, "/cfg/Tovik/Tovik.ini");
  EXPECT_EQ(p.LogPath, "/cfg/Tovik/Tovik.log");
  EXPECT_EQ(p.ProgramIni, std::vector<std::string>{"/opt/t/tovik.ini"});
  EXPECT_EQ(p.ServiceIni, "/opt/t/Tovik.ini");
  EXPECT_EQ(p.UserName, "bob");

  // No (or a relative) XDG_CONFIG_HOME: ~/.config. A program under /usr also reads /etc/tovik.
  p = ComputeSettingsPaths(env({{"XDG_CONFIG_HOME", "rel"}, {"HOME", "/home/c"}, {"LOGNAME", "c"}}),
                           "/usr/bin/Tovik.exe");
  EXPECT_EQ(p.UserIni, "/home/c/.config/Tovik/Tovik.ini");
  EXPECT_EQ(p.ProgramIni, (std::vector<std::string>{"/usr/bin/Tovik.ini", "/etc/tovik/Tovik.ini"}));
  EXPECT_EQ(p.UserName, "c");
}

TEST_F(Settings, NoFilesGiveTheDefaults) {
  TSettingsStore s = Store();
  TRelayEndpoint e = s.RelayEndpoint();
  EXPECT_EQ(e.Host, kDefaultRelayHost);
  EXPECT_EQ(e.Port, 47800);
  EXPECT_EQ(e.Key, "");
  EXPECT_FALSE(e.FromBuiltIn);
  EXPECT_EQ(s.TcpPortsText(), "8443,443,80");
  EXPECT_EQ(s.UpdateUrl(), kDefaultUpdateUrl);
  EXPECT_EQ(s.ReadText("Profile", "Name"), "alice");
  EXPECT_EQ(s.ReadText("Book", "Stamp"), "0");
  // Every key's catalogue default is what a read without files gives.
  for (const TSettingDef& d : SettingCatalogue()) {
    if (d.Layers == TSettingLayers::slProgramFolder || d.DefaultIsUserName || d.Numbered) continue;
    if (d.Section == "Relay" || (d.Section == "Update" && d.Key == "Url")) continue;  // own algorithms
    if (d.Type == TSettingType::stText)
      EXPECT_EQ(s.ReadText(d.Section, d.Key), d.Default) << d.Section << "/" << d.Key;
    else
      EXPECT_EQ(s.ReadInt(d.Section, d.Key), ParseIniInt(d.Default, -12345)) << d.Section << "/" << d.Key;
  }
}

TEST_F(Settings, RelayEndpointLayers) {
  struct Case {
    const char* Name;
    const char* UserText;
    const char* ProgramText;
    const char* BuiltInText;
    std::string Host;
    int Port;
    std::string Key;
    bool FromBuiltIn;
  };
  const std::string def(kDefaultRelayHost);
  const Case cases[] = {
      {"per-user wins, port and key from the layers below", "[Relay]\nHost= u.example \n",
       "[Relay]\nHost=p.example\nPort=1234\nKey=PKEY\n", "[Relay]\nHost=b.example\nPort=5000\n", "u.example", 1234,
       "PKEY", false},
      {"program-side host", "", "[Relay]\nHost=p.example\n", "", "p.example", 47800, "", false},
      {"empty per-user host hides the program-side one: built-in", "[Relay]\nHost=\n",
       "[Relay]\nHost=p.example\n", "[Relay]\nHost=b.example\nPort=5000\nKey=BKEY\n", "b.example", 5000, "BKEY", true},
      {"empty per-user host hides the program-side one: default", "[Relay]\nHost=\n", "[Relay]\nHost=p.example\n",
       "", def, 47800, "", false},
      {"built-in endpoint is taken whole", "[Relay]\nPort=6000\nKey=UKEY\n", "",
       "[Relay]\nHost=b.example\nPort=5000\n", "b.example", 5000, "", true},
      {"empty per-user key hides the program-side key", "[Relay]\nKey=\n", "[Relay]\nHost=p\nKey=PKEY\n", "", "p",
       47800, "", false},
      {"blank built-in host falls to the default", "", "", "[Relay]\nHost=  \nPort=5000\n", def, 47800, "", false},
      {"port out of range", "[Relay]\nHost=u\nPort=70000\n", "", "", "u", 47800, "", false},
  };
  for (const auto& c : cases) {
    User(c.UserText);
    Program(c.ProgramText);
    TRelayEndpoint e = Store(c.BuiltInText).RelayEndpoint();
    EXPECT_EQ(e.Host, c.Host) << c.Name;
    EXPECT_EQ(e.Port, c.Port) << c.Name;
    EXPECT_EQ(e.Key, c.Key) << c.Name;
    EXPECT_EQ(e.FromBuiltIn, c.FromBuiltIn) << c.Name;
  }
}

TEST_F(Settings, TextAndSwitchLayers) {
  struct Case {
    const char* Name;
    const char* UserText;
    const char* ProgramText;
    const char* EtcText;
    const char* BuiltInText;
    std::string TcpPorts;
    bool AutoElevate;
    std::string UpdateUrl;
  };
  const std::string ports(kDefaultTcpPorts), url(kDefaultUpdateUrl);
  const Case cases[] = {
      {"nothing", "", "", "", "", ports, false, url},
      {"built-in only", "", "", "", "[Relay]\nTcpPort=9000\n[Update]\nUrl=https://b/u\n", "9000", false, "https://b/u"},
      {"program-side over built-in", "", "[Relay]\nTcpPort=9001\n[Admin]\nAutoElevate=1\n[Update]\nUrl=https://p/u\n",
       "", "[Relay]\nTcpPort=9000\n[Update]\nUrl=https://b/u\n", "9001", true, "https://p/u"},
      {"per-user over program-side", "[Relay]\nTcpPort= 9002 \n[Admin]\nAutoElevate=0\n",
       "[Relay]\nTcpPort=9001\n[Admin]\nAutoElevate=1\n", "", "", "9002", false, url},
      {"per-user on, program-side off", "[Admin]\nAutoElevate=1\n", "[Admin]\nAutoElevate=0\n", "", "", ports, true,
       url},
      {"empty per-user values", "[Relay]\nTcpPort=\n[Admin]\nAutoElevate=\n[Update]\nUrl=\n",
       "[Relay]\nTcpPort=9001\n[Admin]\nAutoElevate=1\n[Update]\nUrl=https://p/u\n", "",
       "[Update]\nUrl=https://b/u\n", ports, true, "https://b/u"},
      {"beside the program over /etc", "", "[Admin]\nAutoElevate=0\n", "[Admin]\nAutoElevate=1\n[Relay]\nTcpPort=7\n",
       "", "7", false, url},
      {"/etc alone", "", "", "[Admin]\nAutoElevate=1\n", "", ports, true, url},
  };
  for (const auto& c : cases) {
    User(c.UserText);
    Program(c.ProgramText);
    Etc(c.EtcText);
    TSettingsStore s = Store(c.BuiltInText);
    EXPECT_EQ(s.TcpPortsText(), c.TcpPorts) << c.Name;
    EXPECT_EQ(s.ReadText("Relay", "TcpPort"), c.TcpPorts) << c.Name;
    EXPECT_EQ(s.ReadSwitch("Admin", "AutoElevate"), c.AutoElevate) << c.Name;
    EXPECT_EQ(s.UpdateUrl(), c.UpdateUrl) << c.Name;
  }
}

TEST_F(Settings, ThemeOutsideTheChoicesIsAuto) {
  for (auto [text, want] : {std::pair{"0", 0}, {"1", 1}, {"2", 2}, {"7", 0}, {"-1", 0}, {"x", 0}}) {
    User(std::string("[UI]\nTheme=") + text + "\n");
    EXPECT_EQ(Store().Theme(), want) << text;
  }
}

TEST(Accent, Parsing) {
  struct Case {
    const char* Text;
    std::uint32_t Color, Darker;
    bool Custom;
  };
  // Each channel of the darker variant loses a sixth of itself, rounded down: 0x2B -> 0x2B - 7 = 0x24.
  const Case cases[] = {
      {"#1a2b3c", 0x1A2B3C, 0x162432, true},   {"1A2B3C", 0x1A2B3C, 0x162432, true},
      {" #606060 ", 0x606060, 0x505050, true}, {"#FFFFFF", 0xFFFFFF, 0xD5D5D5, true},
      {"#000005", 0x000005, 0x000005, true},   {"#12345", 0x2563EB, 0x1D4ED8, false},
      {"#GGGGGG", 0x2563EB, 0x1D4ED8, false},  {"##123456", 0x2563EB, 0x1D4ED8, false},
      {"", 0x2563EB, 0x1D4ED8, false},
  };
  for (const auto& c : cases) {
    TAccent a = ParseAccent(c.Text);
    EXPECT_EQ(a.Color, c.Color) << c.Text;
    EXPECT_EQ(a.Darker, c.Darker) << c.Text;
    EXPECT_EQ(a.Custom, c.Custom) << c.Text;
  }
}

TEST_F(Settings, BrandingLayersAndBuiltInLogo) {
  const std::string jpeg = "\xFF\xD8\xFF\xE0 jpeg bytes";
  const std::string png = "\x89PNG\r\n";
  Program("[Brand]\nName= Acme Support \nLogo=acme.png\nAccent=#606060\n");
  User("[Brand]\nAccent=\n");
  TLocalBranding b = Store("[Brand]\nName=Built\nAccent=#1a2b3c\nLogoData=" + Base64Encode(BytesOf(jpeg)) + "\n")
                         .LocalBranding();
  EXPECT_EQ(b.Name, "Acme Support");
  EXPECT_EQ(b.CaptionName, "Acme Support");
  EXPECT_EQ(b.BuiltInName, "Built");
  EXPECT_EQ(b.LogoPath, FDir / "prog/acme.png");  // a bare name is beside the program
  EXPECT_EQ(b.Accent.Color, 0x1A2B3Cu);           // empty per-user accent: the built-in one
  EXPECT_EQ(b.BuiltInLogo, Paths().UserFolder + "/BuiltInLogo.jpg");
  EXPECT_EQ(ReadFile(b.BuiltInLogo), jpeg);

  Program("");
  User("");
  b = Store("[Brand]\nName=Built\nLogoData=" + Base64Encode(BytesOf(png)) + "\n").LocalBranding();
  EXPECT_EQ(b.CaptionName, "Built");
  EXPECT_EQ(b.BuiltInLogo, Paths().UserFolder + "/BuiltInLogo.png");
  EXPECT_FALSE(b.Accent.Custom);

  for (std::string data : {Base64Encode(BytesOf("\xFF\xD8x")), std::string("not base64!")}) {
    b = Store("[Brand]\nLogoData=" + data + "\n").LocalBranding();
    EXPECT_EQ(b.BuiltInLogo, "") << data;
    EXPECT_EQ(b.CaptionName, "Tovik");
  }
}

TEST_F(Settings, WritesGoToThePerUserFile) {
  Program("[UI]\nTabbedSessions=0\n");
  TSettingsStore s = Store();
  ASSERT_TRUE(s.EnsureUserFolder());
  ASSERT_TRUE(s.WriteSwitch("Session", "Unattended", true));
  ASSERT_TRUE(s.WriteText("Relay", "Key", "ABCD"));
  ASSERT_TRUE(s.WriteSection("Recent", {{"Count", "1"}, {"Id1", "123456789"}, {"Name1", "Bob"}}));
  EXPECT_TRUE(s.ReadSwitch("Session", "Unattended"));
  EXPECT_EQ(s.ReadText("Recent", "Id1"), "123456789");
  EXPECT_EQ(s.ReadInt("Recent", "Count"), 1);
  EXPECT_TRUE(s.ReadSwitch("UI", "TabbedSessions"));  // a user key: the program-side file is not read
  ASSERT_TRUE(s.DeleteKey("Relay", "Key"));
  ASSERT_TRUE(s.EraseSection("Recent"));
  EXPECT_EQ(ReadFile(Paths().UserIni), "[Session]\r\nUnattended=1\r\n\r\n[Relay]\r\n");
  EXPECT_EQ(ReadFile(Paths().ProgramIni[0]), "[UI]\nTabbedSessions=0\n");
}

// A per-user file that holds a secret is its owner's alone: tightened at start and before any write
// that leaves a secret in it; a file without one keeps the mode it has.
TEST_F(Settings, AFileWithASecretIsPrivate) {
  struct Case {
    const char* Name;
    const char* Before;  // nullptr: no file yet
    std::function<TFileResult(const TSettingsStore&)> Do;
    mode_t After;
  };
  const Case cases[] = {
      {"start, kept-ID secret", "[ID]\r\nSecret=ab12\r\n", [](auto& s) { return s.KeepSecretsPrivate(); }, 0600},
      {"start, no secret", "[UI]\r\nTheme=1\r\n", [](auto& s) { return s.KeepSecretsPrivate(); }, 0644},
      {"start, empty secret", "[ID]\r\nSecret=\r\n", [](auto& s) { return s.KeepSecretsPrivate(); }, 0644},
      {"a secret written", "[UI]\r\nTheme=1\r\n", [](auto& s) { return s.WriteText("ID", "Secret", "ab12"); }, 0600},
      {"the unattended password's verifier written", "[UI]\r\nTheme=1\r\n",
       [](auto& s) { return s.WriteText("Session", "UnattendedPassword", "pbkdf2-sha256:1"); }, 0600},
      {"a secret in a section", "", [](auto& s) { return s.WriteSection("book", {{"secret", "cd34"}, {"Stamp", "1"}}); },
       0600},
      {"another key beside a secret", "[Book]\r\nSecret=cd34\r\n",
       [](auto& s) { return s.WriteSwitch("Session", "EdgeSwitch", false); }, 0600},
      {"another key, no secret", "[UI]\r\nTheme=1\r\n", [](auto& s) { return s.WriteInt("UI", "Theme", 2); }, 0644},
      {"the secret removed", "[ID]\r\nSecret=ab12\r\n", [](auto& s) { return s.EraseSection("ID"); }, 0600},
      {"a new file", nullptr, [](auto& s) { return s.WriteText("ID", "Secret", "ab12"); }, 0600},
  };
  const std::string path = Paths().UserIni;
  for (const Case& k : cases) {
    std::remove(path.c_str());
    if (k.Before) {
      User(k.Before);
      ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    }
    const TSettingsStore store = Store();
    ASSERT_TRUE(store.EnsureUserFolder());
    EXPECT_TRUE(k.Do(store)) << k.Name;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << k.Name;
    EXPECT_EQ(st.st_mode & 0777, k.After) << k.Name;
  }
}

TEST_F(Settings, FailedGuardedWriteIsLogged) {
  TSettingsStore s = Store();  // the per-user folder does not exist
  std::vector<std::string> lines;
  EXPECT_FALSE(s.WriteTextLogged(TSaveFailure::sfRelayKey, "Relay", "Key", "ABCD",
                                 [&](std::string_view l) { lines.emplace_back(l); }));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Could not save Key in " + Paths().UserIni + ": No such file or directory");
}

TEST(SaveFailure, Lines) {
  struct Case {
    TSaveFailure What;
    std::string Want;
  };
  const Case cases[] = {
      {TSaveFailure::sfRelayKey, "Could not save Key in /u/Tovik.ini: disk full"},
      {TSaveFailure::sfTheme, "Could not save the day / night choice: disk full"},
      {TSaveFailure::sfUnattended, "Could not save the unattended setting: disk full"},
      {TSaveFailure::sfTabs, "Could not save the tabs setting: disk full"},
      {TSaveFailure::sfBookKey, "Could not save the sync setting Key: disk full"},
      {TSaveFailure::sfRecentFile, "Could not save the saved PCs in /u/Tovik.ini: disk full"},
      {TSaveFailure::sfRecent, "Could not save the saved PCs: disk full"},
      {TSaveFailure::sfServerLogo, "Could not save the server logo: disk full"},
  };
  for (const auto& c : cases) EXPECT_EQ(SaveFailureLine(c.What, "Key", "/u/Tovik.ini", "disk full"), c.Want);
}

TEST(BuildNumber, CompiledInElseFileTimeElseQuestionMark) {
  TTempDir dir;
  const std::string file = dir / "tovik";
  WriteFile(file, "x");
  std::tm tm{};
  tm.tm_year = 2024 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 5;
  tm.tm_hour = 7;
  tm.tm_min = 8;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);  // local time, as the text is
  const timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

  EXPECT_EQ(BuildNumberText("412", file), "412");
  EXPECT_EQ(BuildNumberText("", file), "20240305.0708");
  EXPECT_EQ(BuildNumberText("0", file), "20240305.0708");
  EXPECT_EQ(BuildNumberText("", dir / "missing"), "?");
}

namespace {

struct TFakeRemoteDesktop : IRemoteDesktopDefault {
  TRemoteDesktopResult Result;
  int Calls = 0;
  explicit TFakeRemoteDesktop(TRemoteDesktopResult r) : Result(r) {}
  TRemoteDesktopResult KeepDrawingWhenMinimized() override {
    ++Calls;
    return Result;
  }
};

}  // namespace

TEST_F(Settings, RemoteDesktopDefaultOnce) {
  struct Case {
    TRemoteDesktopResult Result;
    bool Logged;
    bool DefaultSet;
  };
  const Case cases[] = {
      {TRemoteDesktopResult::rdNotApplicable, false, false},
      {TRemoteDesktopResult::rdFailed, false, false},
      {TRemoteDesktopResult::rdAlreadySet, false, true},
      {TRemoteDesktopResult::rdChanged, true, true},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(Paths().UserFolder);
    TSettingsStore s = Store();
    ASSERT_TRUE(s.EnsureUserFolder());
    TFakeRemoteDesktop backend(c.Result);
    std::vector<std::string> lines;
    auto log = [&](std::string_view l) { lines.emplace_back(l); };
    ApplyRemoteDesktopDefaultOnce(s, backend, log);
    ApplyRemoteDesktopDefaultOnce(s, backend, log);
    EXPECT_EQ(backend.Calls, c.DefaultSet ? 1 : 2);
    EXPECT_EQ(s.ReadSwitch("RemoteDesktop", "DefaultSet"), c.DefaultSet);
    EXPECT_EQ(Exists(Paths().UserIni), c.DefaultSet);
    EXPECT_EQ(lines, c.Logged ? std::vector<std::string>{"Remote Desktop on this PC now keeps drawing when minimized "
                                                          "(Settings > Network)"}
                              : std::vector<std::string>{});
  }
}
