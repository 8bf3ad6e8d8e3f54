// The settings dialog's checks and the application of a confirmed record: what is written (in one
// batch), the order of the steps outside the file, and that a failing write applies nothing. Also the
// desktop's autostart entry.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/TovikAutostart.h"
#include "app/TovikSettingsApply.h"
#include "tests/app/TempSettingsPaths.h"
#include "tests/base/TestTempDir.h"

namespace tovik {
namespace {

using test::ReadFile;
using test::WriteFile;

TEST(SettingsForm, RefusesAnEmptyServerAndAPortOutsideItsRange) {
  struct TCase {
    const char* Host;
    const char* Port;
    const char* Message;  // nullptr: accepted
  } cases[] = {
      {"relay.example", "47800", nullptr},
      {"relay.example", "1", nullptr},
      {"relay.example", "65535", nullptr},
      {"  ", "47800", "Enter the server name, or click Default server."},
      {"", "47800", "Enter the server name, or click Default server."},
      {"relay.example", "70000", "The port must be a number from 1 to 65535."},
      {"relay.example", "abc", "The port must be a number from 1 to 65535."},
      {"relay.example", "0", "The port must be a number from 1 to 65535."},
      {"relay.example", "", "The port must be a number from 1 to 65535."},
      {"relay.example", "99999999999", "The port must be a number from 1 to 65535."},
  };
  for (const TCase& c : cases) {
    const auto refusal = CheckSettingsForm(c.Host, c.Port);
    if (!c.Message) {
      EXPECT_FALSE(refusal) << c.Host << ":" << c.Port;
      continue;
    }
    ASSERT_TRUE(refusal) << c.Host << ":" << c.Port;
    EXPECT_EQ(refusal->Page, "Network");
    EXPECT_EQ(refusal->Message, c.Message);
  }
  EXPECT_EQ(ParsePortText("abc", 47800), 47800);
  EXPECT_EQ(ParsePortText(" 443 ", 47800), 443);
}

TEST(SettingsForm, DefaultServerAndPictureTarget) {
  EXPECT_EQ(DefaultServer(TIniText("[Relay]\nHost= corp.example \nPort=5000\n")),
            (std::pair<std::string, int>{"corp.example", 5000}));
  EXPECT_EQ(DefaultServer(TIniText("[Relay]\nHost=corp.example\n")),
            (std::pair<std::string, int>{"corp.example", kDefaultRelayPort}));
  EXPECT_EQ(DefaultServer(TIniText("")), (std::pair<std::string, int>{std::string(kDefaultRelayHost), kDefaultRelayPort}));
  EXPECT_EQ(ProfilePictureTarget("/u", "/home/a/Me.JPG"), "/u/profile.jpg");
  EXPECT_EQ(ProfilePictureTarget("/u", "/home/a.b/me"), "/u/profile");
}

// Records each effect in the order it happened.
struct TFakeEffects final : ISettingsEffects {
  std::vector<std::string> Steps;
  bool Answer = true;
  std::string CopyError;
  std::string AutostartError;
  void Log(const std::string& t) override { Steps.push_back("log " + t); }
  void Tell(const std::string& t, bool) override { Steps.push_back("tell " + t); }
  bool Ask(const std::string& t) override {
    Steps.push_back("ask " + t.substr(0, 20));
    return Answer;
  }
  std::string CopyFile(const std::string&, const std::string& to) override {
    Steps.push_back("copy " + to.substr(to.rfind('/') + 1));
    return CopyError;
  }
  void SetRdpKeepDrawing(bool on) override { Steps.push_back(on ? "rdp on" : "rdp off"); }
  void TurnKeepIDOn() override { Steps.push_back("keep id"); }
  std::string SetStartWithDesktop(bool on) override {
    Steps.push_back(on ? "autostart on" : "autostart off");
    return AutostartError;
  }
  void SetUnattended(bool on) override { Steps.push_back(on ? "unattended on" : "unattended off"); }
  void RestartProgram() override { Steps.push_back("restart"); }
};

class SettingsApply : public ::testing::Test {
 protected:
  SettingsApply() : Store(test::TempSettingsPaths(Dir.Path()), BuiltIn) {
    Store.EnsureUserFolder();
    Before.RelayHost = "relay.example";
    Before.RelayPort = 47800;
    Before.ProfileName = "Anna";
    WriteFile(Store.Paths().UserIni, "[Relay]\r\nHost=relay.example\r\nKey=ABCD\r\n");
  }
  std::string Ini() const { return ReadFile(Store.Paths().UserIni); }
  test::TTempDir Dir;
  TIniText BuiltIn;
  TSettingsStore Store;
  TTovikSettings Before;
  TFakeEffects Fx;
};

TEST_F(SettingsApply, WritesTheDialogsKeysAndKeepsTheRelayUnlessItChanged) {
  TTovikSettings after = Before;
  after.EdgeSwitch = false;
  after.RecordFolder = "/videos";
  after.Company = "Berg & Co";
  EXPECT_EQ(ApplySettings(Store, Fx, Before, after), TApplyResult::arApplied);
  EXPECT_EQ(Store.ReadText("Session", "RecordFolder"), "/videos");
  EXPECT_FALSE(Store.ReadSwitch("Session", "EdgeSwitch"));
  EXPECT_EQ(Store.ReadText("Profile", "Company"), "Berg & Co");
  EXPECT_EQ(Store.ReadText("Relay", "Key"), "ABCD");
  EXPECT_EQ(Ini().find("Port="), std::string::npos) << "an unchanged endpoint writes nothing to [Relay]";
  EXPECT_TRUE(Fx.Steps.empty());
}

TEST_F(SettingsApply, AChangedEndpointWritesHostAndPortAndForgetsTheKeyOnlyForAnotherHost) {
  struct TCase {
    const char* Host;
    int Port;
    bool KeyKept;
  } cases[] = {{"relay.example", 5000, true}, {"RELAY.example", 47800, true}, {"other.example", 47800, false}};
  for (const TCase& c : cases) {
    WriteFile(Store.Paths().UserIni, "[Relay]\r\nHost=relay.example\r\nKey=ABCD\r\n");
    TFakeEffects fx;
    fx.Answer = false;
    TTovikSettings after = Before;
    after.RelayHost = c.Host;
    after.RelayPort = c.Port;
    ApplySettings(Store, fx, Before, after);
    EXPECT_EQ(Store.ReadText("Relay", "Host"), c.Host);
    EXPECT_EQ(Store.ReadInt("Relay", "Port"), c.Port);
    EXPECT_EQ(Store.ReadText("Relay", "Key"), c.KeyKept ? "ABCD" : "") << c.Host;
    ASSERT_EQ(fx.Steps.size(), 1u) << c.Host;
    EXPECT_EQ(fx.Steps[0], "ask " + std::string(kAskRestartForServer).substr(0, 20));
  }
}

TEST_F(SettingsApply, StepsOutsideTheFileFollowTheWriteInTheirOrder) {
  TTovikSettings after = Before;
  after.RdpKeepDrawing = true;
  after.StartWithDesktop = true;
  after.Unattended = true;
  after.RelayPort = 5000;
  ApplySettings(Store, Fx, Before, after);
  EXPECT_EQ(Fx.Steps, (std::vector<std::string>{"rdp on", "keep id", "autostart on", "unattended on",
                                                "ask " + std::string(kAskRestartForServer).substr(0, 20),
                                                "restart"}));
}

// Starting with the desktop never turns unattended access on silently: it asks, and the switch's own
// handler then asks for the password.
TEST_F(SettingsApply, StartWithTheDesktopAsksBeforeItTurnsOnUnattendedAccess) {
  for (bool yes : {true, false}) {
    TFakeEffects fx;
    fx.Answer = yes;
    TTovikSettings after = Before;
    after.StartWithDesktop = true;
    ApplySettings(Store, fx, Before, after);
    std::vector<std::string> want{"keep id", "autostart on",
                                  "ask " + std::string(kAskUnattendedWithAutostart).substr(0, 20)};
    if (yes) want.push_back("unattended on");
    EXPECT_EQ(fx.Steps, want) << yes;
  }
}

// A failing write leaves no half-applied set: nothing outside the file happens either.
TEST_F(SettingsApply, AFailingWriteAppliesNothing) {
  // A settings file larger than any the program writes counts as unreadable, and one that cannot be
  // read is never overwritten: the write fails, even for a user whom file modes do not stop.
  WriteFile(Store.Paths().UserIni, "[Relay]\r\nHost=relay.example\r\n;" + std::string(kMaxIniBytes, 'x') + "\r\n");
  const std::string before = Ini();
  TTovikSettings after = Before;
  after.EdgeSwitch = false;
  after.StartWithDesktop = true;
  after.Unattended = true;
  after.RdpKeepDrawing = true;
  after.RelayHost = "other.example";
  EXPECT_EQ(ApplySettings(Store, Fx, Before, after), TApplyResult::arNotWritten);
  EXPECT_TRUE(Ini() == before);
  ASSERT_EQ(Fx.Steps.size(), 2u);
  EXPECT_EQ(Fx.Steps[0].rfind("log Could not save the settings: ", 0), 0u) << Fx.Steps[0];
  EXPECT_EQ(Fx.Steps[1].rfind("tell The settings could not be saved", 0), 0u) << Fx.Steps[1];
}

TEST_F(SettingsApply, APictureIsCopiedIntoTheUserFolderAndAFailedCopyKeepsThePreviousOne) {
  Before.PicturePath = Store.Paths().UserFolder + "/profile.png";
  TTovikSettings after = Before;
  after.PicturePath = "/photos/Me.JPG";
  ApplySettings(Store, Fx, Before, after);
  EXPECT_EQ(Fx.Steps, (std::vector<std::string>{"copy profile.jpg"}));
  EXPECT_EQ(Store.ReadText("Profile", "Picture"), Store.Paths().UserFolder + "/profile.jpg");

  TFakeEffects failing;
  failing.CopyError = "disk full";
  ApplySettings(Store, failing, Before, after);
  EXPECT_EQ(Store.ReadText("Profile", "Picture"), Before.PicturePath);
  ASSERT_EQ(failing.Steps.size(), 3u);
  EXPECT_EQ(failing.Steps[1], "log Could not copy the profile picture: disk full");
  EXPECT_NE(failing.Steps[2].find("The previous picture stays."), std::string::npos);

  // The chosen file already is the stored copy: nothing to copy.
  TFakeEffects same;
  after.PicturePath = Store.Paths().UserFolder + "/profile.jpg";
  ApplySettings(Store, same, Before, after);
  EXPECT_TRUE(same.Steps.empty());
}

TEST(Autostart, TheEntryStartsTheProgramInTrayModeAndCountsAsOnWhileItExists) {
  test::TTempDir dir;
  TXdgAutostart a(TXdgAutostart::FolderFor(dir.Path() + "/config/Tovik"), "/opt/my tovik/tovik");
  EXPECT_EQ(a.EntryPath(), dir.Path() + "/config/autostart/tovik.desktop");
  EXPECT_FALSE(a.Enabled());
  EXPECT_EQ(a.SetEnabled(true), "");
  EXPECT_TRUE(a.Enabled());
  const std::string text = ReadFile(a.EntryPath());
  EXPECT_NE(text.find("\nExec=\"/opt/my tovik/tovik\" /tray\n"), std::string::npos) << text;
  EXPECT_EQ(a.SetEnabled(false), "");
  EXPECT_FALSE(a.Enabled());
  EXPECT_EQ(a.SetEnabled(false), "") << "removing a missing entry succeeds";
}

TEST(Autostart, ExecQuotesThePathAsDesktopEntriesAsk) {
  struct TCase {
    std::string Path, Exec;
  } cases[] = {
      {"/usr/bin/tovik", "\"/usr/bin/tovik\" /tray"},
      {"/a\"b", "\"/a\\\\\"b\" /tray"},
      {"/a$b`c", "\"/a\\\\$b\\\\`c\" /tray"},
      {"/a\\b", "\"/a\\\\\\\\b\" /tray"},
      {"/a\nb", ""},
      {"", ""},
  };
  for (const TCase& c : cases) EXPECT_EQ(AutostartExec(c.Path), c.Exec) << c.Path;
}

}  // namespace
}  // namespace tovik
