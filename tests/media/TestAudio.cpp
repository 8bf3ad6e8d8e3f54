// Sound: the mu-law codec, the conversion of device frames to 16 kHz mono packets, the hand-over ring
// and the player's jitter queue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "media/TovikAudio.h"
#include "tests/support/SoundTone.h"

using namespace tovik;
using namespace tovik::test;

namespace {

TSoundFormat FloatFormat(int AChannels, int ARate) { return {AChannels, ARate, 4 * AChannels, 32, true}; }

void PutFloat(TBytes& AOut, float AValue) {
  std::uint8_t b[4];
  std::memcpy(b, &AValue, 4);
  AOut.insert(AOut.end(), b, b + 4);
}

// Every byte the converter has produced so far (packets and the waiting remainder are both counted
// by the caller through PendingBytes).
TBytes Drain(TSoundConverter& AConv, TBytes& AAll) {
  for (auto& p : AConv.TakePackets()) {
    EXPECT_EQ(p.size(), kSoundPacketBytes);
    AAll.insert(AAll.end(), p.begin(), p.end());
  }
  return AAll;
}

}  // namespace

TEST(SoundMuLaw, KnownValuesAndRoundTrip) {
  struct Case { std::int16_t Sample; std::uint8_t Byte; };
  const Case cases[] = {
      {32767, 128}, {-32767, 0}, {-32768, 0}, {0, 255}, {1, 255}, {-1, 127}, {100, 0xF2}, {-100, 0x72},
  };
  for (const auto& c : cases) EXPECT_EQ(MuLawEncode(c.Sample), c.Byte) << c.Sample;

  // Expansion inverts compression for every code but the second zero (0x7F, "minus zero").
  for (int b = 0; b < 256; ++b)
    if (b != 0x7F) {
      EXPECT_EQ(MuLawEncode(MuLawDecode(static_cast<std::uint8_t>(b))), b) << b;
    }
  EXPECT_EQ(MuLawDecode(0x7F), 0);

  // Any sample comes back within half a quantisation step: at most (|s| + 132) / 32.
  for (int s = -32768; s <= 32767; s += 7) {
    const int back = MuLawDecode(MuLawEncode(static_cast<std::int16_t>(s)));
    EXPECT_LE(std::abs(back - s), (std::abs(s) + 132) / 32 + 1) << s;
  }
}

TEST(SoundConverter, FormatsTakenAndRefused) {
  struct Case { TSoundFormat F; bool Ok; const char* Why; };
  const Case cases[] = {
      {{2, 48000, 8, 32, true}, true, "stereo float"},
      {{1, 8000, 2, 16, false}, true, "mono 16-bit at the lowest rate"},
      {{6, 44100, 18, 24, false}, true, "5.1 24-bit packed"},
      {{2, 96000, 8, 24, false}, true, "24-bit in 32-bit containers"},
      {{2, 48000, 8, 32, false}, true, "32-bit integers"},
      {{2, 48000, 2, 16, false}, false, "block alignment below channels x bytes"},
      {{2, 48000, 7, 32, true}, false, "float frames one byte short"},
      {{8, 48000, 8, 16, false}, false, "eight channels in one sample's room"},
      {{0, 48000, 4, 16, false}, false, "no channel"},
      {{1, 7999, 2, 16, false}, false, "rate below 8,000"},
      {{1, 48000, 1, 8, false}, false, "8-bit"},
      {{1, 48000, 8, 64, true}, false, "double"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SoundFormatOk(c.F), c.Ok) << c.Why;
    if (c.Ok) {
      EXPECT_NO_THROW(TSoundConverter{c.F}) << c.Why;
    } else {
      EXPECT_THROW(TSoundConverter{c.F}, std::runtime_error) << c.Why;
    }
  }
}

