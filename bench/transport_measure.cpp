// The session transport's figures on a simulated bottleneck (scripts/measure-transport): message-channel
// goodput, the time a full-screen update takes to arrive, and the queue delay each causes, with the
// plain transport every peer has and with the paced one (frame feedback, selective acknowledgements).
//
// Everything runs on virtual time in steps of 1 ms, with the session's timers: the host pumps frames
// and both ends poll their channel every 10 ms, the viewer asks for missing chunks every 10 ms (20 ms
// quiet). The same run gives the same numbers.
//
//   tovik-transport-measure [--rate MBIT] [--rtt MS] [--queue KB] [--seconds S]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/TovikFrames.h"
#include "tests/sim/TovikSimBottleneck.h"

using namespace tovik;
using tovik::sim::TBottleneckParams;
using tovik::sim::TSimBottleneck;

namespace {

struct TConfig {
  double RateMbit = 100;
  TTick RttMs = 20;
  std::size_t QueueKB = 250;
  TTick Seconds = 10;
};

TBottleneckParams Link(const TConfig& c, double loss, std::uint32_t seed) {
  TBottleneckParams p;
  p.RateBps = static_cast<std::uint64_t>(c.RateMbit * 1e6);
  p.DelayMs = c.RttMs / 2;
  p.QueueBytes = c.QueueKB * 1000;
  p.Loss = loss;
  p.Seed = seed;
  return p;
}

double LinkBytesPerSec(const TConfig& c) { return c.RateMbit * 1e6 / 8; }

// Message channel: one side posts 1,150-byte pieces without end; the goodput is the body bytes the
// other side delivers in order, over the whole run (startup included).
struct TChannelResult {
  double Goodput = 0;  // bytes per second
  double MeanQueueMs = 0, MaxQueueMs = 0;
};

TChannelResult RunChannel(const TConfig& c, bool selective, double loss) {
  TSimBottleneck fwd(Link(c, loss, 7)), back(Link(c, loss, 8));
  TMsgChannel a, b;
  a.SetSelective(selective);
  b.SetSelective(selective);
  const TBytes piece(kChannelPiece, 0x5A);
  TTick now = 1'000'000;
  const TTick end = now + c.Seconds * 1000;
  std::uint64_t got = 0;
  for (TTick t = 0; now < end; ++now, ++t) {
    for (auto& p : fwd.Receive(now))
      for (auto& m : b.HandleMsg(p)) got += m.Data.size();
    for (auto& p : back.Receive(now)) a.HandleAck(p, now);
    if (t % 10 == 0) {
      while (static_cast<std::size_t>(a.Backlog()) < a.WindowMessages() + 64) a.Post(4, piece, true);
      for (auto& p : a.Poll(now)) fwd.Send(std::move(p), now);
      for (auto& p : b.Poll(now)) back.Send(std::move(p), now);
    }
  }
  return {static_cast<double>(got) * 1000.0 / static_cast<double>(c.Seconds * 1000), fwd.MeanQueueDelayMs(),
          fwd.MaxQueueDelayMs()};
}

// Frames: the host sends frames of ABytes through a windowed sender (paced or at 40 chunks per 10 ms);
// AFrames of them one after the other (a new one once the previous arrived), or, with AStream, a new
// one whenever the sender can start one, every 16 ms at most, for the whole run.
struct TFrameResult {
  std::vector<TTick> Took;  // per frame: start to delivery at the viewer, ms
  std::uint64_t Delivered = 0;
  double MeanQueueMs = 0, MaxQueueMs = 0;
  std::uint64_t TailDrops = 0;
};

TFrameResult RunFrames(const TConfig& c, bool paced, std::size_t bytes, int frames, bool stream, double loss) {
  TSimBottleneck fwd(Link(c, loss, 11)), back(Link(c, loss, 12));
  TFrameWindowSender tx;
  tx.SetLegacy(false);
  tx.SetMaxInFlight(4);
  tx.SetPaced(paced);
  TFrameWindowReceiver rx;
  TBytes blob(bytes);
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<std::uint8_t>(i * 131 + 7);
  TFrameResult r;
  TTick now = 1'000'000;
  const TTick end = now + c.Seconds * 1000;
  std::vector<TTick> started(1, 0);
  TTick lastStart = 0;
  int startedCount = 0;
  auto pump = [&] {
    for (auto& p : paced ? tx.NextPacedPackets(now) : tx.NextPackets(40, now)) fwd.Send(std::move(p), now);
  };
  for (TTick t = 0; now < end; ++now, ++t) {
    for (auto& p : fwd.Receive(now)) {
      TBytes reply;
      for (auto& f : rx.HandleChunk(p, reply, now)) {
        (void)f;
        ++r.Delivered;
        const std::uint32_t id = rx.Next() - 1;
        if (id < started.size()) r.Took.push_back(now - started[id]);
      }
      if (!reply.empty()) back.Send(std::move(reply), now);
      if (paced && rx.ChunksSinceFeedback() >= kFeedbackEvery) back.Send(rx.TakeFeedback(), now);
    }
    for (auto& p : back.Receive(now)) {
      std::uint32_t ms = 0;
      if (p[0] == pkFrameAck) tx.HandleAck(p, ms, now);
      if (p[0] == pkFrameNack) tx.HandleNack(p);
      if (p[0] == pkFrameFeedback) tx.HandleFeedback(p, now);
    }
    const bool more = stream || startedCount < frames;
    const bool previousDone = stream || static_cast<int>(r.Delivered) == startedCount;
    if (more && previousDone && tx.CanStart() && (lastStart == 0 || now - lastStart >= 16)) {
      tx.Start(blob, now);
      started.resize(tx.LastID() + 1, 0);
      started[tx.LastID()] = now;
      lastStart = now;
      ++startedCount;
      pump();
    }
    if (t % 10 == 0) {
      pump();
      for (auto& n : rx.PendingNacks(20, now)) back.Send(std::move(n), now);
      if (TBytes fb = paced ? rx.TakeFeedback() : TBytes(); !fb.empty()) back.Send(std::move(fb), now);
    }
    if (!stream && static_cast<int>(r.Delivered) >= frames) break;
  }
  r.MeanQueueMs = fwd.MeanQueueDelayMs();
  r.MaxQueueMs = fwd.MaxQueueDelayMs();
  r.TailDrops = fwd.TailDrops();
  return r;
}

const char* Mode(bool paced) { return paced ? "paced (new)" : "plain (main)"; }

}  // namespace

