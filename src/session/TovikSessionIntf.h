// What a session reaches outside itself, as interfaces: the peer link, the consent prompt, the viewer
// window, the session tools, the host's screen and input injection. The real Qt windows and the
// platform objects implement them elsewhere; tests pass fakes.
//
// Threads: every call in either direction happens on the GUI thread, unless a comment says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "media/TovikCapture.h"
#include "net/TovikFrames.h"
#include "session/TovikConsentAnswer.h"

namespace tovik {

using TLogFn = std::function<void(const std::string&)>;

// ---- peer link ------------------------------------------------------------------------------------

// The established peer link that carries one session (TTovikClient in the program). Not owned by the
// session; must outlive it. The owner feeds every binary packet the link delivers (its OnData) into
// TTovikSession::OnPeerData.
class ISessionLink {
 public:
  virtual ~ISessionLink() = default;
  virtual std::string PartnerID() const = 0;
  virtual std::string PartnerName() const = 0;
  virtual std::string CheckNumber() const = 0;
  // "ip:port" of a direct link; meaningless (":0" in the program) while ViaRelay().
  virtual std::string PeerAddress() const = 0;
  virtual bool ViaRelay() const = 0;
  // Both PCs' peer public keys in a fixed order, the same on both ends of the link (what a password
  // proof is bound to); empty when the link has none.
  virtual TBytes KeyBinding() const = 0;
  // Seals and sends one peer packet; nothing is queued, a packet that cannot go out is lost.
  virtual void SendData(TByteView AData) = 0;
  // The same for several packets at once (the link may hand them to the socket together); empty
  // ones are not sent.
  virtual void SendBatch(std::span<const TBytes> AData) {
    for (const TBytes& d : AData)
      if (!d.empty()) SendData(d);
  }
  // Ends the link with BYE; the owner then frees the session.
  virtual void Disconnect() = 0;
};

// ---- pictures -------------------------------------------------------------------------------------

// A small 24-bit picture (helper's photo, thumbnails): rows top to bottom, blue, green, red.
struct TPicture24 {
  int Width = 0;
  int Height = 0;
  TBytes Pixels;  // Width * Height * 3
};

// ---- consent --------------------------------------------------------------------------------------


struct TConsentRequest {
  std::string Helper;       // "name, company", the name, or the partner name
  std::string Address;      // the peer address; empty when the link goes through the server
  std::string CheckNumber;
  std::optional<TPicture24> Picture;
};

// Asks the person at the helped PC. The answer may come at once or later (a modal dialog, a
// time-out that answers caDeny); it is delivered exactly once through AAnswer, on the GUI thread.
// AAnswer may be called after the session is gone: the session's guard makes it do nothing then.
class IConsentPrompt {
 public:
  virtual ~IConsentPrompt() = default;
  virtual void Ask(const TConsentRequest& ARequest, std::function<void(TConsentAnswer)> AAnswer) = 0;
};

// ---- viewer window --------------------------------------------------------------------------------

// The one contract between the viewer side of a session and its window: IViewerEvents is what the
// window tells the session (the session implements it; the Qt viewer window calls it directly),
// IViewerWindow is what the session asks of the window.
//
// Ownership: the session owns its window through TViewerWindowPtr, which ends that ownership with
// FreeSafely, never with delete: the window may be inside one of its own modal dialogs or event
// handlers at that moment. FreeSafely detaches the events at once (the window raises no event after it
// returns) and the window frees itself now or, while a modal dialog is open, when that dialog closes.
// The session (the events) therefore always outlives every event call that reaches it. An event
// handler may end the session, and with it call FreeSafely on the window that raised the event; the
// window checks that it still has its events before it raises the next one.

// Events of the viewer window. The optional ones do nothing by default.
class IViewerEvents {
 public:
  virtual ~IViewerEvents() = default;
  // One input event (kinds ikMove .. ikKeyUp of media/TovikInput.h) in pixels of the other PC's
  // picture. Seq is not the window's business: the session numbers the events it sends.
  virtual void OnInput(const TInputEvent& AEvent) = 0;
  // The user ends the session (Disconnect, the close box, RequestClose).
  virtual void OnUserClose() = 0;
  virtual void OnChat() {}
  // Existing files chosen in the file dialog or dropped on the window (UTF-8 paths).
  virtual void OnSendFiles(const std::vector<std::string>& AFiles) { (void)AFiles; }
  virtual void OnPickScreen(int AIndex) { (void)AIndex; }
  virtual void OnRestart() {}
  virtual void OnMute(bool AValue) { (void)AValue; }
  virtual void OnShowThumbs(bool AValue) { (void)AValue; }
  // The latest thumbnail of a screen of the other PC, or none.
  virtual std::optional<TPicture24> OnGetThumb(int AIndex) {
    (void)AIndex;
    return std::nullopt;
  }
  virtual void OnCancelSend() {}
  // The pointer reached the left (-1) or right (+1) edge of the picture at relative height AFracY.
  virtual void OnEdge(int ADir, double AFracY) {
    (void)ADir;
    (void)AFracY;
  }
  virtual void OnElevate() {}
};

class IViewerWindow {
 public:
  virtual ~IViewerWindow() = default;
  virtual void SetCaption(const std::string& ACaption) = 0;
  virtual std::string Caption() const = 0;
  // Title (grouped partner ID) and the session line; repaints only on a change.
  virtual void SetSessionInfo(const std::string& ATitle, const std::string& ALine) = 0;
  // Empty text clears the notice.
  virtual void SetNotice(const std::string& AText) = 0;
  // Paints one tile update (frame blob without its kind byte) into the window's picture, which the
  // window owns. Throws on a bad update and leaves the picture as it was; the session then asks for a
  // complete picture. The session has checked the picture size before calling.
  virtual void ShowUpdate(TByteView AUpdate) = 0;
  // A 32-bit target picture of AW x AH for a decoded video frame; false when there is none.
  virtual bool VideoTarget(int AW, int AH, std::uint8_t*& ABits, std::ptrdiff_t& AStride) = 0;
  virtual void VideoDone() = 0;
  virtual void SetScreens(int ACount, int APrimary) = 0;
  virtual void SelectScreen(int AIndex) = 0;
  virtual void WarpToEdge(int ADir, double AFracY) = 0;
  virtual void ThumbChanged(int AIndex) = 0;
  virtual void SetTransfer(const std::string& AName, std::int64_t ADone, std::int64_t ATotal, int ALeft) = 0;
  virtual int CurrentScreen() const = 0;
  virtual void Show() = 0;
  // Ends the session's ownership: the window stops calling its events at once and frees itself, now
  // or, while one of its modal dialogs is open, when that dialog closes. Called only through
  // TViewerWindowPtr.
  virtual void FreeSafely() = 0;
};

struct TViewerWindowRelease {
  void operator()(IViewerWindow* AWindow) const {
    if (AWindow) AWindow->FreeSafely();
  }
};
using TViewerWindowPtr = std::unique_ptr<IViewerWindow, TViewerWindowRelease>;
// Makes the window of a viewer session. AEvents (the session) outlives the window's events: it calls
// FreeSafely before it goes.
using TViewerWindowFactory = std::function<TViewerWindowPtr(IViewerEvents& AEvents, const std::string& ACaption)>;

// ---- session tools --------------------------------------------------------------------------------

struct TScreenRect {
  TRect Rect;
  bool Primary = false;
};

// Chat, clipboard, screens, thumbnails, profile, restart, elevation and files. The session passes
// every delivered message it does not handle itself to HandleMessage, and calls Tick every 10 ms
// (on a host only after consent). Events are set by the session right after creation.
class ISessionTools {
 public:
  virtual ~ISessionTools() = default;
  virtual void HandleMessage(const TChannelMsg& AMsg) = 0;
  virtual void Tick() = 0;
  // Host, when consent is given: posts mkHello and mkScreens.
  virtual void Announce() = 0;
  // Viewer, at the start: posts mkProfile (and mkProfilePicture when there is a picture).
  virtual void PostProfile() = 0;
  virtual void ShowTools() = 0;
  virtual void SendFiles(const std::vector<std::string>& AFiles) = 0;
  virtual void CancelSend() = 0;
  // Viewer: posts mkPickScreen when the index is 0..255.
  virtual void PickMonitor(int AIndex) = 0;
  virtual void RequestRestart() = 0;
  virtual void RequestElevate() = 0;
  virtual std::optional<TPicture24> Thumb(int AIndex) = 0;
  // Viewer: the host has let this helper in (it reports a mode). Files and clipboard texts wait
  // until then.
  virtual void AccessGranted() {}

