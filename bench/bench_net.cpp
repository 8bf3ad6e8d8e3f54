// Send and receive paths of the network client. Receive: sealed peer packets (1200-byte frame
// chunks) pushed into the receive queue as the listener thread does, then drained by RxTick through
// DispatchPacket, opened with the peer channel and handed to OnData; items per second = datagrams per
// second, the CPU column is the cost on the client's thread. Send and receive of one screen update
// further down.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "net/TovikFrames.h"
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
  client.HandleServerLine("PEER 198.51.100.2 5000 192.168.2.10 5000 " +
                              BytesToHex(PeerCommitment(partner.Public())) + " 222222222 - U",
                          now);
  client.HandleServerLine("REVEAL 222222222 " + BytesToHex(partner.Public()), now);
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

// One 600 KB screen update through the whole send path of the client: the frame sender cuts it into
// chunk packets, each is sealed with the peer channel and handed to the socket (a socket that drops
// everything, or a real UDP socket sending to a loopback port nobody reads). Items per second = packets.
// Args: via the relay (0/1), real socket (0/1).
struct TLinkedClient {
  TNullBackend Null;
  std::unique_ptr<INetBackend> Posix;
  std::unique_ptr<TTovikClient> Client;
  std::unique_ptr<TSecureChannel> Partner;  // the other end of the peer channel
  std::string IP;
  std::uint16_t Port = 0;
  bool ViaRelay = false;

  bool Up(bool AViaRelay, bool ARealSocket, std::uint16_t ASinkPort) {
    ViaRelay = AViaRelay;
    constexpr TTick now = 1'000'000;
    INetBackend* backend = &Null;
    if (ARealSocket) {
      Posix = INetBackend::Create();
      backend = Posix.get();
    }
    Client = std::make_unique<TTovikClient>(*backend, "127.0.0.1", AViaRelay ? ASinkPort : 47800, "");
    Client->Start(now);
    Client->HandleServerLine("ID 111111111 600", now);
    TEcdhKey partner;
    const TBytes mine = Client->PeerPublicKey();
    const TPeerKeys k = DerivePeerKeys(partner.SharedSecret(mine), partner.Public(), mine);
    Partner = std::make_unique<TSecureChannel>(0xC0, k.SendKey, k.RecvKey, k.SendLabel, k.RecvLabel);
    const std::string peerPort = std::to_string(AViaRelay ? 5000 : ASinkPort);
    Client->HandleServerLine("PEER 127.0.0.2 " + peerPort + " 127.0.0.2 " + peerPort + " " +
                                 BytesToHex(PeerCommitment(partner.Public())) + " 222222222 - U",
                             now);
    Client->HandleServerLine("REVEAL 222222222 " + BytesToHex(partner.Public()), now);
    IP = AViaRelay ? "127.0.0.1" : "127.0.0.2";
    Port = AViaRelay ? ASinkPort : ASinkPort;
    Client->DispatchPacket(TRxPacket{Wrap(Partner->Seal(BytesOf("PUNCH 222222222"))), IP, Port}, now);
    return Client->State() == rsConnected;
  }
  TBytes Wrap(TBytes ASealed) const {
    if (!ViaRelay) return ASealed;
    TBytes r{0x14};
    Append(r, ASealed);
    return r;
  }
};

// A UDP socket bound on loopback that is never read: the sends' sink.
struct TSinkSocket {
  int Fd = -1;
  std::uint16_t Port = 0;
  TSinkSocket() {
    Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  ~TSinkSocket() { ::close(Fd); }
  void Drain() {
    std::uint8_t buf[2048];
    while (::recv(Fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {}
  }
};

TBytes UpdateBlob(std::size_t n) {
  TBytes b(n);
  std::uint32_t x = 12345;
  for (auto& v : b) v = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  return b;
}

void BM_NetTxFrameUpdate(benchmark::State& state) {
  TSinkSocket sink;
  TLinkedClient link;
  if (!link.Up(state.range(0) != 0, state.range(1) != 0, sink.Port)) {
    state.SkipWithError("link did not come up");
    return;
  }
  const TBytes blob = UpdateBlob(600 * 1000);
  TFrameWindowSender sender;
  sender.SetLegacy(false);
  std::size_t packets = 0;
  for (auto _ : state) {
    sender.Start(blob, 0);
    for (auto p = sender.NextPackets(64, 0); !p.empty(); p = sender.NextPackets(64, 0)) {
      link.Client->SendDataBatch(p);
      packets += p.size();
    }
    sender.Cancel();
    state.PauseTiming();
    sink.Drain();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(packets));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * blob.size()));
}
BENCHMARK(BM_NetTxFrameUpdate)->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1})->Unit(benchmark::kMicrosecond);

// The receive side of the same update: its sealed chunk packets pushed into the receive queue as the
// listener thread does, drained by RxTick, opened, and assembled by the windowed frame receiver.
void BM_NetRxFrameUpdate(benchmark::State& state) {
  TLinkedClient link;
  if (!link.Up(state.range(0) != 0, false, 47800)) {
    state.SkipWithError("link did not come up");
    return;
  }
  const TBytes blob = UpdateBlob(600 * 1000);
  TFrameWindowReceiver receiver;
  TBytes reply;
  std::size_t delivered = 0;
  link.Client->OnData = [&](TByteView d) {
    for (auto& f : receiver.HandleChunk(d, reply, 0)) delivered += f.size();
  };
  TFrameWindowSender sender;
  sender.SetLegacy(false);
  std::size_t packets = 0;
  std::vector<TBytes> sealed;
  for (auto _ : state) {
    state.PauseTiming();
    sealed.clear();
    sender.Start(blob, 0);
    for (auto p = sender.NextPackets(64, 0); !p.empty(); p = sender.NextPackets(64, 0))
      for (auto& c : p) sealed.push_back(link.Wrap(link.Partner->Seal(c)));
    sender.Cancel();
    state.ResumeTiming();
    for (auto& s : sealed) {
      link.Client->RxSink().PushRx(TRxPacket{std::move(s), link.IP, link.Port});
      if (link.Client->RxQueued().first >= KRxTickMaxPackets) link.Client->RxTick(1'000'000);
    }
    while (link.Client->RxQueued().first > 0) link.Client->RxTick(1'000'000);
    packets += sealed.size();
  }
  if (delivered != static_cast<std::size_t>(state.iterations()) * blob.size())
    state.SkipWithError("frames were lost");
  state.SetItemsProcessed(static_cast<std::int64_t>(packets));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * blob.size()));
}
BENCHMARK(BM_NetRxFrameUpdate)->Args({0})->Args({1})->Unit(benchmark::kMicrosecond);

}  // namespace
