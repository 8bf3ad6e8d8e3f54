// The client with real sockets against the real tovik-relay program on loopback: a direct link, a
// link through the relay when direct UDP is filtered, and the TCP fallback when UDP to the relay is
// filtered. Runs in real time (a few seconds each).
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/support/LoopbackPort.h"
#include "base/TovikTimed.h"
#include "net/TovikNet.h"

using namespace tovik;

namespace {

using test::FreeLoopbackPort;

// The POSIX backend with a filter on outgoing UDP, to stand in for a network that blocks paths.
struct TFilteredBackend : INetBackend {
  std::unique_ptr<INetBackend> Real = INetBackend::Create();
  std::function<bool(const std::string&, std::uint16_t)> Allow = [](const std::string&, std::uint16_t) { return true; };
  struct TSock : IUdpSocket {
    std::unique_ptr<IUdpSocket> S;
    TFilteredBackend* B;
    bool Open(std::string& e) override { return S->Open(e); }
    std::uint16_t LocalPort() const override { return S->LocalPort(); }
    bool SendTo(const std::string& ip, std::uint16_t port, TByteView d) override {
      return B->Allow(ip, port) ? S->SendTo(ip, port, d) : true;
    }
    void Close() override { S->Close(); }
  };
  std::unique_ptr<IUdpSocket> CreateUdp(IRxSink& sink) override {
    auto s = std::make_unique<TSock>();
    s->S = Real->CreateUdp(sink);
    s->B = this;
    return s;
  }
  std::unique_ptr<IRelayTcpLink> CreateTcp(IRxSink& s, const std::string& h, std::uint16_t p, const std::string& fi,
                                           std::uint16_t fp) override {
    return Real->CreateTcp(s, h, p, fi, fp);
  }
  bool Resolve(const std::string& h, std::string& ip, std::string& e) override { return Real->Resolve(h, ip, e); }
  std::string LocalIPv4() override { return "127.0.0.1"; }
};

struct TPC {
  TFilteredBackend Backend;
  std::unique_ptr<TTovikClient> C;
  std::vector<std::string> Messages;
  std::vector<TBytes> Data;
  int Connected = 0;
  void Make(std::uint16_t udp) {
    C = std::make_unique<TTovikClient>(Backend, "127.0.0.1", udp, "");
    C->OnConnected = [this] { ++Connected; };
    C->OnMessage = [this](const std::string& s) { Messages.push_back(s); };
    C->OnData = [this](TByteView d) { Data.emplace_back(d.begin(), d.end()); };
  }
};

class NetLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    Udp = FreeLoopbackPort(SOCK_DGRAM);
    Tcp = FreeLoopbackPort(SOCK_STREAM);
    Dir = std::filesystem::temp_directory_path() / ("tovik-netloop-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    Pid = ::fork();
    if (Pid == 0) {
      const std::string u = std::to_string(Udp), t = std::to_string(Tcp), d = Dir.string();
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      ::execl(TOVIK_RELAY_BIN, "tovik-relay", "run", "--data", d.c_str(), "--listen", "127.0.0.1", "--udp-port",
              u.c_str(), "--tcp-ports", t.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    TcpPortsText = std::to_string(Tcp);
    // The relay holds its UDP port before the clients open theirs: a client socket could otherwise be
    // given the same free port first, and the relay would not start.
    for (int i = 0; i < 1000 && UdpPortFree(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool UdpPortFree() const {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(Udp);
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return free;
  }
  void TearDown() override {
    for (TPC* p : {&A, &B}) {
      if (p->C) Clients.Remove(*p->C);
      p->C.reset();
    }
    if (Pid > 0) {
      ::kill(Pid, SIGTERM);
      ::waitpid(Pid, nullptr, 0);
    }
    std::filesystem::remove_all(Dir);
    TcpPortsText = "8443,443,80";
  }
  // Drives both clients in real time until the condition holds (bounded, so a broken link fails): each
  // millisecond whatever of theirs is due.
  bool RunUntil(const std::function<bool()>& f, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      Clients.HandleTimeout(TickMs());
      if (f()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return f();
  }
  void StartBoth() {
    A.Make(Udp);
    B.Make(Udp);
    // The relay needs a moment to bind; the clients repeat their hellos every 2 s anyway.
    A.C->Start(TickMs());
    B.C->Start(TickMs());
    Clients.Add(*A.C);
    Clients.Add(*B.C);
    ASSERT_TRUE(RunUntil([&] { return A.C->State() == rsRegistered && B.C->State() == rsRegistered; }, 15));
  }
  void LinkAndExchange(bool viaRelay) {
    A.C->ConnectTo(B.C->MyID());
    ASSERT_TRUE(RunUntil([&] { return A.Connected && B.Connected; }, 15));
    EXPECT_EQ(A.C->ViaRelay(), viaRelay);
    EXPECT_EQ(A.C->CheckNumber(), B.C->CheckNumber());
    A.C->SendText("hello");
    for (int i = 0; i < 20; ++i) B.C->SendData(TBytes(1000, static_cast<std::uint8_t>(0x81 + i % 10)));
    ASSERT_TRUE(RunUntil([&] { return A.Data.size() == 20 && B.Messages.size() == 1; }, 5));
    EXPECT_EQ(B.Messages[0], "hello");
    EXPECT_EQ(A.Data[19][0], 0x81 + 19 % 10);
  }

  std::uint16_t Udp = 0, Tcp = 0;
  std::filesystem::path Dir;
  pid_t Pid = -1;
  TPC A, B;
  TTimedGroup Clients;
};

TEST_F(NetLoopback, TwoClientsLinkDirectly) {
  StartBoth();
  LinkAndExchange(false);
}

TEST_F(NetLoopback, FilteredDirectPathGoesThroughTheRelay) {
  const auto onlyRelay = [this](const std::string&, std::uint16_t port) { return port == Udp; };
  A.Backend.Allow = onlyRelay;
  B.Backend.Allow = onlyRelay;
  StartBoth();
  LinkAndExchange(true);
}

TEST_F(NetLoopback, BlockedUdpReachesTheRelayOverTcp) {
  A.Backend.Allow = [this](const std::string&, std::uint16_t port) { return port != Udp; };
  StartBoth();
  EXPECT_EQ(A.C->Transport(), "TCP " + std::to_string(Tcp));
  LinkAndExchange(true);
}

}  // namespace

// The receive buffer: 4 MiB asked, and what the system granted read back. Linux silently caps
// SO_RCVBUF at net.core.rmem_max; a process that may (CAP_NET_ADMIN) forces the full size.
TEST(UdpSocket, ReadsBackTheReceiveBufferGranted) {
  struct TSink : IRxSink {
    void PushRx(TRxPacket&&) override {}
  } sink;
  auto sock = INetBackend::Create()->CreateUdp(sink);
  EXPECT_EQ(sock->RecvBuffer().Granted, 0);
  std::string error;
  ASSERT_TRUE(sock->Open(error)) << error;
  const IUdpSocket::TRecvBuffer b = sock->RecvBuffer();
  EXPECT_EQ(b.Asked, 4 * 1024 * 1024);
  EXPECT_GT(b.Granted, 0);
  if (b.Forced) {
    EXPECT_GE(b.Granted, b.Asked);
  } else {
    long rmemMax = 0;
    if (FILE* f = std::fopen("/proc/sys/net/core/rmem_max", "r")) {
      if (std::fscanf(f, "%ld", &rmemMax) != 1) rmemMax = 0;
      std::fclose(f);
    }
    if (rmemMax > 0) {
      EXPECT_LE(b.Granted, std::max<long>(rmemMax, 4608));
    }
  }
  sock->Close();
}

// Batched sends and receives on real sockets: more datagrams than one system call takes either way,
// with one the system refuses (too large for UDP) in the middle. The send counts only the others, and
// they all arrive, in order, at a socket that reads them in batches.
TEST(UdpSocket, BatchesGoOutAroundARefusedDatagramAndArriveInOrder) {
  struct TSink : IRxSink {
    std::mutex Lock;
    std::condition_variable Arrived;
    std::vector<TBytes> Got;
    void PushRx(TRxPacket&& p) override {
      std::lock_guard<std::mutex> g(Lock);
      Got.push_back(std::move(p.Data));
      Arrived.notify_all();
    }
  } sink, none;
  auto backend = INetBackend::Create();
  auto rx = backend->CreateUdp(sink);
  auto tx = backend->CreateUdp(none);
  std::string error;
  ASSERT_TRUE(rx->Open(error)) << error;
  ASSERT_TRUE(tx->Open(error)) << error;

  constexpr std::size_t KCount = 100, KRefused = 70;  // small: within any receive buffer
  std::vector<TBytes> data;
  for (std::size_t i = 0; i < KCount; ++i) {
    data.emplace_back(i == KRefused ? 70000 : 100, static_cast<std::uint8_t>(i));
  }
  std::vector<TByteView> views(data.begin(), data.end());
  EXPECT_EQ(tx->SendBatch("127.0.0.1", rx->LocalPort(), views), KCount - 1);

  std::unique_lock<std::mutex> l(sink.Lock);
  sink.Arrived.wait_for(l, std::chrono::seconds(20), [&] { return sink.Got.size() >= KCount - 1; });
  ASSERT_EQ(sink.Got.size(), KCount - 1);
  for (std::size_t i = 0, k = 0; i < KCount; ++i) {
    if (i == KRefused) continue;
    EXPECT_EQ(sink.Got[k++], data[i]) << "datagram " << i;
  }
  l.unlock();
  tx->Close();
  rx->Close();
}
