#include "TovikRelayServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

#include "base/TovikFiles.h"
#include "net/TovikWire.h"

namespace tovik {

namespace {

constexpr int kBatch = 64;
constexpr std::size_t kUdpBuf = 4096;   // larger datagrams are not part of the protocol
constexpr std::size_t kReadChunk = 65536;
constexpr TTick kTickMs = 250;
// Room for one IP_PKTINFO control message (received: the datagram's destination; sent: the source).
constexpr std::size_t kCtrlSize = CMSG_SPACE(sizeof(in_pktinfo));

// Tags in epoll_event.data.u64: the UDP socket, listeners (1..4) and connections (>= kConnBase).
constexpr std::uint64_t kTagUdp = 0;
constexpr std::uint64_t kConnBase = 16;

std::string ErrText(int e) { return std::string(strerror(e)); }

sockaddr_in MakeAddr(std::uint32_t ip, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ip);
  a.sin_port = htons(port);
  return a;
}

}  // namespace

TQueueVerdict QueueVerdict(const TRelayServerOptions& AOptions, std::size_t AConnQueued, std::size_t ATotalQueued,
                           std::size_t ABytes, bool ADroppable) {
  const bool overTotal = ATotalQueued + ABytes > AOptions.MaxQueuedBytes;
  if (ADroppable && (AConnQueued + ABytes > AOptions.DroppableOutBytes || overTotal)) return TQueueVerdict::qvDrop;
  if (AConnQueued + ABytes > AOptions.MaxOutBytes) return TQueueVerdict::qvClose;
  if (overTotal && AConnQueued > 0) return TQueueVerdict::qvClose;
  return TQueueVerdict::qvQueue;
}

struct TConn {
  TFd Fd;
  TRelayEndpoint Ep;
  TFrameDecoder Decoder;
  TBytes Out;
  std::size_t OutPos = 0;
  bool WantWrite = false;
  TTick LastRx = 0;
  std::size_t Pending() const { return Out.size() - OutPos; }
};

struct TRelayServer::TImpl {
  TRelayServerOptions Opt;
  TRelayCore& Core;
  std::function<void(std::string_view)> LogFn;
  TFd Ep;  // epoll
  TFd Udp;
  std::vector<TFd> Listeners;
  std::unordered_map<std::uint64_t, std::unique_ptr<TConn>> Conns;
  std::unordered_map<std::uint32_t, std::size_t> ConnsPerIP;
  std::size_t Queued = 0;  // sum of the connections' Pending()
  std::uint64_t NextConn = 1;
  std::uint64_t RefusedPerIP = 0;
  std::uint64_t AcceptFailures = 0;
  bool AcceptPaused = false;
  TTick AcceptPause = 0;       // length of the present or last pause; 0 after a good accept
  TTick AcceptResumeAt = 0;
  TTick LastTick = 0;
  TTick LastIdleCheck = 0;
  TRelayOutput Out;

  // UDP batches.
  std::vector<std::uint8_t> RecvBufs;
  mmsghdr RecvMsgs[kBatch]{};
  iovec RecvIov[kBatch]{};
  sockaddr_in RecvAddr[kBatch]{};
  alignas(cmsghdr) std::uint8_t RecvCtrl[kBatch][kCtrlSize]{};
  mmsghdr SendMsgs[kBatch]{};
  iovec SendIov[kBatch]{};
  sockaddr_in SendAddr[kBatch]{};
  alignas(cmsghdr) std::uint8_t SendCtrl[kBatch][kCtrlSize]{};
  int SendCount = 0;
  std::vector<TBytes> SendOwned;  // datagrams from the core, alive until the batch is flushed
  TBytes ReadBuf, Frame;

  TImpl(TRelayServerOptions o, TRelayCore& c, std::function<void(std::string_view)> l)
      : Opt(std::move(o)), Core(c), LogFn(std::move(l)) {
    RecvBufs.resize(kBatch * kUdpBuf);
    ReadBuf.resize(kReadChunk);
  }

  void Log(const std::string& s) {
    if (LogFn) LogFn(s);
  }

