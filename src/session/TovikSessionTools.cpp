#include "session/TovikSessionTools.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>

#include "session/TovikSessionWire.h"

namespace tovik {

namespace {
std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string::size_type from = 0;
  for (;;) {
    auto at = s.find(sep, from);
    out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return out;
    from = at + 1;
  }
}
std::int32_t GetI32LE(const std::uint8_t* p) { return static_cast<std::int32_t>(GetU32LE(p)); }
void PutI32LE(TBytes& b, std::int32_t v) { PutU32LE(b, static_cast<std::uint32_t>(v)); }
void PutU16(TBytes& b, int v) {
  b.push_back(static_cast<std::uint8_t>(v & 0xFF));
  b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

// Width, height and the zlib rows of a picture, after APrefix.
TBytes PackPicture(TBytes APrefix, const TPicture24& APicture) {
  PutU16(APrefix, APicture.Width);
  PutU16(APrefix, APicture.Height);
  uLongf n = compressBound(static_cast<uLong>(APicture.Pixels.size()));
  const std::size_t at = APrefix.size();
  APrefix.resize(at + n);
  if (compress2(APrefix.data() + at, &n, APicture.Pixels.data(), static_cast<uLong>(APicture.Pixels.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK)
    return {};
  APrefix.resize(at + n);
  return APrefix;
}

// Width, height and zlib rows at AData: each side 1..AMaxSide, exactly width x height x 3 bytes.
std::optional<TPicture24> UnpackPicture(TByteView AData, int AMaxSide) {
  if (AData.size() < 5) return std::nullopt;
  const int w = GetU16LE(AData.data()), h = GetU16LE(AData.data() + 2);
  if (w < 1 || w > AMaxSide || h < 1 || h > AMaxSide) return std::nullopt;
  TPicture24 pic{w, h, TBytes(static_cast<std::size_t>(w) * h * 3)};
  uLongf n = static_cast<uLongf>(pic.Pixels.size());
  if (uncompress(pic.Pixels.data(), &n, AData.data() + 4, static_cast<uLong>(AData.size() - 4)) != Z_OK ||
      n != pic.Pixels.size())
    return std::nullopt;
  return pic;
}

// Text from the other PC for a caption: one line, at most kMaxNameChars characters.
std::string OneLine(const std::string& AText) {
  std::string s;
  for (char c : Utf8Sanitize(AText))
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) s += c;
  return Utf8Left(s, kMaxNameChars);
}
}  // namespace

// ---- screens, thumbnails, pictures ----------------------------------------------------------------

bool ScreenRectOk(const TRect& ARect) {
  auto within = [](int v, int lo, int hi) { return v >= lo && v <= hi; };
  return within(ARect.Width, 1, kMaxScreenSide) && within(ARect.Height, 1, kMaxScreenSide) &&
         within(ARect.Left, -kMaxScreenOffset, kMaxScreenOffset) && within(ARect.Top, -kMaxScreenOffset, kMaxScreenOffset);
}

TBytes MakeScreens(const std::vector<TScreenRect>& AScreens) {
  const std::size_t n = std::min(AScreens.size(), kMaxScreens);
  TBytes b{static_cast<std::uint8_t>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    const TRect& r = AScreens[i].Rect;
    PutI32LE(b, r.Left);
    PutI32LE(b, r.Top);
    PutI32LE(b, r.Width);
    PutI32LE(b, r.Height);
    b.push_back(AScreens[i].Primary ? 1 : 0);
  }
  return b;
}

std::optional<std::vector<TScreenRect>> ParseScreens(TByteView AData) {
  if (AData.empty()) return std::nullopt;
  const std::size_t n = AData[0];
  if (n < 1 || n > kMaxScreens || AData.size() < n * 17 + 1) return std::nullopt;
  std::vector<TScreenRect> out;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* p = AData.data() + 1 + i * 17;
    const TRect r{GetI32LE(p), GetI32LE(p + 4), GetI32LE(p + 8), GetI32LE(p + 12)};
    if (!ScreenRectOk(r)) return std::nullopt;
    out.push_back({r, p[16] == 1});
  }
  return out;
}

int PrimaryIndex(const std::vector<TScreenRect>& AScreens) {
  int primary = 0;
  for (std::size_t i = 0; i < AScreens.size(); ++i)
    if (AScreens[i].Primary) primary = static_cast<int>(i);
  return primary;
}

std::pair<int, int> ThumbSize(const TRect& AScreen) {
  const double h = std::round(static_cast<double>(kThumbWidth) * AScreen.Height / std::max(1, AScreen.Width));
  return {kThumbWidth, static_cast<int>(std::clamp(h, 8.0, static_cast<double>(kMaxThumbSide)))};
}

TBytes MakeThumb(int AIndex, const TPicture24& APicture) {
  return PackPicture(TBytes{static_cast<std::uint8_t>(AIndex)}, APicture);
}

std::optional<std::pair<int, TPicture24>> ParseThumb(TByteView AData, std::size_t AScreens) {
  if (AData.size() <= 5 || AData[0] >= AScreens) return std::nullopt;
  auto pic = UnpackPicture(AData.subspan(1), kMaxThumbSide);
  if (!pic) return std::nullopt;
  return std::make_pair(static_cast<int>(AData[0]), std::move(*pic));
}

TBytes MakePicture(const TPicture24& APicture) { return PackPicture({}, APicture); }
std::optional<TPicture24> ParsePicture(TByteView AData) { return UnpackPicture(AData, 256); }

std::optional<TBytes> TMessageJoiner::Add(const TChannelMsg& AMsg) {
  TBytes& part = FPartial[AMsg.Kind];
  if (FOverflow.count(AMsg.Kind) == 0) {
    if (part.size() + AMsg.Data.size() <= kMaxJoinedMessage) {
      Append(part, AMsg.Data);
    } else {
      FOverflow.insert(AMsg.Kind);
      TBytes().swap(part);
    }
  }
  if (AMsg.More) return std::nullopt;
  TBytes whole = std::move(part);
  FPartial.erase(AMsg.Kind);
  if (FOverflow.erase(AMsg.Kind) != 0) return std::nullopt;
  return whole;
}

// ---- the tools ------------------------------------------------------------------------------------

TSessionTools::TSessionTools(const TToolsContext& AContext, TToolsServices AServices)
    : FListScreens(AContext.ListScreens),
      FIdentity(AContext.Identity),
      FCtx(AContext),
      FServices(std::move(AServices)),
      FPartnerName(AContext.PartnerName),
      FSender(Channel(), FServices.Files.get(), View()),
      FReceiver(Channel(), FServices.Files.get(), View()) {
  if (FServices.WallNow) FStart = FServices.WallNow();
  // A viewer sends no file before the host has let it in: the host keeps only a small buffer of
  // messages while its person decides.
  FSender.SetHold(FCtx.IsViewer);
}

TSessionTools::~TSessionTools() {
  *FAlive = false;
  if (FServices.History && FServices.WallNow) {
    TSessionHistoryRow row;
    row.Start = FStart;
    row.End = FServices.WallNow();
    row.IsViewer = FCtx.IsViewer;
    row.PartnerID = FCtx.PartnerID;
    row.Partner = FPartnerName;
    row.RemotePC = FCtx.IsViewer ? FRemoteInfo : "";
    row.FilesSent = FSender.FilesSent();
    row.FilesReceived = FReceiver.FilesReceived();
    row.Chats = FChats;
    FServices.History->Append(row);
  }
  if (FClipListening) FServices.Clipboard->Listen({});
}

TTransferView TSessionTools::View() {
  TTransferView v;
  v.Line = [this](const std::string& t, bool show) { AddLine(t, show); };
  v.Progress = [this](const std::string& t) {
    if (FWindow) FWindow->SetProgress(t);
  };
  if (FCtx.IsViewer)
    v.SendProgress = [this](const std::string& n, std::int64_t d, std::int64_t t, int l) {
      if (OnSendProgress) OnSendProgress(n, d, t, l);
    };
  return v;
}

void TSessionTools::Log(const std::string& AText) {
  if (FCtx.Log) FCtx.Log(AText);
}

bool TSessionTools::EnsureWindow() {
  if (FWindow) return true;
  if (!FServices.MakeWindow) return false;
  const std::string id = FormatID(OneLine(FCtx.PartnerID));
  const std::string name = OneLine(FPartnerName);
  FWindow = FServices.MakeWindow(*this, "Tovik - chat and files with " + (name.empty() ? id : name + " (" + id + ")"));
  return FWindow != nullptr;
}

void TSessionTools::AddLine(const std::string& AText, bool AShow) {
  if (EnsureWindow())
    FWindow->AddLine(AText, AShow);
  else
    Log("tools: " + EscapeForLog(AText));
}

void TSessionTools::ShowTools() {
  if (EnsureWindow())
    FWindow->ShowWindow();
  else
    Log("tools: no tools window");
}

void TSessionTools::ProfileComplete() {
  FProfileDone = true;
  if (OnProfile) OnProfile();
}

// ---- messages -------------------------------------------------------------------------------------

void TSessionTools::HandleMessage(const TChannelMsg& AMsg) {
  // Kinds that are never pieced are handled per message; the rest are joined first.
  switch (AMsg.Kind) {
    case mkFileOffer:
    case mkFileData:
    case mkFileDone:
      FReceiver.HandleMessage(AMsg.Kind, AMsg.Data, Now());
      return;
    case mkFileCancel:
      if (AMsg.Data.size() >= 5 && AMsg.Data[4] == kCancelRefused)
        FSender.Refused(GetU32LE(AMsg.Data.data()));
      else
        FReceiver.HandleMessage(AMsg.Kind, AMsg.Data, Now());
      return;
    case mkScreens: {
      if (!FCtx.IsViewer) return;
      // The rectangles come from the other PC: checked before anything adds Left and Width.
      auto screens = ParseScreens(AMsg.Data);
      if (!screens) {
        Log("tools: screen list refused (malformed)");
        return;
      }
      FMonitors = std::move(*screens);
      FPrimary = PrimaryIndex(FMonitors);
      if (FThumbs.size() > FMonitors.size()) FThumbs.resize(FMonitors.size());
      if (OnMonitors) OnMonitors();
      return;
    }
    case mkPickScreen: {
      if (FCtx.IsViewer || AMsg.Data.empty()) return;
      const auto own = FListScreens ? FListScreens() : std::vector<TScreenRect>{};
      if (AMsg.Data[0] < own.size() && OnPickMonitor) OnPickMonitor(own[AMsg.Data[0]].Rect);
      return;
    }
    case mkRestart:
      if (!FCtx.IsViewer) Restart();
      return;
    case mkElevate:
      if (!FCtx.IsViewer) Elevate();
      return;
    case mkElevateResult:
      if (!FCtx.IsViewer || AMsg.Data.empty()) return;
      FElevateAsked = false;
      AddLine(AMsg.Data[0] == 1 ? "Admin support is already available on the other PC."
                                : "Admin rights were not given on the other PC (the Windows prompt was declined).",
              true);
      return;
    case mkThumbsSwitch:
      if (FCtx.IsViewer || AMsg.Data.empty()) return;
      FThumbsOn = AMsg.Data[0] != 0;
      FThumbsDue = true;
      return;
    default:
      break;
  }
  auto whole = FJoin.Add(AMsg);
  if (!whole) {
    if (!AMsg.More) Log("tools: message of kind " + std::to_string(AMsg.Kind) + " dropped (longer than 1 MiB)");
    return;
  }
  HandleJoined(AMsg.Kind, *whole);
}

void TSessionTools::HandleJoined(std::uint8_t AKind, const TBytes& AWhole) {
  switch (AKind) {
    case mkChat: {
      const std::string text = Utf8Sanitize(StringOf(AWhole));
      ++FChats;
      if (FCtx.IsViewer)
        AddLine("Other PC: " + text, true);
      else
        AddLine((FPartnerName.empty() ? std::string("Helper") : OneLine(FPartnerName)) + ": " + text, true);
      return;
    }
    case mkClipboard: {
      if (!Sharing() || !FServices.Clipboard) return;
      FLastClip = Utf8Sanitize(StringOf(AWhole));
      FServices.Clipboard->SetText(FLastClip);
      return;
    }
    case mkHello: {
      if (!FCtx.IsViewer) return;
      FRemoteInfo = Utf8Left(Utf8Sanitize(StringOf(AWhole)), 500);
      const auto parts = Split(FRemoteInfo, '|');
      if (parts.size() >= 3)
        AddLine("Connected to " + parts[0] + " (user " + parts[1] + "), " + parts[2], false);
      return;
    }
    case mkThumb: {
      if (!FCtx.IsViewer) return;
      auto thumb = ParseThumb(AWhole, FMonitors.size());
      if (!thumb) return;
      if (FThumbs.size() <= static_cast<std::size_t>(thumb->first)) FThumbs.resize(thumb->first + 1);
      FThumbs[thumb->first] = std::move(thumb->second);
      if (OnThumb) OnThumb(thumb->first);
      return;
    }
    case mkProfile: {
      if (FCtx.IsViewer) return;
      auto parts = Split(Utf8Sanitize(StringOf(AWhole)), '|');
      if (!Trim(parts[0]).empty()) FHelperName = FPartnerName = Utf8Left(Trim(parts[0]), kMaxNameChars);
      if (parts.size() >= 2) FHelperCompany = Utf8Left(Trim(parts[1]), kMaxNameChars);
      if (parts.size() < 5 || parts[4] != "1") ProfileComplete();
      return;
    }
    case mkProfilePicture:
      if (FCtx.IsViewer) return;
      FHelperPic = ParsePicture(AWhole);
      ProfileComplete();
      return;
    default:
      return;
  }
}

std::optional<TPicture24> TSessionTools::Thumb(int AIndex) {
  if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= FThumbs.size()) return std::nullopt;
  return FThumbs[AIndex];
}

