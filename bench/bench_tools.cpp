// The session tools' costs. File throughput through the session's message channel: a viewer's tools send one file to a host's
// tools over two lossy pipes (10 ms each way, so 20 ms round trip) under a manual clock with the
// session's 10 ms tick. Counters: virtual_MBps (file bytes per virtual second) and, for comparison,
// ceiling_MBps (the same channel and pacing carrying bare 1150-byte messages, no files); rss_growth_MB
// is how much the process grew during the run (the receiver writes through and keeps nothing).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstring>
#include <memory>

#include "media/TovikThumbs.h"
#include "session/TovikSessionTools.h"
#include "session/TovikSessionWire.h"
#include "tests/net/LossyPipe.h"

using namespace tovik;
using namespace tovik::test;

namespace {

// A source of ASize bytes made on the fly, and a download folder that counts and keeps nothing.
struct TStreamFiles : ITransferFiles {
  std::int64_t Size = 0;
  std::int64_t Written = 0;
  bool Finished = false;
  struct TRead : IReadFile {
    std::int64_t Left, Total;
    std::int64_t Size() const override { return Total; }
    std::int64_t Read(std::uint8_t* b, std::size_t n, std::string&) override {
      const auto k = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), Left));
      std::fill_n(b, k, static_cast<std::uint8_t>(Left));
      Left -= static_cast<std::int64_t>(k);
      return static_cast<std::int64_t>(k);
    }
  };
  struct TWrite : IWriteFile {
    TStreamFiles* F;
    explicit TWrite(TStreamFiles* f) : F(f) {}
    bool Write(TByteView d, std::string&) override {
      F->Written += static_cast<std::int64_t>(d.size());
      return true;
    }
    bool Finish(std::string&) override {
      F->Finished = true;
      return true;
    }
    void Discard() override {}
  };
  bool IsFile(const std::string&) override { return true; }
  std::unique_ptr<IReadFile> OpenRead(const std::string&, std::string&) override {
    auto r = std::make_unique<TRead>();
    r->Left = r->Total = Size;
    return r;
  }
  TCreateResult CreateNew(const std::string&) override {
    TCreateResult r;
    r.Outcome = TCreateOutcome::Created;
    r.File = std::make_unique<TWrite>(this);
    return r;
  }
  std::optional<std::int64_t> FreeSpace() override { return std::nullopt; }
};

double RssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// Moves channel packets from one end to the other through a pipe; delivered messages go to AOnMsg.
template <class F>
void Carry(TMsgChannel& from, TLossyPipe& pipe, TMsgChannel& to, TTick now, F&& AOnMsg) {
  for (auto& p : from.Poll(now)) pipe.Send(std::move(p));
  for (auto& p : pipe.Receive()) {
    if (p.empty()) continue;
    if (p[0] == pkChannelMsg)
      for (auto& m : to.HandleMsg(p)) AOnMsg(m);
    else
      to.HandleAck(p);
  }
}

// Virtual seconds to move ABytes: through the tools (AFiles) or as bare messages.
double Run(std::int64_t ABytes, double ALoss, bool AFiles) {
  TManualClock clock;
  TPipeConfig cfg{10, 0, ALoss, 0, 1};
  TLossyPipe toHost(cfg), toViewer(TPipeConfig{10, 0, ALoss, 0, 2});
  TMsgChannel vch, hch;
  auto viewerFiles = std::make_shared<TStreamFiles>(), hostFiles = std::make_shared<TStreamFiles>();
  viewerFiles->Size = ABytes;
  auto make = [&clock](TMsgChannel& ch, bool viewer, std::shared_ptr<TStreamFiles> f) {
    TToolsContext c;
    c.Channel = &ch;
    c.IsViewer = viewer;
    c.Now = [&clock] { return clock.Now(); };
    TToolsServices s;
    s.Files = std::move(f);
    return std::make_unique<TSessionTools>(c, std::move(s));
  };
  auto viewer = make(vch, true, viewerFiles), host = make(hch, false, hostFiles);
  viewer->AccessGranted();
  if (AFiles) viewer->SendFiles({"/bench/file.bin"});
  const TTick start = clock.Now();
  std::int64_t bare = 0;
  const TBytes piece(1150, 0x5A);
  while (AFiles ? !hostFiles->Finished : bare < ABytes) {
    clock.Advance(10);
    const TTick now = clock.Now();
    if (AFiles) {
      viewer->Tick();
    } else {
      while (vch.Backlog() <= kFileBacklogMax) vch.Post(mkFileData, piece, false);
    }
    Carry(vch, toHost, hch, now, [&](const TChannelMsg& m) {
      if (AFiles)
        host->HandleMessage(m);
      else
        bare += static_cast<std::int64_t>(m.Data.size()) - 4;
    });
    Carry(hch, toViewer, vch, now, [&](const TChannelMsg& m) { viewer->HandleMessage(m); });
  }
  return static_cast<double>(clock.Now() - start) / 1000.0;
}

