// The service, agent and service-restart modes on Linux: a systemd unit (tovik-service.service,
// Type=notify) that runs "tovik /service" as root, follows the active session of seat0 through
// logind and keeps one agent ("tovik /agent") on that session's X display. Updates run outside its
// sandbox, in the oneshot unit tovik-update.service ("tovik /serviceupdate"), which the service starts
// (TServiceUpdater) and after which it restarts itself onto the new build.
//
// Test mode: with TOVIK_TEST_LOGIND naming a test seat, the service runs without systemd and the
// logind of the tests is read instead (see Logind_sdlogin.cpp).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "app/TovikRunModes.h"
#include "app/TovikSettings.h"
#include "base/TovikIni.h"
#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "base/TovikFiles.h"
#include "base/TovikLog.h"
#include "platform/linux/TovikBrokerSocket_unix.h"
#include "platform/linux/TovikServiceLinux.h"
#include "platform/linux/TovikServiceUnit.h"
#include "service/TovikRdpKeep.h"
#include "update/TovikEmbed.h"
#include "update/TovikHttp.h"
#include "update/TovikServiceUpdate.h"
#include "update/TovikVersion.h"

extern char** environ;

namespace tovik {

namespace {

constexpr const char* kUnitName = "tovik-service.service";
constexpr const char* kUnitFile = "/etc/systemd/system/tovik-service.service";
constexpr const char* kUpdateUnitFile = "/etc/systemd/system/tovik-update.service";
constexpr const char* kPackagedUnits[] = {"/lib/systemd/system/tovik-service.service",
                                          "/usr/lib/systemd/system/tovik-service.service"};

// The service log: one line per write, rotated at 2 MiB (TLogWriter), serialised between the threads of
// this process by a lock and between processes by the writer's file lock.
class TServiceLog {
 public:
  TServiceLog() {
    const std::string path = ServiceLogPath();
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty()) ::mkdir(dir.c_str(), 0755);
    FWriter.SetPath(path);
  }
  void operator()(const std::string& ALine) {
    std::lock_guard<std::mutex> lock(FLock);
    FWriter.Line(ALine);
  }

