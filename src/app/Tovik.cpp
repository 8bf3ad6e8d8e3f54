// Program entry: wires the Linux backends into the run-mode sequence. The decision itself lives in
// TovikRunModes (tovik_app_core); the interactive program is the main window TForm2 (Unit2).
#include <QApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/TovikRunModes.h"
#include "app/TovikSettings.h"
#include "app/Unit2.h"
#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "base/TovikLog.h"
#include "service/TovikBrokerClient.h"
#include "session/TovikToolsPorts.h"
#include "session/ui/TovikKeyMap.h"
#include "session/ui/TovikOwnWindowTracker.h"
#include "update/TovikEmbed.h"
#include "update/TovikInstall.h"
#include "update/TovikUpdateFile.h"
#include "update/TovikVersion.h"

namespace {

using namespace tovik;

int RunInteractive(int& argc, char** argv, const TSettingsStore& store, const TLogWriter& log,
                   const TRunSwitches& sw) {
  QApplication app(argc, argv);
  // Every window this program shows is kept out of the reach of a helper's injected input.
  TAppWindowTracker ownWindows(&app);
  // A restart asked by a helper left a once-entry that started this copy: it has done its job.
  ISystemRestart::ClearRunOnce();
  // The broker's allowance lives in this process: other processes of the user may not read or steer it.
  ProtectInteractiveProcess();
  TPlatformServices platform = SystemPlatform();
  // The desktop broker's client writes TovikBroker.log beside the main log, one line in 10 s at most.
  const std::string& mainLog = store.Paths().LogPath;
  auto brokerLog = std::make_shared<TLineRateLimit>(
      [writer = TLogWriter(mainLog.substr(0, mainLog.rfind('/') + 1) + "TovikBroker.log")](const std::string& ALine) {
        writer.Line(ALine);
      },
      kBrokerLogGapMs);
  platform.Broker = std::make_shared<TBrokerClient>(IBrokerTransport::Create(),
                                                    [brokerLog](const std::string& ALine) { (*brokerLog)(ALine); });
  // The admin button's "Admin support ready" face follows the broker.
  platform.BrokerAvailable = [broker = platform.Broker] { return broker->BrokerAvailable(); };

  // SIGTERM, SIGINT and SIGHUP close the program for good, the way the window's own quit does. The
  // handler is in place before the window is built; a request during the build is handled as soon as
  // the event loop runs, by then the window exists.
  QPointer<TForm2> target;
  QTimer quitNow;  // fired from the backend's thread, its timeout handled on the GUI thread
  quitNow.setSingleShot(true);
  QObject::connect(&quitNow, &QTimer::timeout, [&target] {
    if (target) target->QuitRequested();
    QCoreApplication::quit();
  });
  std::unique_ptr<IQuitRequests> quit = IQuitRequests::Create();
  if (quit)
    quit->SetHandler([timer = &quitNow] {
      // On the backend's thread: a queued call by name, so that nothing of ours crosses the threads (the
      // timer existed before this thread started).
      QMetaObject::invokeMethod(timer, "start", Qt::QueuedConnection);
    });

  TForm2 window(store, log, sw, platform);
  target = &window;
  // A hidden tray window must not end the program; it ends when the window closes for good.
  app.setQuitOnLastWindowClosed(false);
  window.OnClosedForGood = [] { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); };
  window.ShowAtStart();
  int code = app.exec();
  quit.reset();  // no request is handed over after this
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string program = RunningProgramFile();
  // The store (and with it the built-in block) is only set up for the modes that read settings.
  std::optional<TSettingsStore> store;
  auto settings = [&]() -> const TSettingsStore& {
    if (!store) store.emplace(ComputeSettingsPaths(ProcessEnv, program), BuiltInSettings());
    return *store;
  };
  TLogWriter log;
  auto logLine = [&](std::string_view line) {
    const TSettingsStore& s = settings();
    s.EnsureUserFolder();
    log.SetPath(s.Paths().LogPath);
    log.Line(line);
  };

  std::unique_ptr<IServiceModes> services = IServiceModes::Create();
  std::unique_ptr<IElevation> elevation = IElevation::Create(logLine);
  std::unique_ptr<IProcessWaiter> waiter = IProcessWaiter::Create();

  TRunContext ctx;
  ctx.Services = services.get();
  ctx.Elevation = elevation.get();
  ctx.Waiter = waiter.get();
  ctx.AutoElevate = [&] { return settings().ReadSwitch("Admin", "AutoElevate"); };
  // The elevated step of an update: "/applyupdate <target> <ready file> <update file>".
  ctx.ApplyUpdate = [&](const std::string& target) {
    std::size_t at = 0;
    while (at < args.size() && !SameTextAscii(args[at], "/applyupdate")) ++at;
    if (at + 3 >= args.size()) {
      ctx.Error("tovik: /applyupdate needs the program, the ready file and the update file");
      return 1;
    }
    std::string why;
    const int code = ApplyUpdateElevated(target, program, args[at + 2], args[at + 3], BuiltInUpdateKey(), OwnBuild(),
                                         TickMs(), why);
    if (code != 0) ctx.Error("tovik: the update was not put in place: " + why);
    return code;
  };
  ctx.Error = [](std::string_view line) { std::fprintf(stderr, "%.*s\n", int(line.size()), line.data()); };
  ctx.RunInteractive = [&](const TRunSwitches& sw) {
    log.SetPath(settings().Paths().LogPath);
    return RunInteractive(argc, argv, settings(), log, sw);
  };
  return RunMainSequence(args, ctx);
}