void BM_FileThroughput(benchmark::State& state) {
  const std::int64_t bytes = state.range(0) << 20;
  const double loss = static_cast<double>(state.range(1)) / 100.0;
  double secs = 0, ceiling = 0;
  const double rss0 = RssMb();
  for (auto _ : state) {
    secs = Run(bytes, loss, true);
    ceiling = Run(bytes, loss, false);
  }
  state.counters["virtual_MBps"] = static_cast<double>(bytes) / 1048576.0 / secs;
  state.counters["ceiling_MBps"] = static_cast<double>(bytes) / 1048576.0 / ceiling;
  state.counters["rss_growth_MB"] = RssMb() - rss0;
  state.SetBytesProcessed(state.iterations() * bytes);
}

// A screen of 1920 x 1080 with some detail, copied row by row as the plain copy gives it.
struct TDesktopGrab : IScreenGrab {
  const TBitmap32& Source;
  explicit TDesktopGrab(const TBitmap32& ASource) : Source(ASource) {}
  TGrabStatus CopyTo(TBitmap32& b, bool, std::span<const TRect>, TGrabChanges&) override {
    for (int y = 0; y < b.Height(); ++y) std::memcpy(b.Row(y), Source.Row(y), static_cast<std::size_t>(b.Width()) * 4);
    return TGrabStatus::gsOk;
  }
};
struct TDesktop : IScreenBackend {
  TBitmap32 Source;
  TDesktop() {
    Source.SetSize(1920, 1080);
    for (int y = 0; y < 1080; ++y)
      for (int x = 0; x < 1920; ++x) {
        std::uint8_t* p = Source.Row(y) + x * 4;
        p[0] = static_cast<std::uint8_t>(x ^ y);
        p[1] = static_cast<std::uint8_t>(x / 8);
        p[2] = static_cast<std::uint8_t>(y / 8);
      }
  }
  std::vector<TMonitorInfo> Monitors() override { return {}; }
  std::unique_ptr<IScreenGrab> CreateDup(const TRect&) override { return nullptr; }
  std::unique_ptr<IScreenGrab> CreatePlain(const TRect&) override { return std::make_unique<TDesktopGrab>(Source); }
  bool GetPointer(TPointerImage&) override { return false; }
};

// One host round of thumbnails for four 1080p screens on the GUI thread: grab (here a fill of the
// picture, standing in for the copy), blank, scale, compress and post. Time per round.
void BM_ThumbRoundFourScreens1080p(benchmark::State& state) {
  TDesktop desktop;
  TMsgChannel channel;
  std::size_t posted = 0;
  for (auto _ : state) {
    for (int i = 0; i < 4; ++i) {
      const TRect screen{i * 1920, 0, 1920, 1080};
      const auto [w, h] = ThumbSize(screen);
      TBytes rows = GrabThumbnail(desktop, screen, w, h);
      const TBytes msg = MakeThumb(i, TPicture24{w, h, std::move(rows)});
      channel.PostBytes(mkThumb, msg);
      posted += msg.size();
    }
    state.PauseTiming();
    channel = TMsgChannel();
    state.ResumeTiming();
  }
  benchmark::DoNotOptimize(posted);
}

}  // namespace

BENCHMARK(BM_ThumbRoundFourScreens1080p)->Unit(benchmark::kMillisecond);
// MiB, loss in percent.
BENCHMARK(BM_FileThroughput)->Args({64, 0})->Args({64, 1})->Args({64, 5})->Args({1024, 0})
    ->Unit(benchmark::kMillisecond)->Iterations(1);