// ---- clipboard ------------------------------------------------------------------------------------

void TSessionTools::StartClipboard() {
  if (FClipListening || !FServices.Clipboard) return;
  // What the clipboard holds now was copied before the partner was let in: it never leaves this PC.
  if (auto now = FServices.Clipboard->Text()) FLastClip = *now;
  FClipListening = true;
  FServices.Clipboard->Listen([this] { ClipboardChanged(); });
}

void TSessionTools::ClipboardChanged() {
  if (!Sharing()) return;
  auto text = FServices.Clipboard->Text();
  if (!text || text->empty() || *text == FLastClip || text->size() > kMaxSentText) return;
  FLastClip = *text;
  Channel().PostText(mkClipboard, FLastClip);
}

void TSessionTools::AccessGranted() {
  if (FGranted) return;
  FGranted = true;
  FSender.SetHold(false);
  StartClipboard();
}

// ---- chat and files -------------------------------------------------------------------------------

void TSessionTools::OnSendText(const std::string& AText) {
  const std::string text = Trim(AText);
  if (text.empty()) return;
  if (text.size() > kMaxSentText) {
    AddLine("The message is too long to send.", true);
    return;
  }
  Channel().PostText(mkChat, text);
  ++FChats;
  AddLine("You: " + text, false);
}

