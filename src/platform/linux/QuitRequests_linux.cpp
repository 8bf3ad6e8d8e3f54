// Quit requests on Linux: SIGTERM, SIGINT and SIGHUP. The handler only writes one byte into a
// non-blocking pipe (async-signal-safe); a watcher thread waits on the pipe's read end and hands the
// requests to the owner's handler.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "app/TovikRunModes.h"
#include "base/TovikFiles.h"

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

bool MakePipe(TFd& ARead, TFd& AWrite) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  ARead.Reset(fds[0]);
  AWrite.Reset(fds[1]);
  return true;
}

class TQuitRequestsSignals final : public IQuitRequests {
 public:
  TQuitRequestsSignals(TFd ARead, TFd AWrite) : FRead(std::move(ARead)), FWrite(std::move(AWrite)) {}
  ~TQuitRequestsSignals() override {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s : kSignals) ::sigaction(s, &dfl, nullptr);
    GWriteFd.store(-1);
    if (FWatcher.joinable()) {
      char b = 's';
      [[maybe_unused]] ssize_t n = ::write(FStopWrite.Get(), &b, 1);
      FWatcher.join();
    }
  }

  void SetHandler(std::function<void()> AOnRequest) override {
    if (FWatcher.joinable() || !AOnRequest || !MakePipe(FStopRead, FStopWrite)) return;
    FWatcher = std::thread([this, on = std::move(AOnRequest)] { Watch(on); });
  }

  bool Take() override {
    bool any = false;
    char buf[64];
    for (;;) {
      ssize_t n = ::read(FRead.Get(), buf, sizeof buf);
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
  // The watcher thread: until the stop pipe becomes readable.
  void Watch(const std::function<void()>& AOnRequest) {
    for (;;) {
      pollfd p[2] = {{FRead.Get(), POLLIN, 0}, {FStopRead.Get(), POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents != 0) return;
      if (p[0].revents != 0 && Take()) AOnRequest();
    }
  }

  TFd FRead;
  TFd FWrite;
  TFd FStopRead;
  TFd FStopWrite;
  std::thread FWatcher;
};

}  // namespace

std::unique_ptr<IQuitRequests> IQuitRequests::Create() {
  if (GWriteFd.load() >= 0) return nullptr;  // one at a time
  TFd readEnd, writeEnd;
  if (!MakePipe(readEnd, writeEnd)) return nullptr;
  const int writeFd = writeEnd.Get();
  auto obj = std::make_unique<TQuitRequestsSignals>(std::move(readEnd), std::move(writeEnd));
  GWriteFd.store(writeFd);
  struct sigaction sa {};
  sa.sa_handler = OnQuitSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : kSignals) ::sigaction(s, &sa, nullptr);
  return obj;
}

}  // namespace tovik