TEST(SoundConverter, SamplesMixedDownAndCompressed) {
  struct Case { TSoundFormat F; TBytes Frame; std::uint8_t Want; const char* Why; };
  const auto f = [](float a, float b) {
    TBytes t;
    PutFloat(t, a);
    PutFloat(t, b);
    return t;
  };
  const Case cases[] = {
      {FloatFormat(1, 16000), f(1.0f, 0)  /* second value unused */, 128, "+1.0"},
      {FloatFormat(2, 16000), f(-1.0f, -1.0f), 0, "-1.0"},
      {FloatFormat(2, 16000), f(1.0f, -1.0f), 255, "channels averaged"},
      {FloatFormat(2, 16000), f(4.0f, 4.0f), 128, "clamped"},
      {{1, 16000, 2, 16, false}, {0xFF, 0x7F}, 128, "16-bit top"},
      {{1, 16000, 3, 24, false}, {0x00, 0x00, 0x80}, 0, "24-bit bottom"},
      {{1, 16000, 4, 32, false}, {0, 0, 0, 0}, 255, "32-bit zero"},
      {{1, 16000, 4, 24, false}, {0xFF, 0xFF, 0x7F, 0xAA}, 128, "24-bit top; the padding byte is not read"},
  };
  for (const auto& c : cases) {
    TSoundConverter conv(c.F);
    TBytes frames;
    for (std::size_t i = 0; i < kSoundPacketBytes; ++i)
      frames.insert(frames.end(), c.Frame.begin(), c.Frame.begin() + c.F.BlockAlign);
    conv.Feed(frames);
    auto packets = conv.TakePackets();
    ASSERT_EQ(packets.size(), 1u) << c.Why;
    EXPECT_EQ(packets[0], TBytes(kSoundPacketBytes, c.Want)) << c.Why;
  }
}

TEST(SoundConverter, PacketsOfTwentyMillisecondsFromTenMillisecondPolls) {
  // A 48,000-a-second stereo float mix: 10 ms (480 frames) give 160 bytes; a packet every second poll.
  TSoundConverter conv(FloatFormat(2, 48000));
  for (int poll = 1; poll <= 6; ++poll) {
    if (poll % 3 == 0)
      conv.FeedSilence(480);  // a packet the device flagged silent is silence, not nothing
    else
      conv.Feed(TBytes(480 * 8, 0));
    const auto packets = conv.TakePackets();
    EXPECT_EQ(packets.size(), poll % 2 == 0 ? 1u : 0u) << poll;
    for (const auto& p : packets) EXPECT_EQ(p, TBytes(kSoundPacketBytes, 255));
    EXPECT_EQ(conv.PendingBytes(), poll % 2 == 0 ? 0u : 160u);
  }
}

// Every rate gives 16,000 samples for each second of input, and a 1 kHz tone stays 1 kHz; over 40 s,
// longer than an overflowing accumulator would last at the lowest rate.
TEST(SoundConverter, ResamplesEveryRateToSixteenKilohertz) {
  for (int rate : {8000, 11025, 22050, 44100, 48000}) {
    TSoundConverter conv(FloatFormat(2, rate));
    TBytes all;
    std::int64_t index = 0;
    for (int second = 1; second <= 40; ++second) {
      // In uneven pieces, as a device delivers them.
      for (int left = rate; left > 0;) {
        const int n = std::min(left, 441 + second);
        TBytes frames;
        frames.reserve(static_cast<std::size_t>(n) * 8);
        for (int i = 0; i < n; ++i, ++index) {
          const auto v = static_cast<float>(ToneValue(1000, 0.5, index, rate));
          PutFloat(frames, v);
          PutFloat(frames, v);
        }
        conv.Feed(frames);
        left -= n;
      }
      Drain(conv, all);
      const auto made = static_cast<std::int64_t>(all.size() + conv.PendingBytes());
      ASSERT_NEAR(static_cast<double>(made), 16000.0 * second, 1.0) << rate << " Hz after " << second << " s";
    }
    const auto pitch = TonePitch(Expand(all), kSoundRate);
    ASSERT_TRUE(pitch) << rate;
    EXPECT_NEAR(*pitch, 1000.0, 0.5) << rate;
  }
}

TEST(SoundPacketRing, KeepsTheNewestWhenFull) {
  TSoundPacketRing ring(3);
  for (std::uint8_t i = 1; i <= 5; ++i) EXPECT_EQ(ring.Push(TBytes{i}), i <= 3);
  EXPECT_EQ(ring.Size(), 3u);
  EXPECT_EQ(ring.Dropped(), 2u);
  EXPECT_EQ(ring.TakeAll(), (std::vector<TBytes>{{3}, {4}, {5}}));
  EXPECT_EQ(ring.Size(), 0u);
  EXPECT_TRUE(ring.TakeAll().empty());
}

