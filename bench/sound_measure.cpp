// tovik-sound-measure: the sound path's numbers (scripts/measure-sound runs it).
//   queue                  the player's queue over 30 minutes of simulated time: with the host's clock
//                          0.1% fast and 0.1% slow (largest and last queue), and with 2% of the packets
//                          lost and up to 15 ms of jitter (underruns a minute)
//   cpu SECONDS            CPU time of recording and encoding what the default output plays (a tone
//                          from pacat), as a share of one core
//   latency SECONDS        output-to-output delay through a host and viewer session pair on this PC:
//                          a tone burst played into sink "host" is found on "host.monitor" and on
//                          "viewer.monitor" (the viewer's player plays to "viewer")
// PULSE_SERVER names the server for cpu and latency.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "media/TovikAudio.h"
#include "tests/session/SessionPairFixture.h"
#include "tests/support/SoundTone.h"

using namespace tovik;
using namespace tovik::test;

namespace {

using TClock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Host packets every 20 ms of its own clock (ASpeed: its clock against the viewer's), each delayed by
// up to AJitterMs and lost with ALoss; the device pulls 160 samples every 10 ms.
void SimulateQueue(const char* AName, double ASpeed, double ALoss, double AJitterMs) {
  TPlayerQueue q;
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> u(0, 1);
  const double minutes = 30, endUs = minutes * 60e6;
  std::multimap<double, int> arrivals;  // time (us) -> packet
  double nextSend = 0, nextPull = 0, maxMs = 0;
  int seq = 0, lastPlayed = -1;
  std::vector<std::int16_t> out(160);
  TBytes packet(kSoundPacketBytes, 0x80);
  while (nextPull < endUs) {
    while (nextSend <= nextPull + 20000) {
      if (u(rng) >= ALoss) arrivals.emplace(nextSend + u(rng) * AJitterMs * 1000, seq);
      ++seq;
      nextSend += 20000 / ASpeed;
    }
    while (!arrivals.empty() && arrivals.begin()->first <= nextPull) {
      const int s = arrivals.begin()->second;
      arrivals.erase(arrivals.begin());
      if (s <= lastPlayed) continue;  // the viewer plays only newer packets
      lastPlayed = s;
      q.Push(packet);
    }
    q.Pull(out);
    maxMs = std::max(maxMs, q.QueuedSamples() / 16.0);
    nextPull += 10000;
  }
  std::printf("%-34s largest %5.1f ms, after 30 min %5.1f ms, underruns %.2f/min, dropped %llu\n", AName, maxMs,
              q.QueuedSamples() / 16.0, static_cast<double>(q.Underruns()) / minutes,
              static_cast<unsigned long long>(q.Dropped()));
}

int Cpu(double ASeconds) {
  auto cap = ILoopbackCapture::Create();
  const double cpu0 = CpuSeconds();
  const auto t0 = TClock::now();
  std::size_t packets = 0, loud = 0;
  while (TClock::now() - t0 < std::chrono::duration<double>(ASeconds)) {
    for (const auto& p : cap->Poll()) {
      ++packets;
      if (p[0] != 0xFF && p[0] != 0x7F) ++loud;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the host's channel tick
  }
  const double wall = std::chrono::duration<double>(TClock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  std::printf("capture + encode: %.3f s CPU in %.1f s = %.2f%% of one core (%zu packets, %zu with sound)\n", cpu,
              wall, 100 * cpu / wall, packets, loud);
  return 0;
}

// Listens on a monitor and reports when tone bursts start, on the wall clock: the arrival of the first
// packet fixes the stream's start, and each burst's first loud sample counts from there.
struct TOnsets {
  std::unique_ptr<ILoopbackCapture> Cap;
  std::optional<TClock::time_point> Start;
  std::int64_t Samples = 0;
  bool Loud = false;
  int Quiet = 0;
  std::vector<double> Times;  // seconds since ABase
  void Poll(TClock::time_point ABase) {
    for (const auto& p : Cap->Poll()) {
      if (!Start) Start = TClock::now() - std::chrono::microseconds(1000000 * static_cast<std::int64_t>(p.size()) / 16000);
      for (std::uint8_t b : p) {
        const bool loud = std::abs(MuLawDecode(b)) > 2000;
        if (loud && !Loud)
          Times.push_back(std::chrono::duration<double>(*Start - ABase).count() + static_cast<double>(Samples) / 16000);
        Quiet = loud ? 0 : Quiet + 1;
        if (loud) Loud = true;
        if (Quiet >= 1600) Loud = false;  // 100 ms of quiet ends a burst
        ++Samples;
      }
    }
  }
};

int Latency(double ASeconds) {
  TPairOptions o;
  o.SoundCapture = [] { return ILoopbackCapture::Create({"", ""}); };
  o.SoundPlayer = [] { return IAudioPlayer::Create({"", "viewer"}); };
  TSessionPair pair(o);
  auto source = IAudioPlayer::Create({"", "host"});
  TOnsets atHost, atViewer;
  atHost.Cap = ILoopbackCapture::Create({"", "host.monitor"});
  atViewer.Cap = ILoopbackCapture::Create({"", "viewer.monitor"});
  const auto base = TClock::now();
  std::int64_t index = 0;
  while (TClock::now() - base < std::chrono::duration<double>(ASeconds)) {
    // Bursts of 200 ms of 1 kHz every second, with silence between.
    while (source->QueuedPackets() < 4) {
      TBytes p;
      for (std::size_t i = 0; i < kSoundPacketBytes; ++i, ++index) {
        const bool on = index % 16000 < 3200;
        p.push_back(MuLawEncode(static_cast<std::int16_t>(on ? ToneValue(1000, 0.6, index, 16000) * 32767 : 0)));
      }
      source->Play(p);
    }
    pair.Run(5);
    atHost.Poll(base);
    atViewer.Poll(base);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::vector<double> d;
  for (double h : atHost.Times) {
    for (double v : atViewer.Times)
      if (v > h && v - h < 0.8) {
        d.push_back(v - h);
        break;
      }
  }
  if (d.empty()) {
    std::printf("latency: no burst reached the viewer's output\n");
    return 1;
  }
  std::sort(d.begin(), d.end());
  double sum = 0;
  for (double x : d) sum += x;
  std::printf("output-to-output latency over %zu bursts: median %.0f ms, mean %.0f ms, min %.0f ms, max %.0f ms\n",
              d.size(), 1000 * d[d.size() / 2], 1000 * sum / static_cast<double>(d.size()), 1000 * d.front(),
              1000 * d.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const double seconds = argc > 2 ? std::atof(argv[2]) : 20;
  try {
    if (mode == "queue") {
      SimulateQueue("host clock 0.1% fast:", 1.001, 0, 0);
      SimulateQueue("host clock 0.1% slow:", 0.999, 0, 0);
      SimulateQueue("2% loss, jitter up to 15 ms:", 1.0, 0.02, 15);
      return 0;
    }
    if (mode == "cpu") return Cpu(seconds);
    if (mode == "latency") return Latency(seconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: tovik-sound-measure queue | cpu SECONDS | latency SECONDS\n");
  return 2;
}
