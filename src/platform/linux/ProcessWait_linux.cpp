// Waiting for another process to end, through a pidfd (Linux 5.3 and later): it becomes readable
// when the process has ended, whoever its parent is.
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "app/TovikRunModes.h"
#include "base/TovikClock.h"

namespace tovik {

namespace {

class TProcessWaiterPidfd final : public IProcessWaiter {
 public:
  TWaitResult WaitForExit(long pid, int timeoutMs) override {
    if (pid <= 0) return TWaitResult::wrNotOpened;  // 0 and negative values name process groups
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) return TWaitResult::wrNotOpened;
    const TTick deadline = TickMs() + static_cast<TTick>(timeoutMs < 0 ? 0 : timeoutMs);
    TWaitResult result = TWaitResult::wrTimedOut;
    for (;;) {
      TTick now = TickMs();
      int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
      pollfd p{fd, POLLIN, 0};
      int n = ::poll(&p, 1, left);
      if (n > 0) {
        result = TWaitResult::wrEnded;
        break;
      }
      if (n == 0 || errno != EINTR) break;
    }
    ::close(fd);
    return result;
  }
};

}  // namespace

std::unique_ptr<IProcessWaiter> IProcessWaiter::Create() { return std::make_unique<TProcessWaiterPidfd>(); }

}  // namespace tovik
