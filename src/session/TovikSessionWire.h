// The session's own wire formats: the peer packet kinds it dispatches on, the in-session message
// kinds carried by the message channel, the session packets (full-picture request, host status,
// sound) and the frame blob handed to and from the frame transport.
//
// Everything here is pure: builders return bytes, parsers take untrusted bytes and either return a
// checked view or nothing. Thread: any.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/TovikBytes.h"

namespace tovik {

// First bytes of the session's own peer packets (the transport's kinds live in net/TovikFrames.h).
inline constexpr std::uint8_t pkFullPicture = 0x86;  // viewer to host: next picture must be complete
inline constexpr std::uint8_t pkHostStatus = 0x87;   // host to viewer: mode, admin, secure
inline constexpr std::uint8_t pkSound = 0x8A;        // host to viewer: sequence, sound payload

// In-session message kinds on the message channel.
enum TMsgKind : std::uint8_t {
  mkChat = 1,
  mkClipboard = 2,
  mkFileOffer = 3,
  mkFileData = 4,
  mkFileDone = 5,
  mkFileCancel = 6,
  mkScreens = 7,
  mkPickScreen = 8,
  mkRestart = 9,
  mkHello = 10,
  mkViewerCaps = 11,
  mkSoundSwitch = 12,
  mkThumbsSwitch = 13,
  mkThumb = 14,
  mkProfile = 15,
  mkProfilePicture = 16,
  mkWallpaper = 17,
  mkElevate = 18,
  mkElevateResult = 19,
  // Unattended access with a password: the host's challenge, the helper's proof (empty when its user
  // gave none) and the host's verdict (see session/TovikUnattended.h).
  mkPasswordChallenge = 20,
  mkPasswordProof = 21,
  mkPasswordResult = 22,
  // Host to viewer, empty, sent only to a viewer that announced kCapsPaced: the host has the paced
  // transport too, so the viewer may send frame feedback and selective acknowledgements.
  mkTransport = 23,
};

// Bits of the mkViewerCaps flags byte.
inline constexpr std::uint8_t kCapsH264 = 1;
inline constexpr std::uint8_t kCapsWindowed = 2;
inline constexpr std::uint8_t kCapsPassword = 4;  // the helper's program can answer a password challenge
inline constexpr std::uint8_t kCapsCompact = 8;   // the helper reads compact tile updates
// The helper's program has the paced transport: it sends frame feedback (0x8C) once told the host has
// it too (mkTransport), and both message channels then acknowledge selectively. A peer without this
// bit gets the fixed-rate frame sender and the plain message channel.
inline constexpr std::uint8_t kCapsPaced = 16;

// A host handles these kinds before consent is given; every other delivered kind waits in the
// early buffer until consent.
bool HandledBeforeConsent(std::uint8_t AKind);
// Kinds a host may receive at all (the viewer-to-host and both-way kinds).
bool HostReceives(std::uint8_t AKind);
// Kinds a viewer may receive at all.
bool ViewerReceives(std::uint8_t AKind);
// Kinds that only a granted control mode lets through to the tools on a host.
bool NeedsControl(std::uint8_t AKind);

// --- session packets -------------------------------------------------------------------------

TBytes MakeFullPicture();

struct THostStatus {
  std::uint8_t Mode = 0;     // 0 view only, 1 control, anything else: paused
  bool HasAdmin = false;     // the packet carried an admin byte
  bool Admin = false;
  bool HasSecure = false;    // the packet carried a secure byte
  bool Secure = false;
};
TBytes MakeHostStatus(std::uint8_t AMode, bool AAdmin, bool ASecure);
// Needs at least the kind and mode bytes; admin and secure only when present.
std::optional<THostStatus> ParseHostStatus(TByteView APacket);

TBytes MakeSoundPacket(std::uint32_t ASeq, TByteView APayload);
// The sound payload after the 5-byte header; nothing for packets shorter than 6 bytes.
std::optional<TByteView> SoundPayload(TByteView APacket);
// The sequence number of a sound packet that SoundPayload accepts.
std::uint32_t SoundSequence(TByteView APacket);
// True when sound packet ASeq came after ALast (32-bit serial arithmetic: the numbers wrap).
constexpr bool SoundSeqNewer(std::uint32_t ASeq, std::uint32_t ALast) {
  return static_cast<std::int32_t>(ASeq - ALast) > 0;
}

// --- frame blob ------------------------------------------------------------------------------

enum class TBlobKind { Tiles, Video };

// Pictures larger than this are refused before anything is allocated for them.
inline constexpr std::uint32_t kMaxPictureSide = 16384;
inline constexpr std::uint64_t kMaxPicturePixels = 7680ull * 4320ull;  // 8K UHD
bool PictureSizeOk(std::uint32_t AW, std::uint32_t AH);

struct TFrameBlob {
  TBlobKind Kind = TBlobKind::Tiles;
  std::uint16_t Width = 0, Height = 0;  // video only
  TByteView Payload;                    // tile update (zlib) or H.264 data; views into the blob
};

TBytes MakeTileBlob(TByteView ATileUpdate);
TBytes MakeVideoBlob(std::uint16_t AW, std::uint16_t AH, TByteView AData);
// Empty blobs give nothing. A first byte of 1 is video and needs more than the 5-byte header and
// a picture size within the limits; any other first byte is a tile update.
std::optional<TFrameBlob> ParseFrameBlob(TByteView ABlob);

// Reads the picture size from the header of a zlib-compressed tile update by inflating only its
// first 6 bytes. Nothing when the stream is not zlib or is shorter than the header.
struct TTileHeader {
  std::uint16_t Width = 0, Height = 0, Tiles = 0;
};
std::optional<TTileHeader> PeekTileHeader(TByteView ATileUpdate);

// Checks a tile update before the viewer's decoder touches it. Empty string = fine; otherwise the
// reason ("Bad screen size" style) why the picture is refused.
std::string CheckTileUpdate(TByteView ATileUpdate);

// --- status texts (viewer) -------------------------------------------------------------------

// Caption suffix (" - view only", ...) for a mode byte; the session-line state is it without " - ".
std::string StatusSuffix(std::uint8_t AMode);
std::string StatusState(std::uint8_t AMode);
// Suffix plus the admin addition.
std::string StatusCaptionSuffix(const THostStatus& AStatus);
extern const char* const kSecureNotice;

}  // namespace tovik
