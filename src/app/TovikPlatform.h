// The platform backends that the program runs on, picked once by the composition root (the program's
// entry, Tovik.cpp) and handed down to the main window and its sessions. Nothing below the entry calls
// a platform factory itself, so the libraries and their tests never link a platform backend; tests pass
// fakes in the same struct.
//
// Threads: the factories are called on the GUI thread.
#pragma once

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "media/TovikAudio.h"
#include "media/TovikCapture.h"
#include "media/TovikInput.h"
#include "media/TovikMF.h"
#include "media/ffmpeg/TovikMF_ffmpeg.h"
#include "app/ui/TovikTheme.h"
#include "app/TovikAutostart.h"
#include "app/TovikRunModes.h"

#include <QSystemTrayIcon>
#include "diag/TovikDiag.h"
#include "net/TovikSocket.h"
#include "service/TovikBrokerClient.h"
#include "session/TovikSessionIntf.h"
#include "session/TovikToolsPorts.h"
#include "session/TovikWallpaper.h"
#include "session/ui/TovikKeyMap.h"
#include "update/TovikHttp.h"
#include "update/TovikUpdate.h"

namespace tovik {

struct TPlatformServices {
  // The network client's sockets and name resolution.
  std::function<std::unique_ptr<INetBackend>()> NetBackend;
  // The screen of this desktop for a host session; null when there is none.
  std::function<std::shared_ptr<IScreenBackend>()> Screen;
  // Input injection for a host session; null when nothing can inject here.
  std::function<std::unique_ptr<IInputInjector>()> Injector;
  // Hiding the desktop background; ALog may be called from the keeper's worker thread.
  std::function<std::unique_ptr<IWallpaperBackend>(TLogFn ALog)> Wallpaper;
  // What a host session tells the viewer about this computer; none = empty names.
  std::function<THostIdentity()> HostIdentity;
  // The desktop's light/dark choice for the main window's look; none or null = the GTK theme only.
  std::function<std::unique_ptr<IDesktopTheme>()> DesktopTheme;
  // Recording what this PC's speakers play (host) and playing the other PC's sound (viewer); each may
  // raise with the reason it cannot. None = no sound on that side.
  std::function<std::unique_ptr<ILoopbackCapture>()> SoundCapture;
  std::function<std::unique_ptr<IAudioPlayer>()> SoundPlayer;
  // The connection test's network (blocking calls with time-outs on its worker thread); none = no test.
  std::function<std::unique_ptr<IDiagNet>()> DiagNet;
  // What the window system's key events mean, for the viewer windows; null = Qt's key numbers only.
  std::shared_ptr<const IViewerKeys> ViewerKeys;
  // The session tools' files (received files saved in the given folder), the history file at the given
  // path, the PC's restart for the given program file, and the wall clock. None = without them.
  std::function<std::shared_ptr<ITransferFiles>(const std::string& ADownloads)> TransferFiles;
  std::function<std::shared_ptr<ISessionHistory>(const std::string& APath)> SessionHistory;
  std::function<std::shared_ptr<ISystemRestart>(const std::string& AProgram)> Restart;
  std::function<TWallTime()> WallNow;
  // H.264 encoding (host) and decoding (viewer); null = tiles only.
  std::shared_ptr<IVideoCodecs> Video;
  // The HTTP client (update checks and downloads) and what the updater asks of the system; none = no
  // updater.
  std::function<std::shared_ptr<IHttpClient>()> Http;
  std::function<std::unique_ptr<IUpdateSystem>()> UpdateSystem;
  // The desktop broker (helping at the greeter and across user switches), shared by the host sessions
  // and the admin button; null = none. The entry makes it, since its log lives beside the main log.
  std::shared_ptr<TBrokerClient> Broker;
  // Whether this program's desktop is the one shown on the seat; none = always.
  std::function<bool()> IsNormalDesktop;
  // The main window's desktop integration. TrayAvailable: the desktop shows notification-area icons
  // (none = no tray). Autostart: the start-with-the-desktop entry for the given per-user folder and
  // program file (none = not offered). Elevated: the program runs with administrator rights.
  // BrokerAvailable: the support service's desktop broker answers (none = never).
  // AdminPromptsReachable: a helper's injected input reaches the desktop's administrator prompts
  // without restarting the program (X11 with polkit agents).
  std::function<bool()> TrayAvailable;
  std::function<std::unique_ptr<IAutostart>(const std::string& AUserFolder, const std::string& AProgram)> Autostart;
  std::function<bool()> Elevated;
  std::function<bool()> BrokerAvailable;
  bool AdminPromptsReachable = false;
  // A viewer asks for compact tile updates.
  bool CompactTiles = true;
};

// The backends of the operating system the program was built for (their Create() functions live in the
// platform libraries). Call only from an executable that links tovik_platform, tovik_platform_ui and
// tovik_media_ffmpeg.
inline TPlatformServices SystemPlatform() {
  TPlatformServices p;
  p.NetBackend = [] { return INetBackend::Create(); };
  p.Screen = [] { return IScreenBackend::Create(); };
  p.Injector = [] { return IInputInjector::Create(); };
  p.Wallpaper = [](TLogFn ALog) { return IWallpaperBackend::Create(std::move(ALog)); };
  p.HostIdentity = [] { return THostIdentity::Local(); };
  p.DesktopTheme = [] { return IDesktopTheme::Create(); };
  p.SoundCapture = [] { return ILoopbackCapture::Create(); };
  p.SoundPlayer = [] { return IAudioPlayer::Create(); };
  p.DiagNet = [] { return IDiagNet::Create(); };
  p.ViewerKeys = IViewerKeys::Create();
  p.TransferFiles = [](const std::string& ADownloads) { return ITransferFiles::Create(ADownloads); };
  p.SessionHistory = [](const std::string& APath) { return ISessionHistory::Create(APath); };
  p.Restart = [](const std::string& AProgram) { return ISystemRestart::Create(AProgram); };
  p.WallNow = [] { return TWallTime::Now(); };
  p.Video = CreateFfmpegCodecs();
  p.Http = [] { return IHttpClient::Create(); };
  p.UpdateSystem = [] { return IUpdateSystem::Create(); };
  p.IsNormalDesktop = [probe = std::make_shared<TShownDesktopProbe>(ILogind::Create())] { return (*probe)(); };
  p.TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  p.Autostart = [](const std::string& AUserFolder, const std::string& AProgram) -> std::unique_ptr<IAutostart> {
    return std::make_unique<TXdgAutostart>(TXdgAutostart::FolderFor(AUserFolder), AProgram);
  };
  p.Elevated = [] { return IElevation::Create(nullptr)->IsElevated(); };
  p.AdminPromptsReachable = true;
  // Measurements of the screen path (scripts/measure) choose it: TOVIK_TEST_SCREEN=tiles leaves H.264
  // out, =zlib-tiles also the compact tile updates.
  if (const char* s = std::getenv("TOVIK_TEST_SCREEN")) {
    const std::string screen = s;
    if (screen == "tiles" || screen == "zlib-tiles") p.Video = nullptr;
    if (screen == "zlib-tiles") p.CompactTiles = false;
  }
  return p;
}

}  // namespace tovik
