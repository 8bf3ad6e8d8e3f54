// Receive path of the network client: sealed peer packets (1200-byte frame chunks) pushed into the
// receive queue as the listener thread does, then drained by RxTick through DispatchPacket, opened
// with the peer channel and handed to OnData. Items per second = datagrams per second; the CPU column
// is the cost on the client's thread.
#include <benchmark/benchmark.h>

#include <memory>

#include "net/TovikNet.h"
#include "tests/support/NullNetBackend.h"

using namespace tovik;

namespace {

void BM_NetRxSealedPeerPackets(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const bool viaRelay = state.range(1) != 0;
  TNullBackend backend;
  constexpr TTick now = 1'000'000;
  TTovikClient client(backend, "203.0.113.1", 47800, "");
  client.Start(now);
  client.HandleServerLine("ID 111111111 600", now);
  TEcdhKey partner;
  const TBytes mine = client.PeerPublicKey();
  const TPeerKeys k = DerivePeerKeys(partner.SharedSecret(mine), partner.Public(), mine);
  TSecureChannel chan(0xC0, k.SendKey, k.RecvKey, k.SendLabel, k.RecvLabel);
  client.HandleServerLine("PEER 198.51.100.2 5000 192.168.2.10 5000 " + BytesToHex(partner.Public()) +
                              " 222222222 - U",
                          now);
  const std::string ip = viaRelay ? "203.0.113.1" : "198.51.100.2";
  const std::uint16_t port = viaRelay ? 47800 : 5000;
  auto wrap = [&](TBytes sealed) {
    if (!viaRelay) return sealed;
    TBytes r{0x14};
    Append(r, sealed);
    return r;
  };
  client.DispatchPacket(TRxPacket{wrap(chan.Seal(BytesOf("PUNCH 222222222"))), ip, port}, now);
  if (client.State() != rsConnected) {
    state.SkipWithError("link did not come up");
    return;
  }
  std::size_t delivered = 0;
  client.OnData = [&](TByteView d) { delivered += d.size(); };
  TBytes plain(size, 0x5A);
  plain[0] = 0x81;
  constexpr int KBatch = 256;
  std::vector<TBytes> batch(KBatch);
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& b : batch) b = wrap(chan.Seal(plain));
    state.ResumeTiming();
    for (auto& b : batch) client.RxSink().PushRx(TRxPacket{std::move(b), ip, port});
    client.RxTick(now);
  }
  if (delivered != static_cast<std::size_t>(state.iterations()) * KBatch * size)
    state.SkipWithError("packets were lost");
  state.SetItemsProcessed(state.iterations() * KBatch);
  state.SetBytesProcessed(state.iterations() * KBatch * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_NetRxSealedPeerPackets)->Args({1200, 0})->Args({1200, 1})->Args({64, 0});

}  // namespace
