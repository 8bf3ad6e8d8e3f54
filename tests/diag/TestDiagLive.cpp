// The connection test over real sockets on loopback: the real relay (UDP and its TCP port, trusted),
// a fake relay that shows the relay's key without being able to sign, a web server on a TCP fallback
// port, two fake STUN servers, and the update site answering HEAD.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "base/TovikClock.h"
#include "crypto/TovikCrypto.h"
#include "diag/TovikDiag.h"
#include "net/TovikRelayHello.h"
#include "net/TovikWire.h"
#include "tests/support/RelayProcess.h"

namespace tovik {
namespace {

int Bound(int type, std::uint16_t& port) {
  const int fd = ::socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  if (type == SOCK_STREAM) ::listen(fd, 4);
  return fd;
}

// Fakes on loopback, served by one thread: a relay impostor (UDP), two STUN servers (UDP) and a web
// server (TCP) that answers anything with an HTTP status line.
class TFakes {
 public:
  explicit TFakes(TBytes shownKey) : FKey(std::move(shownKey)) {
    FImpostor = Bound(SOCK_DGRAM, ImpostorPort);
    FStun[0] = Bound(SOCK_DGRAM, StunPort[0]);
    FStun[1] = Bound(SOCK_DGRAM, StunPort[1]);
    FWeb = Bound(SOCK_STREAM, WebPort);
    FThread = std::thread([this] { Loop(); });
  }
  ~TFakes() {
    FStop = true;
    FThread.join();
    for (int fd : {FImpostor, FStun[0], FStun[1], FWeb}) ::close(fd);
  }
  std::uint16_t ImpostorPort = 0, StunPort[2] = {0, 0}, WebPort = 0;

 private:
  void Loop() {
    while (!FStop) {
      pollfd p[4] = {{FImpostor, POLLIN, 0}, {FStun[0], POLLIN, 0}, {FStun[1], POLLIN, 0}, {FWeb, POLLIN, 0}};
      if (::poll(p, 4, 20) <= 0) continue;
      for (int i = 0; i < 3; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        std::uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(p[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) continue;
        TBytes out;
        if (i == 0) {  // the relay's key with a signature it cannot make
          out = {kWireHandshake, kWireVersion};
          Append(out, RandomBytes(64));
          Append(out, FKey);
          Append(out, RandomBytes(64));
        } else if (n >= 20) {  // a binding success with the sender's address
          out.assign(buf, buf + 20);  // the request's header with its transaction ID
          out[0] = 0x01;
          out[1] = 0x01;
          out[3] = 0x0C;
          const std::uint16_t port = ntohs(from.sin_port) ^ 0x2112;
          const std::uint32_t ip = ntohl(from.sin_addr.s_addr) ^ 0x2112A442;
          const TBytes attr = {0x00, 0x20, 0x00, 0x08, 0x00, 0x01, std::uint8_t(port >> 8), std::uint8_t(port),
                               std::uint8_t(ip >> 24), std::uint8_t(ip >> 16), std::uint8_t(ip >> 8), std::uint8_t(ip)};
          Append(out, attr);
        }
        ::sendto(p[i].fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
      if (p[3].revents & POLLIN) {
        const int c = ::accept(FWeb, nullptr, nullptr);
        if (c < 0) continue;
        pollfd w{c, POLLIN, 0};
        if (::poll(&w, 1, 2000) > 0) {
          char req[1024];
          (void)!::recv(c, req, sizeof req, 0);
        }
        const char* page = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)!::send(c, page, std::strlen(page), MSG_NOSIGNAL);
        ::close(c);
      }
    }
  }
  TBytes FKey;
  int FImpostor = -1, FStun[2] = {-1, -1}, FWeb = -1;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

std::vector<std::string> RunOn(IDiagNet& net, const TDiagSetup& setup) {
  std::vector<std::string> lines;
  RunDiag(setup, net, [] { return TickMs(); }, [] { return false; }, [&](const std::string& l) { lines.push_back(l); },
          "now");
  return lines;
}

TEST(DiagLive, RealRelayFakesAndWebServerOnLoopback) {
  char tmpl[] = "/tmp/tovik-diag-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string tcpPort = std::to_string(test::FreeTcpPort());
  test::TRelayProcess relay(tmpl, 0, tcpPort);
  ASSERT_NE(relay.UdpPort(), 0) << relay.Log;
  auto net = IDiagNet::Create();

  // The relay's key, as a first connection pins it.
  std::string error;
  auto udp = net->OpenUdp(error);
  ASSERT_TRUE(udp);
  const TRelayHello hello;
  ASSERT_TRUE(udp->SendTo("127.0.0.1", relay.UdpPort(), hello.Bytes(), error));
  auto answer = udp->Receive(5000, 2048);
  ASSERT_TRUE(answer);
  const auto reply = hello.Check(answer->Data);
  ASSERT_TRUE(reply);

  TFakes fakes(reply->RelayKey);
  TDiagSetup setup;
  setup.Host = "127.0.0.1";
  setup.UdpPort = relay.UdpPort();
  setup.TcpPorts = {static_cast<std::uint16_t>(std::stoi(tcpPort)), fakes.WebPort};
  setup.KeyHex = BytesToHex(reply->RelayKey);
  setup.Stun1 = "127.0.0.1:" + std::to_string(fakes.StunPort[0]);
  setup.Stun2 = "127.0.0.1:" + std::to_string(fakes.StunPort[1]);
  setup.UpdateUrl = "http://127.0.0.1:" + std::to_string(fakes.WebPort) + "/tovik/";
  setup.State = "Online";
  auto lines = RunOn(*net, setup);
  const std::string trusted = " (the one this Tovik trusts)";
  int ok = 0;
  for (const auto& l : lines)
    if (l.rfind("OK: the server answered in ", 0) == 0 && l.size() > trusted.size() &&
        l.compare(l.size() - trusted.size(), trusted.size(), trusted) == 0)
      ++ok;
  EXPECT_EQ(ok, 2) << "UDP and the relay's TCP port";
  EXPECT_TRUE(Has(lines, "An answer came back, but not from a Tovik server: another program (a web server?) uses "
                         "this port on the server."));
  EXPECT_TRUE(Has(lines, "sees this PC as 127.0.0.1:"));
  EXPECT_TRUE(Has(lines, "Result: an easy NAT"));
  EXPECT_TRUE(Has(lines, setup.UpdateUrl + ": HTTP 200 in "));

  // The impostor shows the trusted key but cannot sign this hello: not OK.
  setup.UdpPort = fakes.ImpostorPort;
  setup.TcpPorts.clear();
  setup.UpdateUrl.clear();
  lines = RunOn(*net, setup);
  EXPECT_TRUE(Has(lines, "an answer came back, but not from a Tovik server (194 bytes)"));
  EXPECT_FALSE(Has(lines, "OK: the server answered"));
  EXPECT_TRUE(Has(lines, "Skipped: this Tovik has no TCP fallback port."));
  relay.Stop();
  std::filesystem::remove_all(tmpl);
}

}  // namespace
}  // namespace tovik
