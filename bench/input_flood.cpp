// tovik-input-flood: a hostile helper for measurements. It connects to a helped PC through the relay
// like a helper's program, and then sends input packets as fast as it can: full packets of new events,
// in bursts every millisecond, each burst starting again after the last event the helped PC
// acknowledged (so every packet the helped PC can take brings new events). It answers nothing else:
// no frames are acknowledged and no window is shown. Used by scripts/measure-stop.
//
//   tovik-input-flood --relay HOST:PORT --relay-key HEX --connect ID [--seconds N] [--burst N]
//                     [--events N] [--kind move|key|click|mix|none] [--width W --height H]
//
// --events is the number of events per packet (1..255; a helper's program puts at most 90 in one),
// --burst the packets per millisecond; --kind mix (the default) sends pointer moves and keys, none
// sends nothing (a quiet helper, for comparison). Clicks are a kind of their own: the buttons of the
// injected pointer are the buttons of the screen's pointer, so a helper holding one down takes the
// person's clicks (Stop's too) whatever the program does; the measurement leaves them out. Prints "CONNECTED", then "SENT <packets> <events> ACKED <n>"
// at the end. Exit code 0 when the link came up.

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "base/TovikTimed.h"
#include "net/TovikFrames.h"
#include "net/TovikNet.h"
#include "net/tools/TovikTimedLoop.h"

using namespace tovik;

namespace {

volatile sig_atomic_t GStop = 0;
void OnSignal(int) { GStop = 1; }

struct TOptions {
  std::string RelayHost, RelayKey, ConnectID, Kind = "mix";
  std::uint16_t RelayPort = 0;
  std::uint64_t Seconds = 30, Burst = 64, Events = kMaxInputEvents, Width = 1024, Height = 640;
};

bool ParseArgs(int argc, char** argv, TOptions& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    auto number = [&](std::uint64_t& out, std::uint64_t max) {
      const auto n = ParseDecimal(v, max);
      if (!n || *n == 0) return false;
      out = *n;
      return true;
    };
    if (a == "--relay") {
      const auto colon = v.rfind(':');
      if (colon == std::string::npos) return false;
      const auto port = ParseDecimal(std::string_view(v).substr(colon + 1), 65535);
      if (!port) return false;
      o.RelayHost = v.substr(0, colon);
      o.RelayPort = static_cast<std::uint16_t>(*port);
    } else if (a == "--relay-key") {
      o.RelayKey = v;
    } else if (a == "--connect") {
      o.ConnectID = v;
    } else if (a == "--kind") {
      if (v != "move" && v != "key" && v != "click" && v != "mix" && v != "none") return false;
      o.Kind = v;
    } else if (!((a == "--seconds" && number(o.Seconds, 3600)) || (a == "--burst" && number(o.Burst, 100000)) ||
                 (a == "--events" && number(o.Events, 255)) || (a == "--width" && number(o.Width, 32767)) ||
                 (a == "--height" && number(o.Height, 32767)))) {
      return false;
    }
  }
  return !o.RelayHost.empty() && o.RelayPort && IsPartnerID(o.ConnectID);
}

// The flood: one burst of packets every millisecond while the link is up; the end after --seconds.
class TFlood final : public ITimedObject {
 public:
  TFlood(TTovikClient& AClient, const TOptions& AOpt, TTimedLoop& ALoop) : FClient(AClient), FOpt(AOpt), FLoop(ALoop) {}

  TTick NextDeadline() const override { return FBegun ? std::min(FBurst.Due(), FEnd) : 0; }
  void HandleTimeout(TTick ANow) override {
    if (!FBegun) {
      FBegun = true;
      FEnd = ANow + FOpt.Seconds * 1000;
      FBurst.Start(ANow);
      FClient.Start(ANow);
    }
    if (FBurst.Fire(ANow) && FUp && FOpt.Kind != "none") SendBurst();
    if (FClient.RelaySecure() && !FUp && ANow >= FAskDue && FClient.State() == rsRegistered) {
      FAskDue = ANow + 1000;  // asked again while no link came up
      FClient.ConnectTo(FOpt.ConnectID);
    }
    if (GStop || ANow >= FEnd || FDown) FLoop.Stop();
  }

