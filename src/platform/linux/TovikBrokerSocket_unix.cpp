#include "platform/linux/TovikBrokerSocket_unix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "base/TovikClock.h"
#include "base/TovikFiles.h"
#include "platform/linux/TovikServiceLinux.h"

namespace tovik {

std::string BrokerSocketPath(const std::string& ADir, std::uint32_t AUid) {
  return ADir + "/desktop-" + std::to_string(AUid) + ".sock";
}

namespace {

bool FillAddress(const std::string& APath, sockaddr_un& AAddr) {
  std::memset(&AAddr, 0, sizeof AAddr);
  AAddr.sun_family = AF_UNIX;
  if (APath.size() >= sizeof AAddr.sun_path) return false;
  std::memcpy(AAddr.sun_path, APath.data(), APath.size());
  return true;
}

// Waits for AEvents on AFd until the deadline; false on the time-out or an error (AError set).
bool WaitFd(int AFd, short AEvents, TTick ADeadline, int& AError) {
  for (;;) {
    const TTick now = TickMs();
    if (now >= ADeadline) {
      AError = ETIMEDOUT;
      return false;
    }
    pollfd p{AFd, AEvents, 0};
    const int r = ::poll(&p, 1, static_cast<int>(ADeadline - now));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) {
      AError = errno;
      return false;
    }
  }
}

bool WriteAllUntil(int AFd, const std::uint8_t* AData, std::size_t ALength, TTick ADeadline, int& AError) {
  std::size_t done = 0;
  while (done < ALength) {
    const ssize_t n = ::send(AFd, AData + done, ALength - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFd(AFd, POLLOUT, ADeadline, AError)) return false;
      continue;
    }
    AError = n < 0 ? errno : EPIPE;
    return false;
  }
  return true;
}

bool ReadAllUntil(int AFd, std::uint8_t* AData, std::size_t ALength, TTick ADeadline, int& AError) {
  std::size_t done = 0;
  while (done < ALength) {
    const ssize_t n = ::recv(AFd, AData + done, ALength - done, MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      AError = ECONNRESET;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFd(AFd, POLLIN, ADeadline, AError)) return false;
      continue;
    }
    AError = errno;
    return false;
  }
  return true;
}

class TUnixBrokerTransport final : public IBrokerTransport {
 public:
  explicit TUnixBrokerTransport(std::string APath) : FPath(std::move(APath)) {}
  ~TUnixBrokerTransport() override { Close(); }

  bool Connected() const override { return FFd.Get() >= 0; }
  bool Connect(int ATimeoutMs, int& AError) override {
    Close();
    sockaddr_un addr{};
    if (!FillAddress(FPath, addr)) {
      AError = ENAMETOOLONG;
      return false;
    }
    TFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.Get() < 0) {
      AError = errno;
      return false;
    }
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (errno != EINPROGRESS && errno != EAGAIN) {
        AError = errno;
        return false;
      }
      if (!WaitFd(fd.Get(), POLLOUT, TickMs() + static_cast<TTick>(ATimeoutMs), AError)) return false;
      int soErr = 0;
      socklen_t len = sizeof soErr;
      if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soErr, &len) != 0 || soErr != 0) {
        AError = soErr ? soErr : errno;
        return false;
      }
    }
    FFd = std::move(fd);
    return true;
  }
  bool Send(TByteView AData, int ATimeoutMs, int& AError) override {
    return Connected() &&
           WriteAllUntil(FFd.Get(), AData.data(), AData.size(), TickMs() + static_cast<TTick>(ATimeoutMs), AError);
  }
  bool Receive(std::uint8_t* AData, std::size_t ALength, int ATimeoutMs, int& AError) override {
    return Connected() && ReadAllUntil(FFd.Get(), AData, ALength, TickMs() + static_cast<TTick>(ATimeoutMs), AError);
  }
  void Close() override { FFd = TFd(); }
  std::string Name() const override { return FPath; }

 private:
  std::string FPath;
  TFd FFd;
};

