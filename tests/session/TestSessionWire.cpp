#include <gtest/gtest.h>
#include <zlib.h>

#include "session/TovikSessionWire.h"

using namespace tovik;

namespace {
TBytes Zip(const TBytes& raw) {
  uLongf n = compressBound(raw.size());
  TBytes out(n);
  EXPECT_EQ(compress2(out.data(), &n, raw.data(), raw.size(), 1), Z_OK);
  out.resize(n);
  return out;
}
TBytes TileHeader(std::uint16_t w, std::uint16_t h, std::uint16_t n) {
  TBytes b;
  PutU16LE(b, w);
  PutU16LE(b, h);
  PutU16LE(b, n);
  return b;
}
}  // namespace

TEST(SessionWire, HostStatusLayoutsAndShortPackets) {
  EXPECT_EQ(MakeHostStatus(1, true, false), (TBytes{0x87, 1, 1, 0}));
  struct Case {
    TBytes Packet;
    bool Ok;
    std::uint8_t Mode;
    bool Admin, Secure;
  } cases[] = {
      {{0x87}, false, 0, false, false},
      {{0x86, 1}, false, 0, false, false},
      {{0x87, 1}, true, 1, false, false},
      {{0x87, 0, 1}, true, 0, true, false},
      {{0x87, 7, 0, 1}, true, 7, false, true},
      {{0x87, 1, 2, 2}, true, 1, false, false},  // only 1 counts as set
  };
  for (const auto& c : cases) {
    auto s = ParseHostStatus(c.Packet);
    ASSERT_EQ(s.has_value(), c.Ok);
    if (!s) continue;
    EXPECT_EQ(s->Mode, c.Mode);
    EXPECT_EQ(s->Admin, c.Admin);
    EXPECT_EQ(s->Secure, c.Secure);
  }
}

TEST(SessionWire, StatusCaptionTexts) {
  struct Case {
    TBytes Packet;
    const char* Suffix;
    const char* State;
  } cases[] = {
      {{0x87, 0, 0}, " - view only", "view only"},
      {{0x87, 1, 0},
       " - you have control (admin windows not available: ask them to click \"Allow admin tasks\")",
       "you have control"},
      {{0x87, 1}, " - you have control (admin windows not available: ask them to click \"Allow admin tasks\")",
       "you have control"},
      {{0x87, 1, 1}, " - you have control (admin windows available)", "you have control"},
      {{0x87, 0, 1}, " - view only (admin windows available)", "view only"},
      {{0x87, 5, 0}, " - paused by the other person", "paused by the other person"},
  };
  for (const auto& c : cases) {
    auto s = ParseHostStatus(c.Packet);
    ASSERT_TRUE(s);
    EXPECT_EQ(StatusCaptionSuffix(*s), c.Suffix);
    EXPECT_EQ(StatusState(s->Mode), c.State);
  }
}

TEST(SessionWire, SoundPacket) {
  TBytes p = MakeSoundPacket(0x01020304, TBytes{9, 8});
  EXPECT_EQ(p, (TBytes{0x8A, 4, 3, 2, 1, 9, 8}));
  auto pay = SoundPayload(p);
  ASSERT_TRUE(pay);
  EXPECT_EQ(TBytes(pay->begin(), pay->end()), (TBytes{9, 8}));
  EXPECT_FALSE(SoundPayload(TBytes{0x8A, 1, 0, 0, 0}));  // shorter than 6 bytes
}

TEST(SessionWire, FrameBlobKindsAndBounds) {
  TBytes tiles = MakeTileBlob(TBytes{5, 6});
  EXPECT_EQ(tiles, (TBytes{0, 5, 6}));
  auto t = ParseFrameBlob(tiles);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->Kind, TBlobKind::Tiles);
  EXPECT_EQ(t->Payload.size(), 2u);

  TBytes video = MakeVideoBlob(1920, 1080, TBytes{1, 2, 3});
  EXPECT_EQ(video.size(), 8u);
  auto v = ParseFrameBlob(video);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->Kind, TBlobKind::Video);
  EXPECT_EQ(v->Width, 1920);
  EXPECT_EQ(v->Height, 1080);
  EXPECT_EQ(v->Payload.size(), 3u);

  // Any first byte other than 1 is a tile update.
  auto odd = ParseFrameBlob(TBytes{7, 1});
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->Kind, TBlobKind::Tiles);

  EXPECT_FALSE(ParseFrameBlob(TBytes{}));
  EXPECT_FALSE(ParseFrameBlob(TBytes{1, 0x80, 7, 0x38, 4}));        // header only
  EXPECT_FALSE(ParseFrameBlob(MakeVideoBlob(0, 1080, TBytes{1})));  // zero width
  EXPECT_FALSE(ParseFrameBlob(MakeVideoBlob(65535, 65535, TBytes{1})));
  EXPECT_FALSE(ParseFrameBlob(MakeVideoBlob(16000, 16000, TBytes{1})));  // too many pixels
}

TEST(SessionWire, TileUpdateSizeIsCheckedBeforeDecoding) {
  auto h = PeekTileHeader(Zip(TileHeader(1920, 1080, 3)));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->Width, 1920);
  EXPECT_EQ(h->Height, 1080);
  EXPECT_EQ(h->Tiles, 3);

  EXPECT_EQ(CheckTileUpdate(Zip(TileHeader(1920, 1080, 1))), "");
  EXPECT_EQ(CheckTileUpdate(Zip(TileHeader(65535, 65535, 1))), "Bad screen size");
  EXPECT_EQ(CheckTileUpdate(Zip(TileHeader(1, 100, 1))), "Bad screen size");
  EXPECT_EQ(CheckTileUpdate(Zip(TBytes{1, 2, 3})), "Screen update too short");
  EXPECT_EQ(CheckTileUpdate(TBytes{1, 2, 3, 4, 5, 6, 7, 8}), "Screen update too short");  // not zlib
  EXPECT_EQ(CheckTileUpdate(TBytes{}), "Screen update too short");
}

TEST(SessionWire, MessageKindsByRoleAndConsent) {
  for (int k = 0; k < 256; ++k) {
    const auto kind = static_cast<std::uint8_t>(k);
    const bool atOnce = kind == mkViewerCaps || kind == mkSoundSwitch || kind == mkProfile ||
                        kind == mkProfilePicture || kind == mkWallpaper || kind == mkPasswordProof;
    EXPECT_EQ(HandledBeforeConsent(kind), atOnce) << k;
    if (atOnce) {
      EXPECT_TRUE(HostReceives(kind)) << k;
    }
  }
  for (std::uint8_t k : {mkScreens, mkHello, mkThumb, mkElevateResult, mkPasswordChallenge, mkPasswordResult, mkTransport}) {
    EXPECT_FALSE(HostReceives(k));
    EXPECT_TRUE(ViewerReceives(k));
  }
  for (std::uint8_t k : {mkChat, mkClipboard, mkFileOffer, mkFileData, mkFileDone, mkFileCancel}) {
    EXPECT_TRUE(HostReceives(k));
    EXPECT_TRUE(ViewerReceives(k));
  }
  EXPECT_FALSE(HostReceives(0));
  EXPECT_FALSE(ViewerReceives(mkPasswordProof));
  EXPECT_FALSE(ViewerReceives(24));
  EXPECT_TRUE(NeedsControl(mkRestart));
  EXPECT_TRUE(NeedsControl(mkElevate));
  EXPECT_FALSE(NeedsControl(mkChat));
}
