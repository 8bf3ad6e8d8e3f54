#include "base/TovikLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "base/TovikClock.h"
#include "base/TovikFiles.h"

namespace tovik {

namespace {

void LockExclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

std::string MakeLine(std::string_view stamp, std::string_view marker, std::string_view text) {
  std::string line;
  line.reserve(stamp.size() + marker.size() + text.size() + 2);
  line.append(stamp).append(marker).append(text).append("\r\n");
  return line;
}

}  // namespace

std::string FormatLocalStamp(std::int64_t stampMs, bool withMs) {
  std::int64_t secs = stampMs / 1000;
  int ms = static_cast<int>(stampMs % 1000);
  if (ms < 0) {
    ms += 1000;
    --secs;
  }
  std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm {};
  if (!::localtime_r(&t, &tm)) return "0000-00-00 00:00:00";
  char buf[48];
  if (withMs)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

void TLogWriter::Line(std::string_view text) const noexcept {
  try {
    if (FPath.empty()) return;
    const std::string line = MakeLine(FormatLocalStamp(StampMs(), false), "  ", text);
    for (int attempt = 0; attempt < 3; ++attempt) {
      TFd fd(::open(FPath.c_str(), O_RDWR | O_CLOEXEC));
      if (fd.Get() < 0) break;
      LockExclusive(fd.Get());
      struct stat st {}, named {};
      if (::fstat(fd.Get(), &st) != 0) return;
      // Another writer may have rotated the file while we waited for the lock: start again.
      if (::stat(FPath.c_str(), &named) != 0 || named.st_ino != st.st_ino || named.st_dev != st.st_dev) continue;
      if (static_cast<std::uint64_t>(st.st_size) > kLogRotateBytes) {
        const std::string rotated = FPath + ".1";
        ::unlink(rotated.c_str());
        if (::rename(FPath.c_str(), rotated.c_str()) != 0) return;
        // The lock stays with the renamed file; the new log is a new file.
        TFd fresh(::open(FPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fresh.Get() < 0) return;
        LockExclusive(fresh.Get());
        WriteAll(fresh.Get(), line);
        return;
      }
      if (::lseek(fd.Get(), 0, SEEK_END) < 0) return;
      WriteAll(fd.Get(), line);
      return;
    }
    if (errno != ENOENT) return;
    TFd created(::open(FPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (created.Get() < 0) return;
    LockExclusive(created.Get());
    WriteAll(created.Get(), line);
  } catch (...) {
    // Logging never raises.
  }
}

std::string SessionLine(std::string_view text, std::int64_t stampMs) {
  std::string line = MakeLine(FormatLocalStamp(stampMs, true), "  [sess] ", text);
  line.resize(line.size() - 2);  // without CR LF
  return line;
}

void AppendSessionLine(const std::string& path, std::string_view text) noexcept {
  try {
    if (path.empty()) return;
    const std::string line = MakeLine(FormatLocalStamp(StampMs(), true), "  [sess] ", text);
    TFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (fd.Get() < 0) return;
    LockExclusive(fd.Get());
    WriteAll(fd.Get(), line);
  } catch (...) {
  }
}

}  // namespace tovik
