// The PulseAudio backends against a private server with null sinks (no sound card): a tone played to
// the default output is recorded from its monitor at the right pitch, and failures carry their texts.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "media/TovikAudio.h"
#include "tests/support/PrivatePulse.h"
#include "tests/support/SoundTone.h"

using namespace tovik;
using namespace tovik::test;

namespace {
// 20 ms of a tone at 16,000 a second, as mu-law, continuing from sample AIndex.
TBytes TonePacket(double AHz, std::int64_t& AIndex) {
  TBytes p;
  for (std::size_t i = 0; i < kSoundPacketBytes; ++i, ++AIndex)
    p.push_back(MuLawEncode(static_cast<std::int16_t>(ToneValue(AHz, 0.5, AIndex, kSoundRate) * 32767)));
  return p;
}

std::string Thrown(const std::function<void()>& AWork) {
  try {
    AWork();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing)";
}
}  // namespace

TEST(PulseSound, ToneOnTheDefaultOutputIsRecordedAtItsPitch) {
  TPrivatePulse server;
  ASSERT_TRUE(server.Ok()) << "pulseaudio did not start; see " << server.Dir() << "/log";
  auto player = IAudioPlayer::Create({server.Server(), "host"});
  auto capture = ILoopbackCapture::Create({server.Server(), ""});  // the default output's monitor
  std::int64_t index = 0;
  std::vector<std::int16_t> heard;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (heard.size() < 24000 && std::chrono::steady_clock::now() < end) {
    while (player->QueuedPackets() < 6) player->Play(TonePacket(1000, index));
    for (const auto& p : capture->Poll()) {
      auto s = Expand(p);
      // Skip the silence before the tone arrives.
      if (heard.empty() && std::all_of(s.begin(), s.end(), [](std::int16_t v) { return std::abs(v) < 200; })) continue;
      heard.insert(heard.end(), s.begin(), s.end());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // poll for data, bounded by `end`
  }
  ASSERT_GE(heard.size(), 24000u) << "no tone recorded within 15 s";
  const auto pitch = TonePitch(std::span(heard).subspan(4000), kSoundRate);
  ASSERT_TRUE(pitch);
  EXPECT_NEAR(*pitch, 1000.0, 5.0);
}

TEST(PulseSound, FailuresCarryTheirTexts) {
  TPrivatePulse server;
  ASSERT_TRUE(server.Ok());
  struct Case { std::function<void()> Work; const char* Want; };
  const Case cases[] = {
      {[] { ILoopbackCapture::Create({"unix:/nonexistent/tovik", ""}); }, "No audio devices"},
      {[&] { ILoopbackCapture::Create({server.Server(), "no-such-source"}); }, "No playback device"},
      {[] { IAudioPlayer::Create({"unix:/nonexistent/tovik", ""}); }, "Cannot play sound"},
      {[&] { IAudioPlayer::Create({server.Server(), "no-such-sink"}); }, "Cannot play sound"},
  };
  for (const auto& c : cases) EXPECT_EQ(Thrown(c.Work), c.Want);
}