void TSessionTools::SendFiles(const std::vector<std::string>& AFiles) {
  if (!FServices.Files) {
    Log("tools: " + std::to_string(AFiles.size()) + " file(s) not sent (no file access)");
    return;
  }
  FSender.Queue(AFiles);
}

void TSessionTools::Tick() {
  const TTick now = Now();
  FSender.Pump(now);
  if (!FCtx.IsViewer) ThumbsTick(now);
}

// ---- host: announce, thumbnails, restart, elevation ------------------------------------------------

void TSessionTools::Announce() {
  if (FCtx.IsViewer) return;
  Channel().PostText(mkHello, FIdentity.Computer + "|" + FIdentity.User + "|" + FIdentity.System);
  FMonitors = FListScreens ? FListScreens() : std::vector<TScreenRect>{};
  if (FMonitors.size() > kMaxScreens) FMonitors.resize(kMaxScreens);
  FPrimary = PrimaryIndex(FMonitors);
  if (!FMonitors.empty()) Channel().Post(mkScreens, MakeScreens(FMonitors), false);
  StartClipboard();
}

void TSessionTools::ThumbsTick(TTick ANow) {
  if (!FThumbsOn || FMonitors.size() < 2 || !FServices.GrabThumb) return;
  if (!FThumbsDue && ANow - FLastThumbs < kThumbEveryMs) return;
  if (Channel().Backlog() >= 8) return;
  FThumbsDue = false;
  FLastThumbs = ANow;
  for (std::size_t i = 0; i < FMonitors.size(); ++i) {
    const auto [w, h] = ThumbSize(FMonitors[i].Rect);
    auto pic = FServices.GrabThumb(FMonitors[i].Rect, w, h);
    if (!pic || pic->Width != w || pic->Height != h || pic->Pixels.size() != static_cast<std::size_t>(w) * h * 3)
      return;
    const TBytes msg = MakeThumb(static_cast<int>(i), *pic);
    if (msg.empty()) return;
    Channel().PostBytes(mkThumb, msg);
  }
}

