#include "session/TovikSessionTools.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>

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
}  // namespace

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
  if (n > kMaxScreens || AData.size() < n * 17 + 1) return std::nullopt;
  std::vector<TScreenRect> out;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* p = AData.data() + 1 + i * 17;
    const TRect r{GetI32LE(p), GetI32LE(p + 4), GetI32LE(p + 8), GetI32LE(p + 12)};
    if (!ScreenRectOk(r)) return std::nullopt;
    out.push_back({r, p[16] == 1});
  }
  return out;
}

std::optional<TBytes> TMessageJoiner::Add(const TChannelMsg& AMsg) {
  TBytes& part = FPartial[AMsg.Kind];
  if (part.size() + AMsg.Data.size() <= kMaxJoinedMessage) Append(part, AMsg.Data);
  if (AMsg.More) return std::nullopt;
  TBytes whole = std::move(part);
  FPartial.erase(AMsg.Kind);
  return whole;
}

TBasicSessionTools::TBasicSessionTools(const TToolsContext& AContext)
    : FListScreens(AContext.ListScreens), FIdentity(AContext.Identity), FCtx(AContext) {}

void TBasicSessionTools::Log(const std::string& AText) {
  if (FCtx.Log) FCtx.Log(AText);
}

void TBasicSessionTools::ProfileComplete() {
  FProfileDone = true;
  if (OnProfile) OnProfile();
}

void TBasicSessionTools::HandleMessage(const TChannelMsg& AMsg) {
  // Kinds that are never pieced are handled per message; the rest are joined first.
  switch (AMsg.Kind) {
    case mkScreens: {
      if (!FCtx.IsViewer) return;
      // The rectangles come from the other PC: checked before anything adds Left and Width.
      auto screens = ParseScreens(AMsg.Data);
      if (!screens) {
        Log("tools: screen list refused (malformed)");
        return;
      }
      FMonitors = std::move(*screens);
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
      Log("tools: restart asked; not available yet");
      return;
    case mkElevate:
      Log("tools: elevation asked; not available yet");
      return;
    case mkThumbsSwitch:
    case mkElevateResult:
    case mkFileOffer:
    case mkFileData:
    case mkFileDone:
    case mkFileCancel:
      Log("tools: message kind " + std::to_string(AMsg.Kind) + " not handled yet");
      return;
    default:
      break;
  }
  auto whole = FJoin.Add(AMsg);
  if (!whole) return;
  switch (AMsg.Kind) {
    case mkHello:
      if (FCtx.IsViewer) FRemoteInfo = StringOf(*whole);
      return;
    case mkProfile: {
      if (FCtx.IsViewer) return;
      auto parts = Split(StringOf(*whole), '|');
      if (!Trim(parts[0]).empty()) FHelperName = Utf8Left(Trim(parts[0]), kMaxNameChars);
      if (parts.size() >= 2) FHelperCompany = Utf8Left(Trim(parts[1]), kMaxNameChars);
      if (parts.size() < 5 || parts[4] != "1") ProfileComplete();
      return;
    }
    case mkProfilePicture: {
      if (FCtx.IsViewer) return;
      FHelperPic.reset();
      if (whole->size() >= 5) {
        const int w = GetU16LE(whole->data()), h = GetU16LE(whole->data() + 2);
        if (w >= 1 && w <= 256 && h >= 1 && h <= 256) {
          TPicture24 pic{w, h, TBytes(static_cast<std::size_t>(w) * h * 3)};
          uLongf n = pic.Pixels.size();
          if (uncompress(pic.Pixels.data(), &n, whole->data() + 4, whole->size() - 4) == Z_OK &&
              n == pic.Pixels.size())
            FHelperPic = std::move(pic);
        }
      }
      ProfileComplete();
      return;
    }
    case mkChat:
      Log("tools: chat message of " + std::to_string(whole->size()) + " bytes (no chat window yet)");
      return;
    case mkClipboard:
      Log("tools: clipboard text of " + std::to_string(whole->size()) + " bytes (not applied yet)");
      return;
    default:
      return;
  }
}

void TBasicSessionTools::Announce() {
  if (FCtx.IsViewer || !FCtx.Channel) return;
  FCtx.Channel->PostText(mkHello, FIdentity.Computer + "|" + FIdentity.User + "|" + FIdentity.System);
  FMonitors = FListScreens ? FListScreens() : std::vector<TScreenRect>{};
  if (FMonitors.size() > kMaxScreens) FMonitors.resize(kMaxScreens);
  FCtx.Channel->Post(mkScreens, MakeScreens(FMonitors), false);
}

void TBasicSessionTools::PostProfile() {
  if (!FCtx.IsViewer || !FCtx.Channel) return;
  FCtx.Channel->PostText(mkProfile, FProfileName + "|" + FProfileCompany + "|||0");
}

void TBasicSessionTools::ShowTools() { Log("tools: no tools window yet"); }

void TBasicSessionTools::SendFiles(const std::vector<std::string>& AFiles) {
  Log("tools: " + std::to_string(AFiles.size()) + " file(s) not sent (file transfer not available yet)");
}

void TBasicSessionTools::PickMonitor(int AIndex) {
  if (!FCtx.IsViewer || !FCtx.Channel || AIndex < 0 || AIndex > 255) return;
  FCtx.Channel->Post(mkPickScreen, TBytes{static_cast<std::uint8_t>(AIndex)}, false);
}

void TBasicSessionTools::RequestRestart() {
  FRestartAsked = true;
  if (FCtx.Channel) FCtx.Channel->Post(mkRestart, {}, false);
}

void TBasicSessionTools::RequestElevate() {
  FRestartAsked = true;
  if (FCtx.Channel) FCtx.Channel->Post(mkElevate, {}, false);
}

}  // namespace tovik
