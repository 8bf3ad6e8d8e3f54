#include "update/TovikInstall.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

#include "base/TovikFiles.h"
#include "update/TovikDownload.h"
#include "update/TovikEmbed.h"

namespace tovik {

namespace {

std::string SysText(int err) { return std::system_category().message(err); }

std::string FolderOf(const std::string& APath) {
  const std::size_t slash = APath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : APath.substr(0, slash);
}

std::string BaseName(const std::string& APath) {
  const std::size_t slash = APath.rfind('/');
  return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

bool Exists(const std::string& APath) {
  struct stat st {};
  return ::lstat(APath.c_str(), &st) == 0;
}

// Flushes the folder's entries (the renames) to disk.
void SyncFolder(const std::string& AFolder) {
  TFd fd(::open(AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.Get());
}

}  // namespace

std::string NewFileName(const std::string& AProgram) { return AProgram + ".new"; }

std::string ChooseOldName(const std::string& AProgram, TTick ANow) {
  const std::string old = AProgram + ".old";
  if (!Exists(old) || ::unlink(old.c_str()) == 0) return old;
  return old + std::to_string(ANow);
}

void DeleteOldCopies(const std::string& AProgram) {
  ::unlink(NewFileName(AProgram).c_str());
  const std::string folder = FolderOf(AProgram);
  const std::string prefix = BaseName(AProgram) + ".old";
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // "<program>.old" and "<program>.old<digits>" only.
    bool digits = true;
    for (std::size_t i = prefix.size(); i < name.size(); ++i)
      if (name[i] < '0' || name[i] > '9') digits = false;
    if (digits) ::unlinkat(::dirfd(d), name.c_str(), 0);
  }
  ::closedir(d);
}

bool FolderWritable(const std::string& AProgram) {
  const std::string probe = FolderOf(AProgram) + "/TovikUpdate.tmp";
  ::unlink(probe.c_str());
  TFd fd(::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return false;
  fd.Reset();
  return ::unlink(probe.c_str()) == 0;
}

std::string InstallProgramFile(const std::string& AReady, const TUpdateInfo& AInfo, const std::string& AProgram,
                               const std::string& ASettings, TTick ANow, std::string& AOldName,
                               const TInstallStepHook& AHook) {
  auto step = [&](int n) {
    if (AHook) AHook(n);
  };
  const std::string fresh = NewFileName(AProgram);
  AOldName.clear();
  auto fail = [&](std::string why) {
    ::unlink(fresh.c_str());
    return why;
  };

  step(1);
  if (std::string why = CopyChecked(AReady, fresh, 0755, AInfo.Size, AInfo.Sha256); !why.empty()) return fail(why);

  step(2);
  if (!ASettings.empty()) {
    try {
      WriteWithSettings(fresh, fresh, ASettings);
    } catch (const std::exception& e) {
      return fail(e.what());
    }
  }

  step(3);
  const std::string old = ChooseOldName(AProgram, ANow);
  if (::link(AProgram.c_str(), old.c_str()) != 0) {
    // No hard links here (another file system kind): a copy of the running program instead.
    std::string data;
    if (auto r = ReadWholeFile(AProgram, data, std::size_t(1) << 30); !r)
      return fail("cannot keep the previous build: " + r.Error);
    if (auto r = WriteFileAtomic(old, data, 0755); !r) return fail("cannot keep the previous build: " + r.Error);
  }

  step(4);
  if (::rename(fresh.c_str(), AProgram.c_str()) != 0) {
    const int err = errno;
    ::unlink(old.c_str());
    return fail("cannot replace " + AProgram + ": " + SysText(err));
  }
  SyncFolder(FolderOf(AProgram));
  AOldName = old;
  step(5);
  return {};
}

std::string RollBackInstall(const std::string& AProgram, const std::string& AOldName) {
  if (AOldName.empty()) return "no previous build";
  if (::rename(AOldName.c_str(), AProgram.c_str()) != 0) return "cannot put back " + AProgram + ": " + SysText(errno);
  SyncFolder(FolderOf(AProgram));
  return {};
}

int ApplyUpdateElevated(const std::string& ATarget, const std::string& AOwnProgram, const std::string& AReady,
                        const std::string& AUpdateFile, TByteView AVendorKey, int AOwnBuild, TTick ANow,
                        std::string& AWhy) {
  char a[PATH_MAX], b[PATH_MAX];
  if (!::realpath(ATarget.c_str(), a) || !::realpath(AOwnProgram.c_str(), b) || std::string(a) != b) {
    AWhy = "only the installed program itself can be replaced";
    return 1;
  }
  const std::string target = a;
  // The update file, read here: not through a link, and small.
  std::string text;
  {
    TFd fd(::open(AUpdateFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 16 * 1024) {
      AWhy = "cannot read the update file";
      return 1;
    }
    char buf[4096];
    for (;;) {
      const ssize_t got = ::read(fd.Get(), buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      text.append(buf, static_cast<std::size_t>(got));
      if (text.size() > 16 * 1024) break;
    }
  }
  TUpdateInfo info;
  std::string reason;
  if (!ParseUpdateFile(text, AVendorKey, info, reason)) {
    AWhy = "update file refused: " + reason;
    return 1;
  }
  if (info.Build <= AOwnBuild) {
    AWhy = "build " + std::to_string(info.Build) + " is not newer than " + std::to_string(AOwnBuild);
    return 1;
  }
  std::string old;
  AWhy = InstallProgramFile(AReady, info, target, ReadBuiltInSettings(target), ANow, old);
  return AWhy.empty() ? 0 : 1;
}

}  // namespace tovik
