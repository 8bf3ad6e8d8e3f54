// What the updater asks of a Linux system: starting the new program, and the update request to the
// system service, a datagram on the service's Unix socket (the service reads it in its loop).
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "base/TovikFiles.h"
#include "update/TovikUpdate.h"

extern char** environ;

namespace tovik {

namespace {

// The service's request socket (a root-owned folder; any local user may send to it).
constexpr const char* kUpdateRequestSocket = "/run/tovik/update-request";

bool SendRequest(bool AProbeOnly) {
  TFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  sockaddr_un a {};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, kUpdateRequestSocket, sizeof a.sun_path - 1);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  if (AProbeOnly) return true;
  static const char kWord[] = "update";
  return ::send(fd.Get(), kWord, sizeof kWord - 1, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof kWord - 1);
}

class TUpdateSystemLinux final : public IUpdateSystem {
 public:
  bool StartProgram(const std::string& AProgram, const std::vector<std::string>& AArgs,
                    const std::string& AFolder) override {
    std::vector<std::string> all;
    all.push_back(AProgram);
    all.insert(all.end(), AArgs.begin(), AArgs.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, AFolder.c_str());
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    // glibc reports a failed exec here (the new file does not run), not only a failed fork.
    const int rc = ::posix_spawn(&pid, AProgram.c_str(), &fa, &at, argv.data(), environ);
    posix_spawnattr_destroy(&at);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0;
  }
  long ProcessId() override { return static_cast<long>(::getpid()); }
  bool ServiceRunning() override { return SendRequest(true); }
  bool SignalService() override { return SendRequest(false); }
  // Asking for administrator rights to swap a program file is not offered on Linux yet: a copy in a
  // folder the user cannot write is updated by its package or by the service.
  int RunElevated(const std::string&, const std::string&) override { return -1; }
};

}  // namespace

std::unique_ptr<IUpdateSystem> IUpdateSystem::Create() { return std::make_unique<TUpdateSystemLinux>(); }

}  // namespace tovik
