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
// 128 hexadecimal digits, set by CMake from TOVIK_UPDATE_KEY (zeros: none).
#ifndef TOVIK_KEY_RECORD_DIGITS
#define TOVIK_KEY_RECORD_DIGITS                                                                          \
  "0000000000000000000000000000000000000000000000000000000000000000"                                   \
  "0000000000000000000000000000000000000000000000000000000000000000"
#endif

namespace tovik {

namespace {

constexpr std::size_t kDigits = 10;
constexpr std::size_t kKeyDigits = 128;

// The needles are put together at run time so that the program holds each only once: in its record.
std::string Needle() { return std::string("TOVIK") + "BUILDREC:"; }
std::string KeyNeedle() { return std::string("TOVIK") + "KEYREC:"; }

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
bool ScanRecords(int fd, const std::string& needle, std::size_t ADigits, F&& AOnFound) {
  const std::size_t span = needle.size() + ADigits;
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
extern const char kTovikKeyRecord[];
[[gnu::used]] const char kTovikKeyRecord[] = "TOVIKKEYREC:" TOVIK_KEY_RECORD_DIGITS;
static_assert(sizeof(kTovikKeyRecord) == 12 + 128 + 1, "the key record holds 128 hexadecimal digits");

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
    ScanRecords(fd.Get(), Needle(), kDigits, [&](off_t, const char* digits) {
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
    if (!ScanRecords(fd.Get(), Needle(), kDigits, [&](off_t off, const char*) {
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

TBytes OwnUpdateKey() noexcept {
  try {
    const volatile char* p = kTovikKeyRecord + KeyNeedle().size();
    std::string hex(kKeyDigits, '0');
    for (std::size_t i = 0; i < kKeyDigits; ++i) hex[i] = p[i];
    if (hex == std::string(kKeyDigits, '0')) return {};
    TBytes key;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
      };
      const int hi = nib(hex[i]), lo = nib(hex[i + 1]);
      if (hi < 0 || lo < 0) return {};
      key.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return key;
  } catch (...) {
    return {};
  }
}

bool StampFileUpdateKey(const std::string& AFile, TByteView AKey) noexcept {
  try {
    if (AKey.size() * 2 != kKeyDigits) return false;
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (std::uint8_t b : AKey) {
      hex.push_back(kHex[b >> 4]);
      hex.push_back(kHex[b & 15]);
    }
    TFd fd(::open(AFile.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return false;
    std::vector<off_t> at;
    if (!ScanRecords(fd.Get(), KeyNeedle(), kKeyDigits, [&](off_t off, const char*) {
          at.push_back(off);
          return true;
        }))
      return false;
    for (off_t off : at)
      if (::pwrite(fd.Get(), hex.data(), hex.size(), off) != static_cast<ssize_t>(hex.size())) return false;
    return !at.empty();
  } catch (...) {
    return false;
  }
}

}  // namespace tovik
