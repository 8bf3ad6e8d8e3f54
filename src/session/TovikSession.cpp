#include "session/TovikSession.h"

#include <algorithm>
#include <exception>

#include "session/TovikSessionHost.h"
#include "session/TovikSessionTools.h"
#include "session/TovikSessionViewer.h"

namespace tovik {

namespace {
const char* TF(bool b) { return b ? "True" : "False"; }
}  // namespace

// ---- construction and destruction -------------------------------------------------------------

TTovikSession::TTovikSession(TSessionDeps ADeps, bool AIsViewer, bool AUnattended, TTick ANow) : FCtx(ADeps, ANow) {
  if (AIsViewer)
    FViewer = std::make_unique<TViewerSide>(FCtx, ADeps);
  else
    FHost = std::make_unique<THostSide>(FCtx, ADeps, AUnattended, OnHelperInfo, OnAllowed);

  TToolsContext ctx{&FCtx.Channel, AIsViewer, FCtx.Link->PartnerID(), FCtx.Link->PartnerName(), FCtx.LogFn, {}, ADeps.Identity, {}};
  if (FHost) ctx.ListScreens = FHost->ScreenLister();
  ctx.Now = [this] { return FCtx.Now; };
  FCtx.Tools = ADeps.MakeTools ? ADeps.MakeTools(ctx) : std::make_unique<TSessionTools>(ctx);

  if (FHost)
    FHost->WireTools();
  else
    FViewer->Start();
  FCtx.Log(std::string("session created (viewer=") + TF(AIsViewer) + ")");
}

TTovikSession::~TTovikSession() {
  FCtx.Log("destroy begin");
  if (FHost) FHost->BeginDestroy();
  FCtx.Guard->Kill();
  FCtx.Tools.reset();
  if (FHost) FHost->EndWallpaper();
  FCtx.Log("destroy: freeing viewer/capturer");
  if (FViewer) FViewer->FreeWindow();  // FreeSafely
  FHost.reset();
  FViewer.reset();
  FCtx.Log("destroy end");
}

// ---- time ---------------------------------------------------------------------------------------

TTick TTovikSession::NextDeadline() const { return FHost ? FHost->NextDeadline() : FViewer->NextDeadline(); }

void TTovikSession::HandleTimeout(TTick ANow) {
  FCtx.SetNow(ANow);
  if (FHost)
    FHost->HandleTimeout(ANow);
  else
    FViewer->HandleTimeout(ANow);
}

void TTovikSession::CaptureTick() {
  if (FHost) FCtx.RunLogged("CaptureTick", [this] { FHost->CaptureTick(); });
}

void TTovikSession::PumpPackets() {
  if (FHost) FCtx.RunLogged("PumpPackets", [this] { FHost->PumpPackets(); });
}

void TTovikSession::ChannelTick() {
  FCtx.RunLogged("ChannelTick", [this] {
    if (FHost)
      FHost->ChannelTick();
    else
      FViewer->ChannelTick();
  });
}

void TTovikSession::ViewerTick() {
  if (FViewer) FCtx.RunLogged("ViewerTick", [this] { FViewer->ViewerTick(); });
}

void TTovikSession::NackTick() {
  if (FViewer) FCtx.RunLogged("NackTick", [this] { FViewer->NackTick(); });
}

// ---- packets ------------------------------------------------------------------------------------

void TTovikSession::OnPeerData(TByteView APacket) {
  if (APacket.empty()) return;
  try {
    switch (APacket[0]) {
      case pkChannelAck:
        FCtx.Channel.HandleAck(APacket, FCtx.Now);
        return;
      case pkChannelMsg: {
        auto msgs = FCtx.Channel.HandleMsg(APacket);
        for (auto& m : msgs) {
          if (!FCtx.Guard->IsAlive()) return;
          if (FHost)
            FHost->OnMessage(std::move(m));
          else
            FViewer->OnMessage(m);
        }
        return;
      }
      default:
        if (FHost)
          FHost->OnData(APacket);
        else
          FViewer->OnData(APacket);
    }
  } catch (const std::exception& e) {
    FCtx.Log(std::string("packet dropped: ") + e.what());
  } catch (...) {
    FCtx.Log("packet dropped");
  }
}

// ---- tools and state ----------------------------------------------------------------------------

void TTovikSession::ShowTools() { FCtx.Tools->ShowTools(); }
bool TTovikSession::RestartAsked() const { return FCtx.Tools->RestartAsked(); }
std::string TTovikSession::HelperName() const { return FCtx.Tools->HelperName(); }
std::optional<TPicture24> TTovikSession::HelperPicture() const { return FCtx.Tools->HelperPicture(); }

bool TTovikSession::Allowed() const { return FHost && FHost->Allowed(); }
std::uint8_t TTovikSession::Mode() const { return FHost ? FHost->Mode() : 0; }
int TTovikSession::ViewerMode() const { return FViewer ? FViewer->ViewerMode() : -1; }
bool TTovikSession::WallpaperHidden() const { return FHost && FHost->WallpaperHidden(); }
std::size_t TTovikSession::EarlyCount() const { return FHost ? FHost->EarlyCount() : 0; }
std::int64_t TTovikSession::FramesSent() const { return FHost ? FHost->FramesSent() : 0; }
std::size_t TTovikSession::InputQueued() const { return FHost ? FHost->InputQueued() : 0; }

const TRateState& TTovikSession::Rate() const {
  static const TRateState kNoRate{};  // a viewer sends no frames
  return FHost ? FHost->Rate() : kNoRate;
}

}  // namespace tovik
