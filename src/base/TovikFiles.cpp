#include "base/TovikFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

namespace tovik {

TFileResult TFileResult::Fail(int err, std::string text) {
  TFileResult r;
  r.Errno = err ? err : EIO;
  r.Error = std::move(text);
  return r;
}

TFileResult TFileResult::FromErrno(int err, std::string_view context) {
  std::string text(context);
  if (!text.empty()) text += ": ";
  text += std::system_category().message(err);
  return Fail(err, std::move(text));
}

void TFd::Reset(int AFd) noexcept {
  if (FFd >= 0 && FFd != AFd) ::close(FFd);
  FFd = AFd;
}

TFileResult WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return TFileResult::FromErrno(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

namespace {

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a write to path really replaces: the destination of a symbolic link, else path itself.
std::string ResolveTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf)) return buf;
  return path;  // a dangling link is replaced by the new file
}

}  // namespace

TFileResult ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes) {
  TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) return TFileResult::FromErrno(errno);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return TFileResult::FromErrno(errno);
  if (S_ISDIR(st.st_mode)) return TFileResult::FromErrno(EISDIR);
  if (st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) > maxBytes)
    return TFileResult::Fail(EFBIG, "the file is too large");
  std::string data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return TFileResult::FromErrno(errno);
    }
    if (n == 0) break;
    if (data.size() + static_cast<std::size_t>(n) > maxBytes)  // grew while we read
      return TFileResult::Fail(EFBIG, "the file is too large");
    data.append(buf, static_cast<std::size_t>(n));
  }
  out = std::move(data);
  return {};
}

TAtomicFile::TAtomicFile(const std::string& target, mode_t newMode, TLinkTarget links)
    : FTarget(links == TLinkTarget::ltFollow ? ResolveTarget(target) : target), FMode(newMode) {
  struct stat st {};
  if (::lstat(FTarget.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) FMode = st.st_mode & 07777;
  FTemp = FTarget + ".tmpXXXXXX";
  FFd = ::mkostemp(FTemp.data(), O_CLOEXEC);
  if (FFd < 0) {
    FOpen = TFileResult::FromErrno(errno);
    FTemp.clear();
  }
}

TAtomicFile::~TAtomicFile() {
  if (FFd >= 0) ::close(FFd);
  if (!FTemp.empty()) ::unlink(FTemp.c_str());
}

TFileResult TAtomicFile::Write(std::string_view data) {
  if (FFd < 0) return FOpen.Ok() ? TFileResult::Fail(EBADF, "the file is already closed") : FOpen;
  return WriteAll(FFd, data);
}

TFileResult TAtomicFile::Commit() {
  if (FFd < 0) return FOpen.Ok() ? TFileResult::Fail(EBADF, "the file is already closed") : FOpen;
  TFileResult r;
  if (::fchmod(FFd, FMode) != 0) r = TFileResult::FromErrno(errno);
  // Flush before the rename so that a power loss cannot leave the new name on empty data.
  if (r && ::fsync(FFd) != 0) r = TFileResult::FromErrno(errno);
  int fd = FFd;
  FFd = -1;
  if (::close(fd) != 0 && r) r = TFileResult::FromErrno(errno);
  if (r && ::rename(FTemp.c_str(), FTarget.c_str()) != 0) r = TFileResult::FromErrno(errno);
  if (!r) return r;  // the destructor removes the temporary file
  // The folder is not flushed: after a power loss the rename may be lost, which leaves the complete
  // old file, and that is all the promise is.
  FTemp.clear();
  return {};
}

TFileResult WriteFileAtomic(const std::string& path, std::string_view data, mode_t newMode) {
  TAtomicFile file(path, newMode);
  if (!file.OpenResult()) return file.OpenResult();
  if (auto r = file.Write(data); !r) return r;
  return file.Commit();
}

TFileResult RestrictToOwner(const std::string& path) {
  TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) return errno == ENOENT ? TFileResult{} : TFileResult::FromErrno(errno, path);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return TFileResult::FromErrno(errno, path);
  if ((st.st_mode & 077) == 0) return {};
  if (::fchmod(fd.Get(), st.st_mode & 0700) != 0) return TFileResult::FromErrno(errno, path);
  return {};
}

bool FolderIsPrivate(mode_t mode, uid_t owner, uid_t me) {
  if (owner != me && owner != 0) return false;
  return (mode & (S_IWGRP | S_IWOTH)) == 0 || (mode & S_ISVTX) != 0;
}

std::string SharedFolderProblem(const std::string& path) {
  char buf[PATH_MAX];
  const std::string folder = FolderOf(path);
  if (!::realpath(folder.c_str(), buf)) return folder + ": " + std::system_category().message(errno);
  std::string at = buf;
  const uid_t me = ::geteuid();
  for (;;) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0) return at + ": " + std::system_category().message(errno);
    if (!S_ISDIR(st.st_mode)) return at + " is not a folder";
    if (!FolderIsPrivate(st.st_mode, st.st_uid, me)) return at + " can be changed by another user";
    if (at == "/") return {};
    at = FolderOf(at);
  }
}

TFileResult WritePrivateFile(const std::string& path, std::string_view data) {
  if (const std::string why = SharedFolderProblem(path); !why.empty()) return TFileResult::Fail(EPERM, why);
  TAtomicFile file(path, 0600, TLinkTarget::ltReplace);
  file.SetMode(0600);
  if (!file.OpenResult()) return file.OpenResult();
  if (auto r = file.Write(data); !r) return r;
  return file.Commit();
}

TFileResult MakeFolders(const std::string& path) {
  if (path.empty()) return TFileResult::FromErrno(ENOENT);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? TFileResult{} : TFileResult::FromErrno(ENOTDIR);
  std::string parent = FolderOf(path);
  if (parent != path && parent != "." && parent != "/") {
    if (auto r = MakeFolders(parent); !r) return r;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return TFileResult::FromErrno(errno);
  return {};
}

}  // namespace tovik
