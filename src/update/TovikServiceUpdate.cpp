#include "update/TovikServiceUpdate.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "base/TovikBytes.h"
#include "base/TovikIni.h"
#include "update/TovikDownload.h"
#include "update/TovikVersion.h"

namespace tovik {

namespace {

std::string Trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return std::string(s);
}

std::string Num(long long v) { return std::to_string(v); }

std::string PackageFile(const TServiceUpdateSetup& ASetup, int ABuild) {
  return ASetup.DownloadFolder + "/tovik-" + Num(ABuild) + ".deb";
}

}  // namespace

std::string RootOnlyProblem(const std::string& AFile) {
  char real[PATH_MAX];
  if (!::realpath(AFile.c_str(), real)) return "cannot find " + AFile;
  std::string path = real;
  for (bool file = true;; file = false) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "cannot look at " + path;
    if (st.st_uid != 0) return path + " is not owned by root";
    if ((st.st_mode & 022) != 0) return path + " may be changed by other users";
    if (file && !S_ISREG(st.st_mode)) return path + " is not a file";
    if (path == "/") return {};
    const std::size_t slash = path.rfind('/');
    path = slash == 0 ? std::string("/") : path.substr(0, slash);
  }
}

void RunServiceInstall(const TServiceUpdateSetup& ASetup, IHttpClient& AHttp, IPackageInstaller& AInstaller,
                       const std::function<int(const std::string&)>& AReadBuild, const TUpdateLog& ALog,
                       const std::function<void(const std::string& APackage)>& ABeforeInstall) {
  auto log = [&](const std::string& line) {
    if (ALog) ALog("Update: " + line);
  };
  // 1. The settings of the installation (not a user's).
  if (IniReadInt(ASetup.SettingsFile, "Update", "Enabled", 1) == 0) {
    log("asked, but [Update] Enabled=0 in " + ASetup.SettingsFile);
    return;
  }
  std::string url = Trimmed(IniReadString(ASetup.SettingsFile, "Update", "Url", ""));
  if (url.empty()) url = Trimmed(ASetup.BuiltInUrl);
  if (url.empty()) url = ASetup.DefaultUrl;
  if (!IsHttpAddress(url)) {
    log("asked, but the update address is not http:// or https://");
    return;
  }

  // 2 to 4. The update file, checked here with the key of the running program.
  const int own = AReadBuild(ASetup.ProgramFile);
  THttpOptions opt;
  opt.UserAgent = "TovikService/" + Num(own);
  std::string text;
  const std::string sep = url.find('?') == std::string::npos ? "?" : "&";
  const THttpResult r = FetchText(AHttp, url + sep + "b=" + Num(own), opt, kMaxUpdateFileText, text);
  if (r.Outcome == THttpOutcome::hrTooLarge) throw std::runtime_error("update file refused: it is too large");
  if (r.Outcome != THttpOutcome::hrOk) throw std::runtime_error("no update file: " + r.Error);
  if (r.Status != 200) throw std::runtime_error("no update file (" + Num(r.Status) + ")");
  TUpdateInfo info;
  std::string reason;
  const std::string body = IsValidUtf8(text) ? text : Utf8Sanitize(text);
  const bool parsed = ASetup.VendorKey.empty() ? ParseUpdateFile(body, info, reason)
                                               : ParseUpdateFile(body, ASetup.VendorKey, info, reason);
  if (!parsed) throw std::runtime_error("update file refused: " + reason);
  if (info.Build <= own) {
    log("asked, but build " + Num(info.Build) + " is already in place");
    return;
  }

  // 5. The package, into root's own folder, checked.
  if (info.Size > kMaxUpdateSize) throw std::runtime_error("update refused: too large");
  if (std::string why = EnsurePrivateFolder(ASetup.DownloadFolder); !why.empty()) throw std::runtime_error(why);
  const std::string package = PackageFile(ASetup, info.Build);
  TDownloadResult d = DownloadFile(AHttp, DownloadAddress(url, ASetup.DefaultUrl, info, "tovik.deb"), opt, package,
                                   info.Size, info.Sha256);
  if (!d.Ok()) throw std::runtime_error(d.Message);

  // 6. Checked again right before the package manager gets it.
  if (ABeforeInstall) ABeforeInstall(package);
  if (std::string why = CheckFile(package, info.Size, info.Sha256); !why.empty()) {
    ::unlink(package.c_str());
    throw std::runtime_error(why);
  }
  const std::string failed = AInstaller.Install(package);
  ::unlink(package.c_str());
  if (!failed.empty()) throw std::runtime_error("the package was not installed: " + failed);
  log("build " + Num(info.Build) + " installed (was " + Num(own) + ")");
}

