// Sound through a host and viewer pair: recording starts after consent while the helper wants sound,
// mute stops it, failures are logged with their reasons, and the viewer plays each packet once and in
// order.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/session/SessionPairFixture.h"

using namespace tovik;
using namespace tovik::test;

namespace {

// What the fake sound devices saw, and how they are told to fail.
struct TSoundDevices {
  int CapturesMade = 0;
  int CapturesAlive = 0;
  std::optional<std::string> CreateFails;  // the capture's Create raises this
  std::optional<std::string> PollFails;    // the next Poll raises this, once
  std::optional<std::string> PlayerFails;  // the player's Create raises this
  int PlayersMade = 0;
  int Clears = 0;
  std::uint8_t Next = 0;  // the fill byte of the next captured packet
  std::vector<TBytes> Played;
};

// A packet of 320 bytes filled with a running number on every second poll (20 ms of sound).
struct TFakeCapture : ILoopbackCapture {
  explicit TFakeCapture(std::shared_ptr<TSoundDevices> d) : D(std::move(d)) {
    ++D->CapturesMade;
    ++D->CapturesAlive;
  }
  ~TFakeCapture() override { --D->CapturesAlive; }
  std::vector<TBytes> Poll() override {
    if (D->PollFails) {
      const std::string why = *D->PollFails;
      D->PollFails.reset();
      throw std::runtime_error(why);
    }
    if (++Polls % 2) return {};
    return {TBytes(kSoundPacketBytes, ++D->Next)};
  }
  std::shared_ptr<TSoundDevices> D;
  int Polls = 0;
};

struct TFakePlayer : IAudioPlayer {
  explicit TFakePlayer(std::shared_ptr<TSoundDevices> d) : D(std::move(d)) { ++D->PlayersMade; }
  void Play(std::span<const std::uint8_t> p) override { D->Played.emplace_back(p.begin(), p.end()); }
  void Clear() override { ++D->Clears; }
  std::size_t QueuedPackets() const override { return 0; }
  std::uint64_t Underruns() const override { return 0; }
  std::shared_ptr<TSoundDevices> D;
};

TPairOptions WithSound(const std::shared_ptr<TSoundDevices>& d, TPairOptions o = {}) {
  o.SoundCapture = [d]() -> std::unique_ptr<ILoopbackCapture> {
    if (d->CreateFails) throw std::runtime_error(*d->CreateFails);
    return std::make_unique<TFakeCapture>(d);
  };
  o.SoundPlayer = [d]() -> std::unique_ptr<IAudioPlayer> {
    if (d->PlayerFails) throw std::runtime_error(*d->PlayerFails);
    return std::make_unique<TFakePlayer>(d);
  };
  return o;
}

// The fill bytes of the packets played, in order.
std::vector<int> PlayedNumbers(const TSoundDevices& d) {
  std::vector<int> out;
  for (const auto& p : d.Played) out.push_back(p.empty() ? -1 : p[0]);
  return out;
}

bool Consecutive(const std::vector<int>& v) {
  for (std::size_t i = 1; i < v.size(); ++i)
    if (v[i] != v[i - 1] + 1) return false;
  return !v.empty();
}

}  // namespace

TEST(SessionSound, RecordsAfterConsentPlaysInOrderAndMuteStopsIt) {
  auto d = std::make_shared<TSoundDevices>();
  TPairOptions o = WithSound(d);
  o.AutoAnswer.reset();
  TSessionPair pair(o);
  pair.Run(3000);
  EXPECT_EQ(d->CapturesMade, 0) << "nothing is recorded before the person allows it";
  ASSERT_TRUE(pair.Consent->Pending);
  pair.Consent->Answer(caViewOnly);  // sound also goes with view only
  pair.Run(1000);
  // The viewer asked for sound at its start: the first poll after consent opens the recording.
  EXPECT_EQ(d->CapturesMade, 1);
  EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "sound: recording the speakers"));
  EXPECT_EQ(d->PlayersMade, 1);
  EXPECT_GE(d->Played.size(), 40u);
  EXPECT_TRUE(Consecutive(PlayedNumbers(*d)));
  EXPECT_EQ(d->Played[0], TBytes(kSoundPacketBytes, 1));

  // Mute: the queue is cleared, the host frees its recording and nothing more plays.
  pair.Window->Events->OnMute(true);
  EXPECT_EQ(d->Clears, 1);
  pair.Run(500);
  EXPECT_EQ(d->CapturesAlive, 0);
  const std::size_t played = d->Played.size();
  pair.Run(1000);
  EXPECT_EQ(d->Played.size(), played);

  // Sound on again: a new recording, the same player, and the numbers go on rising.
  pair.Window->Events->OnMute(false);
  pair.Run(1000);
  EXPECT_EQ(d->CapturesMade, 2);
  EXPECT_EQ(d->CapturesAlive, 1);
  EXPECT_EQ(d->PlayersMade, 1);
  EXPECT_GT(d->Played.size(), played + 30);
  EXPECT_GT(d->Played.back()[0], d->Played[played - 1][0]);
}

