#include "app/TovikMainLogic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/TovikBytes.h"
#include "crypto/TovikCrypto.h"

namespace tovik {

namespace {
constexpr const char* kNoCheck = "--- ---";
constexpr const char* kDirect = "Direct link, AES-256 encrypted.";
constexpr const char* kStillConnecting = "Still connecting to the server. Try again in a moment.";
constexpr const char* kEnterID = "Enter the 9-digit ID of the other PC.";
constexpr const char* kOwnID = "That is your own ID.";
constexpr const char* kUnattendedNeedsPassword =
    "Unattended access is off until a password is set: turn it on to set one.";

bool HasID(const std::string& AID) { return !AID.empty() && AID != "0"; }
}  // namespace

// ---- pure helpers ---------------------------------------------------------------------------------

std::string DigitsOf(std::string_view AText) {
  std::string out;
  for (char c : AText)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

std::optional<std::string> ParseExtraID(std::string_view AText) {
  std::string out;
  for (char c : AText) {
    if (c >= '0' && c <= '9')
      out += c;
    else if (c != ' ' && c != '-')
      return std::nullopt;
  }
  if (out.size() != 9) return std::nullopt;
  return out;
}

std::string IDStateText(bool APinned, bool AKeepSwitchOn, std::int64_t ASecondsLeft) {
  if (APinned) return "This ID is kept for this PC and does not expire. Switch it off for one-time IDs again.";
  if (AKeepSwitchOn) return "Asking the server to keep this ID...";
  if (ASecondsLeft < 1) return "Getting a new ID...";
  char buf[96];
  std::snprintf(buf, sizeof buf, "Valid for %d:%.2d. Give it to your helper; it works once.",
                static_cast<int>(ASecondsLeft / 60), static_cast<int>(ASecondsLeft % 60));
  return buf;
}

std::string NewIDSecret() {
  static const char* hex = "0123456789ABCDEF";
  const TBytes b = RandomBytes(32);
  std::string out;
  for (std::uint8_t x : b) {
    out += hex[x >> 4];
    out += hex[x & 15];
  }
  return out;
}

TSizeI StartWindowSize(TSizeI AWorkArea, double AScale, int AFrame, int AExtraH, int AClientW, int AClientH) {
  const int frame = (AFrame < 1 || AFrame > 40) ? 8 : AFrame;
  TSizeI s{static_cast<int>(std::lround(AClientW * AScale)) + 2 * frame,
           static_cast<int>(std::lround(AClientH * AScale)) + 2 * frame + AExtraH};
  if (AWorkArea.W > 0) s.W = std::min(s.W, AWorkArea.W);
  if (AWorkArea.H > 0) s.H = std::min(s.H, AWorkArea.H);
  return s;
}

TRectI TabbedWindowRect(TRectI AWindow, TRectI AWorkArea) {
  const int w = std::max(1, std::min(AWorkArea.W - 40, 1400));
  const int h = std::max(1, std::min(AWorkArea.H - 40, 920));
  if (AWindow.W >= w && AWindow.H >= h) return AWindow;
  return {AWorkArea.X + (AWorkArea.W - w) / 2, AWorkArea.Y + (AWorkArea.H - h) / 2, std::max(AWindow.W, w),
          std::max(AWindow.H, h)};
}

// ---- the logic ------------------------------------------------------------------------------------

TMainLogic::TMainLogic(const TSettingsStore& AStore, IMainView& AView, TLogSink ALog)
    : FStore(AStore), FView(AView), FLog(std::move(ALog)) {}

void TMainLogic::Attach(IMainClient* AClient, IMainSessions* ASessions) {
  FClient = AClient;
  FSessions = ASessions;
}

void TMainLogic::Log(const std::string& AText) const {
  if (FLog) FLog(AText);
}

bool TMainLogic::Online() const { return FClient && FClient->RelaySecure() && HasID(FClient->MyID()); }

void TMainLogic::Startup(const std::string& AServerText) {
  FView.ShowID("--- --- ---");
  FView.SetConnectEnabled(false);
  SetConnectCaption("Connect");
  const std::string secret = FStore.ReadText("ID", "Secret");
  FKeepID = !secret.empty();
  FView.SetKeepID(FKeepID);
  FView.SetKeepIDEnabled(false);
  bool noPassword = false;
  if (FStore.ReadSwitch("Session", "Unattended")) {
    // Unattended access without a password would let in anyone who knows the ID: it stays off
    // until the person here sets one.
    FVerifier = ParsePasswordVerifier(FStore.ReadText("Session", "UnattendedPassword"));
    if (FVerifier) {
      FView.SetUnattendedSwitch(true);
      ApplyUnattended(true);
    } else {
      FView.SetUnattendedSwitch(false);
      Log("Unattended access is off: no password is set");
      noPassword = true;
    }
  }
  FView.SetToolsButton(false);
  FView.ShowHelperPicture(std::nullopt);
  SetSession(KColGrey, "No active session", kNoCheck, "Sessions are encrypted end to end with AES-256");
  FServerText = AServerText;
  SetStatus(KColAmber, "Connecting to server...");
  if (FClient && !secret.empty()) FClient->PinID(FStore.ReadText("ID", "Pinned"), secret);
  NormalHint();
  if (noPassword) Notice(kUnattendedNeedsPassword, KColAmber);
}

void TMainLogic::StartFailed(const std::string& AError) {
  SetStatus(KColRed, "Could not start");
  Log("Could not start: " + AError);
}

// ---- display helpers ------------------------------------------------------------------------------

void TMainLogic::SetStatus(std::uint32_t AColour, const std::string& AText) {
  FStatusColour = AColour;
  FStatusText = AText;
  FView.SetStatus(AColour, AText);
}

void TMainLogic::SetSession(std::uint32_t ADot, const std::string& ATitle, const std::string& ACheck,
                            const std::string& ADetail) {
  FSessColor = ADot;
  FSessTitle = ATitle;
  FSessCheck = ACheck;
  FSessDetail = ADetail;
  std::string text = ATitle, tip = ADetail;
  if (ACheck != kNoCheck) {
    text += "  |  Check number " + ACheck;
    tip += " Both PCs must show the same check number.";
  }
  FView.SetSessionDisplay(ADot, text, Trim(tip));
}

void TMainLogic::SetHint(const std::string& AText, std::uint32_t AColour, bool ANotice) {
  FHintText = AText;
  FHintNotice = ANotice;
  if (ANotice) FHintUntil = TickMs() + KNoticeMs;
  FView.SetHint(AText, AColour);
}

void TMainLogic::Warn(const std::string& AText) {
  Notice(AText, KColRed);
  Log(AText);
}

void TMainLogic::NormalHint() {
  SetHint(Online() ? "Type the ID of the PC you want to help, or pick a saved PC."
                   : "Connecting to the server; you can help as soon as it is online.",
          KColMuted, false);
}

void TMainLogic::SetConnectCaption(const std::string& ACaption) {
  FConnectCaption = ACaption;
  FView.SetConnectCaption(ACaption);
}

// ---- client events --------------------------------------------------------------------------------

void TMainLogic::OnID() {
  if (!FClient) return;
  FView.ShowID(FormatID(FClient->MyID()));
  FView.SetConnectEnabled(true);
  SetStatus(KColGreen, "Online, secure connection");
  FView.SetKeepIDEnabled(true);
  if (!FHintNotice) NormalHint();
  RefreshIDText();
}

void TMainLogic::RefreshIDText() {
  if (!FClient || !HasID(FClient->MyID()) || FClient->State() == rsConnected) return;
  FView.SetHostState(IDStateText(FClient->IDPinned(), FKeepID, FClient->IDSecondsLeft()));
}

void TMainLogic::OnRelayStatus(const std::string& AText) {
  if (!FClient) return;
  const bool secure = FClient->RelaySecure(), blocked = FClient->RelayBlocked();
  if (blocked)
    SetStatus(KColRed, AText);
  else if (secure && HasID(FClient->MyID()))
    SetStatus(KColGreen, "Online, secure connection");
  else
    SetStatus(secure ? KColGreen : KColAmber, AText);
  FServerResult = AText + (secure ? ", AES-256 encrypted" : "") + (blocked ? " (blocked)" : "");
  // The saved-PC list would be fetched here when the secure relay session has just begun.
  FRelayWasSecure = secure;
  FFirstRelayStatus = false;
  if (!FHintNotice) NormalHint();
}

void TMainLogic::OnPin(bool AOK, const std::string& AValue) {
  if (AOK) {
    FStore.WriteText("ID", "Pinned", AValue);
    RefreshIDText();
    return;
  }
  FStore.EraseSection("ID");
  FKeepID = false;
  FView.SetKeepID(false);
  FView.SetHostState(AValue);
}

void TMainLogic::OnMessage(const std::string& AText) { Log("Partner says: " + EscapeForLog(AText)); }

void TMainLogic::OnRelayKeyPinned(const std::string& AKeyHex) {
  FStore.WriteTextLogged(TSaveFailure::sfRelayKey, "Relay", "Key", AKeyHex, [this](std::string_view l) {
    Log(std::string(l));
  });
}

void TMainLogic::OnConnected() {
  if (!FClient) return;
  // With tabs a helper keeps "Connect" to add more PCs (each tab ends its own session); otherwise the
  // button ends the session.
  SetConnectCaption(FIsViewer && FTabbed ? "Connect" : "Disconnect");
  FView.SetToolsButton(true);
  std::string detail;
  if (FIsViewer)
    detail = "You are helping this PC";
  else if (!FClient->PartnerName().empty())
    detail = Utf8Left(FClient->PartnerName(), kMaxNameChars) + " wants to help this PC";
  else
    detail = "This PC is being helped";
  detail += std::string(". ") + kDirect;
  SetSession(KColGreen, "Connected to " + FormatID(FClient->PartnerID()), FClient->CheckNumber(), detail);
  FView.SetHostState(FClient->IDPinned() ? "In a session. Your kept ID stays the same."
                                         : "In a session. You get a new ID afterwards.");
  FClient->SendText("Hello from " + FormatID(FClient->MyID()));
  FLastPartnerID = FClient->PartnerID();
  FReconnectID.clear();
  if (FSessions) {
    FSessions->Free();
    FSessions->Create(FIsViewer, FIsViewer ? std::nullopt : FVerifier);
  }
}

void TMainLogic::OnHelperInfo() {
  if (!FSessions || !FClient) return;
  const std::string name = Utf8Left(FSessions->HelperName(), kMaxNameChars);
  if (!name.empty()) {
    FView.SetHostState(name + " is helping this PC.");
    SetSession(FSessColor, FSessTitle, FSessCheck, name + " is helping this PC. " + kDirect);
  }
  if (auto pic = FSessions->HelperPicture()) FView.ShowHelperPicture(pic);
}

void TMainLogic::OnAllowed() { FView.MinimizeApp(); }

void TMainLogic::OnDisconnected() {
  const bool hadSession = FSessions && FSessions->Exists();
  const bool reconnect = FIsViewer && hadSession && FSessions->RestartAsked() && !FLastPartnerID.empty();
  if (FSessions) FSessions->Free();
  FIsViewer = false;
  FView.SetToolsButton(false);
  FView.ShowHelperPicture(std::nullopt);
  SetConnectCaption("Connect");
  if (reconnect) {
    FReconnectID = FLastPartnerID;
    FReconnectNext = TickMs() + KReconnectFirstMs;
    SetSession(KColAmber, "Waiting for " + FormatID(FReconnectID) + " to restart", kNoCheck,
               "Tovik connects again by itself once that PC is back and signed in and Tovik is running. It keeps "
               "trying until it reconnects. Close Tovik to stop waiting.");
  } else {
    SetSession(KColGrey, "No active session", kNoCheck, "The last session has ended");
  }
  RefreshIDText();
}

void TMainLogic::OnFailed(const std::string& AReason) {
  FIsViewer = false;
  SetConnectCaption("Connect");
  if (!FReconnectID.empty())
    SetSession(KColAmber, "Waiting for " + FormatID(FReconnectID) + " to restart", kNoCheck,
               "Not back yet (" + AReason + "). Trying again shortly.");
  else
    SetSession(KColRed, "Could not connect", kNoCheck, AReason);
}

// ---- user actions ---------------------------------------------------------------------------------

void TMainLogic::ConnectClick(const std::string& ABoxText) {
  if (!FClient) return;
  FReconnectID.clear();
  switch (FClient->State()) {
    case rsConnected:
      if (FIsViewer && FConnectCaption == "Connect") {
        if (auto id = ParseExtraID(ABoxText)) {
          if (*id == FClient->MyID())
            Warn(kOwnID);
          else
            OpenExtraSession(*id);
        } else {
          Warn(kEnterID);
        }
      } else {
        FClient->Disconnect();
      }
      return;
    case rsPunching:
      return;
    default:
      break;
  }
  if (!Online()) {
    Warn(kStillConnecting);
    return;
  }
  const std::string id = DigitsOf(ABoxText);
  if (id.size() != 9) {
    Warn(kEnterID);
    FView.FocusPartnerBox();
    return;
  }
  if (id == FClient->MyID()) {
    Warn(kOwnID);
    return;
  }
  FIsViewer = true;
  SetSession(KColAmber, "Connecting to " + FormatID(id) + "...", kNoCheck, "Setting up the encrypted direct link");
  if (OnConnecting) OnConnecting(id);
  FClient->ConnectTo(id);
}

void TMainLogic::HelpAnother(const std::optional<std::string>& AAnswer) {
  if (!Online()) {
    Warn(kStillConnecting);
    return;
  }
  if (!AAnswer || Trim(*AAnswer).empty()) return;
  auto id = ParseExtraID(*AAnswer);
  if (id && FClient && *id == FClient->MyID()) {
    Warn(kOwnID);
    return;
  }
  if (!id) {
    Warn(kEnterID);
    return;
  }
  OpenExtraSession(*id);
}

void TMainLogic::OpenExtraSession(const std::string& AID) {
  if (!Online()) {
    Warn(kStillConnecting);
    return;
  }
  if ((FClient->State() == rsConnected && FClient->PartnerID() == AID) || (HasExtra && HasExtra(AID))) {
    Warn("You are already helping that PC.");
    return;
  }
  if (OpenExtra) {
    if (OnConnecting) OnConnecting(AID);
    Log("Opening a second session to " + FormatID(AID));
    OpenExtra(AID);
    return;
  }
  Notice("Helping several PCs at once is not available yet. End this session first, then connect to " +
             FormatID(AID) + ".",
         KColAmber);
}

void TMainLogic::CopyID() {
  if (!FClient || !HasID(FClient->MyID())) return;
  FView.SetHostState(FView.CopyText(FClient->MyID()) ? "ID copied to the clipboard."
                                                     : "The clipboard is busy; try again in a moment.");
}

void TMainLogic::KeepIDChanged(bool AOn) {
  if (!FClient) return;
  FKeepID = AOn;
  if (AOn) {
    std::string secret = FStore.ReadText("ID", "Secret");
    if (secret.size() != 64) {
      secret = NewIDSecret();
      FStore.WriteText("ID", "Secret", secret);
    }
    FStore.DeleteKey("ID", "Pinned");
    Log("Asking the server to keep ID " + FormatID(FClient->MyID()));
    FClient->PinID("", secret);
  } else {
    FStore.EraseSection("ID");
    Log("Back to one-time IDs");
    FClient->UnpinID();
  }
  RefreshIDText();
}

void TMainLogic::UnattendedChanged(bool AOn) {
  if (AOn) {
    std::optional<std::string> password = FView.AskNewPassword();
    if (!password || !PasswordLongEnough(*password)) {
      if (password) WipeText(*password);
      FView.SetUnattendedSwitch(false);
      Log("Unattended access stays off: no password was set");
      return;
    }
    FVerifier = MakePasswordVerifier(*password);
    WipeText(*password);
    const TFileResult r = FStore.WriteText("Session", "UnattendedPassword", FormatPasswordVerifier(*FVerifier));
    // Unsaved, the password still holds for this run; the switch is off again at the next start.
    if (!r) Log(SaveFailureLine(TSaveFailure::sfUnattendedPassword, "", "", r.Error));
  } else {
    FVerifier.reset();
    FStore.DeleteKey("Session", "UnattendedPassword");
  }
  ApplyUnattended(AOn);
}

void TMainLogic::ApplyUnattended(bool AOn) {
  if (FClient) FClient->SetUnattended(AOn);
  const TFileResult r = FStore.WriteSwitch("Session", "Unattended", AOn);
  if (!r) Log(SaveFailureLine(TSaveFailure::sfUnattended, "", "", r.Error));
  Log(AOn ? "Unattended access turned on" : "Unattended access turned off");
}

// ---- the tick -------------------------------------------------------------------------------------

void TMainLogic::Tick() {
  if (TcpPortsChanged) {
    TcpPortsChanged = false;
    FStore.WriteText("Relay", "TcpPort", TcpPortsText);
  }
  if (FHintNotice && TickMs() >= FHintUntil) NormalHint();
  if (FClosing) return;
  ReconnectTick();
  RefreshIDText();
}

void TMainLogic::ReconnectTick() {
  if (FReconnectID.empty() || !FClient || !Online() || FClient->State() != rsRegistered) return;
  if (FSessions && FSessions->Exists()) return;
  const TTick now = TickMs();
  if (now < FReconnectNext) return;
  FReconnectNext = now + KReconnectNextMs;
  FIsViewer = true;
  FClient->ConnectTo(FReconnectID);
}

}  // namespace tovik