  void Up() { FUp = true; }
  void Down() { FDown = true; }
  void Ack(TByteView AData) {
    if (AData.size() >= 5 && AData[0] == pkInputAck) FAcked = std::max(FAcked, GetU32LE(AData.data() + 1));
  }
  std::uint64_t Packets = 0, Events = 0;
  std::uint32_t Acked() const { return FAcked; }

 private:
  TInputEvent Event(std::uint32_t ASeq) {
    TInputEvent e;
    e.Seq = ASeq;
    const std::string& k = FOpt.Kind;
    const int pick = k == "move" ? 0 : k == "key" ? 1 : k == "click" ? 2 : static_cast<int>(ASeq / 2 % 2);
    switch (pick) {
      case 0:  // anywhere on the screen
        e.Kind = ikMove;
        e.X = static_cast<std::int16_t>(FRng() % FOpt.Width);
        e.Y = static_cast<std::int16_t>(FRng() % FOpt.Height);
        break;
      case 1:  // Shift down and up: harmless wherever the keys go
        e.Kind = ASeq % 2 ? ikKeyDown : ikKeyUp;
        e.Data = 0x10;
        break;
      default:  // left clicks on the desktop's bottom left corner
        e.Kind = ASeq % 2 ? ikButtonDown : ikButtonUp;
        e.X = 2;
        e.Y = static_cast<std::int16_t>(FOpt.Height - 2);
        break;
    }
    return e;
  }

  void SendBurst() {
    std::uint32_t seq = FAcked + 1;
    TBytes p;
    for (std::uint64_t b = 0; b < FOpt.Burst && FClient.State() == rsConnected; ++b) {
      p.clear();
      p.push_back(pkInput);
      p.push_back(static_cast<std::uint8_t>(FOpt.Events));
      for (std::uint64_t i = 0; i < FOpt.Events; ++i) PutInputEvent(p, Event(seq++));
      FClient.SendData(p);
      ++Packets;
      Events += FOpt.Events;
    }
  }

  TTovikClient& FClient;
  const TOptions& FOpt;
  TTimedLoop& FLoop;
  TPeriodicTick FBurst{1};
  TTick FEnd = kNoDeadline;
  bool FBegun = false, FUp = false, FDown = false;
  TTick FAskDue = 0;
  std::uint32_t FAcked = 0;
  std::mt19937 FRng{7};
};

}  // namespace

int main(int argc, char** argv) {
  TOptions opt;
  if (!ParseArgs(argc, argv, opt)) {
    std::fputs("Usage: tovik-input-flood --relay HOST:PORT --relay-key HEX --connect ID [--seconds N] [--burst N]\n"
               "                         [--events N] [--kind move|key|click|mix|none] [--width W --height H]\n",
               stderr);
    return 2;
  }
  StopOnSignals(OnSignal);

  std::unique_ptr<INetBackend> backend = INetBackend::Create();
  TTimedLoop loop;
  auto client = std::make_unique<TTovikClient>(*backend, opt.RelayHost, opt.RelayPort, opt.RelayKey);
  client->SetRxWake([&loop] { loop.Wake(); });
  TFlood flood(*client, opt, loop);
  bool linked = false;
  client->OnConnected = [&] {
    linked = true;
    flood.Up();
    std::puts("CONNECTED");
    std::fflush(stdout);
  };
  client->OnDisconnected = [&] { flood.Down(); };
  client->OnData = [&](TByteView d) { flood.Ack(d); };
  loop.Add(*client);
  loop.Add(flood);
  loop.Run();
  std::printf("SENT %llu %llu ACKED %u\n", static_cast<unsigned long long>(flood.Packets),
              static_cast<unsigned long long>(flood.Events), flood.Acked());
  client.reset();
  return linked ? 0 : 1;
}
