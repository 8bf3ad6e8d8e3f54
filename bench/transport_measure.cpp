// The session transport's figures on a simulated bottleneck (scripts/measure-transport): message-channel
// goodput, the time a full-screen update takes to arrive, and the queue delay each causes, with the
// plain transport every peer has and with the paced one (frame feedback, selective acknowledgements),
// and a full-screen update (or a message-channel transfer) after an idle spell, on the same link and
// on one that shrank meanwhile.
//
// Everything runs on virtual time in steps of 1 ms, with the session's timers: the host pumps frames
// and both ends poll their channel every 10 ms, the viewer asks for missing chunks every 10 ms (20 ms
// quiet). The same run gives the same numbers.
//
//   tovik-transport-measure [--rate MBIT] [--rtt MS] [--queue KB] [--seconds S] [--idle S]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "net/TovikFrames.h"
#include "tests/sim/TovikSimBottleneck.h"
#include "tests/sim/TovikSimChannelPath.h"

using namespace tovik;
using tovik::sim::TBottleneckParams;
using tovik::sim::TSimBottleneck;
using tovik::sim::TSimChannelPath;

namespace {

struct TConfig {
  double RateMbit = 100;
  TTick RttMs = 20;
  std::size_t QueueKB = 250;
  TTick Seconds = 10;
  TTick IdleS = 30;
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

// Message channel, selective: AMB of file data posted at once (as a file transfer would, were it not
// fed in step with the path), then AIdleS seconds of a chat line a second, then the same data again.
// Returns the two transfer times, ms (0: not within a minute).
std::pair<TTick, TTick> RunChannelIdleSpell(const TConfig& c, std::size_t ABytes, TTick AIdleS) {
  TSimChannelPath path(Link(c, 0, 7), Link(c, 0, 8));
  const TBytes data(ABytes, 0x5A);
  const TTick first = path.Transfer(data, 60'000);
  const TBytes line(100, 0x41);
  for (TTick i = 0; i < AIdleS * 1000; ++i) {
    if (i % 1000 == 0) path.A.Post(5, line, false);
    path.Step();
  }
  return {first, path.Transfer(data, 60'000)};
}

// A host sending frames through a windowed sender (paced, or 40 chunks per 10 ms) and a viewer taking
// them, on a bottleneck each way, at the session's pace: the host pumps every 10 ms and at once after
// starting a frame, the viewer reports every 8 chunks and on its 10 ms tick and asks for missing
// chunks after 20 ms of quiet. Frame start and delivery times are kept by frame ID.
struct TFramePath {
  TFramePath(const TConfig& c, bool paced, double loss) : Fwd(Link(c, loss, 11)), Back(Link(c, loss, 12)) {
    Tx.SetLegacy(false);
    Tx.SetMaxInFlight(4);
    Tx.SetPaced(paced);
  }

  bool Paced() const { return Tx.Paced(); }
  // Starts a frame of ABytes (the caller checked CanStart) and sends what the sender lets go.
  std::uint32_t Start(std::size_t ABytes) {
    TBytes blob(ABytes);
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<std::uint8_t>(i * 131 + 7);
    Tx.Start(blob, Now);
    const std::uint32_t id = Tx.LastID();
    StartedAt.resize(id + 1, 0);
    DeliveredAt.resize(id + 1, 0);
    StartedAt[id] = Now;
    Pump();
    return id;
  }
  bool Delivered(std::uint32_t id) const { return id < DeliveredAt.size() && DeliveredAt[id] != 0; }
  TTick Took(std::uint32_t id) const { return Delivered(id) ? DeliveredAt[id] - StartedAt[id] : 0; }

  // One millisecond: what arrives, then AHost (which may start frames), then the 10 ms timers.
  template <class F>
  void Step(F&& AHost) {
    for (auto& p : Fwd.Receive(Now)) {
      TBytes reply;
      for (auto& f : Rx.HandleChunk(p, reply, Now)) {
        (void)f;
        ++Frames;
        const std::uint32_t id = Rx.Next() - 1;
        if (id < DeliveredAt.size()) DeliveredAt[id] = Now;
      }
      if (!reply.empty()) Back.Send(std::move(reply), Now);
      if (Paced() && Rx.ChunksSinceFeedback() >= kFeedbackEvery) Back.Send(Rx.TakeFeedback(), Now);
    }
    for (auto& p : Back.Receive(Now)) {
      std::uint32_t ms = 0;
      if (p[0] == pkFrameAck) Tx.HandleAck(p, ms, Now);
      if (p[0] == pkFrameNack) Tx.HandleNack(p);
      if (p[0] == pkFrameFeedback) Tx.HandleFeedback(p, Now);
    }
    AHost();
    if (Now % 10 == 0) {
      Pump();
      for (auto& n : Rx.PendingNacks(20, Now)) Back.Send(std::move(n), Now);
      if (TBytes fb = Paced() ? Rx.TakeFeedback() : TBytes(); !fb.empty()) Back.Send(std::move(fb), Now);
    }
    ++Now;
  }
  void Pump() {
    for (auto& p : Paced() ? Tx.NextPacedPackets(Now) : Tx.NextPackets(40, Now)) Fwd.Send(std::move(p), Now);
  }
  // Steps until frame AID has arrived, at most ALimitMs; false when it has not.
  bool RunUntilDelivered(std::uint32_t AID, TTick ALimitMs) {
    for (TTick i = 0; i < ALimitMs && !Delivered(AID); ++i) Step([] {});
    return Delivered(AID);
  }

  TSimBottleneck Fwd, Back;
  TFrameWindowSender Tx;
  TFrameWindowReceiver Rx;
  TTick Now = 1'000'000;
  std::uint64_t Frames = 0;  // delivered so far
  std::vector<TTick> StartedAt, DeliveredAt;
};

// Frames of ABytes: AFrames of them one after the other (a new one once the previous arrived), or, with
// AStream, a new one whenever the sender can start one, every 16 ms at most, for the whole run.
struct TFrameResult {
  std::vector<TTick> Took;  // per frame: start to delivery at the viewer, ms
  std::uint64_t Delivered = 0;
  double MeanQueueMs = 0, MaxQueueMs = 0;
  std::uint64_t TailDrops = 0;
};

TFrameResult RunFrames(const TConfig& c, bool paced, std::size_t bytes, int frames, bool stream, double loss) {
  TFramePath path(c, paced, loss);
  TFrameResult r;
  const TTick end = path.Now + c.Seconds * 1000;
  TTick lastStart = 0;
  int startedCount = 0;
  auto host = [&] {
    const bool more = stream || startedCount < frames;
    const bool previousDone = stream || static_cast<int>(path.Frames) == startedCount;
    if (more && previousDone && path.Tx.CanStart() && (lastStart == 0 || path.Now - lastStart >= 16)) {
      path.Start(bytes);
      lastStart = path.Now;
      ++startedCount;
    }
  };
  while (path.Now < end && (stream || static_cast<int>(path.Frames) < frames)) path.Step(host);
  for (std::uint32_t id = 1; id < path.DeliveredAt.size(); ++id)
    if (path.Delivered(id)) r.Took.push_back(path.Took(id));
  r.Delivered = path.Frames;
  r.MeanQueueMs = path.Fwd.MeanQueueDelayMs();
  r.MaxQueueMs = path.Fwd.MaxQueueDelayMs();
  r.TailDrops = path.Fwd.TailDrops();
  return r;
}

// One full-screen update started now on APath: how long it takes to arrive, and the queue at the
// bottleneck (sampled every millisecond, as delay at the link's rate) while it is on its way.
struct TUpdateResult {
  TTick Took = 0;  // start to delivery, ms (0: not delivered within a minute)
  double QueueMeanMs = 0, QueueMaxMs = 0;
  double QueueLateMeanMs = 0;  // mean after the update's first second
  std::uint64_t TailDrops = 0;
};

inline constexpr std::size_t kFullScreenBytes = 6'220'800;

TUpdateResult RunUpdate(TFramePath& APath) {
  TUpdateResult r;
  const std::uint64_t dropsBefore = APath.Fwd.TailDrops();
  const double bytesPerMs = static_cast<double>(APath.Fwd.Params().RateBps) / 8000.0;
  const TTick from = APath.Now;
  const std::uint32_t id = APath.Start(kFullScreenBytes);
  double sum = 0, lateSum = 0;
  TTick n = 0, late = 0;
  for (; n < 60'000 && !APath.Delivered(id); ++n) {
    APath.Step([] {});
    const double ms = static_cast<double>(APath.Fwd.QueuedBytes(APath.Now)) / bytesPerMs;
    sum += ms;
    r.QueueMaxMs = std::max(r.QueueMaxMs, ms);
    if (APath.Now - from > 1000) {
      lateSum += ms;
      ++late;
    }
  }
  r.Took = APath.Took(id);
  r.QueueMeanMs = n ? sum / static_cast<double>(n) : 0;
  r.QueueLateMeanMs = late ? lateSum / static_cast<double>(late) : 0;
  r.TailDrops = APath.Fwd.TailDrops() - dropsBefore;
  return r;
}

// A screen that changes whole, then idles, then changes whole again: a full-screen update to warm up,
// AIdleS seconds of an idle screen (a 500-byte frame every second), then another full-screen update,
// paced. With AShrinkMbit the forward link drops to that rate at AShrinkAt (ms into the idle spell).
struct TIdleResult {
  TUpdateResult First, Second;
  double EstimateBefore = 0, EstimateAfter = 0;  // the pacer's bottleneck estimate, MB/s, around the idle spell
};

TIdleResult RunIdleSpell(const TConfig& c, TTick AIdleS, double AShrinkMbit, TTick AShrinkAt) {
  TFramePath path(c, true, 0);
  TIdleResult r;
  r.First = RunUpdate(path);
  r.EstimateBefore = static_cast<double>(path.Tx.Pacer().Bottleneck()) / 1e6;
  const TTick idleFrom = path.Now;
  TTick lastSmall = path.Now;
  const auto shrink = [&] { path.Fwd.SetRate(static_cast<std::uint64_t>(AShrinkMbit * 1e6)); };
  while (path.Now - idleFrom < AIdleS * 1000) {
    if (AShrinkMbit > 0 && path.Now - idleFrom == AShrinkAt) shrink();
    path.Step([&] {
      if (path.Now - lastSmall >= 1000 && path.Tx.CanStart()) {
        path.Start(500);
        lastSmall = path.Now;
      }
    });
  }
  if (AShrinkMbit > 0 && AShrinkAt >= AIdleS * 1000) shrink();
  r.EstimateAfter = static_cast<double>(path.Tx.Pacer().Bottleneck()) / 1e6;
  r.Second = RunUpdate(path);
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
    else if (k == "--idle") c.IdleS = static_cast<TTick>(v);
    else {
      std::fprintf(stderr, "usage: tovik-transport-measure [--rate MBIT] [--rtt MS] [--queue KB] [--seconds S] [--idle S]\n");
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

  std::printf("\nfull-screen update after %llu s of an idle screen (a 500-byte frame a second), paced; the fresh\n"
              "start is a new sender's first update on the link as it is then:\n",
              static_cast<unsigned long long>(c.IdleS));
  struct TIdleCase {
    const char* Name;
    double ShrinkMbit;
    TTick ShrinkAt;
  };
  const TIdleCase idle[] = {
      {"same link", 0, 0},
      {"link to 1/10 halfway through the idle spell", c.RateMbit / 10, c.IdleS * 500},
      {"link to 1/10 as the update starts", c.RateMbit / 10, c.IdleS * 1000},
  };
  for (const auto& k : idle) {
    const auto r = RunIdleSpell(c, c.IdleS, k.ShrinkMbit, k.ShrinkAt);
    TConfig now = c;
    if (k.ShrinkMbit > 0) now.RateMbit = k.ShrinkMbit;
    TFramePath freshPath(now, true, 0);
    const auto fresh = RunUpdate(freshPath);
    std::printf("  %s (estimate %.3f MB/s before the idle spell, %.3f after):\n", k.Name, r.EstimateBefore,
                r.EstimateAfter);
    const std::pair<const char*, const TUpdateResult*> rows[] = {
        {"warm-up", &r.First}, {"after the idle spell", &r.Second}, {"fresh start", &fresh}};
    for (const auto& [name, u] : rows) {
      const std::string took = u->Took ? std::to_string(u->Took) + " ms" : std::string("over a minute");
      std::printf("    %-21s %13s  queue delay mean %5.1f ms (after its first second %5.1f ms), max %5.1f ms, "
                  "tail drops %llu\n",
                  name, took.c_str(), u->QueueMeanMs, u->QueueLateMeanMs, u->QueueMaxMs,
                  static_cast<unsigned long long>(u->TailDrops));
    }
  }
  const auto [before, after] = RunChannelIdleSpell(c, 2'000'000, c.IdleS);
  std::printf("\nmessage channel, 2 MB posted at once before and after %llu s of a chat line a second: %llu ms, "
              "then %llu ms\n",
              static_cast<unsigned long long>(c.IdleS), static_cast<unsigned long long>(before),
              static_cast<unsigned long long>(after));
  return 0;
}
