// TUpdater: the interactive program's updater.
//
// A few minutes after start (120 s) and then every 3 hours it fetches the signed update file on a
// worker, downloads a newer build into a private folder and checks its size and SHA-256; a failed
// check is tried again 30 minutes after it ended. The main window installs the ready build when the
// program is idle (Install) or at once on the user's click (InstallElevated). Installing checks the
// file again while copying it next to the program, puts it in place (TovikInstall.h) and starts the
// new program with " /noadmin /waitpid:<this process>"; the caller then closes this one.
//
// A copy that the system's package manager installed never updates itself: its updates come as
// packages through the system (the service installs the signed package as root).
//
// Threads: every method runs on the owner's (GUI) thread. A check runs on a worker started through
// TUpdaterThreads::Start; it touches no field of the updater and hands its outcome back through
// TUpdaterThreads::Post, which must run the closure on the owner's thread. The closure holds a
// liveness token and does nothing once the updater is gone. Time is a parameter (ticks of TickMs()).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "update/TovikHttp.h"
#include "update/TovikInstall.h"
#include "update/TovikUpdateFile.h"

namespace tovik {

inline constexpr TTick kFirstCheckMs = 120'000;
inline constexpr TTick kCheckPeriodMs = 10'800'000;
inline constexpr TTick kRetryAfterFailureMs = 1'800'000;
inline constexpr TTick kServiceWaitMs = 600'000;
inline constexpr TTick kOnDiskLookMs = 60'000;  // a packaged copy looks for its new build on disk
inline constexpr std::int64_t kMaxUpdateSize = 67'108'864;  // the largest program file accepted
inline constexpr std::int64_t kMaxUpdateFileText = 16 * 1024;  // the update file itself
inline constexpr const char* kPackagedOffWhy = "installed by the system's package manager";

// Log lines without the "Update: " prefix, which the updater adds.
using TUpdateLog = std::function<void(const std::string& ALine)>;

// What the updater asks of the system. All calls on the owner's thread.
class IUpdateSystem {
 public:
  virtual ~IUpdateSystem() = default;
  // Starts AProgram with AArgs in AFolder as a process of its own; false when it did not start.
  virtual bool StartProgram(const std::string& AProgram, const std::vector<std::string>& AArgs,
                            const std::string& AFolder) = 0;
  virtual long ProcessId() = 0;
  // The system service that installs updates for folders the user cannot write.
  virtual bool ServiceRunning() = 0;
  // Sends the service the update request; false when it cannot be sent.
  virtual bool SignalService() = 0;
  // Runs the installed program AProgram with administrator rights as
  // "/applyupdate <AProgram> <AReady> <AUpdateFile>" and waits for it (at most a minute); its exit
  // code, or -1 when the rights were refused or it did not start.
  virtual int RunElevated(const std::string& AProgram, const std::string& AReady, const std::string& AUpdateFile) = 0;
  static std::unique_ptr<IUpdateSystem> Create();
};

// Starting workers and handing results back to the owner's thread.
struct TUpdaterThreads {
  std::function<void(std::function<void()>)> Start;  // runs the job on a new thread (default)
  std::function<void(std::function<void()>)> Post;   // runs the closure on the owner's thread
};

struct TUpdaterSetup {
  std::string Url;          // the update address as configured (per-user, program-side, built in)
  std::string DefaultUrl;   // the built-in default address
  bool Enabled = true;      // [Update] Enabled
  int OwnBuild = 0;         // the running program's build (0: none)
  std::string ProgramFile;  // the running program's path
  std::string DownloadFolder;  // private folder for downloads (made 0700)
  std::string Settings;     // the running program's built-in settings text (written into the new file)
  bool DevelopmentCopy = false;  // runs from a build tree
  bool PackageManaged = false;   // the package manager installed this copy
  TBytes VendorKey;         // verification key; empty = the one built into the program
};

// One check, as the worker runs it: no updater state, only its inputs.
struct TCheckJob {
  std::string Url;
  std::string DefaultUrl;
  std::string DownloadFolder;
  int OwnBuild = 0;
  bool Download = false;
  TBytes VendorKey;
  std::string UserAgent;  // "Tovik/<build>"
};

struct TCheckOutcome {
  bool Good = false;    // a newer build is downloaded and checked (File)
  bool Newer = false;   // the update file names a newer build
  std::string Message;  // a failure or refusal ("" for up to date, available, or good)
  std::string File;
  TUpdateInfo Info;
  std::string Text;     // the update file as fetched (the elevated step checks it again itself)
};

// Where the file of a check comes from: AFileOnServer ("tovik" for the program, "tovik.deb" for the
// package) next to the update file for a company server whose address ends in "/tovik/update.txt"
// (not the default address), else the update file's url.
std::string DownloadAddress(const std::string& AUrl, const std::string& ADefaultUrl, const TUpdateInfo& AInfo,
                            std::string_view AFileOnServer = "tovik");

// Runs one check on the calling thread. Never raises.
TCheckOutcome RunUpdateCheck(IHttpClient& AHttp, const TCheckJob& AJob);

// Whether a program file was installed by dpkg: a *.list file of AInfoFolder (/var/lib/dpkg/info)
// names its path. Never raises.
bool InstalledByDpkg(const std::string& AProgramFile, const std::string& AInfoFolder = "/var/lib/dpkg/info");

class TUpdater {
 public:
  // AHttp, ASystem: the backends; ALog receives every line. The check's worker keeps AHttp alive.
  TUpdater(const TUpdaterSetup& ASetup, std::shared_ptr<IHttpClient> AHttp, IUpdateSystem& ASystem,
           TUpdaterThreads AThreads, TUpdateLog ALog, TTick ANow);
  // Kills the liveness token: a running check's outcome is dropped.
  ~TUpdater();
  TUpdater(const TUpdater&) = delete;
  TUpdater& operator=(const TUpdater&) = delete;