class TLinuxPeerInspector final : public IBrokerPeerInspector {
 public:
  TBrokerPeer Inspect(int AFd) override {
    TBrokerPeer peer;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(AFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
      peer.CredError = errno;
      return peer;
    }
    peer.Pid = cred.pid;
    peer.Uid = cred.uid;
    if (cred.pid <= 0) return peer;
    // Hold the process through a pidfd while its program is read, and make sure afterwards that the
    // same process still lives, so that a reused process id cannot lend another program's path.
    TFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, cred.pid, 0)));
    if (pidfd.Get() < 0) {
      peer.ExeError = errno;
      return peer;
    }
    char buf[4096];
    const std::string link = "/proc/" + std::to_string(cred.pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) {
      peer.ExeError = errno ? errno : ENOENT;
      return peer;
    }
    if (::syscall(SYS_pidfd_send_signal, pidfd.Get(), 0, nullptr, 0) != 0) {
      peer.ExeError = errno;
      return peer;
    }
    peer.Exe.assign(buf, static_cast<std::size_t>(n));
    return peer;
  }
};

}  // namespace

std::unique_ptr<IBrokerTransport> CreateUnixBrokerTransport(std::string APath) {
  return std::make_unique<TUnixBrokerTransport>(std::move(APath));
}

std::unique_ptr<IBrokerTransport> IBrokerTransport::Create() {
  return CreateUnixBrokerTransport(BrokerSocketPath(BrokerDir(), ::getuid()));
}

void ProtectInteractiveProcess() { ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }

std::unique_ptr<IBrokerPeerInspector> IBrokerPeerInspector::Create() { return std::make_unique<TLinuxPeerInspector>(); }

// ---- the server ------------------------------------------------------------------------------------

struct TBrokerSocketServer::TImpl {
  TConfig Config;
  std::function<std::unique_ptr<IBrokerDesktop>()> MakeDesktop;
  TFd Wake;
  std::mutex Lock;  // guards Wanted and Stop
  std::vector<std::uint32_t> Wanted;
  bool Stop = false;
  std::thread Thread;

  // Thread-side state.
  std::map<std::uint32_t, TFd> Listening;
  std::vector<std::uint32_t> Seat;
  std::optional<TTick> LastReject;

  void Log(const std::string& ALine) {
    if (Config.Log) Config.Log(ALine);
  }