  void FlushUdp() {
    int done = 0;
    while (done < SendCount) {
      const int n = ::sendmmsg(Udp.Get(), SendMsgs + done, static_cast<unsigned>(SendCount - done), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        // EAGAIN or a per-destination error: skip the datagram at the head and go on.
        ++done;
        continue;
      }
      done += n;
    }
    SendCount = 0;
    SendOwned.clear();
  }

  // The datagram bytes must stay alive until FlushUdp.
  void QueueUdp(const TRelayEndpoint& to, const std::uint8_t* data, std::size_t size) {
    if (SendCount == kBatch) FlushUdp();
    SendAddr[SendCount] = MakeAddr(to.IP, to.Port);
    SendIov[SendCount] = {const_cast<std::uint8_t*>(data), size};
    mmsghdr& m = SendMsgs[SendCount];
    m = {};
    m.msg_hdr.msg_name = &SendAddr[SendCount];
    m.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    m.msg_hdr.msg_iov = &SendIov[SendCount];
    m.msg_hdr.msg_iovlen = 1;
    if (to.Local != 0) {
      // Leave from the address the client sent to, whatever the route to it would pick.
      m.msg_hdr.msg_control = SendCtrl[SendCount];
      m.msg_hdr.msg_controllen = kCtrlSize;
      cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_spec_dst.s_addr = htonl(to.Local);
      memcpy(CMSG_DATA(c), &info, sizeof(info));
    }
    ++SendCount;
  }

  // `stable`: the bytes stay valid until the next flush (UDP receive buffers); otherwise a UDP
  // datagram is copied first.
  void SendTo(const TRelayEndpoint& to, TByteView data, bool stable = false) {
    if (!to.IsTcp()) {
      if (stable) return QueueUdp(to, data.data(), data.size());
      if (SendCount == kBatch) FlushUdp();
      SendOwned.emplace_back(data.begin(), data.end());
      QueueUdp(to, SendOwned.back().data(), SendOwned.back().size());
      return;
    }
    auto it = Conns.find(to.Conn);
    if (it == Conns.end()) return;
    TConn& c = *it->second;
    const bool droppable = !data.empty() && data[0] == kWireForward;
    switch (QueueVerdict(Opt, c.Pending(), Queued, data.size() + 2, droppable)) {
      case TQueueVerdict::qvDrop:
        return;
      case TQueueVerdict::qvClose:
        Log("TCP client " + c.Ep.Text() + " does not read; closing");
        CloseConn(to.Conn, true);
        return;
      case TQueueVerdict::qvQueue:
        break;
    }
    if (c.OutPos > 0 && c.OutPos == c.Out.size()) {
      c.Out.clear();
      c.OutPos = 0;
    }
    const std::size_t before = c.Out.size();
    AppendFramed(c.Out, data);
    Queued += c.Out.size() - before;
    WriteConn(c);
  }