TEST(SessionSound, FailuresAreLoggedWithTheirReasons) {
  struct Case {
    const char* Why;
    std::optional<std::string> CreateFails, PollFails, PlayerFails;
    const char* HostLine;
    const char* ViewerLine;
    int WantCapturesMade;  // after 2 s
    bool WantPlayed;
  };
  const Case cases[] = {
      {"no capture device", "No audio devices", {}, {}, "no sound to send: No audio devices", nullptr, 0, false},
      {"recording breaks once", {}, "Cannot record the playback device", {},
       "sound stopped: Cannot record the playback device", nullptr, 2, true},
      {"no player", {}, {}, "Cannot play sound", "sound: recording the speakers", "cannot play sound: Cannot play sound",
       1, false},
  };
  for (const auto& c : cases) {
    auto d = std::make_shared<TSoundDevices>();
    d->CreateFails = c.CreateFails;
    d->PollFails = c.PollFails;
    d->PlayerFails = c.PlayerFails;
    TSessionPair pair(WithSound(d));
    pair.Run(2000);
    EXPECT_TRUE(TSessionPair::Has(pair.HostLog, c.HostLine)) << c.Why;
    if (c.ViewerLine) {
      EXPECT_TRUE(TSessionPair::Has(pair.ViewerLog, c.ViewerLine)) << c.Why;
    }
    EXPECT_EQ(d->CapturesMade, c.WantCapturesMade) << c.Why;
    EXPECT_EQ(!d->Played.empty(), c.WantPlayed) << c.Why;
    // Nothing is retried after a failure to start, and a player that cannot start switches sound off.
    EXPECT_EQ(d->CapturesAlive, c.WantPlayed ? 1 : 0) << c.Why;
    EXPECT_LE(d->PlayersMade + (c.PlayerFails ? 1 : 0), 1) << c.Why;
  }
  // Without sound devices at all, the host says so once.
  TSessionPair plain;
  plain.Run(1000);
  EXPECT_TRUE(TSessionPair::Has(plain.HostLog, "no sound to send: no sound device support in this build"));
}

// Sound packets travel as plain datagrams: duplicated, late or reordered ones must not play again or
// out of order. Sequence numbers are compared with 32-bit wrap.
TEST(SessionSound, ViewerPlaysOnlyNewerSequenceNumbers) {
  struct Step { std::uint32_t Seq; bool Played; };
  const Step steps[] = {
      {0xFFFFFFF0u, true},  // the first packet sets the start
      {0xFFFFFFF1u, true},
      {0xFFFFFFF1u, false},  // duplicate
      {0xFFFFFFF0u, false},  // old
      {0xFFFFFFFFu, true},   // a gap is fine
      {0x00000002u, true},   // across the wrap
      {0xFFFFFFFEu, false},  // from before the wrap
      {0x00000001u, false},  // late
      {0x80000002u, false},  // half the number space ahead counts as behind
      {0x00000003u, true},
  };
  auto d = std::make_shared<TSoundDevices>();
  TPairOptions o = WithSound(d);
  o.SoundCapture = nullptr;  // the host sends none of its own
  TSessionPair pair(o);
  pair.Run(500);
  std::uint8_t fill = 0;
  for (const auto& s : steps) {
    const std::size_t before = d->Played.size();
    pair.ToViewer.Send(MakeSoundPacket(s.Seq, TBytes(kSoundPacketBytes, ++fill)));
    pair.Run(20);
    ASSERT_EQ(d->Played.size(), before + (s.Played ? 1 : 0)) << std::hex << s.Seq;
    if (s.Played) {
      EXPECT_EQ(d->Played.back()[0], fill);
    }
  }
  // Packets too short to hold a sample are ignored, and do not count as played.
  pair.ToViewer.Send(TBytes{pkSound, 4, 0, 0, 0});
  pair.Run(20);
  EXPECT_EQ(d->Played.size(), 5u);
}
