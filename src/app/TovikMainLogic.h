// TMainLogic: what the main window decides, without Qt. It keeps this PC's ID display, the keep-ID
// and unattended switches, the Connect button with its checks, the status pill, the session display,
// the deliver hint with its notices, the reaction to every event of the network client, and the
// reconnection to a helped PC that was asked to restart.
//
// The window (TForm2, Unit2.h) owns the client, the session and the widgets; it hands them to the
// logic through three small seams so that tests drive the logic with fakes and a TManualClock:
//   IMainClient   - the part of TTovikClient that the window uses (TMainClientHost wraps the real one);
//   IMainView     - what the logic shows (labels, buttons, switches, clipboard, minimizing);
//   IMainSessions - the one primary session (create, free, its restart flag and helper).
// The logic owns none of them; each must outlive it or be detached with Attach(nullptr, nullptr).
//
// Threads: GUI thread only. Time comes from TickMs().
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/TovikSettings.h"
#include "crypto/TovikPassword.h"
#include "base/TovikClock.h"
#include "net/TovikNet.h"
#include "session/TovikSessionIntf.h"

namespace tovik {

// State colours (light look; the theme maps them for the dark look). 0xRRGGBB.
constexpr std::uint32_t KColGreen = 0x16A34A;
constexpr std::uint32_t KColAmber = 0xD97706;
constexpr std::uint32_t KColRed = 0xDC2626;
constexpr std::uint32_t KColGrey = 0x9CA3AF;
constexpr std::uint32_t KColInk = 0x1F2937;
constexpr std::uint32_t KColMuted = 0x6B7280;

// A deliver-hint notice stays this long before the normal hint comes back.
constexpr TTick KNoticeMs = 60'000;
// First reconnection attempt after the helped PC went away to restart, and the gap between attempts.
constexpr TTick KReconnectFirstMs = 30'000;
constexpr TTick KReconnectNextMs = 15'000;

// ---- pure helpers ---------------------------------------------------------------------------------

// The digits of a text, every other character dropped (the Connect button's reading of the box).
std::string DigitsOf(std::string_view AText);
// The stricter reading used for an extra PC: digits, blanks and '-' only, exactly 9 digits.
// Returns the 9 digits or nullopt.
std::optional<std::string> ParseExtraID(std::string_view AText);
// "Valid for %d:%.2d. ..." and the other host-state texts for an ID that is shown.
std::string IDStateText(bool APinned, bool AKeepSwitchOn, std::int64_t ASecondsLeft);
// 64 upper-case hexadecimal digits from 32 random bytes.
std::string NewIDSecret();

// The window's size at start: the client area (AClientW x AClientH logical pixels scaled by AScale,
// plus AFrame on each side where AFrame outside 1..40 counts as 8, plus AExtraH for the menu bar),
// never larger than the work area. The same size is the window's minimum size.
struct TSizeI {
  int W = 0, H = 0;
  bool operator==(const TSizeI&) const = default;
};
TSizeI StartWindowSize(TSizeI AWorkArea, double AScale, int AFrame, int AExtraH, int AClientW = 768,
                       int AClientH = 452);

// The window's bounds once session tabs exist: at least W x H with W = min(work width - 40, 1400) and
// H = min(work height - 40, 920), a larger dimension kept, with its top-left corner where a W x H
// window centred on the work area would have it. A window already that large keeps its bounds.
struct TRectI {
  int X = 0, Y = 0, W = 0, H = 0;
  bool operator==(const TRectI&) const = default;
};
TRectI TabbedWindowRect(TRectI AWindow, TRectI AWorkArea);

// ---- seams ----------------------------------------------------------------------------------------

class IMainClient {
 public:
  virtual ~IMainClient() = default;
  virtual std::string MyID() const = 0;
  virtual TTovikState State() const = 0;
  virtual bool IDPinned() const = 0;
  virtual std::int64_t IDSecondsLeft() const = 0;
  virtual bool RelaySecure() const = 0;
  virtual bool RelayBlocked() const = 0;
  virtual std::string PartnerID() const = 0;
  virtual std::string PartnerName() const = 0;
  virtual std::string CheckNumber() const = 0;
  virtual void ConnectTo(const std::string& AID) = 0;
  virtual void Disconnect() = 0;
  virtual void PinID(const std::string& AID, const std::string& ASecret) = 0;
  virtual void UnpinID() = 0;
  virtual void SendText(const std::string& AText) = 0;
  virtual void SetUnattended(bool AOn) = 0;
};

class IMainView {
 public:
  virtual ~IMainView() = default;
  virtual void ShowID(const std::string& AFormatted) = 0;
  virtual void SetConnectEnabled(bool AOn) = 0;
  // "Connect" or "Disconnect"; the window gives the button the matching look.
  virtual void SetConnectCaption(const std::string& ACaption) = 0;
  virtual void SetStatus(std::uint32_t AColour, const std::string& AText) = 0;
  // The status bar's middle part: its text, tooltip and dot.
  virtual void SetSessionDisplay(std::uint32_t ADot, const std::string& AText, const std::string& ATip) = 0;
  virtual void SetHint(const std::string& AText, std::uint32_t AColour) = 0;
  virtual void SetHostState(const std::string& AText) = 0;
  // Sets the keep-ID switch without raising its handler.
  virtual void SetKeepID(bool AChecked) = 0;
  virtual void SetKeepIDEnabled(bool AOn) = 0;
  // Sets the unattended switch without raising its handler.
  virtual void SetUnattendedSwitch(bool AChecked) = 0;
  // The "Chat && files" button: shown and enabled during a session.
  virtual void SetToolsButton(bool AOn) = 0;
  // The helper's picture in the get-help card; nullopt hides it.
  virtual void ShowHelperPicture(const std::optional<TPicture24>& APicture) = 0;
  virtual void FocusPartnerBox() = 0;
  // Puts text on the clipboard; false when the clipboard is busy.
  virtual bool CopyText(const std::string& AText) = 0;
  // Minimizes the program when its window is visible.
  virtual void MinimizeApp() = 0;
  // Asks the person at this PC for a new unattended-access password (typed twice, long enough);
  // nothing when they cancel.
  virtual std::optional<std::string> AskNewPassword() = 0;
};

class IMainSessions {
 public:
  virtual ~IMainSessions() = default;
  // Frees any previous session and creates one on the connected client. AUnattended: a host session
  // that lets a helper in with this password without the dialog.
  virtual void Create(bool AIsViewer, const std::optional<TPasswordVerifier>& AUnattended) = 0;
  virtual void Free() = 0;
  virtual bool Exists() const = 0;
  virtual bool RestartAsked() const = 0;
  virtual std::string HelperName() const = 0;
  virtual std::optional<TPicture24> HelperPicture() const = 0;
  virtual void ShowTools() = 0;
};

// ---- the logic ------------------------------------------------------------------------------------

class TMainLogic {
 public:
  // AStore and AView must outlive the logic. ALog writes one main-log line.
  TMainLogic(const TSettingsStore& AStore, IMainView& AView, TLogSink ALog);

