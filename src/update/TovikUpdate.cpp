#include "update/TovikUpdate.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <thread>

#include "base/TovikBytes.h"
#include "base/TovikFiles.h"
#include "update/TovikDownload.h"
#include "update/TovikVersion.h"

namespace tovik {

namespace {

constexpr std::string_view kCompanySuffix = "/tovik/update.txt";

std::string Trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return std::string(s);
}

bool EndsWithNoCase(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && SameTextAscii(s.substr(s.size() - tail.size()), tail);
}

std::string Fmt(const char* AFormat, long long A, long long B = 0) {
  char buf[256];
  std::snprintf(buf, sizeof buf, AFormat, A, B);
  return buf;
}

std::vector<std::string> SplitBlanks(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == ' ' || c == '\t') {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

}  // namespace

std::string DownloadAddress(const std::string& AUrl, const std::string& ADefaultUrl, const TUpdateInfo& AInfo,
                            std::string_view AFileOnServer) {
  if (AUrl != ADefaultUrl && EndsWithNoCase(AUrl, kCompanySuffix))
    return AUrl.substr(0, AUrl.size() - 10) + std::string(AFileOnServer);
  return AInfo.Url;
}

TCheckOutcome RunUpdateCheck(IHttpClient& AHttp, const TCheckJob& AJob) {
  TCheckOutcome out;
  try {
    THttpOptions opt;
    opt.UserAgent = AJob.UserAgent;
    std::string text;
    const std::string sep = AJob.Url.find('?') == std::string::npos ? "?" : "&";
    THttpResult r = FetchText(AHttp, AJob.Url + sep + "b=" + std::to_string(AJob.OwnBuild), opt,
                              kMaxUpdateFileText, text);
    if (r.Outcome == THttpOutcome::hrTooLarge) {
      out.Message = "update file refused: it is too large";
      return out;
    }
    if (r.Outcome != THttpOutcome::hrOk) {
      out.Message = "check failed: " + (r.Error.empty() ? std::string("no answer") : r.Error);
      return out;
    }
    if (r.Status != 200) {
      out.Message = Fmt("no update file (%lld)", r.Status);
      return out;
    }
    std::string reason;
    TUpdateInfo info;
    const std::string body = IsValidUtf8(text) ? text : Utf8Sanitize(text);
    const bool parsed = AJob.VendorKey.empty() ? ParseUpdateFile(body, info, reason)
                                               : ParseUpdateFile(body, AJob.VendorKey, info, reason);
    if (!parsed) {
      out.Message = "update file refused: " + reason;
      return out;
    }
    out.Info = info;
    out.Text = body;
    if (info.Build <= AJob.OwnBuild) return out;  // up to date
    out.Newer = true;
    if (info.Size > kMaxUpdateSize) {
      out.Message = "update refused: too large";
      return out;
    }
    if (!AJob.Download) return out;
    if (std::string why = EnsurePrivateFolder(AJob.DownloadFolder); !why.empty()) {
      out.Message = "check failed: " + why;
      return out;
    }
    const std::string file = AJob.DownloadFolder + "/Tovik-" + std::to_string(info.Build);
    TDownloadResult d = DownloadFile(AHttp, DownloadAddress(AJob.Url, AJob.DefaultUrl, info), opt, file, info.Size,
                                     info.Sha256);
    if (!d.Ok()) {
      out.Message = d.Message;
      return out;
    }
    out.Good = true;
    out.File = file;
  } catch (const std::exception& e) {
    out.Message = std::string("check failed: ") + e.what();
  }
  return out;
}

bool InstalledByDpkg(const std::string& AProgramFile, const std::string& AInfoFolder) {
  try {
    char real[4096];
    std::string path = ::realpath(AProgramFile.c_str(), real) ? std::string(real) : AProgramFile;
    const std::string needle = "\n" + path + "\n";
    auto names = [&](const std::string& list) {
      std::string text;
      if (!ReadWholeFile(AInfoFolder + "/" + list, text, 64u << 20)) return false;
      return ("\n" + text + "\n").find(needle) != std::string::npos;
    };
    // Our own package's list first; every list only when that does not name the file.
    if (names("tovik.list")) return true;
    DIR* d = ::opendir(AInfoFolder.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() < 6 || name.compare(name.size() - 5, 5, ".list") != 0 || name == "tovik.list") continue;
      if (names(name)) {
        found = true;
        break;
      }
    }
    ::closedir(d);
    return found;
  } catch (...) {
    return false;
  }
}

