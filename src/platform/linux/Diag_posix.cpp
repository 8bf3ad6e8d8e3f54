// IDiagNet over POSIX sockets: blocking calls bounded by poll() time-outs, for the connection test's
// worker thread. The update site is asked with a HEAD request through the HTTP client (libcurl).
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/TovikClock.h"
#include "base/TovikFiles.h"
#include "diag/TovikDiag.h"
#include "net/TovikWire.h"
#include "update/TovikHttp.h"

namespace tovik {

namespace {

std::string Errno(int e) { return std::strerror(e); }

sockaddr_in Addr(const std::string& ip, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

// Waits for fd to become ready for events within ms; false on time-out (error says so).
bool WaitFor(int fd, short events, std::int64_t ms, std::string& error) {
  const TTick deadline = TickMs() + static_cast<TTick>(ms < 0 ? 0 : ms);
  for (;;) {
    const TTick now = TickMs();
    const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, left);
    if (r > 0) return true;
    if (r == 0) {
      error = "timed out";
      return false;
    }
    if (errno != EINTR) {
      error = Errno(errno);
      return false;
    }
  }
}

class TUdp : public IDiagUdp {
 public:
  explicit TUdp(TFd fd) : FFd(std::move(fd)) {}
  bool SendTo(const std::string& ip, std::uint16_t port, TByteView data, std::string& error) override {
    const sockaddr_in a = Addr(ip, port);
    if (::sendto(FFd.Get(), data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0) {
      error = Errno(errno);
      return false;
    }
    return true;
  }
  std::optional<TDiagDatagram> Receive(std::int64_t timeoutMs, std::size_t maxBytes) override {
    std::string error;
    if (!WaitFor(FFd.Get(), POLLIN, timeoutMs, error)) return std::nullopt;
    TDiagDatagram d;
    d.Data.resize(maxBytes);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(FFd.Get(), d.Data.data(), maxBytes, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    d.Data.resize(std::min<std::size_t>(static_cast<std::size_t>(n), maxBytes));
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    d.FromIP = ip;
    d.FromPort = ntohs(from.sin_port);
    return d;
  }

 private:
  TFd FFd;
};

class TTcp : public IDiagTcp {
 public:
  explicit TTcp(TFd fd) : FFd(std::move(fd)) {}
  bool SendAll(TByteView data, std::string& error) override {
    std::size_t sent = 0;
    while (sent < data.size()) {
      if (!WaitFor(FFd.Get(), POLLOUT, 5000, error)) return false;
      const ssize_t n = ::send(FFd.Get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        error = Errno(errno);
        return false;
      }
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool ReadExactly(std::size_t count, std::int64_t timeoutMs, TBytes& out, std::string& error) override {
    out.assign(count, 0);
    std::size_t got = 0;
    const TTick deadline = TickMs() + static_cast<TTick>(timeoutMs);
    while (got < count) {
      const TTick now = TickMs();
      if (now >= deadline || !WaitFor(FFd.Get(), POLLIN, static_cast<std::int64_t>(deadline - now), error)) {
        error = "timed out";
        return false;
      }
      const ssize_t n = ::recv(FFd.Get(), out.data() + got, count - got, 0);
      if (n == 0) {
        error = "the server closed the connection";
        return false;
      }
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        error = Errno(errno);
        return false;
      }
      got += static_cast<std::size_t>(n);
    }
    return true;
  }
  int Fd() const { return FFd.Get(); }

 private:
  TFd FFd;
};

class TDiagNetPosix : public IDiagNet {
 public:
  std::vector<std::string> LocalAddresses() override {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      char ip[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, ip, sizeof ip);
      if (std::strncmp(ip, "127.", 4) != 0) out.emplace_back(ip);
    }
    ::freeifaddrs(list);
    return out;
  }

  bool Resolve(const std::string& host, std::string& ip, std::string& error) override {
    if (ParseIPv4(host)) {
      ip = host;
      return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
      error = rc ? ::gai_strerror(rc) : "no address";
      return false;
    }
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, buf, sizeof buf);
    ::freeaddrinfo(res);
    ip = buf;
    return true;
  }

  std::unique_ptr<IDiagUdp> OpenUdp(std::string& error) override {
    TFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
      error = Errno(errno);
      return nullptr;
    }
    return std::make_unique<TUdp>(std::move(fd));
  }

  std::unique_ptr<IDiagTcp> ConnectTcp(const std::string& ip, std::uint16_t port, std::int64_t timeoutMs,
                                       std::string& error) override {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
      error = Errno(errno);
      return nullptr;
    }
    const sockaddr_in a = Addr(ip, port);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      if (errno != EINPROGRESS) {
        error = Errno(errno);
        return nullptr;
      }
      if (!WaitFor(fd.Get(), POLLOUT, timeoutMs, error)) return nullptr;
      int soError = 0;
      socklen_t len = sizeof soError;
      ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soError, &len);
      if (soError != 0) {
        error = Errno(soError);
        return nullptr;
      }
    }
    return std::make_unique<TTcp>(std::move(fd));
  }

  // The update site is asked through the program's one HTTP client (http:// and https://).
  bool HttpHead(const std::string& url, std::int64_t timeoutMs, int& status, std::string& error) override {
    if (!FHttp) FHttp = IHttpClient::Create();
    THttpOptions o;
    o.ConnectTimeoutMs = timeoutMs;
    o.StallTimeoutMs = timeoutMs;
    const THttpResult r = FHttp->Head(url, o);
    if (r.Outcome != THttpOutcome::hrOk) {
      error = r.Error.empty() ? std::string("no answer") : r.Error;
      return false;
    }
    status = r.Status;
    return true;
  }

 private:
  std::shared_ptr<IHttpClient> FHttp;
};

}  // namespace

std::unique_ptr<IDiagNet> IDiagNet::Create() { return std::make_unique<TDiagNetPosix>(); }

}  // namespace tovik
