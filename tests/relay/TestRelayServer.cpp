// The relay on real loopback sockets: the server object in this process, and the tovik-relay
// program itself, each spoken to over UDP and over TCP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "RelayTestClient.h"
#include "base/TovikClock.h"
#include "base/TovikFiles.h"
#include "tests/support/RelayProcess.h"
#include "records/TovikFeedback.h"
#include "records/TovikSessionReport.h"
#include "TovikRelayServer.h"

namespace tovik::test {
namespace {

using TPump = std::function<void()>;
constexpr int kWaitMs = 5000;

sockaddr_in Loopback(std::uint16_t port, std::uint32_t ip = INADDR_LOOPBACK) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ip);
  a.sin_port = htons(port);
  return a;
}

// One PC on the wire: UDP or TCP, with the datagrams it received.
class TWirePc {
 public:
  // `relayIP`: the relay address to talk to. A connected UDP socket takes datagrams only from it.
  TWirePc(bool tcp, std::uint16_t port, TPump pump, std::uint32_t relayIP = INADDR_LOOPBACK)
      : FTcp(tcp), FPump(std::move(pump)) {
    FFd = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    const sockaddr_in a = Loopback(port, relayIP);
    if (tcp) {
      // Non-blocking connect so that an in-process server can accept while we wait.
      ::fcntl(FFd, F_SETFL, O_NONBLOCK);
      ::connect(FFd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
      for (int i = 0; i < 500; ++i) {
        pollfd p{FFd, POLLOUT, 0};
        if (FPump) FPump();
        if (::poll(&p, 1, 10) > 0) break;
      }
      ::fcntl(FFd, F_SETFL, 0);
    } else {
      ::connect(FFd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    }
  }
  ~TWirePc() { ::close(FFd); }

  void Send(TByteView d) {
    if (FTcp) {
      const TBytes f = Framed(d);
      ASSERT_EQ(::send(FFd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
    } else {
      ASSERT_EQ(::send(FFd, d.data(), d.size(), 0), static_cast<ssize_t>(d.size()));
    }
  }
  void SendRawStream(TByteView d) { ::send(FFd, d.data(), d.size(), MSG_NOSIGNAL); }

  // The next datagram, or nullopt after kWaitMs; `closed` is set when a TCP stream ended.
  std::optional<TBytes> Recv(bool* closed = nullptr) {
    for (int waited = 0; waited < kWaitMs; waited += 10) {
      TBytes out;
      if (FTcp && FDecoder.Next(out) == TFrameDecoder::TResult::frFrame) return out;
      if (FPump) FPump();
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      std::uint8_t buf[70000];
      const ssize_t n = ::recv(FFd, buf, sizeof(buf), 0);
      if (n <= 0) {
        if (FTcp && closed) *closed = true;
        if (FTcp) return std::nullopt;
        continue;
      }
      if (!FTcp) return TBytes(buf, buf + n);
      FDecoder.Feed(TByteView(buf, static_cast<std::size_t>(n)));
    }
    return std::nullopt;
  }

  std::optional<std::string> RecvLine() {
    for (int i = 0; i < 20; ++i) {
      auto d = Recv();
      if (!d) return std::nullopt;
      if (auto line = C.Open(*d)) return line;
    }
    return std::nullopt;
  }

  // The next line starting with `prefix`, skipping others (PORTS, BRAND).
  std::optional<std::string> RecvLineWith(const std::string& prefix) {
    for (int i = 0; i < 5; ++i) {
      auto line = RecvLine();
      if (!line || line->rfind(prefix, 0) == 0) return line;
    }
    return std::nullopt;
  }

  // Handshake and HELLO (with the ID it claims); returns the ID the relay gave.
  std::string Register(const std::string& id = "0") {
    Send(C.Hello());
    auto reply = Recv();
    EXPECT_TRUE(reply && C.Accept(*reply));
    if (!C.FChannel) return {};
    Send(C.Line("HELLO " + id + " 127.0.0.1 40000 " + C.CommitHex() + " 127.0.0.1 0"));
    for (int i = 0; i < 5; ++i) {
      auto line = RecvLine();
      if (line && line->rfind("ID ", 0) == 0) return line->substr(3, 9);
    }
    return {};
  }

  TRelayTestClient C;
  bool Tcp() const { return FTcp; }

 private:
  bool FTcp;
  TPump FPump;
  int FFd = -1;
  TFrameDecoder FDecoder;
};

// Pairs two PCs (A asks for B) and checks PEER lines, relay marks and relayed packets both ways.
void PairAndRelay(TWirePc& a, TWirePc& b) {
  const std::string aID = a.Register();
  const std::string bID = b.Register();
  ASSERT_EQ(aID.size(), 9u);
  ASSERT_EQ(bID.size(), 9u);
  a.Send(a.C.Line("CONNECT " + bID + " 127.0.0.1 40000 " + a.C.CommitHex()));
  auto peerAtA = a.RecvLineWith("PEER ");
  auto peerAtB = b.RecvLineWith("PEER ");
  ASSERT_TRUE(peerAtA && peerAtB);
  EXPECT_EQ(peerAtA->rfind("PEER 127.0.0.1 ", 0), 0u) << *peerAtA;
  EXPECT_EQ(peerAtA->substr(peerAtA->size() - 13), bID + " - " + (b.Tcp() ? "T" : "U"));
  EXPECT_EQ(peerAtB->substr(peerAtB->size() - 13), aID + " - " + (a.Tcp() ? "T" : "U"));

  TBytes packet(1239, 0x42);
  packet[0] = kWireForward;
  packet[1] = 0xC0;
  a.Send(packet);
  EXPECT_EQ(b.Recv(), packet);
  packet[5] = 0x99;
  b.Send(packet);
  EXPECT_EQ(a.Recv(), packet);
}

// Writes AText to the file APath; false when it cannot.
bool WriteProcFile(const char* APath, const std::string& AText) {
  const int fd = ::open(APath, O_WRONLY);
  if (fd < 0) return false;
  const bool ok = ::write(fd, AText.data(), AText.size()) == static_cast<ssize_t>(AText.size());
  ::close(fd);
  return ok;
}

// Enters a user namespace (mapping this user to root in it) together with a network namespace, so
// that no privilege is needed; a plain network namespace when user namespaces are not allowed
// (enough when running as root).
bool EnterNetNamespace() {
  const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
    WriteProcFile("/proc/self/setgroups", "deny");
    return WriteProcFile("/proc/self/uid_map", "0 " + uid + " 1") &&
           WriteProcFile("/proc/self/gid_map", "0 " + gid + " 1");
  }
  return ::unshare(CLONE_NEWNET) == 0;
}

// Runs `body` in a child process inside a network namespace of its own with only loopback up, so
// that a server may bind 0.0.0.0 without being reachable from anywhere else. The namespace is made
// inside a user namespace, so this runs without root; it skips only where the kernel allows
// neither.
void InOwnNetNamespace(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!EnterNetNamespace()) ::_exit(77);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 &&
                    (ifr.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
    if (fd >= 0) ::close(fd);
    if (!up) ::_exit(77);
    body();
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot make a network namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the failures printed by the child above";
}

TEST(RelayServer, ServesUdpAndTcpInProcess) {
  TMemoryRelayStore store;
  const TEcdsaKey key = TEcdsaKey::CreateNew();
  TRelayCore core(TRelayConfig{}, store, key);
  TRelayServerOptions opt;
  opt.Listen = "127.0.0.1";
  opt.UdpPort = 0;
  opt.TcpPorts = {0};
  TRelayServer server(opt, core, nullptr);
  std::string err;
  ASSERT_TRUE(server.Open(err)) << err;
  ASSERT_EQ(server.TcpPorts().size(), 1u);
  TPump pump = [&] { server.RunOnce(0); };

  TWirePc udp(false, server.UdpPort(), pump);
  TWirePc tcp(true, server.TcpPorts()[0], pump);
  PairAndRelay(udp, tcp);
  EXPECT_EQ(core.Stats().Forwarded, 2u);

  // Relayed packets of different sizes that share one TCP segment each leave as their own datagram,
  // whole and unchanged (the later frames must not overwrite the earlier ones on the way).
  std::vector<TBytes> packets;
  TBytes segment;
  for (std::size_t size : {1239u, 60u, 700u}) {
    TBytes p(size);
    for (std::size_t i = 0; i < size; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + size);
    p[0] = kWireForward;
    Append(segment, Framed(p));
    packets.push_back(std::move(p));
  }
  tcp.SendRawStream(segment);
  for (const TBytes& p : packets) EXPECT_EQ(udp.Recv(), p) << p.size();
  EXPECT_EQ(core.Stats().Forwarded, 5u);
}

// Bound to 0.0.0.0 on a host with several addresses, the relay answers and forwards from the
// address each client sent to: a client of 127.0.0.2 drops datagrams that come from 127.0.0.1.
TEST(RelayServer, AnswersFromTheAddressEachClientSentTo) {
  InOwnNetNamespace([] {
    TMemoryRelayStore store;
    const TEcdsaKey key = TEcdsaKey::CreateNew();
    TRelayCore core(TRelayConfig{}, store, key);
    TRelayServerOptions opt;
    opt.Listen = "0.0.0.0";
    opt.UdpPort = 0;
    TRelayServer server(opt, core, nullptr);
    std::string err;
    ASSERT_TRUE(server.Open(err)) << err;
    TPump pump = [&] { server.RunOnce(0); };

    TWirePc second(false, server.UdpPort(), pump, INADDR_LOOPBACK + 1);
    TWirePc first(false, server.UdpPort(), pump, INADDR_LOOPBACK);
    PairAndRelay(second, first);
    EXPECT_EQ(core.Stats().Forwarded, 2u);
  });
}

TEST(RelayServer, TcpFramingErrorsAndSplitSegments) {
  TMemoryRelayStore store;
  const TEcdsaKey key = TEcdsaKey::CreateNew();
  TRelayCore core(TRelayConfig{}, store, key);
  TRelayServerOptions opt;
  opt.Listen = "127.0.0.1";
  opt.UdpPort = 0;
  opt.TcpPorts = {0};
  TRelayServer server(opt, core, nullptr);
  std::string err;
  ASSERT_TRUE(server.Open(err)) << err;
  TPump pump = [&] { server.RunOnce(0); };

  // A hello written in three pieces is answered once.
  TWirePc split(true, server.TcpPorts()[0], pump);
  const TBytes framed = Framed(split.C.Hello());
  split.SendRawStream(TByteView(framed).subspan(0, 1));
  for (int i = 0; i < 5; ++i) pump();
  split.SendRawStream(TByteView(framed).subspan(1, 40));
  for (int i = 0; i < 5; ++i) pump();
  split.SendRawStream(TByteView(framed).subspan(41));
  auto reply = split.Recv();
  ASSERT_TRUE(reply);
  EXPECT_TRUE(split.C.Accept(*reply));

  // A length of zero closes the connection.
  TWirePc zero(true, server.TcpPorts()[0], pump);
  for (int i = 0; i < 5; ++i) pump();
  EXPECT_EQ(server.Connections(), 2u);
  zero.SendRawStream(TBytes{0, 0});
  bool closed = false;
  EXPECT_FALSE(zero.Recv(&closed));
  EXPECT_TRUE(closed);
  EXPECT_EQ(server.Connections(), 1u);
}

// An in-process server on 127.0.0.1 with one TCP port, for the limit tests below.
struct TLocalServer {
  TMemoryRelayStore Store;
  TEcdsaKey Key = TEcdsaKey::CreateNew();
  TRelayCore Core{TRelayConfig{}, Store, Key};
  std::unique_ptr<TRelayServer> Server;
  explicit TLocalServer(TRelayServerOptions AOptions) {
    AOptions.Listen = "127.0.0.1";
    AOptions.UdpPort = 0;
    AOptions.TcpPorts = {0};
    Server = std::make_unique<TRelayServer>(AOptions, Core, nullptr);
    std::string err;
    EXPECT_TRUE(Server->Open(err)) << err;
  }
  void Pump(int ARounds = 5) {
    for (int i = 0; i < ARounds; ++i) Server->RunOnce(0);
  }
  // A TCP connection from ASource to the server, left in the listener's queue (not yet accepted).
  TFd ConnectFrom(std::uint32_t ASource) const {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    const sockaddr_in from = Loopback(0, ASource);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&from), sizeof(from)), 0);
    const sockaddr_in to = Loopback(Server->TcpPorts().at(0));
    ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    pollfd p{fd.Get(), POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, kWaitMs), 1);  // loopback completes the handshake in the kernel
    return fd;
  }
};

