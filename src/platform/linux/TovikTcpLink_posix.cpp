#include "platform/linux/TovikTcpLink_posix.h"

#include "net/TovikWire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tovik {

namespace {

constexpr int KConnectTimeoutMs = 5000;
constexpr int KWaitMs = 10;

[[noreturn]] void Fail(const std::string& AText) { throw std::runtime_error(AText); }
[[noreturn]] void FailErrno(int AErr) { Fail(std::strerror(AErr)); }

}  // namespace

TRelayTcpLink::TRelayTcpLink(IRxSink& AOwner, std::string AHost, std::uint16_t APort,
                             std::string AFromIP, std::uint16_t AFromPort)
    : FOwner(AOwner),
      FHost(std::move(AHost)),
      FPort(APort),
      FFromIP(std::move(AFromIP)),
      FFromPort(AFromPort) {
  FThread = std::thread([this] { Execute(); });
}

TRelayTcpLink::~TRelayTcpLink() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
}

std::string TRelayTcpLink::Error() const {
  std::lock_guard<std::mutex> g(FErrorLock);
  return FError;
}

std::size_t TRelayTcpLink::Queued() const {
  std::lock_guard<std::mutex> g(FLock);
  return FQueued;
}

void TRelayTcpLink::Send(TByteView AData, bool ADroppable) {
  TBytes framed;
  if (!AppendFramed(framed, AData)) return;
  std::lock_guard<std::mutex> g(FLock);
  if (ADroppable && FQueued + framed.size() > KTcpOutboxLimit) return;
  FQueued += framed.size();
  FOutbox.push_back(std::move(framed));
}

bool TRelayTcpLink::FlushTimeUp() {
  if (!FStop) return false;
  const auto now = std::chrono::steady_clock::now();
  if (!FFlushing) {
    FFlushing = true;
    FFlushEnd = now + std::chrono::milliseconds(KTcpFlushMs);
  }
  return now >= FFlushEnd;
}

bool TRelayTcpLink::WriteAll(int AFd, TByteView AData) {
  std::size_t off = 0;
  while (off < AData.size()) {
    if (FlushTimeUp()) return false;
    const ssize_t n = ::send(AFd, AData.data() + off, AData.size() - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) FailErrno(errno);
    pollfd p{AFd, POLLOUT, 0};
    ::poll(&p, 1, KWaitMs);
  }
  return true;
}

void TRelayTcpLink::Flush(int AFd) {
  std::vector<TBytes> left;
  {
    std::lock_guard<std::mutex> g(FLock);
    left.swap(FOutbox);
    FQueued = 0;
  }
  for (const TBytes& frame : left)
    if (!WriteAll(AFd, frame)) return;
  // Half-close and read until the relay closes as well: closing with unread data would reset the
  // connection, and a reset may throw away what was just written.
  ::shutdown(AFd, SHUT_WR);
  std::uint8_t buf[4096];
  while (!FlushTimeUp()) {
    pollfd p{AFd, POLLIN, 0};
    const int r = ::poll(&p, 1, KWaitMs);
    if (r < 0 && errno != EINTR) return;
    if (r <= 0) continue;
    const ssize_t n = ::recv(AFd, buf, sizeof buf, 0);
    if (n == 0) return;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
  }
}

void TRelayTcpLink::Execute() {
  int fd = -1;
  try {
    Run(fd);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> g(FErrorLock);
    FError = e.what();
  }
  if (fd >= 0) ::close(fd);  // errors while closing are ignored
  FConnected = false;
  FDone = true;
}

void TRelayTcpLink::Run(int& AFd) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(FPort);
  if (::inet_pton(AF_INET, FHost.c_str(), &addr.sin_addr) != 1) Fail("bad address " + FHost);

  AFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (AFd < 0) FailErrno(errno);
  if (::connect(AFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) FailErrno(errno);
    // Wait for the connection in short steps so a stop request is noticed quickly.
    int waited = 0;
    for (;;) {
      if (FStop) return;
      pollfd p{AFd, POLLOUT, 0};
      const int r = ::poll(&p, 1, KWaitMs);
      if (r < 0 && errno != EINTR) FailErrno(errno);
      if (r > 0) break;
      waited += KWaitMs;
      if (waited >= KConnectTimeoutMs) Fail("Connection timed out.");
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(AFd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) FailErrno(err);
  }
  int one = 1;
  ::setsockopt(AFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  FConnected = true;

  TFrameDecoder decoder;
  std::vector<TBytes> taken;
  std::uint8_t buf[65536];
  while (!FStop) {
    {
      std::lock_guard<std::mutex> g(FLock);
      taken.swap(FOutbox);
      FQueued = 0;
    }
    // A stop does not cut a frame short (the stream would be corrupt): what was taken is written
    // within the flush time.
    for (const TBytes& frame : taken)
      if (!WriteAll(AFd, frame)) return;
    taken.clear();

    // Complete frames are always cut out below, so anything still buffered waits for more bytes.
    {
      pollfd p{AFd, POLLIN, 0};
      const int r = ::poll(&p, 1, KWaitMs);
      if (r < 0 && errno != EINTR) FailErrno(errno);
      if (r > 0) {
        const ssize_t n = ::recv(AFd, buf, sizeof buf, 0);
        if (n == 0) Fail("Connection closed gracefully.");
        if (n < 0) {
          if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) FailErrno(errno);
        } else {
          decoder.Feed(TByteView(buf, static_cast<std::size_t>(n)));
        }
      }
    }
    const bool good =
        decoder.Drain([this](TBytes&& d) { FOwner.PushRx(TRxPacket{std::move(d), FFromIP, FFromPort}); });
    if (!good) Fail("bad data from the server");
  }
  Flush(AFd);
}

}  // namespace tovik
