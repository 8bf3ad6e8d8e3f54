// TBasicSessionTools: the first implementation of ISessionTools. It joins pieced messages, keeps the
// host's hello text and screen list on the viewer, takes the helper's profile on the host (name,
// company, picture) and passes screen choices on; everything else (chat, clipboard, files,
// thumbnails, restart, elevation) is only logged until the real tools exist. GUI thread only.
#pragma once

#include <array>
#include <map>

#include "session/TovikSessionIntf.h"

namespace tovik {

// The most bytes one joined message may hold: 1 MiB plus one piece. Longer messages are cut short.
inline constexpr std::size_t kMaxJoinedMessage = 1048576 + 1150;

// --- screen lists (mkScreens) ---------------------------------------------------------------------
//
// A count byte, then per screen Left, Top, Width and Height (signed 32-bit little-endian) and a byte
// that is 1 for the primary screen. The host announces at most kMaxScreens.
inline constexpr std::size_t kMaxScreens = 16;
// How far from the desktop's origin a screen's corner may lie. Desktops have 16-bit coordinates;
// this leaves room and keeps Left + Width and Top + Height far inside the int range.
inline constexpr int kMaxScreenOffset = 65536;
// A rectangle that can be a screen: 1..kMaxScreenSide on each side, its corner within
// ±kMaxScreenOffset.
bool ScreenRectOk(const TRect& ARect);
TBytes MakeScreens(const std::vector<TScreenRect>& AScreens);
// A screen list from the other PC; nothing when it is malformed: more than kMaxScreens, fewer bytes
// than its count needs, or a rectangle that is no screen. Bytes after the last screen are ignored.
std::optional<std::vector<TScreenRect>> ParseScreens(TByteView AData);

// Joins the pieces of messages per kind; at most one partial message per kind.
class TMessageJoiner {
 public:
  // The whole message when AMsg is its last piece.
  std::optional<TBytes> Add(const TChannelMsg& AMsg);

 private:
  std::map<std::uint8_t, TBytes> FPartial;
};

class TBasicSessionTools : public ISessionTools {
 public:
  explicit TBasicSessionTools(const TToolsContext& AContext);

  // Host: how to list its own screens (from the context by default).
  std::function<std::vector<TScreenRect>()> FListScreens;
  THostIdentity FIdentity;  // from the context
  // Viewer: the profile sent to the host ("name|company|e-mail|phone").
  std::string FProfileName, FProfileCompany;

  void HandleMessage(const TChannelMsg& AMsg) override;
  void Tick() override {}
  void Announce() override;
  void PostProfile() override;
  void ShowTools() override;
  void SendFiles(const std::vector<std::string>& AFiles) override;
  void CancelSend() override {}
  void PickMonitor(int AIndex) override;
  void RequestRestart() override;
  void RequestElevate() override;
  std::optional<TPicture24> Thumb(int) override { return std::nullopt; }

  std::vector<TScreenRect> Monitors() const override { return FMonitors; }
  bool RestartAsked() const override { return FRestartAsked; }
  std::string HelperName() const override { return FHelperName; }
  std::string HelperCompany() const override { return FHelperCompany; }
  std::optional<TPicture24> HelperPicture() const override { return FHelperPic; }
  std::string RemoteInfo() const override { return FRemoteInfo; }
  bool ProfileDone() const { return FProfileDone; }

 private:
  void Log(const std::string& AText);
  void ProfileComplete();

  TToolsContext FCtx;
  TMessageJoiner FJoin;
  std::vector<TScreenRect> FMonitors;
  std::string FRemoteInfo;
  std::string FHelperName, FHelperCompany;
  std::optional<TPicture24> FHelperPic;
  bool FProfileDone = false;
  bool FRestartAsked = false;
};

}  // namespace tovik