// True when the server closed the connection (end of stream), false when it is still open.
bool ClosedByServer(const TFd& AFd) {
  std::uint8_t b;
  return ::recv(AFd.Get(), &b, 1, MSG_DONTWAIT) == 0;
}

TEST(RelayServer, TcpConnectionsPerAddressAndInTotal) {
  TRelayServerOptions opt;
  opt.MaxConnectionsPerIP = 3;
  opt.MaxConnections = 4;
  TLocalServer s(opt);
  std::vector<TFd> first;
  for (int i = 0; i < 4; ++i) first.push_back(s.ConnectFrom(INADDR_LOOPBACK));
  s.Pump();
  EXPECT_EQ(s.Server->Connections(), 3u);
  EXPECT_EQ(s.Server->Stats().RefusedPerIP, 1u);
  EXPECT_TRUE(ClosedByServer(first[3]));
  EXPECT_FALSE(ClosedByServer(first[2]));
  // Another address still gets in, up to the total.
  TFd other = s.ConnectFrom(INADDR_LOOPBACK + 1);
  TFd third = s.ConnectFrom(INADDR_LOOPBACK + 2);
  s.Pump();
  EXPECT_EQ(s.Server->Connections(), 4u);
  EXPECT_FALSE(ClosedByServer(other));
  EXPECT_TRUE(ClosedByServer(third));
  // A connection that ends makes room for its address again.
  first[0] = TFd();
  s.Pump();
  TFd again = s.ConnectFrom(INADDR_LOOPBACK);
  s.Pump();
  EXPECT_FALSE(ClosedByServer(again));
  EXPECT_EQ(s.Server->Connections(), 4u);
}

