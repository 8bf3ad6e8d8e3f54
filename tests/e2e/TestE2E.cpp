// End to end: the real relay and two real tovik programs, each on its own Xvfb display with its own
// HOME, driven with xdotool like a person would. The programs report what their windows show through
// their test status files (TOVIK_TEST_STATUS) and the helper dumps its viewer picture on request
// (TOVIK_TEST_DUMP). Real time is polled with bounded deadlines: the test waits for what it needs to
// see (a window on screen, the window that keys go to, a status value), never for a fixed time.
// The programs inherit the test's environment, so under the sanitizer presets they run with the same
// sanitizer options; each one's log is checked for sanitizer reports when its test ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/TovikOwnWindows.h"
#include "crypto/TovikPassword.h"
#include "media/TovikCapture.h"

namespace fs = std::filesystem;
using namespace tovik;

namespace {

constexpr int kHostW = 1024, kHostH = 640;
// The helper's settings for tests that find its viewer as a window of its own ("Tovik - <ID> - ..."):
// with tabs (the default) the viewer is a tab of the main window instead.
constexpr const char* kOwnViewerWindow = "[UI]\nTabbedSessions=0\n";

std::string Sh(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool WaitFor(const std::function<bool()>& f, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (f()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return f();
}

std::map<std::string, std::string> ReadStatus(const std::string& path) {
  std::map<std::string, std::string> m;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return m;
}

int FreeDisplay(int n) {
  while (fs::exists("/tmp/.X" + std::to_string(n) + "-lock") || fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) ++n;
  return n;
}

int FreePort(bool udp, int start) {
  for (int p = start;; ++p) {
    const std::string out = Sh(std::string("ss -H ") + (udp ? "-lun" : "-ltn") + " 'sport = :" + std::to_string(p) + "'");
    if (out.empty()) return p;
  }
}

// The first line of `text` (xdotool prints one window per line).
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// "KEY=value" lines (xdotool --shell) as numbers.
std::map<std::string, long> ShellValues(const std::string& text) {
  std::map<std::string, long> m;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (const auto eq = line.find('='); eq != std::string::npos) m[line.substr(0, eq)] = std::atol(line.c_str() + eq + 1);
  return m;
}

// Where the pointer and the keys are on an X display, as the server sees it: the top-level windows
// (children of the root) that hold the pointer and the input focus, 0 for none.
struct TInputWindows {
  xcb_window_t Pointer = 0, Focus = 0;
  bool FocusFollowsPointer = false;  // focus PointerRoot or the root: keys go to the window under the pointer
  // The top-level window that a key pressed now goes to.
  xcb_window_t Keys() const { return FocusFollowsPointer ? Pointer : Focus; }
};

TInputWindows InputWindows(const std::string& display) {
  TInputWindows w;
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return w;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  if (auto* p = xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr)) {
    w.Pointer = p->same_screen ? p->child : 0;
    std::free(p);
  }
  if (auto* f = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)) {
    w.Focus = f->focus;
    std::free(f);
  }
  w.FocusFollowsPointer = w.Focus == XCB_INPUT_FOCUS_POINTER_ROOT || w.Focus == root;
  // A focused inner window (a terminal's text area, say) stands for its top-level window.
  for (int depth = 0; !w.FocusFollowsPointer && w.Focus != XCB_NONE && depth < 32; ++depth) {
    auto* t = xcb_query_tree_reply(c, xcb_query_tree(c, w.Focus), nullptr);
    if (!t) break;
    const xcb_window_t parent = t->parent;
    std::free(t);
    if (parent == root || parent == XCB_NONE) break;
    w.Focus = parent;
  }
  if (w.FocusFollowsPointer) w.Focus = 0;
  xcb_disconnect(c);
  return w;
}

// Sanitizer reports (AddressSanitizer, LeakSanitizer, ThreadSanitizer, UndefinedBehaviorSanitizer) in
// a program's log, with some lines after each for the stack; empty when there is none.
std::string SanitizerReports(const fs::path& log) {
  std::ifstream f(log);
  std::string out, line;
  int tail = 0;
  while (std::getline(f, line)) {
    const bool start = (line.find("Sanitizer") != std::string::npos &&
                        (line.find("ERROR:") != std::string::npos || line.find("WARNING:") != std::string::npos)) ||
                       line.find("runtime error:") != std::string::npos;
    if (start) tail = 40;
    if (tail > 0) {
      out += line + "\n";
      --tail;
    }
  }
  return out;
}

// A process started by the fixture; killed when the fixture ends.
pid_t Spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
            const std::string& logFile, const std::string& cwd = "") {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

void Stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGTERM);
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = 0;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = 0;
}

struct TPPM {
  int W = 0, H = 0;
  std::vector<std::uint8_t> RGB;
};

bool ReadPPM(const std::string& path, TPPM& out) {
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  int maxv = 0;
  if (!(f >> magic >> out.W >> out.H >> maxv) || magic != "P6" || maxv != 255) return false;
  if (out.W <= 0 || out.H <= 0 || out.W > 16384 || out.H > 16384) return false;
  f.get();
  out.RGB.resize(static_cast<std::size_t>(out.W) * out.H * 3);
  f.read(reinterpret_cast<char*>(out.RGB.data()), static_cast<std::streamsize>(out.RGB.size()));
  return f.gcount() == static_cast<std::streamsize>(out.RGB.size());
}

