// A small HTTP/1.1 server on 127.0.0.1 for real-socket tests of the HTTP client and the updater.
// One connection at a time on its own thread, "Connection: close" on every answer. Routes map a path
// (without the query) to a canned answer; a route can send a body longer than the Content-Length it
// announces, stream without any length, or redirect.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovik::test {

struct THttpAnswer {
  int Status = 200;
  std::string Body;
  std::optional<std::int64_t> ContentLength;  // announced length; none = the body's size
  bool NoLength = false;                      // no Content-Length: the body ends when the server closes
  std::int64_t StreamExtra = 0;               // bytes sent after Body (for bodies longer than declared)
  std::string Location;                       // a redirect's target
  int DripMs = 0;                             // Body sent one byte at a time, this far apart
};

struct TSeenRequest {
  std::string Method;
  std::string Target;  // path with query
  std::string UserAgent;
};

class TTinyHttpServer {
 public:
  TTinyHttpServer() {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FListen, 8);
    socklen_t len = sizeof a;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Serve(); });
  }
  ~TTinyHttpServer() {
    FStop = true;
    ::shutdown(FListen, SHUT_RDWR);
    FThread.join();
    ::close(FListen);
  }

  std::uint16_t Port() const { return FPort; }
  std::string Url(const std::string& APath) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + APath;
  }
  void Route(const std::string& APath, THttpAnswer AAnswer) {
    std::lock_guard<std::mutex> lock(FMutex);
    FRoutes[APath] = std::move(AAnswer);
  }
  std::vector<TSeenRequest> Seen() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FSeen;
  }
  // Body bytes written for the last answer (less than planned when the client hung up early).
  std::int64_t LastBodySent() const { return FLastSent.load(); }

 private:
  void Serve() {
    while (!FStop) {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      int c = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      Handle(c);
      ::close(c);
    }
  }

  static bool SendAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
      ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
      if (w <= 0) return false;
      data += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }

  void Handle(int c) {
    std::string req;
    char buf[4096];
    while (req.find("\r\n\r\n") == std::string::npos && req.size() < 65536) {
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return;
      ssize_t got = ::recv(c, buf, sizeof buf, 0);
      if (got <= 0) return;
      req.append(buf, static_cast<std::size_t>(got));
    }
    TSeenRequest seen;
    const std::size_t sp1 = req.find(' ');
    const std::size_t sp2 = req.find(' ', sp1 + 1);
    seen.Method = req.substr(0, sp1);
    seen.Target = req.substr(sp1 + 1, sp2 - sp1 - 1);
    if (std::size_t ua = req.find("User-Agent: "); ua != std::string::npos)
      seen.UserAgent = req.substr(ua + 12, req.find("\r\n", ua) - ua - 12);
    THttpAnswer answer;
    answer.Status = 404;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FSeen.push_back(seen);
      const std::string path = seen.Target.substr(0, seen.Target.find('?'));
      if (auto it = FRoutes.find(path); it != FRoutes.end()) answer = it->second;
    }
    std::string head = "HTTP/1.1 " + std::to_string(answer.Status) + " X\r\nConnection: close\r\n";
    if (!answer.Location.empty()) head += "Location: " + answer.Location + "\r\n";
    if (!answer.NoLength)
      head += "Content-Length: " +
              std::to_string(answer.ContentLength ? *answer.ContentLength
                                                  : static_cast<std::int64_t>(answer.Body.size())) +
              "\r\n";
    head += "\r\n";
    FLastSent = 0;
    if (!SendAll(c, head.data(), head.size())) return;
    if (seen.Method == "HEAD") return;
    if (answer.DripMs > 0) {
      for (char ch : answer.Body) {
        std::this_thread::sleep_for(std::chrono::milliseconds(answer.DripMs));
        if (!SendAll(c, &ch, 1)) return;
      }
    } else if (!SendAll(c, answer.Body.data(), answer.Body.size())) {
      return;
    }
    std::int64_t sent = static_cast<std::int64_t>(answer.Body.size());
    FLastSent = sent;
    const std::string chunk(65536, 'x');
    for (std::int64_t left = answer.StreamExtra; left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, chunk.size()));
      if (!SendAll(c, chunk.data(), n)) break;
      left -= static_cast<std::int64_t>(n);
      sent += static_cast<std::int64_t>(n);
      FLastSent = sent;
    }
    ::shutdown(c, SHUT_WR);
    // Let the client read everything before the socket closes.
    pollfd p{c, POLLIN, 0};
    ::poll(&p, 1, 2000);
  }

  int FListen = -1;
  std::uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<std::int64_t> FLastSent{0};
  mutable std::mutex FMutex;
  std::map<std::string, THttpAnswer> FRoutes;
  std::vector<TSeenRequest> FSeen;
  std::thread FThread;
};

}  // namespace tovik::test