void TSessionTools::Restart() {
  AddLine("Your helper is restarting this PC. Tovik starts again after you sign in.", true);
  auto restart = FServices.Restart;
  auto failed = [this, restart](const std::string& AError) {
    Log("restart failed: " + EscapeForLog(AError));
    if (restart) restart->RemoveRunOnce();
    AddLine("This PC could not restart: " + AError, true);
    Channel().PostText(mkChat, "This PC could not restart: " + AError);
  };
  if (!restart) return failed("restarting is not available here");
  const std::string once = restart->AddRunOnce();
  if (!once.empty()) Log("restart: no start at the next sign-in: " + EscapeForLog(once));
  Log("restart: asking the system to restart");
  restart->Reboot([alive = FAlive, restart, failed](const std::string& AError) {
    if (AError.empty()) return;
    if (*alive)
      failed(AError);
    else
      restart->RemoveRunOnce();
  });
}

void TSessionTools::Elevate() {
  if (FServices.AdminReachable && FServices.AdminReachable()) {
    Log("elevation: the helper's input already reaches administrator prompts on this desktop; answered elevated");
    Channel().Post(mkElevateResult, TBytes{1}, false);
    return;
  }
  AddLine("Admin rights not given.", true);
  Channel().Post(mkElevateResult, TBytes{0}, false);
}