  // The client (null: none could be made) and the session owner; neither is owned.
  void Attach(IMainClient* AClient, IMainSessions* ASessions);

  // Construction steps before the client starts: the ID placeholder, disabled Connect, the keep-ID
  // switch from [ID] Secret, the unattended switch from [Session] Unattended, the idle session display,
  // "Connecting to server...", the kept-ID request and the normal hint. AServerText: "host:port".
  void Startup(const std::string& AServerText);
  // The client could not start.
  void StartFailed(const std::string& AError);

  // Client events.
  void OnID();
  void OnConnected();
  void OnDisconnected();
  void OnFailed(const std::string& AReason);
  void OnRelayStatus(const std::string& AText);
  void OnPin(bool AOK, const std::string& AValue);
  void OnMessage(const std::string& AText);
  void OnRelayKeyPinned(const std::string& AKeyHex);

  // Session events (helped PC).
  void OnHelperInfo();
  void OnAllowed();

  // User actions.
  void ConnectClick(const std::string& ABoxText);
  // The helper connects to this ID (raw digits): it becomes the newest saved PC.
  std::function<void(const std::string& AID)> OnConnecting;
  // Extra helped PCs beside the primary session: whether a link already targets the ID, and opening
  // one (the window owns the links). Without OpenExtra extra sessions are not available.
  std::function<bool(const std::string& AID)> HasExtra;
  std::function<void(const std::string& AID)> OpenExtra;
  void CopyID();
  void KeepIDChanged(bool AOn);
  // The unattended switch was clicked: turning it on asks for a password first and stays off without
  // one; turning it off forgets the password.
  void UnattendedChanged(bool AOn);
  // "Help another PC..." with the answer of its input box (nullopt: cancelled).
  void HelpAnother(const std::optional<std::string>& AAnswer);
  // [UI] TabbedSessions as the window has it: a helper in a session then sees "Connect" and can add
  // another PC by typing its ID. Read when a session starts.
  void SetTabbed(bool AOn) { FTabbed = AOn; }
  bool Tabbed() const { return FTabbed; }
  // The window is closing for good: the tick stops reconnecting.
  void SetClosing() { FClosing = true; }

