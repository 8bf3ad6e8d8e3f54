// The session tools' files on POSIX: files to send are read by path; received files are created in
// the download folder with openat(O_CREAT | O_EXCL | O_NOFOLLOW) and mode 0600, so an existing file
// or a planted link is never written through, and get mode 0644 once complete. The history file is
// appended to with one write per row. Also the wall clock for the history.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/TovikFiles.h"
#include "session/TovikToolsPorts.h"

namespace tovik {

namespace {

std::string ErrText(int err) { return std::strerror(err); }

// Creates every missing folder of APath (mode 0700); true when APath is a folder afterwards.
bool MakeFolders(const std::string& APath) {
  for (std::size_t at = 1; at <= APath.size(); ++at) {
    if (at < APath.size() && APath[at] != '/') continue;
    const std::string part = APath.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class TPosixReadFile : public IReadFile {
 public:
  TPosixReadFile(TFd AFd, std::int64_t ASize) : FFd(std::move(AFd)), FSize(ASize) {}
  std::int64_t Size() const override { return FSize; }
  std::int64_t Read(std::uint8_t* ABuffer, std::size_t ACount, std::string& AError) override {
    for (;;) {
      const ssize_t n = ::read(FFd.Get(), ABuffer, ACount);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      AError = ErrText(errno);
      return -1;
    }
  }

 private:
  TFd FFd;
  std::int64_t FSize;
};

class TPosixWriteFile : public IWriteFile {
 public:
  TPosixWriteFile(TFd AFolder, TFd AFile, std::string AName)
      : FFolder(std::move(AFolder)), FFile(std::move(AFile)), FName(std::move(AName)) {}
  ~TPosixWriteFile() override {
    if (!FKept) Discard();
  }
  bool Write(TByteView AData, std::string& AError) override {
    std::size_t at = 0;
    while (at < AData.size()) {
      const ssize_t n = ::write(FFile.Get(), AData.data() + at, AData.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        AError = ErrText(n < 0 ? errno : ENOSPC);
        return false;
      }
      at += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Finish(std::string& AError) override {
    if (::fchmod(FFile.Get(), 0644) != 0 || ::close(FFile.Release()) != 0) {
      AError = ErrText(errno);
      return false;
    }
    FKept = true;
    return true;
  }
  void Discard() override {
    if (FKept) return;
    FFile.Reset();
    if (FFolder) ::unlinkat(FFolder.Get(), FName.c_str(), 0);
    FFolder.Reset();
  }

 private:
  TFd FFolder, FFile;
  std::string FName;
  bool FKept = false;
};

class TPosixTransferFiles : public ITransferFiles {
 public:
  explicit TPosixTransferFiles(std::string AFolder) : FFolder(std::move(AFolder)) {}

  bool IsFile(const std::string& APath) override {
    struct stat st {};
    return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  std::unique_ptr<IReadFile> OpenRead(const std::string& APath, std::string& AError) override {
    TFd fd(::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
      AError = ErrText(errno);
      return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
      AError = "not a file";
      return nullptr;
    }
    return std::make_unique<TPosixReadFile>(std::move(fd), static_cast<std::int64_t>(st.st_size));
  }
  TCreateResult CreateNew(const std::string& AName) override {
    TCreateResult r;
    if (AName.empty() || AName == "." || AName == ".." || AName.find('/') != std::string::npos) {
      r.Error = "not a file name";
      return r;
    }
    TFd folder = OpenFolder();
    if (!folder) {
      r.Error = ErrText(errno);
      return r;
    }
    TFd file(::openat(folder.Get(), AName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!file) {
      if (errno == EEXIST) {
        r.Outcome = TCreateOutcome::Exists;
      } else {
        r.Error = ErrText(errno);
      }
      return r;
    }
    r.Outcome = TCreateOutcome::Created;
    r.File = std::make_unique<TPosixWriteFile>(std::move(folder), std::move(file), AName);
    return r;
  }
  std::optional<std::int64_t> FreeSpace() override {
    TFd folder = OpenFolder();
    struct statvfs st {};
    if (!folder || ::fstatvfs(folder.Get(), &st) != 0) return std::nullopt;
    return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
  }

 private:
  TFd OpenFolder() {
    if (!MakeFolders(FFolder)) return TFd();
    return TFd(::open(FFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  std::string FFolder;
};

class TSessionsCsvFile : public ISessionHistory {
 public:
  explicit TSessionsCsvFile(std::string APath) : FPath(std::move(APath)) {}
  void Append(const TSessionHistoryRow& ARow) override {
    const auto slash = FPath.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(FPath.substr(0, slash))) return;
    TFd fd(::open(FPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) return;
    std::string text = st.st_size == 0 ? SessionsHeaderLine() : std::string();
    text += SessionsRowLine(ARow);
    std::size_t at = 0;
    while (at < text.size()) {
      const ssize_t n = ::write(fd.Get(), text.data() + at, text.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }

 private:
  std::string FPath;
};

}  // namespace

std::shared_ptr<ITransferFiles> ITransferFiles::Create(const std::string& ADownloadFolder) {
  return std::make_shared<TPosixTransferFiles>(ADownloadFolder);
}

std::shared_ptr<ISessionHistory> ISessionHistory::Create(const std::string& APath) {
  return std::make_shared<TSessionsCsvFile>(APath);
}

TWallTime TWallTime::Now() {
  TWallTime t;
  const std::time_t now = std::time(nullptr);
  t.Seconds = static_cast<std::int64_t>(now);
  std::tm local {};
  char buf[32] = {};
  if (::localtime_r(&now, &local)) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &local);
  t.Local = buf;
  return t;
}

}  // namespace tovik