class E2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // scripts/setup installs these; a missing one is a failure, not a reason to skip.
    if (Sh("for p in Xvfb xdotool xterm xdpyinfo ss xclip; do command -v $p; done | wc -l") != "6") return;
    Dir = fs::temp_directory_path() / ("tovik-e2e-" + std::to_string(::getpid()));
    fs::create_directories(Dir);
    // The programs' test hooks write only into a folder no other user can change.
    fs::permissions(Dir, fs::perms::owner_all, fs::perm_options::replace);
    Udp = FreePort(true, 31000 + ::getpid() % 2000);
    Tcp = FreePort(false, Udp + 1);
    const std::string data = (Dir / "relay").string();
    fs::create_directories(data);
    Relay = Spawn({TOVIK_RELAY_BIN, "run", "--data", data, "--listen", "127.0.0.1", "--udp-port", std::to_string(Udp),
                   "--tcp-ports", std::to_string(Tcp)},
                  {}, data + "/relay.log");
    if (!WaitFor([&] {
          RelayKey = Sh(std::string(TOVIK_RELAY_BIN) + " key --data " + data + " 2>/dev/null | sed -n 's/^Public key: *//p'");
          return RelayKey.size() == 128;
        }, 20))
      return;
    // Display numbers and ports apart per process, so tests that run side by side do not meet.
    HostDisplay = StartXvfb(150 + (::getpid() % 40) * 3, std::to_string(kHostW) + "x" + std::to_string(kHostH) + "x24", HostXvfb);
    ViewerDisplay = StartXvfb(std::stoi(HostDisplay.substr(1)) + 1, "1600x1000x24", ViewerXvfb);
    if (HostDisplay.empty() || ViewerDisplay.empty()) return;
    Sh("DISPLAY=" + HostDisplay + " xsetroot -solid '#2F4F6F'");
    Ready = true;
  }
  static void TearDownTestSuite() {
    Stop(Relay);
    if (!Dir.empty()) {
      const std::string reports = SanitizerReports(Dir / "relay" / "relay.log");
      EXPECT_TRUE(reports.empty()) << "tovik-relay:\n" << reports;
    }
    Stop(HostXvfb);
    Stop(ViewerXvfb);
    std::error_code ec;
    // TOVIK_E2E_KEEP keeps the folder with the logs and status files for a look afterwards.
    if (!Dir.empty() && !std::getenv("TOVIK_E2E_KEEP")) fs::remove_all(Dir, ec);
  }
  // An Xvfb display; with xauth given, the server admits only clients that hold the cookie in that
  // authority file (as a display manager's greeter does).
  static std::string StartXvfb(int from, const std::string& geom, pid_t& pid, const std::string& xauth = "") {
    const int n = FreeDisplay(from);
    const std::string d = ":" + std::to_string(n);
    std::vector<std::string> args{"Xvfb", d, "-screen", "0", geom, "-nolisten", "tcp", "-noreset", "+extension", "XTEST",
                                  "+extension", "DAMAGE", "+extension", "XFIXES", "+extension", "RANDR"};
    std::string envAuth;
    if (!xauth.empty()) {
      Sh("xauth -f " + xauth + " add " + d + " . $(od -An -tx1 -N16 /dev/urandom | tr -d ' \n') 2>/dev/null");
      args.insert(args.end(), {"-auth", xauth});
      envAuth = "XAUTHORITY=" + xauth + " ";
    }
    pid = Spawn(args, {}, (Dir / ("xvfb" + std::to_string(n) + ".log")).string());
    if (!WaitFor([&] { return Sh(envAuth + "DISPLAY=" + d + " xdpyinfo >/dev/null 2>&1 && echo ok") == "ok"; }, 20))
      return "";
    return d;
  }

  void SetUp() override {
    ASSERT_TRUE(Ready) << "could not start the relay and two Xvfb displays (Xvfb, xdotool, xterm, xdpyinfo, ss and xclip "
                          "are needed; scripts/setup installs them)";
  }
  void TearDown() override {
    for (pid_t* p : {&HostApp, &ViewerApp, &Term}) Stop(*p);
    for (const char* name : {"host", "viewer"}) {
      const std::string reports = SanitizerReports(Dir / name / "stdout.log");
      EXPECT_TRUE(reports.empty()) << name << ":\n" << reports;
    }
  }

  // One tovik instance with its own HOME pointing at the loopback relay.
  pid_t StartTovik(const std::string& name, const std::string& display, const std::string& extraIni,
                   const std::map<std::string, std::string>& extraEnv = {}) {
    const fs::path home = Dir / name;
    fs::remove_all(home);
    fs::remove(Status(name));
    fs::remove(Status(name) + ".ppm");
    fs::remove(Status(name) + ".ppm.req");
    fs::create_directories(home / ".config/Tovik");
    std::ofstream(home / ".config/Tovik/Tovik.ini") << "[Relay]\nHost=127.0.0.1\nPort=" << Udp << "\nKey=" << RelayKey
                                                    << "\nTcpPort=" << Tcp << "\n"
                                                    << extraIni;
    std::map<std::string, std::string> env = {{"HOME", home.string()},
                                              {"XDG_CONFIG_HOME", (home / ".config").string()},
                                              {"DISPLAY", display},
                                              {"QT_QPA_PLATFORM", "xcb"},
                                              {"TOVIK_TEST_STATUS", Status(name)},
                                              {"TOVIK_TEST_DUMP", Status(name) + ".ppm"}};
    env.insert(extraEnv.begin(), extraEnv.end());
    return Spawn({TOVIK_BIN, "/noadmin"}, env, (home / "stdout.log").string());
  }
  static std::string Status(const std::string& name) { return (Dir / (name + ".status")).string(); }
  static std::string Get(const std::string& name, const std::string& key) { return ReadStatus(Status(name))[key]; }
  static bool WaitStatus(const std::string& name, const std::string& key, const std::function<bool(const std::string&)>& ok,
                         int seconds = 20) {
    return WaitFor([&] { return ok(Get(name, key)); }, seconds);
  }
  static std::string X(const std::string& display, const std::string& args) {
    return Sh("DISPLAY=" + display + " xdotool " + args + " 2>/dev/null");
  }
  // A visible window on `display` whose name matches, once there is one; empty if none came.
  static std::string WaitWindow(const std::string& display, const std::string& name, int seconds = 20) {
    std::string win;
    WaitFor([&] { return !(win = FirstLine(X(display, "search --onlyvisible --name '" + name + "'"))).empty(); },
            seconds);
    return win;
  }
  // The top-level window under the pointer, as xdotool numbers windows ("0" over the background).
  static std::string PointerWindow(const std::string& display) { return std::to_string(InputWindows(display).Pointer); }
  // Waits until keys on `display` go to `win`. With no window manager the focus is PointerRoot until a
  // program sets it (Qt does on a click in its window) and falls back to the root or to none when the
  // focused window closes; keys then go to the window under the pointer, or nowhere.
  static ::testing::AssertionResult KeysGoTo(const std::string& display, const std::string& win, const char* what) {
    TInputWindows now;
    if (!win.empty() && WaitFor([&] { return std::to_string((now = InputWindows(display)).Keys()) == win; }, 20))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "keys on " << display << " go to window " << now.Keys() << ", not to "
                                         << what << " (" << win << "); focus "
                                         << (now.FocusFollowsPointer ? "follows the pointer" : std::to_string(now.Focus))
                                         << ", pointer over " << now.Pointer;
  }
  // Waits until the status file of `name` has been written after `since`: the positions in it are then
  // those of the windows as they are on screen now.
  static bool WaitStatusWrittenAfter(const std::string& name, fs::file_time_type since, int seconds = 20) {
    return WaitFor([&] {
      std::error_code ec;
      const auto t = fs::last_write_time(Status(name), ec);
      return !ec && t > since;
    }, seconds);
  }

  // Starts the terminal on the helped PC, both programs, and connects the helper to the helped PC.
  void StartAndConnect(const std::string& hostIni, const std::string& viewerIni = kOwnViewerWindow) {
    fs::create_directories(Dir / "work");
    Term = Spawn({"xterm", "-geometry", "22x8+800+300", "-fa", "Monospace", "-fs", "11", "-e", "bash", "--norc"},
                 {{"DISPLAY", HostDisplay}, {"PS1", "$ "}}, (Dir / "xterm.log").string(), (Dir / "work").string());
    HostApp = StartTovik("host", HostDisplay, hostIni);
    ViewerApp = StartTovik("viewer", ViewerDisplay, viewerIni);
    auto nine = [](const std::string& v) { return v.size() == 9 && v.find_first_not_of("0123456789") == std::string::npos; };
    ASSERT_TRUE(WaitStatus("host", "id", nine, 30)) << "the helped PC shows no ID";
    ASSERT_TRUE(WaitStatus("viewer", "id", nine, 30)) << "the helper shows no ID";
    HostID = Get("host", "id");
    for (const char* side : {"host", "viewer"}) {
      const std::string id = Get(side, "id");
      EXPECT_EQ(Get(side, "id_shown"), id.substr(0, 3) + " " + id.substr(3, 3) + " " + id.substr(6)) << side;
    }
    EXPECT_EQ(Get("host", "status"), "Online, secure connection");
    // The helper's main window is on screen and has written its status since, so partner_xy is where
    // the partner box is; the typed ID goes to the window under the pointer (or, after the click, to
    // the window Qt gives the focus).
    const std::string main = WaitWindow(ViewerDisplay, "Remote assistance - build");
    ASSERT_FALSE(main.empty()) << "the helper's main window is not on screen";
    ASSERT_TRUE(WaitStatusWrittenAfter("viewer", fs::file_time_type::clock::now()));
    X(ViewerDisplay, "mousemove " + Get("viewer", "partner_xy") + " click 1");
    ASSERT_TRUE(KeysGoTo(ViewerDisplay, main, "the helper's main window"));
    X(ViewerDisplay, "type --delay 30 '" + HostID.substr(0, 3) + "-" + HostID.substr(3, 3) + "-" + HostID.substr(6) + "'");
    X(ViewerDisplay, "mousemove " + Get("viewer", "connect_xy") + " click 1");
  }

  // Answers the consent dialog on the helped PC with "Allow control".
  ::testing::AssertionResult AllowOnHost(std::string display = "") {
    if (display.empty()) display = HostDisplay;
    const std::string win = WaitWindow(display, "someone wants to help you", 30);
    if (win.empty()) return ::testing::AssertionFailure() << "no consent dialog on the helped PC " << display;
    auto geo = ShellValues(X(display, "getwindowgeometry --shell " + win));
    if (geo["WIDTH"] <= 0 || geo["HEIGHT"] <= 0) return ::testing::AssertionFailure() << "the consent dialog has no size";
    X(display, "mousemove " + std::to_string(geo["X"] + 426) + " " + std::to_string(geo["Y"] + geo["HEIGHT"] - 80));
    // The click goes to the dialog only once the pointer is over it.
    std::string under;
    if (!WaitFor([&] { return (under = PointerWindow(display)) == win; }, 20))
      return ::testing::AssertionFailure() << "the pointer is over window " << under << ", not over the consent dialog "
                                           << win;
    X(display, "click 1");
    return ::testing::AssertionSuccess();
  }

  // Types APassword into the helper's password prompt and confirms it.
  ::testing::AssertionResult AnswerPasswordPrompt(const std::string& APassword) {
    const std::string win = WaitWindow(ViewerDisplay, "Tovik - password for", 30);
    if (win.empty()) return ::testing::AssertionFailure() << "no password prompt on the helper's PC";
    auto geo = ShellValues(X(ViewerDisplay, "getwindowgeometry --shell " + win));
    X(ViewerDisplay, "mousemove " + std::to_string(geo["X"] + geo["WIDTH"] / 2) + " " + std::to_string(geo["Y"] + 12) +
                         " click 1");
    if (auto keys = KeysGoTo(ViewerDisplay, win, "the password prompt"); !keys) return keys;
    X(ViewerDisplay, "type --delay 30 '" + APassword + "'");
    X(ViewerDisplay, "key Return");
    return ::testing::AssertionSuccess();
  }
  // The [Session] lines of a helped PC with unattended access and this password.
  static std::string UnattendedIni(const std::string& APassword) {
    return "[Session]\nUnattended=1\nUnattendedPassword=" +
           FormatPasswordVerifier(MakePasswordVerifier(APassword, kPasswordMinIterations)) + "\n";
  }
  std::string HostLog() {
    std::ifstream f(Dir / "host" / ".config/Tovik/Tovik.log");
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  // The point of the viewer window (screen coordinates) that shows host pixel (hx, hy).
  std::pair<int, int> ViewerPoint(int hx, int hy) {
    auto geo = ShellValues(X(ViewerDisplay, "getwindowgeometry --shell " + ViewerWindow()));
    return PointInViewer(geo["X"], geo["Y"], geo["WIDTH"], geo["HEIGHT"], kHostW, kHostH, hx, hy);
  }
  // The same for a viewer at (left, top) of width x height showing a hostW x hostH picture fitted below
  // its 56-pixel tool bar.
  static std::pair<int, int> PointInViewer(long left, long top, long width, long height, int hostW, int hostH, int hx,
                                           int hy) {
    const long bar = 56, ph = height - bar;
    const double scale = std::min(width / double(hostW), ph / double(hostH));
    const int ox = static_cast<int>((width - hostW * scale) / 2), oy = bar + static_cast<int>((ph - hostH * scale) / 2);
    return {static_cast<int>(left) + ox + static_cast<int>(hx * scale + scale / 2),
            static_cast<int>(top) + oy + static_cast<int>(hy * scale + scale / 2)};
  }
  // The pointer of `display` as "X=.. Y=.."; whether it is within a pixel of (x, y).
  static std::string PointerOf(const std::string& display) {
    return X(display, "getmouselocation --shell | head -n 2 | tr '\\n' ' '");
  }
  static bool PointerNear(const std::string& at, int hx, int hy) {
    int x = -1, y = -1;
    return std::sscanf(at.c_str(), "X=%d Y=%d", &x, &y) == 2 && std::abs(x - hx) <= 1 && std::abs(y - hy) <= 1;
  }

  // The helper's viewer window for the helped PC.
  std::string ViewerWindow() {
    return FirstLine(X(ViewerDisplay, "search --onlyvisible --name 'Tovik - " + HostID.substr(0, 3) + " " +
                                          HostID.substr(3, 3) + " " + HostID.substr(6) + "'"));
  }

  // Whether the helper's decoded picture shows what the helped PC's display shows (pointer drawn in):
  // exactly with tiles, within kMinVideoPsnr with H.264.
  // ADisplay (with its authority file AXauth) is the display whose picture the helper must see: the
  // helped PC's own one unless the seat shows another.
  bool PictureMatches(std::string& why, const std::string& ADisplay = "", const std::string& AXauth = "") {
    const bool ownDisplay = ADisplay.empty();
    ::setenv("DISPLAY", ownDisplay ? HostDisplay.c_str() : ADisplay.c_str(), 1);
    if (!AXauth.empty()) ::setenv("XAUTHORITY", AXauth.c_str(), 1);
    auto backend = IScreenBackend::Create();
    if (!backend) {
      why = "cannot open the helped PC's display";
      return false;
    }
    const std::string dump = Status("viewer") + ".ppm";
    std::ofstream(dump + ".req") << "1";
    if (!WaitFor([&] { return !fs::exists(dump + ".req"); }, 10)) {
      why = "the viewer did not dump its picture";
      return false;
    }
    TPPM shown;
    if (!ReadPPM(dump, shown)) {
      why = "unreadable dump";
      return false;
    }
    const TRect area = PrimaryMonitor(backend->Monitors());
    TBitmap32 screen;
    screen.SetSize(area.Width, area.Height);
    auto grab = backend->CreatePlain(area);
    ::unsetenv("XAUTHORITY");
    TGrabChanges ch;
    if (!grab || grab->CopyTo(screen, false, {}, ch) != TGrabStatus::gsOk) {
      why = "cannot grab the helped PC's display";
      return false;
    }
    // The helped PC leaves its own windows (the stop bar) out of what it sends; they are not on
    // another display.
    std::vector<TOwnWindowRect> own;
    std::istringstream list(ownDisplay ? Get("host", "own_windows") : std::string());
    for (std::string item; std::getline(list, item, ';');) {
      TOwnWindowRect r;
      if (std::istringstream(item) >> r.Left >> r.Top >> r.Width >> r.Height) own.push_back(r);
    }
    BlankOwnWindows(screen.Row(0), screen.Width(), screen.Height(), static_cast<int>(screen.Stride()), area.Left,
                    area.Top, own, kOwnWindowBlankPixel);
    TPointerImage ptr;
    if (backend->GetPointer(ptr)) DrawPointer(screen, ptr, TPoint{area.Left, area.Top});
    if (shown.W != screen.Width() || shown.H != screen.Height()) {
      why = "size " + std::to_string(shown.W) + "x" + std::to_string(shown.H);
      return false;
    }
    long diff = 0;
    double se = 0;
    for (int y = 0; y < shown.H; ++y)
      for (int x = 0; x < shown.W; ++x) {
        const std::uint8_t* a = &shown.RGB[(static_cast<std::size_t>(y) * shown.W + x) * 3];
        const std::uint8_t* b = screen.Row(y) + x * 4;
        if (a[0] != b[2] || a[1] != b[1] || a[2] != b[0]) ++diff;
        for (int c = 0; c < 3; ++c) se += double(a[c] - b[2 - c]) * double(a[c] - b[2 - c]);
      }
    // Tiles are exact; H.264 video is lossy and must stay close enough for text to be read.
    const double psnr = se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * 3.0 * shown.W * shown.H / se);
    why = std::to_string(diff) + " pixels differ, PSNR " + std::to_string(psnr) + " dB";
    if (HostLog().find("H.264 encoder: ") != std::string::npos) return psnr >= kMinVideoPsnr;
    return diff == 0;
  }
  static constexpr double kMinVideoPsnr = 35.0;

  static inline bool Ready = false;
  static inline fs::path Dir;
  static inline int Udp = 0, Tcp = 0;
  static inline std::string RelayKey, HostDisplay, ViewerDisplay;
  static inline pid_t Relay = 0, HostXvfb = 0, ViewerXvfb = 0;
  pid_t HostApp = 0, ViewerApp = 0, Term = 0;
  std::string HostID;
};

}  // namespace

