#include "app/TovikMainUpdates.h"

#include <sys/stat.h>

#include "update/TovikEmbed.h"
#include "update/TovikVersion.h"

namespace tovik {

bool UpdateMayInstall(const TIdleFacts& f, bool AHanded) {
  const bool idle = f.ClientExists && f.State != TTovikState::rsPunching && f.State != TTovikState::rsConnected &&
                    !f.Session && !f.ExtraLinks && !f.ReconnectPending && !f.ModalOpen;
  return idle && (AHanded || !f.WindowLookedAt);
}

std::string RestartParameters(bool ATrayMode, bool AVisible, bool AMinimized) {
  std::string p;
  if (ATrayMode) p += "/tray";
  if (ATrayMode && AVisible) p += " /show";
  if (AVisible && AMinimized) p += " /min";
  while (!p.empty() && p.front() == ' ') p.erase(0, 1);
  return p;
}

bool IsDevelopmentCopy(const std::string& AProgramFile) {
  std::string folder = AProgramFile;
  for (int up = 0; up <= 3; ++up) {
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    folder.resize(slash);
    struct stat st {};
    if (::stat((folder + "/CMakeCache.txt").c_str(), &st) == 0) return true;
  }
  return false;
}

std::string UpdateDownloadFolder(const TEnvLookup& AEnv) {
  std::string base;
  if (auto v = AEnv("XDG_CACHE_HOME"); v && !v->empty() && v->front() == '/') base = *v;
  else if (auto h = AEnv("HOME"); h && !h->empty()) base = *h + "/.cache";
  else base = "/tmp";
  return base + "/Tovik/TovikUpdate";
}

TUpdaterSetup MainUpdaterSetup(const TSettingsStore& AStore, const TEnvLookup& AEnv) {
  TUpdaterSetup s;
  const std::string program = AStore.Paths().ProgramFile;
  s.Url = AStore.UpdateUrl();
  s.DefaultUrl = std::string(kDefaultUpdateUrl);
  s.Enabled = AStore.ReadSwitch("Update", "Enabled");
  s.OwnBuild = OwnBuild();
  s.ProgramFile = program;
  s.DownloadFolder = UpdateDownloadFolder(AEnv);
  s.Settings = ReadBuiltInSettings(program);
  s.DevelopmentCopy = IsDevelopmentCopy(program);
  // dpkg installs as root: a program file that another user owns is no package's (and the lists of
  // every package need not be read at each start of a portable copy).
  struct stat st {};
  s.PackageManaged = ::stat(program.c_str(), &st) == 0 && st.st_uid == 0 && InstalledByDpkg(program);
  return s;
}

}  // namespace tovik