  void Signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(Wake.Get(), &one, sizeof one);
  }

  void Listen(std::uint32_t AUid) {
    const std::string path = BrokerSocketPath(Config.Dir, AUid);
    sockaddr_un addr{};
    if (!FillAddress(path, addr)) return;
    ::unlink(path.c_str());
    TFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // Only the user (and root) may connect: made with no access, then handed to the user.
    const mode_t old = ::umask(0777);
    const bool bound = fd.Get() >= 0 && ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(old);
    if (!bound || ::chown(path.c_str(), AUid, static_cast<gid_t>(-1)) != 0 || ::chmod(path.c_str(), 0600) != 0 ||
        ::listen(fd.Get(), 4) != 0) {
      Log("Desktop broker socket creation failed for uid " + std::to_string(AUid) + ": " + std::strerror(errno));
      ::unlink(path.c_str());
      return;
    }
    Log("Desktop broker socket ready for uid " + std::to_string(AUid));
    Listening[AUid] = std::move(fd);
  }

  void Unlisten(std::uint32_t AUid) {
    ::unlink(BrokerSocketPath(Config.Dir, AUid).c_str());
    Listening.erase(AUid);
  }

  // Applies the wanted users; false when asked to stop.
  bool TakeWanted() {
    std::vector<std::uint32_t> wanted;
    {
      std::lock_guard<std::mutex> lock(Lock);
      if (Stop) return false;
      wanted = Wanted;
    }
    std::uint64_t drained = 0;
    [[maybe_unused]] ssize_t n = ::read(Wake.Get(), &drained, sizeof drained);
    Seat = wanted;
    for (auto it = Listening.begin(); it != Listening.end();) {
      const std::uint32_t uid = it->first;
      ++it;
      if (std::find(wanted.begin(), wanted.end(), uid) == wanted.end()) Unlisten(uid);
    }
    for (std::uint32_t uid : wanted)
      if (!Listening.count(uid)) Listen(uid);
    return true;
  }

  void Reject(const std::string& AReason) {
    const TTick now = TickMs();
    if (LastReject && now - *LastReject < 10'000) return;
    LastReject = now;
    Log("Desktop broker rejected a client: " + AReason);
  }

  // Serves one client until it goes away, breaks the protocol or the server stops.
  void Serve(TFd AClient, std::uint32_t AUid, IBrokerDesktop& ADesktop) {
    TBrokerConnection conn(ADesktop, [this](const std::string& l) { Log(l); });
    TBytes buf;
    for (;;) {
      const std::size_t want = conn.Want();
      if (want == 0) return;
      buf.resize(want);
      std::size_t have = 0;
      TTick deadline = 0;  // none until a request has begun
      while (have < want) {
        pollfd p[2] = {{Wake.Get(), POLLIN, 0}, {AClient.Get(), POLLIN, 0}};
        int timeout = -1;
        if (deadline) {
          const TTick now = TickMs();
          if (now >= deadline) return;  // a request begun and never finished
          timeout = static_cast<int>(deadline - now);
        }
        const int r = ::poll(p, 2, timeout);
        if (r < 0 && errno != EINTR) return;
        // Asked to stop, or the user no longer has a session on the seat: the connection ends.
        if (p[0].revents && (!TakeWanted() || std::find(Seat.begin(), Seat.end(), AUid) == Seat.end())) return;
        if (!p[1].revents) continue;
        const ssize_t n = ::recv(AClient.Get(), buf.data() + have, want - have, MSG_DONTWAIT);
        if (n == 0) return;
        if (n < 0) {
          if (errno == EINTR || errno == EAGAIN) continue;
          return;
        }
        have += static_cast<std::size_t>(n);
        if (!deadline) deadline = TickMs() + static_cast<TTick>(Config.RequestTimeoutMs);
      }
      const TBytes reply = conn.Take(buf);
      int err = 0;
      if (!reply.empty() &&
          !WriteAllUntil(AClient.Get(), reply.data(), reply.size(), TickMs() + static_cast<TTick>(Config.RequestTimeoutMs),
                         err))
        return;
    }
  }

  void Run(std::atomic<bool>& ARunning) {
    std::unique_ptr<IBrokerDesktop> desktop = MakeDesktop ? MakeDesktop() : nullptr;
    if (!desktop) {
      Log("Desktop broker could not open its display");
      ARunning = false;
      return;
    }
    while (TakeWanted()) {
      std::vector<pollfd> polls{{Wake.Get(), POLLIN, 0}};
      std::vector<std::uint32_t> uids;
      for (auto& [uid, fd] : Listening) {
        polls.push_back({fd.Get(), POLLIN, 0});
        uids.push_back(uid);
      }
      const int r = ::poll(polls.data(), polls.size(), -1);
      if (r < 0 && errno != EINTR) break;
      for (std::size_t i = 1; i < polls.size(); ++i) {
        if (!polls[i].revents) continue;
        TFd client(::accept4(polls[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (client.Get() < 0) continue;
        const TBrokerPeer peer = Config.Inspector ? Config.Inspector->Inspect(client.Get()) : TBrokerPeer{EPERM, 0, 0, 0, {}};
        const std::string reason = BrokerClientRejection(peer, {uids[i - 1], Seat, Config.Program});
        if (!reason.empty()) {
          Reject(reason);
          continue;
        }
        // Room for a whole tile update in the socket, as the pipe's 1 MiB output buffer had.
        const int sendBuffer = 1 << 20;
        ::setsockopt(client.Get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        Serve(std::move(client), uids[i - 1], *desktop);
        break;  // the set of sockets may have changed meanwhile
      }
    }
    for (auto it = Listening.begin(); it != Listening.end();) {
      const std::uint32_t uid = it->first;
      ++it;
      Unlisten(uid);
    }
    ARunning = false;
  }
};

TBrokerSocketServer::TBrokerSocketServer(TConfig AConfig, std::function<std::unique_ptr<IBrokerDesktop>()> AMakeDesktop)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->Config = std::move(AConfig);
  FImpl->MakeDesktop = std::move(AMakeDesktop);
  FImpl->Wake = TFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  ::mkdir(FImpl->Config.Dir.c_str(), 0755);
  FRunning = true;
  FImpl->Thread = std::thread([this] { FImpl->Run(FRunning); });
}

TBrokerSocketServer::~TBrokerSocketServer() {
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    FImpl->Stop = true;
  }
  FImpl->Signal();
  if (FImpl->Thread.joinable()) FImpl->Thread.join();
}

void TBrokerSocketServer::SetUsers(const std::vector<std::uint32_t>& AUids) {
  {
    std::lock_guard<std::mutex> lock(FImpl->Lock);
    if (FImpl->Wanted == AUids) return;
    FImpl->Wanted = AUids;
  }
  FImpl->Signal();
}

}  // namespace tovik