TEST(RelayServer, IdleTcpConnectionsCloseAfterTheirTime) {
  TManualClock clock;
  TRelayServerOptions opt;
  opt.ConnIdleMs = 90'000;
  TLocalServer s(opt);
  TFd quiet = s.ConnectFrom(INADDR_LOOPBACK);
  TFd busy = s.ConnectFrom(INADDR_LOOPBACK);
  s.Pump();
  ASSERT_EQ(s.Server->Connections(), 2u);
  clock.Advance(45'000);
  // Any data counts, even a hello with a bad version.
  const TBytes bad = Framed(TBytes{kWireClientHello, 0x7F});
  ASSERT_EQ(::send(busy.Get(), bad.data(), bad.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bad.size()));
  s.Pump();
  clock.Advance(45'000);  // the quiet one has been silent exactly its time
  s.Pump();
  EXPECT_EQ(s.Server->Connections(), 2u);
  clock.Advance(1000);
  s.Pump();
  EXPECT_EQ(s.Server->Connections(), 1u);
  EXPECT_TRUE(ClosedByServer(quiet));
  EXPECT_FALSE(ClosedByServer(busy));
}

// Lowers the descriptor limit so that the next descriptor cannot be made; restores it when it goes.
class TNoMoreDescriptors {
 public:
  TNoMoreDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &FSaved);
    const int lowest = ::dup(0);
    ::close(lowest);
    rlimit low = FSaved;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    ::setrlimit(RLIMIT_NOFILE, &low);
  }
  ~TNoMoreDescriptors() { ::setrlimit(RLIMIT_NOFILE, &FSaved); }

 private:
  rlimit FSaved{};
};