bool RunServiceInstallStep(const TServiceUpdateSetup& ASetup, IHttpClient& AHttp, IPackageInstaller& AInstaller,
                           const std::function<int(const std::string&)>& AReadBuild, const TUpdateLog& ALog) {
  try {
    RunServiceInstall(ASetup, AHttp, AInstaller, AReadBuild, ALog);
    return true;
  } catch (const std::exception& e) {
    // Whatever was partly written goes; the folder is the unit's own.
    if (DIR* d = ::opendir(ASetup.DownloadFolder.c_str())) {
      while (dirent* f = ::readdir(d)) {
        const std::string name = f->d_name;
        if (name.size() > 10 && name.compare(0, 6, "tovik-") == 0 && name.compare(name.size() - 4, 4, ".deb") == 0)
          ::unlinkat(::dirfd(d), name.c_str(), 0);
      }
      ::closedir(d);
    }
    if (ALog) ALog("Update: could not install: " + EscapeForLog(e.what(), 500));
    return false;
  }
}

TServiceUpdater::TServiceUpdater(const TServiceUpdateSetup& ASetup, std::shared_ptr<IUpdateUnit> AUnit,
                                 IUpdateRequests& ARequests, TUpdateLog ALog, TTick ANow, TStart AStart)
    : ReadBuild([](const std::string& f) { return ReadFileBuild(f); }),
      RootOnly([](const std::string& f) { return RootOnlyProblem(f); }),
      FSetup(ASetup),
      FUnit(std::move(AUnit)),
      FRequests(ARequests),
      FLog(std::move(ALog)),
      FStart(std::move(AStart)),
      FState(std::make_shared<std::atomic<int>>(usIdle)) {
  if (!FStart) FStart = [](std::function<void()> job) { std::thread(std::move(job)).detach(); };
  FNextOnDisk = ANow + kOnDiskCheckMs;
  FNextLook = ANow + kServiceFirstLookMs;
  DeleteOldCopies(FSetup.ProgramFile);
}

TServiceUpdater::~TServiceUpdater() = default;

void TServiceUpdater::Log(const std::string& ALine) const {
  if (FLog) FLog("Update: " + ALine);
}

bool TServiceUpdater::UpdateCheck(TTick ANow) {
  int state = FState->load();
  if (state == usInstalling) return false;
  if (state == usInstalled) {
    if (!FState->compare_exchange_strong(state, usIdle)) return false;
    if (std::string why = RootOnly(FSetup.ProgramFile); !why.empty()) {
      Log("the new build is not used: " + why);
      return false;
    }
    Log("restarting the service on the new build");
    return true;
  }

  if (FRequests.Take()) {
    if (FHadRequest && ANow - FLastRequest < kRequestGuardMs) {
      // Said once per guard window, however often a user asks.
      if (!FToldTooSoon) Log("asked again too soon; waiting");
      FToldTooSoon = true;
      return false;
    }
    FHadRequest = true;
    FLastRequest = ANow;
    FToldTooSoon = false;
    Log("Tovik asks to install a new build");
    StartUnit(ANow);
    return false;
  }
  if (ANow >= FNextLook) {
    Log("looking for a new build");
    StartUnit(ANow);
    return false;
  }

  if (ANow < FNextOnDisk) return false;
  FNextOnDisk = ANow + kOnDiskCheckMs;
  const int onDisk = ReadBuild(FSetup.ProgramFile);
  if (FSetup.RunningBuild <= 0 || onDisk <= FSetup.RunningBuild) return false;
  // Only onto a file that nobody but root can have put there.
  if (std::string why = RootOnly(FSetup.ProgramFile); !why.empty()) {
    if (FRefusedOnDisk != onDisk) Log("build " + Num(onDisk) + " on disk is not used: " + why);
    FRefusedOnDisk = onDisk;
    return false;
  }
  Log("tovik build " + Num(onDisk) + " is on disk (running " + Num(FSetup.RunningBuild) + "); restarting the service");
  return true;
}

void TServiceUpdater::StartUnit(TTick ANow) {
  FNextLook = ANow + kServiceLookPeriodMs;
  FState->store(usInstalling);
  FStart([unit = FUnit, log = FLog, state = FState, readBuild = ReadBuild, program = FSetup.ProgramFile,
          running = FSetup.RunningBuild] {
    std::string why;
    try {
      why = unit->Run();
    } catch (const std::exception& e) {
      why = e.what();
    }
    if (!why.empty() && log)
      log("Update: " + std::string(kUpdateUnitName) + " did not finish: " + EscapeForLog(why, 500));
    // A newer build on disk counts even after a failure (the package may be in place all the same);
    // the loop checks the file before it restarts onto it.
    state->store(running > 0 && readBuild(program) > running ? usInstalled : usIdle);
  });
}

}  // namespace tovik