  void WriteConn(TConn& c) {
    while (c.Pending() > 0) {
      const ssize_t n = ::send(c.Fd.Get(), c.Out.data() + c.OutPos, c.Pending(), MSG_NOSIGNAL);
      if (n > 0) {
        c.OutPos += static_cast<std::size_t>(n);
        Queued -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      CloseConn(c.Ep.Conn, true);
      return;
    }
    if (c.Pending() == 0) {
      c.Out.clear();
      c.OutPos = 0;
    } else if (c.OutPos > (1u << 20)) {
      c.Out.erase(c.Out.begin(), c.Out.begin() + static_cast<std::ptrdiff_t>(c.OutPos));
      c.OutPos = 0;
    }
    const bool want = c.Pending() > 0;
    if (want != c.WantWrite) {
      c.WantWrite = want;
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP | (want ? EPOLLOUT : 0u);
      ev.data.u64 = kConnBase + c.Ep.Conn;
      ::epoll_ctl(Ep.Get(), EPOLL_CTL_MOD, c.Fd.Get(), &ev);
    }
  }

  void CloseConn(std::uint64_t id, bool tellCore) {
    auto it = Conns.find(id);
    if (it == Conns.end()) return;
    const TRelayEndpoint ep = it->second->Ep;
    ::epoll_ctl(Ep.Get(), EPOLL_CTL_DEL, it->second->Fd.Get(), nullptr);
    Queued -= it->second->Pending();
    if (auto per = ConnsPerIP.find(ep.IP); per != ConnsPerIP.end() && --per->second == 0) ConnsPerIP.erase(per);
    Conns.erase(it);
    if (tellCore) {
      TRelayOutput out;
      Core.OnClosed(ep, TickMs(), out);
      for (auto& d : out.Datagrams) SendTo(d.To, d.Data);
      // Closing one connection never asks to close another, so CloseConns stays empty here.
    }
  }

  void HandleDatagram(const TRelayEndpoint& from, const std::uint8_t* data, std::size_t size, TTick now) {
    const TByteView view(data, size);
    if (size > 1 && data[0] == kWireForward) {
      if (const TRelayEndpoint* to = Core.ForwardTarget(from, view, now)) {
        SendTo(*to, view, !from.IsTcp());
        return;
      }
    }
    Core.OnDatagram(from, view, now, Out);
    if (!Out.Datagrams.empty() || !Out.CloseConns.empty()) DispatchNow();
  }

  // Sends the core's output at once. UDP datagrams move into the owned list; moving a buffer keeps
  // its bytes where they are, so the queued pointers stay valid until the flush.
  void DispatchNow() {
    for (auto& d : Out.Datagrams) {
      if (d.To.IsTcp()) {
        SendTo(d.To, d.Data);
        continue;
      }
      if (SendCount == kBatch) FlushUdp();
      SendOwned.push_back(std::move(d.Data));
      QueueUdp(d.To, SendOwned.back().data(), SendOwned.back().size());
    }
    const auto closes = Out.CloseConns;
    Out.Clear();
    for (auto id : closes) CloseConn(id, false);
  }

  // The relay address a received datagram was sent to (its pktinfo), 0 when not given.
  static std::uint32_t LocalOf(msghdr& h) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO || c->cmsg_len < CMSG_LEN(sizeof(in_pktinfo)))
        continue;
      in_pktinfo info;
      memcpy(&info, CMSG_DATA(c), sizeof(info));
      return ntohl(info.ipi_spec_dst.s_addr);
    }
    return 0;
  }

  void ReadUdp(TTick now) {
    for (int round = 0; round < 16; ++round) {
      for (int i = 0; i < kBatch; ++i) {
        RecvIov[i] = {RecvBufs.data() + i * kUdpBuf, kUdpBuf};
        RecvMsgs[i] = {};
        RecvMsgs[i].msg_hdr.msg_name = &RecvAddr[i];
        RecvMsgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        RecvMsgs[i].msg_hdr.msg_iov = &RecvIov[i];
        RecvMsgs[i].msg_hdr.msg_iovlen = 1;
        RecvMsgs[i].msg_hdr.msg_control = RecvCtrl[i];
        RecvMsgs[i].msg_hdr.msg_controllen = kCtrlSize;
      }
      const int n = ::recvmmsg(Udp.Get(), RecvMsgs, kBatch, MSG_DONTWAIT, nullptr);
      if (n <= 0) break;
      for (int i = 0; i < n; ++i) {
        if (RecvMsgs[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
        const std::size_t len = RecvMsgs[i].msg_len;
        if (len == 0 || RecvAddr[i].sin_family != AF_INET) continue;
        TRelayEndpoint from;
        from.IP = ntohl(RecvAddr[i].sin_addr.s_addr);
        from.Port = ntohs(RecvAddr[i].sin_port);
        from.Local = LocalOf(RecvMsgs[i].msg_hdr);
        HandleDatagram(from, RecvBufs.data() + i * kUdpBuf, len, now);
      }
      // The batch may point into the receive buffers: send before they are reused.
      FlushUdp();
      if (n < kBatch) break;
    }
  }

  // Listeners stop reporting new connections until ResumeAccepting: a listener whose queue cannot
  // be taken (no descriptors left) stays readable, and would wake the loop at once, for ever.
  void PauseAccepting(TTick now, int error) {
    ++AcceptFailures;
    AcceptPause = AcceptPause == 0 ? Opt.AcceptPauseMs : std::min(AcceptPause * 2, Opt.AcceptPauseMaxMs);
    AcceptResumeAt = now + AcceptPause;
    if (!AcceptPaused) Log("accept failed: " + ErrText(error) + "; new connections wait " + std::to_string(AcceptPause) + " ms");
    AcceptPaused = true;
    WatchListeners(0);
  }
  void ResumeAccepting() {
    AcceptPaused = false;
    WatchListeners(EPOLLIN);
  }
  void WatchListeners(std::uint32_t events) {
    for (std::size_t i = 0; i < Listeners.size(); ++i) {
      epoll_event ev{};
      ev.events = events;
      ev.data.u64 = 1 + i;
      ::epoll_ctl(Ep.Get(), EPOLL_CTL_MOD, Listeners[i].Get(), &ev);
    }
  }

  void Accept(int listenFd, TTick now) {
    if (AcceptPaused) return;
    while (true) {
      sockaddr_in a{};
      socklen_t len = sizeof(a);
      const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) return PauseAccepting(now, errno);
        if (errno != EAGAIN && errno != EWOULDBLOCK) Log("accept failed: " + ErrText(errno));
        return;
      }
      TFd owned(fd);
      AcceptPause = 0;
      if (Conns.size() >= Opt.MaxConnections) continue;  // closed by TFd
      const std::uint32_t ip = ntohl(a.sin_addr.s_addr);
      if (auto per = ConnsPerIP.find(ip); per != ConnsPerIP.end() && per->second >= Opt.MaxConnectionsPerIP) {
        ++RefusedPerIP;
        continue;
      }
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      auto c = std::make_unique<TConn>();
      c->Ep.IP = ip;
      c->Ep.Port = ntohs(a.sin_port);
      c->Ep.Conn = NextConn++;
      c->LastRx = now;
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP;
      ev.data.u64 = kConnBase + c->Ep.Conn;
      if (::epoll_ctl(Ep.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) continue;
      c->Fd = std::move(owned);
      ++ConnsPerIP[ip];
      Conns.emplace(c->Ep.Conn, std::move(c));
    }
  }

  void ReadConn(std::uint64_t id, TTick now) {
    auto it = Conns.find(id);
    if (it == Conns.end()) return;
    TConn* c = it->second.get();
    for (int round = 0; round < 8; ++round) {
      const ssize_t n = ::recv(c->Fd.Get(), ReadBuf.data(), ReadBuf.size(), 0);
      if (n == 0) return CloseConn(id, true);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return CloseConn(id, true);
      }
      c->LastRx = now;
      c->Decoder.Feed(TByteView(ReadBuf.data(), static_cast<std::size_t>(n)));
      while (true) {
        const auto r = c->Decoder.Next(Frame);
        if (r == TFrameDecoder::TResult::frNeedMore) break;
        if (r == TFrameDecoder::TResult::frBad) return CloseConn(id, true);
        const TRelayEndpoint ep = c->Ep;
        HandleDatagram(ep, Frame.data(), Frame.size(), now);
        // Handling may have closed this very connection.
        it = Conns.find(id);
        if (it == Conns.end()) return;
        c = it->second.get();
      }
      if (static_cast<std::size_t>(n) < ReadBuf.size()) break;
    }
  }

  void Housekeeping(TTick now) {
    if (AcceptPaused && now >= AcceptResumeAt) ResumeAccepting();
    if (now - LastTick >= kTickMs) {
      LastTick = now;
      Core.Tick(now, Out);
      DispatchNow();
    }
    if (now - LastIdleCheck >= 1000) {
      LastIdleCheck = now;
      std::vector<std::uint64_t> idle;
      for (auto& [id, c] : Conns)
        if (now - c->LastRx > Opt.ConnIdleMs) idle.push_back(id);
      for (auto id : idle) CloseConn(id, true);
    }
    FlushUdp();
  }
};

