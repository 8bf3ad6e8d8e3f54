// The Linux backends of the run modes, the quit requests and the Remote Desktop default.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/TovikRunModes.h"
#include "app/TovikSettings.h"
#include "session/TovikWallpaper.h"
#include "tests/base/TestTempDir.h"

using namespace tovik;
using namespace tovik::test;

TEST(ProcessWaiter, WaitsForTheEndOfAnotherProcess) {
  auto waiter = IProcessWaiter::Create();
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(hold[1]);
    char c;
    [[maybe_unused]] auto n = ::read(hold[0], &c, 1);  // returns when the parent closes its end
    ::_exit(0);
  }
  ::close(hold[0]);
  EXPECT_EQ(waiter->WaitForExit(pid, 0), TWaitResult::wrTimedOut);  // still running
  ::close(hold[1]);
  EXPECT_EQ(waiter->WaitForExit(pid, kWaitPidTimeoutMs), TWaitResult::wrEnded);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);

  EXPECT_EQ(waiter->WaitForExit(pid, 1000), TWaitResult::wrNotOpened);  // gone and reaped
  EXPECT_EQ(waiter->WaitForExit(0, 1000), TWaitResult::wrNotOpened);
  EXPECT_EQ(waiter->WaitForExit(-1, 1000), TWaitResult::wrNotOpened);
}

TEST(QuitRequests, SignalsBecomeRequestsUntilReleased) {
  auto quit = IQuitRequests::Create();
  ASSERT_TRUE(quit);
  EXPECT_EQ(IQuitRequests::Create(), nullptr);  // one at a time
  EXPECT_FALSE(quit->Take());
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ASSERT_EQ(::raise(sig), 0);  // would end the test program without the handler
    EXPECT_TRUE(quit->Take()) << sig;
    EXPECT_FALSE(quit->Take()) << sig;
  }
  quit.reset();
  struct sigaction now {};
  ::sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  quit = IQuitRequests::Create();
  EXPECT_TRUE(quit);
}

TEST(QuitRequests, HandlerHearsEachRequestOnAnotherThreadUntilReleased) {
  auto quit = IQuitRequests::Create();
  ASSERT_TRUE(quit);
  std::mutex lock;
  std::condition_variable changed;
  int calls = 0;
  bool otherThread = true;
  const auto self = std::this_thread::get_id();
  quit->SetHandler([&] {
    std::lock_guard<std::mutex> l(lock);
    ++calls;
    otherThread = otherThread && std::this_thread::get_id() != self;
    changed.notify_all();
  });
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    std::unique_lock<std::mutex> l(lock);
    const int before = calls;
    ASSERT_EQ(::raise(sig), 0);
    // Waits for the handler, not for a time: the bound only keeps a broken backend from hanging.
    ASSERT_TRUE(changed.wait_for(l, std::chrono::seconds(30), [&] { return calls > before; })) << sig;
    EXPECT_EQ(calls, before + 1) << sig;
  }
  EXPECT_TRUE(otherThread);
  EXPECT_FALSE(quit->Take());  // the handler's batches were taken already
  quit.reset();                // joins the watcher: no call after this
  std::lock_guard<std::mutex> l(lock);
  EXPECT_EQ(calls, 3);
}

// Without systemd and without a test seat the service refuses to run (exit code 1) and an agent
// without its session ends at once, each saying why in the service log. (/install and /uninstall
// change the system's units: they are not run here.)
TEST(LinuxBackends, ServiceAndAgentModesWithoutSystemd) {
  test::TTempDir dir;
  const std::string log = dir / "TovikService.log";
  ::setenv("TOVIK_SERVICE_LOG", log.c_str(), 1);
  for (const char* name : {"NOTIFY_SOCKET", "INVOCATION_ID", "TOVIK_TEST_LOGIND", "TOVIK_AGENT_SESSION"})
    ::unsetenv(name);
  auto services = IServiceModes::Create();
  std::vector<std::string> errors;
  TRunContext ctx;
  ctx.Services = services.get();
  ctx.Error = [&](std::string_view l) { errors.emplace_back(l); };
  ctx.RunInteractive = [](const TRunSwitches&) { return 5; };
  EXPECT_EQ(RunMainSequence({"/service"}, ctx), 1);
  EXPECT_EQ(RunMainSequence({"/agent"}, ctx), 0);
  EXPECT_TRUE(errors.empty());  // both modes exist in this build
  const std::string text = test::ReadFile(log);
  EXPECT_NE(text.find("  The service runs under systemd only (tovik-service.service)\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  Agent could not read its session id\r\n"), std::string::npos) << text;
  ::unsetenv("TOVIK_SERVICE_LOG");
}

TEST(LinuxBackends, NoRelaunchAsRootOnX11) {
  std::vector<std::string> lines;
  auto elevation = IElevation::Create([&](std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(elevation->IsElevated(), ::geteuid() == 0);
  EXPECT_EQ(elevation->RelaunchElevated("/noadmin"), TRelaunchResult::rrNotNeeded);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("not needed on this desktop"), std::string::npos);
}

TEST(LinuxBackends, RemoteDesktopDefaultIsNotApplicable) {
  TTempDir dir;
  TSettingsPaths p;
  p.UserFolder = dir.Path();
  p.UserIni = dir / "Tovik.ini";
  TIniText builtIn;
  TSettingsStore store(p, builtIn);
  auto backend = IRemoteDesktopDefault::Create();
  std::vector<std::string> lines;
  ApplyRemoteDesktopDefaultOnce(store, *backend, [&](std::string_view l) { lines.emplace_back(l); });
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(Exists(p.UserIni));
}

TEST(SessionWallpaper, UnknownDesktopOnlyLogs) {
  const char* old = std::getenv("XDG_CURRENT_DESKTOP");
  std::string saved = old ? old : "";
  setenv("XDG_CURRENT_DESKTOP", "NoSuchDesktop", 1);
  std::vector<std::string> lines;
  auto b = IWallpaperBackend::Create([&](const std::string& s) { lines.push_back(s); });
  EXPECT_FALSE(b->Hide());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Wallpaper: cannot hide the background on this desktop (NoSuchDesktop)");
  if (old)
    setenv("XDG_CURRENT_DESKTOP", saved.c_str(), 1);
  else
    unsetenv("XDG_CURRENT_DESKTOP");
}