TEST_F(E2E, ConsentedSessionShowsTheScreenCarriesInputAndEndsOnBothSides) {
  StartAndConnect("");
  if (HasFatalFailure()) return;
  ASSERT_TRUE(AllowOnHost());
  ASSERT_TRUE(WaitStatus("viewer", "first_picture_ms", [](const std::string& v) { return !v.empty(); }, 30))
      << "no picture reached the helper";
  std::printf("Connect to first picture: %s ms\n", Get("viewer", "first_picture_ms").c_str());
  ASSERT_TRUE(WaitStatus("host", "allowed", [](const std::string& v) { return v == "1"; }));

  // Both sides show the same check number and name each other.
  const std::string check = Get("viewer", "check");
  EXPECT_EQ(check.size(), 7u);
  EXPECT_EQ(Get("host", "check"), check);
  EXPECT_EQ(Get("viewer", "session").rfind("Connected to ", 0), 0u);
  EXPECT_EQ(Get("host", "stopbar"), "1");
  EXPECT_EQ(Get("viewer", "caption"), "Disconnect");

  // The viewer's picture shows the helped PC's screen, sent as H.264 video (both programs have the
  // codecs).
  std::string why;
  EXPECT_TRUE(WaitFor([&] { return PictureMatches(why); }, 20)) << why;
  std::printf("Picture: %s\n", why.c_str());
  EXPECT_NE(HostLog().find("H.264 encoder: libx264"), std::string::npos);

  // A click in the viewer lands at the same place on the helped PC, and focuses the terminal there.
  const int hx = 900, hy = 360;  // inside the terminal, right of the main window
  const auto [vx, vy] = ViewerPoint(hx, hy);
  X(ViewerDisplay, "mousemove " + std::to_string(vx) + " " + std::to_string(vy) + " click 1");
  // The viewer scales the picture, so the pointer may land one pixel off.
  std::string at;
  EXPECT_TRUE(WaitFor([&] {
    at = X(HostDisplay, "getmouselocation --shell | head -n 2 | tr '\\n' ' '");
    int x = -1, y = -1;
    return std::sscanf(at.c_str(), "X=%d Y=%d", &x, &y) == 2 && std::abs(x - hx) <= 1 && std::abs(y - hy) <= 1;
  }, 10)) << at;

  // Keys typed in the viewer reach the terminal on the helped PC: on the helper's display they go to
  // the viewer window (the click gives it the focus), on the helped PC to the terminal under the pointer.
  ASSERT_TRUE(KeysGoTo(ViewerDisplay, ViewerWindow(), "the viewer window"));
  ASSERT_TRUE(KeysGoTo(HostDisplay, FirstLine(X(HostDisplay, "search --onlyvisible --class xterm")), "the terminal"));
  X(ViewerDisplay, "type --delay 40 'touch typed-ok'");
  X(ViewerDisplay, "key Return");
  EXPECT_TRUE(WaitFor([&] { return fs::exists(Dir / "work/typed-ok"); }, 10));
  EXPECT_TRUE(WaitFor([&] { return PictureMatches(why); }, 20)) << why;

  // Disconnect in the helper's main window (raised above the viewer) ends the session on both sides.
  const std::string main = WaitWindow(ViewerDisplay, "Remote assistance - build");
  X(ViewerDisplay, "windowraise " + main + " mousemove " + Get("viewer", "connect_xy"));
  std::string under;
  ASSERT_TRUE(WaitFor([&] { return (under = PointerWindow(ViewerDisplay)) == main; }, 20))
      << "the pointer is over window " << under << ", not over the raised main window " << main;
  X(ViewerDisplay, "click 1");
  for (const char* side : {"viewer", "host"}) {
    EXPECT_TRUE(WaitStatus(side, "session", [](const std::string& v) { return v == "No active session"; }, 20)) << side;
    EXPECT_EQ(Get(side, "detail"), "The last session has ended") << side;
    EXPECT_EQ(Get(side, "caption"), "Connect") << side;
  }
  EXPECT_EQ(Get("host", "stopbar"), "0");
}