TRelayServer::TRelayServer(TRelayServerOptions AOptions, TRelayCore& ACore, std::function<void(std::string_view)> ALog)
    : FImpl(std::make_unique<TImpl>(std::move(AOptions), ACore, std::move(ALog))) {}

TRelayServer::~TRelayServer() = default;

std::size_t TRelayServer::Connections() const { return FImpl->Conns.size(); }

TRelayServerStats TRelayServer::Stats() const {
  const TImpl& m = *FImpl;
  return TRelayServerStats{m.Conns.size(), m.Queued, m.RefusedPerIP, m.AcceptFailures, m.AcceptPaused};
}

bool TRelayServer::Open(std::string& AError) {
  TImpl& m = *FImpl;
  const auto listenIP = ParseIPv4(m.Opt.Listen);
  if (!listenIP) {
    AError = "bad listen address " + m.Opt.Listen;
    return false;
  }
  m.Ep = TFd(::epoll_create1(EPOLL_CLOEXEC));
  if (m.Ep.Get() < 0) {
    AError = "epoll_create1: " + ErrText(errno);
    return false;
  }
  m.Udp = TFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (m.Udp.Get() < 0) {
    AError = "UDP socket: " + ErrText(errno);
    return false;
  }
  const int bufSize = 8 << 20;
  ::setsockopt(m.Udp.Get(), SOL_SOCKET, SO_RCVBUF, &bufSize, sizeof(bufSize));
  ::setsockopt(m.Udp.Get(), SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof(bufSize));
  // Each datagram's destination address comes with it, so answers leave from that address.
  const int on = 1;
  if (::setsockopt(m.Udp.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) != 0) {
    AError = "IP_PKTINFO: " + ErrText(errno);
    return false;
  }
  sockaddr_in a = MakeAddr(*listenIP, m.Opt.UdpPort);
  if (::bind(m.Udp.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    AError = "cannot bind UDP " + m.Opt.Listen + ":" + std::to_string(m.Opt.UdpPort) + ": " + ErrText(errno);
    return false;
  }
  socklen_t len = sizeof(a);
  ::getsockname(m.Udp.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  FUdpPort = ntohs(a.sin_port);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kTagUdp;
  ::epoll_ctl(m.Ep.Get(), EPOLL_CTL_ADD, m.Udp.Get(), &ev);

  std::size_t count = 0;
  for (auto port : m.Opt.TcpPorts) {
    if (count == 4) break;
    TFd l(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(l.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in la = MakeAddr(*listenIP, port);
    if (!l || ::bind(l.Get(), reinterpret_cast<sockaddr*>(&la), sizeof(la)) != 0 || ::listen(l.Get(), 1024) != 0) {
      m.Log("Cannot listen on TCP " + std::to_string(port) + ": " + ErrText(errno) + "; skipped");
      continue;
    }
    len = sizeof(la);
    ::getsockname(l.Get(), reinterpret_cast<sockaddr*>(&la), &len);
    ev.events = EPOLLIN;
    ev.data.u64 = 1 + count;
    ::epoll_ctl(m.Ep.Get(), EPOLL_CTL_ADD, l.Get(), &ev);
    FBoundTcp.push_back(ntohs(la.sin_port));
    m.Listeners.push_back(std::move(l));
    ++count;
  }
  return true;
}

void TRelayServer::RunOnce(int ATimeoutMs) {
  TImpl& m = *FImpl;
  epoll_event events[128];
  const int n = ::epoll_wait(m.Ep.Get(), events, 128, ATimeoutMs);
  const TTick now = TickMs();
  for (int i = 0; i < n; ++i) {
    const std::uint64_t tag = events[i].data.u64;
    if (tag == kTagUdp) {
      m.ReadUdp(now);
    } else if (tag < kConnBase) {
      m.Accept(m.Listeners[tag - 1].Get(), now);
    } else {
      const std::uint64_t id = tag - kConnBase;
      const std::uint32_t e = events[i].events;
      if (e & EPOLLIN) m.ReadConn(id, now);
      auto it = m.Conns.find(id);
      if (it == m.Conns.end()) continue;
      if (e & EPOLLOUT) m.WriteConn(*it->second);
      it = m.Conns.find(id);
      if (it != m.Conns.end() && (e & (EPOLLERR | EPOLLHUP))) m.CloseConn(id, true);
      else if (it != m.Conns.end() && (e & EPOLLRDHUP) && !(e & EPOLLIN)) m.CloseConn(id, true);
    }
  }
  m.Housekeeping(now);
}

void TRelayServer::Run() {
  while (!FStop.load()) RunOnce(100);
}

}  // namespace tovik
