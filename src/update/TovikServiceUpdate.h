// TServiceUpdater: updates installed by the system service, as root.
//
// A copy of the program that the package manager installed (or any copy in a folder its users cannot
// write) is updated by the service: the interactive program sends the update request (a datagram on
// the service's request socket, IUpdateRequests), and the service fetches the signed update file,
// downloads the signed package it names into its own private folder, checks its size and SHA-256, and
// checks them again right before it hands the file to the package manager (IPackageInstaller: dpkg),
// so that what is installed is exactly what was verified. It never trusts a file or a verdict from the
// program that asked. The service also restarts by itself when the program file on disk has become
// newer than the build it runs, but only onto a file that root owns in a folder that root owns and
// that nobody else may write.
//
// Lines go to the service log, each beginning "Update: ".
//
// Threads: UpdateCheck runs on the service loop's thread; the install runs on a worker started through
// the given starter and touches only the state word (atomic) and its own copies of the setup.
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

// Installs a package file as root. Called on the install worker.
class IPackageInstaller {
 public:
  virtual ~IPackageInstaller() = default;
  // Installs APackage; "" on success, else why not (the installer's exit code and last words).
  virtual std::string Install(const std::string& APackage) = 0;
  // dpkg on Linux.
  static std::shared_ptr<IPackageInstaller> Create();
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
  // Every reference must outlive the object. ALog is also called on the install worker, so it must be
  // safe to call from any thread. AStart runs the install job on a worker (default: a new thread); AReadBuild reads the build of the program file on disk (default ReadFileBuild), and
  // ARootOnly checks a file before the service restarts onto it (default RootOnlyProblem).
  TServiceUpdater(const TServiceUpdateSetup& ASetup, std::shared_ptr<IHttpClient> AHttp,
                  std::shared_ptr<IPackageInstaller> AInstaller, IUpdateRequests& ARequests, TUpdateLog ALog,
                  TTick ANow, TStart AStart = {});
  ~TServiceUpdater();

  // One round of the service loop; true: leave the loop so that the service starts again on the
  // new build (systemd restarts it).
  bool UpdateCheck(TTick ANow);

  enum TState : int { usIdle = 0, usInstalling = 1, usInstalled = 2 };
  int State() const { return FState->load(); }

  std::function<int(const std::string&)> ReadBuild;
  std::function<std::string(const std::string&)> RootOnly;

 private:
  struct TShared;
  void Log(const std::string& ALine) const;

  TServiceUpdateSetup FSetup;
  std::shared_ptr<IHttpClient> FHttp;
  std::shared_ptr<IPackageInstaller> FInstaller;
  IUpdateRequests& FRequests;
  TUpdateLog FLog;
  TStart FStart;
  std::shared_ptr<std::atomic<int>> FState;
  TTick FNextOnDisk = 0;
  bool FHadRequest = false;
  TTick FLastRequest = 0;
  bool FToldTooSoon = false;
  int FRefusedOnDisk = 0;  // the build on disk already refused for its owner (said once)
};

// The service install as the worker runs it (public for tests): reads the settings, checks, downloads,
// verifies and installs. Returns normally when there was nothing to do, raises std::runtime_error with
// the message to log otherwise.
void RunServiceInstall(const TServiceUpdateSetup& ASetup, IHttpClient& AHttp, IPackageInstaller& AInstaller,
                       const std::function<int(const std::string&)>& AReadBuild, const TUpdateLog& ALog);

}  // namespace tovik