TEST_F(E2E, UnattendedAccessWithThePasswordConnectsWithoutTheDialogAndShowsTheStopBar) {
  StartAndConnect(UnattendedIni("correct horse battery"));
  if (HasFatalFailure()) return;
  ASSERT_TRUE(AnswerPasswordPrompt("correct horse battery"));
  ASSERT_TRUE(WaitStatus("host", "allowed", [](const std::string& v) { return v == "1"; }, 30));
  EXPECT_TRUE(X(HostDisplay, "search --onlyvisible --name 'someone wants to help you'").empty());
  EXPECT_TRUE(WaitStatus("host", "stopbar", [](const std::string& v) { return v == "1"; }));
  EXPECT_TRUE(WaitStatus("viewer", "first_picture_ms", [](const std::string& v) { return !v.empty(); }, 30));
  EXPECT_NE(Get("viewer", "frames"), "0");
  EXPECT_NE(HostLog().find("Unattended access: password accepted from"), std::string::npos);
}

TEST_F(E2E, UnattendedAccessWithAWrongPasswordGivesNoAccess) {
  StartAndConnect(UnattendedIni("correct horse battery"));
  if (HasFatalFailure()) return;
  ASSERT_TRUE(AnswerPasswordPrompt("wrong horse battery"));
  // The helped PC refuses and ends the session; the helper never sees a picture.
  for (const char* side : {"viewer", "host"})
    EXPECT_TRUE(WaitStatus(side, "detail", [](const std::string& v) { return v == "The last session has ended"; }, 30))
        << side;
  EXPECT_NE(Get("host", "allowed"), "1");
  EXPECT_EQ(Get("host", "stopbar"), "0");
  EXPECT_TRUE(Get("viewer", "first_picture_ms").empty());
  EXPECT_NE(HostLog().find("Unattended access: wrong password from " + Get("viewer", "id").substr(0, 3)), std::string::npos);
  EXPECT_TRUE(X(HostDisplay, "search --onlyvisible --name 'someone wants to help you'").empty());
}

