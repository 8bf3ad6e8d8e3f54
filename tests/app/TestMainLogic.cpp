// The main window's decisions with a fake client, a fake view and a manual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/base/TestTempDir.h"
#include "tests/app/TempSettingsPaths.h"
#include "app/TovikMainLogic.h"
#include "app/TovikMainUpdates.h"
#include "app/TovikTrayMode.h"
#include "base/TovikIni.h"

using namespace tovik;
using namespace tovik::test;

namespace {

struct TFakeClient final : IMainClient {
  std::string ID = "0", Partner, Name, Check = "123 456";
  TTovikState St = rsOffline;
  bool Pinned = false, Secure = false, Blocked = false, Unatt = false;
  std::int64_t Left = 0;
  std::vector<std::string> Calls;
  std::string MyID() const override { return ID; }
  TTovikState State() const override { return St; }
  bool IDPinned() const override { return Pinned; }
  std::int64_t IDSecondsLeft() const override { return Left; }
  bool RelaySecure() const override { return Secure; }
  bool RelayBlocked() const override { return Blocked; }
  std::string PartnerID() const override { return Partner; }
  std::string PartnerName() const override { return Name; }
  std::string CheckNumber() const override { return Check; }
  void ConnectTo(const std::string& AID) override { Calls.push_back("connect " + AID); }
  void Disconnect() override { Calls.push_back("disconnect"); }
  void PinID(const std::string& AID, const std::string& ASecret) override {
    Calls.push_back("pin " + AID + " " + ASecret);
  }
  void UnpinID() override { Calls.push_back("unpin"); }
  void SendText(const std::string& AText) override { Calls.push_back("text " + AText); }
  void SetUnattended(bool AOn) override { Unatt = AOn; }
  void Online() {
    ID = "555000111";
    Secure = true;
    St = rsRegistered;
    Left = 600;
  }
};

struct TFakeView final : IMainView {
  std::string ID, Caption, Status, Session, SessionTip, Hint, HostState;
  std::uint32_t StatusCol = 0, SessCol = 0, HintCol = 0;
  bool ConnectOn = false, Keep = false, KeepOn = false, Unatt = false, Tools = false, Focused = false;
  bool Minimized = false, ClipboardBusy = false, Picture = false;
  std::string Clipboard;
  void ShowID(const std::string& s) override { ID = s; }
  void SetConnectEnabled(bool on) override { ConnectOn = on; }
  void SetConnectCaption(const std::string& c) override { Caption = c; }
  void SetStatus(std::uint32_t c, const std::string& t) override {
    StatusCol = c;
    Status = t;
  }
  void SetSessionDisplay(std::uint32_t c, const std::string& t, const std::string& tip) override {
    SessCol = c;
    Session = t;
    SessionTip = tip;
  }
  void SetHint(const std::string& t, std::uint32_t c) override {
    Hint = t;
    HintCol = c;
  }
  void SetHostState(const std::string& t) override { HostState = t; }
  void SetKeepID(bool on) override { Keep = on; }
  void SetKeepIDEnabled(bool on) override { KeepOn = on; }
  void SetUnattendedSwitch(bool on) override { Unatt = on; }
  void SetToolsButton(bool on) override { Tools = on; }
  void ShowHelperPicture(const std::optional<TPicture24>& p) override { Picture = p.has_value(); }
  void FocusPartnerBox() override { Focused = true; }
  bool CopyText(const std::string& t) override {
    if (ClipboardBusy) return false;
    Clipboard = t;
    return true;
  }
  void MinimizeApp() override { Minimized = true; }
  std::optional<std::string> NewPassword;  // what the person types into the password dialog
  int PasswordAsked = 0;
  std::optional<std::string> AskNewPassword() override {
    ++PasswordAsked;
    return NewPassword;
  }
};

struct TFakeSessions final : IMainSessions {
  bool Live = false, Viewer = false, Unatt = false, Restart = false;
  std::string Helper;
  int Created = 0;
  void Create(bool v, const std::optional<TPasswordVerifier>& u) override {
    Live = true;
    Viewer = v;
    Unatt = u.has_value();
    ++Created;
  }
  void Free() override { Live = false; }
  bool Exists() const override { return Live; }
  bool RestartAsked() const override { return Restart; }
  std::string HelperName() const override { return Helper; }
  std::optional<TPicture24> HelperPicture() const override { return std::nullopt; }
  void ShowTools() override {}
};

class MainLogic : public ::testing::Test {
 protected:
  MainLogic() : Store(Paths(), BuiltIn), Logic(Store, View, [this](std::string_view l) { Log.emplace_back(l); }) {
    Store.EnsureUserFolder();
    Logic.Attach(&Client, &Sessions);
  }
  TSettingsPaths Paths() { return TempSettingsPaths(Dir.Path()); }
  std::string Ini(std::string_view sec, std::string_view key) { return Store.ReadUserText(sec, key, "<none>"); }
  // Starts, comes online and receives the ID.
  void Online() {
    Logic.Startup("127.0.0.1:47800");
    Client.Online();
    Logic.OnID();
  }
  // The helper side of a session with 987654321.
  void ConnectedAsHelper() {
    Online();
    Logic.ConnectClick("987 654 321");
    Client.St = rsConnected;
    Client.Partner = "987654321";
    Logic.OnConnected();
  }
  bool Logged(const std::string& line) const { return std::find(Log.begin(), Log.end(), line) != Log.end(); }