// --- TUpdater -------------------------------------------------------------------------------------

TUpdater::TUpdater(const TUpdaterSetup& ASetup, std::shared_ptr<IHttpClient> AHttp, IUpdateSystem& ASystem,
                   TUpdaterThreads AThreads, TUpdateLog ALog, TTick ANow)
    : FSetup(ASetup),
      FHttp(std::move(AHttp)),
      FSystem(ASystem),
      FThreads(std::move(AThreads)),
      FLog(std::move(ALog)),
      FAlive(std::make_shared<std::atomic<bool>>(true)) {
  if (!FThreads.Start)
    FThreads.Start = [](std::function<void()> job) { std::thread(std::move(job)).detach(); };
  FUrl = Trimmed(FSetup.Url);
  if (FUrl.empty()) FUrl = FSetup.DefaultUrl;
  FOwnBuild = FSetup.OwnBuild;
  const bool httpUrl = IsHttpAddress(FUrl);
  FEnabled = FSetup.Enabled && FOwnBuild > 0 && !FSetup.DevelopmentCopy && !FSetup.PackageManaged && httpUrl;
  // A packaged copy still looks on the same schedule, without downloading, and hands a newer build
  // to the system service, which installs its signed package.
  FServiceChecks = FSetup.Enabled && FOwnBuild > 0 && !FSetup.DevelopmentCopy && FSetup.PackageManaged && httpUrl;
  FNextCheck = ANow + kFirstCheckMs;
  if (!FSetup.Enabled)
    FOffWhy = "turned off in Tovik.ini ([Update] Enabled=0)";
  else if (FOwnBuild <= 0)
    FOffWhy = "this Tovik.exe has no build number";
  else if (FSetup.PackageManaged)
    FOffWhy = kPackagedOffWhy;
  else if (FSetup.DevelopmentCopy)
    FOffWhy = "this copy runs from its build folder (a development copy)";
  else if (!httpUrl)
    FOffWhy = "the update address is not http:// or https://";
  if (FEnabled && FUrl != FSetup.DefaultUrl) Log("Updates come from " + EscapeForLog(FUrl, 300));
  if (!FEnabled) Log(Fmt("Automatic updates off for this copy (build %lld): ", FOwnBuild) + FOffWhy);
}

TUpdater::~TUpdater() { FAlive->store(false); }

void TUpdater::Log(const std::string& ALine) const {
  if (FLog) FLog("Update: " + ALine);
}

std::string TUpdater::ProgramFolder() const {
  const std::size_t slash = FSetup.ProgramFile.rfind('/');
  return slash == std::string::npos ? std::string(".") : FSetup.ProgramFile.substr(0, slash);
}

void TUpdater::Tick(TTick ANow) {
  if ((!FEnabled && !FServiceChecks) || FBusy || FGaveUp || !FReadyFile.empty()) return;
  if (ANow < FNextCheck) return;
  StartCheck(ANow);
}

void TUpdater::CheckNow(TTick ANow) {
  if (FBusy || !FReadyFile.empty()) return;
  StartCheck(ANow);
}

void TUpdater::StartCheck(TTick ANow) {
  FNextCheck = ANow + kCheckPeriodMs;
  FBusy = true;
  TCheckJob job;
  job.Url = FUrl;
  job.DefaultUrl = FSetup.DefaultUrl;
  job.DownloadFolder = FSetup.DownloadFolder;
  job.OwnBuild = FOwnBuild;
  job.Download = FEnabled;
  job.VendorKey = FSetup.VendorKey;
  job.UserAgent = "Tovik/" + std::to_string(FOwnBuild);
  std::shared_ptr<IHttpClient> http = FHttp;
  std::weak_ptr<std::atomic<bool>> aliveWeak = FAlive;
  std::shared_ptr<std::atomic<bool>> alive = FAlive;
  auto post = FThreads.Post;
  TUpdater* self = this;
  FThreads.Start([job = std::move(job), http, alive, post, self] {
    TCheckOutcome outcome = RunUpdateCheck(*http, job);
    if (!alive->load()) {
      if (outcome.Good) ::unlink(outcome.File.c_str());
      return;
    }
    auto finish = [alive, self, outcome = std::move(outcome)] {
      if (!alive->load()) return;  // the updater is gone
      self->Finish(outcome);
    };
    if (post)
      post(std::move(finish));
    else
      finish();
  });
}