int main(int argc, char** argv) {
  TConfig c;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    const double v = std::atof(argv[i + 1]);
    if (k == "--rate") c.RateMbit = v;
    else if (k == "--rtt") c.RttMs = static_cast<TTick>(v);
    else if (k == "--queue") c.QueueKB = static_cast<std::size_t>(v);
    else if (k == "--seconds") c.Seconds = static_cast<TTick>(v);
    else {
      std::fprintf(stderr, "usage: tovik-transport-measure [--rate MBIT] [--rtt MS] [--queue KB] [--seconds S]\n");
      return 2;
    }
  }
  const double link = LinkBytesPerSec(c);
  std::printf("link: %.0f Mbit/s (%.2f MB/s), RTT %llu ms, drop-tail queue %zu KB, %llu s per run\n\n",
              c.RateMbit, link / 1e6, static_cast<unsigned long long>(c.RttMs), c.QueueKB,
              static_cast<unsigned long long>(c.Seconds));

  std::printf("message channel goodput (1,150-byte pieces, loss both ways):\n");
  for (double loss : {0.0, 0.01, 0.05}) {
    for (bool sel : {false, true}) {
      const auto r = RunChannel(c, sel, loss);
      std::printf("  loss %4.1f%%  %-13s %7.2f MB/s  %5.1f%% of link  queue delay mean %5.1f ms, max %5.1f ms\n",
                  loss * 100, Mode(sel), r.Goodput / 1e6, 100.0 * r.Goodput / link, r.MeanQueueMs, r.MaxQueueMs);
    }
  }

  std::printf("\nfull-screen update (1920x1080 x 3 bytes = 6,220,800 bytes; and 1 MB), two in a row:\n");
  for (std::size_t size : {std::size_t{6'220'800}, std::size_t{1'000'000}}) {
    for (bool paced : {false, true}) {
      const auto r = RunFrames(c, paced, size, 2, false, 0);
      std::printf("  %7zu bytes  %-13s first %5llu ms, second %5llu ms  queue delay mean %5.1f ms, max %5.1f ms, "
                  "tail drops %llu\n",
                  size, Mode(paced), static_cast<unsigned long long>(r.Took.size() > 0 ? r.Took[0] : 0),
                  static_cast<unsigned long long>(r.Took.size() > 1 ? r.Took[1] : 0), r.MeanQueueMs, r.MaxQueueMs,
                  static_cast<unsigned long long>(r.TailDrops));
    }
  }

  TConfig slow = c;
  slow.RateMbit = c.RateMbit / 10;
  std::printf("\nframes of 200 KB without pause on a %.0f Mbit/s link (same RTT and queue):\n", slow.RateMbit);
  for (bool paced : {false, true}) {
    const auto r = RunFrames(slow, paced, 200'000, 0, true, 0);
    double mean = 0;
    for (TTick t : r.Took) mean += static_cast<double>(t);
    if (!r.Took.empty()) mean /= static_cast<double>(r.Took.size());
    std::printf("  %-13s %5.1f frames/s, start to arrival mean %6.1f ms, queue delay mean %6.1f ms, max %6.1f ms, "
                "tail drops %llu\n",
                Mode(paced), static_cast<double>(r.Delivered) / static_cast<double>(slow.Seconds), mean, r.MeanQueueMs,
                r.MaxQueueMs, static_cast<unsigned long long>(r.TailDrops));
  }
  return 0;
}