  TManualClock Clock;
  TTempDir Dir;
  TIniText BuiltIn;
  TSettingsStore Store;
  TFakeClient Client;
  TFakeView View;
  TFakeSessions Sessions;
  std::vector<std::string> Log;
  TMainLogic Logic;
};

// Tray mode shows nothing at start only where a tray icon can bring the window back; elsewhere it
// starts minimized and closing ends the program.
TEST(TrayMode, StartAndCloseDependOnTheTrayBeingThere) {
  struct TCase {
    bool Tray, Show, Min, TrayAvailable;
    TStartShow Want;
  } cases[] = {
      {false, false, false, true, TStartShow::ssShown},     {false, false, true, true, TStartShow::ssMinimized},
      {true, false, false, true, TStartShow::ssHidden},     {true, false, false, false, TStartShow::ssMinimized},
      {true, true, false, true, TStartShow::ssShown},       {true, true, true, true, TStartShow::ssMinimized},
  };
  for (const TCase& c : cases) {
    TRunSwitches sw;
    sw.Tray = c.Tray;
    sw.Show = c.Show;
    sw.Min = c.Min;
    EXPECT_EQ(StartShowing(sw, c.TrayAvailable), c.Want) << c.Tray << c.Show << c.Min << c.TrayAvailable;
  }
  EXPECT_TRUE(CloseHides(true, true, false));
  EXPECT_FALSE(CloseHides(true, false, false));
  EXPECT_FALSE(CloseHides(true, true, true));
  EXPECT_FALSE(CloseHides(false, true, false));
  EXPECT_EQ(RestartParameters(true, true, true), "/tray /show /min");
  EXPECT_EQ(RestartParameters(true, false, false), "/tray");
  EXPECT_EQ(RestartParameters(false, true, true), "/min");
  EXPECT_EQ(RestartParameters(false, true, false), "");
}

TEST(AdminButton, FacesFollowTheRealState) {
  struct TCase {
    bool Elevated, Ready, Reaches;
    TAdminFaceKind Want;
    const char* Caption;
  } cases[] = {
      {true, false, false, TAdminFaceKind::afElevated, "Admin mode on"},
      {false, true, false, TAdminFaceKind::afServiceReady, "Admin support ready"},
      {true, true, true, TAdminFaceKind::afServiceReady, "Admin support ready"},
      {false, false, true, TAdminFaceKind::afDesktopReaches, "Admin prompts OK"},
      {false, false, false, TAdminFaceKind::afNotReady, "Allow admin tasks"},
      // The service going away while elevated leaves the elevated face, not a restart offer.
      {true, false, true, TAdminFaceKind::afElevated, "Admin mode on"},
  };
  for (const TCase& c : cases) {
    const TAdminFace f = AdminFace(c.Elevated, c.Ready, c.Reaches);
    EXPECT_EQ(f.Kind, c.Want) << c.Caption;
    EXPECT_EQ(f.Caption, c.Caption);
    EXPECT_EQ(f.Clickable, c.Want == TAdminFaceKind::afNotReady) << c.Caption;
  }
}

}  // namespace

