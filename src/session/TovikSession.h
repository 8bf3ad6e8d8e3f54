// TTovikSession: one support session between two PCs over an established peer link, in the host role
// (the helped PC: consent, capture, input injection; THostSide) or the viewer role (the helper's PC:
// pictures, input, the viewer window; TViewerSide). The session is the facade over exactly one side;
// both roles share the context of TovikSessionContext.h: the peer link, one reliable message channel,
// the session tools, the session log and deferred work.
//
// Ownership: the session owns its context and its side, and through them the per-role objects (frame
// sender or receivers, input receiver or sender, channel, tools, viewer window, screen, injector,
// wallpaper keeper). The link (ISessionLink) is not owned and must outlive the session.
//
// Time is a parameter: the session reads no clock. It is given the time when it is made and with every
// HandleTimeout (ITimedObject); events that arrive in between (OnPeerData, window events) take the
// last time it was given. Its named ticks run from inside HandleTimeout at these periods:
//   host:   CaptureTick every 8 ms, PumpPackets every 10 ms (both do nothing before consent);
//   both:   ChannelTick every 10 ms (on a host it also starts consent 2000 ms after creation);
//   viewer: ViewerTick every 100 ms, NackTick every 10 ms.
// A named tick may also be called directly; it then runs at the last time given. No tick and no
// event raises: what goes wrong inside is logged to the session log.
//
// Threads: everything runs on the GUI thread. The owner feeds the link's binary packets into
// OnPeerData and drives HandleTimeout at NextDeadline. Deferred work (consent start, disconnect) goes
// through the injected TPostToGui function and holds the session's alive token, never the session;
// after the destructor has run it does nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/TovikClock.h"
#include "base/TovikTimed.h"
#include "session/TovikSessionContext.h"
#include "session/TovikSessionEarly.h"
#include "session/TovikSessionGuard.h"
#include "session/TovikSessionIntf.h"
#include "session/TovikSessionRate.h"
#include "session/TovikSessionWire.h"
#include "session/TovikWallpaper.h"

namespace tovik {

class THostSide;
class TViewerSide;

class TTovikSession final : public ITimedObject {
 public:
  // ANow: the current tick; the first ticks fall due one period later.
  TTovikSession(TSessionDeps ADeps, bool AIsViewer, bool AUnattended, TTick ANow);
  ~TTovikSession() override;
  TTovikSession(const TTovikSession&) = delete;
  TTovikSession& operator=(const TTovikSession&) = delete;

  // ITimedObject.
  TTick NextDeadline() const override;
  void HandleTimeout(TTick ANow) override;

  // Every binary peer packet the link delivers.
  void OnPeerData(TByteView APacket);

  // The named ticks (see the header comment); a tick of the other role does nothing.
  void CaptureTick();
  void PumpPackets();
  void ChannelTick();
  void ViewerTick();
  void NackTick();

  void ShowTools();
  bool RestartAsked() const;
  std::string HelperName() const;
  std::optional<TPicture24> HelperPicture() const;

  std::function<void()> OnHelperInfo;  // host: the helper's profile is complete
  std::function<void()> OnAllowed;     // host: consent was given

  // State, for the owner's status display and for tests.
  bool IsViewer() const { return FViewer != nullptr; }
  bool Allowed() const;
  std::uint8_t Mode() const;
  int ViewerMode() const;
  bool WallpaperHidden() const;
  const TRateState& Rate() const;
  std::size_t EarlyCount() const;
  std::int64_t FramesSent() const;
  std::size_t InputQueued() const;  // host: input events waiting for their turn
  ISessionTools& Tools() { return *FCtx.Tools; }
  TSessionGuardRef Guard() const { return FCtx.Guard; }

  // A few messages the session posts itself; exposed for owners that drive the same channel.
  TMsgChannel& Channel() { return FCtx.Channel; }

 private:
  TSessionContext FCtx;
  std::unique_ptr<THostSide> FHost;      // exactly one of the two
  std::unique_ptr<TViewerSide> FViewer;
};

}  // namespace tovik
