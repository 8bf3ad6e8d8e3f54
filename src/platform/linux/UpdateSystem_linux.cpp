// What the updater asks of a Linux system: starting the new program, the update request to the system
// service (a datagram on the service's Unix socket, read in its loop), administrator rights through
// pkexec; and on the service's side the request socket, the update unit (systemctl) and dpkg.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/TovikClock.h"
#include "update/TovikServiceUpdate.h"

#include "base/TovikFiles.h"
#include "update/TovikUpdate.h"

extern char** environ;

namespace tovik {

namespace {

bool SendRequest(bool AProbeOnly) {
  TFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  sockaddr_un a {};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, kUpdateRequestSocket.data(), sizeof a.sun_path - 1);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  if (AProbeOnly) return true;
  static const char kWord[] = "update";
  return ::send(fd.Get(), kWord, sizeof kWord - 1, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof kWord - 1);
}

// Starts AArgs[0] (a full path, or a name looked up in PATH when ASearchPath) with AArgs; its process
// id, or -1. AOutput: a descriptor for its standard output and error (-1: inherited). ANewSession: it
// does not end with our session.
pid_t Spawn(std::vector<std::string> AArgs, const std::string& AFolder, int AOutput, bool ANewSession,
            char** AEnv, bool ASearchPath = false) {
  std::vector<char*> argv;
  for (auto& a : AArgs) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!AFolder.empty()) posix_spawn_file_actions_addchdir_np(&fa, AFolder.c_str());
  if (AOutput >= 0) {
    posix_spawn_file_actions_adddup2(&fa, AOutput, 1);
    posix_spawn_file_actions_adddup2(&fa, AOutput, 2);
  }
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  if (ANewSession) posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  // glibc reports a failed exec here (the file does not run), not only a failed fork.
  const int rc = ASearchPath ? ::posix_spawnp(&pid, AArgs[0].c_str(), &fa, &at, argv.data(), AEnv)
                             : ::posix_spawn(&pid, AArgs[0].c_str(), &fa, &at, argv.data(), AEnv);
  posix_spawnattr_destroy(&at);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

// Waits up to AMs for the child; its exit code, or -1 (it is then killed).
int WaitChild(pid_t pid, TTick AMs) {
  const TTick end = TickMs() + AMs;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0 && errno != EINTR) return -1;
    if (TickMs() >= end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    ::poll(nullptr, 0, 50);
  }
}

class TUpdateSystemLinux final : public IUpdateSystem {
 public:
  bool StartProgram(const std::string& AProgram, const std::vector<std::string>& AArgs,
                    const std::string& AFolder) override {
    std::vector<std::string> all{AProgram};
    all.insert(all.end(), AArgs.begin(), AArgs.end());
    return Spawn(all, AFolder, -1, true, environ) > 0;
  }
  long ProcessId() override { return static_cast<long>(::getpid()); }
  bool ServiceRunning() override { return SendRequest(true); }
  bool SignalService() override { return SendRequest(false); }
  // pkexec (the user's own, from PATH) runs the installed program as root. Whatever it is asked, that
  // program replaces only its own file and checks signature, size and SHA-256 itself; the polkit
  // action org.tovik.update.applyupdate, where an administrator installed it, names that program's path.
  int RunElevated(const std::string& AProgram, const std::string& AReady, const std::string& AUpdateFile) override {
    const pid_t pid = Spawn({"pkexec", AProgram, "/applyupdate", AProgram, AReady, AUpdateFile}, "/", -1, false,
                            environ, true);
    if (pid <= 0) return -1;
    const int code = WaitChild(pid, 60'000);
    // 126: the prompt was dismissed; 127: not allowed (pkexec's own codes).
    return code == 126 || code == 127 ? -1 : code;
  }
};

// The service's request socket: any local user may send to it (the service only ever reads whether
// something came; the words themselves are not looked at).
class TUpdateRequestsUnix final : public IUpdateRequests {
 public:
  explicit TUpdateRequestsUnix(TFd AFd) : FFd(std::move(AFd)) {}
  bool Take() override {
    bool any = false;
    char buf[64];
    while (::recv(FFd.Get(), buf, sizeof buf, MSG_DONTWAIT) >= 0) any = true;
    return any;
  }

 private:
  TFd FFd;
};

// Runs AArgs with a fixed environment and waits up to AMs; "" when it ended with code 0, else its
// exit code and the last line it wrote (kept short for the log).
std::string RunForLog(const std::vector<std::string>& AArgs, TTick AMs) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return "no pipe";
  static char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  static char kFrontend[] = "DEBIAN_FRONTEND=noninteractive";
  char* env[] = {kPath, kFrontend, nullptr};
  const pid_t pid = Spawn(AArgs, "/", fds[1], false, env);
  ::close(fds[1]);
  std::string words;
  char buf[4096];
  for (;;) {
    const ssize_t got = ::read(fds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    words.append(buf, static_cast<std::size_t>(got));
    if (words.size() > 8192) words.erase(0, words.size() - 8192);
  }
  ::close(fds[0]);
  const std::string name = AArgs[0].substr(AArgs[0].rfind('/') + 1);
  if (pid <= 0) return name + " did not start";
  const int code = WaitChild(pid, AMs);
  if (code == 0) return {};
  while (!words.empty() && (words.back() == '\n' || words.back() == ' ')) words.pop_back();
  const std::size_t nl = words.rfind('\n');
  return name + " ended with code " + std::to_string(code) + (words.empty() ? "" : ": " + words.substr(nl + 1));
}

// dpkg, with its words kept short for the log.
class TPackageInstallerDpkg final : public IPackageInstaller {
 public:
  std::string Install(const std::string& APackage) override {
    return RunForLog({"/usr/bin/dpkg", "--install", "--", APackage}, 600'000);
  }
};

// The update unit through systemctl: "start" of a oneshot unit returns when the unit has ended, with
// a failure when it failed. The unit gives up after 15 minutes itself; this waits a little longer.
class TUpdateUnitSystemd final : public IUpdateUnit {
 public:
  std::string Run() override {
    return RunForLog({"/bin/systemctl", "start", "--quiet", std::string(kUpdateUnitName)}, 1'200'000);
  }
};

}  // namespace

std::unique_ptr<IUpdateSystem> IUpdateSystem::Create() { return std::make_unique<TUpdateSystemLinux>(); }

std::unique_ptr<IUpdateRequests> IUpdateRequests::Create(const std::string& APath, std::string& AError) {
  const std::string folder = APath.substr(0, APath.rfind('/'));
  if (!folder.empty() && ::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    AError = "cannot create " + folder + ": " + std::system_category().message(errno);
    return nullptr;
  }
  TFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un a {};
  a.sun_family = AF_UNIX;
  if (!fd || APath.size() >= sizeof a.sun_path) {
    AError = "no socket for " + APath;
    return nullptr;
  }
  std::memcpy(a.sun_path, APath.c_str(), APath.size());
  ::unlink(APath.c_str());
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::chmod(APath.c_str(), 0666) != 0) {
    AError = "cannot listen on " + APath + ": " + std::system_category().message(errno);
    return nullptr;
  }
  return std::make_unique<TUpdateRequestsUnix>(std::move(fd));
}

std::shared_ptr<IPackageInstaller> IPackageInstaller::Create() { return std::make_shared<TPackageInstallerDpkg>(); }

std::shared_ptr<IUpdateUnit> IUpdateUnit::Create() { return std::make_shared<TUpdateUnitSystemd>(); }

}  // namespace tovik