 private:
  std::mutex FLock;
  TLogWriter FWriter;
};

// Runs a command and returns its exit code (-1 when it could not run).
int RunCommand(const std::vector<std::string>& AArgs) {
  std::vector<char*> argv;
  for (const std::string& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Systemctl(std::initializer_list<std::string> AArgs) {
  std::vector<std::string> args{"systemctl"};
  args.insert(args.end(), AArgs.begin(), AArgs.end());
  return RunCommand(args);
}

bool FileExists(const std::string& APath) {
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0;
}

// What the service's update needs to know of this installation. The settings of a packaged copy are
// /etc/tovik/Tovik.ini, of another one Tovik.ini beside the program; the package goes into the update
// unit's own cache folder (CacheDirectory=tovik, root's only).
TServiceUpdateSetup ServiceUpdateSetup() {
  TServiceUpdateSetup s;
  s.ProgramFile = OwnProgram();
  const TSettingsPaths paths = ComputeSettingsPaths(ProcessEnv, s.ProgramFile);
  s.SettingsFile = s.ProgramFile.rfind("/usr/", 0) == 0 ? std::string("/etc/tovik/Tovik.ini") : paths.ServiceIni;
  s.BuiltInUrl = BuiltInSettings().ReadString("Update", "Url", "");
  s.DefaultUrl = std::string(kDefaultUpdateUrl);
  const char* cache = std::getenv("CACHE_DIRECTORY");
  s.DownloadFolder = std::string(cache && *cache == '/' ? cache : "/var/cache/tovik") + "/update";
  s.RunningBuild = OwnBuild();
  return s;
}

// One value of the firmware's description (/sys/class/dmi/id); empty when unreadable.
std::string FirmwareValue(const char* AName) {
  std::string text;
  if (!ReadWholeFile(std::string("/sys/class/dmi/id/") + AName, text, 256)) return {};
  return Trim(text);
}

// Blocks the stop signals and returns a descriptor that reports them.
TFd StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
  return TFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

// A service without a request socket: nobody can ask.
class TNoUpdateRequests final : public IUpdateRequests {
 public:
  bool Take() override { return false; }
};

class TSystemdServiceModes final : public IServiceModes {
 public:
  TModeResult RestartService() override {
    // Up to 30 attempts a second apart, as the update restart helper needs.
    for (int i = 0; i < 30; ++i) {
      if (Systemctl({"restart", kUnitName}) == 0) return TModeResult::mrOk;
      ::sleep(1);
    }
    return TModeResult::mrFailed;
  }

  // "tovik /serviceupdate", as tovik-update.service runs it: nothing comes from whoever asked for it.
  TModeResult InstallUpdate() override {
    TServiceLog log;
    if (::geteuid() != 0) {
      std::fprintf(stderr, "tovik: /serviceupdate runs as root, from %.*s\n", int(kUpdateUnitName.size()),
                   kUpdateUnitName.data());
      return TModeResult::mrFailed;
    }
    const std::shared_ptr<IHttpClient> http = IHttpClient::Create();
    const std::shared_ptr<IPackageInstaller> dpkg = IPackageInstaller::Create();
    const bool ok = RunServiceInstallStep(ServiceUpdateSetup(), *http, *dpkg,
                                          [](const std::string& f) { return ReadFileBuild(f); },
                                          [&log](const std::string& l) { log(l); });
    return ok ? TModeResult::mrOk : TModeResult::mrFailed;
  }

  TModeResult Install() override {
    TServiceLog log;
    const std::string program = OwnProgram();
    std::string why;
    if (!ProgramFitForService(program, why)) {
      log("Service not installed: " + why);
      std::fprintf(stderr, "tovik: the service was not installed: %s\n", why.c_str());
      return TModeResult::mrFailed;
    }
    bool packaged = false;
    for (const char* p : kPackagedUnits) packaged = packaged || FileExists(p);
    bool updated = FileExists(kUnitFile);
    if (!packaged) {
      // No packaged unit: write one for this program file (rewritten when it moved).
      if (const TFileResult r = WriteFileAtomic(kUnitFile, UnitText(kServiceUnitText, program, "/service"), 0644); !r) {
        log(std::string("Could not write ") + kUnitFile + ": " + r.Error);
        return TModeResult::mrFailed;
      }
      // The unit the service starts for an update (never enabled itself).
      if (const TFileResult r = WriteFileAtomic(kUpdateUnitFile, UnitText(kUpdateUnitText, program, "/serviceupdate"), 0644);
          !r) {
        log(std::string("Could not write ") + kUpdateUnitFile + ": " + r.Error);
        return TModeResult::mrFailed;
      }
    }
    if (Systemctl({"daemon-reload"}) != 0 || Systemctl({"enable", kUnitName}) != 0) {
      log("systemctl enable failed");
      return TModeResult::mrFailed;
    }
    log(updated ? "Service updated; running as root, started at boot" : "Service installed; running as root, started at boot");
    if (Systemctl({"start", kUnitName}) != 0) {
      log("systemctl start failed");
      return TModeResult::mrFailed;
    }
    log("Service start requested");
    return TModeResult::mrOk;
  }

  TModeResult Uninstall() override {
    TServiceLog log;
    bool present = FileExists(kUnitFile);
    for (const char* p : kPackagedUnits) present = present || FileExists(p);
    if (!present) return TModeResult::mrOk;  // nothing to do
    Systemctl({"disable", "--now", kUnitName});
    for (const char* file : {kUnitFile, kUpdateUnitFile}) {
      if (FileExists(file) && ::unlink(file) != 0) {
        log(std::string("Could not remove ") + file + ": " + std::strerror(errno));
        return TModeResult::mrFailed;
      }
    }
    Systemctl({"daemon-reload"});
    log("Service removed");
    return TModeResult::mrOk;
  }

  TModeResult RunService() override {
    TServiceLog log;
    const bool test = TestSeatMode();
    if (!test && !std::getenv("NOTIFY_SOCKET") && !std::getenv("INVOCATION_ID")) {
      log("The service runs under systemd only (" + std::string(kUnitName) + ")");
      std::fprintf(stderr, "tovik: /service runs under systemd only; use /install\n");
      return TModeResult::mrFailed;
    }
    TFd stop = StopSignals();
    std::unique_ptr<ILogind> logind = ILogind::Create();
    std::unique_ptr<ILoginWatch> watch = ILoginWatch::Create();
    std::unique_ptr<IAgentLauncher> launcher = CreateAgentLauncher(OwnProgram());
    TServiceLoop loop(*logind, *launcher, [&log](const std::string& l) { log(l); });
    const std::vector<std::string> programIni = ComputeSettingsPaths(ProcessEnv, OwnProgram()).ProgramIni;
    TRdpKeep keep({[&programIni]() -> std::optional<int> {
                     for (const std::string& file : programIni)
                       if (auto v = IniFind(file, "Service", "KeepScreenOnDisconnect")) return ParseIniInt(*v, -1);
                     return std::nullopt;
                   },
                   [] { return IsVirtualMachine(FirmwareValue("sys_vendor"), FirmwareValue("product_name")); },
                   [&log](const std::string& l) { log(l); }});
    // Updates (not in the tests without systemd): the request socket in the runtime folder; the unit
    // does the work. Without the socket the service still looks on its schedule and restarts onto a
    // newer build that appears on disk.
    std::string requestsError;
    std::unique_ptr<IUpdateRequests> requests =
        test ? nullptr : IUpdateRequests::Create(std::string(kUpdateRequestSocket), requestsError);
    if (!test && !requests) log("Update: no update requests: " + requestsError);
    TNoUpdateRequests noRequests;
    std::optional<TServiceUpdater> updater;
    // The unit's worker may outlive this function (it is not waited for): it writes through a log of its own.
    auto updateLog = std::make_shared<TServiceLog>();
    if (!test)
      updater.emplace(ServiceUpdateSetup(), IUpdateUnit::Create(), requests ? *requests : noRequests,
                      [updateLog](const std::string& l) { (*updateLog)(l); }, TickMs());
    sd_notify(0, "READY=1\nSTATUS=Following the active session of seat0");
    log("Service started");
    bool ok = true;
    bool restart = false;
    try {
      for (;;) {
        loop.Round(TickMs());
        keep.Check(TickMs());
        if (updater && updater->UpdateCheck(TickMs())) {
          restart = true;
          break;
        }
        std::vector<pollfd> polls{{stop.Get(), POLLIN, 0}};
        if (watch->Fd() >= 0) polls.push_back({watch->Fd(), POLLIN, 0});
        if (const int agentFd = AgentPidFd(loop.Agent()); agentFd >= 0) polls.push_back({agentFd, POLLIN, 0});
        // An agent started less than the relaunch gap ago that ended already is started again when
        // the gap is over.
        const int wait = loop.Agent() ? watch->PollMs() : std::min<int>(watch->PollMs(), kAgentRelaunchGapMs);
        const int r = ::poll(polls.data(), polls.size(), wait);
        if (r < 0 && errno != EINTR) throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
        if (polls[0].revents) break;
        watch->Flush();
      }
    } catch (const std::exception& e) {
      log(std::string("Service loop error: ") + e.what());
      ok = false;
    }
    sd_notify(0, "STOPPING=1");
    log("Service stopping");
    loop.Shutdown();
    // Onto the new build: systemd starts the unit again once this process has ended. Should the job not
    // be queued, the failure exit makes systemd start it all the same (Restart=on-failure).
    if (restart && !test && Systemctl({"--no-block", "restart", kUnitName}) != 0) {
      log("Update: the service could not ask for its own restart; ending with a failure instead");
      ok = false;
    }
    // A failed loop ends with a failure, so that systemd starts the service again (Restart=on-failure).
    return ok ? TModeResult::mrOk : TModeResult::mrFailed;
  }

  TModeResult RunAgent() override {
    TServiceLog log;
    const char* session = std::getenv("TOVIK_AGENT_SESSION");
    if (!session || !*session) {
      log("Agent could not read its session id");
      return TModeResult::mrOk;
    }
    const std::string own = session;
    TFd stop = StopSignals();
    std::unique_ptr<ILogind> logind = ILogind::Create();
    log("Desktop broker started in session " + EscapeForLog(own, 64));
    TBrokerSocketServer::TConfig config;
    config.Dir = BrokerDir();
    config.Program = OwnProgram();
    config.Inspector = IBrokerPeerInspector::Create();
    config.Log = [&log](const std::string& l) { log(l); };
    auto makeServer = [&] { return std::make_unique<TBrokerSocketServer>(config, CreateX11BrokerDesktop); };
    std::unique_ptr<TBrokerSocketServer> server = makeServer();
    std::string activeNow;
    int round = 0;
    try {
      for (;; ++round) {
        const TSeatState seat = logind->ReadSeat();
        activeNow = seat.Active ? seat.Active->Id : "";
        if (activeNow != own) break;
        // Every 5 seconds a server that ended is started again.
        if (!server->Running() && round % 5 == 0) server = makeServer();
        server->SetUsers(seat.Uids);
        pollfd p{stop.Get(), POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0) break;
      }
    } catch (const std::exception& e) {
      log(std::string("Desktop broker error: ") + e.what());
    }
    server.reset();
    // Asked to stop by the service: say which session is active now, not at the last round.
    const TSeatState last = logind->ReadSeat();
    activeNow = last.Active ? last.Active->Id : "";
    log("Desktop broker in session " + EscapeForLog(own, 64) + " exiting (active session now " +
        (activeNow.empty() ? std::string("none") : EscapeForLog(activeNow, 64)) + ")");
    return TModeResult::mrOk;
  }

  bool IsServiceRunning() override {
    if (TestSeatMode()) return false;
    return Systemctl({"is-active", "--quiet", kUnitName}) == 0;
  }

 private:
  // A packaged unit with this program file in ExecStart.
  static std::string UnitText(const char* AUnit, const std::string& AProgram, const std::string& ASwitch) {
    std::string text = AUnit;
    const std::string from = "ExecStart=/usr/bin/tovik " + ASwitch;
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), "ExecStart=" + AProgram + " " + ASwitch);
    return text;
  }
};

}  // namespace