  // Starts an automatic check when one is due.
  void Tick(TTick ANow);
  // Starts a check at once (also when automatic updates are off: then nothing is downloaded).
  void CheckNow(TTick ANow);
  // Automatic updates on, not given up, and the ready file exists.
  bool Ready() const;
  // Installs the ready build without asking for rights; true when the new program was started and
  // the caller must close this one. AParams: the window-state switches for the new program.
  bool Install(const std::string& AParams, TTick ANow);
  // The Install now button: may ask for administrator rights.
  bool InstallElevated(const std::string& AParams, TTick ANow);
  // A packaged copy whose newer build was handed to the service: true once that build is on disk
  // (looked at once a minute); the caller then restarts when idle with RestartOnNewBuild.
  bool PackageInstalled(TTick ANow);
  bool RestartOnNewBuild(const std::string& AParams);
  // Several lines (CR LF) for the settings dialog's Updates page and the about box.
  std::string StatusText(TTick ANow) const;

  bool Enabled() const { return FEnabled; }
  bool Busy() const { return FBusy; }
  bool Handed() const { return FHanded; }
  bool GaveUp() const { return FGaveUp; }
  const std::string& OffWhy() const { return FOffWhy; }
  const std::string& Url() const { return FUrl; }
  TTick NextCheck() const { return FNextCheck; }
  const std::string& LastResult() const { return FLastResult; }
  int ReadyBuild() const { return FReadyBuild; }
  const std::string& ReadyFile() const { return FReadyFile; }
  // For the tests of the install steps: called before each step.
  void SetInstallHook(TInstallStepHook AHook) { FInstallHook = std::move(AHook); }

 private:
  void Log(const std::string& ALine) const;
  void StartCheck(TTick ANow);
  void Finish(const TCheckOutcome& AOutcome);
  bool Restart(const std::string& AParams);
  std::string ProgramFolder() const;

  TUpdaterSetup FSetup;
  std::shared_ptr<IHttpClient> FHttp;
  IUpdateSystem& FSystem;
  TUpdaterThreads FThreads;
  TUpdateLog FLog;
  TInstallStepHook FInstallHook;

  std::string FUrl;
  int FOwnBuild = 0;
  bool FEnabled = false;
  bool FBusy = false;
  TTick FNextCheck = 0;
  std::string FReadyFile;
  int FReadyBuild = 0;
  TUpdateInfo FReadyInfo;
  std::string FReadyText;
  bool FGaveUp = false;
  bool FHanded = false;
  TTick FHandedAt = 0;
  bool FServiceChecks = false;  // a packaged copy: checks without downloading, the service installs
  int FHandedBuild = 0;         // the build the service was asked to install (packaged copies)
  TTick FNextDiskLook = 0;
  std::string FOffWhy;
  std::int64_t FLastCheck = 0;  // StampMs() of the last finished check, 0 = none
  std::string FLastResult;
  std::shared_ptr<std::atomic<bool>> FAlive;
};

}  // namespace tovik
