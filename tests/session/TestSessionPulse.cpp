// The host and viewer pair over the real PulseAudio backends on a private server: a tone played into
// the host's output (by pacat, at 48,000 a second) is heard on the viewer's output at its pitch.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/session/SessionPairFixture.h"
#include "tests/support/PrivatePulse.h"
#include "tests/support/SoundTone.h"

using namespace tovik;
using namespace tovik::test;

TEST(SessionPulse, ToneOnTheHostIsHeardOnTheViewerAtItsPitch) {
  TPrivatePulse server;
  ASSERT_TRUE(server.Ok()) << "pulseaudio did not start; see " << server.Dir() << "/log";
  // 20 s of 440 Hz, 16-bit mono at 48,000 a second, for pacat.
  const std::string tone = server.Dir() + "/tone.raw";
  {
    std::ofstream f(tone, std::ios::binary);
    for (std::int64_t i = 0; i < 48000 * 20; ++i) {
      const auto s = static_cast<std::int16_t>(ToneValue(440, 0.5, i, 48000) * 32767);
      f.put(static_cast<char>(s & 0xFF)).put(static_cast<char>((s >> 8) & 0xFF));
    }
  }
  TPairOptions o;
  const std::string where = server.Server();
  o.SoundCapture = [where] { return ILoopbackCapture::Create({where, ""}); };  // the default: "host"
  o.SoundPlayer = [where] { return IAudioPlayer::Create({where, "viewer"}); };
  TSessionPair pair(o);
  auto listener = ILoopbackCapture::Create({where, "viewer.monitor"});

  std::vector<std::string> args = {"pacat", "--server=" + where, "--device=host", "--rate=48000", "--channels=1",
                                   "--format=s16le", "--raw", tone};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pacat = -1;
  ASSERT_EQ(posix_spawnp(&pacat, "pacat", nullptr, nullptr, argv.data(), environ), 0);

  std::vector<std::int16_t> heard;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (heard.size() < 32000 && std::chrono::steady_clock::now() < end) {
    pair.Run(10);
    for (const auto& p : listener->Poll()) {
      auto s = Expand(p);
      if (heard.empty() && std::all_of(s.begin(), s.end(), [](std::int16_t v) { return std::abs(v) < 200; })) continue;
      heard.insert(heard.end(), s.begin(), s.end());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // poll for data, bounded by `end`
  }
  kill(pacat, SIGTERM);
  waitpid(pacat, nullptr, 0);
  EXPECT_TRUE(TSessionPair::Has(pair.HostLog, "sound: recording the speakers"));
  ASSERT_GE(heard.size(), 32000u) << "the viewer's output stayed silent for 15 s";
  const auto pitch = TonePitch(std::span(heard).subspan(8000), kSoundRate);
  ASSERT_TRUE(pitch);
  EXPECT_NEAR(*pitch, 440.0, 3.0);
}