void TUpdater::Finish(const TCheckOutcome& AOutcome) {
  FBusy = false;
  FLastCheck = StampMs();
  if (AOutcome.Good)
    FLastResult = Fmt("build %lld found and downloaded", AOutcome.Info.Build);
  else if (!AOutcome.Message.empty())
    FLastResult = AOutcome.Message;
  else if (AOutcome.Newer)
    FLastResult = Fmt("build %lld is available", AOutcome.Info.Build);
  else
    FLastResult = "Tovik is up to date";
  if (AOutcome.Good) {
    FReadyFile = AOutcome.File;
    FReadyBuild = AOutcome.Info.Build;
    FReadyInfo = AOutcome.Info;
    FReadyText = AOutcome.Text;
    Log(Fmt("build %lld downloaded and checked; installs when Tovik is not in use", FReadyBuild));
  }
  if (!AOutcome.Message.empty()) {
    FNextCheck = TickMs() + kRetryAfterFailureMs;
    Log(EscapeForLog(AOutcome.Message, 500));
  }
  if (FServiceChecks && AOutcome.Newer && AOutcome.Message.empty() && !FHanded) {
    if (FSystem.ServiceRunning() && FSystem.SignalService()) {
      FHanded = true;
      FHandedAt = TickMs();
      FHandedBuild = AOutcome.Info.Build;
      Log(Fmt("build %lld: the system service installs its package", AOutcome.Info.Build));
    } else {
      Log(Fmt("build %lld is available; the system's package manager installs it", AOutcome.Info.Build));
    }
  }
}

bool TUpdater::PackageInstalled(TTick ANow) {
  if (!FHanded || FHandedBuild == 0 || ANow < FNextDiskLook) return false;
  FNextDiskLook = ANow + kOnDiskLookMs;
  if (ReadFileBuild(FSetup.ProgramFile) < FHandedBuild) {
    if (ANow - FHandedAt > kServiceWaitMs && !FGaveUp) {
      FGaveUp = true;
      Log(Fmt("build %lld: the service did not install it; the service's log says why", FHandedBuild));
    }
    return false;
  }
  return true;
}

bool TUpdater::RestartOnNewBuild(const std::string& AParams) {
  Log(Fmt("build %lld installed by the service (was %lld); restarting", FHandedBuild, FOwnBuild));
  FHandedBuild = 0;
  if (Restart(AParams)) return true;
  Log("the new Tovik did not start; it starts next time");
  return false;
}

bool TUpdater::Ready() const {
  return FEnabled && !FGaveUp && !FReadyFile.empty() && ::access(FReadyFile.c_str(), F_OK) == 0;
}

bool TUpdater::Restart(const std::string& AParams) {
  std::vector<std::string> args = SplitBlanks(AParams);
  args.push_back("/noadmin");
  args.push_back("/waitpid:" + std::to_string(FSystem.ProcessId()));
  return FSystem.StartProgram(FSetup.ProgramFile, args, ProgramFolder());
}

