// POSIX backend of the client's sockets: one UDP socket with a listener thread, TRelayTcpLink,
// getaddrinfo and getifaddrs.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "net/TovikSocket.h"
#include "platform/linux/TovikTcpLink_posix.h"

namespace tovik {

namespace {

constexpr int KRecvBuffer = 4 * 1024 * 1024;
constexpr int KSendBuffer = 1024 * 1024;
constexpr std::size_t KSendBatch = 64;
constexpr std::size_t KRecvBatch = 16;
constexpr std::size_t KRecvSlot = 65536;
constexpr std::size_t KMaxSegments = 64;            // the kernel's limit per segmented send
constexpr std::size_t KMaxSegmentedBytes = 65000;   // within one UDP datagram's size

class TPosixUdpSocket final : public IUdpSocket {
 public:
  explicit TPosixUdpSocket(IRxSink& ASink) : FSink(ASink) {}
  ~TPosixUdpSocket() override { Close(); }

  bool Open(std::string& AError) override {
    if (FFd >= 0) return true;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      AError = std::strerror(errno);
      return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      AError = std::strerror(errno);
      ::close(fd);
      return false;
    }
    // Large receive buffer for bursts of frame chunks; failures only cost burst tolerance. The system
    // silently caps SO_RCVBUF at net.core.rmem_max; a process with CAP_NET_ADMIN may pass that cap
    // with SO_RCVBUFFORCE. Linux reports back twice the data size (its bookkeeping share included).
    int rcv = KRecvBuffer, snd = KSendBuffer;
    FRecv.Asked = KRecvBuffer;
    FRecv.Forced = ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcv, sizeof rcv) == 0;
    if (!FRecv.Forced) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    int got = 0;
    socklen_t gotLen = sizeof got;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &gotLen) == 0) FRecv.Granted = got / 2;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FFd = fd;
    FStop = false;
    FThread = std::thread([this] { Listen(); });
    return true;
  }

  std::uint16_t LocalPort() const override { return FPort; }
  TRecvBuffer RecvBuffer() const override { return FRecv; }

  bool SendTo(const std::string& AIP, std::uint16_t APort, TByteView AData) override {
    if (FFd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(APort);
    if (::inet_pton(AF_INET, AIP.c_str(), &addr.sin_addr) != 1) return false;
    const ssize_t n = ::sendto(FFd, AData.data(), AData.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                               sizeof addr);
    return n == static_cast<ssize_t>(AData.size());
  }

  // Runs of datagrams of one size (the last may be shorter) go out with UDP segmentation offload, one
  // system call per run: the datagrams on the wire are the same as sent one by one. Where the system
  // has no such offload (the first segmented send fails as unsupported), and for the rest, sendmmsg
  // takes up to KSendBatch datagrams per call. A datagram the system refuses is lost, as with SendTo,
  // and the rest still go.
  std::size_t SendBatch(const std::string& AIP, std::uint16_t APort, std::span<const TByteView> AData) override {
    if (FFd < 0 || AData.empty()) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(APort);
    if (::inet_pton(AF_INET, AIP.c_str(), &addr.sin_addr) != 1) return 0;
    if (!FSegmented) return SendMany(addr, AData);
    std::size_t sent = 0;
    std::size_t at = 0;
    while (at < AData.size()) {
      const std::size_t run = SegmentRun(AData.subspan(at));
      if (run < 2) {
        // No run here: the datagrams up to the next run go by sendmmsg.
        std::size_t end = at + 1;
        while (end < AData.size() && SegmentRun(AData.subspan(end)) < 2) ++end;
        sent += SendMany(addr, AData.subspan(at, end - at));
        at = end;
        continue;
      }
      const int r = SendSegmented(addr, AData.subspan(at, run));
      if (r < 0) {  // no offload here: everything goes by sendmmsg from now on
        FSegmented = false;
        return sent + SendMany(addr, AData.subspan(at));
      }
      sent += r > 0 ? run : 0;
      at += run;
    }
    return sent;
  }

  // How many datagrams from the start of AData make one segmented send: all of the first one's size
  // but the last, which may be shorter; at most KMaxSegments and KMaxSegmentedBytes together.
  static std::size_t SegmentRun(std::span<const TByteView> AData) {
    const std::size_t seg = AData[0].size();
    if (seg == 0) return 0;
    std::size_t n = 0, bytes = 0;
    while (n < AData.size() && n < KMaxSegments && AData[n].size() <= seg &&
           bytes + AData[n].size() <= KMaxSegmentedBytes) {
      bytes += AData[n].size();
      ++n;
      if (AData[n - 1].size() < seg) break;  // a shorter one ends the run
    }
    return n;
  }

  // One run as one segmented send: 1 when it went, 0 when the system refused it (lost), -1 when the
  // system has no segmentation offload for it.
  int SendSegmented(const sockaddr_in& AAddr, std::span<const TByteView> ARun) {
    iovec iov[KMaxSegments];
    std::size_t total = 0;
    for (std::size_t k = 0; k < ARun.size(); ++k) {
      iov[k].iov_base = const_cast<std::uint8_t*>(ARun[k].data());
      iov[k].iov_len = ARun[k].size();
      total += ARun[k].size();
    }
    const std::uint16_t seg = static_cast<std::uint16_t>(ARun[0].size());
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof seg)] = {};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in*>(&AAddr);
    m.msg_namelen = sizeof AAddr;
    m.msg_iov = iov;
    m.msg_iovlen = ARun.size();
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof seg);
    std::memcpy(CMSG_DATA(c), &seg, sizeof seg);
    ssize_t r;
    do {
      r = ::sendmsg(FFd, &m, 0);
    } while (r < 0 && errno == EINTR);
    if (r == static_cast<ssize_t>(total)) return 1;
    if (r < 0 && (errno == EIO || errno == EINVAL || errno == ENOPROTOOPT || errno == EOPNOTSUPP)) return -1;
    return 0;
  }

  std::size_t SendMany(const sockaddr_in& addr, std::span<const TByteView> AData) {
    mmsghdr msgs[KSendBatch];
    iovec iov[KSendBatch];
    std::size_t sent = 0;
    std::size_t at = 0;
    while (at < AData.size()) {
      const std::size_t m = std::min(KSendBatch, AData.size() - at);
      for (std::size_t k = 0; k < m; ++k) {
        const TByteView d = AData[at + k];
        iov[k].iov_base = const_cast<std::uint8_t*>(d.data());
        iov[k].iov_len = d.size();
        msgs[k] = mmsghdr{};
        msgs[k].msg_hdr.msg_name = const_cast<sockaddr_in*>(&addr);
        msgs[k].msg_hdr.msg_namelen = sizeof addr;
        msgs[k].msg_hdr.msg_iov = &iov[k];
        msgs[k].msg_hdr.msg_iovlen = 1;
      }
      const int r = ::sendmmsg(FFd, msgs, static_cast<unsigned>(m), 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        ++at;  // the first one was refused: it is lost
        continue;
      }
      for (int k = 0; k < r; ++k) sent += msgs[k].msg_len == iov[k].iov_len ? 1 : 0;
      at += static_cast<std::size_t>(r);
    }
    return sent;
  }

  void Close() override {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

 private:
  // Listener thread: only receives and hands datagrams over, up to KRecvBatch per recvmmsg call and
  // per PushRxBatch, and reads on without waiting while full batches come.
  void Listen() {
    std::vector<std::uint8_t> buf(KRecvBatch * KRecvSlot);
    mmsghdr msgs[KRecvBatch];
    iovec iov[KRecvBatch];
    sockaddr_in from[KRecvBatch];
    std::vector<TRxPacket> batch;
    batch.reserve(KRecvBatch);
    while (!FStop) {
      pollfd p{FFd, POLLIN, 0};
      const int r = ::poll(&p, 1, 50);
      if (r <= 0) continue;
      while (!FStop) {
        for (std::size_t k = 0; k < KRecvBatch; ++k) {
          iov[k].iov_base = buf.data() + k * KRecvSlot;
          iov[k].iov_len = KRecvSlot;
          msgs[k] = mmsghdr{};
          msgs[k].msg_hdr.msg_name = &from[k];
          msgs[k].msg_hdr.msg_namelen = sizeof from[k];
          msgs[k].msg_hdr.msg_iov = &iov[k];
          msgs[k].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(FFd, msgs, static_cast<unsigned>(KRecvBatch), MSG_DONTWAIT, nullptr);
        if (n <= 0) break;  // nothing more waits, or an error (an ICMP refusal): back to poll
        batch.clear();
        for (int k = 0; k < n; ++k) {
          const std::size_t len = msgs[k].msg_len;
          // Empty datagrams are not passed on; a slot holds the largest UDP datagram, so none is cut.
          if (len == 0 || len > KRecvSlot || (msgs[k].msg_hdr.msg_flags & MSG_TRUNC) != 0) continue;
          char ip[INET_ADDRSTRLEN] = {};
          ::inet_ntop(AF_INET, &from[k].sin_addr, ip, sizeof ip);
          const std::uint8_t* d = buf.data() + static_cast<std::size_t>(k) * KRecvSlot;
          batch.push_back(TRxPacket{TBytes(d, d + len), ip, ntohs(from[k].sin_port)});
        }
        if (!batch.empty()) FSink.PushRxBatch(batch);
        if (static_cast<std::size_t>(n) < KRecvBatch) break;
      }
    }
  }

  IRxSink& FSink;
  int FFd = -1;
  std::uint16_t FPort = 0;
  TRecvBuffer FRecv;
  bool FSegmented = true;  // UDP segmentation offload not yet found missing (client thread)
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

class TPosixNetBackend final : public INetBackend {
 public:
  std::unique_ptr<IUdpSocket> CreateUdp(IRxSink& ASink) override {
    return std::make_unique<TPosixUdpSocket>(ASink);
  }

  std::unique_ptr<IRelayTcpLink> CreateTcp(IRxSink& ASink, const std::string& AHost, std::uint16_t APort,
                                           const std::string& AFromIP, std::uint16_t AFromPort) override {
    return std::make_unique<TRelayTcpLink>(ASink, AHost, APort, AFromIP, AFromPort);
  }

  bool Resolve(const std::string& AHost, std::string& AIP, std::string& AError) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(AHost.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
      AError = rc != 0 ? ::gai_strerror(rc) : "no IPv4 address";
      return false;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(res, &::freeaddrinfo);
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, ip, sizeof ip);
    AIP = ip;
    return true;
  }

  std::string LocalIPv4() override {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return "0.0.0.0";
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> guard(list, &::freeifaddrs);
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      char ip[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, ip, sizeof ip);
      if (std::strcmp(ip, "127.0.0.1") != 0) return ip;
    }
    return "0.0.0.0";
  }
};

}  // namespace

std::unique_ptr<INetBackend> INetBackend::Create() { return std::make_unique<TPosixNetBackend>(); }

}  // namespace tovik
