// Starting the agent ("tovik /agent") on a session's X display and watching it through a pidfd.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "base/TovikFiles.h"
#include "platform/linux/TovikServiceLinux.h"

extern char** environ;

namespace tovik {

namespace {

class TLinuxAgent final : public IAgentProcess {
 public:
  TLinuxAgent(pid_t APid, TFd APidFd) : FPid(APid), FPidFd(std::move(APidFd)) {}
  ~TLinuxAgent() override {
    if (Running()) Terminate();
  }
  long Pid() const override { return FPid; }
  int PidFd() const { return FPidFd.Get(); }
  bool Running() override {
    if (FReaped) return false;
    int status = 0;
    const pid_t r = ::waitpid(FPid, &status, WNOHANG);
    if (r == FPid || (r < 0 && errno == ECHILD)) FReaped = true;
    return !FReaped;
  }
  void Terminate() override {
    if (FReaped) return;
    ::kill(FPid, SIGTERM);
    const TTick until = TickMs() + 3000;
    while (Running() && TickMs() < until) {
      pollfd p{FPidFd.Get(), POLLIN, 0};
      ::poll(&p, 1, 100);
    }
    if (Running()) {
      ::kill(FPid, SIGKILL);
      int status = 0;
      ::waitpid(FPid, &status, 0);
      FReaped = true;
    }
  }

 private:
  pid_t FPid;
  TFd FPidFd;
  bool FReaped = false;
};

// The arguments of the processes run by root or by AUid (X servers of the greeter or of the session).
std::vector<std::vector<std::string>> ServerProcessArgs(std::uint32_t AUid) {
  std::vector<std::vector<std::string>> out;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
  if (!proc) return out;
  while (dirent* e = ::readdir(proc.get())) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const std::string base = std::string("/proc/") + e->d_name;
    struct stat st {};
    if (::stat(base.c_str(), &st) != 0 || (st.st_uid != 0 && st.st_uid != AUid)) continue;
    std::ifstream in(base + "/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    std::size_t at = 0;
    while (at < all.size() && args.size() < 64) {
      const std::size_t end = all.find('\0', at);
      args.push_back(all.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (!args.empty()) out.push_back(std::move(args));
  }
  return out;
}

class TLinuxAgentLauncher final : public IAgentLauncher {
 public:
  explicit TLinuxAgentLauncher(std::string AProgram) : FProgram(std::move(AProgram)) {}
  std::unique_ptr<IAgentProcess> Launch(const TSeatSession& ASession, std::string& AError) override {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string_view v(*e);
      if (v.starts_with("DISPLAY=") || v.starts_with("XAUTHORITY=") || v.starts_with("TOVIK_AGENT_SESSION=")) continue;
      env.emplace_back(v);
    }
    env.push_back("DISPLAY=" + ASession.Display);
    const std::string auth = XAuthorityFor(ServerProcessArgs(ASession.Uid), ASession.Display);
    if (!auth.empty()) env.push_back("XAUTHORITY=" + auth);
    env.push_back("TOVIK_AGENT_SESSION=" + ASession.Id);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string program = FProgram;
    std::string agent = "/agent";
    char* argv[] = {program.data(), agent.data(), nullptr};
    pid_t pid = 0;
    const int err = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data());
    if (err != 0) {
      AError = "Could not start the agent in session " + EscapeForLog(ASession.Id, 64) + ": " + std::strerror(err);
      return nullptr;
    }
    TFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return std::make_unique<TLinuxAgent>(pid, std::move(pidfd));
  }

 private:
  std::string FProgram;
};

}  // namespace

std::unique_ptr<IAgentLauncher> CreateAgentLauncher(std::string AProgram) {
  return std::make_unique<TLinuxAgentLauncher>(std::move(AProgram));
}

int AgentPidFd(IAgentProcess* AAgent) {
  const auto* agent = dynamic_cast<const TLinuxAgent*>(AAgent);
  return agent ? agent->PidFd() : -1;
}

}  // namespace tovik