  // The one-second tick.
  void Tick();
  // The host-state text of the ID (each tick and after the ID events).
  void RefreshIDText();

  // Hints: SetHint with notice, Notice, Warn (red notice, also logged), the normal hint.
  void SetHint(const std::string& AText, std::uint32_t AColour, bool ANotice);
  void Notice(const std::string& AText, std::uint32_t AColour) { SetHint(AText, AColour, true); }
  void Warn(const std::string& AText);
  void NormalHint();
  bool Online() const;

  // What the window shows, for the status file and tests.
  const std::string& StatusText() const { return FStatusText; }
  std::uint32_t StatusColour() const { return FStatusColour; }
  const std::string& SessTitle() const { return FSessTitle; }
  const std::string& SessCheck() const { return FSessCheck; }
  const std::string& SessDetail() const { return FSessDetail; }
  std::uint32_t SessColour() const { return FSessColor; }
  const std::string& HintText() const { return FHintText; }
  bool HintNotice() const { return FHintNotice; }
  const std::string& ServerResult() const { return FServerResult; }
  bool IsViewer() const { return FIsViewer; }
  // Unattended access is on only with a password.
  bool Unattended() const { return FVerifier.has_value(); }
  bool KeepIDOn() const { return FKeepID; }
  const std::string& ReconnectID() const { return FReconnectID; }
  TTick ReconnectNext() const { return FReconnectNext; }
  const std::string& ConnectCaption() const { return FConnectCaption; }

 private:
  void SetStatus(std::uint32_t AColour, const std::string& AText);
  void SetSession(std::uint32_t ADot, const std::string& ATitle, const std::string& ACheck,
                  const std::string& ADetail);
  void SetConnectCaption(const std::string& ACaption);
  void Log(const std::string& AText) const;
  void ReconnectTick();
  void OpenExtraSession(const std::string& AID);
  void ApplyUnattended(bool AOn);

  const TSettingsStore& FStore;
  IMainView& FView;
  TLogSink FLog;
  IMainClient* FClient = nullptr;
  IMainSessions* FSessions = nullptr;
  bool FTabbed = false;

  std::string FStatusText;
  std::uint32_t FStatusColour = KColAmber;
  std::uint32_t FSessColor = KColGrey;
  std::string FSessTitle, FSessCheck, FSessDetail;
  std::string FServerText, FServerResult;
  std::string FHintText;
  bool FHintNotice = false;
  TTick FHintUntil = 0;
  bool FRelayWasSecure = false;
  bool FFirstRelayStatus = true;

  bool FIsViewer = false;
  std::string FLastPartnerID;
  std::string FReconnectID;
  TTick FReconnectNext = 0;
  bool FKeepID = false;
  std::optional<TPasswordVerifier> FVerifier;  // set while unattended access is on
  bool FClosing = false;
  std::string FConnectCaption = "Connect";
};

}  // namespace tovik
