#include "update/TovikVersion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/TovikFiles.h"

// Ten decimal digits, set by CMake from TOVIK_BUILD_NUMBER.
#ifndef TOVIK_BUILD_RECORD_DIGITS
#define TOVIK_BUILD_RECORD_DIGITS "0000000000"
#endif

namespace tovik {

namespace {

constexpr std::size_t kDigits = 10;

// The needle is put together at run time so that the program's code holds it only once: in the record.
std::string Needle() { return std::string("TOVIK") + "BUILDREC:"; }

int ParseDigits(const char* p) {
  long long v = 0;
  for (std::size_t i = 0; i < kDigits; ++i) {
    const char c = p[i];
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v > 0x7fffffff ? 0 : static_cast<int>(v);
}

// Calls AOnFound with the file offset of every record in the file; false when it cannot be read.
template <typename F>
bool ScanRecords(int fd, F&& AOnFound) {
  const std::string needle = Needle();
  const std::size_t span = needle.size() + kDigits;
  std::vector<char> buf(1 << 20);
  std::size_t kept = 0;  // bytes carried over from the previous block
  off_t base = 0;        // file offset of buf[0]
  for (;;) {
    ssize_t got = ::read(fd, buf.data() + kept, buf.size() - kept);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    const std::size_t have = kept + static_cast<std::size_t>(got);
    std::string_view view(buf.data(), have);
    std::size_t at = 0;
    while ((at = view.find(needle, at)) != std::string_view::npos) {
      if (at + span > have) break;  // the digits come with the next block
      if (!AOnFound(base + static_cast<off_t>(at + needle.size()), buf.data() + at + needle.size()))
        return true;
      at += needle.size();
    }
    if (got == 0) return true;
    kept = std::min(have, span - 1);
    std::memmove(buf.data(), buf.data() + have - kept, kept);
    base += static_cast<off_t>(have - kept);
  }
}

}  // namespace

// The record itself: kept by the linker, read through a volatile pointer so that a stamped number
// counts, never a value the compiler folded in.
extern const char kTovikBuildRecord[];
[[gnu::used]] const char kTovikBuildRecord[] = "TOVIKBUILDREC:" TOVIK_BUILD_RECORD_DIGITS;
static_assert(sizeof(kTovikBuildRecord) == 14 + 10 + 1, "the build record holds ten digits");

int OwnBuild() noexcept {
  const volatile char* p = kTovikBuildRecord + Needle().size();
  char digits[kDigits];
  for (std::size_t i = 0; i < kDigits; ++i) digits[i] = p[i];
  return ParseDigits(digits);
}

int ReadFileBuild(const std::string& AFile) noexcept {
  try {
    TFd fd(::open(AFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return 0;
    int build = 0;
    ScanRecords(fd.Get(), [&](off_t, const char* digits) {
      build = ParseDigits(digits);
      return false;
    });
    return build;
  } catch (...) {
    return 0;
  }
}

bool StampFileBuild(const std::string& AFile, int ABuild) noexcept {
  try {
    if (ABuild < 0) return false;
    TFd fd(::open(AFile.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return false;
    std::vector<off_t> at;
    if (!ScanRecords(fd.Get(), [&](off_t off, const char*) {
          at.push_back(off);
          return true;
        }))
      return false;
    char digits[kDigits + 1];
    std::snprintf(digits, sizeof digits, "%010d", ABuild);
    for (off_t off : at)
      if (::pwrite(fd.Get(), digits, kDigits, off) != static_cast<ssize_t>(kDigits)) return false;
    return !at.empty();
  } catch (...) {
    return false;
  }
}

}  // namespace tovik