std::string ServiceLogPath() {
  const char* p = std::getenv("TOVIK_SERVICE_LOG");
  return p && *p ? p : "/var/log/tovik/TovikService.log";
}

std::string BrokerDir() {
  const char* p = std::getenv("TOVIK_BROKER_DIR");
  return p && *p ? p : kBrokerSocketDir;
}

std::string OwnProgram() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}


bool ProgramFitForService(const std::string& APath, std::string& AWhy) {
  // Links resolved: what is checked is what would run.
  std::unique_ptr<char, decltype(&std::free)> real(APath.empty() || APath.front() != '/'
                                                       ? nullptr
                                                       : ::realpath(APath.c_str(), nullptr),
                                                   &std::free);
  if (!real) {
    AWhy = "the program's path is unknown";
    return false;
  }
  const std::string path = real.get();
  const auto rootOnly = [&](const std::string& APart, const char* AWhat) {
    struct stat st {};
    if (::lstat(APart.c_str(), &st) != 0) {
      AWhy = std::string("cannot read ") + AWhat + " " + APart;
      return false;
    }
    if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      AWhy = std::string(AWhat) + " " + APart +
             " must be owned by root and writable by root only; copy the program to a folder such as /usr/bin "
             "(or install the package) and run /install from there";
      return false;
    }
    return true;
  };
  if (!rootOnly(path, "the program")) return false;
  // Every folder up to the root: anyone who can write one of them could replace the program.
  std::string dir = path.substr(0, path.rfind('/'));
  for (;;) {
    if (!rootOnly(dir.empty() ? "/" : dir, "the folder")) return false;
    if (dir.empty()) return true;
    dir = dir.substr(0, dir.rfind('/'));
  }
}

std::unique_ptr<IServiceModes> IServiceModes::Create() { return std::make_unique<TSystemdServiceModes>(); }

}  // namespace tovik