  // Viewer: the host's screens as last announced. Host: its own screens.
  virtual std::vector<TScreenRect> Monitors() const = 0;
  virtual bool RestartAsked() const = 0;
  virtual std::string HelperName() const = 0;
  virtual std::string HelperCompany() const = 0;
  virtual std::optional<TPicture24> HelperPicture() const = 0;
  virtual std::string RemoteInfo() const = 0;  // the hello text, viewer

  std::function<void()> OnMonitors;                 // viewer: a screen list arrived
  std::function<void(int)> OnThumb;                 // viewer: a thumbnail changed
  std::function<void(const std::string&, std::int64_t, std::int64_t, int)> OnSendProgress;
  std::function<void(const TRect&)> OnPickMonitor;  // host: the helper chose a screen
  std::function<void()> OnProfile;                  // host: the helper's profile is complete
};

// What a tools object is built from.
// What the host tells the viewer about itself in mkHello. The program's entry reads it from the
// machine (Local(), defined by the platform library) and hands it down in TSessionDeps; tests pass
// fixed values.
struct THostIdentity {
  std::string Computer, User, System;
  static THostIdentity Local();
};

struct TToolsContext {
  TMsgChannel* Channel = nullptr;  // owned by the session, outlives the tools
  bool IsViewer = false;
  std::string PartnerID;
  std::string PartnerName;
  TLogFn Log;
  std::function<std::vector<TScreenRect>()> ListScreens;  // host: its own screens
  THostIdentity Identity;                                 // host: told to the viewer
  std::function<TTick()> Now;                             // the session's time; none = 0
};

using TToolsFactory = std::function<std::unique_ptr<ISessionTools>(const TToolsContext&)>;

// ---- host side ------------------------------------------------------------------------------------

// The host's screen: the capturer as the session uses it.
class IHostScreen {
 public:
  virtual ~IHostScreen() = default;
  // A compressed tile update, or empty when nothing changed or nothing could be grabbed.
  virtual TBytes CaptureUpdate(bool AFull) = 0;
  // Grabs for the video path: true when a picture is to be encoded (it changed, or AFull), with ABits
  // at its row 0 until the next call and AStride the signed row distance. The picture then counts as
  // sent for later tile updates. False when nothing changed or nothing could be grabbed.
  virtual bool CaptureVideo(bool AFull, const std::uint8_t*& ABits, std::ptrdiff_t& AStride, int& AW, int& AH) {
    (void)AFull, (void)ABits, (void)AStride, (void)AW, (void)AH;
    return false;
  }
  virtual void SetArea(const TRect& ARect) = 0;
  // Compact tile updates (the viewer announced kCapsCompact) from the next full picture on, or the
  // zlib updates every viewer reads. A screen without them keeps to the latter.
  virtual void SetCompact(bool AOn) { (void)AOn; }
  virtual std::string Diag() const = 0;
  // The last CaptureUpdate left changed tiles out for want of room (the next one has more to send).
  virtual bool MoreWaiting() const { return false; }
  // With AOn, CaptureUpdate may return a zlib update not yet compressed (LastUnfinished() true after
  // it), which the caller finishes with FinishPlainUpdate on a thread of its choice. False (and
  // nothing changes) for a screen that cannot.
  virtual bool DeferDeflate(bool AOn) {
    (void)AOn;
    return false;
  }
  virtual bool LastUnfinished() const { return false; }
  // Reports drawing on the screen: AOnChange runs on a thread of the watch soon after the first
  // change since the watch was made or re-armed (IChangeWatch), until the watch is destroyed. nullptr
  // when this screen cannot
  // report changes; its owner then looks for them on a timer. The watch may outlive no screen call.
  virtual std::unique_ptr<IChangeWatch> WatchChanges(std::function<void()> AOnChange) {
    (void)AOnChange;
    return nullptr;
  }
  virtual bool IsNormalDesktop() const { return true; }
  // Top-left corner of the captured area in desktop coordinates.
  virtual TPoint Origin() const { return {}; }
  // The host's screens, for the screen list and the screen choice.
  virtual std::vector<TScreenRect> Screens() const { return {}; }
};

// Input injection on the host, as the session uses it.
class IHostInput {
 public:
  virtual ~IHostInput() = default;
  // Injects one event; X and Y are picture coordinates of the captured area. It may wait in a buffer
  // until Flush, which the host calls once after each batch of events.
  virtual void InjectInput(const TInputEvent& AEvent) = 0;
  virtual void Flush() {}
  // True when a pointer event at this point (picture coordinates of the captured area, as in
  // InjectInput) would land on a window of this program.
  virtual bool IsOwnWindowAt(TPoint APicturePoint) = 0;
  // True when a key injected now would reach a window of this program (or when that is not known).
  virtual bool OwnWindowHasFocus() = 0;
};

}  // namespace tovik
