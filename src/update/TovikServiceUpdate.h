// TServiceUpdater: updates installed by the system service, as root.
//
// A copy of the program that the package manager installed (or any copy in a folder its users cannot
// write) is updated by the service. The service itself stays in its sandbox (no network, a read-only
// /usr): it only decides when an update runs, and the update runs in a oneshot unit of its own
// (IUpdateUnit: "tovik-update.service", which runs "tovik /serviceupdate" as root). That unit is
// started
//   - when the interactive program sends the update request (a datagram on the service's request
//     socket, IUpdateRequests), at most once per kRequestGuardMs, and
//   - on the service's own schedule (kServiceFirstLookMs after start, then every kServiceLookPeriodMs),
//     so that a PC nobody signs in to is kept up to date too.
// The unit (RunServiceInstall) fetches the signed update file itself, and only when it names a newer
// build downloads the signed package into root's private folder, checks its size and SHA-256, and
// checks them again right before it hands the file to the package manager (IPackageInstaller: dpkg),
// so that what is installed is exactly what was verified. It takes nothing from the program that
// asked: the request carries no data and the unit no arguments.
//
// The service restarts onto a new build only when the build on disk is newer than the one it runs and
// the file is root's own in folders that nobody else may write: after the unit ended, and whenever its
// once-a-minute look at the disk finds such a build (an administrator's own dpkg, say).
//
// Lines go to the service log, each beginning "Update: ".
//
// Threads: UpdateCheck runs on the service loop's thread; the unit runs on a worker started through
// the given starter and touches only the state word (atomic) and its own copies of what it needs.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/TovikClock.h"
#include "update/TovikHttp.h"
#include "update/TovikUpdate.h"

namespace tovik {

inline constexpr TTick kOnDiskCheckMs = 60'000;
inline constexpr TTick kRequestGuardMs = 600'000;
// The service's own look for a new build: first a few minutes after it started, then every 3 hours.
inline constexpr TTick kServiceFirstLookMs = 300'000;
inline constexpr TTick kServiceLookPeriodMs = 10'800'000;

// The oneshot unit that installs an update as root.
inline constexpr std::string_view kUpdateUnitName = "tovik-update.service";

// The service's request socket, to which the interactive program sends the update request.
inline constexpr std::string_view kUpdateRequestSocket = "/run/tovik/update-request";

// The update requests that reach the service. Only the service loop's thread calls it.
class IUpdateRequests {
 public:
  virtual ~IUpdateRequests() = default;
  // True when at least one request arrived since the last call (all of them are taken).
  virtual bool Take() = 0;
  // Listens at APath (its folder is made when missing); null with AError when it cannot.
  static std::unique_ptr<IUpdateRequests> Create(const std::string& APath, std::string& AError);
};

// Installs a package file as root. Called by the update unit ("tovik /serviceupdate") on its one thread.
class IPackageInstaller {
 public:
  virtual ~IPackageInstaller() = default;
  // Installs APackage; "" on success, else why not (the installer's exit code and last words).
  virtual std::string Install(const std::string& APackage) = 0;
  // dpkg on Linux.
  static std::shared_ptr<IPackageInstaller> Create();
};

// Runs the update unit. Called on the install worker, one run at a time.
class IUpdateUnit {
 public:
  virtual ~IUpdateUnit() = default;
  // Starts the unit and waits until it has ended: "" when it ran to its end with success, else why not
  // (it did not start, it failed, or it did not end in time).
  virtual std::string Run() = 0;
  // systemd: "systemctl start tovik-update.service".
  static std::shared_ptr<IUpdateUnit> Create();
};

struct TServiceUpdateSetup {
  std::string ProgramFile;     // the installed program (e.g. /usr/bin/tovik)
  std::string SettingsFile;    // [Update] Url and Enabled ("/etc/tovik/Tovik.ini")
  std::string BuiltInUrl;      // [Update] Url of the built-in settings block
  std::string DefaultUrl;
  std::string DownloadFolder;  // root's private folder (made 0700)
  int RunningBuild = 0;        // the build of the running service
  TBytes VendorKey;            // empty: the key built into the program
};

// Whether root may run the file: the file and every folder up to the root are owned by root and not
// writable by group or others (links resolved). "" when it may, else why not. Never raises.
std::string RootOnlyProblem(const std::string& AFile);

class TServiceUpdater {
 public:
  using TStart = std::function<void(std::function<void()>)>;
  // ARequests must outlive the object. ALog is also called on the install worker, so it must be safe
  // to call from any thread. AStart runs the unit's job on a worker (default: a new thread). ReadBuild
  // reads the build of the program file on disk (default ReadFileBuild), and RootOnly checks a file
  // before the service restarts onto it (default RootOnlyProblem). Only ProgramFile and RunningBuild
  // of ASetup are used here; the rest is for the unit.
  TServiceUpdater(const TServiceUpdateSetup& ASetup, std::shared_ptr<IUpdateUnit> AUnit, IUpdateRequests& ARequests,
                  TUpdateLog ALog, TTick ANow, TStart AStart = {});
  ~TServiceUpdater();

  // One round of the service loop (every 2 seconds or sooner); true: leave the loop so that the
  // service starts again on the new build.
  bool UpdateCheck(TTick ANow);

  enum TState : int { usIdle = 0, usInstalling = 1, usInstalled = 2 };
  int State() const { return FState->load(); }

  std::function<int(const std::string&)> ReadBuild;
  std::function<std::string(const std::string&)> RootOnly;

 private:
  void Log(const std::string& ALine) const;
  void StartUnit(TTick ANow);

  TServiceUpdateSetup FSetup;
  std::shared_ptr<IUpdateUnit> FUnit;
  IUpdateRequests& FRequests;
  TUpdateLog FLog;
  TStart FStart;
  std::shared_ptr<std::atomic<int>> FState;
  TTick FNextOnDisk = 0;
  TTick FNextLook = 0;
  bool FHadRequest = false;
  TTick FLastRequest = 0;
  bool FToldTooSoon = false;
  int FRefusedOnDisk = 0;  // the build on disk already refused for its owner (said once)
};

// The service install as the update unit runs it: reads the settings, checks, downloads, verifies and
// installs. Returns normally when there was nothing to do, raises std::runtime_error with the message
// to log otherwise. ABeforeInstall (tests) is called between the download's check and the check right
// before the package manager.
void RunServiceInstall(const TServiceUpdateSetup& ASetup, IHttpClient& AHttp, IPackageInstaller& AInstaller,
                       const std::function<int(const std::string&)>& AReadBuild, const TUpdateLog& ALog,
                       const std::function<void(const std::string& APackage)>& ABeforeInstall = {});

// "tovik /serviceupdate": RunServiceInstall with its failure logged ("Update: could not install: ...")
// and the partly written package deleted. True when it ended without a failure.
bool RunServiceInstallStep(const TServiceUpdateSetup& ASetup, IHttpClient& AHttp, IPackageInstaller& AInstaller,
                           const std::function<int(const std::string&)>& AReadBuild, const TUpdateLog& ALog);

}  // namespace tovik
