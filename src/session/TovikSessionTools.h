// TSessionTools: everything in a session that is neither picture nor input: chat, clipboard sharing,
// the host's hello and screen list, screen choice and thumbnails, the helper's profile, restart and
// elevation requests, file transfer (session/TovikFileTransfer.h) and the session's row in the
// history file. It talks to the other PC only through the session's message channel and reaches the
// desktop only through TToolsServices (session/TovikToolsPorts.h).
//
// Ownership: the session owns the tools; the channel outlives them. The tools own their window (freed
// with FreeSafely) and the files being received (deleted when unfinished). GUI thread only.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <set>

#include "session/TovikFileTransfer.h"
#include "session/TovikSessionIntf.h"
#include "session/TovikToolsPorts.h"

namespace tovik {

// The most bytes one joined message may hold: 1 MiB plus one piece. A longer message is dropped whole.
inline constexpr std::size_t kMaxJoinedMessage = 1048576 + 1150;
// The most bytes of text the tools send as one chat line or clipboard text.
inline constexpr std::size_t kMaxSentText = 1048576;

// --- screen lists (mkScreens) ---------------------------------------------------------------------
//
// A count byte, then per screen Left, Top, Width and Height (signed 32-bit little-endian) and a byte
// that is 1 for the primary screen. The host announces 1..kMaxScreens.
inline constexpr std::size_t kMaxScreens = 16;
// How far from the desktop's origin a screen's corner may lie. Desktops have 16-bit coordinates;
// this leaves room and keeps Left + Width and Top + Height far inside the int range.
inline constexpr int kMaxScreenOffset = 65536;
// A rectangle that can be a screen: 1..kMaxScreenSide on each side, its corner within
// ±kMaxScreenOffset.
bool ScreenRectOk(const TRect& ARect);
TBytes MakeScreens(const std::vector<TScreenRect>& AScreens);
// A screen list from the other PC; nothing when it is malformed: no screens, more than kMaxScreens,
// fewer bytes than its count needs, or a rectangle that is no screen. Bytes after the last screen are
// ignored.
std::optional<std::vector<TScreenRect>> ParseScreens(TByteView AData);
// The index of the last screen flagged primary; 0 when none is.
int PrimaryIndex(const std::vector<TScreenRect>& AScreens);

// --- thumbnails (mkThumb) -------------------------------------------------------------------------
//
// Screen index (1 byte), width and height (16-bit little-endian), then the rows (blue, green, red, top
// to bottom) compressed with zlib.
inline constexpr int kThumbWidth = 192;
inline constexpr int kMaxThumbSide = 256;
inline constexpr TTick kThumbEveryMs = 1500;
// The thumbnail size for a screen: kThumbWidth wide, its height in proportion within 8..kMaxThumbSide.
std::pair<int, int> ThumbSize(const TRect& AScreen);
TBytes MakeThumb(int AIndex, const TPicture24& APicture);
// A thumbnail from the other PC: the index below AScreens, each side 1..kMaxThumbSide, and rows that
// unpack to exactly width x height x 3 bytes; none otherwise.
std::optional<std::pair<int, TPicture24>> ParseThumb(TByteView AData, std::size_t AScreens);
// The helper's picture (mkProfilePicture): width, height, zlib rows; the same checks, each side 1..256.
TBytes MakePicture(const TPicture24& APicture);
std::optional<TPicture24> ParsePicture(TByteView AData);

// Joins the pieces of messages per kind; at most one partial message per kind. A message that grows
// past kMaxJoinedMessage is dropped whole: none of it is delivered.
class TMessageJoiner {
 public:
  // The whole message when AMsg is its last piece.
  std::optional<TBytes> Add(const TChannelMsg& AMsg);

 private:
  std::map<std::uint8_t, TBytes> FPartial;
  std::set<std::uint8_t> FOverflow;
};

class TSessionTools : public ISessionTools, private IToolsEvents {
 public:
  explicit TSessionTools(const TToolsContext& AContext, TToolsServices AServices = {});
  // Writes the history row, stops listening to the clipboard, deletes unfinished received files and
  // frees the window.
  ~TSessionTools() override;

  // Host: how to list its own screens (from the context by default).
  std::function<std::vector<TScreenRect>()> FListScreens;
  THostIdentity FIdentity;  // from the context

  void HandleMessage(const TChannelMsg& AMsg) override;
  void Tick() override;
  void Announce() override;
  void PostProfile() override;
  void ShowTools() override;
  void SendFiles(const std::vector<std::string>& AFiles) override;
  void CancelSend() override { FSender.Cancel(); }
  void PickMonitor(int AIndex) override;
  void RequestRestart() override;
  void RequestElevate() override;
  void AccessGranted() override;
  std::optional<TPicture24> Thumb(int AIndex) override;

  std::vector<TScreenRect> Monitors() const override { return FMonitors; }
  int PrimaryMonitor() const { return FPrimary; }
  bool RestartAsked() const override { return FRestartAsked || FElevateAsked; }
  std::string HelperName() const override { return FHelperName; }
  std::string HelperCompany() const override { return FHelperCompany; }
  std::optional<TPicture24> HelperPicture() const override { return FHelperPic; }
  std::string RemoteInfo() const override { return FRemoteInfo; }
  bool ProfileDone() const { return FProfileDone; }
  int Chats() const { return FChats; }
  const TFileSender& Sender() const { return FSender; }
  const TFileReceiver& Receiver() const { return FReceiver; }

 private:
  void OnSendText(const std::string& AText) override;
  void OnSendFiles(const std::vector<std::string>& AFiles) override { SendFiles(AFiles); }

  TMsgChannel& Channel() { return FCtx.Channel ? *FCtx.Channel : FNoChannel; }
  TTick Now() const { return FCtx.Now ? FCtx.Now() : 0; }
  void Log(const std::string& AText);
  // Adds a line to the tools window (made when needed); AShow brings it up.
  void AddLine(const std::string& AText, bool AShow);
  bool EnsureWindow();
  bool Sharing() const { return !FWindow || FWindow->ShareClipboard(); }
  void StartClipboard();
  void ClipboardChanged();
  void HandleJoined(std::uint8_t AKind, const TBytes& AWhole);
  void ProfileComplete();
  void ThumbsTick(TTick ANow);
  void Restart();
  void Elevate();
  TTransferView View();

  TToolsContext FCtx;
  TToolsServices FServices;
  TMsgChannel FNoChannel;  // stands in when the context has no channel
  std::string FPartnerName;
  TToolsWindowPtr FWindow;
  TMessageJoiner FJoin;
  bool FClipListening = false;
  std::string FLastClip;
  std::vector<TScreenRect> FMonitors;
  int FPrimary = 0;
  bool FThumbsOn = false;
  bool FThumbsDue = false;
  TTick FLastThumbs = 0;
  std::vector<std::optional<TPicture24>> FThumbs;
  std::string FRemoteInfo;
  std::string FHelperName, FHelperCompany;
  std::optional<TPicture24> FHelperPic;
  bool FProfileDone = false;
  bool FRestartAsked = false;
  bool FElevateAsked = false;
  bool FGranted = false;
  TWallTime FStart;
  int FChats = 0;
  // Set false when the tools go: a reboot answer that comes later finds it so.
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  TFileSender FSender;
  TFileReceiver FReceiver;
};

}  // namespace tovik
