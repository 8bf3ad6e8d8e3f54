#include "update/TovikDownload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikFiles.h"
#include "crypto/TovikCrypto.h"

namespace tovik {

namespace {

std::string SysText(int err) { return std::system_category().message(err); }

// Opens AFile for reading without following a link; -1 with errno set when it is not a regular file.
int OpenRegular(const std::string& AFile, struct stat& st) {
  int fd = ::open(AFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Makes AFile anew: an old name is removed first, so whatever stood there (a link, another file) is
// never written through.
int CreateFresh(const std::string& AFile, mode_t AMode) {
  if (::unlink(AFile.c_str()) != 0 && errno != ENOENT) return -1;
  return ::open(AFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, AMode);
}

bool ReadSome(int fd, std::vector<char>& buf, ssize_t& got) {
  for (;;) {
    got = ::read(fd, buf.data(), buf.size());
    if (got >= 0) return true;
    if (errno != EINTR) return false;
  }
}

// Reads fd to its end, hashing, optionally writing every block to out. "" when it matches.
std::string HashCopy(int in, int out, std::int64_t ASize, const std::string& ASha256, const std::string& AName,
                     const std::string& AOutName) {
  TSha256 hash;
  std::vector<char> buf(1 << 20);
  std::int64_t total = 0;
  for (;;) {
    ssize_t got = 0;
    if (!ReadSome(in, buf, got)) return "cannot read " + AName + ": " + SysText(errno);
    if (got == 0) break;
    total += got;
    if (total > ASize) return kWrongSize;  // grew after the size check
    hash.Update(TByteView(reinterpret_cast<const std::uint8_t*>(buf.data()), static_cast<std::size_t>(got)));
    if (out >= 0) {
      if (auto r = WriteAll(out, std::string_view(buf.data(), static_cast<std::size_t>(got))); !r)
        return "cannot write " + AOutName + ": " + r.Error;
    }
  }
  if (total != ASize) return kWrongSize;
  if (AsciiLower(BytesToHex(hash.Final())) != AsciiLower(ASha256)) return kWrongHash;
  return {};
}

}  // namespace

std::string EnsurePrivateFolder(const std::string& AFolder) {
  if (auto r = MakeFolders(AFolder); !r) return "cannot create " + AFolder + ": " + r.Error;
  struct stat st {};
  if (::lstat(AFolder.c_str(), &st) != 0) return "cannot use " + AFolder + ": " + SysText(errno);
  if (!S_ISDIR(st.st_mode)) return AFolder + " is not a folder";
  if (st.st_uid != ::geteuid()) return AFolder + " belongs to another user";
  if ((st.st_mode & 07777) != 0700 && ::chmod(AFolder.c_str(), 0700) != 0)
    return "cannot make " + AFolder + " private: " + SysText(errno);
  return {};
}

TDownloadResult DownloadFile(IHttpClient& AClient, const std::string& AUrl, const THttpOptions& AOptions,
                             const std::string& AFile, std::int64_t ASize, const std::string& ASha256) {
  TDownloadResult res;
  TFd fd(CreateFresh(AFile, 0600));
  if (!fd) {
    res.Message = "download failed: cannot create " + AFile + ": " + SysText(errno);
    return res;
  }
  THttpOptions opt = AOptions;
  opt.MaxBytes = ASize;
  std::int64_t written = 0;
  bool over = false;
  std::string writeError;
  res.Http = AClient.Get(AUrl, opt, [&](std::string_view piece) {
    // Not one byte more than the update file declared reaches the disk.
    if (written + static_cast<std::int64_t>(piece.size()) > ASize) {
      over = true;
      return false;
    }
    if (auto r = WriteAll(fd.Get(), piece); !r) {
      writeError = r.Error;
      return false;
    }
    written += static_cast<std::int64_t>(piece.size());
    return true;
  });
  if (over || res.Http.Outcome == THttpOutcome::hrTooLarge) {
    res.Message = kWrongSize;
  } else if (!writeError.empty()) {
    res.Message = "download failed: cannot write " + AFile + ": " + writeError;
  } else if (res.Http.Outcome != THttpOutcome::hrOk) {
    res.Message = "download failed: " + (res.Http.Error.empty() ? std::string("no answer") : res.Http.Error);
  } else if (res.Http.Status != 200) {
    res.Message = "download failed (" + std::to_string(res.Http.Status) + ")";
  } else if (::fsync(fd.Get()) != 0) {
    res.Message = "download failed: cannot write " + AFile + ": " + SysText(errno);
  } else {
    fd.Reset();
    res.Message = CheckFile(AFile, ASize, ASha256);
  }
  fd.Reset();
  if (!res.Message.empty()) ::unlink(AFile.c_str());
  return res;
}

std::string CheckFile(const std::string& AFile, std::int64_t ASize, const std::string& ASha256) {
  struct stat st {};
  TFd fd(OpenRegular(AFile, st));
  if (!fd) return "cannot read " + AFile + ": " + SysText(errno);
  if (st.st_size != ASize) return kWrongSize;
  try {
    return HashCopy(fd.Get(), -1, ASize, ASha256, AFile, {});
  } catch (const std::exception& e) {
    return std::string("cannot check ") + AFile + ": " + e.what();
  }
}

std::string CopyChecked(const std::string& ASource, const std::string& ADest, mode_t AMode,
                        std::int64_t ASize, const std::string& ASha256) {
  struct stat st {};
  TFd in(OpenRegular(ASource, st));
  if (!in) return "cannot read " + ASource + ": " + SysText(errno);
  if (st.st_size != ASize) return kWrongSize;
  TFd out(CreateFresh(ADest, 0600));
  if (!out) return "cannot write " + ADest + ": " + SysText(errno);
  std::string why;
  try {
    why = HashCopy(in.Get(), out.Get(), ASize, ASha256, ASource, ADest);
  } catch (const std::exception& e) {
    why = std::string("cannot check ") + ASource + ": " + e.what();
  }
  if (why.empty() && ::fchmod(out.Get(), AMode) != 0) why = "cannot write " + ADest + ": " + SysText(errno);
  if (why.empty() && ::fsync(out.Get()) != 0) why = "cannot write " + ADest + ": " + SysText(errno);
  out.Reset();
  if (!why.empty()) ::unlink(ADest.c_str());
  return why;
}

std::string FileSha256(const std::string& AFile) {
  struct stat st {};
  TFd fd(OpenRegular(AFile, st));
  if (!fd) return {};
  try {
    TSha256 hash;
    std::vector<char> buf(1 << 20);
    for (;;) {
      ssize_t got = 0;
      if (!ReadSome(fd.Get(), buf, got)) return {};
      if (got == 0) break;
      hash.Update(TByteView(reinterpret_cast<const std::uint8_t*>(buf.data()), static_cast<std::size_t>(got)));
    }
    return AsciiLower(BytesToHex(hash.Final()));
  } catch (...) {
    return {};
  }
}

}  // namespace tovik