TEST(RelayServer, AcceptBacksOffWhenDescriptorsRunOut) {
  TManualClock clock;
  TRelayServerOptions opt;
  opt.AcceptPauseMs = 100;
  opt.AcceptPauseMaxMs = 200;
  TLocalServer s(opt);
  TFd a = s.ConnectFrom(INADDR_LOOPBACK);
  TFd b = s.ConnectFrom(INADDR_LOOPBACK);
  // The core's first tick (its first purge of the store) runs while descriptors are left: under the
  // sanitizers, their own checks of that call need one.
  TRelayOutput out;
  s.Core.Tick(TickMs(), out);
  {
    TNoMoreDescriptors limit;
    // Without a pause every round would try (and fail) again: the listener stays readable.
    s.Pump(10);
    EXPECT_EQ(s.Server->Stats().AcceptFailures, 1u);
    EXPECT_TRUE(s.Server->Stats().AcceptPaused);
    clock.Advance(99);
    s.Pump();
    EXPECT_EQ(s.Server->Stats().AcceptFailures, 1u);
    // After the pause it tries again, fails again, and waits twice as long (the most allowed).
    clock.Advance(1);
    s.Pump(10);
    EXPECT_EQ(s.Server->Stats().AcceptFailures, 2u);
  }
  clock.Advance(199);
  s.Pump();
  EXPECT_EQ(s.Server->Connections(), 0u);
  EXPECT_TRUE(s.Server->Stats().AcceptPaused);
  clock.Advance(1);
  s.Pump();
  EXPECT_FALSE(s.Server->Stats().AcceptPaused);
  EXPECT_EQ(s.Server->Connections(), 2u);
  EXPECT_EQ(s.Server->Stats().AcceptFailures, 2u);
}