// The player's queue, step by step: packets pushed, samples pulled by the device, Clear.
TEST(SoundPlayerQueue, CapStartAndRestart) {
  enum TOp { opPush, opPull, opClear };
  struct Step { TOp Op; std::size_t N; std::size_t WantReal; std::size_t WantPackets; bool WantWaiting; std::uint64_t WantUnderruns; const char* Why; };
  constexpr std::size_t P = kSoundPacketBytes;
  const Step steps[] = {
      {opPull, 160, 0, 0, true, 0, "starts waiting: silence, no underrun"},
      {opPush, P, 1, 1, true, 0, "one packet"},
      {opPush, P, 1, 2, true, 0, "two packets"},
      {opPull, 160, 0, 2, true, 0, "still waiting with two"},
      {opPush, P, 1, 3, false, 0, "the third starts playback"},
      {opPull, 480, 480, 2, false, 0, "one and a half packets played"},
      {opPull, 800, 480, 0, true, 1, "runs dry mid-way: an underrun, the rest silence"},
      {opPush, P, 1, 1, true, 1, "refilling"},
      {opPush, P, 1, 2, true, 1, "refilling"},
      {opPull, 160, 0, 2, true, 1, "no sound before three"},
      {opPush, P, 1, 3, false, 1, "resumes with three"},
      {opPush, 0, 0, 3, false, 1, "an empty packet is ignored"},
      {opPush, 1281, 0, 3, false, 1, "a packet of 1,281 bytes is ignored"},
      {opPush, 1280, 1, 4, false, 1, "1,280 bytes are taken"},
      {opPush, P, 1, 5, false, 1, ""}, {opPush, P, 1, 6, false, 1, ""}, {opPush, P, 1, 7, false, 1, ""},
      {opPush, P, 1, 8, false, 1, ""}, {opPush, P, 1, 9, false, 1, ""}, {opPush, P, 1, 10, false, 1, "ten queued"},
      {opPush, P, 0, 10, false, 1, "the eleventh is dropped"},
      {opPull, 3 * P + 10, 3 * P + 10, 7, false, 1, "three packets and ten samples into the fourth"},
      {opClear, 0, 0, 0, true, 1, "Clear drops all and waits"},
      {opPull, 160, 0, 0, true, 1, "waiting after Clear is no underrun"},
  };
  TPlayerQueue q;
  std::uint8_t code = 1;
  for (const auto& s : steps) {
    std::size_t real = 0;
    if (s.Op == opPush) {
      real = q.Push(TBytes(s.N, code++)) ? 1 : 0;
    } else if (s.Op == opPull) {
      std::vector<std::int16_t> out(s.N, 99);
      real = q.Pull(out);
      for (std::size_t i = real; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << s.Why;
    } else {
      q.Clear();
    }
    EXPECT_EQ(real, s.WantReal) << s.Why;
    EXPECT_EQ(q.Packets(), s.WantPackets) << s.Why;
    EXPECT_EQ(q.Waiting(), s.WantWaiting) << s.Why;
    EXPECT_EQ(q.Underruns(), s.WantUnderruns) << s.Why;
  }
  EXPECT_EQ(q.Dropped(), 1u);
}

TEST(SoundPlayerQueue, PlaysTheSamplesInOrder) {
  TPlayerQueue q;
  for (std::uint8_t b : {0x80, 0x00, 0xF3}) q.Push(TBytes(kSoundPacketBytes, b));
  std::vector<std::int16_t> out(3 * kSoundPacketBytes);
  ASSERT_EQ(q.Pull(out), out.size());
  EXPECT_EQ(out[0], MuLawDecode(0x80));
  EXPECT_EQ(out[kSoundPacketBytes], MuLawDecode(0x00));
  EXPECT_EQ(out[2 * kSoundPacketBytes + 5], MuLawDecode(0xF3));
  EXPECT_EQ(q.QueuedSamples(), 0u);
}
