#include "session/TovikSessionWire.h"

#include "media/TovikCapture.h"

#include <zlib.h>

namespace tovik {

bool HandledBeforeConsent(std::uint8_t AKind) {
  return AKind == mkViewerCaps || AKind == mkSoundSwitch || AKind == mkProfile ||
         AKind == mkProfilePicture || AKind == mkWallpaper || AKind == mkPasswordProof;
}

bool HostReceives(std::uint8_t AKind) {
  switch (AKind) {
    case mkChat: case mkClipboard: case mkFileOffer: case mkFileData: case mkFileDone:
    case mkFileCancel: case mkPickScreen: case mkRestart: case mkViewerCaps: case mkSoundSwitch:
    case mkThumbsSwitch: case mkProfile: case mkProfilePicture: case mkWallpaper: case mkElevate:
    case mkPasswordProof:
      return true;
    default:
      return false;
  }
}

bool ViewerReceives(std::uint8_t AKind) {
  switch (AKind) {
    case mkChat: case mkClipboard: case mkFileOffer: case mkFileData: case mkFileDone:
    case mkFileCancel: case mkScreens: case mkHello: case mkThumb: case mkElevateResult:
    case mkPasswordChallenge: case mkPasswordResult: case mkTransport:
      return true;
    default:
      return false;
  }
}

bool NeedsControl(std::uint8_t AKind) { return AKind == mkRestart || AKind == mkElevate; }

TBytes MakeFullPicture() { return TBytes{pkFullPicture}; }

TBytes MakeHostStatus(std::uint8_t AMode, bool AAdmin, bool ASecure) {
  return TBytes{pkHostStatus, AMode, static_cast<std::uint8_t>(AAdmin ? 1 : 0),
                static_cast<std::uint8_t>(ASecure ? 1 : 0)};
}

std::optional<THostStatus> ParseHostStatus(TByteView APacket) {
  if (APacket.size() < 2 || APacket[0] != pkHostStatus) return std::nullopt;
  THostStatus s;
  s.Mode = APacket[1];
  if (APacket.size() >= 3) {
    s.HasAdmin = true;
    s.Admin = APacket[2] == 1;
  }
  if (APacket.size() >= 4) {
    s.HasSecure = true;
    s.Secure = APacket[3] == 1;
  }
  return s;
}

TBytes MakeSoundPacket(std::uint32_t ASeq, TByteView APayload) {
  TBytes p{pkSound};
  PutU32LE(p, ASeq);
  Append(p, APayload);
  return p;
}

std::optional<TByteView> SoundPayload(TByteView APacket) {
  if (APacket.size() < 6 || APacket[0] != pkSound) return std::nullopt;
  return APacket.subspan(5);
}

std::uint32_t SoundSequence(TByteView APacket) { return GetU32LE(APacket.data() + 1); }

bool PictureSizeOk(std::uint32_t AW, std::uint32_t AH) {
  return AW >= 1 && AH >= 1 && AW <= kMaxPictureSide && AH <= kMaxPictureSide &&
         static_cast<std::uint64_t>(AW) * AH <= kMaxPicturePixels;
}

TBytes MakeTileBlob(TByteView ATileUpdate) {
  TBytes b;
  b.reserve(ATileUpdate.size() + 1);
  b.push_back(0);
  Append(b, ATileUpdate);
  return b;
}

TBytes MakeVideoBlob(std::uint16_t AW, std::uint16_t AH, TByteView AData) {
  TBytes b;
  b.reserve(AData.size() + 5);
  b.push_back(1);
  PutU16LE(b, AW);
  PutU16LE(b, AH);
  Append(b, AData);
  return b;
}

std::optional<TFrameBlob> ParseFrameBlob(TByteView ABlob) {
  if (ABlob.empty()) return std::nullopt;
  TFrameBlob f;
  if (ABlob[0] == 1) {
    if (ABlob.size() <= 5) return std::nullopt;
    f.Kind = TBlobKind::Video;
    f.Width = GetU16LE(ABlob.data() + 1);
    f.Height = GetU16LE(ABlob.data() + 3);
    if (!PictureSizeOk(f.Width, f.Height)) return std::nullopt;
    f.Payload = ABlob.subspan(5);
    return f;
  }
  f.Kind = TBlobKind::Tiles;
  f.Payload = ABlob.subspan(1);
  return f;
}

std::optional<TTileHeader> PeekTileHeader(TByteView ATileUpdate) {
  if (ATileUpdate.empty()) return std::nullopt;
  TCompactHeader c;
  if (ReadCompactHeader(ATileUpdate, c))
    return TTileHeader{static_cast<std::uint16_t>(c.Width), static_cast<std::uint16_t>(c.Height), static_cast<std::uint16_t>(c.Ops)};
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return std::nullopt;
  std::uint8_t head[6];
  zs.next_in = const_cast<Bytef*>(ATileUpdate.data());
  zs.avail_in = static_cast<uInt>(std::min<std::size_t>(ATileUpdate.size(), 0x7fffffff));
  zs.next_out = head;
  zs.avail_out = sizeof head;
  int rc = Z_OK;
  // Inflate only until the 6 header bytes are out; the rest of the stream is not touched.
  while (zs.avail_out > 0 && rc == Z_OK) rc = inflate(&zs, Z_NO_FLUSH);
  bool ok = zs.avail_out == 0;
  inflateEnd(&zs);
  if (!ok) return std::nullopt;
  return TTileHeader{GetU16LE(head), GetU16LE(head + 2), GetU16LE(head + 4)};
}

std::string CheckTileUpdate(TByteView ATileUpdate) {
  auto h = PeekTileHeader(ATileUpdate);
  if (!h) return "Screen update too short";
  if (h->Width < 2 || h->Height < 2 || !PictureSizeOk(h->Width, h->Height)) return "Bad screen size";
  return {};
}

std::string StatusSuffix(std::uint8_t AMode) {
  if (AMode == 0) return " - view only";
  if (AMode == 1) return " - you have control";
  return " - paused by the other person";
}

std::string StatusState(std::uint8_t AMode) { return StatusSuffix(AMode).substr(3); }

std::string StatusCaptionSuffix(const THostStatus& AStatus) {
  std::string s = StatusSuffix(AStatus.Mode);
  if (AStatus.HasAdmin && AStatus.Admin)
    s += " (admin windows available)";
  else if (AStatus.Mode == 1)
    s += " (admin windows not available: ask them to click \"Allow admin tasks\")";
  return s;
}

const char* const kSecureNotice =
    "The other PC is on a Windows security screen (a sign-in or lock screen, or a UAC prompt). "
    "Its screen can't be shown until someone there signs in or answers the prompt.";

}  // namespace tovik