// ---- viewer ---------------------------------------------------------------------------------------

void TSessionTools::PostProfile() {
  if (!FCtx.IsViewer) return;
  auto field = [](std::string s) {
    std::replace(s.begin(), s.end(), '|', '/');
    return s;
  };
  const TToolsProfile& p = FServices.Profile;
  const bool pic = p.Picture && p.Picture->Width >= 1 && p.Picture->Width <= 256 && p.Picture->Height >= 1 &&
                   p.Picture->Height <= 256 &&
                   p.Picture->Pixels.size() == static_cast<std::size_t>(p.Picture->Width) * p.Picture->Height * 3;
  const TBytes picture = pic ? MakePicture(*p.Picture) : TBytes{};
  Channel().PostText(mkProfile, field(p.Name) + "|" + field(p.Company) + "|" + field(p.Email) + "|" + field(p.Phone) +
                                    "|" + (picture.empty() ? "0" : "1"));
  if (!picture.empty()) Channel().PostBytes(mkProfilePicture, picture);
}

void TSessionTools::PickMonitor(int AIndex) {
  if (!FCtx.IsViewer || AIndex < 0 || AIndex > 255) return;
  Channel().Post(mkPickScreen, TBytes{static_cast<std::uint8_t>(AIndex)}, false);
}

void TSessionTools::RequestRestart() {
  FRestartAsked = true;
  Channel().Post(mkRestart, {}, false);
}

void TSessionTools::RequestElevate() {
  FElevateAsked = true;
  Channel().Post(mkElevate, {}, false);
}

}  // namespace tovik