bool TUpdater::Install(const std::string& AParams, TTick ANow) {
  if (!Ready()) return false;
  const std::string build = std::to_string(FReadyBuild);
  if (!FHanded && FolderWritable(FSetup.ProgramFile)) {
    std::string old;
    std::string why = InstallProgramFile(FReadyFile, FReadyInfo, FSetup.ProgramFile, FSetup.Settings, ANow, old,
                                         FInstallHook);
    if (!why.empty()) {
      FGaveUp = true;
      Log("could not install build " + build + ": " + why);
      return false;
    }
    ::unlink(FReadyFile.c_str());
    Log(Fmt("build %lld installed (was %lld); restarting", FReadyBuild, FOwnBuild));
    if (Restart(AParams)) return true;
    // The new program file does not start: the previous build goes back in its place.
    FGaveUp = true;
    const std::string back = RollBackInstall(FSetup.ProgramFile, old);
    Log(back.empty() ? "the new Tovik did not start; the previous build is back in place"
                     : "the new Tovik did not start; it starts next time (" + back + ")");
    return false;
  }
  if (FHanded) {
    const int onDisk = ReadFileBuild(FSetup.ProgramFile);
    if (onDisk >= FReadyBuild) {
      ::unlink(FReadyFile.c_str());
      Log(Fmt("build %lld installed by the service (was %lld); restarting", FReadyBuild, FOwnBuild));
      if (Restart(AParams)) return true;
      Log("the new Tovik did not start; it starts next time");
      return false;
    }
    if (ANow - FHandedAt > kServiceWaitMs) {
      FGaveUp = true;
      Log("build " + build + ": the service did not install it; the service's log says why");
    }
    return false;
  }
  if (FSystem.ServiceRunning() && FSystem.SignalService()) {
    FHanded = true;
    FHandedAt = ANow;
    Log("build " + build + ": " + ProgramFolder() + " needs administrator rights; the Tovik Support Agent service installs it");
  } else {
    FGaveUp = true;
    Log("build " + build + " waits: " + ProgramFolder() + " cannot be written without administrator rights");
  }
  return false;
}

bool TUpdater::InstallElevated(const std::string& AParams, TTick ANow) {
  if (!Ready()) return false;
  if (FolderWritable(FSetup.ProgramFile)) return Install(AParams, ANow);
  if (ReadFileBuild(FSetup.ProgramFile) >= FReadyBuild) return Restart(AParams);
  const std::string build = std::to_string(FReadyBuild);
  Log("build " + build + ": asking for administrator rights to install it in " + ProgramFolder());
  // The elevated step checks the file again itself; here it is checked right before it runs.
  if (std::string why = CheckFile(FReadyFile, FReadyInfo.Size, FReadyInfo.Sha256); !why.empty()) {
    FGaveUp = true;
    Log("could not install build " + build + ": " + why);
    return false;
  }
  // The signed update file goes along: the elevated step checks the ready file against it itself.
  const std::string updateFile = FSetup.DownloadFolder + "/update-" + build + ".txt";
  if (auto w = WriteFileAtomic(updateFile, FReadyText); !w) {
    Log("could not install build " + build + ": " + w.Error);
    return false;
  }
  const int code = FSystem.RunElevated(FSetup.ProgramFile, FReadyFile, updateFile);
  ::unlink(updateFile.c_str());
  if (code < 0) {
    Log("build " + build + " not installed: no administrator rights (the prompt was cancelled)");
    return false;
  }
  if (code == 0 && ReadFileBuild(FSetup.ProgramFile) >= FReadyBuild) {
    ::unlink(FReadyFile.c_str());
    Log(Fmt("build %lld installed (was %lld); restarting", FReadyBuild, FOwnBuild));
    return Restart(AParams);
  }
  Log("build " + build + " could not be put in place in " + ProgramFolder() + Fmt(" (code %lld)", code));
  return false;
}

std::string TUpdater::StatusText(TTick ANow) const {
  std::string s = Fmt("This is Tovik build %lld.", FOwnBuild);
  if (FBusy)
    s += "\r\nChecking for a new version now...";
  else if (Ready())
    s += Fmt("\r\nBuild %lld is downloaded and checked. It installs by itself as soon as Tovik is not in use, "
             "or click Install now.",
             FReadyBuild);
  if (FLastCheck != 0) {
    const std::time_t t = static_cast<std::time_t>(FLastCheck / 1000);
    std::tm tm {};
    ::localtime_r(&t, &tm);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
    s += "\r\nLast check: " + std::string(when) + " - " + FLastResult;
  } else if (!FBusy) {
    s += "\r\nNot checked yet since Tovik started.";
  }
  if (FEnabled) {
    s += "\r\nAutomatic updates are on.";
    if (!FBusy && !Ready() && ANow < FNextCheck)
      s += Fmt(" Next check in about %lld minute(s).", static_cast<long long>((FNextCheck - ANow) / 60'000 + 1));
  } else {
    s += "\r\nAutomatic updates are off for this copy: " + FOffWhy +
         ". Check now still shows whether there is a newer version.";
  }
  return s;
}

}  // namespace tovik