// Queued TCP output: the connection's own budgets and the budget of all connections together, at
// their edges. Sizes include the 2-byte length field.
TEST(RelayQueueBudget, DropsRelayedPacketsAndClosesSlowReaders) {
  TRelayServerOptions opt;
  opt.DroppableOutBytes = 100;
  opt.MaxOutBytes = 200;
  opt.MaxQueuedBytes = 1000;
  using V = TQueueVerdict;
  struct TCase {
    std::size_t Conn, Total, Bytes;
    bool Relayed;
    V Want;
  } cases[] = {
      {90, 500, 10, true, V::qvQueue},     // exactly the connection's relayed budget
      {91, 500, 10, true, V::qvDrop},
      {190, 500, 10, false, V::qvQueue},   // exactly the connection's budget
      {191, 500, 10, false, V::qvClose},
      {50, 990, 10, true, V::qvQueue},     // exactly the total
      {50, 991, 10, true, V::qvDrop},
      {50, 991, 10, false, V::qvClose},    // a line to a connection with a backlog, over the total
      {0, 991, 10, false, V::qvQueue},     // no backlog: it usually leaves at once
      {0, 991, 10, true, V::qvDrop},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(QueueVerdict(opt, c.Conn, c.Total, c.Bytes, c.Relayed), c.Want)
        << c.Conn << " " << c.Total << " " << c.Bytes << " " << c.Relayed;
}

TEST(RelayBinary, RealProgramOnLoopbackOverUdpAndTcp) {
  char tmpl[] = "/tmp/tovik-relay-bin-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  const std::string tcpPort = std::to_string(FreeTcpPort());
  TRelayProcess relay(tmpl, 0, tcpPort);
  ASSERT_NE(relay.UdpPort(), 0) << relay.Log;
  EXPECT_EQ(relay.TcpPort(), tcpPort);
  {
    TWirePc udp(false, relay.UdpPort(), nullptr);
    TWirePc tcp(true, static_cast<std::uint16_t>(std::stoi(tcpPort)), nullptr);
    PairAndRelay(udp, tcp);
    // The relay signs with the key it keeps in its data folder.
    EXPECT_EQ(std::filesystem::status(dir / "relay.key").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  EXPECT_EQ(relay.Stop(), 0);
  std::filesystem::remove_all(dir);
}

// A restart in the middle of a one-time ID's lease: the PC that says HELLO with its ID after the new
// handshake gets it back; once the lease has run out (moved into the past in the stored data while the
// relay is down), a new one.
TEST(RelayBinary, ARestartKeepsOneTimeIDsForTheirLease) {
  char tmpl[] = "/tmp/tovik-relay-lease-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  const std::string tcpPort = std::to_string(FreeTcpPort());
  std::string id;
  std::uint16_t udpPort = 0;
  {
    TRelayProcess relay(tmpl, 0, tcpPort);
    ASSERT_NE(relay.UdpPort(), 0) << relay.Log;
    udpPort = relay.UdpPort();
    TWirePc pc(false, udpPort, nullptr);
    id = pc.Register();
    ASSERT_EQ(id.size(), 9u);
  }
  {
    TRelayProcess relay(tmpl, udpPort, tcpPort);
    ASSERT_EQ(relay.UdpPort(), udpPort) << relay.Log;
    TWirePc pc(false, udpPort, nullptr);
    EXPECT_EQ(pc.Register(id), id);
  }
  {
    std::string err;
    auto store = TSqliteRelayStore::Open((dir / "relay.db").string(), err);
    ASSERT_TRUE(store) << err;
    const auto leases = store->Leases(StampMs());
    ASSERT_EQ(leases.size(), 1u);
    TStoredLease ended = leases[0];
    ended.ExpiresMs = StampMs() - 1;
    ASSERT_TRUE(store->PutLease(ended));
  }
  {
    TRelayProcess relay(tmpl, udpPort, tcpPort);
    ASSERT_EQ(relay.UdpPort(), udpPort) << relay.Log;
    TWirePc pc(false, udpPort, nullptr);
    const std::string fresh = pc.Register(id);
    EXPECT_EQ(fresh.size(), 9u);
    EXPECT_NE(fresh, id);
  }
  std::filesystem::remove_all(dir);
}

// Standard output of the real program run with `args` (exit code in `rc`).
std::string RunRelay(const std::string& args, int& rc) {
  const std::string cmd = std::string(TOVIK_RELAY_BINARY) + " " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return {};
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

TEST(RelayBinary, UsageListsTheStoredSessions) {
  char tmpl[] = "/tmp/tovik-relay-usage-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  int rc = -1;
  {
    // An empty database says so.
    std::string err;
    auto store = TSqliteRelayStore::Open((dir / "relay.db").string(), err);
    ASSERT_TRUE(store) << err;
  }
  EXPECT_EQ(RunRelay("usage --data " + dir.string(), rc), "No usage records stored.\n");
  EXPECT_EQ(rc, 0);
  {
    std::string err;
    auto store = TSqliteRelayStore::Open((dir / "relay.db").string(), err);
    ASSERT_TRUE(store) << err;
    const std::int64_t start = 1767348000000;  // 2026-01-02 10:00:00 UTC
    ASSERT_EQ(store->AddUsage({0, "123456789", "987654321", start, start + 3'723'400, "relay"}), 1);
    ASSERT_EQ(store->AddUsage({0, "111222333", "444555666", start + 86'400'000, start + 86'405'000, "direct"}), 2);
  }
  EXPECT_EQ(RunRelay("usage --data " + dir.string(), rc),
            "1  2026-01-02 10:00:00  2026-01-02 11:02:03  1:02:03  123456789  987654321  relay\n"
            "2  2026-01-03 10:00:00  2026-01-03 10:00:05  0:00:05  111222333  444555666  direct\n");
  EXPECT_EQ(rc, 0);
  std::filesystem::remove_all(dir);
}


namespace {

// The report queue and the feedback sender over a scripted PC on the real relay.
struct TWireReportLink : IReportLink {
  explicit TWireReportLink(TWirePc& pc) : Pc(pc) {}
  bool HasChannel() const override { return Pc.C.FChannel != nullptr; }
  bool CanSend() const override { return Pc.C.FChannel != nullptr; }
  std::string RelayKey() const override { return KeyFingerprint(Pc.C.FRelayKey); }
  void SendLine(const std::string& line) override { Pc.Send(Pc.C.Line(line)); }
  TWirePc& Pc;
};

std::string Payload(const std::string& text) { return Base64Encode(BytesOf(text)); }

}  // namespace

// Two saved reports survive the program's kill -9 in PendingReports.txt; after the restart both reach
// the relay that asked for them, one after the other. The relay's first confirmation is lost: the
// report is sent again at 6 s of the queue's (virtual) clock and still stored once.
TEST(RelayBinary, QueuedReportsSurviveAKillAndAreStoredOnce) {
  char tmpl[] = "/tmp/tovik-relay-reports-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  const std::string file = (dir / "PendingReports.txt").string();
  {
    TRelayProcess relay(tmpl, 0, std::to_string(FreeTcpPort()));
    ASSERT_NE(relay.UdpPort(), 0) << relay.Log;
    TWirePc pc(false, relay.UdpPort(), nullptr);
    ASSERT_EQ(pc.Register().size(), 9u);
    const std::string key = KeyFingerprint(pc.C.FRelayKey);

    // The program saves two reports while its relay link is down, then is killed.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      struct TDown : IReportLink {
        bool HasChannel() const override { return false; }
        bool CanSend() const override { return false; }
        std::string RelayKey() const override { return {}; }
        void SendLine(const std::string&) override {}
      } down;
      int n = 0;
      TReportQueue q(file, down, nullptr, [&n] { return std::string("0000000") + std::to_string(++n); });
      q.Load(0);
      q.Add(Payload("R1\n1\nfirst"), key, 0);
      q.Add(Payload("R1\n2\nsecond"), key, 0);
      ::raise(SIGKILL);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // The restart.
    std::vector<std::string> log;
    TWireReportLink link(pc);
    TReportQueue q(file, link, [&](const std::string& l) { log.push_back(l); }, [] { return std::string("ffffffff"); });
    q.Load(0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "Session report: 2 report(s) still to send");
    q.HandleTimeout(0);
    auto ok = pc.RecvLineWith("REPORT OK");
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, "REPORT OK 00000001");  // dropped: the queue never hears it
    q.HandleTimeout(6'000);               // resent
    ok = pc.RecvLineWith("REPORT OK");
    ASSERT_TRUE(ok);
    q.Answered(*ParseReportAnswer(*ok), 6'000);
    q.HandleTimeout(6'000);  // the next one at once
    ok = pc.RecvLineWith("REPORT OK");
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, "REPORT OK 00000002");
    q.Answered(*ParseReportAnswer(*ok), 6'000);
    EXPECT_TRUE(q.Items().empty());
    EXPECT_FALSE(std::filesystem::exists(file));
  }
  std::string err;
  auto store = TSqliteRelayStore::Open((dir / "relay.db").string(), err);
  ASSERT_TRUE(store) << err;
  EXPECT_EQ(store->Reports(10).size(), 2u);
  std::filesystem::remove_all(dir);
}

// Feedback whose first confirmation is lost: sent again, confirmed again, stored once and mailed once,
// and the mail command sees the address only when it is a valid one.
TEST(RelayBinary, ResentFeedbackIsMailedOnce) {
  char tmpl[] = "/tmp/tovik-relay-feedback-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  const std::string runs = (dir / "mail-runs").string();
  const std::string config = (dir / "relay.ini").string();
  {
    FILE* f = std::fopen(config.c_str(), "w");
    ASSERT_TRUE(f);
    std::fprintf(f, "[Relay]\nMailCommand=echo \"run $TOVIK_FEEDBACK_ID <$TOVIK_FEEDBACK_EMAIL>\" >> %s\n", runs.c_str());
    std::fclose(f);
  }
  {
    TRelayProcess relay(tmpl, 0, std::to_string(FreeTcpPort()), config);
    ASSERT_NE(relay.UdpPort(), 0) << relay.Log;
    TWirePc pc(false, relay.UdpPort(), nullptr);
    ASSERT_EQ(pc.Register().size(), 9u);
    TWireReportLink link(pc);
    TFeedbackSender sender(link, [] { return std::string("0a1b2c3d"); });
    std::vector<bool> done;
    sender.OnDone = [&](bool ok, const std::string&) { done.push_back(ok); };
    std::string error;
    ASSERT_TRUE(sender.Start(FeedbackPlainText(0, "ann@example.com", "7", "More themes, please"), 0, error));
    ASSERT_EQ(pc.RecvLineWith("FEEDBACK OK"), "FEEDBACK OK 0a1b2c3d");  // lost
    sender.HandleTimeout(6'000);
    const auto ok = pc.RecvLineWith("FEEDBACK OK");
    ASSERT_TRUE(ok);
    EXPECT_TRUE(sender.HandleLine(*ok));
    EXPECT_EQ(done, std::vector<bool>{true});
    // The mail command runs detached: wait for its line (bounded), then make sure no second one comes.
    for (int i = 0; i < 500 && !std::filesystem::exists(runs); ++i) ::poll(nullptr, 0, 10);
    pc.Send(pc.C.Line("FEEDBACK 0a1b2c3d 0 1 " + Payload("idea\nx@y.zz\n7\nagain")));
    EXPECT_EQ(pc.RecvLineWith("FEEDBACK OK"), "FEEDBACK OK 0a1b2c3d");
  }
  std::string err;
  auto store = TSqliteRelayStore::Open((dir / "relay.db").string(), err);
  ASSERT_TRUE(store) << err;
  ASSERT_EQ(store->Feedback(10).size(), 1u);
  EXPECT_EQ(store->Feedback(10)[0].Sender, "0");
  std::string text;
  for (int i = 0; i < 100; ++i) {
    FILE* f = std::fopen(runs.c_str(), "r");
    if (f) {
      char buf[256];
      const std::size_t n = std::fread(buf, 1, sizeof buf, f);
      std::fclose(f);
      text.assign(buf, n);
      if (!text.empty()) break;
    }
    ::poll(nullptr, 0, 10);
  }
  EXPECT_EQ(text, "run 0a1b2c3d <ann@example.com>\n");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tovik::test