TEST(MainLogicText, IDStateTexts) {
  struct TCase {
    bool Pinned, Keep;
    std::int64_t Left;
    std::string Want;
  } cases[] = {
      {false, false, 600, "Valid for 10:00. Give it to your helper; it works once."},
      {false, false, 65, "Valid for 1:05. Give it to your helper; it works once."},
      {false, false, 1, "Valid for 0:01. Give it to your helper; it works once."},
      {false, false, 0, "Getting a new ID..."},
      {false, true, 300, "Asking the server to keep this ID..."},
      {true, true, 0, "This ID is kept for this PC and does not expire. Switch it off for one-time IDs again."},
  };
  for (const auto& c : cases) EXPECT_EQ(IDStateText(c.Pinned, c.Keep, c.Left), c.Want) << c.Left;
}

TEST(MainLogicText, StartWindowSizeKeepsToTheWorkArea) {
  struct TCase {
    TSizeI Work;
    double Scale;
    int Frame, Menu;
    TSizeI Want;
  } cases[] = {
      {{1920, 1080}, 1.0, 4, 0, {776, 460}},
      {{1920, 1080}, 1.0, 0, 0, {784, 468}},    // no measurable frame: 8 each side
      {{1920, 1080}, 1.0, 41, 0, {784, 468}},   // implausible frame: 8
      {{1920, 1080}, 1.5, 8, 24, {1168, 718}},  // scaled, with a menu bar
      {{700, 400}, 1.0, 8, 24, {700, 400}},     // a small work area wins
      {{800, 300}, 1.0, 8, 0, {784, 300}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StartWindowSize(c.Work, c.Scale, c.Frame, c.Menu), c.Want) << c.Work.W << "x" << c.Work.H;
}

// The window once session tabs exist: grown to W x H centred on the work area, a larger dimension kept.
TEST(MainLogicText, TabbedWindowGrowsToTheWorkAreaOnce) {
  struct TCase {
    TRectI Window, Work, Want;
  } cases[] = {
      {{100, 80, 784, 468}, {0, 0, 1920, 1080}, {260, 80, 1400, 920}},       // capped at 1400 x 920
      {{0, 0, 784, 468}, {0, 0, 1280, 800}, {20, 20, 1240, 760}},            // work area - 40
      {{10, 10, 1500, 500}, {0, 0, 1920, 1080}, {260, 80, 1500, 920}},       // wider already: kept
      {{5, 6, 1600, 1000}, {0, 0, 1920, 1080}, {5, 6, 1600, 1000}},          // large enough: unchanged
      {{2000, 0, 784, 468}, {1920, 30, 1920, 1050}, {2180, 95, 1400, 920}},  // the monitor holding it
  };
  for (const auto& c : cases)
    EXPECT_EQ(TabbedWindowRect(c.Window, c.Work), c.Want) << c.Window.X << "," << c.Window.Y;
}

TEST(MainLogicText, ExtraIDAcceptsOnlyDigitsBlanksAndDashes) {
  EXPECT_EQ(ParseExtraID("123 456-789"), "123456789");
  EXPECT_EQ(ParseExtraID("123.456.789"), std::nullopt);
  EXPECT_EQ(ParseExtraID("12345678"), std::nullopt);
  EXPECT_EQ(ParseExtraID("1234567890"), std::nullopt);
  EXPECT_EQ(DigitsOf("ID: 123.456.789!"), "123456789");
}

TEST_F(MainLogic, StartupShowsPlaceholdersAndAsksToKeepAStoredID) {
  Store.WriteText("ID", "Secret", std::string(64, 'A'));
  Store.WriteText("ID", "Pinned", "111222333");
  Store.WriteSwitch("Session", "Unattended", true);
  Store.WriteText("Session", "UnattendedPassword",
                  FormatPasswordVerifier(MakePasswordVerifier("correct horse", kPasswordMinIterations)));
  Logic.Startup("relay:47800");
  EXPECT_EQ(View.ID, "--- --- ---");
  EXPECT_FALSE(View.ConnectOn);
  EXPECT_TRUE(View.Keep);
  EXPECT_FALSE(View.KeepOn);
  EXPECT_TRUE(View.Unatt);
  EXPECT_TRUE(Client.Unatt);
  EXPECT_TRUE(Logged("Unattended access turned on"));
  EXPECT_EQ(View.Status, "Connecting to server...");
  EXPECT_EQ(View.StatusCol, KColAmber);
  EXPECT_EQ(View.Session, "No active session");
  EXPECT_EQ(View.SessionTip, "Sessions are encrypted end to end with AES-256");
  EXPECT_EQ(View.Hint, "Connecting to the server; you can help as soon as it is online.");
  ASSERT_EQ(Client.Calls.size(), 1u);
  EXPECT_EQ(Client.Calls[0], "pin 111222333 " + std::string(64, 'A'));

  Client.Online();
  Logic.OnID();
  EXPECT_EQ(View.ID, "555 000 111");
  EXPECT_TRUE(View.ConnectOn);
  EXPECT_TRUE(View.KeepOn);
  EXPECT_EQ(View.Status, "Online, secure connection");
  EXPECT_EQ(View.Hint, "Type the ID of the PC you want to help, or pick a saved PC.");
  EXPECT_EQ(View.HostState, "Asking the server to keep this ID...");
}

// With tabs a helper in a session keeps "Connect" and adds the typed PC as an extra session; the helped
// side and a helper without tabs get "Disconnect", which ends the session.
TEST_F(MainLogic, TabsLetAHelperAddPCsWithConnect) {
  struct TCase {
    bool Tabbed, Helper;
    std::string Caption;
  } cases[] = {{true, true, "Connect"}, {false, true, "Disconnect"}, {true, false, "Disconnect"}};
  for (const auto& c : cases) {
    Logic.SetTabbed(c.Tabbed);
    if (c.Helper) {
      ConnectedAsHelper();
    } else {
      Online();
      Client.St = rsConnected;
      Client.Partner = "987654321";
      Logic.OnConnected();
    }
    EXPECT_EQ(View.Caption, c.Caption) << c.Tabbed << c.Helper;
    Client.St = rsRegistered;
    Logic.OnDisconnected();
    EXPECT_EQ(View.Caption, "Connect");
  }
  std::vector<std::string> opened;
  Logic.OpenExtra = [&opened](const std::string& AID) { opened.push_back(AID); };
  Logic.SetTabbed(true);
  ConnectedAsHelper();
  Client.Calls.clear();
  Logic.ConnectClick("111-222-333");
  EXPECT_EQ(opened, std::vector<std::string>{"111222333"});
  EXPECT_TRUE(Client.Calls.empty()) << "the primary session goes on";
  Logic.ConnectClick("987 654 321");
  EXPECT_EQ(View.Hint, "You are already helping that PC.");
  Logic.ConnectClick("12");
  EXPECT_EQ(View.Hint, "Enter the 9-digit ID of the other PC.");
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(MainLogic, ConnectReadsTheBoxAndRefusesBadIDs) {
  Logic.Startup("relay:47800");
  Logic.ConnectClick("123456789");
  EXPECT_EQ(View.Hint, "Still connecting to the server. Try again in a moment.");
  EXPECT_EQ(View.HintCol, KColRed);
  EXPECT_TRUE(Logged("Still connecting to the server. Try again in a moment."));

  Client.Online();
  Logic.OnID();
  struct TCase {
    std::string Box, Call, Hint;
  } cases[] = {
      {"123-456-789", "connect 123456789", ""},
      {"123.456.789", "connect 123456789", ""},
      {" 123 456 789 ", "connect 123456789", ""},
      {"12345678", "", "Enter the 9-digit ID of the other PC."},
      {"1234567890", "", "Enter the 9-digit ID of the other PC."},
      {"", "", "Enter the 9-digit ID of the other PC."},
      {"555 000 111", "", "That is your own ID."},
  };
  for (const auto& c : cases) {
    Client.Calls.clear();
    View.Hint.clear();
    Client.St = rsRegistered;
    Logic.ConnectClick(c.Box);
    if (c.Call.empty()) {
      EXPECT_TRUE(Client.Calls.empty()) << c.Box;
      EXPECT_EQ(View.Hint, c.Hint) << c.Box;
    } else {
      ASSERT_EQ(Client.Calls.size(), 1u) << c.Box;
      EXPECT_EQ(Client.Calls[0], c.Call);
      EXPECT_EQ(View.Session, "Connecting to 123 456 789...");
      EXPECT_EQ(View.SessCol, KColAmber);
      EXPECT_TRUE(Logic.IsViewer());
    }
  }
  // While punching a click does nothing; in a session it hangs up.
  Client.Calls.clear();
  Client.St = rsPunching;
  Logic.ConnectClick("123456789");
  EXPECT_TRUE(Client.Calls.empty());
}

TEST_F(MainLogic, HelpAnotherParsesStrictly) {
  Online();
  Logic.HelpAnother(std::string("123.456.789"));
  EXPECT_EQ(View.Hint, "Enter the 9-digit ID of the other PC.");
  Logic.HelpAnother(std::string("555-000-111"));
  EXPECT_EQ(View.Hint, "That is your own ID.");
  View.Hint.clear();
  Logic.HelpAnother(std::nullopt);
  Logic.HelpAnother(std::string("   "));
  EXPECT_EQ(View.Hint, "");
  Client.St = rsConnected;
  Client.Partner = "123456789";
  Logic.HelpAnother(std::string("123 456 789"));
  EXPECT_EQ(View.Hint, "You are already helping that PC.");
  Logic.HelpAnother(std::string("123 456 780"));
  EXPECT_NE(View.Hint.find("not available yet"), std::string::npos);
  EXPECT_TRUE(Client.Calls.empty());
  // With extra sessions: a new ID opens a link, one that a link already helps is refused.
  std::vector<std::string> opened;
  Logic.OpenExtra = [&opened](const std::string& id) { opened.push_back(id); };
  Logic.HasExtra = [&opened](const std::string& id) { return std::find(opened.begin(), opened.end(), id) != opened.end(); };
  View.Hint.clear();
  Logic.HelpAnother(std::string("123 456 780"));
  EXPECT_EQ(opened, std::vector<std::string>{"123456780"});
  Logic.HelpAnother(std::string("123-456-780"));
  EXPECT_EQ(View.Hint, "You are already helping that PC.");
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(MainLogic, KeepIDWritesAndErasesTheIDSection) {
  Online();
  Logic.KeepIDChanged(true);
  const std::string secret = Ini("ID", "Secret");
  ASSERT_EQ(secret.size(), 64u);
  EXPECT_EQ(secret.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(Client.Calls.back(), "pin  " + secret);
  EXPECT_TRUE(Logged("Asking the server to keep ID 555 000 111"));
  EXPECT_EQ(View.HostState, "Asking the server to keep this ID...");

  Logic.OnPin(true, "555000111");
  EXPECT_EQ(Ini("ID", "Pinned"), "555000111");
  Client.Pinned = true;
  Logic.RefreshIDText();
  EXPECT_EQ(View.HostState,
            "This ID is kept for this PC and does not expire. Switch it off for one-time IDs again.");

  // On again keeps a good secret and forgets the old confirmation.
  Logic.KeepIDChanged(true);
  EXPECT_EQ(Ini("ID", "Secret"), secret);
  EXPECT_EQ(Ini("ID", "Pinned"), "<none>");

  Logic.KeepIDChanged(false);
  EXPECT_EQ(Ini("ID", "Secret"), "<none>");
  EXPECT_EQ(Client.Calls.back(), "unpin");
  EXPECT_TRUE(Logged("Back to one-time IDs"));
  Logic.KeepIDChanged(true);
  EXPECT_NE(Ini("ID", "Secret"), secret);

  // A refused request turns the switch off, erases the section and shows the reason.
  Logic.OnPin(false, "This ID is taken.");
  EXPECT_FALSE(View.Keep);
  EXPECT_EQ(Ini("ID", "Secret"), "<none>");
  EXPECT_EQ(View.HostState, "This ID is taken.");
  Client.Pinned = false;
  Logic.RefreshIDText();
  EXPECT_EQ(View.HostState, "Valid for 10:00. Give it to your helper; it works once.");
}

// Names from the other PC reach the main window cut to 80 characters, whole characters only.
TEST_F(MainLogic, NamesFromTheOtherPcAreCutTo80Characters) {
  Online();
  const std::string longName = std::string(70, 'A') + std::string(20, 'x') + "\xE2\x82\xAC tail";  // 70 + 20 + euro
  const std::string cut = std::string(70, 'A') + std::string(10, 'x');
  Client.St = rsConnected;
  Client.Partner = "987654321";
  Client.Name = longName;
  Logic.OnConnected();
  EXPECT_EQ(View.SessionTip.rfind(cut + " wants to help this PC.", 0), 0u) << View.SessionTip;
  Sessions.Helper = std::string(79, 'B') + "\xE2\x82\xAC\xE2\x82\xAC";
  Logic.OnHelperInfo();
  EXPECT_EQ(View.HostState, std::string(79, 'B') + "\xE2\x82\xAC is helping this PC.");
}

// A message from the partner goes into the log as one line of plain text.
TEST_F(MainLogic, PartnerTextIsEscapedInTheLog) {
  Logic.OnMessage("Hello\r\n2030-01-01 10:00:00  Unattended access turned on\x1B[8m");
  EXPECT_TRUE(Logged("Partner says: Hello??2030-01-01 10:00:00  Unattended access turned on?[8m"));
  EXPECT_FALSE(Logged("Unattended access turned on"));
}

TEST_F(MainLogic, UnattendedAccessIsOnOnlyWithAPassword) {
  Online();
  // Cancelling the password dialog leaves the switch off.
  Logic.UnattendedChanged(true);
  EXPECT_EQ(View.PasswordAsked, 1);
  EXPECT_FALSE(View.Unatt);
  EXPECT_FALSE(Logic.Unattended());
  EXPECT_FALSE(Client.Unatt);
  EXPECT_FALSE(Store.ReadSwitch("Session", "Unattended"));
  EXPECT_TRUE(Logged("Unattended access stays off: no password was set"));

  View.NewPassword = "correct horse";
  Logic.UnattendedChanged(true);
  EXPECT_TRUE(Logic.Unattended());
  EXPECT_TRUE(Client.Unatt);
  EXPECT_TRUE(Store.ReadSwitch("Session", "Unattended"));
  EXPECT_TRUE(Logged("Unattended access turned on"));
  // Only a verifier is kept, never the password.
  const std::string kept = Ini("Session", "UnattendedPassword");
  auto verifier = ParsePasswordVerifier(kept);
  ASSERT_TRUE(verifier) << kept;
  EXPECT_GE(verifier->Iterations, 200'000u);
  EXPECT_EQ(kept.find("correct"), std::string::npos);
  const TBytes binding(128, 7);
  const TPasswordChallenge c = MakePasswordChallenge(*verifier);
  EXPECT_TRUE(CheckPasswordProof(*verifier, c, binding, MakePasswordProof("correct horse", c, binding)));

  Logic.UnattendedChanged(false);
  EXPECT_FALSE(Logic.Unattended());
  EXPECT_FALSE(Store.ReadSwitch("Session", "Unattended"));
  EXPECT_EQ(Ini("Session", "UnattendedPassword"), "<none>");
  EXPECT_TRUE(Logged("Unattended access turned off"));
}

// A stored switch without a usable password (an older settings file, a damaged value) is off, and
// the window says so.
TEST_F(MainLogic, StoredUnattendedSwitchWithoutAPasswordStaysOff) {
  for (const char* stored : {"", "pbkdf2-sha256:1000:00:00", "not a verifier"}) {
    SCOPED_TRACE(stored);
    Store.WriteSwitch("Session", "Unattended", true);
    Store.WriteText("Session", "UnattendedPassword", stored);
    View.Unatt = true;
    Logic.Startup("relay:47800");
    EXPECT_FALSE(View.Unatt);
    EXPECT_FALSE(Logic.Unattended());
    EXPECT_FALSE(Client.Unatt);
    EXPECT_TRUE(Logged("Unattended access is off: no password is set"));
    EXPECT_EQ(View.Hint, "Unattended access is off until a password is set: turn it on to set one.");
    Client.St = rsConnected;
    Logic.OnConnected();
    EXPECT_FALSE(Sessions.Unatt);
    Logic.OnDisconnected();
    Client.St = rsRegistered;
  }
}

TEST_F(MainLogic, CopyIDPutsTheRawDigitsOnTheClipboard) {
  Logic.CopyID();  // no ID yet: nothing
  EXPECT_EQ(View.Clipboard, "");
  Online();
  Logic.CopyID();
  EXPECT_EQ(View.Clipboard, "555000111");
  EXPECT_EQ(View.HostState, "ID copied to the clipboard.");
  View.ClipboardBusy = true;
  Logic.CopyID();
  EXPECT_EQ(View.HostState, "The clipboard is busy; try again in a moment.");
}

TEST_F(MainLogic, SessionStartAndEndOnBothSides) {
  ConnectedAsHelper();
  EXPECT_EQ(View.Session, "Connected to 987 654 321  |  Check number 123 456");
  EXPECT_EQ(View.SessionTip, "You are helping this PC. Direct link, AES-256 encrypted. Both PCs must show the "
                             "same check number.");
  EXPECT_EQ(View.SessCol, KColGreen);
  EXPECT_EQ(View.Caption, "Disconnect");
  EXPECT_TRUE(View.Tools);
  EXPECT_EQ(View.HostState, "In a session. You get a new ID afterwards.");
  EXPECT_EQ(Client.Calls.back(), "text Hello from 555 000 111");
  EXPECT_TRUE(Sessions.Live);
  EXPECT_TRUE(Sessions.Viewer);
  EXPECT_FALSE(Sessions.Unatt);

  Client.Calls.clear();
  Logic.ConnectClick("");
  EXPECT_EQ(Client.Calls, std::vector<std::string>{"disconnect"});
  Client.St = rsRegistered;
  Logic.OnDisconnected();
  EXPECT_FALSE(Sessions.Live);
  EXPECT_FALSE(View.Tools);
  EXPECT_EQ(View.Caption, "Connect");
  EXPECT_EQ(View.Session, "No active session");
  EXPECT_EQ(View.SessionTip, "The last session has ended");
  EXPECT_EQ(View.SessCol, KColGrey);
  EXPECT_EQ(Logic.ReconnectID(), "");
}

TEST_F(MainLogic, HelpedPCGetsAHostSessionWithUnattendedAndShowsTheHelper) {
  Online();
  View.NewPassword = "correct horse";
  Logic.UnattendedChanged(true);
  Client.St = rsConnected;
  Client.Partner = "987654321";
  Client.Name = "Ann";
  Client.Pinned = true;
  Logic.OnConnected();
  EXPECT_FALSE(Sessions.Viewer);
  EXPECT_TRUE(Sessions.Unatt);
  EXPECT_EQ(View.SessionTip,
            "Ann wants to help this PC. Direct link, AES-256 encrypted. Both PCs must show the same check number.");
  EXPECT_EQ(View.HostState, "In a session. Your kept ID stays the same.");
  Sessions.Helper = "Ann Lee";
  Logic.OnHelperInfo();
  EXPECT_EQ(View.HostState, "Ann Lee is helping this PC.");
  EXPECT_EQ(View.Session, "Connected to 987 654 321  |  Check number 123 456");
  EXPECT_EQ(Logic.SessDetail(), "Ann Lee is helping this PC. Direct link, AES-256 encrypted.");
  Logic.OnAllowed();
  EXPECT_TRUE(View.Minimized);
  // The helped PC never waits to reconnect, even when asked to restart.
  Sessions.Restart = true;
  Client.St = rsRegistered;
  Logic.OnDisconnected();
  EXPECT_EQ(Logic.ReconnectID(), "");
}

TEST_F(MainLogic, FailedConnectShowsTheReason) {
  Online();
  Logic.ConnectClick("987654321");
  Logic.OnFailed("The other PC did not answer.");
  EXPECT_EQ(View.Session, "Could not connect");
  EXPECT_EQ(View.SessionTip, "The other PC did not answer.");
  EXPECT_EQ(View.SessCol, KColRed);
  EXPECT_FALSE(Logic.IsViewer());
}

TEST_F(MainLogic, ReconnectsToARestartedPCAfter30ThenEvery15Seconds) {
  ConnectedAsHelper();
  Sessions.Restart = true;
  Client.St = rsRegistered;
  Client.Calls.clear();
  Logic.OnDisconnected();
  EXPECT_EQ(Logic.ReconnectID(), "987654321");
  EXPECT_EQ(View.Session, "Waiting for 987 654 321 to restart");
  EXPECT_EQ(View.SessCol, KColAmber);

  Clock.Advance(29'999);
  Logic.Tick();
  EXPECT_TRUE(Client.Calls.empty());
  Clock.Advance(1);
  Logic.Tick();
  EXPECT_EQ(Client.Calls, std::vector<std::string>{"connect 987654321"});
  EXPECT_TRUE(Logic.IsViewer());

  Logic.OnFailed("timed out");
  EXPECT_EQ(View.Session, "Waiting for 987 654 321 to restart");
  EXPECT_EQ(View.SessionTip, "Not back yet (timed out). Trying again shortly.");
  Client.Calls.clear();
  Clock.Advance(14'000);
  Logic.Tick();
  EXPECT_TRUE(Client.Calls.empty());
  // Offline: no attempt even when due.
  Clock.Advance(1'000);
  Client.Secure = false;
  Logic.Tick();
  EXPECT_TRUE(Client.Calls.empty());
  Client.Secure = true;
  Logic.Tick();
  EXPECT_EQ(Client.Calls.size(), 1u);

  // A click on Connect ends the waiting.
  Client.Calls.clear();
  Logic.ConnectClick("");
  EXPECT_EQ(Logic.ReconnectID(), "");
  Clock.Advance(60'000);
  Logic.Tick();
  EXPECT_TRUE(Client.Calls.empty());
}

TEST_F(MainLogic, NoReconnectWithoutARestartRequestOrWhileClosing) {
  ConnectedAsHelper();
  Client.St = rsRegistered;
  Logic.OnDisconnected();
  EXPECT_EQ(Logic.ReconnectID(), "");

  ConnectedAsHelper();
  Sessions.Restart = true;
  Client.St = rsRegistered;
  Logic.OnDisconnected();
  Logic.SetClosing();
  Client.Calls.clear();
  Clock.Advance(31'000);
  Logic.Tick();
  EXPECT_TRUE(Client.Calls.empty());
}

TEST_F(MainLogic, NoticeGivesWayToTheNormalHintAfter60Seconds) {
  Online();
  Logic.ConnectClick("12");
  EXPECT_TRUE(Logic.HintNotice());
  Clock.Advance(59'999);
  Logic.Tick();
  EXPECT_EQ(View.Hint, "Enter the 9-digit ID of the other PC.");
  // A relay status in between does not cut the notice short.
  Logic.OnRelayStatus("Connected over UDP");
  EXPECT_EQ(View.Hint, "Enter the 9-digit ID of the other PC.");
  Clock.Advance(1);
  Logic.Tick();
  EXPECT_EQ(View.Hint, "Type the ID of the PC you want to help, or pick a saved PC.");
  EXPECT_EQ(View.HintCol, KColMuted);
  EXPECT_FALSE(Logic.HintNotice());
}

TEST_F(MainLogic, RelayStatusColoursAndServerResult) {
  Logic.Startup("relay:47800");
  Logic.OnRelayStatus("Resolving relay");
  EXPECT_EQ(View.Status, "Resolving relay");
  EXPECT_EQ(View.StatusCol, KColAmber);
  Client.Secure = true;
  Logic.OnRelayStatus("Connected over UDP");
  EXPECT_EQ(View.StatusCol, KColGreen);
  EXPECT_EQ(View.Status, "Connected over UDP");
  EXPECT_EQ(Logic.ServerResult(), "Connected over UDP, AES-256 encrypted");
  Client.ID = "555000111";
  Logic.OnRelayStatus("Connected over UDP");
  EXPECT_EQ(View.Status, "Online, secure connection");
  Client.Secure = false;
  Client.Blocked = true;
  Logic.OnRelayStatus("The server showed another key");
  EXPECT_EQ(View.StatusCol, KColRed);
  EXPECT_EQ(Logic.ServerResult(), "The server showed another key (blocked)");
}

TEST_F(MainLogic, TickStoresAnnouncedTcpPortsAndPinnedRelayKey) {
  Online();
  TcpPortsText = "9000,443";
  TcpPortsChanged = true;
  Logic.Tick();
  EXPECT_FALSE(TcpPortsChanged);
  EXPECT_EQ(Ini("Relay", "TcpPort"), "9000,443");
  TcpPortsText = "8443,443,80";
  Logic.OnRelayKeyPinned("ABCD");
  EXPECT_EQ(Ini("Relay", "Key"), "ABCD");
}
