// Program entry: wires the Linux backends into the run-mode sequence. The decision itself lives in
// TovikRunModes (tovik_app_core); the interactive program is the main window TForm2 (Unit2).
#include <QApplication>
#include <QPointer>
#include <QMetaObject>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/TovikRunModes.h"
#include "app/TovikSettings.h"
#include "app/Unit2.h"
#include "base/TovikLog.h"
#include "session/TovikToolsPorts.h"
#include "session/ui/TovikKeyMap.h"
#include "session/ui/TovikOwnWindowTracker.h"
#include "update/TovikEmbed.h"

namespace {

using namespace tovik;

int RunInteractive(int& argc, char** argv, const TSettingsStore& store, const TLogWriter& log,
                   const TRunSwitches& sw) {
  QApplication app(argc, argv);
  // Every window this program shows is kept out of the reach of a helper's injected input.
  TAppWindowTracker ownWindows(&app);
  // A restart asked by a helper left a once-entry that started this copy: it has done its job.
  ISystemRestart::ClearRunOnce();
  // SIGTERM, SIGINT and SIGHUP close the program for good, the way the window's own quit does. The
  // handler is in place before the window is built; a request during the build is handled as soon as
  // the event loop runs, by then the window exists.
  QPointer<TForm2> target;
  std::unique_ptr<IQuitRequests> quit = IQuitRequests::Create();
  if (quit)
    quit->SetHandler([&target] {
      // On the backend's thread: the window and the loop are only touched on the GUI thread, through a
      // queued call (nothing of ours crosses the threads).
      QMetaObject::invokeMethod(
          qApp,
          [&target] {
            if (target) target->QuitRequested();
            QCoreApplication::quit();
          },
          Qt::QueuedConnection);
    });

  TForm2 window(store, log, sw, SystemPlatform());
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
  ctx.Error = [](std::string_view line) { std::fprintf(stderr, "%.*s\n", int(line.size()), line.data()); };
  ctx.RunInteractive = [&](const TRunSwitches& sw) {
    log.SetPath(settings().Paths().LogPath);
    return RunInteractive(argc, argv, settings(), log, sw);
  };
  return RunMainSequence(args, ctx);
}
