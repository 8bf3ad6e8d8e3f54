// Quit requests on Linux: SIGTERM, SIGINT and SIGHUP. The handler only writes one byte into a
// non-blocking pipe (async-signal-safe); the GUI thread watches the pipe's read end.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "app/TovikRunModes.h"

namespace tovik {

namespace {

std::atomic<int> GWriteFd{-1};

extern "C" void OnQuitSignal(int) {
  int saved = errno;
  int fd = GWriteFd.load();
  if (fd >= 0) {
    char b = 'q';
    [[maybe_unused]] ssize_t n = ::write(fd, &b, 1);  // a full pipe already holds a request
  }
  errno = saved;
}

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

class TQuitRequestsSignals final : public IQuitRequests {
 public:
  TQuitRequestsSignals(int readFd, int writeFd) : FRead(readFd), FWrite(writeFd) {}
  ~TQuitRequestsSignals() override {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s : kSignals) ::sigaction(s, &dfl, nullptr);
    GWriteFd.store(-1);
    ::close(FRead);
    ::close(FWrite);
  }
  int Fd() const override { return FRead; }
  bool Take() override {
    bool any = false;
    char buf[64];
    for (;;) {
      ssize_t n = ::read(FRead, buf, sizeof buf);
      if (n > 0) {
        any = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    return any;
  }

 private:
  int FRead;
  int FWrite;
};

}  // namespace

std::unique_ptr<IQuitRequests> IQuitRequests::Create() {
  if (GWriteFd.load() >= 0) return nullptr;  // one at a time
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
  auto obj = std::make_unique<TQuitRequestsSignals>(fds[0], fds[1]);
  GWriteFd.store(fds[1]);
  struct sigaction sa {};
  sa.sa_handler = OnQuitSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : kSignals) ::sigaction(s, &sa, nullptr);
  return obj;
}

}  // namespace tovik
