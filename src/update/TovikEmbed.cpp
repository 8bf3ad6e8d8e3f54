#include "update/TovikEmbed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <system_error>

#include "base/TovikBytes.h"
#include "base/TovikFiles.h"

namespace tovik {

namespace {

constexpr std::size_t kTrailer = 12;

bool ReadAt(int fd, char* buf, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    ssize_t got = ::pread(fd, buf, n, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) {
      errno = EIO;  // the file shrank under us
      return false;
    }
    buf += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// Length L of the block at the end of a file of that size whose trailer is given, when the trailer
// is well formed (magic, L <= 1 MiB, fits); L may be 0.
std::optional<std::uint32_t> BlockLength(const char* trailer, std::uint64_t fileSize) {
  if (std::string_view(trailer + 4, 8) != kBuiltInMagic) return std::nullopt;
  std::uint32_t len = GetU32LE(reinterpret_cast<const std::uint8_t*>(trailer));
  if (len > kMaxBuiltInSettings || std::uint64_t(len) + kTrailer > fileSize) return std::nullopt;
  return len;
}

[[noreturn]] void Fail(std::string_view step, const std::string& file, int err) {
  throw ETovikEmbed(std::string(step) + " " + file + ": " + std::system_category().message(err));
}

}  // namespace

std::string ReadBuiltInSettings(const std::string& fileName) noexcept {
  try {
    TFd fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) return {};
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < kTrailer) return {};
    char trailer[kTrailer];
    if (!ReadAt(fd.Get(), trailer, kTrailer, size - kTrailer)) return {};
    auto len = BlockLength(trailer, size);
    if (!len || *len == 0) return {};
    std::string text(*len, '\0');
    if (!ReadAt(fd.Get(), text.data(), text.size(), size - kTrailer - *len)) return {};
    return IsValidUtf8(text) ? text : Utf8Sanitize(text);
  } catch (...) {
    return {};
  }
}

void WriteWithSettings(const std::string& source, const std::string& dest, std::string_view settings) {
  if (settings.size() > kMaxBuiltInSettings) throw ETovikEmbed("The settings to build in are too large");
  TFd src(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (src.Get() < 0) Fail("Could not open", source, errno);
  struct stat st {};
  if (::fstat(src.Get(), &st) != 0) Fail("Could not read", source, errno);
  if (!S_ISREG(st.st_mode)) Fail("Could not read", source, EINVAL);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t keep = size;
  if (size >= kTrailer) {
    char trailer[kTrailer];
    if (!ReadAt(src.Get(), trailer, kTrailer, size - kTrailer)) Fail("Could not read", source, errno);
    if (auto len = BlockLength(trailer, size)) keep = size - kTrailer - *len;
  }

  TAtomicFile out(dest);
  if (!out.OpenResult()) Fail("Could not create", dest, out.OpenResult().Errno);
  out.SetMode(st.st_mode & 07777);
  std::string buf(1 << 20, '\0');
  for (std::uint64_t done = 0; done < keep;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), keep - done));
    if (!ReadAt(src.Get(), buf.data(), n, done)) Fail("Could not read", source, errno);
    if (auto r = out.Write(std::string_view(buf.data(), n)); !r) Fail("Could not write", dest, r.Errno);
    done += n;
  }
  TBytes tail(settings.begin(), settings.end());
  PutU32LE(tail, static_cast<std::uint32_t>(settings.size()));
  Append(tail, BytesOf(kBuiltInMagic));
  if (auto r = out.Write(std::string_view(reinterpret_cast<const char*>(tail.data()), tail.size())); !r)
    Fail("Could not write", dest, r.Errno);
  if (auto r = out.Commit(); !r) Fail("Could not write", dest, r.Errno);
}

const TIniText& BuiltInSettings() {
  static const TIniText settings(ReadBuiltInSettings("/proc/self/exe"));
  return settings;
}

}  // namespace tovik
