// What the two sides of a session share: the peer link, the alive token, deferred work, the session
// log, the reliable message channel, the session tools and the last-known time.
//
// Ownership: TTovikSession owns one TSessionContext and the side (THostSide or TViewerSide) that
// works on it; the side holds a reference and never outlives it. The link is not owned (it must
// outlive the session); the tools are owned here and freed before the side.
//
// Threads: GUI thread only, like the session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "base/TovikClock.h"
#include "media/TovikAudio.h"
#include "media/TovikMF.h"
#include "session/TovikSessionGuard.h"
#include "session/TovikSessionIntf.h"
#include "session/TovikUnattended.h"
#include "session/TovikWallpaper.h"

namespace tovik {

// Settings shared by every session of the program ([Session] EdgeSwitch, HideWallpaper, and the
// tabbed-sessions docking hook). Only a viewer uses them.
struct TSessionSettings {
  bool EdgeSwitch = true;
  bool HideWallpaper = true;
  // The viewer asks for compact tile updates; off = the zlib updates of older viewers (measurements).
  bool CompactTiles = true;
  // When set, a new viewer window is handed to it (with the grouped partner ID) instead of shown.
  std::function<void(IViewerWindow&, const std::string&)> DockViewer;
};

// Everything a session is built from.
struct TSessionDeps {
  ISessionLink* Link = nullptr;  // required; not owned
  TPostToGui Post;               // required
  TLogFn Log;                    // session log lines; none = not logged
  TSessionSettings Settings;
  TToolsFactory MakeTools;       // none = TSessionTools without services (lines go to the log)
  // Measures how long grabbing and encoding one frame takes (ms, any monotonic origin), which the
  // frame rate depends on. The session reads no clock of its own: time reaches it through
  // HandleTimeout; this is only a stopwatch. None = the cost counts as 0 ms.
  std::function<TTick()> Stopwatch;
  // H.264: the host encodes with it when the viewer can show H.264, the viewer announces H.264 when
  // it can decode. Shared by the program's sessions; none = tiles only.
  std::shared_ptr<IVideoCodecs> Video;
  // Any thread: asks the driver to run the session's HandleTimeout soon (TQtTimedDriver::Wake). The
  // host calls it when its screen reports a change and when its capture worker has a result.
  std::function<void()> Wake;
  // Host.
  std::unique_ptr<IHostScreen> Screen;
  // The host grabs and encodes tile updates on a worker thread of its own (TCaptureWorker); off, on
  // the session's thread within HandleTimeout (tests on virtual time).
  bool CaptureWorker = false;
  std::unique_ptr<IHostInput> Injector;
  std::shared_ptr<IConsentPrompt> Consent;  // none = every request is denied
  // What an unattended session checks the helper's password against. An unattended session without
  // it asks the person at the PC, like any other.
  std::optional<TUnattendedPassword> UnattendedPassword;
  std::unique_ptr<IWallpaperBackend> Wallpaper;
  std::function<bool()> AdminAvailable;     // none = false
  std::function<void(bool)> UseBroker;      // none = no desktop broker
  THostIdentity Identity;                   // told to the viewer (from the platform in the program)
  // Records what this PC's speakers play while the helper wants sound; called on the GUI thread when
  // sound is wanted and may raise with the reason. None = no sound to send.
  std::function<std::unique_ptr<ILoopbackCapture>()> MakeSoundCapture;
  // Viewer.
  TViewerWindowFactory MakeViewer;          // required for a viewer
  // Plays the host's sound; called on the GUI thread with the first sound packet and may raise with
  // the reason. None = this viewer cannot play sound.
  std::function<std::unique_ptr<IAudioPlayer>()> MakeSoundPlayer;
  // Asks the helper for a helped PC's password; none = this viewer cannot answer a challenge (it does
  // not announce kCapsPassword, so the other PC asks its person instead).
  std::shared_ptr<IPasswordPrompt> PasswordPrompt;
};

struct TSessionContext {
  TSessionContext(TSessionDeps& ADeps, TTick ANow);

  ISessionLink* Link;
  TSessionGuardRef Guard;
  TPostToGui Post;
  TLogFn LogFn;
  TMsgChannel Channel;
  std::unique_ptr<ISessionTools> Tools;
  // The time given to the constructor or to the latest HandleTimeout: what events that arrive in
  // between (peer packets, window events) take as "now". Never goes back.
  TTick Now;

  // Sends one peer packet; an empty one is not sent.
  void Send(TByteView AData);
  // Sends several peer packets together; empty ones are not sent.
  void SendBatch(std::span<const TBytes> AData);
  // One session log line. Never raises.
  void Log(const std::string& AText) noexcept;
  // Runs AWork; an exception it raises is logged as "<AWhere> failed: <text>" and goes no further.
  void RunLogged(const char* AWhere, const std::function<void()>& AWork) noexcept;
  // The channel's timer step: the tools' tick (when ALive) and the packets the channel has to send.
  // Messages go out only when AMessagesOut; otherwise only acknowledgements do.
  void PollChannel(bool ALive, bool AMessagesOut);
  // Ends the peer link from deferred work that holds only the alive token.
  void DisconnectLater();
  void SetNow(TTick ANow) {
    if (ANow > Now) Now = ANow;
  }
};

}  // namespace tovik
