// relay_load: load test of tovik-relay on loopback.
//
//   relay_load [pcs=10000] [pairs=4] [seconds=5]
//
// 1. Registers `pcs` simulated PCs (handshake + HELLO, each on its own UDP socket), then sends
//    every PC's HELLO once per 20 s for `seconds` and reports the relay thread's CPU use.
// 2. Streams 1,239-byte 0x14 packets through `pairs` relayed pairs and reports forwarded packets
//    per second, against the same load through a bare recvmmsg/sendmmsg forwarder written here,
//    the physical limit of this machine. The two alternate in 0.5 s rounds over `seconds` each, so a
//    change in the machine's other load hits both alike; the medians of the rounds are reported.
//    Targets: relay >= 70 % of bare, CPU < 5 % at 10,000 PCs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "TovikRelayServer.h"
#include "crypto/TovikCrypto.h"
#include "net/TovikWire.h"

using namespace tovik;

namespace {

constexpr std::size_t kPacket = 1239;
constexpr int kBatch = 64;

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ThreadCpu(pthread_t t) {
  clockid_t id;
  pthread_getcpuclockid(t, &id);
  timespec ts{};
  clock_gettime(id, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

sockaddr_in Loop(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

int UdpSocket(std::uint16_t connectTo) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int buf = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
  if (connectTo) {
    const sockaddr_in a = Loop(connectTo);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
  }
  return fd;
}

std::optional<TBytes> Recv(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return std::nullopt;
  TBytes b(4096);
  const ssize_t n = ::recv(fd, b.data(), b.size(), 0);
  if (n <= 0) return std::nullopt;
  b.resize(static_cast<std::size_t>(n));
  return b;
}

struct TSimPc {
  int Fd = -1;
  std::unique_ptr<TSecureChannel> Channel;
  std::string ID, Key;
};

// Handshake and HELLO; the relay's signature is not checked here (the tests do that).
bool Register(TSimPc& pc, std::uint16_t relayPort) {
  pc.Fd = UdpSocket(relayPort);
  TEcdhKey ecdh;
  const TBytes random = RandomBytes(16);
  TBytes hello{kWireClientHello, kWireVersion};
  Append(hello, ecdh.Public());
  Append(hello, random);
  for (int attempt = 0; attempt < 5 && !pc.Channel; ++attempt) {
    ::send(pc.Fd, hello.data(), hello.size(), 0);
    auto reply = Recv(pc.Fd, 1000);
    if (!reply || reply->size() != kHandshakeReplySize) continue;
    const TRelayKeys keys = DeriveRelayKeys(ecdh.SharedSecret(TByteView(*reply).subspan(2, 64)), random);
    pc.Channel = std::make_unique<TSecureChannel>(kWireSealed, keys.C2S, keys.S2C, 1, 2);
  }
  if (!pc.Channel) return false;
  pc.Key = BytesToHex(PeerCommitment(ecdh.Public()));  // HELLO and CONNECT carry the commitment
  const TBytes line = pc.Channel->Seal(BytesOf("HELLO 0 127.0.0.1 40000 " + pc.Key + " 127.0.0.1 0"));
  ::send(pc.Fd, line.data(), line.size(), 0);
  for (int i = 0; i < 4; ++i) {
    auto d = Recv(pc.Fd, 1000);
    TBytes plain;
    if (d && pc.Channel->Open(*d, plain) && plain.size() > 12 && plain[0] == 'I') {
      pc.ID = std::string(plain.begin() + 3, plain.begin() + 12);
      return true;
    }
  }
  return false;
}

void Drain(int fd) {
  std::uint8_t buf[4096];
  while (::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
  }
}

// Streams through forwarders for `seconds`: each pair sends from A; packets arrive at B.
// Closed loop with a window per pair so that socket buffers do not overflow.
double Stream(std::vector<int>& senders, std::vector<int>& receivers, std::uint16_t viaPort, double seconds,
              const std::vector<TBytes>& packets) {
  const std::size_t pairs = senders.size();
  const sockaddr_in via = Loop(viaPort);
  std::vector<long> inFlight(pairs, 0);
  std::vector<double> lastRx(pairs, Seconds());
  const long window = 512;
  mmsghdr msgs[kBatch]{};
  iovec iov[kBatch]{};
  std::vector<std::uint8_t> rbuf(kBatch * 2048);
  long received = 0;
  const double start = Seconds();
  double now = start;
  while ((now = Seconds()) - start < seconds) {
    for (std::size_t p = 0; p < pairs; ++p) {
      const long room = std::min<long>(kBatch, window - inFlight[p]);
      if (room > 0) {
        for (int i = 0; i < room; ++i) {
          iov[i] = {const_cast<std::uint8_t*>(packets[p].data()), packets[p].size()};
          msgs[i] = {};
          msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&via);
          msgs[i].msg_hdr.msg_namelen = sizeof(via);
          msgs[i].msg_hdr.msg_iov = &iov[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(senders[p], msgs, static_cast<unsigned>(room), MSG_DONTWAIT);
        if (n > 0) inFlight[p] += n;
      }
      for (int i = 0; i < kBatch; ++i) {
        iov[i] = {rbuf.data() + i * 2048, 2048};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const int got = ::recvmmsg(receivers[p], msgs, kBatch, MSG_DONTWAIT, nullptr);
      if (got > 0) {
        received += got;
        inFlight[p] = std::max<long>(0, inFlight[p] - got);
        lastRx[p] = now;
      } else if (now - lastRx[p] > 0.02) {
        inFlight[p] = 0;  // lost packets: open the window again
        lastRx[p] = now;
      }
    }
  }
  return double(received) / (now - start);
}

// The physical limit: a bare forwarder that passes each datagram from a sender's port to its
// partner's port with recvmmsg/sendmmsg and nothing else.
struct TBareForwarder {
  int Fd = UdpSocket(0);
  std::uint16_t Port = 0;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> Routes;  // sender port -> receiver port
  std::atomic<bool> Stop{false};

  TBareForwarder() {
    sockaddr_in a = Loop(0);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  void Run() {
    std::vector<std::uint8_t> buf(kBatch * 2048);
    mmsghdr in[kBatch]{}, out[kBatch]{};
    iovec iin[kBatch]{}, iout[kBatch]{};
    sockaddr_in from[kBatch]{}, to[kBatch]{};
    while (!Stop.load(std::memory_order_relaxed)) {
      pollfd p{Fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      for (int i = 0; i < kBatch; ++i) {
        iin[i] = {buf.data() + i * 2048, 2048};
        in[i] = {};
        in[i].msg_hdr.msg_name = &from[i];
        in[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        in[i].msg_hdr.msg_iov = &iin[i];
        in[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(Fd, in, kBatch, MSG_DONTWAIT, nullptr);
      int k = 0;
      for (int i = 0; i < n; ++i) {
        const std::uint16_t src = ntohs(from[i].sin_port);
        for (const auto& [s, d] : Routes) {
          if (s != src) continue;
          to[k] = Loop(d);
          iout[k] = {iin[i].iov_base, in[i].msg_len};
          out[k] = {};
          out[k].msg_hdr.msg_name = &to[k];
          out[k].msg_hdr.msg_namelen = sizeof(sockaddr_in);
          out[k].msg_hdr.msg_iov = &iout[k];
          out[k].msg_hdr.msg_iovlen = 1;
          ++k;
        }
      }
      if (k > 0) ::sendmmsg(Fd, out, static_cast<unsigned>(k), 0);
    }
  }
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  const int pcs = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int pairs = argc > 2 ? std::atoi(argv[2]) : 4;
  const double seconds = argc > 3 ? std::atof(argv[3]) : 5.0;

  TMemoryRelayStore store;
  const TEcdsaKey key = TEcdsaKey::CreateNew();
  TRelayConfig cfg;
  cfg.HandshakesPerIPPer10s = 1'000'000;  // every simulated PC comes from 127.0.0.1
  cfg.HandshakesPerSecond = 1'000'000;
  cfg.MaxSessionsPerIP = 1'000'000;
  TRelayCore core(cfg, store, key);
  TRelayServerOptions opt;
  opt.Listen = "127.0.0.1";
  opt.UdpPort = 0;
  TRelayServer server(opt, core, nullptr);
  std::string err;
  if (!server.Open(err)) {
    std::fprintf(stderr, "relay_load: %s\n", err.c_str());
    return 1;
  }
  std::thread relay([&] { server.Run(); });
  const std::uint16_t relayPort = server.UdpPort();

  // 1. Registration and the steady HELLO load.
  std::vector<TSimPc> sims(static_cast<std::size_t>(pcs));
  const double regStart = Seconds();
  int registered = 0;
  for (auto& pc : sims) registered += Register(pc, relayPort) ? 1 : 0;
  const double regTime = Seconds() - regStart;
  std::printf("registered %d of %d PCs in %.1f s (relay holds %zu)\n", registered, pcs, regTime,
              core.Stats().Registered);

  const double cpu0 = ThreadCpu(relay.native_handle());
  const double t0 = Seconds();
  const double interval = 20.0 / std::max(1, pcs);  // each PC once per 20 s
  std::size_t next = 0;
  long hellos = 0;
  while (Seconds() - t0 < seconds) {
    const double due = t0 + double(hellos) * interval;
    if (Seconds() < due) {
      for (auto& pc : sims)
        if (pc.Fd >= 0 && (&pc - sims.data()) % 97 == long(hellos % 97)) Drain(pc.Fd);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    TSimPc& pc = sims[next];
    next = (next + 1) % sims.size();
    ++hellos;
    if (!pc.Channel) continue;
    const TBytes line = pc.Channel->Seal(BytesOf("HELLO " + pc.ID + " 127.0.0.1 40000 " + pc.Key + " 127.0.0.1 0"));
    ::send(pc.Fd, line.data(), line.size(), 0);
  }
  const double wall = Seconds() - t0;
  const double cpu = ThreadCpu(relay.native_handle()) - cpu0;
  std::printf("steady HELLO load: %ld HELLO in %.1f s (%.0f/s), relay thread CPU %.2f %% of one core, "
              "registered held %zu\n",
              hellos, wall, double(hellos) / wall, 100.0 * cpu / wall, core.Stats().Registered);

  // 2. Streaming through relayed pairs: the first 2*pairs PCs become pairs.
  std::vector<int> senders, receivers;
  std::vector<TBytes> packets;
  for (int p = 0; p < pairs && 2 * p + 1 < registered; ++p) {
    TSimPc& a = sims[static_cast<std::size_t>(2 * p)];
    TSimPc& b = sims[static_cast<std::size_t>(2 * p + 1)];
    const TBytes line = a.Channel->Seal(BytesOf("CONNECT " + b.ID + " 127.0.0.1 40000 " + a.Key));
    ::send(a.Fd, line.data(), line.size(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Drain(a.Fd);
    Drain(b.Fd);
    senders.push_back(a.Fd);
    receivers.push_back(b.Fd);
    TBytes pkt(kPacket, 0x5A);
    pkt[0] = kWireForward;
    pkt[1] = 0xC0;
    packets.push_back(pkt);
  }
  // Bare forwarder over fresh unconnected sockets, alive beside the relay; each waits in poll while
  // the other one streams.
  TBareForwarder bare;
  std::vector<int> bs, br;
  for (std::size_t p = 0; p < senders.size(); ++p) {
    bs.push_back(UdpSocket(0));
    br.push_back(UdpSocket(0));
    sockaddr_in a = Loop(0);
    ::bind(bs.back(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::bind(br.back(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    bare.Routes.push_back({LocalPort(bs.back()), LocalPort(br.back())});
  }
  std::thread bareThread([&] { bare.Run(); });

  // Sockets are connected to the relay; the stream sends with an explicit address.
  const int rounds = std::max(1, static_cast<int>(2 * seconds + 0.5));
  const double roundSeconds = seconds / rounds;
  std::vector<double> relayRates, bareRates, ratios;
  const std::uint64_t fwd0 = core.Stats().Forwarded;
  for (int r = 0; r < rounds; ++r) {
    relayRates.push_back(Stream(senders, receivers, relayPort, roundSeconds, packets));
    for (int fd : receivers) Drain(fd);
    bareRates.push_back(Stream(bs, br, bare.Port, roundSeconds, packets));
    for (int fd : br) Drain(fd);
    ratios.push_back(relayRates.back() / bareRates.back());
  }
  const std::uint64_t fwd = core.Stats().Forwarded - fwd0;
  bare.Stop = true;
  bareThread.join();
  server.RequestStop();
  relay.join();

  std::printf("forwarding %zu pairs, %zu-byte packets, %d rounds of %.1f s each: relay %.0f packets/s "
              "(counted %llu), bare forwarder %.0f packets/s, relay/bare %.1f %% (median of the rounds' ratios; "
              "range %.1f to %.1f %%)\n",
              senders.size(), kPacket, rounds, roundSeconds, Median(relayRates),
              static_cast<unsigned long long>(fwd), Median(bareRates), 100.0 * Median(ratios),
              100.0 * *std::min_element(ratios.begin(), ratios.end()),
              100.0 * *std::max_element(ratios.begin(), ratios.end()));
  for (auto& pc : sims)
    if (pc.Fd >= 0) ::close(pc.Fd);
  for (int fd : bs) ::close(fd);
  for (int fd : br) ::close(fd);
  return 0;
}