// A helper clicking through the viewer on the helped PC's own main window (its keep-ID and unattended
// switches) changes none of its settings: the clicks stay on the helped PC, which says so in its log,
// while a click beside the window still lands.
TEST_F(E2E, ClicksOnTheHelpedPCsOwnWindowsChangeNoneOfItsSettings) {
  StartAndConnect("");
  if (HasFatalFailure()) return;
  ASSERT_TRUE(AllowOnHost());
  ASSERT_TRUE(WaitStatus("viewer", "first_picture_ms", [](const std::string& v) { return !v.empty(); }, 30));
  ASSERT_TRUE(WaitStatus("host", "allowed", [](const std::string& v) { return v == "1"; }));
  ASSERT_TRUE(WaitStatusWrittenAfter("host", fs::file_time_type::clock::now()));
  auto read = [](const fs::path& p) {
    std::ifstream f(p);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  const fs::path config = Dir / "host" / ".config" / "Tovik";
  for (const char* key : {"keepid_xy", "unattended_xy"}) {
    int hx = -1, hy = -1;
    ASSERT_EQ(std::sscanf(Get("host", key).c_str(), "%d %d", &hx, &hy), 2) << key;
    const auto [vx, vy] = ViewerPoint(hx, hy);
    X(ViewerDisplay, "mousemove " + std::to_string(vx) + " " + std::to_string(vy) + " click 1");
  }
  // Input is applied in order: once a later click beside the window has moved the helped PC's pointer,
  // the clicks on the switches have been handled.
  const int hx = 900, hy = 360;
  const auto [vx, vy] = ViewerPoint(hx, hy);
  X(ViewerDisplay, "mousemove " + std::to_string(vx) + " " + std::to_string(vy) + " click 1");
  std::string at;
  ASSERT_TRUE(WaitFor([&] {
    at = X(HostDisplay, "getmouselocation --shell | head -n 2 | tr '\\n' ' '");
    int x = -1, y = -1;
    return std::sscanf(at.c_str(), "X=%d Y=%d", &x, &y) == 2 && std::abs(x - hx) <= 1 && std::abs(y - hy) <= 1;
  }, 10)) << at;
  EXPECT_NE(read(config / "Tovik.log").find("input to our own windows is not passed on"), std::string::npos);
  const std::string ini = read(config / "Tovik.ini");
  EXPECT_EQ(ini.find("Unattended=1"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("Secret="), std::string::npos) << ini;
  EXPECT_EQ(Get("host", "allowed"), "1");
}

// The support service without systemd, against a test seat with two sessions on two displays: the
// helped user's and a greeter with its own authority file. While the greeter is the active session the
// helper sees and controls the greeter through the agent that the service moved there, with the secure
// notice and the "This PC is being helped" bar; when the user's session comes back, so does its
// picture. Killing the agent brings a new one.
TEST_F(E2E, HelperKeepsPictureAndControlWhileTheSeatShowsTheGreeter) {
  const std::string xauth = (Dir / "greeter.xauth").string();
  pid_t greeterXvfb = 0;
  const std::string greeter = StartXvfb(std::stoi(ViewerDisplay.substr(1)) + 1,
                                        std::to_string(kHostW) + "x" + std::to_string(kHostH) + "x24", greeterXvfb, xauth);
  ASSERT_FALSE(greeter.empty()) << "no greeter display";
  Sh("XAUTHORITY=" + xauth + " DISPLAY=" + greeter + " xsetroot -solid '#7A2E2E'");
  const std::string seat = (Dir / "seat").string();
  const std::string uid = std::to_string(::getuid());
  auto show = [&](const char* AActive) {
    std::ofstream(seat + ".new") << "session user1 " << uid << " x11 user " << HostDisplay << "\n"
                                 << "session greeter1 " << uid << " x11 greeter " << greeter << "\n"
                                 << "active " << AActive << "\n";
    fs::rename(seat + ".new", seat);
  };
  show("user1");
  const std::string runDir = (Dir / "run").string(), serviceLog = (Dir / "TovikService.log").string();
  fs::create_directories(runDir);
  fs::remove(serviceLog);
  const std::map<std::string, std::string> seatEnv{
      {"TOVIK_TEST_LOGIND", seat}, {"TOVIK_BROKER_DIR", runDir}, {"TOVIK_SERVICE_LOG", serviceLog}};
  pid_t service = Spawn({TOVIK_BIN, "/service"}, seatEnv, (Dir / "service.out").string());
  auto serviceLogHas = [&](const std::string& AText) {
    std::ifstream f(serviceLog);
    return std::string(std::istreambuf_iterator<char>(f), {}).find(AText) != std::string::npos;
  };
  struct TCleanup {
    std::function<void()> F;
    ~TCleanup() { F(); }
  } cleanup{[&] {
    Stop(service);
    Stop(greeterXvfb);
  }};
  ASSERT_TRUE(WaitFor([&] { return serviceLogHas("in session user1 on display " + HostDisplay); }, 20))
      << "the service started no agent in the user's session";

  // The helped user's program runs in session user1 of the seat.
  fs::create_directories(Dir / "work");
  HostApp = StartTovik("host", HostDisplay, "", {{"TOVIK_TEST_LOGIND", seat}, {"TOVIK_TEST_SESSION", "user1"},
                                                 {"TOVIK_BROKER_DIR", runDir}});
  ViewerApp = StartTovik("viewer", ViewerDisplay, kOwnViewerWindow);
  auto nine = [](const std::string& v) { return v.size() == 9; };
  ASSERT_TRUE(WaitStatus("host", "id", nine, 30));
  ASSERT_TRUE(WaitStatus("viewer", "id", nine, 30));
  HostID = Get("host", "id");
  const std::string main = WaitWindow(ViewerDisplay, "Remote assistance - build");
  ASSERT_FALSE(main.empty());
  ASSERT_TRUE(WaitStatusWrittenAfter("viewer", fs::file_time_type::clock::now()));
  X(ViewerDisplay, "mousemove " + Get("viewer", "partner_xy") + " click 1");
  ASSERT_TRUE(KeysGoTo(ViewerDisplay, main, "the helper's main window"));
  X(ViewerDisplay, "type --delay 30 '" + HostID + "'");
  X(ViewerDisplay, "mousemove " + Get("viewer", "connect_xy") + " click 1");
  ASSERT_TRUE(AllowOnHost());
  ASSERT_TRUE(WaitStatus("viewer", "first_picture_ms", [](const std::string& v) { return !v.empty(); }, 30));
  std::string why;
  EXPECT_TRUE(WaitFor([&] { return PictureMatches(why); }, 20)) << why;
  EXPECT_EQ(Get("viewer", "notice"), "");

  // The user switches to the greeter: the agent moves there and the helper sees it.
  show("greeter1");
  ASSERT_TRUE(WaitFor([&] { return serviceLogHas("Active seat0 session changed to greeter1; relaunching agent"); }, 30));
  ASSERT_TRUE(WaitFor([&] { return serviceLogHas("in session greeter1 on display " + greeter); }, 30));
  EXPECT_TRUE(WaitFor([&] { return PictureMatches(why, greeter, xauth); }, 30)) << why;
  EXPECT_TRUE(WaitStatus("viewer", "notice", [](const std::string& v) { return !v.empty(); }, 10));
  EXPECT_NE(HostLog().find("secure desktop: tiles through the support service"), std::string::npos);
  // The bar that says so is on the greeter, in its red.
  const std::string bar = Sh("XAUTHORITY=" + xauth + " DISPLAY=" + greeter +
                             " xwininfo -root -tree 2>/dev/null | grep -c '260x22+'");
  EXPECT_EQ(bar, "1") << "no \"This PC is being helped\" bar on the greeter";

  // A click in the viewer moves the greeter's pointer.
  const int hx = 700, hy = 420;
  const auto [vx, vy] = ViewerPoint(hx, hy);
  X(ViewerDisplay, "mousemove " + std::to_string(vx) + " " + std::to_string(vy) + " click 1");
  std::string at;
  EXPECT_TRUE(WaitFor([&] {
    at = Sh("XAUTHORITY=" + xauth + " DISPLAY=" + greeter + " xdotool getmouselocation --shell | head -n 2 | tr '\\n' ' '");
    int x = -1, y = -1;
    return std::sscanf(at.c_str(), "X=%d Y=%d", &x, &y) == 2 && std::abs(x - hx) <= 1 && std::abs(y - hy) <= 1;
  }, 10)) << at;
  // ... and not the helped user's hidden one.
  EXPECT_EQ(X(HostDisplay, "getmouselocation --shell | head -n 1").find("X=700"), std::string::npos);

  // The agent is killed: the service starts another one in the same session.
  std::ifstream in(serviceLog);
  long agentPid = 0;
  for (std::string line; std::getline(in, line);)
    if (const auto at = line.find("Launched agent (pid "); at != std::string::npos && line.find("greeter1") != std::string::npos)
      std::sscanf(line.c_str() + at, "Launched agent (pid %ld", &agentPid);
  ASSERT_GT(agentPid, 0);
  ::kill(static_cast<pid_t>(agentPid), SIGKILL);
  EXPECT_TRUE(WaitFor([&] { return serviceLogHas("Agent (pid " + std::to_string(agentPid) + ") ended"); }, 30));

  // Back to the user's session: its own picture again, without the notice.
  show("user1");
  ASSERT_TRUE(WaitFor([&] { return serviceLogHas("Active seat0 session changed to user1; relaunching agent"); }, 30));
  EXPECT_TRUE(WaitStatus("viewer", "notice", [](const std::string& v) { return v.empty(); }, 10));
  EXPECT_TRUE(WaitFor([&] { return PictureMatches(why); }, 30)) << why;
}

// The session tools across a real session: text copied on either display lands on the other's
// clipboard, a line typed in the helper's chat window shows in the helped PC's, and a file picked in
// the viewer's Send files dialog arrives in the helped PC's Downloads/Tovik with the same bytes.
TEST_F(E2E, ClipboardChatAndAFileCrossARealSession) {
  StartAndConnect("");
  if (HasFatalFailure()) return;
  ASSERT_TRUE(AllowOnHost());
  ASSERT_TRUE(WaitStatus("viewer", "first_picture_ms", [](const std::string& v) { return !v.empty(); }, 30));
  ASSERT_TRUE(WaitStatus("host", "allowed", [](const std::string& v) { return v == "1"; }));

  // xclip keeps serving the text it was given in the background, until another program takes the
  // clipboard or the display ends.
  auto setClip = [](const std::string& display, const std::string& text) {
    Sh("printf %s '" + text + "' | xclip -display " + display + " -selection clipboard -i >/dev/null 2>&1");
  };
  auto clip = [](const std::string& display) {
    return Sh("xclip -display " + display + " -selection clipboard -o 2>/dev/null");
  };
  struct TWay {
    const std::string *From, *To;
    const char* Text;
  } const ways[] = {{&HostDisplay, &ViewerDisplay, "copied on the helped PC"},
                    {&ViewerDisplay, &HostDisplay, "copied by the helper"}};
  for (const TWay& w : ways) {
    setClip(*w.From, w.Text);
    std::string got;
    EXPECT_TRUE(WaitFor([&] { return (got = clip(*w.To)) == w.Text; }, 20)) << w.Text << ": the other side has '" << got << "'";
  }

  // Chat: the viewer's Chat button opens the chat window; Enter sends the line.
  ASSERT_TRUE(WaitStatus("viewer", "chat_xy", [](const std::string& v) { return !v.empty(); }));
  X(ViewerDisplay, "mousemove " + Get("viewer", "chat_xy") + " click 1");
  const std::string chat = WaitWindow(ViewerDisplay, "Tovik - chat and files with");
  ASSERT_FALSE(chat.empty()) << "no chat window on the helper's PC";
  X(ViewerDisplay, "windowfocus --sync " + chat);
  ASSERT_TRUE(KeysGoTo(ViewerDisplay, chat, "the chat window"));
  X(ViewerDisplay, "type --delay 30 'Hello from the helper'");
  X(ViewerDisplay, "key Return");
  EXPECT_TRUE(WaitStatus("host", "chat_last", [](const std::string& v) {
    return v.find("Hello from the helper") != std::string::npos;
  })) << "the helped PC shows '" << Get("host", "chat_last") << "'";

  // A file through the viewer's Send files dialog.
  std::string data;
  for (unsigned i = 0; i < 300000; ++i) data += static_cast<char>((i * 7919u) >> 5);
  const fs::path sent = Dir / "work" / "notes for the helped PC.bin";
  std::ofstream(sent, std::ios::binary) << data;
  // The chat window may cover the viewer's tool bar: raise the viewer first.
  const std::string viewer = ViewerWindow();
  X(ViewerDisplay, "windowraise " + viewer + " mousemove " + Get("viewer", "sendfiles_xy"));
  std::string under;
  ASSERT_TRUE(WaitFor([&] { return (under = PointerWindow(ViewerDisplay)) == viewer; }, 20))
      << "the pointer is over window " << under << ", not over the viewer " << viewer;
  X(ViewerDisplay, "click 1");
  const std::string dialog = WaitWindow(ViewerDisplay, "Send files to the other PC");
  ASSERT_FALSE(dialog.empty()) << "no file dialog on the helper's PC";
  X(ViewerDisplay, "windowfocus --sync " + dialog);
  ASSERT_TRUE(KeysGoTo(ViewerDisplay, dialog, "the file dialog"));
  X(ViewerDisplay, "type --delay 20 '" + sent.string() + "'");
  X(ViewerDisplay, "key Return");
  const fs::path arrived = Dir / "host" / "Downloads" / "Tovik" / sent.filename();
  auto read = [](const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  EXPECT_TRUE(WaitFor([&] { return fs::exists(arrived) && read(arrived) == data; }, 30))
      << arrived << (fs::exists(arrived) ? " differs" : " is missing");
}

namespace {
// "x y;x y;..." (the helper's tab headers) as points.
std::vector<std::pair<int, int>> Points(const std::string& text) {
  std::vector<std::pair<int, int>> out;
  std::istringstream list(text);
  for (std::string item; std::getline(list, item, ';');) {
    int x = 0, y = 0;
    if (std::sscanf(item.c_str(), "%d %d", &x, &y) == 2) out.emplace_back(x, y);
  }
  return out;
}
}  // namespace

// One helper, two helped PCs, each in a tab of the helper's main window: the second PC is added by
// typing its ID on the home tab while the first session runs; input in the active tab reaches only
// that tab's PC; a middle click on a tab ends only that tab's session.
TEST_F(E2E, OneHelperHelpsTwoPCsInTabs) {
  constexpr int kSecondW = 960, kSecondH = 600;
  // Points of each PC away from its own windows (the helped PC drops input aimed at them).
  constexpr int kFirstX = 900, kFirstY = 360, kSecondX = 940, kSecondY = 580;
  pid_t secondXvfb = 0, secondApp = 0;
  struct TCleanup {
    std::function<void()> F;
    ~TCleanup() { F(); }
  } cleanup{[&] {
    Stop(secondApp);
    Stop(secondXvfb);
    const std::string reports = SanitizerReports(Dir / "host2" / "stdout.log");
    EXPECT_TRUE(reports.empty()) << "host2:\n" << reports;
  }};
  const std::string second = StartXvfb(std::stoi(ViewerDisplay.substr(1)) + 1,
                                       std::to_string(kSecondW) + "x" + std::to_string(kSecondH) + "x24", secondXvfb);
  ASSERT_FALSE(second.empty()) << "no display for the second helped PC";

  // The first PC, helped with tabs on (the default): its viewer is the first session tab.
  StartAndConnect("", "");
  if (HasFatalFailure()) return;
  ASSERT_TRUE(AllowOnHost());
  ASSERT_TRUE(WaitStatus("viewer", "first_picture_ms", [](const std::string& v) { return !v.empty(); }, 30));
  ASSERT_TRUE(WaitStatus("viewer", "tabs", [](const std::string& v) { return v == "1"; }));
  EXPECT_TRUE(ViewerWindow().empty()) << "with tabs the viewer is no window of its own";
  EXPECT_EQ(Get("viewer", "caption"), "Connect") << "a helper with tabs can add another PC";

  // The second PC; the helper goes back to the home tab, types its ID and clicks Connect.
  secondApp = StartTovik("host2", second, "");
  ASSERT_TRUE(WaitStatus("host2", "id", [](const std::string& v) { return v.size() == 9; }, 30));
  const std::string secondID = Get("host2", "id");
  auto heads = Points(Get("viewer", "tabs_xy"));
  ASSERT_EQ(heads.size(), 2u) << Get("viewer", "tabs_xy");
  X(ViewerDisplay, "mousemove " + std::to_string(heads[0].first) + " " + std::to_string(heads[0].second) + " click 1");
  ASSERT_TRUE(WaitStatus("viewer", "active_viewer", [](const std::string& v) { return v.empty(); }))
      << "the home tab did not come to the front";
  ASSERT_TRUE(WaitStatusWrittenAfter("viewer", fs::file_time_type::clock::now()));
  X(ViewerDisplay, "mousemove " + Get("viewer", "partner_xy") + " click 1");
  X(ViewerDisplay, "key ctrl+a BackSpace");
  X(ViewerDisplay, "type --delay 30 '" + secondID + "'");
  X(ViewerDisplay, "mousemove " + Get("viewer", "connect_xy") + " click 1");
  ASSERT_TRUE(AllowOnHost(second));
  ASSERT_TRUE(WaitStatus("host2", "allowed", [](const std::string& v) { return v == "1"; }, 30));
  ASSERT_TRUE(WaitStatus("viewer", "tabs", [](const std::string& v) { return v == "2"; }, 30));
  EXPECT_TRUE(Get("viewer", "session").rfind("Connected to ", 0) == 0) << "the first session goes on";

  // Input in the active (second) tab reaches the second PC only; then the first tab's reaches the first.
  auto clickIn = [&](int hostW, int hostH, int hx, int hy) {
    long r[4] = {};
    if (std::sscanf(Get("viewer", "active_viewer").c_str(), "%ld %ld %ld %ld", &r[0], &r[1], &r[2], &r[3]) != 4)
      return false;
    const auto [vx, vy] = PointInViewer(r[0], r[1], r[2], r[3], hostW, hostH, hx, hy);
    X(ViewerDisplay, "mousemove " + std::to_string(vx) + " " + std::to_string(vy) + " click 1");
    return true;
  };
  ASSERT_TRUE(WaitStatusWrittenAfter("viewer", fs::file_time_type::clock::now()));
  const std::string firstBefore = PointerOf(HostDisplay);
  ASSERT_TRUE(clickIn(kSecondW, kSecondH, kSecondX, kSecondY)) << Get("viewer", "active_viewer");
  std::string at;
  EXPECT_TRUE(WaitFor([&] { return PointerNear(at = PointerOf(second), kSecondX, kSecondY); }, 20)) << at;
  EXPECT_EQ(PointerOf(HostDisplay), firstBefore) << "input of the second tab reached the first PC";

  heads = Points(Get("viewer", "tabs_xy"));
  ASSERT_EQ(heads.size(), 3u) << Get("viewer", "tabs_xy");
  X(ViewerDisplay, "mousemove " + std::to_string(heads[1].first) + " " + std::to_string(heads[1].second) + " click 1");
  ASSERT_TRUE(WaitStatusWrittenAfter("viewer", fs::file_time_type::clock::now()));
  const std::string secondBefore = PointerOf(second);
  ASSERT_TRUE(clickIn(kHostW, kHostH, kFirstX, kFirstY));
  EXPECT_TRUE(WaitFor([&] { return PointerNear(at = PointerOf(HostDisplay), kFirstX, kFirstY); }, 20)) << at;
  EXPECT_EQ(PointerOf(second), secondBefore) << "input of the first tab reached the second PC";

  // A middle click on the second PC's tab ends that session only.
  X(ViewerDisplay, "mousemove " + std::to_string(heads[2].first) + " " + std::to_string(heads[2].second) + " click 2");
  EXPECT_TRUE(WaitStatus("host2", "session", [](const std::string& v) { return v == "No active session"; }, 30));
  EXPECT_TRUE(WaitStatus("viewer", "tabs", [](const std::string& v) { return v == "1"; }, 20));
  EXPECT_EQ(Get("host", "allowed"), "1");
  EXPECT_TRUE(Get("host", "session").rfind("Connected to ", 0) == 0) << Get("host", "session");
  EXPECT_TRUE(Get("viewer", "session").rfind("Connected to ", 0) == 0) << Get("viewer", "session");
}
